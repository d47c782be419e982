import test from 'node:test';
import assert from 'node:assert/strict';
import { useBrowser, openPage, sleep, until } from '../lib/e2e.mjs';
import { PATHS } from '../lib/fakeserver.mjs';

useBrowser();

const BUTTONS = ['btn-interface', 'btn-record', 'btn-record-folder', 'btn-onair', 'btn-mute'];
const hiddenButtons = (page) => page.evaluate((ids) => ids.filter((id) => document.getElementById(id).classList.contains('d-none')), BUTTONS);

test('standalone start-up opens the six sockets in order and shows the session buttons', async (t) => {
  const { server, page } = await openPage(t);
  await until(() => server.order.length === 6, 'six sockets');
  assert.deepEqual(await page.evaluate(() => window.__sockets), ['/ws_audio', '/ws_baresip', '/ws_calls', '/ws_meter', '/ws_contacts', '/ws_options']);
  assert.deepEqual([...server.order].sort(), [...PATHS].sort());
  assert.deepEqual(await hiddenButtons(page), []);
  assert.equal(await page.title(), 'Zorvane');
  assert.match(await page.getAttribute('meta[http-equiv="Content-Security-Policy"]', 'content'), /default-src 'self'; script-src 'self'; style-src 'self'/);
  const changelog = page.locator('#version #changelog');
  await changelog.waitFor();
  assert.equal(await changelog.textContent(), 'v26.11.0-stable');
  assert.equal(await changelog.getAttribute('aria-label'), 'v26.11.0-stable, show changelog');
  await changelog.click();
  const about = page.locator('.modal.show');
  await about.waitFor();
  assert.equal(await about.locator('.modal-dialog.modal-lg').count(), 1);
  assert.equal(await about.locator('#changelogen.active').count(), 1);
  await about.getByRole('tab', { name: 'Credits' }).click();
  await about.locator('#credits.active').waitFor();
  assert.match(await about.locator('#credits').textContent(), /Credits\/Licences[\s\S]*Bootstrap/);
  await about.getByRole('button', { name: 'OK' }).click();
  await about.waitFor({ state: 'detached' });
});

test('no websocket opens without the variant answer, and other variants stay bare', async (t) => {
  for (const variant of [null, 'other']) {
    const { server, page } = await openPage(t, { variant }, { wait: false, allowErrors: ['404'] });
    await page.locator('#version #changelog').waitFor();
    await sleep(300);
    assert.deepEqual(server.order, [], String(variant));
    assert.deepEqual(await page.evaluate(() => window.__sockets), [], String(variant));
    assert.equal((await hiddenButtons(page)).length, 5);
    assert.equal(await page.locator('.toast').count(), 0);
    assert.equal(await page.evaluate(() => window.swvariant), variant === null ? '' : 'other');
  }
});

test('storage that refuses access still lets the page connect', async (t) => {
  const init = () => {
    Object.defineProperty(window, 'localStorage', { get() { throw new DOMException('denied', 'SecurityError'); } });
  };
  const { server, page } = await openPage(t, {}, { init, wait: false, onboarded: false });
  await until(() => server.order.length === 6, 'six sockets');
  await page.locator('#options .option-change').first().waitFor({ state: 'attached' });
});
