// Builds the browser viewer into dist/:
//   core.js      the protocol core, one ES module (the node tests run against exactly this output)
//   page.js      the page's script (the core included), with the string table bundled in
//   strings.json the page's string table, made from the program's catalogue (tools/catalogue.mjs)
//   index.html, style.css  copied from page/
import { build } from 'esbuild';
import { copyFileSync, mkdirSync, writeFileSync } from 'node:fs';
import { pageStrings, readCatalogue, stringsPlugin } from './tools/catalogue.mjs';

const common = {
  bundle: true,
  format: 'esm',
  platform: 'browser',
  target: ['es2022'],
  sourcemap: true,
  legalComments: 'eof',
  logLevel: 'warning',
};

mkdirSync('dist', { recursive: true });
const strings = pageStrings(readCatalogue());
writeFileSync('dist/strings.json', JSON.stringify(strings));


await build({ ...common, entryPoints: ['src/index.ts'], outfile: 'dist/core.js' });
await build({ ...common, entryPoints: ['src/page/main.ts'], outfile: 'dist/page.js', plugins: [stringsPlugin(strings)] });
for (const file of ['index.html', 'style.css']) copyFileSync(`page/${file}`, `dist/${file}`);
