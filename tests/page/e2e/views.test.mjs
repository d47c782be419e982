// Every view, menu, popup and dialog of the page as a person meets them, on
// a desktop and on a narrow phone: the accessibility audit finds nothing
// serious, no figure reads "undefined" or "NaN", nothing scrolls sideways,
// and each look is kept as a screenshot.
import test from 'node:test';
import assert from 'node:assert/strict';
import { useBrowser, openPage, sleep } from '../lib/e2e.mjs';
import { look, glyphContrast, tourFaults } from '../lib/audit.mjs';
import { walk, closeDialog } from '../lib/walk.mjs';
import { screenshot } from '../lib/browser.mjs';
import { devices, stats, statsEntry, updateNotice } from '../lib/fixtures.mjs';
import { STUDIO, busyStudio } from '../lib/studio.mjs';

useBrowser();

const STATE = { ...STUDIO, devices: devices({ error: 'Output device busy' }) };

const SIZES = [['desktop', { width: 1280, height: 800 }], ['narrow', { width: 360, height: 740 }]];
// the phone the faults were seen on
const PHONE = { width: 390, height: 844 };

const shown = (page, text) => page.locator('.modal.show', { hasText: text });

async function studio(server, page) {
  await busyStudio(server, page);
  server.options.set('mute', 'true');
  server.push('/ws_options', server.options.json());
  await page.locator('#btn-mute.btn-danger').waitFor();
}

for (const [size, viewport] of SIZES) {
  test(`every view, menu and dialog with calls and without, at ${size} size`, async (t) => {
    const { server, page } = await openPage(t, STATE, { viewport });
    await look(page, `${size}-tracks-empty`);
    await studio(server, page);
    await walk(page, size);

    server.placeCall('sip:caller@other.test', 'Incoming', 4);
    server.pushCalls();
    server.push('/ws_calls', { callback: 'INCOMING', peeruri: 'sip:caller@other.test', key: '4' });
    await shown(page, 'Incoming call').waitFor();
    await look(page, `${size}-incoming`);
    await closeDialog(page);

    server.push('/ws_baresip', updateNotice('v27.1.0'));
    await shown(page, 'Update available').waitFor();
    await look(page, `${size}-update`);
    await closeDialog(page);

    server.push('/ws_calls', { callback: 'CLOSED', message: 'Connection reset by peer' });
    await page.locator('.toast', { hasText: 'Call closed' }).waitFor();
    await look(page, `${size}-toasts`);
    server.dropSockets();
    await page.locator('.zv-stopped').waitFor();
    await look(page, `${size}-stopped`);
  });

  test(`the tour at ${size} size`, async (t) => {
    const { page } = await openPage(t, STATE, { viewport, onboarded: false });
    for (let step = 1; step <= 3; step += 1) {
      const popover = page.locator('.driver-popover');
      await popover.locator('.driver-popover-progress-text', { hasText: `${step} of 3` }).waitFor();
      await look(page, `${size}-tour-step${step}`);
      assert.deepEqual(await tourFaults(page), [], `tour step ${step}`);
      await popover.locator('.driver-popover-next-btn').click();
    }
  });
}

test('close buttons stand out from the dialog and the toasts they sit on', async (t) => {
  const { server, page } = await openPage(t);
  await page.click('#btn-interface');
  const dialog = page.locator('.modal.show');
  await dialog.waitFor();
  const dialogClose = await glyphContrast(page, dialog.locator('.btn-close'));
  assert.ok(dialogClose >= 3, `dialog close button ${dialogClose}:1`);
  await closeDialog(page);
  for (const [message, type] of [[{ callback: 'CLOSED', message: 'x' }, 'warning'], [{ callback: 'INCOMING', peeruri: 'sip:a@b', key: '1' }, 'success']]) {
    server.push('/ws_calls', message);
    const close = page.locator(`.toast.text-bg-${type} .btn-close`);
    await close.waitFor();
    const ratio = await glyphContrast(page, close);
    assert.ok(ratio >= 3, `${type} toast close button ${ratio}:1`);
  }
  server.dropSockets();
  const close = page.locator('.toast.text-bg-danger .btn-close').first();
  await close.waitFor();
  const ratio = await glyphContrast(page, close);
  assert.ok(ratio >= 3, `error toast close button ${ratio}:1`);
});

test('states show without their colours: network quality and the pressed toggles in forced colours', async (t) => {
  const { server, page } = await openPage(t, {}, { forcedColors: 'active' });
  for (const track of [1, 2, 3, 4]) server.placeCall(`sip:guest${track}@other.test`, 'Established', track);
  server.pushCalls();
  await page.locator('#netstatus4').waitFor();
  server.push('/ws_calls', stats([statsEntry(1), statsEntry(2, { rtt: 250000 }), statsEntry(3, { rtt: 500000 }), statsEntry(4, { rxPackets: 0 })]));
  await page.locator('#netstatus3 .netstatus-bad').waitFor();
  const looks = [];
  for (const track of [1, 2, 3, 4]) looks.push((await page.locator(`#netstatus${track} .netstatus-icon`).screenshot()).toString('base64'));
  assert.equal(new Set(looks).size, 4, 'good, fair, bad and no data look different');
  await screenshot(page, 'forced-colours-network');

  for (const [id, key] of [['btn-mute', 'mute'], ['btn-record', 'record'], ['btn-onair', 'onair']]) {
    const off = (await page.locator(`#${id}`).screenshot()).toString('base64');
    server.options.set(key, 'true');
    server.push('/ws_options', server.options.json());
    await page.locator(`#${id}[aria-pressed="true"]`).waitFor();
    const on = (await page.locator(`#${id}`).screenshot()).toString('base64');
    assert.ok(on !== off, `${key} on looks different from off`);
  }
  await screenshot(page, 'forced-colours-toggles-on');
});

test('the tour on a phone, where the ID line comes in after it started', async (t) => {
  const { page } = await openPage(t, STATE, { viewport: PHONE, onboarded: false });
  const popover = page.locator('.driver-popover');
  for (let step = 1; step <= 3; step += 1) {
    await popover.locator('.driver-popover-progress-text', { hasText: `${step} of 3` }).waitFor();
    await page.locator('#zv-id:not(.d-none)').waitFor();
    await sleep(100);
    assert.deepEqual(await tourFaults(page), [], `tour step ${step}`);
    await screenshot(page, `phone-tour-step${step}`);
    await popover.locator('.driver-popover-next-btn').click();
  }
});
