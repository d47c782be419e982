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

async function settings(page, name) {
  await page.evaluate(() => { window.location.hash = '#settings'; });
  await page.click('#contacts-tab');
  await page.locator('#contacts.show').waitFor();
  await look(page, `${name}-settings-contacts`);
  await page.click('#buttonaddcontact');
  const contact = shown(page, 'Add Contact');
  await contact.waitFor();
  await page.fill('#formaddcontact-name', 'ab');
  await contact.getByRole('button', { name: 'Save' }).click();
  await page.locator('#formaddcontact-name.is-invalid').waitFor();
  await look(page, `${name}-new-contact-invalid`);
  await closeDialog(page);

  await page.click('#sip-account-tab');
  await page.locator('#accounts.show').waitFor();
  await look(page, `${name}-settings-accounts`);
  await page.click('#buttonaddsip');
  const account = shown(page, 'Add SIP Account');
  await account.waitFor();
  await account.getByRole('button', { name: 'Save' }).click();
  await page.locator('#formaddsip .is-invalid').first().waitFor();
  await look(page, `${name}-new-account-invalid`);
  await closeDialog(page);
  if (await page.locator('.editsip').count()) {
    await page.locator('.editsip').first().click();
    await shown(page, 'Edit SIP Account').waitFor();
    await look(page, `${name}-edit-account`);
    await closeDialog(page);
  }

  await page.click('#sip-options-tab');
  await page.locator('#options.show').waitFor();
  await look(page, `${name}-settings-options`);
  await page.evaluate(() => { window.location.hash = '#tracks'; });
}

// Walks both views; screenshots are named after name.
export async function walk(page, name) {
  await tracks(page, name);
  await settings(page, name);
}
