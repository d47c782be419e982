import { openSocket } from './socket.js';
import { templates } from './templates.js';
import { renderKeepingFocus } from './render.js';
import { dialog } from './dialogs.js';
import { byId } from './dom.js';

let client = null;
let devices = {};
let open = null;

const NO_SOUND = 'No sound device is working: nothing is heard, sent or recorded. Choose a device with Interface.';

// The Tracks view says so while the program's last start of its sound
// device failed.
export function showNoSound(on) {
  const notice = byId('zv-no-sound');
  notice.hidden = !on;
  notice.textContent = on ? NO_SOUND : '';
}

function bindForm(body) {
  body.querySelectorAll('select[data-command]').forEach((select) => select.addEventListener('change', () => {
    client.send({ command: select.dataset.command, id: parseInt(select.value, 10) });
  }));
}

function openDevices() {
  open = dialog({
    title: 'Change audio device',
    html: templates.deviceform(devices),
    className: 'audiointerface-dialog',
    buttons: [
      { name: 'Reload', callback: () => { client.send({ command: 'reload' }); return false; } },
      { name: 'Close' },
    ],
  });
  const shownDialog = open;
  open.addEventListener('hidden.bs.modal', () => {
    if (open === shownDialog) open = null;
  });
  bindForm(open.querySelector('.dialog-body'));
}

export function ws_audio_init() {
  client = openSocket('/ws_audio', {
    onJson: (dict) => {
      devices = dict;
      showNoSound(dict.running === false);
      if (open) {
        const body = open.querySelector('.dialog-body');
        renderKeepingFocus(body, templates.deviceform(devices));
        bindForm(body);
      }
    },
  });
  byId('btn-interface').addEventListener('click', openDevices);
  return client;
}
