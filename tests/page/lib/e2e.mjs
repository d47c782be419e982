// Shared set-up of the browser tests: one Chromium per file, a new fake
// server and page per test, and no page error or blocked resource allowed.
import assert from 'node:assert/strict';
import { after, before } from 'node:test';
import { FakeServer } from './fakeserver.mjs';
import { launch, closePage } from './browser.mjs';

let browser = null;

export function useBrowser() {
  before(async () => { browser = await launch(); });
  after(async () => { await browser?.close(); });
}

// Starts a fake server with the given state and opens the page on it; the
// test's end checks that the page logged no error and broke no policy.
export async function openPage(t, serverOptions = {}, pageOptions = {}) {
  const server = await new FakeServer(serverOptions).start();
  const page = await browser.newPage(server, pageOptions);
  if (pageOptions.wait !== false && server.variant === 'standalone') await until(() => server.order.length === 6, 'six sockets');
  let closed = false;
  page.zv.close = async () => {
    if (closed) return { errors: [], csp: [] };
    closed = true;
    return closePage(page);
  };
  t.after(async () => {
    const { errors, csp } = await page.zv.close();
    await server.stop();
    const allowed = pageOptions.allowErrors ?? [];
    assert.deepEqual(errors.filter((e) => !allowed.some((a) => e.includes(a))), [], 'page errors');
    assert.deepEqual(csp, [], 'content security policy violations');
  });
  return { server, page };
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Waits until fn() holds, for a generous while.
export async function until(fn, what = 'condition', timeout = 5000) {
  const end = Date.now() + timeout;
  for (;;) {
    const value = await fn();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(20);
  }
}
