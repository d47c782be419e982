import test from 'node:test';
import assert from 'node:assert/strict';
import { dbToPercent, barClass, parseMeterLine, localSlot } from '../../../src/modules/webapp/frontend/src/meter.js';

test('decibels map onto the bar in joined segments', () => {
  const cases = [
    ['inf', 0], ['-inf', 0], ['nan', 0], ['-80.0', 0], ['-70.0', 0], ['-65.0', 1.25],
    ['-60.0', 2.5], ['-55.0', 5], ['-50.0', 7.5], ['-45.0', 11.25], ['-40.0', 15],
    ['-35.0', 22.5], ['-30.0', 30], ['-25.0', 40], ['-20.0', 50], ['-14.0', 65],
    ['-6.0', 85], ['-4.0', 90], ['-3.0', 92.5], ['-0.1', 99.75], ['0.0', 100], ['6.0', 100],
  ];
  for (const [field, percent] of cases) assert.equal(dbToPercent(field), percent, field);
});

test('bar colours switch above 65 and 90 percent', () => {
  const cases = [[0, 'bg-success'], [65, 'bg-success'], [65.01, 'bg-warning'], [90, 'bg-warning'], [90.5, 'bg-danger'], [100, 'bg-danger']];
  for (const [p, cls] of cases) assert.equal(barClass(p), cls, String(p));
  assert.equal(barClass(dbToPercent('-6.0')), 'bg-warning');
  assert.equal(barClass(dbToPercent('-3.0')), 'bg-danger');
  assert.equal(barClass(dbToPercent('-14.0')), 'bg-success');
});

test('a meter line gives the time and each slot\'s left and right field', () => {
  const fields = ['1:02:05', '0'];
  for (let slot = 0; slot < 32; slot += 1) fields.push(`-${slot}.0`, `-${slot}.5`);
  const line = parseMeterLine(fields.join(' '));
  assert.equal(line.time, '1:02:05');
  assert.equal(line.left(0), '-0.0');
  assert.equal(line.right(0), '-0.5');
  assert.equal(line.left(3), '-3.0');
  assert.equal(line.right(3), '-3.5');
  assert.equal(line.right(31), '-31.5');
  assert.equal(line.left(32), undefined);
  assert.deepEqual([1, 2, 3, 10].map(localSlot), [0, 2, 4, 18]);
});
