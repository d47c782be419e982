import {
  newTrackState, updateLoss, updateReceived, classify, settle, cssClass, cellTexts,
} from './netquality.js';
import { byId } from './dom.js';

const CLASSES = ['netstatus-none', 'netstatus-good', 'netstatus-fair', 'netstatus-bad'];
const tracks = new Map();

// One STATS entry onto the network widget of its track. The state per track
// outlives the cards; tracks without a card are left alone.
export function showStats(entry) {
  if (!entry || typeof entry !== 'object') return;
  const widget = byId(`netstatus${entry.track}`);
  if (!widget) return;
  if (!tracks.has(entry.track)) tracks.set(entry.track, newTrackState());
  const state = tracks.get(entry.track);
  const loss = updateLoss(state, entry);
  const shown = settle(state, classify(entry, loss, updateReceived(state, entry)));
  const icon = widget.querySelector('.netstatus-icon');
  icon.classList.remove(...CLASSES);
  icon.classList.add(cssClass(shown));
  widget.querySelector('.netstatus-label').textContent = `Network quality: ${shown}`;
  const cells = cellTexts(entry, shown, loss);
  widget.querySelectorAll('[data-stat]').forEach((cell) => {
    const text = cells[cell.dataset.stat];
    if (text !== undefined) cell.textContent = text;
  });
}

export function bindWidgets(root) {
  root.querySelectorAll('.netstatus').forEach((widget) => {
    widget.addEventListener('keydown', (e) => {
      if (e.key === 'Escape') widget.classList.add('netstatus-dismissed');
    });
    const restore = () => widget.classList.remove('netstatus-dismissed');
    widget.addEventListener('pointerleave', restore);
    widget.addEventListener('focusout', (e) => {
      if (!widget.contains(e.relatedTarget)) restore();
    });
  });
}
