import test from 'node:test';
import assert from 'node:assert/strict';
import { useBrowser, openPage, until } from '../lib/e2e.mjs';

useBrowser();

const card = (page, track) => page.locator(`#activecalls .zv-track[data-track="${track}"]`);

async function dialOut(server, page, text) {
  const sent = server.next('/ws_baresip', (m) => m.command === 'call');
  await page.fill('#sipnumbercall', text);
  await page.press('#sipnumbercall', 'Enter');
  return sent;
}

test('dialling with Enter sends the call and shows its card', async (t) => {
  const { server, page } = await openPage(t);
  assert.deepEqual(await dialOut(server, page, 'stranger@sip.zorvane.net'), { command: 'call', dial: 'stranger@sip.zorvane.net' });
  assert.equal(await page.inputValue('#sipnumbercall'), '');
  assert.equal(await page.evaluate(() => document.activeElement.id), '');
  const c = card(page, 1);
  await c.waitFor();
  assert.equal(await c.locator('.zv-track-no').textContent(), 'Track 2');
  assert.equal(await c.locator('.zv-track-title').textContent(), 'stranger@sip.zorvane.net');
  assert.equal(await c.locator('.zv-track-title').getAttribute('title'), 'stranger@sip.zorvane.net');
  assert.equal(await c.locator('.zv-track-state').textContent(), 'Outgoing');
  assert.equal(await c.evaluate((n) => n.style.order), '1');
  assert.equal(await c.locator('#headphonesbar1').count(), 1);
  // the Call button sends as well, and an empty dial gets the server's refusal
  const sent = server.next('/ws_baresip', (m) => m.command === 'call');
  await page.click('#buttoncall');
  assert.equal((await sent).dial, '');
  await page.locator('.toast.text-bg-warning', { hasText: 'Call closed: SIP Number Empty' }).waitFor();
  assert.equal(await page.locator('.toast').count(), 1);
});

test('hang-up, channel mix and the volume slider with the reopened menu', async (t) => {
  const { server, page } = await openPage(t);
  server.placeCall('sip:a@other.test', 'Established', 2);
  server.placeCall('sip:b@other.test', 'Established', 4);
  server.pushCalls();
  await card(page, 4).waitFor();

  let sent = server.next('/ws_calls', (m) => m.command === 'chmix');
  await card(page, 2).locator('.chmix').click();
  assert.deepEqual(await sent, { command: 'chmix', key: '2' });
  await until(async () => (await card(page, 2).locator('.chmix').textContent()).includes('Mono L'), 'Mono L');
  assert.equal(await card(page, 2).locator('.chmix').getAttribute('aria-label'), 'Channel mix: Mono L');

  await page.click('#dropdown4');
  const range = page.locator('#formControlRange4');
  await range.waitFor({ state: 'visible' });
  // a click into the volume form does not close the menu
  await card(page, 4).locator('.zv-volume-form label').click();
  assert.equal(await page.locator('#dropdown4 + .dropdown-menu.show').count(), 1);
  sent = server.next('/ws_calls', (m) => m.command === 'volume');
  await range.evaluate((r) => { r.value = '0.5'; r.dispatchEvent(new Event('change', { bubbles: true })); });
  assert.deepEqual(await sent, { command: 'volume', key: '4', value: '0.5' });
  // the server's answer re-renders the cards, and the menu is open again
  await until(async () => (await card(page, 4).locator('.zv-volume-form label').textContent()) === 'Volume (0.5)', 'new volume');
  assert.equal(await page.locator('#dropdown4 + .dropdown-menu.show').count(), 1);
  assert.equal(await page.locator('#dropdown4').getAttribute('aria-expanded'), 'true');
  // closing the menu clears the reopen key
  await page.keyboard.press('Escape');
  await page.locator('#dropdown4 + .dropdown-menu.show').waitFor({ state: 'detached' });
  server.pushCalls();
  await page.waitForTimeout(200);
  assert.equal(await page.locator('.dropdown-menu.show').count(), 0);

  sent = server.next('/ws_calls', (m) => m.command === 'hangup');
  await card(page, 2).locator('.hangup').click();
  assert.deepEqual(await sent, { command: 'hangup', key: '2' });
  await card(page, 2).waitFor({ state: 'detached' });
  assert.equal(await card(page, 4).count(), 1);
});

test('the DTMF keyboard sends tones and stays open', async (t) => {
  const { server, page } = await openPage(t);
  server.placeCall('sip:ivr@other.test', 'Established', 3);
  server.pushCalls();
  await page.click('#dropdown3');
  await card(page, 3).locator('.keyboard').click();
  const dialog = page.locator('.modal.show', { hasText: 'DTMF Keyboard' });
  await dialog.waitFor();
  assert.deepEqual(await dialog.locator('.btn-dtmf').allTextContents(), ['1', '2', '3', '4', '5', '6', '7', '8', '9', '*', '0', '#']);
  for (const tone of ['5', '#']) {
    const sent = server.next('/ws_calls', (m) => m.command === 'dtmf');
    await dialog.locator('.btn-dtmf', { hasText: tone }).click();
    assert.deepEqual(await sent, { command: 'dtmf', tone, key: '3' });
  }
  assert.equal(await dialog.isVisible(), true);
  assert.deepEqual(await dialog.locator('.modal-footer .btn').allTextContents(), ['Cancel']);
  await dialog.getByRole('button', { name: 'Cancel' }).click();
  await dialog.waitFor({ state: 'detached' });
});

test('Add Contact from a card validates, sends on the contacts socket and names the caller', async (t) => {
  const { server, page } = await openPage(t);
  server.placeCall('sip:stranger@sip.zorvane.net;transport=tls', 'Established', 1);
  server.pushCalls();
  await page.click('#dropdown1');
  await card(page, 1).locator('.addcontactshort').click();
  const dialog = page.locator('.modal.show', { hasText: 'Add Contact' });
  await dialog.waitFor();
  assert.equal(await dialog.locator('#formaddcontact-sip').inputValue(), 'stranger@sip.zorvane.net');
  await until(async () => (await page.evaluate(() => document.activeElement.id)) === 'formaddcontact-name', 'focus in the name');
  await page.fill('#formaddcontact-name', 'ab');
  await dialog.getByRole('button', { name: 'Save' }).click();
  assert.equal(await dialog.isVisible(), true);
  assert.equal(await page.locator('#formaddcontact-name.is-invalid').count(), 1);
  assert.notEqual(await page.locator('#formaddcontact-name + .invalid-feedback').textContent(), '');
  await page.fill('#formaddcontact-name', 'abc');
  assert.equal(await page.locator('#formaddcontact-name.is-valid').count(), 1);
  const sent = server.next('/ws_contacts');
  await page.press('#formaddcontact-sip', 'Enter');
  assert.deepEqual(await sent, { command: 'addcontact', name: 'abc', sip: 'stranger@sip.zorvane.net' });
  assert.equal(server.sent('/ws_contacts').length, 1);
  await dialog.waitFor({ state: 'detached' });
  await until(async () => (await card(page, 1).locator('.zv-track-title').textContent()) === 'abc', 'contact name');
  await page.click('#dropdown1');
  assert.equal(await card(page, 1).locator('.addcontactshort').count(), 0);
});

test('names on cards: contacts wherever they are, test peers on the service domain only', async (t) => {
  const contacts = [['0', { name: 'Carol', sip: 'carol@sip.zorvane.net' }], ['1', { name: 'Dave', sip: 'dave@other.test' }]];
  const { server, page } = await openPage(t, { contacts });
  server.placeCall('sip:carol@sip.zorvane.net', 'Established', 1);
  server.placeCall('sip:dave@other.test', 'Established', 2);
  server.placeCall('sip:echo@sip.zorvane.net', 'Established', 3);
  server.placeCall('sip:carol@sip.zorvane.net.evil.example', 'Established', 4);
  server.pushCalls();
  await card(page, 4).waitFor();
  const titles = await page.locator('#activecalls .zv-track-title').allTextContents();
  assert.deepEqual(titles, ['Carol', 'Dave', 'echo', 'sip:carol@sip.zorvane.net.evil.example']);
  for (const [track, hasAdd] of [[1, 0], [2, 0], [3, 0], [4, 1]]) {
    assert.equal(await card(page, track).locator('.addcontactshort').count(), hasAdd, `track ${track}`);
  }
});

test('members that are not objects make no card, and text that is not JSON changes nothing', async (t) => {
  const { server, page } = await openPage(t);
  server.push('/ws_calls', '{"callback":"X","2":{"peer":"sip:a@other.test","state":"Established","ch":3,"chmix":"Stereo","volume":1,"track":2},"3":"Incoming","4":null,"5":[1]}');
  await card(page, 2).waitFor();
  assert.equal(await page.locator('#activecalls .zv-track').count(), 1);
  assert.equal(await page.evaluate(() => window.callactive), true);
  for (const text of ['not json', '{"1":', '[1,2]', '"text"']) server.push('/ws_calls', text);
  server.push('/ws_meter', 'still alive 0');
  await until(async () => (await page.textContent('#record_time')) === 'still', 'a later message');
  assert.equal(await page.locator('#activecalls .zv-track').count(), 1);
  assert.equal(await page.evaluate(() => window.callactive), true);
});
