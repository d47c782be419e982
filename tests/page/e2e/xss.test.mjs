import test from 'node:test';
import assert from 'node:assert/strict';
import { useBrowser, openPage } from '../lib/e2e.mjs';
import { devices, updateNotice } from '../lib/fixtures.mjs';

useBrowser();

const EVIL = '<img src=x onerror=window.__x=1>';

test('markup from the network is shown as text everywhere', async (t) => {
  const d = devices({ error: `${EVIL}error` });
  d.input[0].display = `${EVIL}input`;
  d.drivers[0].display = `${EVIL}driver`;
  const { server, page } = await openPage(t, {
    devices: d,
    accounts: [['0', { user: `${EVIL}user`, domain: 'sip.zorvane.net', password: 'x', status: true }]],
    contacts: [['0', { name: `${EVIL}name`, sip: `${EVIL}@sip.zorvane.net` }]],
  }, { hash: '#settings' });
  const peer = `sip:"><img src=x onerror=window.__x=1>@other.test`;
  server.placeCall(peer, 'Incoming', 1);
  server.pushCalls();
  server.push('/ws_calls', { callback: 'INCOMING', peeruri: peer, key: '1' });
  const prompt = page.locator('.modal.show', { hasText: `Incoming call from '${peer}', accept?` });
  await prompt.waitFor();
  await prompt.getByRole('button', { name: 'OK' }).click();
  server.push('/ws_calls', { callback: 'CLOSED', message: `${EVIL}closed` });
  await page.locator('.toast', { hasText: `Call closed: ${EVIL}closed` }).waitFor();
  server.push('/ws_baresip', updateNotice(EVIL));
  await page.locator('.modal.show', { hasText: `Please update to ${EVIL}` }).waitFor();
  await page.keyboard.press('Escape');
  await page.locator('.modal').waitFor({ state: 'detached' });
  await page.evaluate(() => { window.location.hash = '#tracks'; });
  await page.click('#btn-interface');
  await page.locator('.modal.show .zv-error', { hasText: `${EVIL}error` }).waitFor();

  assert.equal(await page.textContent('#sipid'), `${EVIL}user@sip.zorvane.net`);
  assert.equal(await page.locator('#activecalls .zv-track-title').textContent(), peer);
  assert.equal(await page.locator('#interface_input option').first().textContent(), `${EVIL}input`);
  assert.equal(await page.locator('#interface_driver option').first().textContent(), `${EVIL}driver`);
  const texts = await page.evaluate(() => [
    document.getElementById('contacts').textContent,
    document.getElementById('accounts').textContent,
    document.getElementById('current_uag').textContent,
  ].join(' '));
  for (const part of [`${EVIL}name`, `${EVIL}@sip.zorvane.net`, `${EVIL}user@sip.zorvane.net`]) assert.ok(texts.includes(part), part);
  // the only image on the page is the logo, and nothing ran
  assert.deepEqual(await page.evaluate(() => [...document.images].map((i) => i.getAttribute('src'))), ['/images/logo.svg']);
  assert.equal(await page.evaluate(() => window.__x), undefined);
});
