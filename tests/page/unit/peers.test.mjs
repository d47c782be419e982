import test from 'node:test';
import assert from 'node:assert/strict';
import { mysip, serviceAddress, displayPeer, peerAddress, peerParts } from '../../../src/modules/webapp/frontend/src/peers.js';

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

test('call cards show contact names wherever the contact is, test peers only on the service domain', () => {
  const contacts = [
    { key: '0', value: { name: 'Carol', sip: 'carol@sip.zorvane.net' } },
    { key: '1', value: { name: 'Dave', sip: 'dave@other.test' } },
    { key: '2', value: { name: 'Anna (Studio B)', sip: 'sip:anna@127.0.0.1:5071' } },
  ];
  const cases = [
    ['sip:carol@sip.zorvane.net', 'Carol', true],
    ['sip:carol@sip.zorvane.net;transport=udp', 'Carol', true],
    ['sip:dave@other.test', 'Dave', true],
    // the peer as the SIP library reports it: URI parameters, the default port
    ['sip:dave@other.test:5060;transport=udp', 'Dave', true],
    ['sip:dave@Other.Test;transport=tcp', 'Dave', true],
    ['sip:dave@other.test:5070', 'sip:dave@other.test:5070', false],
    ['sip:anna@127.0.0.1:5071;transport=udp', 'Anna (Studio B)', true],
    ['sip:anna@127.0.0.1:5081;transport=udp', 'sip:anna@127.0.0.1:5081;transport=udp', false],
    ['sip:carol@sip.zorvane.net.evil.example', 'sip:carol@sip.zorvane.net.evil.example', false],
    ['sip:echo@sip.zorvane.net', 'echo', true],
    ['sip:music@sip.zorvane.net', 'music', true],
    ['sip:echo@other.test', 'sip:echo@other.test', false],
    ['sip:stranger@sip.zorvane.net', 'sip:stranger@sip.zorvane.net', false],
    [undefined, '', false],
  ];
  for (const [peer, shown, known] of cases) assert.deepEqual(displayPeer(peer, contacts), { shown, known }, String(peer));
});

test('a peer\'s address as a contact holds it, and the part that tells callers apart', () => {
  const cases = [
    ['sip:peer@127.0.0.1:5071;transport=udp', 'peer@127.0.0.1:5071'],
    ['"Anna" <sip:anna@Studio.example:5060;transport=tcp>', 'anna@studio.example'],
    ['anna@studio.example', 'anna@studio.example'],
    ['sip:a@h:5061;transport=tls', 'a@h'],
    ['sips:a@h:5061', 'a@h'],
    ['sip:a@h:5061', 'a@h:5061'],
    ['sip:a@[::1]:5060', 'a@[::1]'],
    ['peer', null],
    ['sip:@h', null],
    [undefined, null],
  ];
  for (const [text, address] of cases) assert.equal(peerAddress(text), address, String(text));
  assert.deepEqual(peerParts('sip:peer@127.0.0.1:5071;transport=udp'),
    { before: 'sip:', address: 'peer@127.0.0.1:5071', after: ';transport=udp' });
  assert.equal(peerParts('Anna (Studio B)'), null);
});
