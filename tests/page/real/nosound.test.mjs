// The built program on a machine without any sound device (no JACK server,
// an ALSA that lists no device): the Tracks view says so and where to
// choose one, and a recording is refused with an error and leaves no file.
import test, { after, before } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, readdirSync } from 'node:fs';
import { join } from 'node:path';
import { launch } from '../lib/browser.mjs';
import { look } from '../lib/audit.mjs';
import { RealProgram } from './program.mjs';
import { openFirstPage, openProgramPage, until } from './pages.mjs';

let program;
let browser;

before(async () => {
  program = new RealProgram({ sound: false });
  await program.start();
  browser = await launch();
  await openFirstPage(browser, program);
});

after(async () => {
  await browser?.close();
  assert.equal(await program?.stop(), 0, 'the program\'s exit code');
});

test('no sound device: the Tracks view says so, and a recording is refused with no file left', async (t) => {
  for (const [size, viewport] of [['desktop', { width: 1440, height: 900 }], ['phone', { width: 390, height: 844 }]]) {
    const page = await openProgramPage(t, browser, program, { viewport });
    const notice = page.locator('#zv-no-sound');
    await notice.waitFor();
    assert.match(await notice.textContent(), /^No sound device is working: .*Choose a device with Interface\.$/);
    assert.equal(await notice.getAttribute('role'), 'alert');
    // it stands in the local track, beside the button it names
    assert.equal(await page.locator('#panel-audio #zv-no-sound').count(), 1);
    await look(page, `real-${size}-no-sound`);
  }

  const page = await openProgramPage(t, browser, program);
  await page.click('#btn-record');
  const refused = page.locator('.toast.text-bg-danger', { hasText: 'Recording failed: no sound device is working' });
  await refused.waitFor();
  await page.locator('#btn-record[aria-pressed="false"].btn-secondary').waitFor();
  assert.equal(await page.textContent('#record_time'), '0:00:00');
  await until(() => program.output().includes('zvaudio/record: Recording failed: no sound device is working'), 'the refusal in the log');
  const base = join(program.root, 'Desktop', 'zorvane');
  assert.deepEqual(existsSync(base) ? readdirSync(base) : [], [], 'no recording folder');
  await look(page, 'real-desktop-no-sound-record-refused');

  // the device dialog names the refusal too, and says no device runs
  await page.click('#btn-interface');
  const dialog = page.locator('.modal.show.audiointerface-dialog');
  await dialog.waitFor();
  assert.equal(await dialog.locator('.zv-error').textContent(), 'Recording failed: no sound device is working');
  await dialog.locator('.modal-footer').getByRole('button', { name: 'Close' }).click();
  await dialog.waitFor({ state: 'detached' });
});
