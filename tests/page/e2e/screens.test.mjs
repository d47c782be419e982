// Screenshots of the main views and dialogs for review by eye; nothing here
// compares pixels.
import test from 'node:test';
import assert from 'node:assert/strict';
import { useBrowser, openPage, until } from '../lib/e2e.mjs';
import { screenshot } from '../lib/browser.mjs';
import { updateNotice } from '../lib/fixtures.mjs';
import { STUDIO as STATE, busyStudio } from '../lib/studio.mjs';

useBrowser();

const SIZES = [['desktop', { width: 1280, height: 800 }], ['phone', { width: 390, height: 844 }]];

for (const [size, viewport] of SIZES) {
  test(`screenshots at ${size} size`, async (t) => {
    const { server, page } = await openPage(t, STATE, { viewport });
    await screenshot(page, `${size}-tracks-empty`);
    await busyStudio(server, page);
    await screenshot(page, `${size}-tracks-calls`);
    await page.hover('#netstatus2 .netstatus-btn');
    await page.locator('#netstatus-info2').waitFor({ state: 'visible' });
    await screenshot(page, `${size}-tracks-network-popup`);
    await page.mouse.move(1, 1);
    await page.click('#dropdown1');
    await page.locator('#formControlRange1').waitFor({ state: 'visible' });
    await screenshot(page, `${size}-call-menu`);
    await page.keyboard.press('Escape');

    server.placeCall('sip:guest@other.test', 'Incoming', 4);
    server.pushCalls();
    server.push('/ws_calls', { callback: 'INCOMING', peeruri: 'sip:guest@other.test', key: '4' });
    await page.locator('.modal.show', { hasText: 'Incoming call' }).waitFor();
    await screenshot(page, `${size}-incoming`);
    await page.locator('.modal.show').getByRole('button', { name: 'Cancel' }).click();
    await page.locator('.modal').waitFor({ state: 'detached' });

    await page.click('#btn-interface');
    await page.locator('.modal.show.audiointerface-dialog').waitFor();
    await screenshot(page, `${size}-devices`);
    await page.keyboard.press('Escape');
    await page.locator('.modal').waitFor({ state: 'detached' });

    await page.click('#btn-onair');
    await page.locator('.modal.show', { hasText: 'Start live stream?' }).waitFor();
    await screenshot(page, `${size}-onair`);
    await page.keyboard.press('Escape');
    await page.locator('.modal').waitFor({ state: 'detached' });

    server.push('/ws_baresip', updateNotice('v27.1.0'));
    await page.locator('.modal.show', { hasText: 'Update available' }).waitFor();
    await screenshot(page, `${size}-update`);
    await page.keyboard.press('Escape');
    await page.locator('.modal').waitFor({ state: 'detached' });

    for (const [tab, pane] of [['#contacts-tab', 'contacts'], ['#sip-account-tab', 'accounts'], ['#sip-options-tab', 'options']]) {
      await page.evaluate(() => { window.location.hash = '#settings'; });
      await page.click(tab);
      await page.locator(`#${pane}.active.show`).waitFor();
      await screenshot(page, `${size}-settings-${pane}`);
    }
    await page.click('#sip-account-tab');
    await page.click('#buttonaddsip');
    await page.locator('.modal.show').getByRole('button', { name: 'Save' }).click();
    await screenshot(page, `${size}-account-form-invalid`);
    await page.keyboard.press('Escape');
    assert.equal(await page.locator('.modal.show').count(), 0);
  });
}

test('screenshots of the tour, the toasts and forced colours', async (t) => {
  const { server, page } = await openPage(t, STATE, { onboarded: false });
  await page.locator('.driver-popover').waitFor();
  await screenshot(page, 'desktop-tour-step1');
  await page.locator('.driver-popover-close-btn').click();
  server.push('/ws_calls', { callback: 'CLOSED', message: 'Connection reset by peer' });
  server.dropSockets();
  await until(async () => (await page.locator('.toast').count()) >= 3, 'toasts');
  await screenshot(page, 'desktop-toasts');

  const forced = await openPage(t, STATE, { forcedColors: 'active' });
  await busyStudio(forced.server, forced.page);
  await screenshot(forced.page, 'desktop-forced-colours');
  const short = await openPage(t, STATE, { viewport: { width: 1280, height: 500 } });
  await busyStudio(short.server, short.page);
  await screenshot(short.page, 'short-tracks-calls');
});
