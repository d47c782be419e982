// A stand-in for the program's web module: it serves the page's files and
// speaks the six websocket endpoints' protocol with a small model of the
// accounts, contacts, calls, options and devices.
import { createServer } from 'node:http';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { ASSETS, WebSocketServer } from './deps.mjs';
import { Records } from './records.mjs';
import { devices as defaultDevices, CLOSED_EMPTY, CLOSED_BUSY, CLOSED_MAX } from './fixtures.mjs';

const FILES = {
  '/': ['index.html', 'text/html'],
  '/app.js': ['app.js', 'application/javascript'],
  '/app.css': ['app.css', 'text/css'],
  '/images/logo.svg': ['images/logo.svg', 'image/svg+xml'],
  '/fonts/roboto-mono-400.woff2': ['fonts/roboto-mono-400.woff2', 'font/woff2'],
  '/fonts/roboto-mono-500.woff2': ['fonts/roboto-mono-500.woff2', 'font/woff2'],
  '/fonts/roboto-mono-700.woff2': ['fonts/roboto-mono-700.woff2', 'font/woff2'],
};
export const PATHS = ['/ws_baresip', '/ws_calls', '/ws_contacts', '/ws_meter', '/ws_options', '/ws_audio'];
const PERSISTED = ['monitoring', 'monorecord', 'monostream', 'verbose'];
const VOLATILE = ['bypass', 'record', 'onair', 'raisehand', 'afk', 'mute', 'samplerate'];
const CHMIX = ['Stereo', 'Mono L', 'Mono R'];

export class FakeServer {
  constructor({ assets = ASSETS, variant = 'standalone', version = 'v26.11.0-stable', accounts = [], contacts = [], options, devices } = {}) {
    this.assets = assets;
    this.variant = variant;
    this.version = version;
    this.accounts = new Records(accounts);
    this.contacts = new Records(contacts);
    this.options = new Records(options ?? [['monitoring', ''], ['monorecord', 'true'], ['monostream', 'true'], ['verbose', '']]);
    this.devices = devices ?? defaultDevices();
    this.calls = new Records();
    this.tracks = new Map([1, 2, 3, 4, 5, 6].map((t) => [t, { chmix: 0, volume: 1 }]));
    this.connections = [];
    this.received = [];
    this.waiters = [];
    // endpoints whose commands get no answer
    this.quiet = new Set();
  }

  async start() {
    this.http = createServer((req, res) => this.serve(req, res));
    this.wss = new WebSocketServer({ noServer: true });
    this.http.on('upgrade', (req, socket, head) => {
      const path = new URL(req.url, 'http://x').pathname.toLowerCase();
      if (!PATHS.includes(path)) {
        socket.destroy();
        return;
      }
      this.wss.handleUpgrade(req, socket, head, (ws) => this.accept(path, ws));
    });
    await new Promise((resolve) => this.http.listen(0, '127.0.0.1', resolve));
    this.port = this.http.address().port;
    this.url = `http://127.0.0.1:${this.port}/`;
    return this;
  }

  async stop() {
    this.dropSockets();
    this.wss.close();
    this.http.closeAllConnections();
    await new Promise((resolve) => this.http.close(resolve));
  }

  serve(req, res) {
    const path = new URL(req.url, 'http://x').pathname.toLowerCase();
    const reply = (type, body) => {
      res.writeHead(200, { 'Content-Type': type, 'Content-Length': Buffer.byteLength(body), 'Cache-Control': 'no-cache, no-store, must-revalidate' });
      res.end(body);
    };
    if (path === '/version') return reply('text/html', this.version);
    if (path === '/swvariant' && this.variant !== null) return reply('text/html', this.variant);
    if (path === '/logs.txt') return reply('text/plain; charset=utf-8', 'No log files found.\n');
    const file = FILES[path];
    if (!file) {
      res.writeHead(404, { 'Content-Type': 'text/html' });
      return res.end('Not found');
    }
    return reply(file[1], readFileSync(join(this.assets, file[0])));
  }

  accept(path, ws) {
    this.connections.push({ path, ws });
    ws.on('message', (data) => this.receive(path, data.toString()));
    ws.on('close', () => {
      this.connections = this.connections.filter((c) => c.ws !== ws);
    });
    const initial = {
      '/ws_baresip': () => this.accounts.json(),
      '/ws_contacts': () => this.contacts.json(),
      '/ws_audio': () => JSON.stringify(this.devices),
      '/ws_calls': () => this.calls.json(),
      '/ws_options': () => this.options.json(),
    }[path];
    if (initial) this.push(path, initial());
  }

  get order() {
    return this.connections.map((c) => c.path);
  }

  // Sends an object (as compact JSON) or a text as it stands to every page
  // on the endpoint.
  push(path, message) {
    const text = typeof message === 'string' ? message : JSON.stringify(message);
    for (const c of this.connections) if (c.path === path && c.ws.readyState === 1) c.ws.send(text);
  }

  pushCalls() {
    this.push('/ws_calls', this.calls.json());
  }

  dropSockets() {
    for (const c of this.connections) c.ws.terminate();
  }

  // Resolves with the first received message (from now on) that matches.
  next(path, match = () => true, timeout = 5000) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no message on ${path}`)), timeout);
      this.waiters.push({ path, match, resolve: (m) => { clearTimeout(timer); resolve(m); } });
    });
  }

  sent(path) {
    return this.received.filter((r) => r.path === path).map((r) => r.msg);
  }

  receive(path, text) {
    let msg;
    try {
      msg = JSON.parse(text);
    } catch {
      return;
    }
    this.received.push({ path, msg, text });
    const waiter = this.waiters.find((w) => w.path === path && w.match(msg));
    if (waiter) {
      this.waiters.splice(this.waiters.indexOf(waiter), 1);
      waiter.resolve(msg);
    }
    if (this.quiet.has(path)) return;
    const handler = { '/ws_baresip': this.onBaresip, '/ws_calls': this.onCalls, '/ws_contacts': this.onContacts, '/ws_options': this.onOptions, '/ws_audio': this.onAudio }[path];
    if (handler && msg && typeof msg === 'object') handler.call(this, msg);
  }

  // Places a call on a track as the program does and publishes it.
  placeCall(peer, state, track = 0) {
    const free = [1, 2, 3, 4, 5, 6].filter((t) => this.calls.get(String(t)) === undefined);
    const t = track || free[0];
    if (!t || this.calls.get(String(t))) return 0;
    this.tracks.get(t).chmix = 0;
    this.publish(t, { peer, state });
    return t;
  }

  publish(t, { peer, state } = this.calls.get(String(t))) {
    const tr = this.tracks.get(t);
    this.calls.set(String(t), { peer, state, ch: 2 * t - 1, chmix: CHMIX[tr.chmix], volume: tr.volume, track: t });
  }

  onBaresip(msg) {
    if (msg.command === 'call') {
      if (msg.dial === '') return this.push('/ws_calls', CLOSED_EMPTY);
      const t = typeof msg.track === 'number' ? Math.trunc(msg.track) : 0;
      if (t && this.calls.get(String(t))) return this.push('/ws_calls', CLOSED_BUSY);
      const dial = String(msg.dial);
      const peer = dial.startsWith('sip:') ? dial : `sip:${dial.includes('@') ? dial : `${dial}@sip.zorvane.net`}`;
      if (!this.placeCall(peer, 'Outgoing', t)) return this.push('/ws_calls', CLOSED_MAX);
      return this.pushCalls();
    }
    if (msg.command === 'addsip') {
      const record = Object.fromEntries(Object.entries(msg).filter(([k, v]) => typeof v === 'string' && k !== 'command'));
      this.accounts.add(record);
    } else if (msg.command === 'deletesip') {
      this.accounts.deleteFirst((r) => r.user === msg.user && r.domain === msg.domain);
    } else if (msg.command === 'uagcurrent') {
      for (const r of this.accounts.values()) {
        delete r.current;
        if (`${r.user}@${r.domain}` === msg.aor) r.current = true;
      }
    } else {
      return undefined;
    }
    return this.push('/ws_baresip', this.accounts.json());
  }

  onCalls(msg) {
    const t = Number(msg.key);
    if (typeof msg.key !== 'string' || !this.calls.get(msg.key)) return;
    const call = this.calls.get(msg.key);
    if (msg.command === 'hangup') {
      this.calls.delete(msg.key);
      this.pushCalls();
    } else if (msg.command === 'accept') {
      this.publish(t, { peer: call.peer, state: 'Established' });
      this.pushCalls();
    } else if (msg.command === 'chmix') {
      const tr = this.tracks.get(t);
      tr.chmix = (tr.chmix + 1) % 3;
      this.publish(t, call);
      this.pushCalls();
    } else if (msg.command === 'volume' && msg.value !== undefined) {
      this.tracks.get(t).volume = parseFloat(msg.value) || 0;
      this.publish(t, call);
      this.pushCalls();
    }
  }

  onContacts(msg) {
    if (msg.command === 'addcontact') {
      const record = Object.fromEntries(Object.entries(msg).filter(([k, v]) => typeof v === 'string' && k !== 'command'));
      this.contacts.add(record);
      this.push('/ws_contacts', this.contacts.json());
      this.pushCalls();
    } else if (msg.command === 'deletecontact' && msg.sip !== undefined) {
      this.contacts.deleteFirst((r) => r.sip === msg.sip);
      this.push('/ws_contacts', this.contacts.json());
    }
  }

  onOptions(msg) {
    if (typeof msg.key !== 'string' || typeof msg.value !== 'string') return;
    if (msg.key === 'record-folder') return;
    if (!PERSISTED.includes(msg.key) && !VOLATILE.includes(msg.key)) return;
    this.options.set(msg.key, msg.value);
    this.push('/ws_options', this.options.json());
  }

  onAudio(msg) {
    if (['driver', 'input', 'first_input_channel', 'output', 'reload'].includes(msg.command)) {
      this.push('/ws_audio', JSON.stringify(this.devices));
    }
  }
}
