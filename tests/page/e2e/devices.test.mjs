import test from 'node:test';
import assert from 'node:assert/strict';
import { useBrowser, openPage, until } from '../lib/e2e.mjs';
import { devices } from '../lib/fixtures.mjs';

useBrowser();

const options = (page, id) => page.locator(`#${id} option`).evaluateAll((list) => list.map((o) => [o.value, o.textContent.trim(), o.selected]));

test('the device dialog shows the dictionary and sends integer ids', async (t) => {
  const { server, page } = await openPage(t, { devices: devices({ channels: 2, first: 1, error: 'Input overflow' }) });
  await page.click('#btn-interface');
  const dialog = page.locator('.modal.show.audiointerface-dialog');
  await dialog.waitFor();
  assert.equal(await dialog.locator('.modal-title').textContent(), 'Change audio device');
  assert.deepEqual(await options(page, 'interface_driver'), [['0', 'ALSA', false], ['1', 'JACK', true]]);
  assert.deepEqual(await options(page, 'interface_input'), [['3', 'system', true], ['5', 'USB Mic', false]]);
  assert.deepEqual(await options(page, 'first_input_channel'), [['0', '0', false], ['1', '1', true], ['99', 'Mix all input channels', false]]);
  assert.deepEqual(await options(page, 'interface_output'), [['3', 'system', true], ['7', 'USB Phones', false]]);
  assert.equal(await dialog.locator('.zv-error[role="alert"]').textContent(), 'Input overflow');

  for (const [id, value, command] of [['interface_driver', '0', 'driver'], ['interface_input', '5', 'input'], ['first_input_channel', '99', 'first_input_channel'], ['interface_output', '7', 'output']]) {
    server.quiet.add('/ws_audio');
    const sent = server.next('/ws_audio');
    await page.selectOption(`#${id}`, value);
    const msg = await sent;
    assert.deepEqual(msg, { command, id: Number(value) });
    assert.equal(server.received.at(-1).text, `{"command":"${command}","id":${value}}`);
  }
  server.quiet.delete('/ws_audio');

  // Reload stays open, and a new dictionary re-renders the open dialog
  server.devices = devices({ channels: 4, first: 99, error: 'Device lost' });
  const sent = server.next('/ws_audio');
  await dialog.getByRole('button', { name: 'Reload' }).click();
  assert.deepEqual(await sent, { command: 'reload' });
  await until(async () => (await dialog.locator('.zv-error').textContent()) === 'Device lost', 'new error text');
  assert.deepEqual((await options(page, 'first_input_channel')).map(([v, , s]) => [v, s]), [['0', false], ['1', false], ['2', false], ['3', false], ['99', true]]);
  assert.equal(await dialog.isVisible(), true);
  const again = server.next('/ws_audio');
  await page.selectOption('#interface_output', '3');
  assert.deepEqual(await again, { command: 'output', id: 3 });
  await dialog.locator('.modal-footer .btn', { hasText: 'Close' }).click();
  await dialog.waitFor({ state: 'detached' });
});
