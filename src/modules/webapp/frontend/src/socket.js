const closeWatchers = [];

// Runs fn whenever a socket of the page closes.
export function whenSocketCloses(fn) {
  closeWatchers.push(fn);
}

// Sends an object as JSON when the socket is open, and nothing otherwise.
export function sendJson(ws, obj) {
  if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify(obj));
}

// A websocket client of one endpoint. Sends are dropped while the socket is
// not open; messages that are not valid JSON are dropped.
export function openSocket(path, { onJson, onText, onError, onClose } = {}) {
  const ws = new WebSocket(`ws://${window.ws_host}${path}`);
  ws.addEventListener('message', (event) => {
    const text = typeof event.data === 'string' ? event.data : '';
    if (onText) {
      onText(text);
      return;
    }
    let value;
    try {
      value = JSON.parse(text);
    } catch {
      return;
    }
    if (value !== null && typeof value === 'object' && !Array.isArray(value)) onJson(value, text);
  });
  if (onError) ws.addEventListener('error', onError);
  if (onClose) ws.addEventListener('close', onClose);
  ws.addEventListener('close', () => closeWatchers.forEach((fn) => fn()));
  return {
    ws,
    send: (obj) => sendJson(ws, obj),
  };
}
