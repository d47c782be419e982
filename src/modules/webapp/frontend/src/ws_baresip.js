import { openSocket } from './socket.js';
import { orderedRecords } from './keyorder.js';
import { templates } from './templates.js';
import { renderKeepingFocus } from './render.js';
import { dialog } from './dialogs.js';
import { toast } from './toast.js';
import { formRead, formValidate, onEnter } from './forms.js';
import { byId, escapeHtml, addressParts } from './dom.js';
import { SIP_DOMAIN, SECOND_DOMAIN, INSTALL_URL } from './service.js';

let client = null;
let accounts = [];
let accountsText = '{}';
// Why an account is offline, by address of record, as the program last told.
let reasons = {};

const address = (r) => `${r.user}@${r.domain}`;

function sendCall() {
  const input = byId('sipnumbercall');
  client.send({ command: 'call', dial: input.value });
  input.value = '';
}

function showUpdate(version) {
  dialog({
    title: 'Update available',
    html: `<p>Please update to ${escapeHtml(String(version ?? ''))}</p>`,
    buttons: [
      { name: 'Cancel' },
      {
        name: 'Download',
        class: 'btn-success',
        callback: () => {
          window.open(INSTALL_URL, '_blank', 'noopener,noreferrer');
          return false;
        },
      },
    ],
  });
}

function accountDialog(title, html, formId, onSave) {
  const root = dialog({
    title,
    html,
    buttons: [
      { name: 'Cancel' },
      {
        name: 'Save',
        class: 'btn-success',
        callback: () => {
          const form = byId(formId);
          if (!formValidate(form)) return false;
          onSave(formRead(form));
          return true;
        },
      },
    ],
  });
  onEnter(`#${formId} input`, () => root.querySelector('.btn-success').click(), root);
}

function openAdd() {
  accountDialog('Add SIP Account', templates.accountform({}), 'formaddsip', (fields) => {
    client.send({ command: 'addsip', user: fields.user, domain: fields.domain, password: fields.password });
  });
}

function openEdit(user, domain) {
  const match = accounts.filter((a) => a.value.user === user && a.value.domain === domain).pop();
  const record = match ? match.value : {};
  accountDialog('Edit SIP Account', templates.accounteditform(record), 'formeditsip', (fields) => {
    client.send({ command: 'deletesip', user: record.user, domain: record.domain });
    const merged = { ...record, command: 'addsip', user: fields.user, domain: fields.domain };
    if (fields.password) merged.password = fields.password;
    client.send(merged);
  });
}

function bindPane(pane) {
  byId('buttonaddsip')?.addEventListener('click', openAdd);
  pane.querySelectorAll('.editsip').forEach((b) => b.addEventListener('click', () => openEdit(b.dataset.user, b.dataset.domain)));
  pane.querySelectorAll('.deletesip').forEach((b) => b.addEventListener('click', () => {
    client.send({ command: 'deletesip', user: b.dataset.user, domain: b.dataset.domain });
  }));
}

const reasonOf = (r) => (r.status === true ? '' : String(reasons[`sip:${r.user}@${r.domain}`] ?? ''));

function showStatus(online, reason = '') {
  const word = online ? 'Online' : 'Offline';
  const dot = byId('sipdot');
  dot.classList.toggle('zv-dot-online', online);
  dot.title = reason ? `${word}: ${reason}` : word;
  const status = byId('sipstatus');
  if (status.textContent !== dot.title) status.textContent = dot.title;
}

// An account on the service's domains is set up: the program's main account,
// which the on-air stream call needs.
export function hasServiceAccount() {
  return accounts.some((a) => [SIP_DOMAIN, `${SIP_DOMAIN}:443`, SECOND_DOMAIN].includes(a.value.domain));
}

// The ID as offline, when the program has stopped.
export function showOffline() {
  if (!byId('zv-id').classList.contains('d-none')) showStatus(false);
}

function showIdLine() {
  let own = null;
  for (const a of accounts) if (a.value.domain === SIP_DOMAIN) own = a.value;
  if (!own) return;
  byId('sipid').textContent = address(own);
  showStatus(own.status === true, reasonOf(own));
  byId('zv-id').classList.remove('d-none');
}

function onAccounts(text, parsed) {
  accountsText = text;
  accounts = orderedRecords(text, parsed);
  const view = accounts.map((a) => ({
    key: a.key,
    value: a.value,
    parts: addressParts(address(a.value)),
    online: a.value.status === true,
    reason: reasonOf(a.value),
    current: a.value.current === true,
  }));
  const pane = byId('accounts');
  renderKeepingFocus(pane, templates.accounts({ accounts: view }));
  const select = byId('current_uag');
  renderKeepingFocus(select, templates.accountoptions({ accounts: view }));
  select.classList.toggle('d-none', select.options.length < 2);
  showIdLine();
  bindPane(pane);
}

async function copyId() {
  const id = byId('sipid').textContent;
  if (!id) return;
  if (!navigator.clipboard || !navigator.clipboard.writeText) {
    toast('Copy is not supported, please select the ID', 'warn');
    return;
  }
  try {
    await navigator.clipboard.writeText(id);
    toast(`Copied ${id}`, 'success');
  } catch {
    toast('Could not copy the ID', 'warn');
  }
}

export function ws_baresip_init() {
  client = openSocket('/ws_baresip', {
    onJson: (msg, text) => {
      if (msg.callback === 'UPDATE') showUpdate(msg.version);
      else if (msg.callback === 'ERROR') toast(String(msg.message ?? ''), 'error');
      else if (msg.callback === 'REGISTRATION') {
        reasons = msg.reasons !== null && typeof msg.reasons === 'object' ? msg.reasons : {};
        onAccounts(accountsText, JSON.parse(accountsText));
      }
      else onAccounts(text, msg);
    },
    onError: () => toast('Websocket error', 'error'),
    onClose: () => toast('Websocket closed', 'error'),
  });
  byId('buttoncall').addEventListener('click', sendCall);
  byId('sipnumbercall').addEventListener('keydown', (e) => {
    if (e.key !== 'Enter') return;
    e.preventDefault();
    sendCall();
    e.target.blur();
  });
  byId('current_uag').addEventListener('change', (e) => {
    const option = e.target.selectedOptions[0];
    if (option) client.send({ command: 'uagcurrent', aor: option.text });
  });
  return client;
}

export function bindCopyId() {
  byId('btn-copy-id').addEventListener('click', copyId);
}
