// The browser viewer end to end: headless Chromium (puppeteer-core) opens the page the relay
// serves and takes a session with a Kestrova.exe host running under Wine on its own X display,
// which this program reads through screenshots and drives with xdotool and xclip, as a person
// would. Started by scripts/web-e2e, which sets up the relay, the host and these variables:
//   KESTROVA_E2E_URL          the page (https://localhost:PORT/)
//   KESTROVA_E2E_SPKI         base64 SHA-256 of the relay certificate's key, the only one accepted
//   KESTROVA_E2E_DISPLAY      the host's X display
//   KESTROVA_E2E_OUT          the folder for screenshots (shots/) and scratch files
//   KESTROVA_E2E_DESKTOP_LOG  the recording window's log (native/app/testing/demo_desktop_win.cc)
//   KESTROVA_E2E_VIEWER_DISPLAY  the X display of a second Kestrova.exe, the native viewer whose
//                             figures the page's are compared with
//   KESTROVA_E2E_CERT         the relay's certificate (for reading its /metrics)
// Prints one line per step, the figures and a summary; the exit status is 1 when a step failed.
import { execFile, spawn } from 'node:child_process';
import { get } from 'node:https';
import { createInterface } from 'node:readline';
import { readFileSync, writeFileSync, copyFileSync } from 'node:fs';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';
import {
  containsTyped,
  fitPoint,
  meanPixel,
  near,
  parseDesktopLog,
  patternCells,
  pixelsApart,
  summary,
} from './e2e-lib.mjs';

const env = (name) => {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set (run scripts/web-e2e)`);
  return value;
};
const URL_ = env('KESTROVA_E2E_URL');
const SPKI = env('KESTROVA_E2E_SPKI');
const DISPLAY = env('KESTROVA_E2E_DISPLAY');
const OUT = env('KESTROVA_E2E_OUT');
const DESKTOP_LOG = env('KESTROVA_E2E_DESKTOP_LOG');
const VIEWER_DISPLAY = env('KESTROVA_E2E_VIEWER_DISPLAY');
const CERT = env('KESTROVA_E2E_CERT');
const SHOTS = join(OUT, 'shots');
const SCREEN = { width: 1920, height: 1080 };
const PAGE_SIZE = { width: 1280, height: 800 };
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

// ---- The host's display ---------------------------------------------------------------------------

function run(file, args, { input, binary = false, timeout = 20000, display = DISPLAY } = {}) {
  return new Promise((done, failed) => {
    const child = execFile(
      file,
      args,
      { env: { ...process.env, DISPLAY: display }, encoding: binary ? 'buffer' : 'utf8', maxBuffer: 64 << 20, timeout },
      (error, stdout) => (error ? failed(error) : done(stdout)),
    );
    if (input !== undefined) child.stdin.end(input);
  });
}
const xdotool = (...args) => run('xdotool', args);

// The host's main window at scale 1 in a 1100 x 720 window: points relative to its corner.
const HOST = {
  copyId: [597, 208],
  copyPassword: [597, 272],
  allow: [726, 436],
  navConnections: [90, 172],
  navChat: [90, 276],
  newCredentials: [358, 376],
  toggleApproval: [228, 444],
  toggleControl: [228, 514],
  toggleClipboard: [792, 514],
  chatLog: { x: 228, y: 124, width: 836, height: 446 },
};
const COLOURS = { accent: '10786D', sidebar: 'FAFCFD', page: 'F3F6F8', white: 'FFFFFF' };

let host = null; // {x, y, width, height} of the main window
let screen = null; // the last screenshot, raw RGB {width, height, data}

// The visible windows named "Kestrova" on a display: the main window and any message box.
async function namedWindows(display = DISPLAY) {
  const x = (...args) => run('xdotool', args, { display });
  let ids = [];
  try {
    ids = (await x('search', '--onlyvisible', '--name', '^Kestrova$')).trim().split('\n');
  } catch {
    return []; // xdotool exits 1 when none matches
  }
  const windows = [];
  for (const id of ids) {
    const geometry = await x('getwindowgeometry', '--shell', id).catch(() => '');
    const value = (key) => Number(new RegExp(`^${key}=(\\d+)$`, 'm').exec(geometry)?.[1]);
    if (geometry) windows.push({ id, x: value('X'), y: value('Y'), width: value('WIDTH'), height: value('HEIGHT') });
  }
  return windows.sort((a, b) => b.width * b.height - a.width * a.height);
}

async function findHostWindow() {
  const [main] = await namedWindows();
  if (!main || !(main.width > 600)) return false;
  host = main;
  return true;
}

async function shootHost() {
  const file = join(OUT, 'host.png');
  await run('import', ['-window', 'root', file]);
  const data = await run('convert', [file, '-depth', '8', 'rgb:-'], { binary: true });
  if (data.length !== SCREEN.width * SCREEN.height * 3) throw new Error(`host screenshot of ${data.length} bytes`);
  screen = { width: SCREEN.width, height: SCREEN.height, data };
  return screen;
}
const hostPixel = (x, y) => meanPixel(screen, host.x + x, host.y + y) ?? [];
const hostRect = (r) => ({ x: host.x + r.x, y: host.y + r.y, width: r.width, height: r.height });
async function hostClick([x, y]) {
  await xdotool('mousemove', String(host.x + x), String(host.y + y), 'sleep', '0.15', 'click', '1');
}
// Past the update card (the sidebar drawn), and online (the status card's dot in the accent).
const hostReady = () => near(hostPixel(96, 500), COLOURS.sidebar, 6) && near(hostPixel(33, 578), COLOURS.accent, 40);
// The page darkened under a prompt card.
const hostOverlay = () => (hostPixel(205, 700)[0] ?? 255) < 200;
const hostPrompt = () =>
  hostOverlay() &&
  near(hostPixel(470, 400), COLOURS.white, 8) &&
  (near(hostPixel(664, 424), '187A67', 14) || near(hostPixel(664, 424), '1D8D76', 14));
async function sharingBanner() {
  try {
    await xdotool('search', '--onlyvisible', '--name', '^Kestrova - Screen sharing$');
    return true;
  } catch {
    return false; // xdotool exits 1 when no window matches
  }
}
const toggleOn = ([x, y]) => (hostPixel(x + 3, y + 12)[0] ?? 255) < 150;

async function clipboard() {
  try {
    return (await run('xclip', ['-selection', 'clipboard', '-o'], { timeout: 3000 })).trim();
  } catch {
    return '';
  }
}
// Presses a copy button of the host; the text that then replaces its clipboard ('' when none).
async function hostCopy(button) {
  const before = await clipboard();
  await hostClick(button);
  for (let i = 0; i < 20; i++) {
    await sleep(250);
    const text = await clipboard();
    if (text && text !== before) return text;
  }
  return '';
}

async function ensureToggle(button, name) {
  await shootHost();
  if (toggleOn(button)) return;
  await hostClick([button[0] + 8, button[1] + 12]);
  await sleep(800);
  await shootHost();
  // Some toggles ask first ("Enable on this device?") in a message box named like the toggle:
  // its Yes button is 133 x 59 from the box's corner (Wine's message box with two buttons).
  for (let i = 0; i < 10 && !toggleOn(button); i++) {
    const boxes = await xdotool('search', '--onlyvisible', '--name', `^${name}$`).catch(() => '');
    for (const box of boxes.trim().split('\n').filter(Boolean)) {
      const geometry = await xdotool('getwindowgeometry', '--shell', box);
      const value = (key) => Number(new RegExp(`^${key}=(\\d+)$`, 'm').exec(geometry)?.[1]);
      await xdotool('mousemove', String(value('X') + 133), String(value('Y') + 59), 'sleep', '0.3', 'mousedown', '1', 'sleep', '0.1', 'mouseup', '1');
    }
    await sleep(500);
    await shootHost();
  }
  if (!toggleOn(button)) throw new Error(`the host's "${name}" toggle does not turn on`);
}

const desktopLog = () => parseDesktopLog(readFileSync(DESKTOP_LOG, 'utf8'));

// ---- The page -------------------------------------------------------------------------------------

// Installed before the page's own script (outside its content policy): records each JPEG the page
// decodes (the time it took and its size: a whole picture, or one rectangle of a region frame) and
// each draw of the picture on the view's canvas (its size, and the watched pixel read back right
// after the draw).
function instrument() {
  const record = { decodes: [], draws: 0, picture: null, watch: null, changes: [], clip: null, shares: [] };
  window.__e2e = record;
  const decode = window.createImageBitmap;
  window.createImageBitmap = async function (source, ...rest) {
    const start = performance.now();
    const bitmap = await decode.call(this, source, ...rest);
    if (source instanceof Blob && source.type === 'image/jpeg') {
      record.decodes.push({ ms: performance.now() - start, at: Date.now(), width: bitmap.width, height: bitmap.height });
    }
    return bitmap;
  };
  // The clip rectangle the page sets around a changed area (until it restores the context).
  const { rect, restore } = CanvasRenderingContext2D.prototype;
  CanvasRenderingContext2D.prototype.rect = function (x, y, width, height) {
    if (this.canvas.id === 'view') record.clip = width * height;
    return rect.call(this, x, y, width, height);
  };
  CanvasRenderingContext2D.prototype.restore = function () {
    if (this.canvas.id === 'view') record.clip = null;
    return restore.call(this);
  };
  const draw = CanvasRenderingContext2D.prototype.drawImage;
  CanvasRenderingContext2D.prototype.drawImage = function (image, ...rest) {
    const result = draw.call(this, image, ...rest);
    if (this.canvas.id === 'view' && (image instanceof ImageBitmap || image instanceof OffscreenCanvas)) {
      record.draws++;
      const whole = this.canvas.width * this.canvas.height;
      record.shares.push({ at: Date.now(), share: Math.min(1, (record.clip ?? whole) / whole) });
      record.picture = { width: image.width, height: image.height };
      const watch = record.watch;
      if (watch) {
        const p = this.getImageData(watch.x, watch.y, 1, 1).data;
        const rgb = [p[0], p[1], p[2]];
        if (!watch.last || rgb.some((v, i) => Math.abs(v - watch.last[i]) > 40)) {
          record.changes.push({ at: Date.now(), rgb });
          watch.last = rgb;
        }
      }
    }
    return result;
  };
}

let browser = null;
let page = null;
const consoleLines = [];

async function openPage() {
  browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    headless: true,
    args: [
      '--no-sandbox',
      '--disable-gpu',
      `--ignore-certificate-errors-spki-list=${SPKI}`,
      `--window-size=${PAGE_SIZE.width},${PAGE_SIZE.height}`,
    ],
    defaultViewport: PAGE_SIZE,
  });
  page = await browser.newPage();
  page.on('console', (message) => consoleLines.push(`console ${message.type()}: ${message.text()}`));
  page.on('pageerror', (error) => consoleLines.push(`page error: ${error.message}`));
  // A failed load's console message does not name what failed: the answers do.
  page.on('response', (response) => {
    if (response.status() >= 400) consoleLines.push(`answer ${response.status()}: ${new URL(response.url()).pathname}`);
  });
  await page.evaluateOnNewDocument(instrument);
  await page.goto(`${URL_}?lang=en`, { waitUntil: 'load' });
}

const shootPage = (name) => page.screenshot({ path: join(SHOTS, `${name}-page.png`) });
async function shoot(name) {
  if (page) await shootPage(name);
  try {
    copyFileSync(join(OUT, 'host.png'), join(SHOTS, `${name}-host.png`));
  } catch {
    // no screenshot of the host yet
  }
}

// The view canvas's geometry and the size of the picture last decoded.
async function viewGeometry() {
  return page.evaluate(() => {
    const canvas = document.getElementById('view');
    const box = canvas.getBoundingClientRect();
    return {
      canvas: { width: canvas.width, height: canvas.height },
      box: { left: box.left, top: box.top, width: box.width, height: box.height },
      picture: window.__e2e.picture,
    };
  });
}
async function canvasPixels(points) {
  return page.evaluate((points) => {
    const context = document.getElementById('view').getContext('2d');
    return points.map(({ x, y }) => {
      const d = context.getImageData(Math.round(x) - 2, Math.round(y) - 2, 5, 5).data;
      const sum = [0, 0, 0];
      for (let i = 0; i < d.length; i += 4) for (let c = 0; c < 3; c++) sum[c] += d[i + c];
      return sum.map((v) => Math.round(v / 25));
    });
  }, points);
}
// Client (CSS) coordinates of the host's screen point in the page, fitted.
async function pagePoint(x, y) {
  const g = await viewGeometry();
  const p = fitPoint(g.canvas, g.picture, SCREEN, x, y);
  return { x: g.box.left + (p.x * g.box.width) / g.canvas.width, y: g.box.top + (p.y * g.box.height) / g.canvas.height };
}
// What the page has received in this session, as it writes it on the view canvas: frames, of them
// region frames, and their bytes.
const received = () =>
  page.$eval('#view', (node) => ({ frames: Number(node.dataset.frames ?? 0), regionFrames: Number(node.dataset.regionFrames ?? 0), bytes: Number(node.dataset.bytes ?? 0) }));
const statusText = () => page.$eval('#status', (node) => node.textContent ?? '');
const remoteShown = () => page.$eval('#remote-page', (node) => !node.hidden);

// ---- Steps ----------------------------------------------------------------------------------------

async function until(seconds, check, what) {
  const deadline = Date.now() + seconds * 1000;
  for (;;) {
    if (await check()) return;
    if (Date.now() > deadline) throw new Error(`${what} within ${seconds} s`);
    await sleep(400);
  }
}

const state = { id: '', password: '' };
const figures = [];

async function stepHostReady() {
  await until(120, async () => (await findHostWindow()) && (await shootHost()) && hostReady(), 'the host Ready');
  await ensureToggle(HOST.toggleApproval, 'Ask before every connection');
  await ensureToggle(HOST.toggleControl, 'Keyboard and mouse');
  await ensureToggle(HOST.toggleClipboard, 'Sync clipboard');
  state.id = (await hostCopy(HOST.copyId)).replace(/\s/g, '');
  state.password = await hostCopy(HOST.copyPassword);
  if (!/^[1-9][0-9]{8}$/.test(state.id)) throw new Error(`the copied ID '${state.id}' is not 9 digits`);
  if (!/^[A-HJ-NP-Z2-9]{4}-?[A-HJ-NP-Z2-9]{4}$/.test(state.password)) throw new Error('the copied password is not XXXX-XXXX');
  await openPage();
}

async function connect(password) {
  await page.click('#remote-id', { count: 3 });
  await page.keyboard.press('Backspace');
  await page.type('#remote-id', state.id);
  await page.type('#remote-password', password);
  await page.click('#connect');
}

let connectedAt = 0;
async function stepConnectAllow() {
  await connect(state.password);
  const start = Date.now();
  await until(30, async () => (await shootHost()) && hostPrompt(), 'no prompt on the host');
  await shoot('2-prompt');
  await hostClick(HOST.allow);
  connectedAt = Date.now();
  figures.push(`Connect to the host's prompt: ${((connectedAt - start) / 1000).toFixed(1)} s`);
}

async function stepPattern() {
  await until(30, remoteShown, 'no remote view in the page');
  await patternShown(30);
  figures.push(`Allow to the test pattern drawn in the page: ${((Date.now() - connectedAt) / 1000).toFixed(1)} s`);
}

// The host's test pattern in the canvas, checked at the cells no window covers.
async function patternShown(seconds) {
  let bad = '';
  await until(
    seconds,
    async () => {
      const g = await viewGeometry();
      if (!g.picture) return (bad = 'no frame decoded'), false;
      await shootHost();
      const log = desktopLog();
      const covered = [host, log.ready, { x: SCREEN.width - 420, y: SCREEN.height - 140, width: 420, height: 140 }];
      const cells = patternCells(SCREEN.width, SCREEN.height, covered.filter(Boolean));
      if (cells.length < 8) return (bad = `only ${cells.length} cells uncovered`), false;
      const seen = await canvasPixels(cells.map((cell) => fitPoint(g.canvas, g.picture, SCREEN, cell.x, cell.y)));
      const wrong = cells.filter((cell, i) => !near(seen[i], cell.colour, 48));
      bad = wrong.length ? `cell ${wrong[0].column},${wrong[0].row} shows ${seen[cells.indexOf(wrong[0])]}, expected #${wrong[0].colour}` : '';
      return wrong.length === 0;
    },
    'the test pattern in the canvas',
  ).catch((error) => {
    throw new Error(`${error.message}: ${bad}`);
  });
}

// After the figures' window moves, all composed from region frames onto the first picture, the
// pattern is still whole in the canvas.
async function stepPatternAgain() {
  const { regionFrames } = await received();
  if (regionFrames < 10) throw new Error(`only ${regionFrames} region frames received`);
  await patternShown(10);
  figures.push(`page: ${regionFrames} region frames composed in the session, the test pattern still right`);
}

async function stepInput() {
  const log = desktopLog();
  const target = { x: log.ready.x + Math.floor(log.ready.width / 2), y: log.ready.y + Math.floor(log.ready.height / 2) + 10 };
  const before = log.clicks.length;
  const point = await pagePoint(target.x, target.y);
  await page.mouse.move(point.x, point.y);
  await sleep(300);
  await page.mouse.click(point.x, point.y);
  let where = '';
  await until(
    15,
    () => {
      const clicks = desktopLog().clicks;
      if (clicks.length <= before) return false;
      const click = clicks.at(-1);
      where = `${click.x},${click.y}`;
      return (click.x - target.x) ** 2 + (click.y - target.y) ** 2 <= 64;
    },
    `the click at ${target.x},${target.y} on the recording window (got ${where || 'none'})`,
  );
  await page.keyboard.type('kestrova', { delay: 100 });
  await until(15, () => containsTyped(desktopLog().chars, 'kestrova'), 'the typed text in the recording window');
  await shootHost();
}

async function stepChat() {
  await hostClick(HOST.navChat);
  await sleep(800);
  const before = await shootHost();
  await page.click('#chat');
  await page.waitForSelector('#chat-text', { visible: true });
  await page.type('#chat-text', 'Hello from the browser');
  await page.keyboard.press('Enter');
  const log = hostRect(HOST.chatLog);
  await until(
    15,
    async () => {
      const now = await shootHost();
      return pixelsApart(before, now, log) > 20 && pixelsApart(now, COLOURS.white, log) > 20;
    },
    "the chat line in the host's chat log",
  );
  const line = await page.$eval('#chat-log', (node) => node.lastElementChild?.textContent ?? '');
  if (!line.includes('Hello from the browser')) throw new Error(`the page's chat log ends with '${line}'`);
  await page.click('#chat-panel .close');
}

// "Send clipboard" reads the browser's clipboard on the click (permission granted here, as a
// person would on the browser's question); the host's user allows the text onto its clipboard.
async function stepClipboard() {
  await browser.defaultBrowserContext().overridePermissions(new URL(URL_).origin, ['clipboard-read', 'clipboard-sanitized-write']);
  const text = `Kestrova clipboard ${Date.now()}`;
  await page.bringToFront();
  await page.evaluate((value) => navigator.clipboard.writeText(value), text);
  await page.click('#chat');
  await page.waitForSelector('#send-clipboard', { visible: true });
  await page.click('#send-clipboard');
  const strip = () => page.$eval('#strip-first', (node) => node.textContent ?? '');
  await until(3, async () => (await strip()) === 'Sent', "'Sent' in the page's status strip");
  // The host's user is asked whether to take the text.
  await until(15, async () => (await shootHost()) && hostPrompt(), "the host's clipboard prompt");
  await shoot('6-clipboard-prompt');
  await hostClick(HOST.allow);
  await until(15, async () => (await clipboard()) === text, `'${text}' on the host's clipboard`);
  await page.click('#chat-panel .close');
}

// ---- Figures --------------------------------------------------------------------------------------

// The relay's count of forwarded messages (both ways: frames and their acknowledgements, input).
function forwardedMessages() {
  return new Promise((done, failed) => {
    get(`${URL_}metrics`, { ca: readFileSync(CERT) }, (response) => {
      let text = '';
      response.setEncoding('utf8');
      response.on('data', (chunk) => (text += chunk));
      response.on('end', () => {
        const values = [...text.matchAll(/^kestrova_relay_forwarded_messages_total(?:\{[^}]*\})? (\d+)$/gm)].map((m) => Number(m[1]));
        if (values.length === 0) failed(new Error('no kestrova_relay_forwarded_messages_total in /metrics'));
        else done(values.reduce((a, b) => a + b, 0));
      });
    }).on('error', failed);
  });
}

async function recordingWindow() {
  const log = desktopLog();
  const id = (await xdotool('search', '--onlyvisible', '--name', '^Recording window$')).trim().split('\n')[0];
  // Two places: the first covers `probe`, the second (400 px to the left) does not.
  const places = [log.ready, { ...log.ready, x: log.ready.x - 400 }];
  const probe = { x: log.ready.x + log.ready.width - 100, y: log.ready.y + 60 };
  const move = (place, dx = 0) => xdotool('windowmove', id, String(place.x + dx), String(place.y));
  return { places, probe, move };
}

// Times 12 moves of the recording window (X requests, outside the host's programs) until the
// viewer draws them: `timeChange(move)` does the move and gives the milliseconds until the change
// was drawn, or null. Then keeps the window moving for 5 s and counts the messages the relay
// forwarded meanwhile. The window goes back to its place.
// `sample`, when given, is read at the start and at the end of the 5 s (result.samples).
async function measureStream(windowAt, timeChange, sample = async () => null) {
  const latencies = [];
  for (let i = 0; i < 12; i++) {
    await sleep(700);
    const ms = await timeChange(() => windowAt.move(windowAt.places[(i + 1) % 2]));
    if (ms !== null) latencies.push(ms);
  }
  const before = await forwardedMessages();
  const first = await sample();
  const start = Date.now();
  for (let i = 0; Date.now() < start + 5000; i++) {
    await windowAt.move(windowAt.places[i % 2], (i % 7) * 10);
    await sleep(30);
  }
  const seconds = (Date.now() - start) / 1000;
  const samples = [first, await sample()];
  const forwarded = (await forwardedMessages()) - before;
  await windowAt.move(windowAt.places[0]);
  return { latency: summary(latencies), forwardedPerSecond: forwarded / seconds, seconds, start, samples };
}

const results = {};
const latencyText = (l) => (l ? `median ${l.median} ms, 90% ${l.p90} ms, min ${l.min} ms (${l.count} of 12)` : 'none seen');

// The page: each draw on the view canvas reads the watched pixel back (see instrument()).
async function stepFigures() {
  const windowAt = await recordingWindow();
  const g = await viewGeometry();
  const at = fitPoint(g.canvas, g.picture, SCREEN, windowAt.probe.x, windowAt.probe.y);
  await page.evaluate((x, y) => (window.__e2e.watch = { x: Math.round(x), y: Math.round(y), last: null }), at.x, at.y);
  const decodesBefore = await page.evaluate(() => window.__e2e.decodes.length);
  const result = await measureStream(windowAt, async (move) => {
    const seen = await page.evaluate(() => window.__e2e.changes.length);
    const start = Date.now();
    await move();
    try {
      await until(5, async () => (await page.evaluate(() => window.__e2e.changes.length)) > seen, 'change');
    } catch {
      return null; // not drawn within 5 s: counted as lost
    }
    return (await page.evaluate((n) => window.__e2e.changes[n], seen)).at - start;
  }, received);
  await page.evaluate(() => (window.__e2e.watch = null));
  if (!result.latency || result.latency.count < 8) throw new Error('fewer than 8 of 12 screen changes reached the page');
  const decodes = (await page.evaluate(() => window.__e2e.decodes)).slice(decodesBefore).filter((d) => d.at >= result.start && d.at <= result.start + result.seconds * 1000);
  // The host's window moves are changes of a part of its screen: region frames are what the page
  // must receive while it moves.
  const [before, after] = result.samples;
  const frames = after.frames - before.frames;
  const regionFrames = after.regionFrames - before.regionFrames;
  if (frames < 10 || regionFrames < frames / 2) throw new Error(`${regionFrames} of ${frames} frames were region frames`);
  result.fps = frames / result.seconds;
  // What each draw of the moving window's frames covered of the view: only the changed area.
  const shares = (await page.evaluate(() => window.__e2e.shares)).filter((d) => d.at >= result.start && d.at <= result.start + result.seconds * 1000);
  const redrawn = summary(shares.map((d) => d.share * 100));
  if (!redrawn || redrawn.median >= 100) throw new Error('the page draws the whole view again for every change');
  result.kBps = (after.bytes - before.bytes) / 1000 / result.seconds;
  result.decode = summary(decodes.map((d) => d.ms));
  results.page = result;
  figures.push(`page: capture-to-drawn (a window moved on the host, seen in the canvas): ${latencyText(result.latency)}`);
  figures.push(
    `page: while the host's screen changes: ${result.fps.toFixed(1)} frames per second decoded and drawn ` +
      `(${regionFrames} of ${frames} region frames, ${result.kBps.toFixed(1)} kB/s), the relay forwarding ` +
      `${result.forwardedPerSecond.toFixed(1)} messages per second; decode of a received JPEG (a rectangle or the ` +
      `${g.picture.width} x ${g.picture.height} picture): median ${result.decode ? result.decode.median.toFixed(1) : '-'} ms`,
  );
  figures.push(
    `page: share of the view drawn again per frame while the window moves: median ${redrawn.median.toFixed(0)}%, ` +
      `90% ${redrawn.p90.toFixed(0)}% (${redrawn.count} draws)`,
  );

  // Decode-and-draw of a 1080p JPEG (the host's screen as it is) into a canvas of the view's size.
  await shootHost();
  const jpeg = await run('convert', [join(OUT, 'host.png'), '-quality', '80', '-sampling-factor', '4:2:0', 'jpg:-'], { binary: true });
  writeFileSync(join(OUT, 'host-1080p.jpg'), jpeg);
  const times = await page.evaluate(
    async (base64, width, height) => {
      const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
      const canvas = document.createElement('canvas');
      canvas.width = width;
      canvas.height = height;
      const context = canvas.getContext('2d');
      context.imageSmoothingQuality = 'high';
      const times = [];
      for (let i = 0; i < 25; i++) {
        const start = performance.now();
        const bitmap = await createImageBitmap(new Blob([bytes], { type: 'image/jpeg' }));
        const k = Math.min(width / bitmap.width, height / bitmap.height);
        context.drawImage(bitmap, 0, 0, bitmap.width * k, bitmap.height * k);
        context.getImageData(0, 0, 1, 1); // waits for the draw
        times.push(performance.now() - start);
        bitmap.close();
      }
      return times.slice(5); // the first ones warm the decoder up
    },
    jpeg.toString('base64'),
    g.canvas.width,
    g.canvas.height,
  );
  const draw = summary(times);
  figures.push(
    `page: decode-and-draw of a 1920 x 1080 JPEG (${(jpeg.length / 1024).toFixed(0)} KiB) into the ${g.canvas.width} x ` +
      `${g.canvas.height} view in Chromium: median ${draw.median.toFixed(1)} ms, min ${draw.min.toFixed(1)} ms (${draw.count} runs)`,
  );
}

// ---- The native viewer (a second Kestrova.exe) ---------------------------------------------------

const VIEWER = { remoteIdBox: [860, 233], passwordBox: [860, 301], connect: [860, 376], viewTop: 52, strip: 22, toolbar: '141D29' };
let viewer = null;
let viewerScreen = null;
async function shootViewer() {
  const file = join(OUT, 'viewer.png');
  await run('import', ['-window', 'root', file], { display: VIEWER_DISPLAY });
  const data = await run('convert', [file, '-depth', '8', 'rgb:-'], { binary: true });
  viewerScreen = { width: 1280, height: 800, data };
  return true;
}
async function findViewerWindow() {
  const [main] = await namedWindows(VIEWER_DISPLAY);
  if (!main || !(main.width > 600)) return false;
  viewer = main;
  return true;
}
const viewerPixel = (x, y) => meanPixel(viewerScreen, viewer.x + x, viewer.y + y) ?? [];
const viewerReady = () => near(viewerPixel(96, 500), COLOURS.sidebar, 6) && near(viewerPixel(33, 578), COLOURS.accent, 40);
const viewerRemote = () => near(viewerPixel(400, 4), VIEWER.toolbar, 10);
const viewerX = (...args) => run('xdotool', args, { display: VIEWER_DISPLAY });
async function viewerPaste(text, [x, y]) {
  const server = spawn('xclip', ['-selection', 'clipboard', '-i', '-quiet'], { env: { ...process.env, DISPLAY: VIEWER_DISPLAY }, stdio: ['pipe', 'ignore', 'ignore'] });
  server.stdin.end(text);
  await sleep(300);
  await viewerX('mousemove', String(viewer.x + x), String(viewer.y + y), 'sleep', '0.15', 'click', '1');
  await viewerX('key', '--clearmodifiers', 'End', 'shift+Home', 'BackSpace', 'ctrl+v');
  await sleep(500);
  server.kill();
}
// The viewer's screen point showing the host's point (x, y): the picture fitted into the view
// area under the toolbar and above the status strip.
function viewerPoint(x, y) {
  const area = { width: viewer.width, height: viewer.height - VIEWER.viewTop - VIEWER.strip };
  const p = fitPoint(area, SCREEN, SCREEN, x, y);
  return { x: Math.round(viewer.x + p.x), y: Math.round(viewer.y + VIEWER.viewTop + p.y) };
}
// Starts pixel_watch.py on the viewer's display and resolves with a function that waits for its
// report once `ready` was read.
function watchViewerPixel(point) {
  return new Promise((done, failed) => {
    const child = spawn('python3', [new URL('./pixel_watch.py', import.meta.url).pathname, String(point.x), String(point.y), '5'], {
      env: { ...process.env, DISPLAY: VIEWER_DISPLAY },
      stdio: ['ignore', 'pipe', 'inherit'],
    });
    const lines = createInterface({ input: child.stdout });
    let report = null;
    const reported = new Promise((resolve) => (report = resolve));
    let ready = false;
    lines.on('line', (line) => {
      if (line.startsWith('ready')) {
        ready = true;
        done(() => reported);
      } else {
        report(line);
      }
    });
    child.on('error', failed);
    child.on('exit', () => {
      report('exit');
      if (!ready) failed(new Error('pixel_watch.py ended before reading the pixel'));
    });
  });
}

async function endOnHostBanner() {
  const banner = (await xdotool('search', '--onlyvisible', '--name', '^Kestrova - Screen sharing$')).trim().split('\n')[0];
  const geometry = await xdotool('getwindowgeometry', '--shell', banner);
  const value = (key) => Number(new RegExp(`^${key}=(\\d+)$`, 'm').exec(geometry)?.[1]);
  await xdotool('mousemove', String(value('X') + 262), String(value('Y') + 24), 'sleep', '0.2', 'click', '1');
}

async function newHostCredentials() {
  await until(20, async () => !(await sharingBanner()), "the host's sharing banner gone");
  // A host whose viewer left is offline until its user asks for new credentials.
  // The session's state gone from the host's window too ("Stop sharing" at the top right), and
  // settled: a host whose viewer left shows Ready only after it registered again.
  await until(20, async () => (await shootHost()) && !hostOverlay() && near(hostPixel(900, 64), COLOURS.page, 8), "the host's session view gone");
  await sleep(1000);
  await shootHost();
  for (let attempt = 0; attempt < 4 && !hostReady(); attempt++) {
    await hostClick(HOST.navConnections);
    await sleep(700);
    await hostClick(HOST.newCredentials);
    await until(8, async () => (await shootHost()) && !hostOverlay() && hostReady(), 'ready').catch(() => undefined);
  }
  if (!hostReady()) throw new Error('the host not Ready after "New ID and password" (four times)');
  await hostClick(HOST.navConnections);
  await sleep(500);
  const first = state.id;
  state.id = (await hostCopy(HOST.copyId)).replace(/\s/g, '') || (await hostCopy(HOST.copyId)).replace(/\s/g, '');
  state.password = await hostCopy(HOST.copyPassword);
  if (!/^[1-9][0-9]{8}$/.test(state.id)) throw new Error(`the host shows no ID after the session ('${state.id}')`);
  if (state.id === first) throw new Error(`the host kept its ID ${first} after the session`);
}

async function stepNative() {
  await page.click('#end');
  await until(20, async () => !(await remoteShown()), 'the page back at the connect form after End session');
  await newHostCredentials();
  await until(60, async () => (await findViewerWindow()) && (await shootViewer()) && viewerReady(), 'the native viewer Ready');
  await viewerPaste(state.id, VIEWER.remoteIdBox);
  await viewerPaste(state.password, VIEWER.passwordBox);
  await viewerX('mousemove', String(viewer.x + VIEWER.connect[0]), String(viewer.y + VIEWER.connect[1]), 'sleep', '0.15', 'click', '1');
  await until(30, async () => (await shootHost()) && hostPrompt(), 'no prompt on the host for the native viewer');
  await hostClick(HOST.allow);
  await until(30, async () => (await shootViewer()) && viewerRemote(), 'the native viewer showing the remote view');
  await sleep(1500);
  const windowAt = await recordingWindow();
  const point = viewerPoint(windowAt.probe.x, windowAt.probe.y);
  const result = await measureStream(windowAt, async (move) => {
    const wait = await watchViewerPixel(point);
    const start = Date.now();
    await move();
    const report = (await wait()).split(' ');
    return report[0] === 'changed' ? Number(report[1]) - start : null;
  });
  await shootViewer();
  copyFileSync(join(OUT, 'viewer.png'), join(SHOTS, '7-native-viewer.png'));
  if (!result.latency || result.latency.count < 8) throw new Error('fewer than 8 of 12 screen changes reached the native viewer');
  results.native = result;
  const page_ = results.page;
  figures.push(`native viewer: capture-to-drawn (the same moves, seen on its display): ${latencyText(result.latency)}`);
  figures.push(`native viewer: the relay forwarding ${result.forwardedPerSecond.toFixed(1)} messages per second while the screen changes`);
  if (page_) {
    figures.push(
      `page / native viewer: capture-to-drawn median ${(page_.latency.median / result.latency.median).toFixed(2)}, ` +
        `messages forwarded per second ${(page_.forwardedPerSecond / result.forwardedPerSecond).toFixed(2)} (same run, same host)`,
    );
  }
  await endOnHostBanner();
  await until(20, async () => (await shootViewer()) && !viewerRemote(), 'the native viewer back at its pages after the host ended');
  await newHostCredentials();
}

async function stepWrongPassword() {
  const wrong = state.password.replace(/-/g, '') === 'ABCDEFGH' ? 'EFGH-ABCD' : 'ABCD-EFGH';
  await connect(wrong);
  await until(30, async () => (await statusText()) === 'Security verification failed', "'Security verification failed' in the page");
  await sleep(1500);
  await shootHost();
  if ((await statusText()) !== 'Security verification failed') throw new Error(`the status changed to '${await statusText()}'`);
  if (await remoteShown()) throw new Error('the page shows a remote view');
  if (hostOverlay()) throw new Error('the host asks about a connection with a wrong password');
  if (!hostReady()) throw new Error('the host is no longer Ready');
  const idNow = (await hostCopy(HOST.copyId)).replace(/\s/g, '');
  if (idNow !== state.id) throw new Error(`the host's ID changed from ${state.id} to ${idNow}`);
}

const steps = [
  ['the host Ready; its ID and password copied, approval, keyboard and mouse and clipboard on', stepHostReady],
  ['the page connects; the host asks, Allow', stepConnectAllow],
  ["the host's test pattern in the page's canvas", stepPattern],
  ['a click and typing in the page reach the recording window', stepInput],
  ["a chat line from the page in the host's chat log", stepChat],
  ["the page's clipboard text, allowed on the host, on the host's clipboard", stepClipboard],
  ['figures of the page', stepFigures],
  ['the test pattern still in the canvas after the region frames', stepPatternAgain],
  ['the same figures with the native viewer (a second Kestrova.exe)', stepNative],
  ["a wrong password: 'Security verification failed', the host stays Ready", stepWrongPassword],
];

let passed = 0;
let failed = 0;
let skipped = 0;
try {
  for (const [index, [title, step]] of steps.entries()) {
    const n = index + 1;
    if (failed) {
      skipped++;
      console.log(`step ${n}: ${title}: skipped`);
      continue;
    }
    const start = Date.now();
    const took = () => `${((Date.now() - start) / 1000).toFixed(1)} s`;
    try {
      await step();
      passed++;
      await shoot(`${n}-ok`).catch(() => undefined);
      console.log(`step ${n}: ${title}: ok (${took()})`);
    } catch (error) {
      failed++;
      await shootHost().catch(() => undefined);
      await shoot(`${n}-FAILED`).catch(() => undefined);
      console.log(`step ${n}: ${title}: FAILED: ${error.message} (${took()}; screenshots ${SHOTS}/${n}-FAILED-*.png)`);
    }
  }
} finally {
  if (browser) await browser.close().catch(() => undefined);
}
for (const line of figures) console.log(`web-e2e: ${line}`);
// The readbacks of this program's instrumentation make Chromium suggest willReadFrequently; a
// failed load is counted by its answer (which names it), and the browser's own request for
// /favicon.ico is answered 404 by the relay, which serves only the page.
const problems = consoleLines.filter(
  (line) =>
    !/^console (log|info|debug)/.test(line) &&
    !line.includes('willReadFrequently') &&
    !line.startsWith('console error: Failed to load resource') &&
    line !== 'answer 404: /favicon.ico',
);
for (const line of problems) console.log(`web-e2e: page ${line}`);
console.log(`web-e2e: ${passed} passed, ${failed} failed, ${skipped} skipped${problems.length ? `; ${problems.length} console messages` : ''}`);
process.exitCode = failed || problems.length ? 1 : 0;
