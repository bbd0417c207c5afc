// The viewer's half of the peer control protocol: the hello exchange with its capabilities and
// every control message a host may send, validated with the native receiver's bounds, and the
// control messages a viewer writes. Failures throw ProtocolError with the native reason words.

import {
  fail,
  hasMember,
  isObject,
  requireBool,
  requireInt,
  requireString,
  requireUnsigned,
  serialize,
  JsonObject,

  CONTROL_MESSAGE_LIMIT,
} from './json.js';
import { utf8 } from './bytes.js';
import { PROGRAM_BUILD } from './relay.js';

export const CONTROL_PROTOCOL_VERSION = 3;
export const MAX_DISPLAYS = 16;
export const MAX_ROUND_TRIP_MS = 99999;
const MAX_INT = 2147483647;
const UINT32_MAX = 4294967295n;

export interface Screen {
  width: number;
  height: number;
  hz: number;
  primary: boolean;
}

export interface CaptureStatus {
  backend: number;
  black: boolean;
  desktop: boolean;
  error: number;
}

export interface LocalPermissions {
  files: boolean;
  clipboard: boolean;
}

// What the page does after a handled message; `reply` is a control message to seal and send.
export type ControlEvent =
  | { kind: 'hello' | 'screen'; reply?: string }
  | { kind: 'captureStatus'; dropPicture: boolean }
  | { kind: 'inputStatus'; localOnlyNotice: boolean }
  | { kind: 'permissions'; filesChanged: boolean; clipboardChanged: boolean }
  | { kind: 'ping'; reply: string }
  | { kind: 'pong' }
  | { kind: 'ignored' }
  | { kind: 'tools'; op: string; message: JsonObject };

// Tools messages (chat, clipboard, files) that the session tools read; anything else unknown
// fails "unknown feature".
const TOOLS_OPS = new Set(['chat', 'clipboard', 'clipboardAck', 'clipboardSync', 'fileOffer', 'fileAccept', 'fileAck', 'fileCancel', 'fileDone', 'fileFinish']);

function isBuildText(text: string): boolean {
  return /^[0-9.]{1,24}$/.test(text);
}

function controlText(message: { [name: string]: string | number | boolean | bigint }): string {
  const text = serialize(message);
  if (utf8(text).length > CONTROL_MESSAGE_LIMIT) fail('feature send');
  return text;
}

export class ViewerControl {
  helloComplete = false;
  epoch = 0;
  selected = 0;
  profile = 0;
  screens: Screen[] = [];
  hostControl = false;
  peerFiles = false;
  peerClipboard = false;
  peerClipboardSync = false;
  peerInputStatus = false;
  peerCaptureStatus = false;
  peerRegionFrames = false;
  peerBuild = '';
  captureStatus: CaptureStatus = { backend: 0, black: false, desktop: true, error: 0 };
  inputError = 0;
  lastPingToken: bigint | null = null;
  roundTripMs: number | null = null;

  // `announceRegions`: the viewer composes changed-region frames and says so in its "helloAck".
  constructor(
    private readonly local: LocalPermissions,
    readonly announceRegions = true,
  ) {}

  // Region frames flow only when both ends announced them.
  get regionFrames(): boolean {
    return this.announceRegions && this.peerRegionFrames;
  }

  // One opened control message (already bounded and parsed). `nowMs` is the viewer's monotonic
  // millisecond clock, used for the round trip of a "pong".
  handle(message: JsonObject, nowMs: bigint): ControlEvent {
    const op = requireString(message, 'op');
    if (op === 'hello' || op === 'screen') return this.handleHello(message, op === 'screen');
    if (!this.helloComplete) fail('features before hello');
    switch (op) {
      case 'inputStatus':
        return this.handleInputStatus(message);
      case 'captureStatus':
        return this.handleCaptureStatus(message);
      case 'permissions':
        return this.handlePermissions(message);
      case 'ping':
        return { kind: 'ping', reply: controlText({ op: 'pong', token: requireUnsigned(message, 'token', 'input number') }) };
      case 'pong': {
        const token = requireUnsigned(message, 'token', 'input number');
        if (this.lastPingToken === null || token !== this.lastPingToken || nowMs < token) return { kind: 'ignored' };
        const elapsed = nowMs - token;
        this.roundTripMs = elapsed > BigInt(MAX_ROUND_TRIP_MS) ? MAX_ROUND_TRIP_MS : Number(elapsed);
        return { kind: 'pong' };
      }
    }
    if (TOOLS_OPS.has(op)) return { kind: 'tools', op, message };
    fail('unknown feature');
  }

  private handleHello(message: JsonObject, isScreen: boolean): ControlEvent {
    requireInt(message, 'version', CONTROL_PROTOCOL_VERSION, CONTROL_PROTOCOL_VERSION);
    if (isScreen !== this.helloComplete) fail('payload version');
    if (!hasMember(message, 'screens')) fail('screens: missing');
    const list = message.screens;
    if (!Array.isArray(list) || list.length === 0 || list.length > MAX_DISPLAYS) fail('display list');
    const screens = list.map((entry) => {
      if (!isObject(entry)) fail('screen entry: not an object');
      return {
        width: requireInt(entry, 'width', 1, 32768),
        height: requireInt(entry, 'height', 1, 32768),
        hz: requireInt(entry, 'hz', 1, 1000),
        primary: requireBool(entry, 'primary'),
      };
    });
    const epoch = requireInt(message, 'epoch', 1, MAX_INT);
    if (isScreen && epoch <= this.epoch) fail('stale display');
    const selected = requireInt(message, 'selected', 0, screens.length - 1);
    const profile = requireInt(message, 'profile', 0, 3);
    const control = requireBool(message, 'control');
    const files = requireBool(message, 'files');
    const clipboard = requireBool(message, 'clipboard');
    this.readCapabilities(message);
    this.epoch = epoch;
    this.selected = selected;
    this.profile = profile;
    this.hostControl = control;
    this.peerFiles = files;
    this.peerClipboard = clipboard;
    this.screens = screens;
    this.captureStatus = { backend: 0, black: false, desktop: true, error: 0 };
    if (isScreen) return { kind: 'screen' };
    this.helloComplete = true;
    return { kind: 'hello', reply: this.helloAckText() };
  }

  private readCapabilities(message: JsonObject): void {
    this.peerClipboardSync = false;
    this.peerInputStatus = false;
    this.peerCaptureStatus = false;
    this.peerRegionFrames = false;
    this.peerBuild = '';
    if (hasMember(message, 'clipboardSync')) this.peerClipboardSync = requireBool(message, 'clipboardSync', 'clipboard capability');
    if (hasMember(message, 'inputStatus')) this.peerInputStatus = requireBool(message, 'inputStatus', 'input capability');
    if (hasMember(message, 'captureStatus')) this.peerCaptureStatus = requireBool(message, 'captureStatus', 'capture capability');
    if (hasMember(message, 'regionFrames')) this.peerRegionFrames = requireBool(message, 'regionFrames', 'region capability');
    if (hasMember(message, 'build')) {
      const build = message.build;
      if (typeof build !== 'string') fail('build type');
      if (!isBuildText(build)) fail('build format');
      this.peerBuild = build;
    }
  }

  private handleInputStatus(message: JsonObject): ControlEvent {
    if (!this.peerInputStatus) fail('input status');
    const error = requireUnsigned(message, 'error', 'input status');
    if (error > UINT32_MAX) fail('input error bound');
    const localOnly = hasMember(message, 'localOnly') ? requireBool(message, 'localOnly', 'input notice') : false;
    this.inputError = Number(error);
    return { kind: 'inputStatus', localOnlyNotice: localOnly };
  }

  private handleCaptureStatus(message: JsonObject): ControlEvent {
    if (!this.peerCaptureStatus) fail('unnegotiated capture status');
    const epoch = requireInt(message, 'epoch', 1, MAX_INT);
    if (epoch !== this.epoch) return { kind: 'ignored' };
    const backend = requireInt(message, 'backend', 0, 2);
    const black = requireBool(message, 'black', 'capture status type');
    const desktop = requireBool(message, 'desktop', 'capture status type');
    const error = requireUnsigned(message, 'error', 'capture status type');
    if (error > UINT32_MAX) fail('capture error bound');
    this.captureStatus = { backend, black, desktop, error: Number(error) };
    return { kind: 'captureStatus', dropPicture: !desktop };
  }

  private handlePermissions(message: JsonObject): ControlEvent {
    const control = requireBool(message, 'control');
    const files = requireBool(message, 'files');
    const clipboard = requireBool(message, 'clipboard');
    const filesChanged = files !== this.peerFiles;
    const clipboardChanged = clipboard !== this.peerClipboard;
    this.peerFiles = files;
    this.peerClipboard = clipboard;
    this.hostControl = control;
    return { kind: 'permissions', filesChanged, clipboardChanged };
  }

  // ---- What the viewer writes -------------------------------------------------------------

  helloAckText(): string {
    return controlText({
      op: 'helloAck',
      version: CONTROL_PROTOCOL_VERSION,
      build: PROGRAM_BUILD,
      captureStatus: true,
      inputStatus: true,
      clipboardSync: true,
      ...(this.announceRegions ? { regionFrames: true } : {}),
      files: this.local.files,
      clipboard: this.local.clipboard,
    });
  }

  frameAckText(epoch: number, seq: number): string {
    return controlText({ op: 'frameAck', epoch, seq });
  }

  // After a change that had no picture to be composed onto: the host sends a whole one.
  frameRequestText(): string {
    if (!this.regionFrames) throw new Error('region frames not negotiated');
    return controlText({ op: 'frameRequest', epoch: this.epoch });
  }

  // A ping carries the viewer's clock; the matching pong measures the round trip.
  pingText(nowMs: bigint): string {
    this.lastPingToken = nowMs;
    return controlText({ op: 'ping', token: nowMs });
  }

  releaseInputText(): string {
    return controlText({ op: 'releaseInput' });
  }

  permissionsText(): string {
    return controlText({ op: 'permissions', control: false, files: this.local.files, clipboard: this.local.clipboard });
  }

  // The display menu (chosen index, current profile) or the quality menu (current index,
  // chosen profile); the page changes nothing until the host's "screen".
  selectDisplayText(selected: number, profile: number): string {
    if (!Number.isInteger(selected) || selected < 0 || selected >= this.screens.length) throw new Error('display index');
    if (!Number.isInteger(profile) || profile < 0 || profile > 3) throw new Error('profile');
    return controlText({ op: 'selectDisplay', selected, profile });
  }
}


