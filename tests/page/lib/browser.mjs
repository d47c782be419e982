// Debian's Chromium driven by playwright-core, one browser per test file and
// a fresh context per test.
import { mkdirSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from './deps.mjs';

export const CHROMIUM = process.env.ZV_CHROMIUM || '/usr/bin/chromium';
export const SCREENS = process.env.ZV_SCREENS || join(tmpdir(), 'zv-page-screens');
const ARGS = ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
  '--disable-sync', '--no-first-run'];

// Each launch runs on a new temporary profile; each page gets its own
// context, so storage never leaks from one test into the next.
export async function launch() {
  const browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: ARGS });
  return {
    newPage: (server, options = {}) => openPage(browser, server, options),
    close: () => browser.close(),
  };
}

// Records what the page does with notifications and makes the permission
// settable from the test.
function notificationStub(permission) {
  window.__notes = [];
  window.__permissionAsked = 0;
  class FakeNotification {
    constructor(title, opts) {
      this.title = title;
      this.listeners = {};
      window.__notes.push({ title, opts });
      window.__lastNote = this;
    }

    addEventListener(type, fn) { this.listeners[type] = fn; }

    static requestPermission() {
      window.__permissionAsked += 1;
      return Promise.resolve('default');
    }
  }
  FakeNotification.permission = permission;
  window.Notification = FakeNotification;
}

async function openPage(browser, server, {
  onboarded = true, viewport = { width: 1280, height: 800 }, permission = 'granted', storage = {}, hash = '', wait = true, forcedColors,
  init, clock = false, clipboard = false,
} = {}) {
  const context = await browser.newContext({ viewport, reducedMotion: 'reduce', forcedColors });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(`pageerror: ${e.message}`));
  page.on('console', (m) => { if (m.type() === 'error') errors.push(`console: ${m.text()}`); });
  const items = { ...storage };
  if (onboarded) items.zvonboarding = 'completed';
  await page.addInitScript(({ items: init }) => {
    if (!sessionStorage.getItem('zv-test-seeded')) {
      for (const [k, v] of Object.entries(init)) localStorage.setItem(k, v);
      sessionStorage.setItem('zv-test-seeded', '1');
    }
    window.__csp = [];
    document.addEventListener('securitypolicyviolation', (e) => window.__csp.push(`${e.violatedDirective} ${e.blockedURI}`));
  }, { items });
  await page.addInitScript(notificationStub, permission);
  await page.addInitScript(() => {
    // the order in which the page opens its sockets (the server may see the
    // handshakes finish in any order)
    window.__sockets = [];
    const Native = window.WebSocket;
    window.WebSocket = class extends Native {
      constructor(url, ...rest) {
        super(url, ...rest);
        window.__sockets.push(new URL(url).pathname);
      }
    };
    window.__opened = [];
    window.open = (...args) => { window.__opened.push(args); return null; };
    window.__focused = 0;
    window.focus = () => { window.__focused += 1; };
  });
  if (init) await page.addInitScript(init);
  if (clock) await page.clock.install();
  if (clipboard) await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: server.url.replace(/\/$/, '') });
  await page.goto(server.url + hash);
  if (wait && server.variant === 'standalone') await page.waitForFunction(() => document.querySelector('#options .option-change'));
  page.zv = { errors, context };
  return page;
}

export async function closePage(page) {
  const csp = await page.evaluate(() => window.__csp).catch(() => []);
  await page.zv.context.close();
  return { errors: page.zv.errors, csp };
}

export async function screenshot(page, name) {
  mkdirSync(SCREENS, { recursive: true });
  await page.screenshot({ path: join(SCREENS, `${name}.png`) });
}
