// The test tools come from the page's own pinned packages.
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

export const REPO = join(dirname(fileURLToPath(import.meta.url)), '..', '..', '..');
export const FRONTEND = join(REPO, 'src', 'modules', 'webapp', 'frontend');
export const ASSETS = join(REPO, 'src', 'modules', 'webapp', 'assets');

const require = createRequire(join(FRONTEND, 'package.json'));
export const { chromium } = require('playwright-core');
export const { WebSocketServer } = require('ws');
