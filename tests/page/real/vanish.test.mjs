// A partner that vanishes: Debian's baresip killed during a call, so that
// no BYE comes and its media simply stops. The page shows "no data" within
// 2 s and keeps showing it, and quitting the program with that call still up
// takes at most 3 s. The program here runs with its shipped RTP timeout of
// 60 s, which this file never waits for (media_timeout.test.mjs does, with
// the timeout shortened).
import test, { after, before } from 'node:test';
import assert from 'node:assert/strict';
import { launch } from '../lib/browser.mjs';
import { RealProgram } from './program.mjs';
import { FarEnd } from './farend.mjs';
import { openFirstPage, openProgramPage, until } from './pages.mjs';

let program;
let farend;
let browser;

before(async () => {
  program = new RealProgram({ sipPort: 5090 });
  await program.start();
  farend = new FarEnd(program.root, 5080, 4444);
  await farend.start();
  browser = await launch();
  await openFirstPage(browser, program);
});

after(async () => {
  await browser?.close();
  await farend?.stop();
  assert.equal(await program?.stop(), 0, 'the program\'s exit code');
});

// Records in the page, by the wall clock, each class the call's network icon
// takes.
function watchIcon(track) {
  window.__icon = [];
  const icon = document.querySelector(`#netstatus${track} .netstatus-icon`);
  const note = () => {
    const cls = [...icon.classList].find((c) => c.startsWith('netstatus-') && c !== 'netstatus-icon');
    if (window.__icon.at(-1)?.cls !== cls) window.__icon.push({ cls, at: Date.now() });
  };
  note();
  new MutationObserver(note).observe(icon, { attributes: true, attributeFilter: ['class'] });
}

test('a partner killed without a BYE shows "no data" within 2 s, and quitting with its call up takes at most 3 s', async (t) => {
  const page = await openProgramPage(t, browser, program, { ending: true });
  await page.fill('#sipnumbercall', farend.aor);
  await page.click('#buttoncall');
  const card = page.locator('.zv-track[data-track="1"]');
  await card.locator('.zv-track-state', { hasText: 'Established' }).waitFor();
  await until(async () => (await card.locator('.netstatus-icon').getAttribute('class')).includes('netstatus-good'), 'network quality good');
  // every call watches its media with the library's RTP timeout of 60 s
  assert.match(program.output(), /Enable RTP timeout \(60000 milliseconds\)/);

  await page.evaluate(watchIcon, 1);
  const killed = Date.now();
  farend.signal('SIGKILL');
  await until(() => page.evaluate(() => window.__icon.at(-1).cls === 'netstatus-none'), '"no data"', 5000);
  const [good, none] = await page.evaluate(() => window.__icon);
  assert.equal(good.cls, 'netstatus-good');
  t.diagnostic(`"no data" ${none.at - killed} ms after the far end was killed`);
  assert.ok(none.at - killed <= 2000, `"no data" ${none.at - killed} ms after the far end was killed`);
  assert.equal(await card.locator('.netstatus-label').textContent(), 'Network quality: no data');
  // it stays so: the old figures of the call never turn it good again
  await new Promise((resolve) => setTimeout(resolve, 16000));
  assert.deepEqual((await page.evaluate(() => window.__icon)).map((i) => i.cls), ['netstatus-good', 'netstatus-none']);
  assert.equal(await card.locator('.zv-track-state').textContent(), 'Established');

  const quit = Date.now();
  assert.equal(await program.quit(), 0, 'the program\'s exit code');
  const took = Date.now() - quit;
  t.diagnostic(`the quit took ${took} ms`);
  assert.ok(took <= 3000, `the quit took ${took} ms`);
  await page.locator('.zv-stopped[role="alert"]').waitFor();
});
