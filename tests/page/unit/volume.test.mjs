import test from 'node:test';
import assert from 'node:assert/strict';
import { stepVolume } from '../../../src/modules/webapp/frontend/src/volume.js';

test('a volume is shown at the slider\'s step, without the printing\'s stray digits', () => {
  const cases = [[1.199999, '1.2'], [0.55, '0.55'], [0.549999, '0.55'], [1, '1'], [0, '0'], [2, '2'], [0.5, '0.5'],
    [0.333, '0.35'], [-0.1, '-0.1'], ['abc', 'abc'], [undefined, undefined]];
  for (const [volume, shown] of cases) assert.equal(stepVolume(volume), shown, String(volume));
});
