// The page's pure modules for the node tests, bundled by esbuild in memory the way build.mjs
// bundles the page (with the string table made from the program's catalogue).
import { build } from 'esbuild';
import { webcrypto } from 'node:crypto';
import { pageStrings, readCatalogue, stringsPlugin } from '../tools/catalogue.mjs';

if (!globalThis.crypto) globalThis.crypto = webcrypto;

const entry = `
export * from './src/page/keys.ts';
export * from './src/page/view.ts';
export * from './src/frames.ts';
export * from './src/page/tools.ts';
export * from './src/page/figures.ts';
export * from './src/page/i18n.ts';
export * from './src/page/session.ts';
export { parseMessage, requireObject, serialize, ProtocolError } from './src/json.ts';
`;

const result = await build({
  stdin: { contents: entry, resolveDir: new URL('..', import.meta.url).pathname, loader: 'ts' },
  bundle: true,
  format: 'esm',
  platform: 'neutral',
  write: false,
  logLevel: 'warning',
  plugins: [stringsPlugin(pageStrings(readCatalogue()))],
});

export const page = await import('data:text/javascript;base64,' + Buffer.from(result.outputFiles[0].text).toString('base64'));
