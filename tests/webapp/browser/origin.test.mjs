// In Chromium: the program's own page opens its websockets, while a page
// of another site, or the program reached under another name, is refused.
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync, chmodSync, existsSync, openSync, closeSync } from 'node:fs';
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { fileURLToPath } from 'node:url';
import { shutdownReport } from '../../page/real/program.mjs';

const REPO = join(dirname(fileURLToPath(import.meta.url)), '..', '..', '..');
const require = createRequire(join(REPO, 'src', 'modules', 'webapp', 'frontend', 'package.json'));
const { chromium } = require('playwright-core');
const PROGRAM = process.env.ZORVANE_PROGRAM || 'zorvane-standalone';

let dir;
let program;
let port;
let foreign;
let browser;
// The program's own page stays open to the end: the program quits soon
// after its last page closes.
let ownPage;

async function waitFor(check, what, ms = 15000) {
  const end = Date.now() + ms;
  for (;;) {
    const value = check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`no ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

// Opens a websocket from inside the page; resolves with "open" and the
// first message, or "refused".
function tryWebSocket(page, url) {
  return page.evaluate((u) => new Promise((resolve) => {
    const ws = new WebSocket(u);
    ws.onmessage = (e) => { resolve(`open ${e.data}`); ws.close(); };
    ws.onerror = () => resolve('refused');
    setTimeout(() => resolve('silent'), 5000);
  }), url);
}

before(async () => {
  dir = mkdtempSync(join(tmpdir(), 'zv-webapp-browser-'));
  const opened = join(dir, 'opened');
  const opener = join(dir, 'opener.sh');
  writeFileSync(opener, `#!/bin/sh\nprintf '%s\\n' "$1" >> '${opened}'\n`);
  chmodSync(opener, 0o755);
  const out = openSync(join(dir, 'program-output'), 'w');
  program = spawn(PROGRAM, ['-f', dir], { env: { ...process.env, ZORVANE_OPENER: opener }, stdio: ['ignore', out, out] });
  closeSync(out);
  const url = await waitFor(() => existsSync(opened) && readFileSync(opened, 'utf8').trim(), 'page URL');
  port = Number(/^http:\/\/127\.0\.0\.1:(\d+)\/$/.exec(url)[1]);

  foreign = createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html' });
    res.end('<!DOCTYPE html><title>elsewhere</title>');
  });
  await new Promise((r) => foreign.listen(0, '127.0.0.1', r));
  browser = await chromium.launch({
    executablePath: process.env.ZV_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', `--host-resolver-rules=MAP rebound.test 127.0.0.1`],
  });
});

after(async () => {
  await browser?.close();
  foreign?.close();
  if (program && program.exitCode === null && program.signalCode === null) {
    program.kill('SIGTERM');
    await new Promise((r) => program.once('exit', r));
  }
  const report = program ? shutdownReport(readFileSync(join(dir, 'program-output'), 'utf8')) : '';
  rmSync(dir, { recursive: true, force: true });
  assert.equal(report, '', 'the program\'s shutdown report');
});

test('the program\'s own page connects', async () => {
  ownPage = await browser.newPage();
  const answer = await ownPage.goto(`http://127.0.0.1:${port}/`);
  assert.equal(answer.status(), 200);
  assert.equal(await tryWebSocket(ownPage, `ws://127.0.0.1:${port}/ws_calls`), 'open {}');
});

test('a page of another site cannot connect', async () => {
  const page = await browser.newPage();
  await page.goto(`http://127.0.0.1:${foreign.address().port}/`);
  for (const path of ['/ws_baresip', '/ws_calls', '/ws_options']) {
    assert.equal(await tryWebSocket(page, `ws://127.0.0.1:${port}${path}`), 'refused', path);
  }
  await page.close();
});

test('the program under another name is refused', async () => {
  const page = await browser.newPage();
  const answer = await page.goto(`http://rebound.test:${port}/logs.txt`).catch((e) => e);
  assert.equal(answer.status(), 403);
  await page.close();
});
