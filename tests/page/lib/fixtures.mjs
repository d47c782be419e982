export const DOMAIN = 'sip.zorvane.net';

export const CLOSED_EMPTY = '{ "callback": "CLOSED",\t"message": "SIP Number Empty" }';
export const CLOSED_BUSY = '{ "callback": "CLOSED",\t"message": "Track is not available" }';
export const CLOSED_MAX = '{ "callback": "CLOSED",\t"message": "Max Calls reached..." }';

export function updateNotice(version) {
  return `{\t\t\t"callback": "UPDATE",\t\t\t"version": "${version}"\t\t\t}`;
}

export function devices({ channels = 2, first = 0, error } = {}) {
  const d = {
    drivers: [
      { display: 'ALSA', selected: false, id: 0 },
      { display: 'JACK', selected: true, id: 1 },
    ],
    input: [
      { id: 3, display: 'system', channels, first_input_channel: first, selected: true },
      { id: 5, display: 'USB Mic', channels: 1, first_input_channel: first, selected: false },
    ],
    output: [
      { id: 3, display: 'system', selected: true },
      { id: 7, display: 'USB Phones', selected: false },
    ],
  };
  if (error !== undefined) d.error_msg = error;
  return d;
}

// A meter line: time, "0", then 32 slots of left and right levels.
export function meterLine(levels = {}, time = '0:00:00') {
  const fields = [time, '0'];
  for (let slot = 0; slot < 32; slot += 1) {
    const [l, r] = levels[slot] ?? ['inf', 'inf'];
    fields.push(String(l), String(r));
  }
  return fields.join(' ');
}

// A STATS entry whose "jbuf" carries eight members, without the engine's
// delay, jitter, skew and late-lost figures; jbuf 'full' gives all twelve,
// as the program sends them.
export function statsEntry(track, { active = true, rxPackets = 500, rtt = 20000, jitter = 2000, put, lost = 0, jbuf = true } = {}) {
  if (!active) return { track, active: false, call: false };
  const e = {
    track, active: true, call: true, buffer: 40, rx_bitrate: 64000, tx_bitrate: 63500,
    rx_packets: rxPackets, tx_packets: rxPackets + 3, rx_lost: 0, rx_jitter: jitter, tx_lost: 1, tx_jitter: 1500, rtt,
  };
  if (jbuf) {
    e.jbuf = { packets: 4, put: put ?? rxPackets, lost, late: 2, oos: 0, dups: 0, overflow: 0, flush: 1 };
    if (jbuf === 'full') e.jbuf = { delay: 40, jitter: 3, skew: -1, ...e.jbuf, late_lost: 1 };
  }
  return e;
}

export function stats(entries) {
  const byTrack = new Map(entries.map((e) => [e.track, e]));
  const tracks = [1, 2, 3, 4, 5, 6].map((t) => byTrack.get(t) ?? { track: t, active: false, call: false });
  return { callback: 'STATS', tracks };
}
