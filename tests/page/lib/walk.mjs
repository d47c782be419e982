// A walk through every view, menu, popup and dialog that the page offers in
// its present state, with one look (screenshot, audit, figures, width) at
// each; the same against the fake server and the program.
import assert from 'node:assert/strict';
import { look } from './audit.mjs';

const shown = (page, text) => page.locator('.modal.show', { hasText: text });

export async function closeDialog(page) {
  await page.keyboard.press('Escape');
  await page.locator('.modal').waitFor({ state: 'detached' });
}

async function tracks(page, name) {
  await page.evaluate(() => { window.location.hash = '#tracks'; });
  await look(page, `${name}-tracks`);
  const card = page.locator('#activecalls .zv-track').first();
  if (await card.count()) {
    const key = await card.locator('.hangup').getAttribute('data-key');
    const track = await card.getAttribute('data-track');
    await card.locator('.netstatus-btn').focus();
    const popup = page.locator(`#netstatus-info${track}`);
    await popup.waitFor({ state: 'visible' });
    const box = await popup.boundingBox();
    const width = page.viewportSize().width;
    assert.ok(box.x >= 0 && box.x + box.width <= width, `${name}: popup at ${box.x}..${box.x + box.width}`);
    assert.ok(box.width >= 260, `${name}: popup ${box.width} wide`);
    assert.ok(await popup.evaluate((p) => p.scrollWidth <= p.clientWidth), `${name}: the figures fit in the popup`);
    await look(page, `${name}-network-popup`);

    await page.click(`#dropdown${key}`);
    await page.locator(`#formControlRange${key}`).waitFor({ state: 'visible' });
    await look(page, `${name}-call-menu`);
    await page.click(`#keyboard${key}`);
    await shown(page, 'DTMF Keyboard').waitFor();
    await look(page, `${name}-dtmf`);
    await closeDialog(page);
    if (await page.locator(`#addcontactshort${key}`).count()) {
      await page.click(`#dropdown${key}`);
      await page.click(`#addcontactshort${key}`);
      await shown(page, 'Add Contact').waitFor();
      await look(page, `${name}-call-add-contact`);
      await closeDialog(page);
    }
  }

  await page.click('#btn-interface');
  await page.locator('.modal.show.audiointerface-dialog').waitFor();
  await look(page, `${name}-devices`);
  await closeDialog(page);

  await page.click('#btn-onair');
  await shown(page, 'Start live stream?').waitFor();
  await look(page, `${name}-onair`);
  await closeDialog(page);

  await page.click('#changelog');
  const about = shown(page, 'Changelog');
  await about.waitFor();
  await look(page, `${name}-about`);
  await about.getByRole('tab', { name: 'Credits' }).click();
  await page.locator('#credits.show').waitFor();
  await look(page, `${name}-about-credits`);
  await about.getByRole('button', { name: 'OK' }).click();
  await page.locator('.modal').waitFor({ state: 'detached' });
}

// A settings pane, then its form saved while not filled in right.
async function pane(page, name, [tab, id, opener, title]) {
  await page.click(tab);
  await page.locator(`#${id}.show`).waitFor();
  await look(page, `${name}-settings-${id}`);
  if (!opener) return;
  await page.click(opener);
  const dialog = shown(page, title);
  await dialog.waitFor();
  // a name too short for a contact; an account left empty
  if (id === 'contacts') await page.fill('#formaddcontact-name', 'ab');
  await dialog.getByRole('button', { name: 'Save' }).click();
  await dialog.locator('.is-invalid').first().waitFor();
  await look(page, `${name}-${id === 'contacts' ? 'new-contact' : 'new-account'}-invalid`);
  await closeDialog(page);
}

async function settings(page, name) {
  await page.evaluate(() => { window.location.hash = '#settings'; });
  await pane(page, name, ['#contacts-tab', 'contacts', '#buttonaddcontact', 'Add Contact']);
  await pane(page, name, ['#sip-account-tab', 'accounts', '#buttonaddsip', 'Add SIP Account']);
  if (await page.locator('.editsip').count()) {
    await page.locator('.editsip').first().click();
    await shown(page, 'Edit SIP Account').waitFor();
    await look(page, `${name}-edit-account`);
    await closeDialog(page);
  }

  await pane(page, name, ['#sip-options-tab', 'options']);
  await page.evaluate(() => { window.location.hash = '#tracks'; });
}

// Walks both views; screenshots are named after name.
export async function walk(page, name) {
  await tracks(page, name);
  await settings(page, name);
}
