// The program's page in a fresh browser context, checked at the test's end:
// no page error, no content security policy violation, no socket lost.
import assert from 'node:assert/strict';
import { closePage } from '../lib/browser.mjs';
import { until } from '../lib/e2e.mjs';

// Records which of the page's sockets opened and which closed.
function socketWatch() {
  window.__open = [];
  window.__closed = [];
  const Native = window.WebSocket;
  window.WebSocket = class extends Native {
    constructor(url, ...rest) {
      super(url, ...rest);
      const path = new URL(url).pathname;
      this.addEventListener('open', () => window.__open.push(path));
      this.addEventListener('close', () => window.__closed.push(path));
    }
  };
}

// Opens the page once all six sockets are open.
export async function openProgramPage(t, browser, program, options = {}) {
  const page = await browser.newPage(program, { init: socketWatch, ...options });
  await until(async () => (await page.evaluate(() => window.__open.length)) === 6, 'six open sockets', 15000);
  t.after(async () => {
    const closed = await page.evaluate(() => window.__closed).catch(() => ['page gone']);
    const { errors, csp } = await closePage(page);
    assert.deepEqual(errors, [], `page errors; program output:\n${program.output()}`);
    assert.deepEqual(csp, [], 'content security policy violations');
    assert.deepEqual(closed, [], 'sockets closed while the page was open');
  });
  return page;
}

export const meterBars = (page, id) => page.evaluate((i) => [...document.querySelectorAll(`#${i} .progress`)]
  .map((p) => Number(p.getAttribute('aria-valuenow'))), id);
