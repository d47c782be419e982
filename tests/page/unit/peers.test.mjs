import test from 'node:test';
import assert from 'node:assert/strict';
import { mysip, serviceAddress, displayPeer } from '../../../src/modules/webapp/frontend/src/peers.js';

test('mysip takes user@domain only from addresses on the service domain', () => {
  const cases = [
    ['sip:631@svc.test', '631@svc.test'],
    ['sip:631@svc.test;transport=tls', '631@svc.test'],
    ['"Alice" <sip:alice@svc.test>', 'alice@svc.test'],
    ['sip:alice@svc.test:5061', 'alice@svc.test'],
    ['sip:alice@other.test', 'sip:alice@other.test'],
    ['sip:alice@svc.test.evil.example', 'sip:alice@svc.test.evil.example'],
    ['sip:alice@evilsvc.test', 'sip:alice@evilsvc.test'],
    ['sip:alice@svcXtest', 'sip:alice@svcXtest'],
    ['sips:alice@svc.test', 'sips:alice@svc.test'],
    ['alice@svc.test', 'alice@svc.test'],
    ['', ''],
  ];
  for (const [peer, shown] of cases) assert.equal(mysip(peer), shown, peer);
  assert.equal(serviceAddress(undefined), null);
});

test('call cards show contact names and test peers only for service peers', () => {
  const contacts = [
    { key: '0', value: { name: 'Carol', sip: 'carol@svc.test' } },
    { key: '1', value: { name: 'Dave', sip: 'dave@other.test' } },
  ];
  const cases = [
    ['sip:carol@svc.test', 'Carol', true],
    ['sip:carol@svc.test;transport=udp', 'Carol', true],
    ['sip:dave@other.test', 'sip:dave@other.test', false],
    ['sip:carol@svc.test.evil.example', 'sip:carol@svc.test.evil.example', false],
    ['sip:echo@svc.test', 'echo', true],
    ['sip:music@svc.test', 'music', true],
    ['sip:echo@other.test', 'sip:echo@other.test', false],
    ['sip:stranger@svc.test', 'sip:stranger@svc.test', false],
    [undefined, '', false],
  ];
  for (const [peer, shown, known] of cases) assert.deepEqual(displayPeer(peer, contacts), { shown, known }, String(peer));
});
