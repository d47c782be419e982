const FOCUSABLE = 'a[href], button, input, select, textarea, [tabindex]';

// Replaces a container's content and gives the focus back to the element
// with the same id, or else to the one at the same position. Containers
// whose controls all carry ids may name a fallback instead: where the
// focused element is gone, a position would land on another one's control.
export function renderKeepingFocus(container, html, { fallback } = {}) {
  const active = document.activeElement;
  let noted = null;
  if (active && active !== container && container.contains(active)) {
    noted = { id: active.id, index: [...container.querySelectorAll(FOCUSABLE)].indexOf(active) };
  }
  container.innerHTML = html;
  if (!noted) return;
  let target = noted.id ? document.getElementById(noted.id) : null;
  if (!target || !container.contains(target)) {
    if (fallback) target = fallback();
    else target = noted.index >= 0 ? container.querySelectorAll(FOCUSABLE)[noted.index] : null;
  }
  if (target) target.focus();
}
