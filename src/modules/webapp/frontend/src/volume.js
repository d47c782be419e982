// A call's volume as its slider sets it: the nearest step of 0.05, written
// without the digits that the program's number printing leaves (1.199999
// is shown as 1.2). Anything that is no number is shown as it is.
const STEP = 0.05;

export function stepVolume(volume) {
  const v = Number(volume);
  if (volume === null || volume === undefined || volume === '' || !Number.isFinite(v)) return volume;
  return String(Number((Math.round(v / STEP) * STEP).toFixed(2)));
}
