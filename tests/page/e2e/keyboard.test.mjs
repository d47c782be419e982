// The page by keyboard alone: a caller's volume in steps, hanging up one
// caller without touching the next, and dialogs that hand the focus back.
import test from 'node:test';
import assert from 'node:assert/strict';
import { useBrowser, openPage, sleep } from '../lib/e2e.mjs';

useBrowser();

const focused = (page) => page.evaluate(() => {
  const a = document.activeElement;
  return a.id || a.outerHTML.slice(0, 120);
});

async function twoCalls(server, page) {
  server.placeCall('sip:a@other.test', 'Established', 2);
  server.placeCall('sip:b@other.test', 'Established', 4);
  server.pushCalls();
  await page.locator('#netstatus4').waitFor();
}

test('the volume slider keeps the focus through its steps and the re-rendered cards', async (t) => {
  const { server, page } = await openPage(t);
  await twoCalls(server, page);
  await page.focus('#dropdown4');
  await page.keyboard.press('Enter');
  await page.locator('#formControlRange4').waitFor({ state: 'visible' });
  await page.focus('#formControlRange4');
  for (const [key, value] of [['ArrowRight', '1.05'], ['ArrowRight', '1.1'], ['ArrowLeft', '1.05']]) {
    const sent = server.next('/ws_calls', (m) => m.command === 'volume');
    await page.keyboard.press(key);
    assert.deepEqual(await sent, { command: 'volume', key: '4', value });
    await page.locator('label[for="formControlRange4"]', { hasText: `Volume (${value})` }).waitFor();
    assert.equal(await focused(page), 'formControlRange4');
  }
  // the cards of a far end's change keep the focus where it is too
  server.pushCalls();
  await sleep(100);
  assert.equal(await focused(page), 'formControlRange4');
  await page.keyboard.press('Escape');
  await page.locator('#dropdown4 + .dropdown-menu.show').waitFor({ state: 'detached' });
  assert.equal(await focused(page), 'dropdown4');
  // a menu that new cards close hands the focus to its button
  await page.focus('#dropdown2');
  await page.keyboard.press('Enter');
  await page.focus('#keyboard2');
  server.pushCalls();
  await page.locator('#dropdown2 + .dropdown-menu.show').waitFor({ state: 'detached' });
  assert.equal(await focused(page), 'dropdown2');
});

test('after a hang-up by Enter the focus is where no key ends another call', async (t) => {
  const { server, page } = await openPage(t);
  await twoCalls(server, page);
  const hangup = page.locator('#activecalls .zv-track[data-track="2"] .hangup');
  await hangup.focus();
  await page.keyboard.press('Enter');
  await page.locator('#activecalls .zv-track[data-track="2"]').waitFor({ state: 'detached' });
  assert.equal(await focused(page), 'sipnumbercall');
  await page.keyboard.press('Enter');
  await page.keyboard.press(' ');
  await sleep(200);
  assert.deepEqual(server.sent('/ws_calls').map((m) => m.command), ['hangup']);
  assert.equal(await page.locator('#activecalls .zv-track').count(), 1);

  // another caller leaving does not move the focus off the card it is on
  server.placeCall('sip:c@other.test', 'Established', 1);
  server.pushCalls();
  const chmix = page.locator('#activecalls .zv-track[data-track="4"] .chmix');
  await chmix.focus();
  server.calls.delete('1');
  server.pushCalls();
  await page.locator('#activecalls .zv-track[data-track="1"]').waitFor({ state: 'detached' });
  assert.equal(await chmix.evaluate((b) => b === document.activeElement), true);
});

test('dialogs keep the focus inside and give it back to what opened them', async (t) => {
  const { server, page } = await openPage(t, { contacts: [] }, { hash: '#settings' });
  const cases = [
    // [opener, how it is opened, the dialog's text]
    ['#buttonaddcontact', 'Enter', 'Add Contact'],
    ['#btn-interface', 'Space', 'Change audio device'],
    ['#btn-onair', 'Enter', 'Start live stream?'],
  ];
  for (const [opener, key, text] of cases) {
    if (opener === '#btn-interface') await page.evaluate(() => { window.location.hash = '#tracks'; });
    await page.focus(opener);
    await page.keyboard.press(key);
    const dialog = page.locator('.modal.show', { hasText: text });
    await dialog.waitFor();
    for (let i = 0; i < 8; i += 1) {
      await page.keyboard.press('Tab');
      assert.equal(await dialog.evaluate((d) => d.contains(document.activeElement)), true, `${text}: Tab ${i + 1} stays inside`);
    }
    await page.keyboard.press('Escape');
    await page.locator('.modal').waitFor({ state: 'detached' });
    assert.equal(await focused(page), opener.slice(1), text);
  }

  // a dialog opened from a card's menu gives the focus to the menu's button
  await twoCalls(server, page);
  await page.focus('#dropdown2');
  await page.keyboard.press('Enter');
  const keyboard = page.locator('#activecalls .zv-track[data-track="2"] .keyboard');
  await keyboard.focus();
  await page.keyboard.press('Enter');
  const keypad = page.locator('.modal.show', { hasText: 'DTMF Keyboard' });
  await keypad.waitFor();
  await keypad.getByRole('button', { name: 'Cancel' }).press('Enter');
  await page.locator('.modal').waitFor({ state: 'detached' });
  assert.equal(await focused(page), 'dropdown2');

  // a prompt the program opened goes back to where the person was typing
  await page.focus('#sipnumbercall');
  server.placeCall('sip:c@other.test', 'Incoming', 1);
  server.pushCalls();
  server.push('/ws_calls', { callback: 'INCOMING', peeruri: 'sip:c@other.test', key: '1' });
  const prompt = page.locator('.modal.show', { hasText: 'Incoming call' });
  await prompt.waitFor();
  await page.keyboard.press('Escape');
  await page.locator('.modal').waitFor({ state: 'detached' });
  assert.equal(await focused(page), 'sipnumbercall');
});
