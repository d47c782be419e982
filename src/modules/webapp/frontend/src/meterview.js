import { dbToPercent, barClass, parseMeterLine, localSlot, LOCAL_METERS, REMOTE_SLOTS } from './meter.js';
import { byId, el } from './dom.js';

// Bars are made on first use; the element keeps them for later lines.
function bars(node) {
  if (!node.zvBars) {
    node.textContent = '';
    node.zvBars = ['Left', 'Right'].map((label) => {
      const outer = el('div', {
        class: 'progress', role: 'meter', 'aria-label': label,
        'aria-valuemin': '0', 'aria-valuemax': '100', 'aria-valuenow': '0',
      });
      const inner = el('div', { class: 'progress-bar bg-success' });
      inner.style.width = '0%';
      outer.append(inner);
      node.append(outer);
      return { outer, inner, cls: 'bg-success' };
    });
  }
  return node.zvBars;
}

function drawBar(bar, field) {
  const p = dbToPercent(field);
  bar.inner.style.width = `${p}%`;
  const cls = barClass(p);
  if (cls !== bar.cls) {
    bar.inner.classList.replace(bar.cls, cls);
    bar.cls = cls;
  }
  bar.outer.setAttribute('aria-valuenow', String(Math.round(p)));
}

function showSlot(node, line, slot) {
  const [left, right] = bars(node);
  drawBar(left, line.left(slot));
  drawBar(right, line.right(slot));
}

export function showMeterLine(text) {
  const line = parseMeterLine(text);
  byId('record_time').textContent = line.time;
  for (let i = 1; i <= LOCAL_METERS; i += 1) {
    const node = byId(`microphonebar${i}`);
    if (!node) continue;
    const slot = localSlot(i);
    if (i > 1 && node.classList.contains('d-none') && line.left(slot) !== 'inf' && line.left(slot) !== undefined) {
      node.classList.remove('d-none');
    }
    showSlot(node, line, slot);
  }
  for (const s of REMOTE_SLOTS) {
    const node = byId(`headphonesbar${s}`);
    if (node) showSlot(node, line, s);
  }
}

// Every meter at zero, as when the program has stopped.
export function zeroMeters() {
  document.querySelectorAll('.zv-meter').forEach((node) => {
    if (node.zvBars) node.zvBars.forEach((bar) => drawBar(bar, 'inf'));
  });
}
