// State shared between the clients (kept on window as well, by name).
export function initPageState() {
  window.ws_host = window.location.host;
  window.swvariant = '';
  window.callactive = false;
  window.ws_contacts = null;
}

// The contacts in member order.
export const shared = { contacts: [], calls: null };
