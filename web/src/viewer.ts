// The viewer's side of one connection, from "Connect" to the end of the session, without the
// socket: the page feeds it the relay's text and binary messages and the 500 ms tick, and sends
// what each step returns. Every refusal of a received message ends the connection with
// "Security verification failed"; the reason word is kept for logs only.
//
//   start -> register sent -> authChallenge (confirm the host, derive the channel, authResponse)
//         -> connected -> binding (session active) -> hello (helloAck) -> frames, control, tools

import { fromUtf8, utf8 } from './bytes.js';
import { SealedChannel, SealedKind } from './channel.js';
import { ControlEvent, LocalPermissions, ViewerControl } from './control.js';
import { fail, parseMessage, requireObject, ProtocolError, CONTROL_MESSAGE_LIMIT } from './json.js';
import {
  isLowerHex,
} from './bytes.js';
import {
  isValidDeviceId,
  isValidSessionPassword,
  makePairingString,
  normalizeDeviceIdInput,
  normalizeSessionPassword,
  PakeExchange,
  REQUEST_ID_HEX_LENGTH,
} from './pairing.js';
import { authResponseText, readRelayText, registerViewerText } from './relay.js';

export const STATUS = {
  connecting: 'Connecting securely',
  securityFailed: 'Security verification failed',
  closed: 'Connection closed - refresh your ID',
  timedOut: 'Connection timed out',
  invalidFormat: 'Invalid ID or password format',
  versionNeeded: 'Both devices need version 0.3 or later',
  encrypted: 'End-to-end encrypted',
} as const;

export const VIEWER_CONNECT_TIMEOUT_MS = 50000;
export const STEP_TIMEOUT_MS = 15000;

// What one step asks of the page: messages to send in order (text to the relay, sealed bytes as
// binary), a new status line, whether the connection is over, and what arrived for the session.
export interface Step {
  send: (string | Uint8Array)[];
  status?: string;
  ended: boolean;
  reason?: string;
  control?: ControlEvent;
  frame?: Uint8Array;
  tools?: Uint8Array;
}

export class InvalidInput extends Error {
  readonly status = STATUS.invalidFormat;
}

export class ViewerConnection {
  readonly control: ViewerControl;
  private pairing: PakeExchange | null;
  private channel: SealedChannel | null = null;
  private requestId = '';
  private relayConnected = false;
  private sessionActive = false;
  private ended = false;
  private connectDeadline: number;

  private constructor(pairing: PakeExchange, nowMs: number, permissions: LocalPermissions) {
    this.pairing = pairing;
    this.connectDeadline = nowMs + VIEWER_CONNECT_TIMEOUT_MS;
    this.control = new ViewerControl(permissions);
  }

  // Checks and normalises what was typed, draws the nonce and starts SPAKE2. Throws InvalidInput
  // ("Invalid ID or password format") before anything is made. The typed password is used once.
  static start(
    typedId: string,
    typedPassword: string,
    nowMs: number,
    permissions: LocalPermissions = { files: false, clipboard: false },
  ): { connection: ViewerConnection; registerText: string } {
    const id = normalizeDeviceIdInput(typedId);
    const password = normalizeSessionPassword(typedPassword);
    if (!isValidDeviceId(id) || !isValidSessionPassword(password)) throw new InvalidInput(STATUS.invalidFormat);
    const { exchange, nonceHex } = PakeExchange.startViewer(password, id);
    const connection = new ViewerConnection(exchange, nowMs, permissions);
    return { connection, registerText: registerViewerText(id, makePairingString(nonceHex, exchange.ownMessageHex())) };
  }

  get active(): boolean {
    return this.sessionActive;
  }

  get isEnded(): boolean {
    return this.ended;
  }

  // One relay text message.
  async handleText(data: string | Uint8Array, nowMs: number): Promise<Step> {
    if (this.ended) return { send: [], ended: true };
    try {
      const message = readRelayText(data);
      switch (message.type) {
        case 'authChallenge':
          return await this.onAuthChallenge(message.requestId, message.message, message.confirmation, nowMs);
        case 'connected':
          if (this.sessionActive || this.relayConnected) fail('duplicate');
          this.relayConnected = true;
          if (!this.requestId || message.requestId !== this.requestId || this.connectDeadline === 0 || !this.channel || this.pairing) {
            fail('unauthenticated connection');
          }
          this.connectDeadline = nowMs + STEP_TIMEOUT_MS;
          return { send: [], status: STATUS.connecting, ended: false };
        case 'peerDisconnected':
          if (!isLowerHex(message.requestId, REQUEST_ID_HEX_LENGTH) || message.requestId !== this.requestId) {
            return { send: [], ended: false };
          }
          return this.end(STATUS.closed, 'peer disconnected');
        case 'error':
          return this.end(STATUS.closed, `relay error ${message.code}`);
        case 'ignored':
          return { send: [], ended: false };
      }
    } catch (error) {
      return this.end(STATUS.securityFailed, reasonOf(error));
    }
  }

  private async onAuthChallenge(requestId: string, hostMessage: string, confirmation: string, nowMs: number): Promise<Step> {
    if (!this.pairing || this.channel || this.requestId || this.connectDeadline === 0 || nowMs >= this.connectDeadline) {
      fail('unsolicited PAKE challenge');
    }
    if (!isLowerHex(requestId, REQUEST_ID_HEX_LENGTH)) fail('request binding');
    this.requestId = requestId;
    const pairing = this.pairing;
    try {
      await pairing.process(hostMessage, requestId);
    } catch {
      fail('host confirmation');
    }
    if (!pairing.checkPeerConfirmation(confirmation)) fail('host confirmation');
    const own = pairing.ownConfirmationHex();
    this.channel = await pairing.createChannel();
    this.pairing = null;
    if (this.ended) {
      this.channel.close();
      return { send: [], ended: true };
    }
    return { send: [authResponseText(requestId, own)], ended: false };
  }

  // One binary relay message: a sealed peer message.
  async handleBinary(data: Uint8Array, nowMs: number): Promise<Step> {
    if (this.ended) return { send: [], ended: true };
    try {
      if (!this.relayConnected || !this.channel || !this.requestId) fail('not approved');
      const opened = await this.channel.open(data);
      if (this.ended) return { send: [], ended: true };
      if (!opened) fail('authentication');
      const { kind, plaintext } = opened;
      if (kind === SealedKind.Binding && !this.sessionActive) {
        if (bytesToText(plaintext) !== this.requestId) fail('binding');
        this.sessionActive = true;
        this.connectDeadline = nowMs + STEP_TIMEOUT_MS;
        return { send: [], status: STATUS.versionNeeded, ended: false };
      }
      if (!this.sessionActive) fail('wrong direction');
      const helloComplete = this.control.helloComplete;
      if (kind === SealedKind.Control) {
        if (plaintext.length > CONTROL_MESSAGE_LIMIT) fail('control limit');
        const event = this.control.handle(requireObject(parseMessage(plaintext)), BigInt(Math.floor(nowMs)));
        const send: Uint8Array[] = [];
        if ((event.kind === 'hello' || event.kind === 'ping') && event.reply) {
          send.push(await this.channel.seal(SealedKind.Control, utf8(event.reply)));
        }
        if (event.kind === 'hello') this.connectDeadline = 0;
        const status = event.kind === 'hello' || event.kind === 'screen' ? STATUS.encrypted : undefined;
        return { send, status, ended: false, control: event };
      }
      if (kind === SealedKind.Frame && helloComplete) return { send: [], ended: false, frame: plaintext };
      if (kind === SealedKind.Tools && helloComplete) return { send: [], ended: false, tools: plaintext };
      fail('wrong direction');
    } catch (error) {
      return this.end(STATUS.securityFailed, reasonOf(error));
    }
  }

  // Seals one control message of the page (frameAck, ping, permissions...) for sending.
  async sealControl(text: string): Promise<Uint8Array> {
    if (!this.channel || !this.sessionActive || this.ended) throw new Error('no session');
    return this.channel.seal(SealedKind.Control, utf8(text));
  }

  // The 500 ms tick: a passed deadline ends the connection with "Connection timed out".
  tick(nowMs: number): Step {
    if (this.ended) return { send: [], ended: true };
    if (this.connectDeadline !== 0 && nowMs >= this.connectDeadline) return this.end(STATUS.timedOut, 'deadline');
    return { send: [], ended: false };
  }

  // Ends the connection and drops every secret it holds.
  end(status: string = STATUS.closed, reason?: string): Step {
    this.ended = true;
    this.pairing?.dispose();
    this.pairing = null;
    this.channel?.close();
    this.channel = null;
    this.requestId = '';
    this.connectDeadline = 0;
    return { send: [], status, ended: true, reason };
  }
}

function bytesToText(bytes: Uint8Array): string {
  try {
    return fromUtf8(bytes);
  } catch {
    return '';
  }
}

function reasonOf(error: unknown): string {
  if (error instanceof ProtocolError) return error.message;
  return error instanceof Error ? error.message : String(error);
}
