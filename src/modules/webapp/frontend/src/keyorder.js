// JSON.parse lists integer-like keys ("0".."99") in ascending order, not in
// the order the server wrote them. The record dictionaries depend on member
// order, so read the top-level key order from the raw text.

function skipSpace(text, i) {
  while (i < text.length && ' \t\n\r'.includes(text[i])) i += 1;
  return i;
}

function stringEnd(text, i) {
  // i is at the opening quote; returns the index after the closing quote
  for (i += 1; i < text.length; i += 1) {
    if (text[i] === '\\') i += 1;
    else if (text[i] === '"') return i + 1;
  }
  throw new SyntaxError('unterminated string');
}

function valueEnd(text, i) {
  if (text[i] === '"') return stringEnd(text, i);
  let depth = 0;
  for (; i < text.length; i += 1) {
    const c = text[i];
    if (c === '"') {
      i = stringEnd(text, i) - 1;
    } else if (c === '{' || c === '[') {
      depth += 1;
    } else if (c === '}' || c === ']') {
      if (depth === 0) return i;
      depth -= 1;
      if (depth === 0) return i + 1;
    } else if (c === ',' && depth === 0) {
      return i;
    }
  }
  return i;
}

// The top-level member names of a JSON object text, in order of appearance,
// each once. Anything that is not an object gives an empty list.
export function topLevelKeys(text) {
  const keys = [];
  let i = skipSpace(text, 0);
  if (text[i] !== '{') return keys;
  i = skipSpace(text, i + 1);
  while (i < text.length && text[i] === '"') {
    const end = stringEnd(text, i);
    const key = JSON.parse(text.slice(i, end));
    if (!keys.includes(key)) keys.push(key);
    i = skipSpace(text, end);
    if (text[i] !== ':') break;
    i = valueEnd(text, skipSpace(text, i + 1));
    i = skipSpace(text, i);
    if (text[i] !== ',') break;
    i = skipSpace(text, i + 1);
  }
  return keys;
}

function isRecord(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

// The object members that are objects themselves, as {key, value} pairs in
// the member order of the raw text. Other members are left out.
export function orderedRecords(text, parsed) {
  return topLevelKeys(text)
    .filter((key) => Object.prototype.hasOwnProperty.call(parsed, key) && isRecord(parsed[key]))
    .map((key) => ({ key, value: parsed[key] }));
}

export { isRecord };
