// The program's page in a fresh browser context, checked at the test's end:
// no page error, no content security policy violation, no socket lost.
import assert from 'node:assert/strict';
import { closePage } from '../lib/browser.mjs';
import { until as untilShort } from '../lib/e2e.mjs';

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

async function openReady(browser, program, options) {
  const page = await browser.newPage(program, { init: socketWatch, ...options, wait: false });
  const ready = () => page.evaluate(() => window.__open.length === 6 && document.querySelector('#options .option-change') !== null);
  await until(ready, 'six open sockets and the options').catch(async (e) => {
    const state = await page.evaluate(() => ({ open: window.__open, closed: window.__closed })).catch((f) => f.message);
    throw new Error(`${e.message}: ${JSON.stringify(state)}\nprogram output:\n${program.output().slice(-3000)}`);
  });
  return page;
}

// The program ends shortly after its last page went (its sockets closed and
// no call up): the page it opened itself stays open for the whole file, as
// a person's would, while the tests open and close their own.
export function openFirstPage(browser, program) {
  return openReady(browser, program, {});
}

// Opens the page once all six sockets are open and the program's options
// are shown. A page that sees the program end (ending) has lost all six.
export async function openProgramPage(t, browser, program, { ending = false, ...options } = {}) {
  const page = await openReady(browser, program, options);
  t.after(async () => {
    const closed = await page.evaluate(() => window.__closed).catch(() => ['page gone']);
    const { errors, csp } = await closePage(page);
    assert.deepEqual(errors, [], `page errors; program output:\n${program.output()}`);
    assert.deepEqual(csp, [], 'content security policy violations');
    if (ending) assert.equal(closed.length, 6, 'all sockets closed with the program');
    else assert.deepEqual(closed, [], 'sockets closed while the page was open');
  });
  return page;
}

// Waits until fn() holds; the program, its engine and JACK share a machine
// that may be busy with other tests, so the bound is generous.
export const until = (fn, what, timeout = 20000) => untilShort(fn, what, timeout);

export const meterBars = (page, id) => page.evaluate((i) => [...document.querySelectorAll(`#${i} .progress`)]
  .map((p) => Number(p.getAttribute('aria-valuenow'))), id);
