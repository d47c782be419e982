import { SIP_DOMAIN, ECHO_PEER, MUSIC_PEER } from './service.js';

const escaped = SIP_DOMAIN.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
// "sip:" then a user, an at sign and exactly the service's domain, ended by
// the end of the text or a URI delimiter, so "sip.zorvane.net.evil" does not match.
const SERVICE_URI = new RegExp(`sip:([^@\\s;:<>"?]+@${escaped})(?=$|[;>:?\\s])`);

// user@domain of a peer on the service's domain, or null.
export function serviceAddress(peer) {
  if (typeof peer !== 'string') return null;
  const m = SERVICE_URI.exec(peer);
  return m ? m[1] : null;
}

// The text a call card shows for a peer: user@domain for service peers,
// anything else unchanged.
export function mysip(peer) {
  const address = serviceAddress(peer);
  return address ?? peer;
}

// The name shown for a call's peer and whether it is already known (a
// contact or a test peer), from the contacts as {key, value} records.
export function displayPeer(peer, contacts) {
  const text = typeof peer === 'string' ? peer : '';
  const address = serviceAddress(text);
  let shown = text;
  let known = false;
  if (address !== null) {
    const contact = contacts.find((c) => c.value.sip === address);
    if (contact && typeof contact.value.name === 'string') {
      shown = contact.value.name;
      known = true;
    }
    if (address === ECHO_PEER) {
      shown = 'echo';
      known = true;
    } else if (address === MUSIC_PEER) {
      shown = 'music';
      known = true;
    }
  }
  return { shown, known };
}
