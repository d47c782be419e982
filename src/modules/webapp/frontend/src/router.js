import { APP_NAME } from './service.js';

export const VIEWS = [
  { name: 'tracks', label: 'Tracks' },
  { name: 'settings', label: 'Settings' },
];

function viewFromHash() {
  const name = window.location.hash.replace(/^#/, '') || 'tracks';
  return VIEWS.find((v) => v.name === name) || null;
}

function show(view, focus) {
  for (const v of VIEWS) {
    const shown = v === view;
    document.getElementById(`view-${v.name}`)?.toggleAttribute('hidden', !shown);
    const link = document.querySelector(`.zv-nav a[href="#${v.name}"]`);
    if (link) {
      if (shown) link.setAttribute('aria-current', 'page');
      else link.removeAttribute('aria-current');
    }
  }
  document.title = view.name === 'tracks' ? APP_NAME : `${view.label} - ${APP_NAME}`;
  if (focus) document.getElementById(`view-${view.name}-title`)?.focus();
}

export function startRouter() {
  window.addEventListener('hashchange', () => {
    const view = viewFromHash();
    if (view) show(view, true);
  });
  show(viewFromHash() || VIEWS[0], false);
}
