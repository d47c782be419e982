import test from 'node:test';
import assert from 'node:assert/strict';
import {
  newTrackState, updateLoss, updateReceived, classify, settle, cellTexts, cssClass, NO_DATA,
} from '../../../src/modules/webapp/frontend/src/netquality.js';

const entry = (put, lost, extra = {}) => ({ active: true, rx_packets: 100, rtt: 10000, rx_jitter: 1000, jbuf: { put, lost }, ...extra });

function lossOf(samples) {
  const s = newTrackState();
  let loss = null;
  for (const [put, lost] of samples) loss = updateLoss(s, entry(put, lost));
  return { loss, state: s };
}

test('loss over the window of jitter-buffer counters', () => {
  const cases = [
    [[[100, 0], [190, 10]], 10],
    [[[100, 0], [199, 1]], 1],
    [[[100, 0]], null],
    [[[100, 5], [100, 5]], null],
    // a new stream: put went down, so the history starts again
    [[[500, 50], [100, 0], [190, 10]], 10],
    [[[500, 50], [600, 40], [690, 50]], 10],
  ];
  for (const [samples, expected] of cases) assert.equal(lossOf(samples).loss, expected, JSON.stringify(samples));
  assert.equal(classify(entry(190, 10), 10, 12), 'bad');
  assert.equal(classify(entry(199, 1), 1, 12), 'good');
});

test('the window keeps the last 40 samples', () => {
  const samples = [];
  // 10 lost early, then 45 clean samples
  samples.push([0, 0], [0, 10]);
  for (let i = 1; i <= 45; i += 1) samples.push([i * 10, 10]);
  const { loss, state } = lossOf(samples);
  assert.equal(state.history.length, 40);
  assert.equal(loss, 0);
});

test('entries without jbuf or not active clear the history', () => {
  const s = newTrackState();
  updateLoss(s, entry(100, 0));
  assert.equal(updateLoss(s, { active: true, rx_packets: 5 }), null);
  assert.deepEqual(s.history, []);
  updateLoss(s, entry(100, 0));
  assert.equal(updateLoss(s, { ...entry(190, 10), active: false }), null);
  assert.deepEqual(s.history, []);
});

// The packets received over the last entries of each sequence of
// "rx_packets" (null: an entry that is not active).
function receivedOf(counts) {
  const s = newTrackState();
  return counts.map((rx) => updateReceived(s, rx === null ? { active: false } : { active: true, rx_packets: rx }));
}

test('packets received over the last second of entries', () => {
  // a steady call: 12 or 13 packets an entry, about 50 a second
  assert.deepEqual(receivedOf([12, 25, 37, 50, 62, 75]), [12, 13, 25, 38, 50, 50]);
  // the partner vanishes: its total stays, and a second later none came in
  assert.deepEqual(receivedOf([100, 112, 125, 125, 125, 125, 125]), [100, 12, 25, 25, 25, 13, 0]);
  // a packet every 400 ms in the partner's pauses never reads as none
  assert.ok(receivedOf([0, 1, 1, 2, 2, 3, 3, 3, 4, 4, 5, 5, 5]).slice(2).every((n) => n > 0));
  // a new stream counts afresh; an entry that is not active holds none
  assert.deepEqual(receivedOf([500, 3, 15]), [500, 3, 12]);
  assert.deepEqual(receivedOf([100, 112, null, 125]), [100, 12, 0, 125]);
  assert.deepEqual(receivedOf([undefined, 0]), [0, 0]);
});

test('classes by packets received, loss, round trip and jitter', () => {
  const on = { active: true, rx_packets: 1000 };
  const cases = [
    [{ active: false }, null, 0, NO_DATA],
    [{ active: false, rx_packets: 1000 }, null, 12, NO_DATA],
    [on, null, 0, NO_DATA],
    [on, 0, 0, NO_DATA],
    [on, null, 1, 'good'],
    [on, 1, 12, 'good'],
    [on, 1.01, 12, 'fair'],
    [on, 5.01, 12, 'bad'],
    [{ ...on, rtt: 200000 }, 0, 12, 'good'],
    [{ ...on, rtt: 200001 }, 0, 12, 'fair'],
    [{ ...on, rtt: 400001 }, 0, 12, 'bad'],
    [{ ...on, rx_jitter: 30001 }, 0, 12, 'fair'],
    [{ ...on, rx_jitter: 60001 }, 0, 12, 'bad'],
    [{ ...on, rtt: 250000, rx_jitter: 12345 }, null, 12, 'fair'],
    // a vanished partner's last figures were good
    [{ ...on, rtt: 1000, rx_jitter: 1000 }, null, 0, NO_DATA],
  ];
  for (const [e, loss, received, cls] of cases) assert.equal(classify(e, loss, received), cls, JSON.stringify([e, loss, received]));
  assert.deepEqual(['good', 'fair', 'bad', NO_DATA].map(cssClass), ['netstatus-good', 'netstatus-fair', 'netstatus-bad', 'netstatus-none']);
});

test('hysteresis: worse at once, better after 20 updates in a row', () => {
  const run = (classes) => {
    const s = newTrackState();
    return classes.map((c) => settle(s, c));
  };
  const goods = (n) => Array(n).fill('good');
  let shown = run(['bad', ...goods(19)]);
  assert.equal(shown.at(-1), 'bad');
  shown = run(['bad', ...goods(20)]);
  assert.equal(shown.at(-1), 'good');
  assert.equal(shown.at(-2), 'bad');
  // the worst of the better classes wins
  shown = run(['bad', ...goods(5), 'fair', ...goods(14)]);
  assert.equal(shown.at(-1), 'fair');
  // a bad report restarts the count
  shown = run(['bad', ...goods(10), 'bad', ...goods(19)]);
  assert.equal(shown.at(-1), 'bad');
  // no data shows at once, and so does the report after it
  assert.deepEqual(run(['bad', NO_DATA, 'good']), ['bad', NO_DATA, 'good']);
  assert.deepEqual(run(['good', 'fair', 'bad']), ['good', 'fair', 'bad']);
});

test('cell texts', () => {
  const e = {
    active: true, rx_packets: 500, tx_packets: 498, rtt: 250000, rx_jitter: 12345, tx_jitter: 2000,
    rx_bitrate: 64400, tx_bitrate: 63600, rx_lost: -2, buffer: 60,
    jbuf: { delay: 40, jitter: 3, skew: -1, packets: 4, lost: 7, late: 2, late_lost: 1, oos: 5, dups: 6, overflow: 8, flush: 9 },
  };
  assert.deepEqual(cellTexts(e, 'fair', 2.345), {
    quality: 'fair (2.3 % loss)', rtt: '250.0 ms', bitrate: '64 kbit/s / 64 kbit/s', packets: '500 / 498',
    lost: '-2 / -', jitter: '12.3 ms / 2.0 ms', buffer: '60 ms', jb_delay: '40 ms', jb_jitter: '3 ms',
    jb_skew: '-1 ppm', jb_packets: '4', jb_lost: '7', jb_late: '2 / 1', jb_oos: '5 / 6', jb_overflow: '8 / 9',
  });
  const bare = cellTexts({ ...e, rtt: 0, rx_jitter: undefined, jbuf: undefined }, 'good', null);
  assert.equal(bare.quality, 'good');
  assert.equal(bare.rtt, '-');
  assert.equal(bare.jitter, '-');
  assert.equal('jb_delay' in bare, false);
  const off = cellTexts({ active: false }, NO_DATA, null);
  assert.equal(off.quality, NO_DATA);
  assert.equal(off.rtt, '-');
  assert.equal(off.jb_late, '-');
});

test('figures the program leaves out show as "-"', () => {
  // an entry without the engine's delay, jitter, skew and late-lost
  // figures of its buffer, and a stream may lack RTCP figures and bit rates
  const real = {
    active: true, rx_packets: 812, tx_packets: 810, buffer: 20, rx_bitrate: 0,
    jbuf: { packets: 2, put: 800, lost: 0, late: 0, oos: 1, dups: 0, overflow: 0, flush: 3 },
  };
  const cells = cellTexts(real, 'good', null);
  assert.deepEqual(cells, {
    quality: 'good', rtt: '-', bitrate: '0 kbit/s / -', packets: '812 / 810', lost: '- / -', jitter: '-',
    buffer: '20 ms', jb_delay: '-', jb_jitter: '-', jb_skew: '-', jb_packets: '2', jb_lost: '0',
    jb_late: '0 / -', jb_oos: '1 / 0', jb_overflow: '0 / 3',
  });
  const sparse = cellTexts({ active: true, rx_jitter: 4000, jbuf: {} }, 'good', null);
  for (const [name, value] of Object.entries(sparse)) assert.doesNotMatch(value, /undefined|NaN/, name);
  assert.equal(sparse.jitter, '4.0 ms / -');
});
