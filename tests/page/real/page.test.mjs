// The page in Chromium against the built program, reached at the address
// the program itself opens: start-up with its six sockets, an option saved by
// one page and shown by another, the meters under a real input signal and
// the device dialog's choices, recording from the footer, every view and
// dialog as a person sees it (audited, kept as screenshots), and the
// program's end with its last page.
import test, { after, before } from 'node:test';
import assert from 'node:assert/strict';
import { readdirSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { launch, closePage, screenshot } from '../lib/browser.mjs';
import { look, tourFaults } from '../lib/audit.mjs';
import { walk } from '../lib/walk.mjs';
import { PATHS } from '../lib/fakeserver.mjs';
import { RealProgram } from './program.mjs';
import { openFirstPage, openProgramPage, meterBars, until } from './pages.mjs';

let program;
let browser;
let first;

before(async () => {
  program = new RealProgram();
  await program.start();
  browser = await launch();
  first = await openFirstPage(browser, program);
});

after(async () => {
  await browser?.close();
  const code = await program?.stop();
  assert.equal(code, 0, 'the program\'s exit code');
});

const openPage = (t, options) => openProgramPage(t, browser, program, options);

test('the page from the opened address starts and connects all six sockets', async (t) => {
  const page = await openPage(t);
  assert.equal(page.url(), program.url);
  assert.deepEqual(await page.evaluate(() => window.__sockets), ['/ws_audio', '/ws_baresip', '/ws_calls', '/ws_meter', '/ws_contacts', '/ws_options']);
  assert.deepEqual([...await page.evaluate(() => window.__open)].sort(), [...PATHS].sort());
  assert.equal(await page.title(), 'Zorvane');
  assert.equal(await page.locator('#version #changelog').textContent(), 'v26.11.0-stable');
  const hidden = await page.evaluate(() => ['btn-interface', 'btn-record', 'btn-record-folder', 'btn-onair', 'btn-mute']
    .filter((id) => document.getElementById(id).classList.contains('d-none')));
  assert.deepEqual(hidden, []);
  // the first pushes of the program were taken: its options and devices
  const switches = await page.locator('#options .option-change').evaluateAll((boxes) => boxes.map((b) => [b.dataset.option, b.checked]));
  assert.deepEqual(Object.fromEntries(switches), Object.fromEntries(Object.entries(program.options()).map(([k, v]) => [k, v !== ''])));
  await page.click('#btn-interface');
  const dialog = page.locator('.modal.show.audiointerface-dialog');
  await dialog.waitFor();
  assert.equal(await dialog.locator('#interface_driver option[selected]').textContent(), 'JACK');
  assert.ok(await dialog.locator('#interface_input option').count() >= 1, 'an input device');
  assert.equal(await dialog.locator('.zv-error').textContent(), '');
  // a reload restarts the engine and sends the devices again
  await dialog.locator('#forminterface').evaluate((form) => { form.zvShown = true; });
  await dialog.getByRole('button', { name: 'Reload' }).click();
  await until(() => dialog.locator('#forminterface').evaluate((form) => !form.zvShown), 'the devices after the reload');
  assert.equal(await dialog.locator('#interface_driver option[selected]').textContent(), 'JACK');
  await dialog.locator('.modal-footer').getByRole('button', { name: 'Close' }).click();
  await dialog.waitFor({ state: 'detached' });
});

test('an option switched in one page is saved and shown in a second page', async (t) => {
  const first = await openPage(t, { hash: '#settings' });
  const second = await openPage(t, { hash: '#settings' });
  for (const page of [first, second]) await page.click('#sip-options-tab');
  assert.equal(program.options().monitoring, '');
  assert.equal(await second.isChecked('#option-monitoring'), false);

  await first.click('#option-monitoring');
  await until(() => program.options().monitoring === 'true', 'monitoring saved as on');
  await until(() => second.isChecked('#option-monitoring'), 'the second page showing monitoring on');
  assert.equal(await first.isChecked('#option-monitoring'), true);

  await second.click('#option-monitoring');
  await until(() => program.options().monitoring === '', 'monitoring saved as off');
  await until(async () => !(await first.isChecked('#option-monitoring')), 'the first page showing monitoring off');
  assert.deepEqual(program.options(), { monitoring: '', monorecord: 'true', monostream: 'true', verbose: '' });

  // a footer toggle goes the same way, without a file
  await first.click('#btn-mute');
  await second.locator('#btn-mute.btn-danger[aria-pressed="true"]').waitFor();
  await second.click('#btn-mute');
  await first.locator('#btn-mute.btn-secondary[aria-pressed="false"]').waitFor();
  assert.equal('mute' in program.options(), false);
});

test('the logs link of the options downloads the program\'s log', async (t) => {
  const page = await openPage(t, { hash: '#settings' });
  await page.click('#sip-options-tab');
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#options .zv-logs a')]);
  assert.equal(download.suggestedFilename(), 'zorvane-logs.txt');
  const text = readFileSync(await download.path(), 'utf8');
  assert.match(text, /^===== zorvane\.0\.log =====\n.*zvlogging: Version v26\.11\.0-stable/s);
});

test('meter lines draw the local input and follow a real signal', async (t) => {
  const page = await openPage(t);
  await until(async () => (await meterBars(page, 'microphonebar1')).length === 2, 'the first meter line');
  // the dummy card's capture ports are silent
  assert.deepEqual(await meterBars(page, 'microphonebar1'), [0, 0]);

  await program.toneOn();
  const [left, right] = await until(async () => {
    const bars = await meterBars(page, 'microphonebar1');
    return bars[0] > 0 && bars;
  }, 'the left meter rising with the tone');
  // the example client's sine peaks at a fifth of full scale, about -14 dB;
  // with mono recording on, the right side repeats the left
  assert.ok(left > 40 && left < 90, `left ${left}`);
  assert.equal(program.options().monorecord, 'true');
  assert.equal(right, left);
  await screenshot(page, 'real-desktop-tracks-input');

  // switched off in the page, the engine takes the silent right channel
  await page.evaluate(() => { window.location.hash = '#settings'; });
  await page.click('#sip-options-tab');
  await page.click('#option-monorecord');
  await until(async () => (await meterBars(page, 'microphonebar1'))[1] === 0, 'the right meter falling');
  assert.ok((await meterBars(page, 'microphonebar1'))[0] > 40);
  await page.click('#option-monorecord');
  await until(async () => (await meterBars(page, 'microphonebar1'))[1] > 40, 'the right meter back');
  assert.equal(program.options().monorecord, 'true');

  // the input channel chosen in the device dialog: the tone on the second
  // channel only, then on both summed (twice the level, 6 dB up), then back
  // on the first
  await page.evaluate(() => { window.location.hash = '#tracks'; });
  await page.click('#btn-interface');
  const dialog = page.locator('.modal.show.audiointerface-dialog');
  const RIGHT_IN = 'PortAudio:in_1';
  const levels = {};
  for (const [channel, ports, above] of [['1', [RIGHT_IN], 40], ['99', ['PortAudio:in_0', RIGHT_IN], left + 5], ['0', ['PortAudio:in_0'], 40]]) {
    await dialog.locator('#forminterface').evaluate((form) => { form.zvShown = true; });
    await dialog.locator('#first_input_channel').selectOption(channel);
    // the program restarts the streams, then sends its device dictionary
    // (again after its watchdog restarted streams that failed to start)
    await until(() => dialog.locator('#forminterface').evaluate((form, c) => !form.zvShown
      && form.querySelector('#first_input_channel').value === c, channel), 'the devices after the restart');
    levels[channel] = await until(async () => {
      await program.routeTone(ports);
      const bars = await meterBars(page, 'microphonebar1');
      return bars[0] > above && bars[1] === bars[0] && bars[0];
    }, `input channel ${channel}`);
  }
  assert.ok(levels['99'] > levels['1'] + 5, JSON.stringify(levels));
  await page.keyboard.press('Escape');
  await dialog.waitFor({ state: 'detached' });

  await program.toneOff();
  await until(async () => (await meterBars(page, 'microphonebar1'))[0] === 0, 'the left meter falling back');
  // meters 2 to 10 have no slot in the program's lines
  assert.equal(await page.locator('.zv-meter:not(.d-none)').count(), 1);
});

test('recording from the footer: the button, the running time and the folder', async (t) => {
  const page = await openPage(t);
  await page.click('#btn-record');
  await page.locator('#btn-record.btn-danger[aria-pressed="true"]').waitFor();
  // the time field of the meter lines runs while the recorder writes
  await until(async () => (await page.textContent('#record_time')) >= '0:00:02', 'the running record time');
  assert.equal(program.options().record, undefined, 'recording is not saved');
  await page.click('#btn-record-folder');
  await until(() => program.opened().length === 2, 'the recordings folder opened');
  const folder = program.opened()[1];
  assert.ok(folder.startsWith(join(program.root, 'Desktop', 'zorvane')), folder);
  await page.click('#btn-record');
  await page.locator('#btn-record.btn-secondary[aria-pressed="false"]').waitFor();
  await until(async () => (await page.textContent('#record_time')) === '0:00:00', 'the record time back at zero');
  const recordings = readdirSync(join(program.root, 'Desktop', 'zorvane'));
  assert.equal(recordings.length, 1);
  assert.ok(readdirSync(join(program.root, 'Desktop', 'zorvane', recordings[0])).includes('local.flac'));
});

test('every view and dialog of the program\'s page on a desktop and on phones, and the tour', async (t) => {
  for (const [size, viewport] of [['desktop', { width: 1280, height: 800 }], ['phone', { width: 390, height: 844 }], ['narrow', { width: 360, height: 740 }]]) {
    const page = await openPage(t, { viewport });
    await until(async () => (await meterBars(page, 'microphonebar1')).length === 2, 'the first meter line');
    await walk(page, `real-${size}`);
  }
  for (const viewport of [{ width: 1280, height: 800 }, { width: 390, height: 844 }]) {
    const tour = await openPage(t, { onboarded: false, viewport });
    const popover = tour.locator('.driver-popover');
    for (let step = 1; step <= 3; step += 1) {
      await popover.locator('.driver-popover-progress-text', { hasText: `${step} of 3` }).waitFor();
      await look(tour, `real-${viewport.width < 480 ? 'phone' : 'desktop'}-tour-step${step}`);
      assert.deepEqual(await tourFaults(tour), [], `tour step ${step}`);
      await popover.locator('.driver-popover-next-btn').click();
    }
  }
});

test('closing the last page ends the program', async () => {
  const { errors, csp } = await closePage(first);
  assert.deepEqual(errors, []);
  assert.deepEqual(csp, []);
  assert.equal(await program.ended(), 0);
});
