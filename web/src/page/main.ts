// The page: the connect form, then the remote view with its toolbar, panels and status strip.
// `?preview` shows the remote view with a test pattern and no network (for looking at the page).
// Nothing is stored in the browser; a session's secrets go with the session.
import { STATUS } from '../viewer.js';
import type { ViewerControl } from '../control.js';
import type { RegionRect } from '../frames.js';
import type { Picture } from './picture.js';
import { connectionInfoText, viewerStatusLine, ViewerFigures } from './figures.js';
import { language, LANGUAGES, matchLanguage, setLanguage, t } from './i18n.js';
import { virtualKeys } from './keys.js';
import { InvalidInput, Session } from './session.js';
import { SessionTools, WritableFile, WritableSink } from './tools.js';
import {
  actualSize,
  applyZoomPreset,
  fitToWindow,
  initialView,
  layoutImage,
  panBy,
  pointerToRemote,
  Rect,
  ViewState,
  ZOOM_IN,
  ZOOM_OUT,
  ZOOM_PRESETS,
  zoomStep,
} from './view.js';

const PROFILES = ['Automatic', 'Data saver', 'Balanced', 'High quality'];
const FAILURES = new Set<string>([STATUS.securityFailed, STATUS.closed, STATUS.timedOut, STATUS.invalidFormat, 'Too many attempts. Wait one minute.']);
const NOTICE_MS = 4000;
const MOVE_INTERVAL_MS = 10;

interface Model {
  picture: Picture | null;
  view: ViewState;
  tools: SessionTools;
  control: ViewerControl | null;
  figuresNow(widthCss: number): ViewerFigures;
}

const $ = <T extends HTMLElement = HTMLElement>(id: string) => document.getElementById(id) as T;
const el = {
  connectPage: $('connect-page'),
  remotePage: $('remote-page'),
  form: $<HTMLFormElement>('connect-form'),
  id: $<HTMLInputElement>('remote-id'),
  password: $<HTMLInputElement>('remote-password'),
  connect: $<HTMLButtonElement>('connect'),
  status: $('status'),
  language: $<HTMLSelectElement>('language'),
  canvas: $<HTMLCanvasElement>('view'),
  stage: $('stage'),
  waiting: $('waiting'),
  menu: $('menu'),
  zoomLabel: $('zoom-label'),
  displayLabel: $('display-label'),
  filesLabel: $('files-label'),
  stripFirst: $('strip-first'),
  stripSecond: $('strip-second'),
  chatPanel: $('chat-panel'),
  chatLog: $('chat-log'),
  chatForm: $<HTMLFormElement>('chat-form'),
  chatText: $<HTMLInputElement>('chat-text'),
  filesPanel: $('files-panel'),
  filesStatus: $('files-status'),
  filesProgress: $<HTMLProgressElement>('files-progress'),
  fileInput: $<HTMLInputElement>('file-input'),
  downloads: $('downloads'),
  offer: $('offer'),
  offerText: $('offer-text'),
  infoDialog: $<HTMLDialogElement>('info-dialog'),
  infoText: $('info-text'),
};

let session: Session | null = null;
let model: Model | null = null;
let notice: { key: string; until: number } | null = null;
let statusKey = '';
const downloads: string[] = [];

// ---- Texts ------------------------------------------------------------------------------------

function translatePage(): void {
  document.documentElement.lang = LANGUAGES[language()].code;
  for (const node of document.querySelectorAll<HTMLElement>('[data-t]')) node.textContent = t(node.dataset.t!);
  for (const node of document.querySelectorAll<HTMLInputElement>('[data-tp]')) node.placeholder = t(node.dataset.tp!);
  for (const node of document.querySelectorAll<HTMLElement>('[data-tt]')) {
    node.title = t(node.dataset.tt!);
    node.setAttribute('aria-label', node.title);
  }
  el.id.setAttribute('aria-label', t('Enter the other device ID.'));
  showStatus(statusKey);
  render();
}

function showStatus(key: string): void {
  statusKey = key;
  el.status.textContent = key ? t(key) : '';
  el.status.classList.toggle('error', FAILURES.has(key));
  el.status.classList.toggle('ok', key === STATUS.encrypted);
}

function showNotice(key: string): void {
  notice = { key, until: performance.now() + NOTICE_MS };
  render();
  window.setTimeout(render, NOTICE_MS + 50);
}

function formatSize(bytes: number): string {
  const units = ['B', 'KB', 'MB', 'GB'];
  let value = bytes;
  let unit = 0;
  while (value >= 1000 && unit < units.length - 1) {
    value /= 1000;
    unit++;
  }
  return `${unit === 0 ? value : value.toFixed(1)} ${units[unit]}`;
}

// ---- Drawing ----------------------------------------------------------------------------------

function deviceArea(): Rect {
  return { x: 0, y: 0, width: el.canvas.width, height: el.canvas.height };
}

function resizeCanvas(): void {
  const ratio = window.devicePixelRatio || 1;
  const width = Math.max(1, Math.round(el.stage.clientWidth * ratio));
  const height = Math.max(1, Math.round(el.stage.clientHeight * ratio));
  if (el.canvas.width !== width || el.canvas.height !== height) {
    el.canvas.width = width;
    el.canvas.height = height;
  }
}

// Where the last whole draw put which picture: a change alone is drawn the same way while
// neither the picture, the canvas nor the placement changed since.
let drawnAt: { picture: Picture; placed: Rect; canvas: string } | null = null;

function drawPicture(context: CanvasRenderingContext2D, picture: Picture, placed: Rect, view: ViewState): void {
  context.imageSmoothingEnabled = view.fit || view.zoom < 1;
  context.imageSmoothingQuality = 'high';
  context.drawImage(picture, placed.x, placed.y, placed.width, placed.height);
}

function render(): void {
  if (!model || el.remotePage.hidden) return;
  resizeCanvas();
  const context = el.canvas.getContext('2d');
  if (!context) return;
  const { picture, view, tools, control } = model;
  context.fillStyle = '#090e16';
  context.fillRect(0, 0, el.canvas.width, el.canvas.height);
  let shownZoom = view.zoom;
  drawnAt = null;
  if (picture) {
    const placed = layoutImage(view, deviceArea(), picture.width, picture.height);
    drawPicture(context, picture, placed, view);
    drawnAt = { picture, placed, canvas: `${el.canvas.width}x${el.canvas.height}` };
    shownZoom = placed.width / picture.width;
  }
  el.waiting.hidden = !!picture;
  el.zoomLabel.textContent = `${Math.round(shownZoom * 100)}%`;
  $('fit').classList.toggle('active', view.fit);
  $('full-screen').classList.toggle('active', !!document.fullscreenElement);
  el.displayLabel.textContent = `${t('Display')} ${(control?.selected ?? 0) + 1}`;

  const line = viewerStatusLine(model.figuresNow(document.documentElement.clientWidth));
  const current = notice && performance.now() < notice.until ? notice.key : '';
  el.stripFirst.textContent = t(current || line.first);
  el.stripFirst.classList.toggle('warning', current ? true : line.warning);
  el.stripSecond.textContent = line.second;

  const progress = tools.progress();
  el.filesLabel.textContent = progress ? `${percent(progress.done, progress.size)}%` : t('Files');
  el.filesStatus.textContent = tools.status ? t(tools.status) : '';
  el.filesStatus.classList.toggle('error', tools.status === 'File error');
  el.filesProgress.hidden = !progress;
  if (progress) el.filesProgress.value = progress.size ? progress.done / progress.size : 1;
  el.offer.hidden = !tools.offer;
  if (tools.offer) el.offerText.textContent = `${tools.offer.name}  (${formatSize(tools.offer.size)})`;
  renderChat(tools);
}

// A frame changed this area of the picture: only its place in the canvas is drawn again (clipped,
// so that it comes out exactly as a whole draw would), at the current fit or zoom.
function renderArea(area: RegionRect): void {
  if (!model?.picture || el.remotePage.hidden) return;
  const { picture, view } = model;
  resizeCanvas();
  const context = el.canvas.getContext('2d');
  const placed = layoutImage(view, deviceArea(), picture.width, picture.height);
  const same = (a: Rect, b: Rect) => a.x === b.x && a.y === b.y && a.width === b.width && a.height === b.height;
  if (!context || !drawnAt || drawnAt.picture !== picture || drawnAt.canvas !== `${el.canvas.width}x${el.canvas.height}` || !same(drawnAt.placed, placed)) {
    return render();
  }
  const kx = placed.width / picture.width;
  const ky = placed.height / picture.height;
  // Whole device pixels around the area, one more on each side for the smoothing filter's reach.
  const x0 = Math.max(0, Math.floor(placed.x + area.x * kx) - 1);
  const y0 = Math.max(0, Math.floor(placed.y + area.y * ky) - 1);
  const x1 = Math.min(el.canvas.width, Math.ceil(placed.x + (area.x + area.width) * kx) + 1);
  const y1 = Math.min(el.canvas.height, Math.ceil(placed.y + (area.y + area.height) * ky) + 1);
  if (x1 <= x0 || y1 <= y0) return;
  context.save();
  context.beginPath();
  context.rect(x0, y0, x1 - x0, y1 - y0);
  context.clip();
  drawPicture(context, picture, placed, view);
  context.restore();
}

function percent(done: number, size: number): number {
  return size === 0 ? 100 : Math.min(100, Math.floor((done * 100) / size));
}

let shownChatLines = -1;
function renderChat(tools: SessionTools): void {
  const lines = tools.chatLog;
  if (lines.length === shownChatLines && el.chatLog.lastElementChild?.textContent === lines[lines.length - 1]) return;
  shownChatLines = lines.length;
  el.chatLog.replaceChildren(
    ...lines.map((text) => {
      const item = document.createElement('li');
      item.textContent = text;
      if (text.startsWith('\u2192')) item.className = 'out';
      return item;
    }),
  );
  el.chatLog.scrollTop = el.chatLog.scrollHeight;
}

function showRemote(on: boolean): void {
  el.remotePage.hidden = !on;
  el.connectPage.hidden = on;
  if (on) {
    render();
    el.canvas.focus();
  }
}

// ---- Connecting -------------------------------------------------------------------------------

function relayUrl(): string {
  return `${location.protocol === 'https:' ? 'wss:' : 'ws:'}//${location.host}/ws`;
}

el.form.addEventListener('submit', (event) => {
  event.preventDefault();
  if (session && !session.ended) return;
  const typedPassword = el.password.value;
  el.password.value = '';
  for (const url of downloads.splice(0)) URL.revokeObjectURL(url);
  el.downloads.replaceChildren();
  try {
    session = Session.connect(relayUrl(), el.id.value, typedPassword, {
      status: (key) => showStatus(key), // the connect page's line; the strip has its own texts
      changed: () => {
        if (session?.active && session.control?.helloComplete && el.remotePage.hidden) showRemote(true);
        render();
      },
      drawn: (area) => {
        if (!session) return;
        const { frames, regionFrames, bytes } = session.received;
        Object.assign(el.canvas.dataset, { frames: String(frames), regionFrames: String(regionFrames), bytes: String(bytes) });
        renderArea(area);
      },
      ended: () => {
        closePanels();
        el.connect.disabled = false;
        showRemote(false);
        model = null;
      },
      fileReceived: (name, blob) => addDownload(name, blob),
    });
    model = session;
    el.connect.disabled = true;
  } catch (error) {
    showStatus(error instanceof InvalidInput ? STATUS.invalidFormat : STATUS.closed);
  }
});

function addDownload(name: string, blob: Blob | null): void {
  if (!blob) {
    // Written into the file the user chose as it arrived.
    const item = document.createElement('li');
    item.textContent = `${name}  \u2014  ${t('Completed')}`;
    el.downloads.append(item);
    el.filesPanel.hidden = false;
    return;
  }
  const url = URL.createObjectURL(blob);
  downloads.push(url);
  const link = document.createElement('a');
  link.href = url;
  link.download = name;
  link.textContent = `${name}  (${formatSize(blob.size)})`;
  const item = document.createElement('li');
  item.append(link);
  el.downloads.append(item);
  el.filesPanel.hidden = false;
  link.click(); // the browser's download, which marks the file as coming from the internet
}

// ---- Toolbar ----------------------------------------------------------------------------------

function zoom(factor: number): void {
  if (!model?.picture) return;
  zoomStep(model.view, deviceArea(), model.picture.width, model.picture.height, factor);
  render();
}

function openMenu(anchor: HTMLElement, items: ({ label: string; checked?: boolean; run: () => void } | null)[]): void {
  const menu = el.menu;
  menu.replaceChildren(
    ...items.map((item) => {
      if (!item) return document.createElement('hr');
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = item.label;
      button.setAttribute('role', 'menuitem');
      if (item.checked) button.className = 'checked';
      button.addEventListener('click', () => {
        menu.hidden = true;
        item.run();
        render();
      });
      return button;
    }),
  );
  const stage = el.stage.getBoundingClientRect();
  const box = anchor.getBoundingClientRect();
  menu.hidden = false;
  menu.style.left = `${Math.max(4, Math.min(box.left - stage.left, stage.width - menu.offsetWidth - 4))}px`;
}

function closePanels(): void {
  el.menu.hidden = true;
  el.chatPanel.hidden = true;
  el.filesPanel.hidden = true;
  if (el.infoDialog.open) el.infoDialog.close();
}

function command(id: string, run: (button: HTMLElement) => void): void {
  const button = $(id);
  button.addEventListener('click', (event) => {
    event.stopPropagation();
    const wasOpen = !el.menu.hidden;
    el.menu.hidden = true;
    if (wasOpen && el.menu.dataset.owner === id) return;
    el.menu.dataset.owner = id;
    run(button);
  });
}

command('zoom-in', () => zoom(ZOOM_IN));
command('zoom-out', () => zoom(ZOOM_OUT));
command('fit', () => {
  if (model) fitToWindow(model.view);
  render();
});
command('zoom', (button) => {
  const current = model;
  if (!current) return;
  const view = current.view;
  openMenu(button, [
    { label: t('Fit to window'), checked: view.fit, run: () => fitToWindow(view) },
    { label: '1:1 (100%)', checked: !view.fit && view.zoom === 1, run: () => actualSize(view) },
    null,
    ...ZOOM_PRESETS.map((p) => ({ label: `${p}%`, run: () => void (current.picture && applyZoomPreset(view, p)) })),
  ]);
});
command('full-screen', () => toggleFullScreen());
command('display', (button) => {
  const control = model?.control;
  const screens = control?.screens ?? [];
  openMenu(
    button,
    screens.map((screen, index) => ({
      label: `${t('Display')} ${index + 1}  (${screen.width} \u00d7 ${screen.height})`,
      checked: index === control!.selected,
      run: () => session?.selectDisplay(index),
    })),
  );
});
command('quality', (button) => {
  const control = model?.control;
  openMenu(
    button,
    PROFILES.map((name, index) => ({ label: t(name), checked: index === (control?.profile ?? 0), run: () => session?.selectQuality(index) })),
  );
});
command('end', () => session?.disconnect());
command('info', () => {
  if (!model) return;
  el.infoText.textContent = connectionInfoText(model.figuresNow(document.documentElement.clientWidth), t);
  el.infoDialog.showModal();
});
command('chat', () => {
  el.filesPanel.hidden = true;
  el.chatPanel.hidden = !el.chatPanel.hidden;
  if (!el.chatPanel.hidden) el.chatText.focus();
});
command('files', () => {
  el.chatPanel.hidden = true;
  el.filesPanel.hidden = !el.filesPanel.hidden;
});
for (const close of document.querySelectorAll<HTMLElement>('[data-close]')) {
  close.addEventListener('click', () => {
    $(close.dataset.close!).hidden = true;
    el.canvas.focus();
  });
}
document.addEventListener('click', (event) => {
  if (!el.menu.contains(event.target as Node)) el.menu.hidden = true;
});

function toggleFullScreen(): void {
  if (document.fullscreenElement) void document.exitFullscreen().catch(() => undefined);
  else void document.documentElement.requestFullscreen().catch(() => showNotice('Action unavailable or failed'));
}
document.addEventListener('fullscreenchange', () => render());

// ---- Chat, clipboard, files -------------------------------------------------------------------

el.chatForm.addEventListener('submit', (event) => {
  event.preventDefault();
  const text = el.chatText.value;
  try {
    model?.tools.sendChat(text);
    el.chatText.value = '';
  } catch {
    showNotice('Action unavailable or failed');
  }
  render();
});

$('send-clipboard').addEventListener('click', () => {
  const tools = model?.tools;
  if (!tools) return;
  // Read on the user's click, the only moment the browser allows it.
  navigator.clipboard
    .readText()
    .then((text) => showNotice(tools.sendClipboard(text) ? 'Sent' : 'Permission disabled'))
    .catch(() => showNotice('Action unavailable or failed'));
});

$('send-file').addEventListener('click', () => {
  if (!model?.tools.canOffer()) return showNotice('Permission disabled');
  el.fileInput.value = '';
  el.fileInput.click();
});
el.fileInput.addEventListener('change', () => {
  const file = el.fileInput.files?.[0];
  if (!file || !model || model !== session) return;
  try {
    model.tools.offerFile(file, file.name, performance.now());
  } catch {
    showNotice('Action unavailable or failed');
  }
  el.fileInput.value = '';
  render();
});
$('cancel-transfer').addEventListener('click', () => {
  model?.tools.cancelAll();
  render();
});
// Where the browser lets the page write a file the user chose (Chromium's save picker), a
// received file is written there as it arrives; elsewhere it is held in memory until it is
// complete and then handed to the browser's download.
type SavePicker = (options: { suggestedName: string }) => Promise<{ createWritable(): Promise<WritableFile> }>;

function accept(offerId: string, sink?: WritableSink): void {
  const tools = model?.tools;
  if (!tools || tools.offer?.id !== offerId) {
    sink?.abort(); // the offer went (cancelled, or the session ended) while the user chose
    return;
  }
  try {
    tools.acceptOffer(performance.now(), sink);
    el.filesPanel.hidden = false;
  } catch {
    showNotice('Action unavailable or failed');
  }
  render();
}

$('offer-accept').addEventListener('click', () => {
  const offer = model?.tools.offer;
  if (!offer) return;
  const pick = (window as unknown as { showSaveFilePicker?: SavePicker }).showSaveFilePicker;
  if (typeof pick !== 'function') return accept(offer.id);
  pick
    .call(window, { suggestedName: offer.name })
    .then((handle) => handle.createWritable())
    .then(
      (file) => accept(offer.id, new WritableSink(file)),
      (error: unknown) => {
        // Closing the picker leaves the offer open; any other refusal falls back to memory.
        if (!(error instanceof DOMException && error.name === 'AbortError')) accept(offer.id);
      },
    );
});
$('offer-reject').addEventListener('click', () => {
  model?.tools.declineOffer();
  render();
});

// ---- Remote input -----------------------------------------------------------------------------

const input = {
  spaceHeld: false,
  spaceMoved: false,
  panning: false,
  panLast: { x: 0, y: 0 },
  buttons: new Set<number>(),
  lastMove: -Infinity,
  pasteHeld: false,
};

function devicePoint(event: MouseEvent): { x: number; y: number } {
  const box = el.canvas.getBoundingClientRect();
  const ratio = el.canvas.width / Math.max(box.width, 1);
  return { x: (event.clientX - box.left) * ratio, y: (event.clientY - box.top) * ratio };
}

function sendPointer(action: 'move' | 'down' | 'up' | 'wheel', event: MouseEvent, button: number, key: number): void {
  if (!session || model !== session || !session.picture || session.tools.offer) return;
  const area = deviceArea();
  const placed = layoutImage(session.view, area, session.picture.width, session.picture.height);
  const point = devicePoint(event);
  const remote = pointerToRemote(placed, area, point.x, point.y, action === 'up');
  if (remote) session.sendInput(action, remote.x, remote.y, button, key);
}

const BUTTONS: { [button: number]: number } = { 0: 1, 2: 2, 1: 3 };

el.canvas.addEventListener('mousedown', (event) => {
  const button = BUTTONS[event.button];
  if (!button) return;
  event.preventDefault();
  el.canvas.focus();
  if (button === 1 && input.spaceHeld && model?.picture) {
    input.panning = true;
    input.panLast = devicePoint(event);
    el.canvas.classList.add('panning');
    return;
  }
  input.buttons.add(button);
  sendPointer('down', event, button, 0);
});

window.addEventListener('mousemove', (event) => {
  if (!model || el.remotePage.hidden) return;
  if (input.panning && model.picture) {
    const point = devicePoint(event);
    panBy(model.view, deviceArea(), model.picture.width, model.picture.height, point.x - input.panLast.x, point.y - input.panLast.y);
    input.panLast = point;
    input.spaceMoved = true;
    render();
    return;
  }
  if (input.spaceHeld || (event.target !== el.canvas && input.buttons.size === 0)) return;
  const now = performance.now();
  if (now - input.lastMove <= MOVE_INTERVAL_MS) return;
  input.lastMove = now;
  sendPointer('move', event, 1, 0);
});

window.addEventListener('mouseup', (event) => {
  const button = BUTTONS[event.button];
  if (!button) return;
  if (input.panning && button === 1) {
    input.panning = false;
    el.canvas.classList.toggle('panning', input.spaceHeld);
    return;
  }
  if (!input.buttons.delete(button)) return;
  sendPointer('up', event, button, 0);
});

el.canvas.addEventListener('contextmenu', (event) => event.preventDefault());

// A wheel notch is 120 on Windows, forward positive.
function wheelDelta(event: WheelEvent): number {
  const legacy = (event as WheelEvent & { wheelDeltaY?: number }).wheelDeltaY;
  let delta = typeof legacy === 'number' && legacy !== 0 ? legacy : -event.deltaY * (event.deltaMode === 1 ? 40 : event.deltaMode === 2 ? 120 : 1.2);
  delta = Math.trunc(Math.max(-12000, Math.min(12000, delta)));
  return delta;
}

el.canvas.addEventListener(
  'wheel',
  (event) => {
    event.preventDefault();
    const delta = wheelDelta(event);
    if (event.ctrlKey) return zoom(delta > 0 ? ZOOM_IN : ZOOM_OUT);
    if (delta !== 0) sendPointer('wheel', event, 0, delta);
  },
  { passive: false },
);

// The Ctrl keys held down as key events of their own (on Windows the system sends one ahead of
// AltGr, so AltGr then adds only Alt).
const ctrlDown = new Set<string>();

el.canvas.addEventListener('keydown', (event) => {
  if (event.code === 'ControlLeft' || event.code === 'ControlRight') ctrlDown.add(event.code);
  if (!session || model !== session) return;
  event.preventDefault();
  if (event.code === 'Escape' && document.fullscreenElement) return toggleFullScreen();
  if (event.code === 'Space') {
    if (!input.spaceHeld) input.spaceMoved = false;
    input.spaceHeld = true;
    el.canvas.classList.add('panning');
    return;
  }
  if (event.code === 'KeyV' && event.ctrlKey && !event.altKey) {
    // The remote paste needs clipboard sync, which this page does not offer.
    if (!event.repeat) showNotice('Enable clipboard sync on both devices.');
    return;
  }
  for (const key of virtualKeys(event.code, event.key, ctrlDown.size > 0)) session.sendInput('keydown', 0, 0, 0, key);
});

el.canvas.addEventListener('keyup', (event) => {
  ctrlDown.delete(event.code);
  if (!session || model !== session) return;
  event.preventDefault();
  if (event.code === 'Space') {
    if (input.spaceHeld && !input.spaceMoved) {
      session.sendInput('keydown', 0, 0, 0, 32);
      session.sendInput('keyup', 0, 0, 0, 32);
    }
    input.spaceHeld = false;
    el.canvas.classList.toggle('panning', input.panning);
    return;
  }
  for (const key of virtualKeys(event.code, event.key, ctrlDown.size > 0).reverse()) session.sendInput('keyup', 0, 0, 0, key);
});

function letGo(): void {
  ctrlDown.clear();
  input.spaceHeld = false;
  input.panning = false;
  input.buttons.clear();
  el.canvas.classList.remove('panning');
  session?.releaseInput();
}
el.canvas.addEventListener('blur', letGo);
document.addEventListener('visibilitychange', () => {
  if (document.hidden) letGo();
});

new ResizeObserver(() => render()).observe(el.stage);

// ---- Start ------------------------------------------------------------------------------------

function startLanguage(params: URLSearchParams): void {
  setLanguage(matchLanguage(params.get('lang') ?? navigator.language ?? 'en'));
  el.language.replaceChildren(
    ...LANGUAGES.map((entry, index) => {
      const option = document.createElement('option');
      option.value = String(index);
      option.textContent = `${entry.name}  ${entry.region}`;
      return option;
    }),
  );
  el.language.value = String(language());
  el.language.addEventListener('change', () => {
    setLanguage(Number(el.language.value));
    translatePage();
  });
}

// A picture drawn here, so that the view can be looked at without a host.
async function testPattern(width: number, height: number): Promise<ImageBitmap> {
  const canvas = document.createElement('canvas');
  canvas.width = width;
  canvas.height = height;
  const c = canvas.getContext('2d')!;
  const bars = ['#ffffff', '#ffd400', '#00c8d7', '#00b050', '#c000c0', '#e02020', '#2040e0', '#101010'];
  bars.forEach((colour, i) => {
    c.fillStyle = colour;
    c.fillRect((i * width) / bars.length, 0, width / bars.length + 1, height * 0.62);
  });
  const steps = 16;
  for (let i = 0; i < steps; i++) {
    const v = Math.round((i * 255) / (steps - 1));
    c.fillStyle = `rgb(${v},${v},${v})`;
    c.fillRect((i * width) / steps, height * 0.62, width / steps + 1, height * 0.16);
  }
  c.fillStyle = '#1c2b3b';
  c.fillRect(0, height * 0.78, width, height * 0.22);
  c.strokeStyle = 'rgba(255,255,255,0.35)';
  c.lineWidth = 2;
  for (let x = 0; x <= width; x += 120) c.strokeRect(x, height * 0.78, 120, height * 0.22);
  c.fillStyle = '#ecf2fb';
  c.font = `bold ${Math.round(height * 0.07)}px sans-serif`;
  c.fillText(`Kestrova ${width} \u00d7 ${height}`, width * 0.04, height * 0.92);
  c.strokeStyle = '#f4bc7f';
  c.lineWidth = 6;
  c.strokeRect(3, 3, width - 6, height - 6);
  return createImageBitmap(canvas);
}

async function startPreview(params: URLSearchParams): Promise<void> {
  const tools = new SessionTools(
    { sendControl: () => undefined, sendChunk: () => undefined, newTransferId: () => '0'.repeat(32) },
    () => ({ ready: true, files: true, clipboard: true, clipboardSync: true }),
  );
  tools.chatLog.push('\u2190 Hello, can you see my screen?', '\u2192 Yes, the test pattern is sharp.');
  const view = initialView();
  const picture = await testPattern(1920, 1080);
  model = {
    picture,
    view,
    tools,
    control: null,
    figuresNow: (widthCss) => ({
      fps: 30,
      kBps: 842.6,
      roundTripMs: 18,
      capture: { backend: 2, black: false, desktop: true, error: 0 },
      captureStatusNegotiated: true,
      inputError: 0,
      controlNotice: false,
      peerAllowsControl: true,
      peerBuild: '0.3.9',
      picture: { width: picture.width, height: picture.height },
      widthCss,
    }),
  };
  showStatus('Design preview - offline');
  showRemote(true);
  const panel = params.get('panel');
  if (panel === 'chat') el.chatPanel.hidden = false;
  if (panel === 'files') {
    tools.status = 'Receiving';
    el.filesPanel.hidden = false;
  }
  if (panel === 'offer') tools.offer = { id: 'f'.repeat(32), name: 'quarterly-report.pdf', size: 2400000 };
  if (panel === 'info') $('info').click();
  if (panel === 'waiting') model.picture = null;
  render();
}

const params = new URLSearchParams(location.search);
startLanguage(params);
translatePage();
if (params.has('preview')) void startPreview(params);
else el.id.focus();
