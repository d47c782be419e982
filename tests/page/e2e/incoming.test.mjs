import test from 'node:test';
import assert from 'node:assert/strict';
import { useBrowser, openPage, until, sleep } from '../lib/e2e.mjs';
import { CLOSED_EMPTY, CLOSED_BUSY, CLOSED_MAX } from '../lib/fixtures.mjs';

useBrowser();

function ring(server, peer, track) {
  server.placeCall(peer, 'Incoming', track);
  server.pushCalls();
  server.push('/ws_calls', { callback: 'INCOMING', peeruri: peer, key: String(track) });
}

const prompt = (page, peer) => page.locator('.modal.show', { hasText: `Incoming call from '${peer}', accept?` });

test('an incoming call brings a toast, a notification and a prompt that accepts', async (t) => {
  const { server, page } = await openPage(t);
  ring(server, 'sip:bob@other.test', 1);
  const dialog = prompt(page, 'sip:bob@other.test');
  await dialog.waitFor();
  await page.locator('.toast.text-bg-success', { hasText: 'INCOMING Call' }).waitFor();
  const notes = await page.evaluate(() => window.__notes.map((n) => n.title));
  assert.deepEqual(notes, ['Zorvane call: sip:bob@other.test']);
  await page.evaluate(() => window.__lastNote.listeners.click());
  assert.equal(await page.evaluate(() => window.__focused), 1);
  assert.deepEqual(await dialog.locator('.modal-footer .btn').allTextContents(), ['Cancel', 'OK']);
  const sent = server.next('/ws_calls');
  await dialog.getByRole('button', { name: 'OK' }).click();
  assert.deepEqual(await sent, { command: 'accept', key: '1' });
  await dialog.waitFor({ state: 'detached' });
  await until(async () => (await page.locator('.zv-track-state').textContent()) === 'Established', 'established');
  assert.equal(await page.evaluate(() => window.callactive), true);
});

test('without a decision on notifications the page asks; Escape twice hangs up once', async (t) => {
  const { server, page } = await openPage(t, {}, { permission: 'default' });
  server.quiet.add('/ws_calls');
  ring(server, 'sip:eve@other.test', 2);
  const dialog = prompt(page, 'sip:eve@other.test');
  await dialog.waitFor();
  assert.deepEqual(await page.evaluate(() => [window.__notes.length, window.__permissionAsked]), [0, 1]);
  await page.keyboard.press('Escape');
  await page.keyboard.press('Escape');
  await dialog.waitFor({ state: 'detached' });
  await sleep(200);
  assert.deepEqual(server.sent('/ws_calls'), [{ command: 'hangup', key: '2' }]);
});

test('CLOSED closes every dialog and toasts its message, tabs and all', async (t) => {
  const { server, page } = await openPage(t);
  const cases = [
    [CLOSED_EMPTY, 'Call closed: SIP Number Empty'],
    [CLOSED_BUSY, 'Call closed: Track is not available'],
    [CLOSED_MAX, 'Call closed: Max Calls reached...'],
    [{ callback: 'CLOSED', message: ': Invalid argument [22]' }, 'Call closed: : Invalid argument [22]'],
    [{ callback: 'CLOSED', message: '' }, 'Call closed'],
  ];
  for (const [message, text] of cases) {
    await page.click('#btn-interface');
    await page.locator('.modal.show.audiointerface-dialog').waitFor();
    server.push('/ws_calls', message);
    await page.locator('.modal').waitFor({ state: 'detached' });
    const toast = page.locator('.toast.text-bg-warning').first();
    assert.equal(await toast.textContent(), text);
  }
  assert.equal(await page.locator('.toast.text-bg-warning').count(), cases.length);
});

test('a prompt for a call that still rings survives CLOSED of another call', async (t) => {
  const { server, page } = await openPage(t);
  server.placeCall('sip:a@other.test', 'Established', 1);
  ring(server, 'sip:b@other.test', 2);
  const dialog = prompt(page, 'sip:b@other.test');
  await dialog.waitFor();
  // the call on track 1 ends from the far side
  server.calls.delete('1');
  server.push('/ws_calls', { callback: 'CLOSED', message: 'Connection reset by peer' });
  server.pushCalls();
  // the partner ended that call: the toast names it
  await page.locator('.toast', { hasText: 'Call closed: sip:a@other.test ended the call' }).waitFor();
  await sleep(200);
  assert.equal(await dialog.isVisible(), true);
  const sent = server.next('/ws_calls');
  await dialog.getByRole('button', { name: 'OK' }).click();
  assert.deepEqual(await sent, { command: 'accept', key: '2' });
});

test('a prompt whose caller gave up closes without sending a hang-up', async (t) => {
  const { server, page } = await openPage(t);
  ring(server, 'sip:c@other.test', 3);
  const dialog = prompt(page, 'sip:c@other.test');
  await dialog.waitFor();
  server.calls.delete('3');
  server.push('/ws_calls', { callback: 'CLOSED', message: 'Request Terminated' });
  server.pushCalls();
  await dialog.waitFor({ state: 'detached' });
  await sleep(200);
  assert.deepEqual(server.sent('/ws_calls'), []);
});

test('a prompt over the DTMF keyboard stays answerable, and the keyboard after it', async (t) => {
  const { server, page } = await openPage(t);
  server.placeCall('sip:ivr@other.test', 'Established', 1);
  server.pushCalls();
  await page.click('#dropdown1');
  await page.locator('#activecalls .keyboard').click();
  const keypad = page.locator('.modal.show', { hasText: 'DTMF Keyboard' });
  await keypad.waitFor();
  ring(server, 'sip:d@other.test', 2);
  const dialog = prompt(page, 'sip:d@other.test');
  await dialog.waitFor();
  const [zKeypad, zPrompt] = await Promise.all([keypad, dialog].map((d) => d.evaluate((n) => Number(getComputedStyle(n).zIndex))));
  assert.ok(zPrompt > zKeypad);
  let sent = server.next('/ws_calls');
  await dialog.getByRole('button', { name: 'OK' }).click();
  assert.deepEqual(await sent, { command: 'accept', key: '2' });
  await dialog.waitFor({ state: 'detached' });
  sent = server.next('/ws_calls');
  await keypad.locator('.btn-dtmf', { hasText: '7' }).click();
  assert.deepEqual(await sent, { command: 'dtmf', tone: '7', key: '1' });
  await page.keyboard.press('Escape');
  await keypad.waitFor({ state: 'detached' });
});
