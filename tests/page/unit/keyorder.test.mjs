import test from 'node:test';
import assert from 'node:assert/strict';
import { topLevelKeys, orderedRecords } from '../../../src/modules/webapp/frontend/src/keyorder.js';

test('top-level keys come in the order of the text', () => {
  const cases = [
    ['{"1":{},"0":{}}', ['1', '0']],
    ['{"10":{"a":"}"},"2":{"b":[1,{"c":"{"}]},"x\\"y":3,"0":null}', ['10', '2', 'x"y', '0']],
    [' { "b" : 1 , "a" : "s,t" } ', ['b', 'a']],
    ['{"a":{"n":{"m":{}}},"b":true,"c":-1.5e3}', ['a', 'b', 'c']],
    ['{"a":1,"a":2}', ['a']],
    ['{}', []],
    ['[1,2]', []],
    ['"text"', []],
  ];
  for (const [text, keys] of cases) assert.deepEqual(topLevelKeys(text), keys, text);
  // what JSON.parse does with the same text
  assert.deepEqual(Object.keys(JSON.parse('{"1":{},"0":{}}')), ['0', '1']);
});

test('ordered records keep only object members', () => {
  const text = '{"3":{"user":"a"},"callback":"X","0":{"user":"b"},"1":[1],"2":null,"4":5}';
  assert.deepEqual(orderedRecords(text, JSON.parse(text)), [
    { key: '3', value: { user: 'a' } },
    { key: '0', value: { user: 'b' } },
  ]);
});
