// Builds the browser viewer into dist/ (or the folder given: node build.mjs --out DIR), from any
// working folder.
// What the relay serves (and the package ships), listed in dist/manifest.txt:
//   index.html               from page/, naming the two assets below with their SRI digests
//   page.<hash>.js           the page's script (the core included), with the string table bundled in
//   style.<hash>.css         page/style.css
//   <hash> is the first 8 bytes of the file's SHA-256 in hex, so a changed file gets a new name
//   and the assets can be cached for good; index.html itself is never cached.
// For the node tests only (not listed, never served):
//   core.js      the protocol core, one ES module (the node tests run against exactly this output)
//   strings.json the page's string table, made from the program's catalogue (tools/catalogue.mjs)
// The assets of earlier builds are removed.
import { build } from 'esbuild';
import { createHash } from 'node:crypto';
import { mkdirSync, readdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { pageStrings, readCatalogue, stringsPlugin } from './tools/catalogue.mjs';

const args = process.argv.slice(2);
if (!(args.length === 0 || (args.length === 2 && args[0] === '--out' && args[1]))) {
  console.error('usage: node build.mjs [--out DIR]   (default: dist/ beside this script)');
  process.exit(2);
}
const dist = args.length ? resolve(args[1]) : null;  // taken before leaving the caller's folder
const here = fileURLToPath(new URL('.', import.meta.url));
process.chdir(here);
const out = dist ?? resolve('dist');

const common = {
  absWorkingDir: here,
  bundle: true,
  format: 'esm',
  platform: 'browser',
  target: ['es2022'],
  legalComments: 'eof',
  logLevel: 'warning',
};

// The manifest's line format, which the relay reads (relay/web_files.cc): "<name> <content type>".
const TYPES = { html: 'text/html; charset=utf-8', js: 'text/javascript; charset=utf-8', css: 'text/css; charset=utf-8' };

mkdirSync(out, { recursive: true });
const strings = pageStrings(readCatalogue());
writeFileSync(`${out}/strings.json`, JSON.stringify(strings));

await build({ ...common, sourcemap: true, entryPoints: ['src/index.ts'], outfile: `${out}/core.js` });
const page = await build({
  ...common,
  entryPoints: ['src/page/main.ts'],
  outfile: 'page.js',
  write: false,
  plugins: [stringsPlugin(strings)],
});
if (page.outputFiles.length !== 1) throw new Error(`build: expected one page script, got ${page.outputFiles.length}`);

const hashedName = (stem, ext, bytes) => `${stem}.${createHash('sha256').update(bytes).digest('hex').slice(0, 16)}.${ext}`;
const integrity = (bytes) => `sha384-${createHash('sha384').update(bytes).digest('base64')}`;

const assets = [
  { stem: 'page', ext: 'js', bytes: Buffer.from(page.outputFiles[0].contents) },
  { stem: 'style', ext: 'css', bytes: readFileSync('page/style.css') },
].map((asset) => ({ ...asset, name: hashedName(asset.stem, asset.ext, asset.bytes) }));

// page/index.html names the assets plainly; each reference must be there exactly once.
let html = readFileSync('page/index.html', 'utf8');
const tags = {
  page: (a) => [`<script type="module" src="page.js"></script>`,
    `<script type="module" src="${a.name}" integrity="${integrity(a.bytes)}" crossorigin="anonymous"></script>`],
  style: (a) => [`<link rel="stylesheet" href="style.css">`,
    `<link rel="stylesheet" href="${a.name}" integrity="${integrity(a.bytes)}" crossorigin="anonymous">`],
};
for (const asset of assets) {
  const [plain, hashed] = tags[asset.stem](asset);
  const count = html.split(plain).length - 1;
  if (count !== 1) throw new Error(`build: page/index.html must hold ${plain} exactly once (found ${count})`);
  html = html.replace(plain, hashed);
}

const served = [{ name: 'index.html', bytes: Buffer.from(html) }, ...assets];
for (const file of served) writeFileSync(`${out}/${file.name}`, file.bytes);
writeFileSync(`${out}/manifest.txt`, served.map((f) => `${f.name} ${TYPES[f.name.split('.').pop()]}\n`).join(''));

// Assets of earlier builds (and their unhashed names of before) go; nothing else is touched.
const current = new Set(served.map((f) => f.name));
for (const name of readdirSync(out)) {
  const stale = /^(page|style)\.[0-9a-f]{16}\.(js|css)$/.test(name) || ['page.js', 'page.js.map', 'style.css'].includes(name);
  if (stale && !current.has(name)) rmSync(`${out}/${name}`, { force: true });
}
