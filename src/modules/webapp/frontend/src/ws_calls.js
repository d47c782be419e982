import Dropdown from 'bootstrap/js/src/dropdown.js';
import { openSocket, sendJson } from './socket.js';
import { orderedRecords } from './keyorder.js';
import { templates } from './templates.js';
import { renderKeepingFocus } from './render.js';
import { dialog, confirmDialog, closeAllDialogs, closeDialog } from './dialogs.js';
import { toast } from './toast.js';
import { formRead, formValidate, onEnter } from './forms.js';
import { byId } from './dom.js';
import { displayPeer, mysip, peerAddress, peerParts, serviceAddress } from './peers.js';
import { stepVolume } from './volume.js';
import { showStats, bindWidgets } from './netview.js';
import { shared } from './state.js';
import { APP_NAME, SIP_DOMAIN } from './service.js';
import { showStream, showStreamFailed } from './ws_options.js';

let client = null;
let reopenKey = 0;
let lastCalls = [];
const KEYPAD = [['1', '2', '3'], ['4', '5', '6'], ['7', '8', '9'], ['*', '0', '#']];

const stateOf = (key) => lastCalls.find((c) => c.key === key)?.value.state;

function openKeypad(key) {
  const root = dialog({ title: 'DTMF Keyboard', html: templates.keypad({ rows: KEYPAD }), buttons: [{ name: 'Cancel' }] });
  root.querySelectorAll('.btn-dtmf').forEach((b) => b.addEventListener('click', () => {
    client.send({ command: 'dtmf', tone: b.dataset.tone, key });
  }));
}

function openAddContact(peer) {
  const root = dialog({
    title: 'Add Contact',
    html: templates.contactform({ sip: peer }),
    buttons: [
      { name: 'Cancel' },
      {
        name: 'Save',
        class: 'btn-success',
        callback: () => {
          const form = byId('formaddcontact');
          if (!formValidate(form)) return false;
          const fields = formRead(form);
          sendJson(window.ws_contacts, { command: 'addcontact', name: fields.name, sip: fields.sip });
          return true;
        },
      },
    ],
  });
  onEnter('#formaddcontact input', () => root.querySelector('.btn-success').click(), root);
}

function bindCards(container, focusId) {
  container.querySelectorAll('.zv-track[data-track]').forEach((card) => {
    card.style.order = card.dataset.track;
  });
  container.querySelectorAll('.hangup').forEach((b) => b.addEventListener('click', () => client.send({ command: 'hangup', key: b.dataset.key })));
  container.querySelectorAll('.chmix').forEach((b) => b.addEventListener('click', () => client.send({ command: 'chmix', key: b.dataset.key })));
  container.querySelectorAll('.volume').forEach((r) => r.addEventListener('change', () => {
    reopenKey = r.dataset.key;
    client.send({ command: 'volume', key: r.dataset.key, value: String(r.value) });
  }));
  container.querySelectorAll('.keyboard').forEach((b) => b.addEventListener('click', () => openKeypad(b.dataset.key)));
  container.querySelectorAll('.addcontactshort').forEach((b) => b.addEventListener('click', () => openAddContact(b.dataset.peer)));
  container.querySelectorAll('.zv-volume-form').forEach((f) => {
    f.addEventListener('click', (e) => e.stopPropagation());
    f.addEventListener('submit', (e) => e.preventDefault());
  });
  container.querySelectorAll('.zv-cog').forEach((b) => b.addEventListener('hidden.bs.dropdown', () => { reopenKey = 0; }));
  bindWidgets(container);
  if (reopenKey) {
    const cog = byId(`dropdown${reopenKey}`);
    if (cog && container.contains(cog)) {
      Dropdown.getOrCreateInstance(cog).show();
      cog.scrollIntoView({ block: 'nearest' });
    }
  }
  // Showing a menu focuses its button, and a control in a menu that the new
  // cards closed could not take the focus back: a slider moved by keyboard
  // keeps it in its reopened menu, any other goes to its menu's button.
  const again = focusId ? byId(focusId) : null;
  if (again && container.contains(again) && document.activeElement !== again) {
    if (again.getClientRects().length > 0) again.focus();
    else again.closest('.dropdown')?.querySelector('.zv-cog')?.focus();
  }
}

// Incoming prompts whose call is no longer ringing go away.
function closeStalePrompts() {
  document.querySelectorAll('.modal[data-incoming-key]').forEach((root) => {
    if (stateOf(root.dataset.incomingKey) !== 'Incoming') closeDialog(root);
  });
}

export function renderCalls(calls = lastCalls) {
  lastCalls = calls;
  window.callactive = calls.some((c) => c.value.state === 'Established');
  const view = calls.map(({ key, value }) => {
    const { shown, known } = displayPeer(value.peer, shared.contacts);
    const address = serviceAddress(value.peer) ?? peerAddress(value.peer) ?? mysip(shown);
    const parts = known || serviceAddress(shown) ? null : peerParts(shown);
    return {
      key, peer: shown, parts, address, known, track: value.track, ch: value.ch, state: value.state, chmix: value.chmix, volume: stepVolume(value.volume),
    };
  });
  const container = byId('activecalls');
  const focusId = document.activeElement?.id;
  // every control of a card has an id of its card; when the focused one's
  // card went, the focus goes to the dial box, where no key ends a call
  renderKeepingFocus(container, templates.calls({ calls: view }), { fallback: () => byId('sipnumbercall') });
  bindCards(container, focusId);
  closeStalePrompts();
}

function notify(peer) {
  if (typeof Notification === 'undefined') return;
  if (Notification.permission === 'granted') {
    const n = new Notification(`${APP_NAME} call: ${peer}`);
    n.addEventListener('click', () => window.focus());
  } else if (Notification.permission === 'default') {
    Notification.requestPermission();
  }
}

function onIncoming(msg) {
  const peer = String(msg.peeruri ?? '');
  const key = String(msg.key ?? '');
  toast('INCOMING Call', 'success');
  notify(peer);
  const root = confirmDialog(`Incoming call from '${peer}', accept?`, (yes) => {
    client.send({ command: yes ? 'accept' : 'hangup', key });
  });
  root.dataset.incomingKey = key;
}

// The library's reason when the partner ended a call (a BYE while it was
// up, a CANCEL while it rang); the same text while a call is being placed
// is a failure of the connection.
const PARTNER_ENDED = 'Connection reset by peer';
let pendingClose = null;
// What the program says when the on-air stream call cannot be placed.
const STREAM_FAILED = `stream@${SIP_DOMAIN}: `;

// A close comes right before the calls object without the closed call's
// card: when that card shows that the partner ended the call, the toast
// says so and names the partner as the card did. Anything else that comes
// first leaves the toast as it is.
function namePartner(calls) {
  if (!pendingClose) return;
  const { text, node } = pendingClose;
  pendingClose = null;
  if (!calls || text !== PARTNER_ENDED) return;
  const gone = lastCalls.filter((c) => !calls.some((n) => n.key === c.key));
  if (gone.length !== 1 || !['Established', 'Incoming'].includes(gone[0].value.state)) return;
  const { shown } = displayPeer(gone[0].value.peer, shared.contacts);
  node.querySelector('.toast-body strong').textContent = `Call closed: ${mysip(shown)} ended the call`;
}

function onClosed(msg) {
  // a prompt for a call that still rings stays answerable
  closeAllDialogs((root) => 'incomingKey' in root.dataset && stateOf(root.dataset.incomingKey) === 'Incoming');
  const text = typeof msg.message === 'string' ? msg.message : '';
  pendingClose = { text, node: toast(text ? `Call closed: ${text}` : 'Call closed', 'warn') };
  if (text.startsWith(STREAM_FAILED)) showStreamFailed(text.slice(STREAM_FAILED.length));
}

export function ws_calls_init() {
  client = openSocket('/ws_calls', {
    onJson: (msg, text) => {
      if (msg.callback === 'CLOSED') {
        onClosed(msg);
        return;
      }
      const calls = ['INCOMING', 'STATS', 'ONAIR'].includes(msg.callback) ? null : orderedRecords(text, msg);
      namePartner(calls);
      if (msg.callback === 'INCOMING') onIncoming(msg);
      else if (msg.callback === 'STATS') (Array.isArray(msg.tracks) ? msg.tracks : []).forEach(showStats);
      else if (msg.callback === 'ONAIR') showStream(msg.state, msg.reason);
      else renderCalls(calls);
    },
  });
  return client;
}
