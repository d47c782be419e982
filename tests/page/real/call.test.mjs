// Calls between the program's page and Debian's baresip on loopback: the
// card with its state, the caller's meter and network figures, the channel
// mix, volume, DTMF and the hang-up, by mouse and by keyboard; every view
// and dialog during a call on a desktop and on phones; a caller's ring with
// its prompt, and the far end's hang-up; and the page when the program quits
// during a call, all through the real program.
import test, { after, before } from 'node:test';
import assert from 'node:assert/strict';
import { launch, screenshot } from '../lib/browser.mjs';
import { look, missingFigures } from '../lib/audit.mjs';
import { walk } from '../lib/walk.mjs';
import { RealProgram } from './program.mjs';
import { FarEnd } from './farend.mjs';
import { openFirstPage, openProgramPage, meterBars, until } from './pages.mjs';

let program;
let farend;
let browser;

before(async () => {
  program = new RealProgram({ sipPort: 5090 });
  await program.start();
  farend = new FarEnd(program.root, 5080, 4444);
  await farend.start();
  browser = await launch();
  await openFirstPage(browser, program);
});

after(async () => {
  await browser?.close();
  await farend?.stop();
  assert.equal(await program?.stop(), 0, 'the program\'s exit code');
});

test('a call dialled in the page shows its card, meter and figures, takes its controls and hangs up', async (t) => {
  const page = await openProgramPage(t, browser, program);
  await page.fill('#sipnumbercall', farend.aor);
  await page.click('#buttoncall');
  const card = page.locator('.zv-track[data-track="1"]');
  await card.locator('.zv-track-state', { hasText: 'Established' }).waitFor();
  // a peer outside the service's domain is shown as the program names it
  assert.equal(await card.locator('.zv-track-title').textContent(), `sip:${farend.aor};transport=udp`);
  assert.equal(await page.inputValue('#sipnumbercall'), '');

  // the far end's tone on the track's own slot
  const [left, right] = await until(async () => {
    const bars = await meterBars(page, 'headphonesbar1');
    return bars.length === 2 && bars[0] > 20 && bars;
  }, 'the caller\'s meter');
  assert.ok(right > 20, `right ${right}`);
  assert.ok(left <= 100);
  // the statistics of a clean loopback call
  await until(async () => (await card.locator('.netstatus-icon').getAttribute('class')).includes('netstatus-good'), 'network quality');
  await until(async () => {
    const [rx, tx] = (await card.locator('[data-stat="packets"]').textContent()).split(' / ').map(Number);
    return rx > 0 && tx > 0;
  }, 'packets both ways');
  assert.match(await card.locator('[data-stat="bitrate"]').textContent(), /^\d+ kbit\/s \/ \d+ kbit\/s$/);
  assert.equal(await page.evaluate(() => window.callactive), true);
  await screenshot(page, 'real-desktop-call');
  // the receive buffer's figures, every one of them real
  await until(async () => /^\d+$/.test(await card.locator('[data-stat="jb_packets"]').textContent()), 'the jitter buffer figures');
  await card.locator('.netstatus-btn').focus();
  assert.deepEqual(await missingFigures(page), []);
  const cells = await card.locator('[data-stat]').evaluateAll((list) => Object.fromEntries(list.map((c) => [c.dataset.stat, c.textContent])));
  assert.match(cells.jb_delay, /^\d+ ms$/);
  assert.match(cells.jb_jitter, /^\d+ ms$/);
  assert.match(cells.jb_skew, /^-?\d+ ppm$/);
  assert.match(cells.jb_late, /^\d+ \/ \d+$/);
  await screenshot(page, 'real-desktop-call-network');
  // the popup goes with the focus, once no pointer rests on it
  await page.mouse.move(1, 1);
  await page.focus('#sipnumbercall');

  await card.locator('.chmix').click();
  await card.locator('.chmix', { hasText: 'Mono L' }).waitFor();
  // the volume comes back from the program with the menu still open
  await page.click('#dropdown1');
  await page.locator('#formControlRange1').fill('0.5');
  await page.locator('label[for="formControlRange1"]', { hasText: 'Volume (0.5)' }).waitFor();
  assert.equal(await page.locator('#formControlRange1').isVisible(), true);
  // and by keyboard, step by step, the slider keeping the focus
  await page.focus('#formControlRange1');
  for (const value of ['0.55', '0.6']) {
    await page.keyboard.press('ArrowRight');
    await page.locator('label[for="formControlRange1"]', { hasText: `Volume (${value})` }).waitFor();
    assert.equal(await page.evaluate(() => document.activeElement.id), 'formControlRange1');
  }
  // a key of the DTMF keypad reaches the far end
  await page.locator('.dropdown-item.keyboard').click();
  const keypad = page.locator('.modal.show');
  await keypad.getByRole('button', { name: '5', exact: true }).click();
  await until(() => farend.output().includes("received event: '5'"), 'the tone at the far end');
  await keypad.getByRole('button', { name: 'Cancel' }).click();
  await keypad.waitFor({ state: 'detached' });
  await card.locator('.hangup').click();
  await card.waitFor({ state: 'detached' });
  assert.equal(await page.evaluate(() => window.callactive), false);
  // the page's own hang-up is no far-end close: no toast
  assert.equal(await page.locator('.toast').count(), 0);
});

test('two calls: Enter on one Hang up ends that call only, and a second Enter ends nothing', async (t) => {
  const page = await openProgramPage(t, browser, program);
  for (const track of ['1', '2']) {
    await page.fill('#sipnumbercall', farend.aor);
    await page.press('#sipnumbercall', 'Enter');
    await page.locator(`.zv-track[data-track="${track}"] .zv-track-state`, { hasText: 'Established' }).waitFor();
  }
  await page.focus('#hangup1');
  await page.keyboard.press('Enter');
  await page.locator('.zv-track[data-track="1"]').waitFor({ state: 'detached' });
  assert.equal(await page.evaluate(() => document.activeElement.id), 'sipnumbercall');
  // the dial box is empty: the program answers that, and the other call stays
  await page.keyboard.press('Enter');
  await page.locator('.toast', { hasText: 'Call closed: SIP Number Empty' }).waitFor();
  assert.equal(await page.locator('.zv-track[data-track="2"] .zv-track-state').textContent(), 'Established');
  await page.focus('#hangup2');
  await page.keyboard.press('Enter');
  await page.locator('.zv-track[data-track="2"]').waitFor({ state: 'detached' });
});

test('every view and dialog during a call, on a desktop and on phones', async (t) => {
  for (const [size, viewport] of [['desktop', { width: 1280, height: 800 }], ['phone', { width: 390, height: 844 }], ['narrow', { width: 360, height: 740 }]]) {
    const page = await openProgramPage(t, browser, program, { viewport });
    if (size === 'desktop') {
      await page.fill('#sipnumbercall', farend.aor);
      await page.click('#buttoncall');
    }
    const card = page.locator('.zv-track[data-track="1"]');
    await card.locator('.zv-track-state', { hasText: 'Established' }).waitFor();
    await until(async () => /^\d+$/.test(await card.locator('[data-stat="jb_packets"]').textContent()), 'the figures of the call');
    // the dialogs by keyboard: the focus stays inside and comes back
    await page.focus('#btn-interface');
    await page.keyboard.press('Enter');
    const devices = page.locator('.modal.show.audiointerface-dialog');
    await devices.waitFor();
    for (let i = 0; i < 8; i += 1) await page.keyboard.press('Tab');
    assert.equal(await devices.evaluate((d) => d.contains(document.activeElement)), true);
    await page.keyboard.press('Escape');
    await page.locator('.modal').waitFor({ state: 'detached' });
    assert.equal(await page.evaluate(() => document.activeElement.id), 'btn-interface');
    await walk(page, `real-${size}-call`);
  }
  const page = await openProgramPage(t, browser, program);
  await page.locator('#hangup1').click();
  await page.locator('.zv-track[data-track="1"]').waitFor({ state: 'detached' });
});

test('a caller rings with a toast, a notification and a prompt, is accepted and hangs up', async (t) => {
  const page = await openProgramPage(t, browser, program);
  farend.dial(`sip:zv@127.0.0.1:${program.sipPort}`);
  const prompt = page.locator('.modal.show', { hasText: 'Incoming call from' });
  await prompt.waitFor();
  assert.match(await prompt.textContent(), /Incoming call from 'sip:peer@127\.0\.0\.1:5080', accept\?/);
  assert.equal(await page.locator('.toast', { hasText: 'INCOMING Call' }).count(), 1);
  assert.deepEqual(await page.evaluate(() => window.__notes.map((n) => n.title)), ['Zorvane call: sip:peer@127.0.0.1:5080']);
  const card = page.locator('.zv-track[data-track="1"]');
  assert.equal(await card.locator('.zv-track-state').textContent(), 'Incoming');
  await screenshot(page, 'real-desktop-incoming');

  await prompt.getByRole('button', { name: 'OK' }).click();
  await card.locator('.zv-track-state', { hasText: 'Established' }).waitFor();
  await until(async () => (await meterBars(page, 'headphonesbar1'))[0] > 20, 'the caller\'s meter');

  farend.hangup();
  await card.waitFor({ state: 'detached' });
  // a close by the far end names the reason
  const closed = page.locator('.toast', { hasText: 'Call closed' });
  await closed.waitFor();
  assert.match(await closed.textContent(), /^Call closed: .+/);
  assert.equal(await page.evaluate(() => window.callactive), false);
});

test('the program quits during a call: the page shows it stopped', async (t) => {
  const page = await openProgramPage(t, browser, program, { ending: true });
  await page.fill('#sipnumbercall', farend.aor);
  await page.click('#buttoncall');
  await page.locator('.zv-track-state', { hasText: 'Established' }).waitFor();
  await until(async () => (await meterBars(page, 'headphonesbar1'))[0] > 20, 'the caller\'s meter');
  await page.click('#btn-interface');
  await page.locator('.modal.show').waitFor();

  assert.equal(await program.quit(), 0, 'the program\'s exit code');
  const notice = page.locator('.zv-stopped[role="alert"]');
  await notice.waitFor();
  assert.match(await notice.textContent(), /^Zorvane has stopped\./);
  await page.locator('.modal').waitFor({ state: 'detached' });
  assert.equal(await page.locator('#activecalls .zv-track').count(), 0);
  assert.equal(await page.evaluate(() => window.callactive), false);
  assert.deepEqual(await meterBars(page, 'microphonebar1'), [0, 0]);
  const enabled = await page.locator('#app button:not([role="tab"]), #app input, #app select, .zv-controls button')
    .evaluateAll((list) => list.filter((c) => !c.disabled && c.getClientRects().length > 0).map((c) => c.textContent.trim()));
  assert.deepEqual(enabled, ['Reload page']);
  await look(page, 'real-desktop-stopped');
  // one message, whatever else the page shows
  assert.equal(await page.locator('.zv-stopped').count(), 1);
});
