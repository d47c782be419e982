// Pure parts of the level meters: the line format and the bar scale.

const SEGMENTS = [
  // [lower bound in dB, slope, percent at the lower bound]
  [-20, 2.5, 50],
  [-30, 2, 30],
  [-40, 1.5, 15],
  [-50, 0.75, 7.5],
  [-60, 0.5, 2.5],
  [-70, 0.25, 0],
];

// Percent of the bar for a level in dB as text ("inf" and other non-numbers
// count as silence).
export function dbToPercent(field) {
  const d = Number(field);
  if (Number.isNaN(d) || d < -70) return 0;
  if (d >= 0) return 100;
  for (const [low, slope, base] of SEGMENTS) {
    if (d >= low) return (d - low) * slope + base;
  }
  return 0;
}

export function barClass(percent) {
  if (percent > 90) return 'bg-danger';
  if (percent > 65) return 'bg-warning';
  return 'bg-success';
}

export const LOCAL_METERS = 10;
export const REMOTE_SLOTS = [1, 3, 5, 7, 9, 11, 13, 15, 17, 19];

// One meter line: the recording time and, per slot, the left and right
// level fields.
export function parseMeterLine(line) {
  const fields = String(line).split(' ');
  return {
    time: fields[0],
    left: (slot) => fields[2 + 2 * slot],
    right: (slot) => fields[3 + 2 * slot],
  };
}

// The slot shown by local meter i (1..10).
export function localSlot(i) {
  return 2 * (i - 1);
}
