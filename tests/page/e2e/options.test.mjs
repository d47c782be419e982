import test from 'node:test';
import assert from 'node:assert/strict';
import { useBrowser, openPage, until, sleep } from '../lib/e2e.mjs';

useBrowser();

const pressed = (page, id) => page.evaluate((i) => {
  const b = document.getElementById(i);
  return [b.classList.contains('btn-danger'), b.classList.contains('btn-secondary'), b.getAttribute('aria-pressed')];
}, id);

test('switches for the options present, carrying the value to send', async (t) => {
  const options = [['monostream', 'true'], ['monitoring', ''], ['verbose', 'true'], ['bypass', 'true']];
  const { server, page } = await openPage(t, { options }, { hash: '#settings' });
  await page.click('#sip-options-tab');
  const boxes = page.locator('#options .option-change');
  assert.deepEqual(await boxes.evaluateAll((list) => list.map((b) => [b.id, b.checked, b.dataset.value, b.getAttribute('role')])), [
    ['option-monitoring', false, 'true', 'switch'],
    ['option-monostream', true, '', 'switch'],
    ['option-verbose', true, '', 'switch'],
  ]);
  assert.deepEqual(await page.locator('#options label').allTextContents(), ['Monitoring', 'Mono Remote Streaming', 'Verbose Logging (SIP Trace)']);
  assert.equal(await page.getAttribute('#options a[href="/logs.txt"]', 'download'), 'zorvane-logs.txt');
  let sent = server.next('/ws_options');
  await page.click('#option-monitoring');
  assert.deepEqual(await sent, { key: 'monitoring', value: 'true' });
  await until(() => page.evaluate(() => document.getElementById('option-monitoring').dataset.value === ''), 're-rendered switch');
  sent = server.next('/ws_options');
  await page.click('#option-verbose');
  assert.deepEqual(await sent, { key: 'verbose', value: '' });
});

test('record and mute flip and send; their look follows the options object', async (t) => {
  const { server, page } = await openPage(t);
  server.quiet.add('/ws_options');
  let sent = server.next('/ws_options');
  await page.click('#btn-record');
  assert.deepEqual(await sent, { key: 'record', value: 'true' });
  await sleep(100);
  assert.deepEqual(await pressed(page, 'btn-record'), [false, true, 'false']);
  server.options.set('record', 'true');
  server.push('/ws_options', server.options.json());
  await until(async () => (await pressed(page, 'btn-record'))[0], 'record drawn on');
  assert.deepEqual(await pressed(page, 'btn-record'), [true, false, 'true']);
  sent = server.next('/ws_options');
  await page.click('#btn-record');
  assert.deepEqual(await sent, { key: 'record', value: 'false' });

  sent = server.next('/ws_options');
  await page.click('#btn-record-folder');
  assert.deepEqual(await sent, { key: 'record-folder', value: '1' });

  // M toggles mute outside text fields; inside it types
  sent = server.next('/ws_options');
  await page.click('#btn-mute');
  assert.deepEqual(await sent, { key: 'mute', value: 'true' });
  await page.click('#sipnumbercall');
  await page.keyboard.press('m');
  await page.keyboard.press('Shift+M');
  assert.equal(await page.inputValue('#sipnumbercall'), 'mM');
  await page.evaluate(() => document.activeElement.blur());
  sent = server.next('/ws_options');
  await page.keyboard.press('Control+m');
  assert.deepEqual(await sent, { key: 'mute', value: 'false' });
  assert.equal(server.sent('/ws_options').filter((m) => m.key === 'mute').length, 2);
  // an empty or absent value leaves the buttons alone
  server.options.set('mute', '');
  server.push('/ws_options', server.options.json());
  await sleep(100);
  assert.deepEqual(await pressed(page, 'btn-record'), [true, false, 'true']);
});

test('going on air explains first, unless told not to', async (t) => {
  const { server, page } = await openPage(t);
  server.quiet.add('/ws_options');
  await page.click('#btn-onair');
  const dialog = page.locator('.modal.show', { hasText: 'Start live stream?' });
  await dialog.waitFor();
  assert.match(await dialog.locator('.dialog-body').textContent(), /live session audio.*via stream\.zorvane\.net/s);
  await page.keyboard.press('Escape');
  await dialog.waitFor({ state: 'detached' });
  await sleep(100);
  assert.deepEqual(server.sent('/ws_options'), []);
  assert.deepEqual(await pressed(page, 'btn-onair'), [false, true, 'false']);

  await page.click('#btn-onair');
  await dialog.waitFor();
  await page.check('#stream-info-hide');
  let sent = server.next('/ws_options');
  await dialog.locator('.btn-danger', { hasText: 'Start streaming' }).click();
  assert.deepEqual(await sent, { key: 'onair', value: 'true' });
  // wanted at once, live once the program's stream call is up
  assert.deepEqual(await pressed(page, 'btn-onair'), [false, false, 'true']);
  assert.equal(await page.textContent('#onair-state'), 'connecting');
  server.push('/ws_calls', { callback: 'ONAIR', state: 'live', reason: '' });
  await page.locator('#btn-onair.btn-danger').waitFor();
  assert.deepEqual(await pressed(page, 'btn-onair'), [true, false, 'true']);
  assert.equal(await page.getAttribute('#btn-onair', 'title'), 'You are live: the session audio is being streamed. Click to stop streaming.');
  assert.equal(await page.textContent('#onair-state'), '');
  assert.equal(await page.evaluate(() => localStorage.getItem('zvstreaminfo')), 'hide');

  sent = server.next('/ws_options');
  await page.click('#btn-onair');
  assert.deepEqual(await sent, { key: 'onair', value: 'false' });
  assert.deepEqual(await pressed(page, 'btn-onair'), [false, true, 'false']);
  assert.match(await page.getAttribute('#btn-onair', 'title'), /^Live stream: broadcast/);
  sent = server.next('/ws_options');
  await page.click('#btn-onair');
  assert.deepEqual(await sent, { key: 'onair', value: 'true' });
  assert.equal(await page.locator('.modal').count(), 0);
});
