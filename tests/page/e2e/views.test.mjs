// Every view, menu, popup and dialog of the page as a person meets them, on
// a desktop and on a narrow phone: the accessibility audit finds nothing
// serious, no figure reads "undefined" or "NaN", nothing scrolls sideways,
// and each look is kept as a screenshot.
import test from 'node:test';
import assert from 'node:assert/strict';
import { useBrowser, openPage, until, sleep } from '../lib/e2e.mjs';
import { look, glyphContrast } from '../lib/audit.mjs';
import { screenshot } from '../lib/browser.mjs';
import { devices, meterLine, stats, statsEntry, updateNotice } from '../lib/fixtures.mjs';

useBrowser();

const STATE = {
  accounts: [
    ['0', { user: '631', domain: 'sip.zorvane.net', password: 'x', status: true, current: true }],
    ['1', { user: 'studio-desk', domain: 'pbx.broadcast-house.example', password: 'y', status: false }],
  ],
  contacts: [['0', { name: 'Carol', sip: 'carol@sip.zorvane.net' }], ['1', { name: 'Newsroom', sip: 'newsroom-desk@pbx.broadcast-house.example' }]],
  devices: devices({ error: 'Output device busy' }),
};

const SIZES = [['desktop', { width: 1280, height: 800 }], ['narrow', { width: 360, height: 740 }]];
// the phone the faults were seen on
const PHONE = { width: 390, height: 844 };

const shown = (page, text) => page.locator('.modal.show', { hasText: text });

async function closeDialog(page) {
  await page.keyboard.press('Escape');
  await page.locator('.modal').waitFor({ state: 'detached' });
}

async function studio(server, page) {
  server.placeCall('sip:carol@sip.zorvane.net', 'Established', 1);
  server.placeCall('sip:4711@pbx.broadcast-house.example', 'Established', 2);
  server.placeCall('sip:guest@other.test', 'Outgoing', 3);
  server.pushCalls();
  await page.locator('#netstatus3').waitFor();
  server.push('/ws_calls', stats([statsEntry(1), statsEntry(2, { rtt: 250000, jitter: 12000 }), statsEntry(3, { jbuf: 'full' })]));
  server.push('/ws_meter', meterLine({ 0: ['-12.0', '-14.5'], 1: ['-24.0', '-22.0'], 3: ['-5.0', '-2.5'] }, '0:03:17'));
  await until(async () => (await page.textContent('#record_time')) === '0:03:17', 'meters');
  for (const key of ['record', 'mute']) server.options.set(key, 'true');
  server.push('/ws_options', server.options.json());
  await page.locator('#btn-mute.btn-danger').waitFor();
}

// What is wrong with the tour's step on screen: a popover over the element
// it describes or off the screen, text under the close button (with its
// focus ring), or controls that are not in the page's font.
function tourFaults(page) {
  return page.evaluate(() => {
    const faults = [];
    const box = (el, grow = 0) => {
      const r = el.getBoundingClientRect();
      return { left: r.left - grow, top: r.top - grow, right: r.right + grow, bottom: r.bottom + grow };
    };
    const meets = (a, b) => a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
    const popover = document.querySelector('.driver-popover');
    const close = popover.querySelector('.driver-popover-close-btn');
    // the focus ring reaches 2 + 3 px out, its dark ring 5 px more
    const ring = box(close, 10);
    const p = box(popover);
    if (p.left < 0 || p.top < 0 || p.right > innerWidth || p.bottom > innerHeight) faults.push('the popover leaves the screen');
    if (ring.left < 0 || ring.top < 0 || ring.right > innerWidth) faults.push('the close button is cut at the screen edge');
    const shown = document.querySelector('.driver-active-element');
    if (shown && meets(p, box(shown))) faults.push('the popover covers the element it describes');
    const range = document.createRange();
    range.selectNodeContents(popover.querySelector('.driver-popover-description'));
    if ([...range.getClientRects()].some((r) => meets(r, ring))) faults.push('the text runs under the close button');
    for (const el of popover.querySelectorAll('button, .driver-popover-description, .driver-popover-progress-text')) {
      if (!getComputedStyle(el).fontFamily.startsWith('"Roboto Mono"')) faults.push(`${el.className} not in the page's font`);
    }
    return faults;
  });
}

for (const [size, viewport] of SIZES) {
  test(`the tracks view with calls, its menus and dialogs at ${size} size`, async (t) => {
    const { server, page } = await openPage(t, STATE, { viewport });
    await look(page, `${size}-tracks-empty`);
    await studio(server, page);
    await look(page, `${size}-tracks-calls`);

    await page.focus('#netstatus2 .netstatus-btn');
    const popup = page.locator('#netstatus-info2');
    await popup.waitFor({ state: 'visible' });
    const box = await popup.boundingBox();
    assert.ok(box.x >= 0 && box.x + box.width <= viewport.width, `popup at ${box.x}..${box.x + box.width}`);
    assert.ok(box.width >= 260, `popup ${box.width} wide`);
    assert.ok(await popup.evaluate((p) => p.scrollWidth <= p.clientWidth), 'the figures fit in the popup');
    await look(page, `${size}-network-popup`);

    await page.click('#dropdown1');
    await page.locator('#formControlRange1').waitFor({ state: 'visible' });
    await look(page, `${size}-call-menu`);
    await page.locator('#activecalls .zv-track[data-track="1"] .keyboard').click();
    await shown(page, 'DTMF Keyboard').waitFor();
    await look(page, `${size}-dtmf`);
    await closeDialog(page);

    await page.click('#dropdown2');
    await page.locator('#activecalls .zv-track[data-track="2"] .addcontactshort').click();
    const add = shown(page, 'Add Contact');
    await add.waitFor();
    await page.fill('#formaddcontact-name', 'ab');
    await add.getByRole('button', { name: 'Save' }).click();
    await page.locator('#formaddcontact-name.is-invalid').waitFor();
    await look(page, `${size}-add-contact-invalid`);
    await closeDialog(page);

    server.placeCall('sip:caller@other.test', 'Incoming', 4);
    server.pushCalls();
    server.push('/ws_calls', { callback: 'INCOMING', peeruri: 'sip:caller@other.test', key: '4' });
    await shown(page, 'Incoming call').waitFor();
    await look(page, `${size}-incoming`);
    await closeDialog(page);

    await page.click('#btn-interface');
    await page.locator('.modal.show.audiointerface-dialog').waitFor();
    await look(page, `${size}-devices`);
    await closeDialog(page);

    await page.click('#btn-onair');
    await shown(page, 'Start live stream?').waitFor();
    await look(page, `${size}-onair`);
    await closeDialog(page);

    server.push('/ws_baresip', updateNotice('v27.1.0'));
    await shown(page, 'Update available').waitFor();
    await look(page, `${size}-update`);
    await closeDialog(page);

    await page.click('#changelog');
    const about = shown(page, 'Changelog');
    await about.waitFor();
    await look(page, `${size}-about`);
    await about.getByRole('tab', { name: 'Credits' }).click();
    await page.locator('#credits.show').waitFor();
    await look(page, `${size}-about-credits`);
    await about.getByRole('button', { name: 'OK' }).click();
    await page.locator('.modal').waitFor({ state: 'detached' });

    server.dropSockets();
    await page.locator('.zv-stopped').waitFor();
    await look(page, `${size}-stopped`);
  });

  test(`the settings view, its forms, the toasts and the tour at ${size} size`, async (t) => {
    const { server, page } = await openPage(t, STATE, { viewport, hash: '#settings' });
    await look(page, `${size}-settings-contacts`);
    await page.click('#buttonaddcontact');
    await shown(page, 'Add Contact').waitFor();
    await look(page, `${size}-new-contact`);
    await closeDialog(page);

    await page.click('#sip-account-tab');
    await page.locator('#accounts.show').waitFor();
    await look(page, `${size}-settings-accounts`);
    await page.click('#buttonaddsip');
    const add = shown(page, 'Add SIP Account');
    await add.waitFor();
    await add.getByRole('button', { name: 'Save' }).click();
    await page.locator('#formaddsip .is-invalid').first().waitFor();
    await look(page, `${size}-new-account-invalid`);
    await closeDialog(page);
    await page.locator('.editsip').first().click();
    await shown(page, 'Edit SIP Account').waitFor();
    await look(page, `${size}-edit-account`);
    await closeDialog(page);

    await page.click('#sip-options-tab');
    await page.locator('#options.show').waitFor();
    await look(page, `${size}-settings-options`);

    server.push('/ws_calls', { callback: 'CLOSED', message: 'Connection reset by peer' });
    server.push('/ws_calls', { callback: 'INCOMING', peeruri: 'sip:x@other.test', key: '9' });
    await shown(page, 'Incoming call').waitFor();
    await closeDialog(page);
    await until(async () => (await page.locator('.toast').count()) === 2, 'toasts');
    await look(page, `${size}-toasts`);

    const tour = await openPage(t, STATE, { viewport, onboarded: false });
    for (let step = 1; step <= 3; step += 1) {
      const popover = tour.page.locator('.driver-popover');
      await popover.locator('.driver-popover-progress-text', { hasText: `${step} of 3` }).waitFor();
      await look(tour.page, `${size}-tour-step${step}`);
      assert.deepEqual(await tourFaults(tour.page), [], `tour step ${step}`);
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
