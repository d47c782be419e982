import { openSocket } from './socket.js';
import { templates } from './templates.js';
import { renderKeepingFocus } from './render.js';
import { dialog } from './dialogs.js';
import { byId } from './dom.js';
import { readKey, writeKey } from './storage.js';
import { STREAM_HOST, SIP_DOMAIN } from './service.js';
import { hasServiceAccount } from './ws_baresip.js';

const SWITCHES = [
  ['monitoring', 'Monitoring'],
  ['monorecord', 'Mono Local Recording'],
  ['monostream', 'Mono Remote Streaming'],
  ['verbose', 'Verbose Logging (SIP Trace)'],
];
const TOGGLES = { record: 'btn-record', onair: 'btn-onair', mute: 'btn-mute' };
const ONAIR_OFF = `Live stream: broadcast the session audio (you and all call participants) via ${STREAM_HOST}`;
const ONAIR_ON = 'You are live: the session audio is being streamed. Click to stop streaming.';
const STREAM_INFO = `<p>Streaming broadcasts your <strong>live session audio</strong> (your microphone and all call participants) via <strong>${STREAM_HOST}</strong>. Anyone with the stream link can listen in real time.</p>
<p>A browser window opens where you log in and get the listener link. The stream keeps running until you click the button again.</p>
<p class="text-muted">This is not a recording. Use <em>Record</em> for local recordings.</p>
<div class="form-check"><input class="form-check-input" type="checkbox" id="stream-info-hide"><label class="form-check-label" for="stream-info-hide">Don't show this again</label></div>`;

let client = null;
const flags = { record: false, onair: false, mute: false };
// The stream as the program last reported it: "off", "connecting", "live"
// or "not connected", with the reason for the last.
const stream = { state: 'off', reason: '' };

// On air is red and says it is live only while the program's stream call
// is established; wanted otherwise, it says that it is connecting, or that
// it is not connected and why.
function drawOnAir(button) {
  const on = flags.onair;
  const live = on && stream.state === 'live';
  const down = on && !live && stream.state === 'not connected';
  button.classList.toggle('btn-danger', live);
  button.classList.toggle('btn-warning', on && !live);
  button.classList.toggle('btn-secondary', !on);
  button.setAttribute('aria-pressed', on ? 'true' : 'false');
  const because = stream.reason ? `: ${stream.reason}` : '';
  if (!on) button.title = ONAIR_OFF;
  else if (live) button.title = ONAIR_ON;
  else if (down) button.title = `Live stream not connected${because}. Click to stop.`;
  else button.title = 'Live stream connecting. Click to stop.';
  let state = '';
  if (down) state = 'not connected';
  else if (on && !live) state = 'connecting';
  byId('onair-state').textContent = state;
}

function draw(name) {
  const button = byId(TOGGLES[name]);
  if (name === 'onair') {
    drawOnAir(button);
    return;
  }
  const on = flags[name];
  button.classList.toggle('btn-danger', on);
  button.classList.toggle('btn-secondary', !on);
  button.setAttribute('aria-pressed', on ? 'true' : 'false');
}

// The program's report of its stream call.
export function showStream(state, reason) {
  stream.state = typeof state === 'string' ? state : 'off';
  stream.reason = typeof reason === 'string' ? reason : '';
  draw('onair');
}

// The stream call could not be placed (the CLOSED message of the stream
// account, with error): without an account on the service, that is why.
export function showStreamFailed(error) {
  showStream('not connected', hasServiceAccount() ? error : `no account on ${SIP_DOMAIN} is set up`);
}

// The toggles as off, when the program has stopped.
export function drawTogglesOff() {
  stream.state = 'off';
  for (const name of Object.keys(TOGGLES)) {
    flags[name] = false;
    draw(name);
  }
}

function send(key, value) {
  client.send({ key, value });
}

function flip(name) {
  flags[name] = !flags[name];
  send(name, flags[name] ? 'true' : 'false');
}

function goOnAir(on) {
  flags.onair = on;
  // until the program reports the new stream call
  stream.state = 'off';
  stream.reason = '';
  draw('onair');
  send('onair', on ? 'true' : 'false');
}

function onAirClick() {
  if (flags.onair) {
    goOnAir(false);
    return;
  }
  if (readKey('zvstreaminfo') === 'hide') {
    goOnAir(true);
    return;
  }
  dialog({
    title: 'Start live stream?',
    html: STREAM_INFO,
    buttons: [
      { name: 'Cancel', class: 'btn-secondary' },
      {
        name: 'Start streaming',
        class: 'btn-danger',
        callback: (root) => {
          if (root.querySelector('#stream-info-hide')?.checked) writeKey('zvstreaminfo', 'hide');
          goOnAir(true);
        },
      },
    ],
  });
}

function isTyping(target) {
  return target instanceof Element
    && (target.matches('input, textarea, select') || target.isContentEditable);
}

function onOptions(options) {
  for (const name of Object.keys(TOGGLES)) {
    const value = options[name];
    if (typeof value === 'string' && value !== '') {
      flags[name] = value === 'true';
      draw(name);
    }
  }
  const present = SWITCHES.filter(([name]) => name in options).map(([name, label]) => ({
    name, label, on: typeof options[name] === 'string' && options[name] !== '',
  }));
  const pane = byId('options');
  renderKeepingFocus(pane, templates.options({ options: present }));
  pane.querySelectorAll('.option-change').forEach((box) => box.addEventListener('click', () => {
    send(box.dataset.option, box.dataset.value);
  }));
}

export function ws_options_init() {
  client = openSocket('/ws_options', { onJson: onOptions });
  byId('btn-record').addEventListener('click', () => flip('record'));
  byId('btn-mute').addEventListener('click', () => flip('mute'));
  byId('btn-record-folder').addEventListener('click', () => send('record-folder', '1'));
  byId('btn-onair').addEventListener('click', onAirClick);
  document.addEventListener('keydown', (e) => {
    if (e.keyCode !== 77 || e.repeat || isTyping(e.target)) return;
    flip('mute');
  });
  return client;
}
