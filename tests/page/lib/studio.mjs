// A studio in full work for the looks of the page: the service account and
// another, contacts with long addresses, three calls with their figures and
// levels, and the recording running.
import { until } from './e2e.mjs';
import { meterLine, stats, statsEntry } from './fixtures.mjs';

export const STUDIO = {
  accounts: [
    ['0', { user: '631', domain: 'sip.zorvane.net', password: 'x', status: true, current: true }],
    ['1', { user: 'studio-desk', domain: 'pbx.broadcast-house.example', password: 'y', status: false }],
  ],
  contacts: [['0', { name: 'Carol', sip: 'carol@sip.zorvane.net' }], ['1', { name: 'Newsroom', sip: 'newsroom-desk@pbx.broadcast-house.example' }]],
};

export async function busyStudio(server, page) {
  server.placeCall('sip:carol@sip.zorvane.net', 'Established', 1);
  server.placeCall('sip:echo@sip.zorvane.net', 'Established', 2);
  server.placeCall('sip:4711@pbx.broadcast-house.example', 'Outgoing', 3);
  server.pushCalls();
  await page.locator('#netstatus3').waitFor();
  server.push('/ws_calls', stats([statsEntry(1), statsEntry(2, { rtt: 250000, jitter: 12000 }), statsEntry(3, { rtt: 500000, jbuf: 'full' })]));
  server.push('/ws_meter', meterLine({ 0: ['-12.0', '-14.5'], 1: ['-24.0', '-22.0'], 3: ['-5.0', '-2.5'], 5: ['-45.0', '-48.0'] }, '0:03:17'));
  await until(async () => (await page.textContent('#record_time')) === '0:03:17', 'meters');
  server.options.set('record', 'true');
  server.push('/ws_options', server.options.json());
  await page.locator('#btn-record.btn-danger').waitFor();
}
