// Checks of what a person meets on the page: the accessibility engine's
// audit, figures that are not there, sideways scrolling and the contrast of
// drawn glyphs, which the engine cannot measure.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { FRONTEND } from './deps.mjs';
import { screenshot } from './browser.mjs';

const AXE = readFileSync(join(FRONTEND, 'node_modules', 'axe-core', 'axe.min.js'), 'utf8');

// The serious and critical findings of the accessibility engine on what the
// page shows now, one line each.
export async function axeFindings(page) {
  if (!await page.evaluate(() => typeof window.axe === 'object')) await page.evaluate(AXE);
  return page.evaluate(async () => {
    const { violations } = await window.axe.run(document, { resultTypes: ['violations'] });
    return violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
      .flatMap((v) => v.nodes.map((n) => `${v.id} (${v.impact}) at ${n.target.join(' ')}: ${n.failureSummary.replace(/\s+/g, ' ')}`));
  });
}

// Texts and attribute values that print a figure that is not there.
export function missingFigures(page) {
  return page.evaluate(() => {
    const bad = /\bundefined\b|\bNaN\b/;
    const found = [];
    const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
    for (let n = walker.nextNode(); n; n = walker.nextNode()) {
      if (bad.test(n.data) && !n.parentElement.closest('script')) found.push(`text "${n.data.trim()}" in ${n.parentElement.outerHTML.slice(0, 80)}`);
    }
    for (const el of document.body.querySelectorAll('*')) {
      for (const a of el.attributes) if (bad.test(a.value)) found.push(`${a.name}="${a.value}" on <${el.tagName.toLowerCase()}>`);
    }
    return found;
  });
}

// Fields whose edge does not stand out 3:1 from what is behind them, the
// contrast asked of the boundary of a control.
export function weakBoundaries(page) {
  return page.evaluate(() => {
    const rgb = (text) => text.match(/[\d.]+/g).map(Number);
    const lum = ([r, g, b]) => [r, g, b].map((v) => {
      const c = v / 255;
      return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
    }).reduce((sum, c, i) => sum + c * [0.2126, 0.7152, 0.0722][i], 0);
    const behind = (el) => {
      for (let node = el.parentElement; node; node = node.parentElement) {
        const colour = rgb(getComputedStyle(node).backgroundColor);
        if (colour.length === 3 || colour[3] > 0) return colour;
      }
      return [255, 255, 255];
    };
    const fields = document.querySelectorAll('.form-control, .form-select, .form-check-input:not(:checked)');
    return [...fields].filter((f) => !f.disabled && f.getClientRects().length > 0).flatMap((f) => {
      const a = lum(rgb(getComputedStyle(f).borderTopColor));
      const b = lum(behind(f));
      const ratio = (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05);
      return ratio < 3 ? [`#${f.id} edge ${ratio.toFixed(2)}:1`] : [];
    });
  });
}

// How far the page reaches past the right edge of the screen, in CSS pixels.
export function sideways(page) {
  return page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
}

// Lines of the shown addresses that start inside a name: an address may
// wrap only after its at sign, a dot or a hyphen.
export function midWordBreaks(page) {
  return page.evaluate(() => [...document.querySelectorAll('.zv-address')].filter((cell) => cell.offsetParent).flatMap((cell) => {
    const chars = [];
    const walker = document.createTreeWalker(cell, NodeFilter.SHOW_TEXT);
    for (let n = walker.nextNode(); n; n = walker.nextNode()) {
      for (let i = 0; i < n.data.length; i += 1) {
        const range = document.createRange();
        range.setStart(n, i);
        range.setEnd(n, i + 1);
        chars.push([n.data[i], range.getBoundingClientRect().top]);
      }
    }
    return chars.flatMap(([, top], i) => (i > 0 && top > chars[i - 1][1] + 1 && !'@.-'.includes(chars[i - 1][0])
      ? [`${cell.textContent} breaks before "${cell.textContent.slice(i)}"`] : []));
  }));
}

// One look at the page as it is now: a screenshot for review by eye, then
// the audit, figures and width checks, each failure naming the view.
export async function look(page, name) {
  await screenshot(page, name);
  assert.deepEqual(await axeFindings(page), [], `accessibility of ${name}`);
  assert.deepEqual(await missingFigures(page), [], `figures of ${name}`);
  assert.deepEqual(await weakBoundaries(page), [], `field edges of ${name}`);
  assert.equal(await sideways(page), 0, `sideways scroll of ${name}`);
  assert.deepEqual(await midWordBreaks(page), [], `addresses of ${name}`);
}

// The contrast between the drawn glyph of an element (an icon, the cross of
// a close button) and the background behind it, from the pixels on screen:
// the background is the commonest colour of the element's box, the glyph
// the colour that differs from it most.
export async function glyphContrast(page, locator) {
  const png = await locator.screenshot({ animations: 'disabled' });
  return page.evaluate(async (data) => {
    const img = new Image();
    img.src = `data:image/png;base64,${data}`;
    await img.decode();
    const canvas = document.createElement('canvas');
    canvas.width = img.width;
    canvas.height = img.height;
    const ctx = canvas.getContext('2d');
    ctx.drawImage(img, 0, 0);
    const px = ctx.getImageData(0, 0, img.width, img.height).data;
    const lum = (r, g, b) => [r, g, b].map((v) => {
      const c = v / 255;
      return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
    }).reduce((sum, c, i) => sum + c * [0.2126, 0.7152, 0.0722][i], 0);
    const counts = new Map();
    for (let i = 0; i < px.length; i += 4) {
      const key = (px[i] << 16) | (px[i + 1] << 8) | px[i + 2];
      counts.set(key, (counts.get(key) ?? 0) + 1);
    }
    const split = (k) => [(k >> 16) & 255, (k >> 8) & 255, k & 255];
    const background = lum(...split([...counts].sort((a, b) => b[1] - a[1])[0][0]));
    let best = 1;
    for (const key of counts.keys()) {
      const l = lum(...split(key));
      best = Math.max(best, (Math.max(l, background) + 0.05) / (Math.min(l, background) + 0.05));
    }
    return Math.round(best * 100) / 100;
  }, png.toString('base64'));
}

// What is wrong with the tour's step on screen: a popover over the element
// it describes or off the screen, text under the close button (with its
// focus ring), or controls that are not in the page's font.
export function tourFaults(page) {
  return page.evaluate(() => {
    const faults = [];
    const box = (el, grow = 0) => {
      const r = el.getBoundingClientRect();
      return { left: r.left - grow, top: r.top - grow, right: r.right + grow, bottom: r.bottom + grow };
    };
    const meets = (a, b) => a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
    const popover = document.querySelector('.driver-popover');
    const close = popover.querySelector('.driver-popover-close-btn');
    // the focus ring reaches 2 + 3 px out, its dark ring 5 px more
    const ring = box(close, 10);
    const p = box(popover);
    if (p.left < 0 || p.top < 0 || p.right > innerWidth || p.bottom > innerHeight) faults.push('the popover leaves the screen');
    if (ring.left < 0 || ring.top < 0 || ring.right > innerWidth) faults.push('the close button is cut at the screen edge');
    const shown = document.querySelector('.driver-active-element');
    if (shown && meets(p, box(shown))) faults.push('the popover covers the element it describes');
    const range = document.createRange();
    range.selectNodeContents(popover.querySelector('.driver-popover-description'));
    if ([...range.getClientRects()].some((r) => meets(r, ring))) faults.push('the text runs under the close button');
    for (const el of popover.querySelectorAll('button, .driver-popover-description, .driver-popover-progress-text')) {
      if (!getComputedStyle(el).fontFamily.startsWith('"Roboto Mono"')) faults.push(`${el.className} not in the page's font`);
    }
    return faults;
  });
}
