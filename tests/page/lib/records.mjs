// A record dictionary as the program keeps it: members in insertion order,
// new records under the lowest free key "0".."99".
export class Records {
  constructor(entries = []) {
    this.entries = entries.map(([k, v]) => [String(k), structuredClone(v)]);
  }

  add(record) {
    for (let n = 0; n < 100; n += 1) {
      const key = String(n);
      if (!this.entries.some(([k]) => k === key)) {
        this.entries.push([key, record]);
        return key;
      }
    }
    return null;
  }

  deleteFirst(match) {
    const i = this.entries.findIndex(([, v]) => match(v));
    if (i >= 0) this.entries.splice(i, 1);
    return i >= 0;
  }

  get(key) {
    return this.entries.find(([k]) => k === key)?.[1];
  }

  set(key, value) {
    const i = this.entries.findIndex(([k]) => k === key);
    if (i >= 0) this.entries.splice(i, 1);
    this.entries.push([key, value]);
  }

  delete(key) {
    const i = this.entries.findIndex(([k]) => k === key);
    if (i >= 0) this.entries.splice(i, 1);
  }

  values() {
    return this.entries.map(([, v]) => v);
  }

  // Compact JSON in member order, as the program writes it.
  json() {
    return `{${this.entries.map(([k, v]) => `${JSON.stringify(k)}:${JSON.stringify(v)}`).join(',')}}`;
  }
}
