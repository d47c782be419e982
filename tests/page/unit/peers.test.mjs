import test from 'node:test';
import assert from 'node:assert/strict';
import { mysip, serviceAddress, displayPeer } from '../../../src/modules/webapp/frontend/src/peers.js';

test('mysip takes user@domain only from addresses on the service domain', () => {
  const cases = [
    ['sip:631@sip.zorvane.net', '631@sip.zorvane.net'],
    ['sip:631@sip.zorvane.net;transport=tls', '631@sip.zorvane.net'],
    ['"Alice" <sip:alice@sip.zorvane.net>', 'alice@sip.zorvane.net'],
    ['sip:alice@sip.zorvane.net:5061', 'alice@sip.zorvane.net'],
    ['sip:alice@other.test', 'sip:alice@other.test'],
    ['sip:alice@sip.zorvane.net.evil.example', 'sip:alice@sip.zorvane.net.evil.example'],
    ['sip:alice@evilsip.zorvane.net', 'sip:alice@evilsip.zorvane.net'],
    ['sip:alice@sipXzorvaneXnet', 'sip:alice@sipXzorvaneXnet'],
    ['sips:alice@sip.zorvane.net', 'sips:alice@sip.zorvane.net'],
    ['alice@sip.zorvane.net', 'alice@sip.zorvane.net'],
    ['', ''],
  ];
  for (const [peer, shown] of cases) assert.equal(mysip(peer), shown, peer);
  assert.equal(serviceAddress(undefined), null);
});

test('call cards show contact names and test peers only for service peers', () => {
  const contacts = [
    { key: '0', value: { name: 'Carol', sip: 'carol@sip.zorvane.net' } },
    { key: '1', value: { name: 'Dave', sip: 'dave@other.test' } },
  ];
  const cases = [
    ['sip:carol@sip.zorvane.net', 'Carol', true],
    ['sip:carol@sip.zorvane.net;transport=udp', 'Carol', true],
    ['sip:dave@other.test', 'sip:dave@other.test', false],
    ['sip:carol@sip.zorvane.net.evil.example', 'sip:carol@sip.zorvane.net.evil.example', false],
    ['sip:echo@sip.zorvane.net', 'echo', true],
    ['sip:music@sip.zorvane.net', 'music', true],
    ['sip:echo@other.test', 'sip:echo@other.test', false],
    ['sip:stranger@sip.zorvane.net', 'sip:stranger@sip.zorvane.net', false],
    [undefined, '', false],
  ];
  for (const [peer, shown, known] of cases) assert.deepEqual(displayPeer(peer, contacts), { shown, known }, String(peer));
});
