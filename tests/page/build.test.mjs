// The committed assets are exactly what the build makes from the sources.
import test from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, readdirSync, rmSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, relative } from 'node:path';
import { ASSETS, FRONTEND } from './lib/deps.mjs';

function files(dir) {
  return readdirSync(dir).flatMap((name) => {
    const path = join(dir, name);
    return statSync(path).isDirectory() ? files(path) : [path];
  });
}

test('a fresh build reproduces the committed assets byte for byte', () => {
  const out = mkdtempSync(join(tmpdir(), 'zv-assets-'));
  try {
    execFileSync(process.execPath, [join(FRONTEND, 'build.mjs'), out], { stdio: 'inherit' });
    const built = files(out).map((f) => relative(out, f)).sort();
    const committed = files(ASSETS).map((f) => relative(ASSETS, f)).sort();
    assert.deepEqual(committed, built);
    assert.deepEqual(built, ['app.css', 'app.js', 'fonts/roboto-mono-400.woff2', 'fonts/roboto-mono-500.woff2',
      'fonts/roboto-mono-700.woff2', 'images/logo.svg', 'index.html']);
    for (const name of built) {
      assert.ok(readFileSync(join(out, name)).equals(readFileSync(join(ASSETS, name))), `${name} differs from the build`);
    }
  } finally {
    rmSync(out, { recursive: true, force: true });
  }
});

test('the script ships the template runtime only and keeps the licence notices', () => {
  const js = readFileSync(join(ASSETS, 'app.js'), 'utf8');
  // the compiler's parser would bring its error texts along
  assert.equal(js.includes('Parse error on line'), false);
  for (const notice of ['Font Awesome Free 5.15.4', 'The Bootstrap Authors', 'Yehuda Katz', 'Kamran Ahmed', 'Federico Zivolo']) {
    assert.ok(js.includes(notice), notice);
  }
  const css = readFileSync(join(ASSETS, 'app.css'), 'utf8');
  for (const notice of ['Bootstrap  v5.3.9', 'SIL OPEN FONT LICENSE']) assert.ok(css.includes(notice), notice);
  assert.ok(css.includes('url(/fonts/roboto-mono-500.woff2)') || css.includes('url("/fonts/roboto-mono-500.woff2")'));
  const html = readFileSync(join(ASSETS, 'index.html'), 'utf8');
  assert.equal(/<script>|\son[a-z]+=|style="/.test(html), false);
  assert.equal(/@[A-Z_]+@/.test(html), false);
});
