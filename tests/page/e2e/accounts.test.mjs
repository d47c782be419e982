import test from 'node:test';
import assert from 'node:assert/strict';
import { useBrowser, openPage, until, sleep } from '../lib/e2e.mjs';
import { updateNotice } from '../lib/fixtures.mjs';

useBrowser();

const ACCOUNTS = [
  ['1', { user: 'old', domain: 'sip.zorvane.net', password: 'p1', status: true }],
  ['0', { user: 'work', domain: 'pbx.example', password: 'p0', outbound: 'sip:10.0.0.1', current: true }],
  ['2', { user: 'me', domain: 'sip.zorvane.net', password: 'p2', status: false }],
];

async function openAccounts(t, options = {}, pageOptions = {}) {
  const opened = await openPage(t, { accounts: ACCOUNTS, ...options }, { hash: '#settings', ...pageOptions });
  await opened.page.click('#sip-account-tab');
  await opened.page.locator('#accounts.active #buttonaddsip').waitFor();
  return opened;
}

test('accounts in member order with status, the account choice and the ID line', async (t) => {
  const { server, page } = await openAccounts(t);
  const rows = page.locator('#accounts tbody tr');
  assert.deepEqual(await rows.locator('td:first-child').allTextContents(), ['old@sip.zorvane.net', 'work@pbx.example', 'me@sip.zorvane.net']);
  assert.deepEqual(await rows.locator('.badge').allTextContents(), ['Online', 'Offline', 'Offline']);
  assert.equal(await rows.nth(0).locator('.badge.text-bg-success').count(), 1);
  assert.equal(await page.getAttribute('#accounts .editsip >> nth=2', 'aria-label'), 'Edit me@sip.zorvane.net');
  const select = page.locator('#current_uag');
  assert.equal(await select.evaluate((s) => s.classList.contains('d-none')), false);
  assert.deepEqual(await select.locator('option').allTextContents(), ['old@sip.zorvane.net', 'work@pbx.example', 'me@sip.zorvane.net']);
  assert.equal(await select.evaluate((s) => s.selectedOptions[0].text), 'work@pbx.example');
  // the last account on the service domain wins the ID line
  assert.equal(await page.textContent('#sipid'), 'me@sip.zorvane.net');
  assert.equal(await page.getAttribute('#sipdot', 'title'), 'Offline');
  assert.equal(await page.evaluate(() => document.getElementById('sipdot').classList.contains('zv-dot-online')), false);
  assert.equal(await page.textContent('#sipstatus'), 'Offline');
  assert.equal(await page.evaluate(() => document.getElementById('zv-id').classList.contains('d-none')), false);

  server.accounts.get('2').status = true;
  server.push('/ws_baresip', server.accounts.json());
  await until(() => page.evaluate(() => document.getElementById('sipdot').classList.contains('zv-dot-online')), 'online dot');
  assert.equal(await page.textContent('#sipstatus'), 'Online');

  const sent = server.next('/ws_baresip');
  await page.evaluate(() => { window.location.hash = '#tracks'; });
  await select.selectOption({ label: 'old@sip.zorvane.net' });
  assert.deepEqual(await sent, { command: 'uagcurrent', aor: 'old@sip.zorvane.net' });

  // deleting down to one account hides the choice
  await page.evaluate(() => { window.location.hash = '#settings'; });
  for (const user of ['work', 'old']) {
    const del = server.next('/ws_baresip', (m) => m.command === 'deletesip');
    await page.click(`#accounts .deletesip[data-user="${user}"]`);
    assert.deepEqual(await del, { command: 'deletesip', user, domain: user === 'work' ? 'pbx.example' : 'sip.zorvane.net' });
    await page.locator(`#accounts .deletesip[data-user="${user}"]`).waitFor({ state: 'detached' });
  }
  assert.equal(await select.evaluate((s) => s.classList.contains('d-none')), true);
});

test('copying the ID writes the clipboard', async (t) => {
  const { page } = await openPage(t, { accounts: ACCOUNTS }, { clipboard: true });
  await page.locator('#zv-id:not(.d-none)').waitFor();
  await page.click('#btn-copy-id');
  await page.locator('.toast.text-bg-success', { hasText: 'Copied me@sip.zorvane.net' }).waitFor();
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), 'me@sip.zorvane.net');
});

test('copying without clipboard access says so', async (t) => {
  const init = () => { Object.defineProperty(navigator, 'clipboard', { get: () => undefined }); };
  const { page } = await openPage(t, { accounts: ACCOUNTS }, { init });
  await page.locator('#zv-id:not(.d-none)').waitFor();
  await page.click('#btn-copy-id');
  await page.locator('.toast.text-bg-warning', { hasText: 'Copy is not supported, please select the ID' }).waitFor();
});

test('a new account is validated while typing and sent only when valid', async (t) => {
  const { server, page } = await openAccounts(t);
  await page.click('#buttonaddsip');
  const dialog = page.locator('.modal.show', { hasText: 'Add SIP Account' });
  await dialog.waitFor();
  await until(async () => (await page.evaluate(() => document.activeElement.id)) === 'user', 'focus in the first field');
  await dialog.getByRole('button', { name: 'Save' }).click();
  assert.equal(await dialog.locator('.is-invalid').count(), 3);
  await page.fill('#user', '631');
  assert.equal(await page.locator('#user.is-valid').count(), 1);
  assert.equal(await page.locator('#user + .invalid-feedback').textContent(), '');
  await page.fill('#domain', 'sip.example.com');
  await page.fill('#password', 'secret');
  await sleep(100);
  assert.deepEqual(server.sent('/ws_baresip'), []);
  const sent = server.next('/ws_baresip');
  await page.press('#password', 'Enter');
  assert.deepEqual(await sent, { command: 'addsip', user: '631', domain: 'sip.example.com', password: 'secret' });
  await dialog.waitFor({ state: 'detached' });
  await page.locator('#accounts td', { hasText: '631@sip.example.com' }).waitFor();
});

test('editing replaces the account and keeps its other members and password', async (t) => {
  const { server, page } = await openAccounts(t);
  await page.click('#accounts .editsip[data-user="work"]');
  const dialog = page.locator('.modal.show', { hasText: 'Edit SIP Account' });
  await dialog.waitFor();
  assert.equal(await page.inputValue('#user'), 'work');
  assert.equal(await page.inputValue('#domain'), 'pbx.example');
  assert.equal(await page.inputValue('#password'), '');
  await page.fill('#domain', 'pbx2.example');
  await dialog.getByRole('button', { name: 'Save' }).click();
  await dialog.waitFor({ state: 'detached' });
  await until(() => server.sent('/ws_baresip').length === 2, 'two commands');
  const [del, add] = server.sent('/ws_baresip');
  assert.deepEqual(del, { command: 'deletesip', user: 'work', domain: 'pbx.example' });
  assert.deepEqual(add, { user: 'work', domain: 'pbx2.example', password: 'p0', outbound: 'sip:10.0.0.1', current: true, command: 'addsip' });

  await page.click('#accounts .editsip[data-user="me"]');
  await dialog.waitFor();
  await page.fill('#password', 'new');
  await dialog.getByRole('button', { name: 'Save' }).click();
  await until(() => server.sent('/ws_baresip').length === 4, 'two more commands');
  assert.equal(server.sent('/ws_baresip')[3].password, 'new');
});

test('the update notice opens the install page and stays', async (t) => {
  const { server, page } = await openPage(t);
  server.push('/ws_baresip', updateNotice('v27.1.0'));
  const dialog = page.locator('.modal.show', { hasText: 'Update available' });
  await dialog.waitFor();
  assert.equal(await dialog.locator('.dialog-body').textContent(), 'Please update to v27.1.0');
  await dialog.locator('.btn-success', { hasText: 'Download' }).click();
  assert.deepEqual(await page.evaluate(() => window.__opened), [['https://zorvane.net/download/standalone/', '_blank', 'noopener,noreferrer']]);
  assert.equal(await dialog.isVisible(), true);
  await dialog.getByRole('button', { name: 'Cancel' }).click();
  await dialog.waitFor({ state: 'detached' });
});

test('a save that failed shows the error toast and leaves the accounts as they are', async (t) => {
  const { server, page } = await openAccounts(t);
  const message = 'Could not save accounts.json: No space left on device [28]';
  server.push('/ws_baresip', JSON.stringify({ callback: 'ERROR', message }));
  const toast = page.locator('.toast.text-bg-danger[role="alert"]', { hasText: message });
  await toast.waitFor();
  assert.equal(await page.locator('#accounts tbody tr').count(), 3);
});
