// The stream figures and the texts made of them: the status strip's two lines and the
// "Connection info" text, as the program writes them.
import type { CaptureStatus } from '../control.js';
import { PROGRAM_BUILD } from '../relay.js';

const DOT3 = '   \u00b7   ';
const DOT2 = '  \u00b7  ';
const TIMES = ' \u00d7 ';
const DASH = '\u2014';

// Received frames and bytes of the current one-second window, and the rates of the last one.
export class StreamFigures {
  frames = 0;
  bytes = 0;
  fps = 0;
  kBps = 0;
  constructor(public windowStart: number) {}

  count(messageBytes: number): void {
    this.frames++;
    this.bytes += messageBytes;
  }

  // Closes the window once more than 999 ms have passed; true when it did.
  update(now: number): boolean {
    if (now < this.windowStart || now - this.windowStart <= 999) return false;
    const elapsed = now - this.windowStart;
    this.fps = (this.frames * 1000) / elapsed;
    this.kBps = this.bytes / elapsed;
    this.frames = 0;
    this.bytes = 0;
    this.windowStart = now;
    return true;
  }
}

export interface ViewerFigures {
  fps: number;
  kBps: number;
  roundTripMs: number | null;
  capture: CaptureStatus;
  captureStatusNegotiated: boolean;
  inputError: number;
  controlNotice: boolean;
  peerAllowsControl: boolean;
  peerBuild: string;
  picture: { width: number; height: number } | null;
  widthCss: number;
}

const roundTrip = (ms: number | null) => (ms === null || ms < 0 ? DASH : String(ms));
// llround: halves away from zero.
const rounded = (value: number) => String(Math.sign(value) * Math.round(Math.abs(value)));
const backendLabel = (backend: number) => (backend === 2 ? 'WGC' : backend === 1 ? 'GDI' : DASH);

export interface StatusLine {
  first: string; // a catalogue key
  warning: boolean;
  second: string;
}

export function viewerStatusLine(f: ViewerFigures): StatusLine {
  let first = f.peerAllowsControl ? 'Session active' : 'View only';
  let warning = true;
  if (f.controlNotice) first = 'This control requires the local user.';
  else if (!f.capture.desktop) first = 'Desktop unavailable or locked';
  else if (f.capture.black) first = 'Source returned a black frame';
  else if (f.inputError !== 0) first = 'Windows blocked remote input';
  else warning = false;
  let second = `${rounded(f.fps)} fps${DOT3}${roundTrip(f.roundTripMs)} ms`;
  if (f.widthCss >= 640 && f.picture) second += `${DOT3}${f.picture.width}${TIMES}${f.picture.height}`;
  if (f.captureStatusNegotiated && f.capture.backend !== 0) second += DOT3 + backendLabel(f.capture.backend);
  return { first, warning, second };
}

export function connectionInfoText(f: ViewerFigures, t: (key: string) => string): string {
  let text = `Kestrova ${PROGRAM_BUILD}\n`;
  text += `${t('Capture source')}: ${backendLabel(f.capture.backend)}\n`;
  text += `${t('Remote version')}: ${f.peerBuild || DASH}\n\n`;
  text += `${rounded(f.fps)} fps${DOT2}${Math.trunc(f.kBps)} kB/s${DOT2}${roundTrip(f.roundTripMs)} ms`;
  if (f.capture.error !== 0) text += `\nWGC HRESULT: 0x${(f.capture.error >>> 0).toString(16).toUpperCase().padStart(8, '0')}`;
  if (f.inputError !== 0) text += `\n${t('Windows blocked remote input')} (Windows error ${f.inputError})`;
  if (f.controlNotice) text += `\n${t('This control requires the local user.')}`;
  text += `\n\n${t('Panning: hold Space and drag. Ctrl+wheel: zoom.')}`;
  return text;
}
