// Builds the page's served files: node build.mjs [output folder]
// (default: the web module's assets). The output is the same, byte for
// byte, on every run from the same sources and packages.
import { execFileSync } from 'node:child_process';
import { copyFileSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import * as esbuild from 'esbuild';
import * as sass from 'sass';
import * as service from './src/service.js';

const here = dirname(fileURLToPath(import.meta.url));
const modules = join(here, 'node_modules');
const out = resolve(process.argv[2] ?? join(here, '..', 'assets'));
const work = mkdtempSync(join(tmpdir(), 'zv-page-'));

// Licence texts of the libraries that the built files carry.
function licences(files) {
  const parts = files.map((file) => {
    const text = readFileSync(join(modules, file), 'utf8').trim().replaceAll('*/', '* /');
    return `${file.split('/').slice(0, -1).join('/')}:\n${text}`;
  });
  return `/*! Licences of the bundled libraries\n\n${parts.join('\n\n')}\n*/\n`;
}

function precompileTemplates() {
  const dir = join(here, 'templates');
  const files = readdirSync(dir).filter((f) => f.endsWith('.hbs')).sort().map((f) => join(dir, f));
  const target = join(work, 'templates.cjs');
  execFileSync(process.execPath, [
    join(modules, 'handlebars', 'bin', 'handlebars'),
    '--commonjs', 'handlebars/runtime', '--extension', 'hbs', '--root', dir,
    '--output', target, ...files,
  ], { stdio: 'inherit' });
  return target;
}

const templatesPlugin = (target) => ({
  name: 'zv-templates',
  setup(build) {
    build.onResolve({ filter: /^zv:templates$/ }, () => ({ path: target }));
  },
});

async function buildScript(templates) {
  await esbuild.build({
    entryPoints: [join(here, 'src', 'main.js')],
    outfile: join(out, 'app.js'),
    bundle: true,
    minify: true,
    format: 'iife',
    target: 'es2020',
    legalComments: 'eof',
    charset: 'utf8',
    nodePaths: [modules],
    define: { 'process.env.NODE_ENV': '"production"' },
    plugins: [templatesPlugin(templates)],
    footer: { js: licences(['bootstrap/LICENSE', '@popperjs/core/LICENSE.md', 'handlebars/LICENSE', 'driver.js/license']) },
    logLevel: 'warning',
  });
}

async function buildStyle() {
  const page = sass.compile(join(here, 'scss', 'app.scss'), {
    loadPaths: [modules],
    style: 'expanded',
    quietDeps: true,
  });
  writeFileSync(join(work, 'page.css'), page.css);
  writeFileSync(join(work, 'bundle.css'), [
    '@import "driver.js/dist/driver.css";',
    '@import "@fortawesome/fontawesome-svg-core/styles.css";',
    '@import "./page.css";',
  ].join('\n'));
  await esbuild.build({
    entryPoints: [join(work, 'bundle.css')],
    outfile: join(out, 'app.css'),
    bundle: true,
    minify: true,
    legalComments: 'eof',
    charset: 'utf8',
    external: ['/fonts/*'],
    footer: { css: licences(['driver.js/license', '@fortawesome/fontawesome-svg-core/LICENSE.txt', '@fontsource/roboto-mono/LICENSE']) },
    nodePaths: [modules],
    logLevel: 'warning',
  });
}

function copyStatic() {
  const html = readFileSync(join(here, 'index.html'), 'utf8')
    .replaceAll('@HELP_URL@', service.HELP_URL)
    .replaceAll('@STREAM_HOST@', service.STREAM_HOST)
    .replaceAll('@SIP_DOMAIN@', service.SIP_DOMAIN);
  writeFileSync(join(out, 'index.html'), html);
  mkdirSync(join(out, 'images'), { recursive: true });
  copyFileSync(join(here, 'images', 'logo.svg'), join(out, 'images', 'logo.svg'));
  mkdirSync(join(out, 'fonts'), { recursive: true });
  for (const weight of [400, 500, 700]) {
    copyFileSync(
      join(modules, '@fontsource', 'roboto-mono', 'files', `roboto-mono-latin-${weight}-normal.woff2`),
      join(out, 'fonts', `roboto-mono-${weight}.woff2`),
    );
  }
}

try {
  mkdirSync(out, { recursive: true });
  const templates = precompileTemplates();
  await buildScript(templates);
  await buildStyle();
  copyStatic();
} finally {
  rmSync(work, { recursive: true, force: true });
}
