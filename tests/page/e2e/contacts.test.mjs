import test from 'node:test';
import assert from 'node:assert/strict';
import { useBrowser, openPage, until } from '../lib/e2e.mjs';

useBrowser();

const CONTACTS = [
  ['2', { name: 'Zed', sip: 'zed@sip.zorvane.net' }],
  ['0', { name: 'Amy', sip: 'amy@other.test' }],
  ['1', 'not a record'],
];

test('contacts follow the test peers in member order; Delete and Call', async (t) => {
  const { server, page } = await openPage(t, { contacts: CONTACTS }, { hash: '#settings' });
  const rows = page.locator('#contacts tbody tr');
  await rows.nth(4).waitFor();
  assert.deepEqual(await rows.locator('td:nth-child(2)').allTextContents(), ['echo@sip.zorvane.net', 'music@sip.zorvane.net', 'music1@sip.zorvane.net', 'zed@sip.zorvane.net', 'amy@other.test']);
  assert.deepEqual(await rows.locator('td:first-child').allTextContents(), ['echo', 'music', 'music1', 'Zed', 'Amy']);
  for (let i = 0; i < 3; i += 1) assert.equal(await rows.nth(i).locator('.deletecontact').count(), 0);

  let sent = server.next('/ws_contacts');
  await rows.nth(4).locator('.deletecontact').click();
  assert.deepEqual(await sent, { command: 'deletecontact', sip: 'amy@other.test' });
  await until(async () => (await rows.count()) === 4, 'row removed');

  sent = server.next('/ws_baresip');
  await rows.nth(3).locator('.callcontact').click();
  assert.deepEqual(await sent, { command: 'call', dial: 'zed@sip.zorvane.net' });
  await until(async () => (await page.evaluate(() => window.location.hash)) === '#tracks', 'tracks view');
  await page.locator('#activecalls .zv-track-title', { hasText: 'Zed' }).waitFor();
  assert.equal(await page.title(), 'Zorvane');
});

test('a new contact from the settings is sent with Enter', async (t) => {
  const { server, page } = await openPage(t, {}, { hash: '#settings' });
  await page.click('#buttonaddcontact');
  const dialog = page.locator('.modal.show', { hasText: 'Add Contact' });
  await dialog.waitFor();
  assert.equal(await dialog.locator('.modal-footer .btn-primary').textContent(), 'Save');
  await page.fill('#formaddcontact-name', 'Bob');
  await page.press('#formaddcontact-name', 'Enter');
  assert.equal(await dialog.isVisible(), true);
  assert.equal(await page.locator('#formaddcontact-sip.is-invalid').count(), 1);
  await page.fill('#formaddcontact-sip', 'bob@sip.zorvane.net');
  const sent = server.next('/ws_contacts');
  await page.press('#formaddcontact-sip', 'Enter');
  assert.deepEqual(await sent, { command: 'addcontact', name: 'Bob', sip: 'bob@sip.zorvane.net' });
  await dialog.waitFor({ state: 'detached' });
  await page.getByRole('cell', { name: 'Bob', exact: true }).waitFor();
});
