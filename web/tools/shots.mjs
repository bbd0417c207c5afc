// Screenshots of the built page in headless Chromium (no network: the connect page, and the
// remote view in preview mode with its panels), in English and German, into the directory given.
// Prints any console message or CSP report Chromium logs. Usage: node tools/shots.mjs OUTDIR
import { execFile } from 'node:child_process';
import { mkdirSync, rmSync, mkdtempSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { serve } from './serve.mjs';

function run(file, args) {
  return new Promise((done) => {
    execFile(file, args, { encoding: 'utf8', timeout: 60000 }, (error, stdout, stderr) => done({ code: error ? (error.code ?? 1) : 0, stderr }));
  });
}

const out = resolve(process.argv[2] ?? '../build/web-shots');
mkdirSync(out, { recursive: true });
const server = await serve();
const base = `http://127.0.0.1:${server.address().port}/`;
const shots = [];
for (const lang of ['en', 'de']) {
  shots.push([`connect-${lang}`, `?lang=${lang}`, '1280,800']);
  shots.push([`remote-${lang}`, `?preview&lang=${lang}`, '1280,800']);
  shots.push([`chat-${lang}`, `?preview&panel=chat&lang=${lang}`, '1280,800']);
  shots.push([`files-${lang}`, `?preview&panel=files&lang=${lang}`, '1280,800']);
  shots.push([`offer-${lang}`, `?preview&panel=offer&lang=${lang}`, '1280,800']);
  shots.push([`info-${lang}`, `?preview&panel=info&lang=${lang}`, '1280,800']);
  shots.push([`waiting-${lang}`, `?preview&panel=waiting&lang=${lang}`, '1280,800']);
  shots.push([`narrow-${lang}`, `?preview&lang=${lang}`, '760,600']);
}
let problems = 0;
for (const [name, query, size] of shots) {
  const profile = mkdtempSync(join(tmpdir(), 'kestrova-shot-'));
  // Asynchronous: the page's server runs in this process.
  const result = await run(
    'chromium',
    ['--headless', '--no-sandbox', '--disable-gpu', '--hide-scrollbars', `--user-data-dir=${profile}`, `--window-size=${size}`,
'--enable-logging=stderr', '--v=0', `--screenshot=${join(out, name + '.png')}`, base + query],
  );
  rmSync(profile, { recursive: true, force: true });
  const console_ = (result.stderr ?? '').split('\n').filter((line) => /CONSOLE|Content Security Policy|Refused/.test(line));
  for (const line of console_) console.log(`${name}: ${line}`);
  problems += console_.length;
  if (result.code !== 0) {
    console.log(`${name}: chromium exited ${result.code}`);
    problems++;
  }
}
server.close();
console.log(`${shots.length} screenshots in ${out}; ${problems} console messages`);
process.exitCode = problems ? 1 : 0;
