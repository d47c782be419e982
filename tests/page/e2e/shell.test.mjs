import test from 'node:test';
import assert from 'node:assert/strict';
import { useBrowser, openPage, until, sleep } from '../lib/e2e.mjs';
import { meterLine } from '../lib/fixtures.mjs';

useBrowser();

const view = (page) => page.evaluate(() => ({
  tracks: !document.getElementById('view-tracks').hidden,
  settings: !document.getElementById('view-settings').hidden,
  current: [...document.querySelectorAll('.zv-nav a[aria-current="page"]')].map((a) => a.getAttribute('href')),
  title: document.title,
  focus: document.activeElement.id,
}));

test('the router shows the view of the fragment', async (t) => {
  const { page } = await openPage(t, {}, { hash: '#settings' });
  assert.deepEqual(await view(page), { tracks: false, settings: true, current: ['#settings'], title: 'Settings - Zorvane', focus: '' });
  await page.evaluate(() => { window.location.hash = '#nothing'; });
  await sleep(100);
  assert.deepEqual(await view(page), { tracks: false, settings: true, current: ['#settings'], title: 'Settings - Zorvane', focus: '' });
  await page.click('.zv-nav a[href="#tracks"]');
  await until(async () => (await view(page)).tracks, 'tracks view');
  assert.deepEqual(await view(page), { tracks: true, settings: false, current: ['#tracks'], title: 'Zorvane', focus: 'view-tracks-title' });
});

test('the first-run tour runs once per profile', async (t) => {
  const { page } = await openPage(t, {}, { onboarded: false });
  const popover = page.locator('.driver-popover');
  await popover.waitFor();
  assert.equal(await popover.locator('.driver-popover-description').textContent(), 'Select your Audio Interface');
  assert.match(await popover.locator('.driver-popover-progress-text').textContent(), /1 of 3/);
  await popover.locator('.driver-popover-next-btn').click();
  await until(async () => (await popover.locator('.driver-popover-description').innerHTML()) === 'Enter <b>echo</b> and press <b>Call</b>', 'second step');
  assert.equal(await page.evaluate(() => localStorage.getItem('zvonboarding')), null);
  await popover.locator('.driver-popover-close-btn').click();
  await popover.waitFor({ state: 'detached' });
  assert.equal(await page.evaluate(() => localStorage.getItem('zvonboarding')), 'completed');
  await page.reload();
  await page.locator('#options .option-change').first().waitFor({ state: 'attached' });
  await sleep(300);
  assert.equal(await page.locator('.driver-popover').count(), 0);
});

test('leaving asks only while a call is established', async (t) => {
  for (const [state, asks] of [['Established', true], ['Outgoing', false]]) {
    const { server, page } = await openPage(t);
    server.placeCall('sip:a@other.test', state, 1);
    server.pushCalls();
    await page.locator('#activecalls .zv-track').waitFor();
    await page.click('#sipnumbercall');
    let asked = false;
    page.on('dialog', (d) => { asked = d.type() === 'beforeunload'; d.accept(); });
    await page.close({ runBeforeUnload: true });
    await until(() => page.isClosed() || asked, 'unload');
    assert.equal(asked, asks, state);
  }
});

test('when the server goes, the two reporting sockets leave persistent toasts', async (t) => {
  const { server, page } = await openPage(t, {}, { clock: true });
  server.dropSockets();
  await until(async () => (await page.locator('.toast').count()) >= 2, 'toasts');
  await sleep(300);
  const texts = await page.locator('.toast').allTextContents();
  assert.ok(texts.every((text) => text === 'Websocket closed' || text === 'Websocket error'), texts.join());
  assert.equal(texts.filter((text) => text === 'Websocket closed').length, 2);
  assert.equal(await page.locator('.toast.text-bg-danger[role="alert"][aria-live="assertive"]').count(), texts.length);
  // controls on closed sockets send nothing and raise nothing
  const before = server.received.length;
  for (const id of ['#btn-record', '#btn-mute', '#buttoncall', '#btn-interface']) await page.click(id, { force: true });
  await page.keyboard.press('m');
  assert.equal(server.received.length, before);
  await page.clock.fastForward(15000);
  assert.equal(await page.locator('.toast').count(), texts.length);
  await page.locator('.toast .btn-close').first().click();
  await until(async () => (await page.locator('.toast').count()) === texts.length - 1, 'closed by hand');
});

test('other toasts go after 10 s, newest first, text shown as text', async (t) => {
  const { server, page } = await openPage(t, {}, { clock: true });
  // the page's time stands still but where the test moves it, so that a
  // busy machine's slow steps do not count towards the 10 s (paused a
  // moment ahead: it runs on while the test asks for it)
  await page.clock.pauseAt(await page.evaluate(() => Date.now() + 1000));
  server.push('/ws_calls', { callback: 'CLOSED', message: '<b>first</b>' });
  await page.locator('.toast').waitFor();
  server.push('/ws_calls', { callback: 'INCOMING', peeruri: 'sip:x@other.test', key: '1' });
  await until(async () => (await page.locator('.toast').count()) === 2, 'two toasts');
  assert.deepEqual(await page.locator('.toast').allTextContents(), ['INCOMING Call', 'Call closed: <b>first</b>']);
  assert.equal(await page.locator('.toast b').count(), 0);
  assert.deepEqual(await page.locator('.toast').evaluateAll((l) => l.map((n) => [n.getAttribute('role'), n.getAttribute('aria-live')])), [['status', 'polite'], ['status', 'polite']]);
  await page.clock.runFor(9000);
  assert.equal(await page.locator('.toast').count(), 2);
  await page.clock.runFor(2000);
  await until(async () => (await page.locator('.toast').count()) === 0, 'toasts gone');
});

test('when the program stops, the page shows it stopped until it is reloaded', async (t) => {
  const accounts = [['0', { user: '631', domain: 'sip.zorvane.net', password: 'x', status: true }]];
  const { server, page } = await openPage(t, { accounts, options: [['monitoring', ''], ['record', 'true'], ['mute', 'true']] });
  await page.locator('#sipdot.zv-dot-online').waitFor();
  await page.locator('#btn-mute[aria-pressed="true"]').waitFor();
  server.placeCall('sip:a@other.test', 'Established', 2);
  server.pushCalls();
  await page.locator('#headphonesbar3').waitFor({ state: 'attached' });
  server.push('/ws_meter', meterLine({ 0: ['-6.0', '-6.0'], 3: ['-10.0', '-12.0'] }, '0:00:09'));
  await until(async () => (await page.getAttribute('#microphonebar1 .progress', 'aria-valuenow')) === '85', 'the meters up');
  await page.click('#btn-interface');
  await page.locator('.modal.show').waitFor();

  server.dropSockets();
  const notice = page.locator('.zv-stopped[role="alert"]');
  await notice.waitFor();
  assert.match(await notice.textContent(), /^Zorvane has stopped\./);
  await page.locator('.modal').waitFor({ state: 'detached' });
  assert.deepEqual(await page.locator('.zv-meter:not(.d-none) .progress').evaluateAll((bars) => bars.map((b) => [b.getAttribute('aria-valuenow'), b.firstElementChild.style.width])),
    [['0', '0%'], ['0', '0%']]);
  assert.equal(await page.textContent('#record_time'), '0:00:00');
  // nothing records, nothing is muted and the ID is offline with the program
  assert.deepEqual(await page.locator('.zv-controls [aria-pressed="true"], .zv-controls .btn-danger').count(), 0);
  assert.deepEqual([await page.getAttribute('#sipdot', 'title'), await page.textContent('#sipstatus')], ['Offline', 'Offline']);
  // the calls ended with the program: no card, no question on leaving
  assert.equal(await page.locator('#activecalls .zv-track').count(), 0);
  assert.equal(await page.evaluate(() => window.callactive), false);
  // nothing that would speak to the program is left to press; the page's
  // own navigation, the reload and the toasts' close buttons stay
  const live = () => page.evaluate(() => [...document.querySelectorAll('button, input, select, a[href]')]
    .filter((c) => !c.disabled && c.getAttribute('aria-disabled') !== 'true' && c.getClientRects().length > 0 && !c.closest('.toast'))
    .map((c) => c.id || c.getAttribute('aria-label') || c.textContent.trim()));
  const NAV = ['Skip to main content', 'Zorvane, reload page', 'Tracks', 'Settings', 'Help (opens in a new tab)', 'Reload page'];
  assert.deepEqual(await live(), [...NAV, 'changelog']);
  await page.evaluate(() => { window.location.hash = '#settings'; });
  await page.click('#sip-options-tab');
  assert.deepEqual(await live(), [...NAV, 'contacts-tab', 'sip-account-tab', 'sip-options-tab', 'changelog']);
  // one message however many sockets closed
  assert.equal(await page.locator('.zv-stopped').count(), 1);
  await page.getByRole('button', { name: 'Reload page' }).click();
  await page.waitForEvent('load');
  assert.equal(await page.locator('.zv-stopped').count(), 0);
});
