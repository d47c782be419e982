import { openSocket } from './socket.js';
import { orderedRecords } from './keyorder.js';
import { templates } from './templates.js';
import { renderKeepingFocus } from './render.js';
import { dialog } from './dialogs.js';
import { toast } from './toast.js';
import { formRead, formValidate, onEnter } from './forms.js';
import { byId, addressParts } from './dom.js';
import { TEST_PEERS } from './service.js';
import { shared } from './state.js';
import { renderCalls } from './ws_calls.js';

let client = null;

function openAdd() {
  const root = dialog({
    title: 'Add Contact',
    html: templates.contactform({}),
    buttons: [
      { name: 'Cancel' },
      {
        name: 'Save',
        class: 'btn-primary',
        callback: () => {
          const form = byId('formaddcontact');
          if (!formValidate(form)) return false;
          const fields = formRead(form);
          client.send({ command: 'addcontact', name: fields.name, sip: fields.sip });
          return true;
        },
      },
    ],
  });
  onEnter('#formaddcontact input', () => root.querySelector('.btn-primary').click(), root);
}

function callContact(sip) {
  byId('sipnumbercall').value = sip;
  byId('buttoncall').click();
  window.location.hash = '#tracks';
}

function bind(pane) {
  byId('buttonaddcontact')?.addEventListener('click', openAdd);
  pane.querySelectorAll('.callcontact').forEach((b) => b.addEventListener('click', () => callContact(b.dataset.sip)));
  pane.querySelectorAll('.deletecontact').forEach((b) => b.addEventListener('click', () => {
    client.send({ command: 'deletecontact', sip: b.dataset.sip });
  }));
}

function onContacts(text, parsed) {
  shared.contacts = orderedRecords(text, parsed);
  const testpeers = TEST_PEERS.map((sip) => ({ name: sip.split('@')[0], sip, parts: addressParts(sip) }));
  const contacts = shared.contacts.map((c) => ({ ...c, parts: addressParts(c.value.sip) }));
  const pane = byId('contacts');
  renderKeepingFocus(pane, templates.contacts({ testpeers, contacts }));
  bind(pane);
  // names of callers may now be known
  renderCalls();
}

export function ws_contacts_init() {
  client = openSocket('/ws_contacts', {
    onJson: (msg, text) => onContacts(text, msg),
    onError: () => toast('Websocket error', 'error'),
    onClose: () => toast('Websocket closed', 'error'),
  });
  window.ws_contacts = client.ws;
  return client;
}
