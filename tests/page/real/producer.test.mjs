// What the page tells a producer during a session, against the built
// program with Debian's baresip as two far ends on loopback: a keypad key
// that ends at the far end, the volume at the slider's step, a saved contact
// shown by its name and callers told apart on a phone, a partner's hang-up
// that names the partner, on air that is not shown as live while its call
// fails, why an account is offline and which account calls go out from, and
// the stopped page with its toasts under the navigation.
import test, { after, before } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { launch, screenshot } from '../lib/browser.mjs';
import { look } from '../lib/audit.mjs';
import { RealProgram } from './program.mjs';
import { FarEnd } from './farend.mjs';
import { openFirstPage, openProgramPage, until } from './pages.mjs';

const DESKTOP = { width: 1440, height: 900 };
const PHONE = { width: 390, height: 844 };
// an account whose registrar refuses the connection, and an account on the
// service's domain (the main account) that never registers
const UNREACHABLE = { user: 'bad', domain: '127.0.0.1:5999', password: 'x', transport: 'tcp' };
const SERVICE = { user: 'zv', domain: 'sip.zorvane.net', password: 'x', transport: 'tls', regint: '0' };

let program;
let anna;
let other;
let browser;

before(async () => {
  program = new RealProgram({ sipPort: 5090, accounts: [UNREACHABLE, SERVICE] });
  await program.start();
  anna = await new FarEnd(program.root, 5080, 4444).start();
  other = await new FarEnd(join(program.root, 'other'), 5084, 4445).start();
  browser = await launch();
  await openFirstPage(browser, program);
});

after(async () => {
  await browser?.close();
  await anna?.stop();
  await other?.stop();
  assert.equal(await program?.stop(), 0, 'the program\'s exit code');
});

const card = (page, track) => page.locator(`.zv-track[data-track="${track}"]`);

async function dial(page, farend, track) {
  await page.fill('#sipnumbercall', farend.aor);
  await page.click('#buttoncall');
  await card(page, track).locator('.zv-track-state', { hasText: 'Established' }).waitFor();
}

async function hangUp(page, track) {
  await card(page, track).locator('.hangup').click();
  await card(page, track).waitFor({ state: 'detached' });
}

test('a keypad key ends at the far end, and the volume shows the slider\'s step', async (t) => {
  const page = await openProgramPage(t, browser, program, { viewport: DESKTOP });
  await dial(page, anna, 1);
  await page.click('#dropdown1');
  await page.locator('.dropdown-item.keyboard').click();
  const keypad = page.locator('.modal.show');
  await keypad.getByRole('button', { name: '5', exact: true }).click();
  await until(() => anna.output().includes("received event: '5' (end=0)"), 'the key at the far end');
  // released a moment later, as a phone's keypad does, without another key
  await until(() => anna.output().includes("received event: '5' (end=1)"), 'the key\'s end at the far end');
  await screenshot(page, 'real-desktop-dtmf');
  await keypad.getByRole('button', { name: 'Cancel' }).click();
  await keypad.waitFor({ state: 'detached' });

  await page.click('#dropdown1');
  await page.locator('#formControlRange1').fill('1');
  await page.locator('label[for="formControlRange1"]', { hasText: 'Volume (1)' }).waitFor();
  await page.focus('#formControlRange1');
  for (const value of ['1.05', '1.1', '1.15', '1.2']) {
    await page.keyboard.press('ArrowRight');
    await page.locator('label[for="formControlRange1"]', { hasText: `Volume (${value})` }).waitFor();
  }
  assert.equal(await page.textContent('label[for="formControlRange1"]'), 'Volume (1.2)');
  await look(page, 'real-desktop-volume');
  await page.keyboard.press('Escape');
  await hangUp(page, 1);
});

test('a saved contact is shown by its name, callers apart on a phone, and a partner\'s hang-up names the partner', async (t) => {
  const page = await openProgramPage(t, browser, program, { viewport: DESKTOP, hash: '#settings' });
  await page.click('#buttonaddcontact');
  await page.fill('#formaddcontact-name', 'Anna (Studio B)');
  await page.fill('#formaddcontact-sip', anna.aor);
  await page.locator('.modal.show').getByRole('button', { name: 'Save' }).click();
  const row = page.locator('#contacts tr', { hasText: 'Anna (Studio B)' });
  await row.waitFor();
  // a call from the contact's row
  await row.locator('.callcontact').click();
  await card(page, 1).locator('.zv-track-state', { hasText: 'Established' }).waitFor();
  assert.equal(await card(page, 1).locator('.zv-track-title').textContent(), 'Anna (Studio B)');
  await page.click('#dropdown1');
  assert.equal(await card(page, 1).locator('.addcontactshort').count(), 0);
  await page.keyboard.press('Escape');

  await dial(page, other, 2);
  const peer = `sip:${other.aor};transport=udp`;
  assert.equal(await card(page, 2).locator('.zv-track-title').textContent(), peer);
  // the other caller's Add Contact takes the address as a contact holds it
  await page.click('#dropdown2');
  await card(page, 2).locator('.addcontactshort').click();
  assert.equal(await page.inputValue('#formaddcontact-sip'), other.aor);
  await page.locator('.modal.show').getByRole('button', { name: 'Cancel' }).click();
  await page.locator('.modal').waitFor({ state: 'detached' });
  await look(page, 'real-desktop-contact-named');

  // on a phone each card shows what tells its caller apart
  const phone = await openProgramPage(t, browser, program, { viewport: PHONE });
  await card(phone, 2).waitFor();
  const shown = await phone.locator('#activecalls .zv-track-title').evaluateAll((list) => list.map((h) => [h.innerText, h.scrollWidth <= h.clientWidth]));
  assert.deepEqual(shown, [['Anna (Studio B)', true], [other.aor, true]]);
  await look(phone, 'real-phone-callers-apart');

  anna.hangup();
  await card(page, 1).waitFor({ state: 'detached' });
  const closed = page.locator('.toast', { hasText: 'ended the call' });
  await closed.waitFor();
  assert.equal(await closed.textContent(), 'Call closed: Anna (Studio B) ended the call');
  await screenshot(page, 'real-desktop-partner-hung-up');
  await hangUp(page, 2);
});

test('on air whose stream call cannot be placed is shown not connected and why, never live', async (t) => {
  const page = await openProgramPage(t, browser, program, { viewport: DESKTOP });
  await page.click('#btn-onair');
  await page.locator('.modal.show').getByRole('button', { name: 'Start streaming' }).click();
  const states = new Set();
  let live = false;
  let title = '';
  const end = Date.now() + 8000;
  while (Date.now() < end) {
    const look1 = await page.evaluate(() => {
      const b = document.getElementById('btn-onair');
      return { state: document.getElementById('onair-state').textContent, live: b.classList.contains('btn-danger'), title: b.title, pressed: b.getAttribute('aria-pressed') };
    });
    assert.equal(look1.pressed, 'true');
    states.add(look1.state);
    live ||= look1.live || /You are live/.test(look1.title);
    if (look1.state === 'not connected') title = look1.title;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  assert.equal(live, false, 'shown as live');
  assert.ok(states.has('not connected'), [...states].join());
  assert.match(title, /^Live stream not connected: .+\. Click to stop\.$/);
  // here the dial itself fails: the namespace has no route to the service
  assert.match(title, /: Network is unreachable \[101\]\./);
  await screenshot(page, 'real-desktop-onair-not-connected');
  await page.click('#btn-onair');
  await page.locator('#btn-onair.btn-secondary[aria-pressed="false"]').waitFor();
  assert.equal(await page.textContent('#onair-state'), '');
  // without an account on the service, that is the reason given
  await page.click('.zv-nav a[href="#settings"]');
  await page.click('#sip-account-tab');
  await page.click('.deletesip[data-domain="sip.zorvane.net"]');
  await page.locator('.deletesip[data-domain="sip.zorvane.net"]').waitFor({ state: 'detached' });
  await page.click('.zv-nav a[href="#tracks"]');
  await page.click('#btn-onair');
  await page.locator('.modal.show').getByRole('button', { name: 'Start streaming' }).click();
  await until(() => page.getAttribute('#btn-onair', 'title').then((s) => s.includes('no account on sip.zorvane.net is set up')), 'the reason');
  assert.equal(await page.textContent('#onair-state'), 'not connected');
  await look(page, 'real-desktop-onair-no-account');
  await page.click('#btn-onair');
  await page.locator('#btn-onair.btn-secondary[aria-pressed="false"]').waitFor();
  // the toasts of the failed stream calls
  await page.locator('.toast .btn-close').evaluateAll((list) => list.forEach((b) => b.click()));
});

test('an account that cannot register says why, and calls go out from the account the page shows', async (t) => {
  const page = await openProgramPage(t, browser, program, { viewport: DESKTOP, hash: '#settings' });
  await page.click('#sip-account-tab');
  const row = page.locator('#accounts tr', { hasText: 'bad@127.0.0.1:5999' });
  const reason = row.locator('.zv-reason');
  await reason.waitFor();
  const why = await reason.textContent();
  assert.ok(why.length > 0);
  assert.equal(await row.locator('.badge').textContent(), 'Offline');
  // the reason is the one the log has
  assert.ok(program.output().includes(why), `${why} in the log`);
  await look(page, 'real-desktop-account-offline-reason');

  // with no account chosen, the first account places the calls, and the
  // choice shows it as chosen
  await page.click('.zv-nav a[href="#tracks"]');
  // the view is drawn after the click: wait for the choice to show
  await page.locator('#current_uag').waitFor();
  assert.equal(await page.inputValue('#current_uag'), `zv@127.0.0.1:${program.sipPort}`);
  const before = anna.output().length;
  await dial(page, anna, 1);
  await until(() => anna.output().slice(before).includes(`sip:zv@127.0.0.1:${program.sipPort}`), 'the call from the shown account');
  await hangUp(page, 1);
});

test('the stopped page with its toasts: the navigation is clickable and the notice in sight', async (t) => {
  const desktop = await openProgramPage(t, browser, program, { viewport: DESKTOP, ending: true });
  const phone = await openProgramPage(t, browser, program, { viewport: PHONE, ending: true });
  assert.equal(await program.quit(), 0, 'the program\'s exit code');
  for (const page of [desktop, phone]) {
    await page.locator('.zv-stopped').waitFor();
    await until(() => page.locator('.toast').count().then((n) => n >= 2), 'the toasts of the closed sockets');
  }
  // nothing lies over the notice, its text or its button
  for (const page of [desktop, phone]) {
    const covered = await page.evaluate(() => [...document.querySelectorAll('.zv-stopped p, .zv-stopped button, .zv-nav a')].filter((e) => {
      const r = e.getBoundingClientRect();
      const hit = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
      return !e.contains(hit);
    }).map((e) => e.textContent.trim()));
    assert.deepEqual(covered, []);
  }
  await screenshot(desktop, 'real-desktop-stopped-toasts');
  await screenshot(phone, 'real-phone-stopped-toasts');
  await desktop.click('.zv-nav a[href="#settings"]');
  await desktop.locator('#view-settings:not([hidden])').waitFor();
  await phone.click('.zv-nav a[href="#settings"]');
  await phone.locator('#view-settings:not([hidden])').waitFor();
});
