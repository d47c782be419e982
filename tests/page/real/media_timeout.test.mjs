// The program ends a call whose partner has sent no media for its RTP
// timeout, and says so in the page; a call on hold is not ended for its
// silence. The shipped timeout is 60 s (vanish.test.mjs sees it set); to
// keep this file short, the program here runs with the test-only variable
// ZORVANE_TEST_RTP_TIMEOUT, which shortens it to 4 s.
import test, { after, before } from 'node:test';
import assert from 'node:assert/strict';
import { launch } from '../lib/browser.mjs';
import { RealProgram } from './program.mjs';
import { FarEnd } from './farend.mjs';
import { openFirstPage, openProgramPage, until } from './pages.mjs';

const TIMEOUT_S = 4;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

let program;
let browser;
const farends = [];

before(async () => {
  program = new RealProgram({ sipPort: 5090, env: { ZORVANE_TEST_RTP_TIMEOUT: String(TIMEOUT_S) } });
  await program.start();
  browser = await launch();
  await openFirstPage(browser, program);
});

after(async () => {
  await browser?.close();
  for (const f of farends) await f.stop();
  assert.equal(await program?.stop(), 0, 'the program\'s exit code');
});

async function farEnd(name, port, controlPort) {
  const f = new FarEnd(program.root, port, controlPort);
  f.dir = `${f.dir}-${name}`;
  farends.push(f);
  return f.start();
}

async function dial(page, farend) {
  await page.fill('#sipnumbercall', farend.aor);
  await page.click('#buttoncall');
  const card = page.locator('.zv-track[data-track="1"]');
  await card.locator('.zv-track-state', { hasText: 'Established' }).waitFor();
  await until(async () => (await card.locator('.netstatus-icon').getAttribute('class')).includes('netstatus-good'), 'network quality good');
  return card;
}

test('a partner killed without a BYE is ended after the RTP timeout, with a message that says why', async (t) => {
  const farend = await farEnd('killed', 5080, 4444);
  const page = await openProgramPage(t, browser, program);
  const card = await dial(page, farend);
  assert.match(program.output(), new RegExp(`Enable RTP timeout \\(${TIMEOUT_S}000 milliseconds\\)`));

  const killed = Date.now();
  farend.signal('SIGKILL');
  const toast = page.locator('.toast', { hasText: 'Call closed' });
  await toast.waitFor({ timeout: (TIMEOUT_S + 10) * 1000 });
  const took = Date.now() - killed;
  t.diagnostic(`ended ${took} ms after the kill`);
  assert.equal(await toast.locator('.toast-body').textContent(), `Call closed: No audio from the partner for ${TIMEOUT_S} s`);
  // the library looks once a second at the time of the last packet
  assert.ok(took >= TIMEOUT_S * 1000 && took <= TIMEOUT_S * 1000 + 2500, `ended ${took} ms after the kill`);
  await card.waitFor({ state: 'detached' });
  assert.equal(await page.evaluate(() => window.callactive), false);
});

test('a call on hold is not ended however long its partner stays silent', async (t) => {
  const farend = await farEnd('hold', 5082, 4446);
  const page = await openProgramPage(t, browser, program);
  const card = await dial(page, farend);

  farend.hold();
  // the far end sends only, so the program only receives
  await until(() => /re-INVITE.*: recvonly/.test(program.output().split('Call established').at(-1)), 'the hold');
  // silent altogether, RTP and RTCP, for three times the timeout
  farend.signal('SIGSTOP');
  await sleep(3 * TIMEOUT_S * 1000);
  farend.signal('SIGCONT');
  assert.equal(await card.locator('.zv-track-state').textContent(), 'Established');
  assert.equal(await page.locator('.toast').count(), 0);

  farend.resume();
  await until(() => /re-INVITE.*: sendrecv/.test(program.output().split('recvonly').at(-1)), 'the resume');
  await until(async () => !(await card.locator('.netstatus-icon').getAttribute('class')).includes('netstatus-none'), 'media again');
  assert.equal(await card.locator('.zv-track-state').textContent(), 'Established');
  await card.locator('.hangup').click();
  await card.waitFor({ state: 'detached' });
});
