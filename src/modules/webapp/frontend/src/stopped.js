import { closeAllDialogs } from './dialogs.js';
import { byId, el } from './dom.js';
import { zeroMeters } from './meterview.js';
import { APP_NAME } from './service.js';
import { drawTogglesOff } from './ws_options.js';
import { showOffline } from './ws_baresip.js';
import { showNoSound } from './ws_audio.js';

// Controls that speak to the program; the page's own navigation (the views'
// links, the settings tabs, the about dialog) stays usable.
const CONTROLS = '#app button:not([role="tab"]), #app input, #app select, #app textarea, .zv-controls button';

let stopped = false;

// The program has ended (a socket of the page closed, and none reconnects):
// the page stops looking alive until it is reloaded. The meters drop to zero,
// the calls are gone, every control is disabled and one message says so.
export function showStopped() {
  if (stopped) return;
  stopped = true;
  window.callactive = false;
  closeAllDialogs();
  byId('activecalls').replaceChildren();
  zeroMeters();
  byId('record_time').textContent = '0:00:00';
  drawTogglesOff();
  showOffline();
  showNoSound(false);
  const hadFocus = document.activeElement;
  document.querySelectorAll(CONTROLS).forEach((control) => { control.disabled = true; });
  document.querySelectorAll('#app a[href="/logs.txt"]').forEach((link) => {
    link.classList.add('disabled');
    link.setAttribute('aria-disabled', 'true');
    link.setAttribute('tabindex', '-1');
  });

  const notice = el('div', { class: 'zv-stopped', role: 'alert' });
  notice.append(el('p', {}, `${APP_NAME} has stopped. Start it again, then reload this page.`));
  const reload = el('button', { type: 'button', class: 'btn btn-primary' }, 'Reload page');
  reload.addEventListener('click', () => window.location.reload());
  notice.append(reload);
  byId('app').prepend(notice);
  if (hadFocus && hadFocus.disabled) reload.focus();
}
