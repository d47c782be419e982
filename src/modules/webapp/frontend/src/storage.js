// Browser storage that may be missing or refuse access: reads give null and
// writes are dropped.
export function readKey(key) {
  try {
    return window.localStorage.getItem(key);
  } catch {
    return null;
  }
}

export function writeKey(key, value) {
  try {
    window.localStorage.setItem(key, value);
  } catch {
    // storage refused: the setting is simply not kept
  }
}
