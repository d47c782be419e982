import 'bootstrap/js/src/tab.js';
import { startIcons } from './icons.js';
import { initPageState } from './state.js';
import { startRouter } from './router.js';
import { startTourOnce } from './tour.js';
import { showAbout } from './about.js';
import { byId, el } from './dom.js';
import { ws_audio_init } from './ws_audio.js';
import { ws_baresip_init, bindCopyId } from './ws_baresip.js';
import { ws_calls_init } from './ws_calls.js';
import { ws_meter_init } from './ws_meter.js';
import { ws_contacts_init } from './ws_contacts.js';
import { ws_options_init } from './ws_options.js';
import { whenSocketCloses } from './socket.js';
import { showStopped } from './stopped.js';
import './templates.js';

const STANDALONE_BUTTONS = ['btn-interface', 'btn-record', 'btn-record-folder', 'btn-onair', 'btn-mute'];

function leaveGuard(e) {
  if (window.callactive) {
    e.preventDefault();
    e.returnValue = '';
  }
}

async function fetchText(path) {
  const response = await fetch(path, { cache: 'no-store' });
  if (!response.ok) throw new Error(`${path}: ${response.status}`);
  return response.text();
}

async function startVariant() {
  let variant;
  try {
    variant = await fetchText('/swvariant');
  } catch {
    return;
  }
  window.swvariant = variant;
  if (variant !== 'standalone') return;
  STANDALONE_BUTTONS.forEach((id) => byId(id).classList.remove('d-none'));
  // no socket comes back: a closed one means the program has stopped
  whenSocketCloses(showStopped);
  ws_audio_init();
  try {
    startTourOnce();
  } catch {
    // the tour is a help only; the page works without it
  }
  ws_baresip_init();
  ws_calls_init();
  ws_meter_init();
  ws_contacts_init();
  ws_options_init();
}

async function showVersion() {
  let version;
  try {
    version = await fetchText('/version');
  } catch {
    return;
  }
  const button = el('button', { type: 'button', id: 'changelog', class: 'btn btn-link p-0', 'aria-label': `${version}, show changelog` }, version);
  button.addEventListener('click', showAbout);
  byId('version').replaceChildren(button);
}

startIcons();
initPageState();
startRouter();
window.addEventListener('beforeunload', leaveGuard);
bindCopyId();
startVariant();
showVersion();
