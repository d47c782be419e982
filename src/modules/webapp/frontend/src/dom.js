export const byId = (id) => document.getElementById(id);

export function el(tag, attrs = {}, text) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attrs)) node.setAttribute(name, value);
  if (text !== undefined) node.textContent = text;
  return node;
}

// The pieces of an address after which a line may break: its at sign and
// its dots, so a narrow table wraps "carol@sip.example.net" between names.
export function addressParts(text) {
  return String(text ?? '').split(/(?<=[@.])/);
}

export function escapeHtml(text) {
  return String(text)
    .replace(/&/g, '&amp;')
    .replace(/</g, '&lt;')
    .replace(/>/g, '&gt;')
    .replace(/"/g, '&quot;')
    .replace(/'/g, '&#x27;')
    .replace(/`/g, '&#x60;')
    .replace(/=/g, '&#x3D;');
}
