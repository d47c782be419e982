import Toast from 'bootstrap/js/src/toast.js';
import { el } from './dom.js';

const TYPES = { error: 'text-bg-danger', warn: 'text-bg-warning', success: 'text-bg-success', info: 'text-bg-info' };

// The toasts stand in the page's flow below the header, so that they never
// lie over the navigation or what a view shows at its top.
function container() {
  let box = document.getElementById('toast-container');
  if (!box) {
    box = el('div', { id: 'toast-container', class: 'toast-container zv-toasts' });
    const header = document.querySelector('.zv-header');
    if (header) header.after(box);
    else document.body.append(box);
  }
  return box;
}

// Shows a toast; errors stay until closed, the others go after 10 s.
export function toast(text, type = 'error') {
  const isError = type === 'error';
  const node = el('div', {
    class: `toast align-items-center border-0 ${TYPES[type] || TYPES.info}`,
    role: isError ? 'alert' : 'status',
    'aria-live': isError ? 'assertive' : 'polite',
    'aria-atomic': 'true',
  });
  const row = el('div', { class: 'd-flex' });
  const body = el('div', { class: 'toast-body' });
  body.append(el('strong', {}, String(text)));
  const close = el('button', { type: 'button', class: 'btn-close me-2 m-auto', 'data-bs-dismiss': 'toast', 'aria-label': 'Close' });
  row.append(body, close);
  node.append(row);
  container().prepend(node);
  node.addEventListener('hidden.bs.toast', () => {
    Toast.getInstance(node)?.dispose();
    node.remove();
  });
  new Toast(node, { autohide: !isError, delay: 10000 }).show();
  return node;
}
