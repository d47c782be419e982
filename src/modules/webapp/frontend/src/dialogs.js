import Modal from 'bootstrap/js/src/modal.js';
import { el, escapeHtml } from './dom.js';

const MODAL_Z = 1055;
const BACKDROP_Z = 1050;
const STACK_STEP = 20;

function randomId() {
  return `dialog-${Math.random().toString(36).slice(2, 9)}`;
}

const TABBABLE = 'a[href], button, input:not([type="hidden"]), select, textarea, [tabindex]:not([tabindex="-1"])';

function tabbables(root) {
  return [...root.querySelectorAll(TABBABLE)].filter((node) => !node.disabled && node.getClientRects().length > 0);
}

// Where the focus goes back to when a dialog closes: the element that had it
// when the dialog opened, or its successor with the same id after a
// re-render; a menu item of a menu that has closed since gives way to the
// menu's button.
function returnPoint(opener) {
  const ids = [opener.id, opener.closest('.dropdown')?.querySelector('[data-bs-toggle="dropdown"]')?.id].filter(Boolean);
  const candidates = [opener, ...ids.map((id) => document.getElementById(id))];
  for (const node of candidates) {
    if (!node || !node.isConnected || node.disabled) continue;
    const menu = node.closest('.dropdown-menu');
    const target = menu && !menu.classList.contains('show') ? menu.parentElement.querySelector('[data-bs-toggle="dropdown"]') : node;
    if (target && target.getClientRects().length > 0) return target;
  }
  return null;
}

function openDialogs() {
  return [...document.querySelectorAll('.modal.show, .modal[data-zv-opening]')];
}

// Shows a modal dialog. buttons: [{name, label, class, callback}]; a callback
// that returns exactly false keeps the dialog open. onEscape runs once for the
// first Escape or the close button. Returns the dialog element.
export function dialog({ title, html, size, buttons = [], onEscape, className }) {
  const id = randomId();
  const root = el('div', { class: 'modal fade', id, role: 'dialog', tabindex: '-1', 'aria-modal': 'true' });
  if (className) root.classList.add(className);
  root.setAttribute('aria-labelledby', title ? `${id}-title` : `${id}-body`);
  const box = el('div', { class: 'modal-dialog modal-dialog-centered' });
  if (size === 'large') box.classList.add('modal-lg');
  const content = el('div', { class: 'modal-content' });
  let escaped = false;
  const escape = () => {
    if (escaped) return;
    escaped = true;
    if (onEscape) onEscape();
    Modal.getInstance(root)?.hide();
  };

  if (title) {
    const header = el('div', { class: 'modal-header' });
    header.append(el('h2', { class: 'modal-title h5', id: `${id}-title` }, title));
    const close = el('button', { type: 'button', class: 'btn-close', 'aria-label': 'Close' });
    close.addEventListener('click', escape);
    header.append(close);
    content.append(header);
  }
  const body = el('div', { class: 'modal-body dialog-body', id: `${id}-body` });
  body.innerHTML = html;
  content.append(body);
  if (buttons.length > 0) {
    const footer = el('div', { class: 'modal-footer' });
    buttons.forEach((b, i) => {
      const cls = b.class || (i === buttons.length - 1 ? 'btn-primary' : 'btn-secondary');
      const button = el('button', { type: 'button', class: `btn ${cls}` }, b.label ?? b.name);
      if (b.name) button.dataset.name = b.name;
      button.addEventListener('click', () => {
        const result = b.callback ? b.callback(root) : undefined;
        if (result !== false) Modal.getInstance(root)?.hide();
      });
      footer.append(button);
    });
    content.append(footer);
  }
  box.append(content);
  root.append(box);
  root.addEventListener('keydown', (e) => {
    if (e.key === 'Escape') {
      e.preventDefault();
      e.stopImmediatePropagation();
      escape();
    } else if (e.key === 'Tab') {
      // the focus goes round inside the dialog, never out of the page
      const items = tabbables(root);
      if (items.length === 0) return;
      const [first, last] = [items[0], items[items.length - 1]];
      const at = document.activeElement;
      if (e.shiftKey && (at === first || at === root)) {
        e.preventDefault();
        last.focus();
      } else if (!e.shiftKey && at === last) {
        e.preventDefault();
        first.focus();
      }
    }
  });

  const opener = document.activeElement && document.activeElement !== document.body ? document.activeElement : null;

  // Dialogs opened over others stack above them with their own backdrop.
  const depth = openDialogs().length;
  root.dataset.zvOpening = '';
  root.style.zIndex = String(MODAL_Z + depth * STACK_STEP);
  root.addEventListener('shown.bs.modal', () => {
    delete root.dataset.zvOpening;
    const backdrops = document.querySelectorAll('.modal-backdrop');
    const backdrop = backdrops[backdrops.length - 1];
    if (backdrop) backdrop.style.zIndex = String(BACKDROP_Z + depth * STACK_STEP);
    const focus = root.querySelector('[autofocus]');
    if (focus) focus.focus();
  });
  root.addEventListener('hidden.bs.modal', () => {
    const lost = root.contains(document.activeElement) || document.activeElement === document.body;
    Modal.getInstance(root)?.dispose();
    root.remove();
    const back = lost && opener ? returnPoint(opener) : null;
    if (back) back.focus();
    // the toolkit forgets the open state of dialogs still underneath
    if (document.querySelector('.modal.show')) document.body.classList.add('modal-open');
  });
  document.body.append(root);
  const modal = new Modal(root, { backdrop: 'static', keyboard: false });
  modal.show();
  return root;
}

export function alertDialog(html, size) {
  return dialog({ html, size, buttons: [{ name: 'OK' }] });
}

export function confirmDialog(text, answer) {
  return dialog({
    html: escapeHtml(text),
    buttons: [
      { name: 'Cancel', callback: () => answer(false) },
      { name: 'OK', callback: () => answer(true) },
    ],
    onEscape: () => answer(false),
  });
}

// Closes a dialog without running any of its answers.
export function closeDialog(root) {
  const modal = Modal.getInstance(root);
  if (!modal) root.remove();
  else if ('zvOpening' in root.dataset) root.addEventListener('shown.bs.modal', () => modal.hide(), { once: true });
  else modal.hide();
}

// Closes every open dialog but those that keep(dialog) spares.
export function closeAllDialogs(keep = () => false) {
  document.querySelectorAll('.modal').forEach((root) => {
    if (!keep(root)) closeDialog(root);
  });
}
