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

// A SIP address as people write it and as contacts hold it: user@host, and
// ":port" only when it is not the transport's default, without a display
// name, angle brackets, "sip:", URI parameters or headers; the host in lower
// case. The library reports a peer as "sip:user@host:port;transport=udp",
// a contact may be saved as "user@host". null for a text without "@".
export function peerAddress(text) {
  if (typeof text !== 'string') return null;
  let uri = text.trim();
  const open = uri.indexOf('<');
  if (open >= 0) uri = uri.slice(open + 1, uri.indexOf('>', open) < 0 ? undefined : uri.indexOf('>', open));
  const secure = /^sips:/i.test(uri) || /;transport=tls(?=$|[;?])/i.test(uri);
  uri = uri.replace(/^sips?:/i, '');
  const [address] = uri.split(/[;?]/);
  const at = address.lastIndexOf('@');
  if (at <= 0 || at === address.length - 1) return null;
  const user = address.slice(0, at);
  let host = address.slice(at + 1).toLowerCase();
  const standard = secure ? ':5061' : ':5060';
  if (host.endsWith(standard)) host = host.slice(0, -standard.length);
  return `${user}@${host}`;
}

// A SIP URI in three parts: what every peer has alike ("sip:" before the
// address, the URI parameters after it) and the address between, which is
// what tells callers apart, so that a narrow card can show it alone. null
// for any other text.
export function peerParts(peer) {
  const m = typeof peer === 'string' ? /^(sips?:)([^;?<>\s]+@[^;?<>\s]+)(.*)$/i.exec(peer) : null;
  return m ? { before: m[1], address: m[2], after: m[3] } : null;
}

// The name shown for a call's peer and whether it is already known (a
// contact or a test peer), from the contacts as {key, value} records. A
// contact names a peer whose address is the contact's, wherever it is.
export function displayPeer(peer, contacts) {
  const text = typeof peer === 'string' ? peer : '';
  const service = serviceAddress(text);
  const address = service ?? peerAddress(text);
  let shown = text;
  let known = false;
  if (address !== null) {
    const contact = contacts.find((c) => typeof c.value.sip === 'string' && peerAddress(c.value.sip) === address);
    if (contact && typeof contact.value.name === 'string') {
      shown = contact.value.name;
      known = true;
    }
  }
  if (service === ECHO_PEER) {
    shown = 'echo';
    known = true;
  } else if (service === MUSIC_PEER) {
    shown = 'music';
    known = true;
  }
  return { shown, known };
}
