// Calls between the program's page and Debian's baresip on loopback: the
// card with its state, the caller's meter and network figures, the channel
// mix, volume, DTMF and the hang-up; a caller's ring with its prompt, and the far end's
// hang-up, all through the real program.
import test, { after, before } from 'node:test';
import assert from 'node:assert/strict';
import { launch, screenshot } from '../lib/browser.mjs';
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

  await card.locator('.chmix').click();
  await card.locator('.chmix', { hasText: 'Mono L' }).waitFor();
  // the volume comes back from the program with the menu still open
  await page.click('#dropdown1');
  await page.locator('#formControlRange1').fill('0.5');
  await page.locator('label[for="formControlRange1"]', { hasText: 'Volume (0.5)' }).waitFor();
  assert.equal(await page.locator('#formControlRange1').isVisible(), true);
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
