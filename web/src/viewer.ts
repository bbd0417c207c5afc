// The viewer's side of one connection, from "Connect" to the end of the session, without the
// socket: the page feeds it the relay's text and binary messages and the 500 ms tick, and gives
// it a sink that sends one message on the socket. Steps run one at a time in call order, and
// each outgoing message reaches the sink inside its step, so sealed messages leave in the order
// of their sequence numbers whatever the page awaits. Every refusal of a received message ends
// the connection with "Security verification failed"; the reason word is kept for logs only.
//
//   start -> register sent -> authChallenge (confirm the host, derive the channel, authResponse)
//         -> connected -> binding (session active) -> hello (helloAck) -> frames, control, tools

import { fromUtf8, isLowerHex, utf8 } from './bytes.js';
import { SealedChannel, SealedKind } from './channel.js';
import { ControlEvent, LocalPermissions, ViewerControl } from './control.js';
import { fail, parseMessage, requireObject, ProtocolError, CONTROL_MESSAGE_LIMIT } from './json.js';
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

// Sends one message on the relay socket: text as a text message, bytes as a binary one.
export type Sink = (message: string | Uint8Array) => void;

// What one step tells the page: a new status line, whether the connection is over (and why,
// for logs), and what arrived for the session.
export interface Step {
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
  private queue: Promise<unknown> = Promise.resolve();

  private constructor(
    pairing: PakeExchange,
    nowMs: number,
    private readonly sink: Sink,
    permissions: LocalPermissions,
    announceRegions: boolean,
  ) {
    this.pairing = pairing;
    this.connectDeadline = nowMs + VIEWER_CONNECT_TIMEOUT_MS;
    this.control = new ViewerControl(permissions, announceRegions);
  }

  // Checks and normalises what was typed, draws the nonce and starts SPAKE2. Throws InvalidInput
  // ("Invalid ID or password format") before anything is made. The typed password is used once
  // (the page empties its box; a JavaScript string cannot be overwritten). The returned
  // "register" is for the socket once it opens; everything later goes through `sink`.
  // `announceRegions`: the viewer can compose changed-region frames (its helloAck says so).
  static start(
    typedId: string,
    typedPassword: string,
    nowMs: number,
    sink: Sink,
    permissions: LocalPermissions = { files: false, clipboard: false },
    announceRegions = true,
  ): { connection: ViewerConnection; registerText: string } {
    const id = normalizeDeviceIdInput(typedId);
    const password = normalizeSessionPassword(typedPassword);
    if (!isValidDeviceId(id) || !isValidSessionPassword(password)) throw new InvalidInput(STATUS.invalidFormat);
    const { exchange, nonceHex } = PakeExchange.startViewer(password, id);
    const connection = new ViewerConnection(exchange, nowMs, sink, permissions, announceRegions);
    return { connection, registerText: registerViewerText(id, makePairingString(nonceHex, exchange.ownMessageHex())) };
  }

  get active(): boolean {
    return this.sessionActive;
  }

  get isEnded(): boolean {
    return this.ended;
  }

  private serial<T>(run: () => Promise<T>): Promise<T> {
    const next = this.queue.then(run);
    this.queue = next.catch(() => undefined);
    return next;
  }

  // One relay text message.
  handleText(data: string | Uint8Array, nowMs: number): Promise<Step> {
    return this.serial(() => this.textStep(data, nowMs));
  }

  // One binary relay message: a sealed peer message.
  handleBinary(data: Uint8Array, nowMs: number): Promise<Step> {
    return this.serial(() => this.binaryStep(data, nowMs));
  }

  // Seals and sends one control message of the page (frameAck, ping, permissions...). Throws
  // when no session is active; a seal failure ends the connection ("Connection closed").
  sendControl(text: string): Promise<void> {
    return this.serial(async () => {
      if (!this.channel || !this.sessionActive || this.ended) throw new Error('no session');
      try {
        this.sink(await this.channel.seal(SealedKind.Control, utf8(text)));
      } catch (error) {
        this.end(STATUS.closed, reasonOf(error));
        throw error;
      }
    });
  }

  // Seals and sends one input event (kind Input) or file chunk (kind Tools) of the page, with the
  // same rules as sendControl.
  sendSealed(kind: SealedKind.Input | SealedKind.Tools, plaintext: Uint8Array): Promise<void> {
    return this.serial(async () => {
      if (!this.channel || !this.sessionActive || this.ended) throw new Error('no session');
      try {
        this.sink(await this.channel.seal(kind, plaintext));
      } catch (error) {
        this.end(STATUS.closed, reasonOf(error));
        throw error;
      }
    });
  }

  private async textStep(data: string | Uint8Array, nowMs: number): Promise<Step> {
    if (this.ended) return { ended: true };
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
          return { status: STATUS.connecting, ended: false };
        case 'peerDisconnected':
          if (!isLowerHex(message.requestId, REQUEST_ID_HEX_LENGTH) || message.requestId !== this.requestId) {
            return { ended: false };
          }
          return this.end(STATUS.closed, 'peer disconnected');
        case 'error':
          return this.end(STATUS.closed, `relay error ${message.code}`);
        case 'ignored':
          return { ended: false };
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
      return { ended: true };
    }
    this.sink(authResponseText(requestId, own));
    return { ended: false };
  }

  private async binaryStep(data: Uint8Array, nowMs: number): Promise<Step> {
    if (this.ended) return { ended: true };
    try {
      if (!this.relayConnected || !this.channel || !this.requestId) fail('not approved');
      const opened = await this.channel.open(data);
      if (this.ended) return { ended: true };
      if (!opened) fail('authentication');
      const { kind, plaintext } = opened;
      if (kind === SealedKind.Binding && !this.sessionActive) {
        if (bytesToText(plaintext) !== this.requestId) fail('binding');
        this.sessionActive = true;
        this.connectDeadline = nowMs + STEP_TIMEOUT_MS;
        return { status: STATUS.versionNeeded, ended: false };
      }
      if (!this.sessionActive) fail('wrong direction');
      const helloComplete = this.control.helloComplete;
      if (kind === SealedKind.Control) {
        if (plaintext.length > CONTROL_MESSAGE_LIMIT) fail('control limit');
        const event = this.control.handle(requireObject(parseMessage(plaintext)), BigInt(Math.floor(nowMs)));
        if ((event.kind === 'hello' || event.kind === 'ping') && event.reply) {
          this.sink(await this.channel.seal(SealedKind.Control, utf8(event.reply)));
        }
        if (event.kind === 'hello') this.connectDeadline = 0;
        const status = event.kind === 'hello' || event.kind === 'screen' ? STATUS.encrypted : undefined;
        return { status, ended: false, control: event };
      }
      if (kind === SealedKind.Frame && helloComplete) return { ended: false, frame: plaintext };
      if (kind === SealedKind.Tools && helloComplete) return { ended: false, tools: plaintext };
      fail('wrong direction');
    } catch (error) {
      return this.end(STATUS.securityFailed, reasonOf(error));
    }
  }

  // The 500 ms tick: a passed deadline ends the connection with "Connection timed out".
  tick(nowMs: number): Step {
    if (this.ended) return { ended: true };
    if (this.connectDeadline !== 0 && nowMs >= this.connectDeadline) return this.end(STATUS.timedOut, 'deadline');
    return { ended: false };
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
    return { status, ended: true, reason };
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
