import test from 'node:test';
import assert from 'node:assert/strict';
import { useBrowser, openPage, until } from '../lib/e2e.mjs';
import { meterLine, stats, statsEntry } from '../lib/fixtures.mjs';

useBrowser();

const bars = (page, id) => page.evaluate((i) => [...document.querySelectorAll(`#${i} .progress`)].map((p) => {
  const bar = p.querySelector('.progress-bar');
  return [p.getAttribute('aria-label'), bar.style.width, [...bar.classList].filter((c) => c.startsWith('bg-')).join(' '), p.getAttribute('aria-valuenow')];
}), id);

test('meter lines draw the local and remote meters', async (t) => {
  const { server, page } = await openPage(t);
  server.placeCall('sip:a@other.test', 'Established', 2);
  server.pushCalls();
  await page.locator('#headphonesbar3').waitFor({ state: 'attached' });
  server.push('/ws_meter', meterLine({ 0: ['-6.0', '-3.0'], 3: ['-14.0', 'inf'], 4: ['-40.0', '-40.0'] }, '1:02:05'));
  await until(async () => (await page.textContent('#record_time')) === '1:02:05', 'record time');
  assert.deepEqual(await bars(page, 'microphonebar1'), [['Left', '85%', 'bg-warning', '85'], ['Right', '92.5%', 'bg-danger', '93']]);
  assert.deepEqual(await bars(page, 'headphonesbar3'), [['Left', '65%', 'bg-success', '65'], ['Right', '0%', 'bg-success', '0']]);
  const hidden = () => page.evaluate(() => [2, 3, 4].map((i) => document.getElementById(`microphonebar${i}`).classList.contains('d-none')));
  assert.deepEqual(await hidden(), [true, false, true]);
  assert.equal(await page.getAttribute('#microphonebar1 .progress', 'role'), 'meter');
  server.push('/ws_meter', meterLine({}, '0:00:06'));
  await until(async () => (await page.textContent('#record_time')) === '0:00:06', 'next line');
  assert.deepEqual(await hidden(), [true, false, true]);
  assert.deepEqual(await bars(page, 'microphonebar1'), [['Left', '0%', 'bg-success', '0'], ['Right', '0%', 'bg-success', '0']]);
  assert.equal(await page.locator('#microphonebar1 .progress').count(), 2);
});

const widget = (page, track) => page.evaluate((tr) => {
  const w = document.getElementById(`netstatus${tr}`);
  const cells = Object.fromEntries([...w.querySelectorAll('[data-stat]')].map((c) => [c.dataset.stat, c.textContent]));
  return { icon: [...w.querySelector('.netstatus-icon').classList].find((c) => c !== 'netstatus-icon'), label: w.querySelector('.netstatus-label').textContent, cells };
}, track);

test('statistics set the network widget and its popup', async (t) => {
  const { server, page } = await openPage(t);
  server.placeCall('sip:a@other.test', 'Established', 2);
  server.pushCalls();
  await page.locator('#netstatus2').waitFor();
  server.push('/ws_calls', stats([statsEntry(2, { rtt: 250000, jitter: 12345, rxPackets: 100, lost: 0 }), statsEntry(5, { rtt: 900000 })]));
  await until(async () => (await widget(page, 2)).icon === 'netstatus-fair', 'fair');
  const w = await widget(page, 2);
  assert.equal(w.label, 'Network quality: fair');
  assert.equal(w.cells.rtt, '250.0 ms');
  assert.equal(w.cells.jitter, '12.3 ms / 1.5 ms');
  assert.equal(w.cells.quality, 'fair');
  assert.equal(w.cells.bitrate, '64 kbit/s / 64 kbit/s');
  // figures an entry leaves out read "-"
  assert.equal(w.cells.jb_late, '2 / -');
  assert.equal(w.cells.jb_delay, '-');

  // 10 % loss across two samples is bad at once
  server.push('/ws_calls', stats([statsEntry(2, { rxPackets: 190, lost: 10 })]));
  await until(async () => (await widget(page, 2)).icon === 'netstatus-bad', 'bad');
  assert.equal((await widget(page, 2)).cells.quality, 'bad (10.0 % loss)');
  // good reports need 20 in a row, also across a re-render of the cards
  for (let i = 1; i <= 19; i += 1) {
    server.push('/ws_calls', stats([statsEntry(2, { rxPackets: 190 + i * 1000, lost: 10 })]));
    if (i === 10) server.pushCalls();
  }
  await until(async () => (await widget(page, 2)).cells.quality.startsWith('bad'), 'still bad');
  server.push('/ws_calls', stats([statsEntry(2, { rxPackets: 20190, lost: 10 })]));
  await until(async () => (await widget(page, 2)).icon === 'netstatus-good', 'good after 20');

  // the popup shows on focus and hides on Escape until the focus leaves
  const info = page.locator('#netstatus-info2');
  assert.equal(await info.isVisible(), false);
  await page.focus('#netstatus2 .netstatus-btn');
  assert.equal(await info.isVisible(), true);
  await page.keyboard.press('Escape');
  assert.equal(await info.isVisible(), false);
  await page.focus('#sipnumbercall');
  assert.equal(await page.locator('#netstatus2.netstatus-dismissed').count(), 0);

  // an inactive entry empties the cells
  server.push('/ws_calls', stats([{ track: 2, active: false, call: true }]));
  await until(async () => (await widget(page, 2)).icon === 'netstatus-none', 'no data');
  const off = await widget(page, 2);
  assert.equal(off.label, 'Network quality: no data');
  assert.equal(off.cells.rtt, '-');
  assert.equal(off.cells.quality, 'no data');
});
