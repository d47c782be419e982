import Dropdown from 'bootstrap/js/src/dropdown.js';
import { openSocket, sendJson } from './socket.js';
import { orderedRecords } from './keyorder.js';
import { templates } from './templates.js';
import { renderKeepingFocus } from './render.js';
import { dialog, confirmDialog, closeAllDialogs, closeDialog } from './dialogs.js';
import { toast } from './toast.js';
import { formRead, formValidate, onEnter } from './forms.js';
import { byId } from './dom.js';
import { displayPeer } from './peers.js';
import { showStats, bindWidgets } from './netview.js';
import { shared } from './state.js';
import { APP_NAME } from './service.js';

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
    return { key, peer: shown, known, track: value.track, ch: value.ch, state: value.state, chmix: value.chmix, volume: value.volume };
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

function onClosed(msg) {
  // a prompt for a call that still rings stays answerable
  closeAllDialogs((root) => 'incomingKey' in root.dataset && stateOf(root.dataset.incomingKey) === 'Incoming');
  const text = typeof msg.message === 'string' ? msg.message : '';
  toast(text ? `Call closed: ${text}` : 'Call closed', 'warn');
}

export function ws_calls_init() {
  client = openSocket('/ws_calls', {
    onJson: (msg, text) => {
      if (msg.callback === 'INCOMING') onIncoming(msg);
      else if (msg.callback === 'CLOSED') onClosed(msg);
      else if (msg.callback === 'STATS') (Array.isArray(msg.tracks) ? msg.tracks : []).forEach(showStats);
      else renderCalls(orderedRecords(text, msg));
    },
  });
  return client;
}
