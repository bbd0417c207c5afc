// Builds the protocol core into dist/core.js: one ES module for browsers (and for the node tests,
// which run against exactly this output).
import { build } from 'esbuild';

await build({
  entryPoints: ['src/index.ts'],
  outfile: 'dist/core.js',
  bundle: true,
  format: 'esm',
  platform: 'browser',
  target: ['es2022'],
  sourcemap: true,
  legalComments: 'eof',
  logLevel: 'warning',
});
