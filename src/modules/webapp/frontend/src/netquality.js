// Network quality of a call track from its STATS entries: a loss figure over
// a window of jitter-buffer counters, the packets that came in lately, a
// class, and a hysteresis that shows a worse class at once and a better one
// only when it lasts.

export const LOSS_WINDOW = 40;
// Packets are counted over the last 4 entries (1 s at the STATS rate): a
// partner whose media stops shows "no data" within a second or so, while a
// far end that sends a packet only every 400 ms in its pauses (Opus DTX)
// and a main loop that stalls for a moment do not make the class flicker.
export const RECEIVE_WINDOW = 4;
export const HYSTERESIS = 20;
export const RANK = { good: 0, fair: 1, bad: 2 };
export const NO_DATA = 'no data';

export function newTrackState() {
  return { history: null, received: null, held: null, candidate: null, count: 0 };
}

// Updates the packet counts of a track with one entry and returns the
// packets received over the last RECEIVE_WINDOW entries; for the first
// entry of a stream, those it received so far.
export function updateReceived(state, entry) {
  if (state.received === null || entry.active !== true) state.received = [];
  if (entry.active !== true) return 0;
  const rx = Number(entry.rx_packets) || 0;
  const h = state.received;
  // a new stream counts from 0 again
  if (h.length > 0 && rx < h[h.length - 1]) h.length = 0;
  h.push(rx);
  if (h.length > RECEIVE_WINDOW + 1) h.shift();
  return h.length === 1 ? rx : rx - h[0];
}

// Updates the loss history of a track with one entry and returns the loss in
// percent, or null when there is none.
export function updateLoss(state, entry) {
  const usable = entry.active === true && entry.jbuf && typeof entry.jbuf === 'object';
  if (state.history === null || !usable) state.history = [];
  if (!usable) return null;
  const put = Number(entry.jbuf.put) || 0;
  const lost = Number(entry.jbuf.lost) || 0;
  const h = state.history;
  if (h.length > 0) {
    const last = h[h.length - 1];
    if (put < last.put || lost < last.lost) h.length = 0;
  }
  h.push({ put, lost });
  if (h.length > LOSS_WINDOW) h.shift();
  const dPut = h[h.length - 1].put - h[0].put;
  const dLost = h[h.length - 1].lost - h[0].lost;
  if (dPut + dLost <= 0) return null;
  return (100 * dLost) / (dPut + dLost);
}

// The class of an entry with its loss (null for none) and the packets
// received lately.
export function classify(entry, loss, received) {
  if (entry.active !== true || !received) return NO_DATA;
  const l = loss ?? 0;
  const rtt = Number(entry.rtt) || 0;
  const jitter = Number(entry.rx_jitter) || 0;
  if (l > 5 || rtt > 400000 || jitter > 60000) return 'bad';
  if (l > 1 || rtt > 200000 || jitter > 30000) return 'fair';
  return 'good';
}

// Feeds one class into the hysteresis and returns the class to show.
export function settle(state, cls) {
  const held = state.held;
  if (held === null || cls === NO_DATA || held === NO_DATA || RANK[cls] >= RANK[held]) {
    state.held = cls;
    state.candidate = null;
    state.count = 0;
    return cls;
  }
  if (state.candidate === null || RANK[cls] > RANK[state.candidate]) state.candidate = cls;
  state.count += 1;
  if (state.count >= HYSTERESIS) {
    state.held = state.candidate;
    state.candidate = null;
    state.count = 0;
  }
  return state.held;
}

export function cssClass(cls) {
  return cls === NO_DATA ? 'netstatus-none' : `netstatus-${cls}`;
}

// A figure the program left out (the SIP library may not have it) shows
// as "-", never as "undefined" or "NaN".
const has = (v) => typeof v === 'number' && Number.isFinite(v);
const text = (v) => (has(v) ? String(v) : '-');
const withUnit = (v, unit) => (has(v) ? `${v} ${unit}` : '-');
const ms1 = (us) => (has(us) ? `${(us / 1000).toFixed(1)} ms` : '-');
const kbit = (bps) => (has(bps) ? `${(bps / 1000).toFixed(0)} kbit/s` : '-');
const pair = (a, b) => `${a} / ${b}`;

// Texts of the value cells by their data-stat name. The jitter-buffer cells
// are present only when the entry carries "jbuf".
export function cellTexts(entry, cls, loss) {
  const cells = {};
  if (entry.active !== true) {
    for (const name of ['rtt', 'bitrate', 'packets', 'lost', 'jitter', 'buffer',
      'jb_delay', 'jb_jitter', 'jb_skew', 'jb_packets', 'jb_lost', 'jb_late', 'jb_oos', 'jb_overflow']) {
      cells[name] = '-';
    }
    cells.quality = cls;
    return cells;
  }
  cells.quality = loss === null ? cls : `${cls} (${loss.toFixed(1)} % loss)`;
  cells.rtt = entry.rtt ? ms1(entry.rtt) : '-';
  cells.bitrate = pair(kbit(entry.rx_bitrate), kbit(entry.tx_bitrate));
  cells.packets = pair(text(entry.rx_packets), text(entry.tx_packets));
  cells.lost = pair(text(entry.rx_lost), text(entry.tx_lost));
  cells.jitter = has(entry.rx_jitter) ? pair(ms1(entry.rx_jitter), ms1(entry.tx_jitter)) : '-';
  cells.buffer = withUnit(entry.buffer, 'ms');
  const jb = entry.jbuf;
  if (jb && typeof jb === 'object') {
    cells.jb_delay = withUnit(jb.delay, 'ms');
    cells.jb_jitter = withUnit(jb.jitter, 'ms');
    cells.jb_skew = withUnit(jb.skew, 'ppm');
    cells.jb_packets = text(jb.packets);
    cells.jb_lost = text(jb.lost);
    cells.jb_late = pair(text(jb.late), text(jb.late_lost));
    cells.jb_oos = pair(text(jb.oos), text(jb.dups));
    cells.jb_overflow = pair(text(jb.overflow), text(jb.flush));
  }
  return cells;
}
