// One pairing attempt of the viewer (or, for tests against the native viewer, the host): SPAKE2
// with the session password, the key schedule bound to the device ID, the viewer's nonce and the
// relay's request ID, and mutual key confirmation. Every step runs once; a failed attempt needs
// a new exchange and a new nonce.
//
//   create -> ownMessageHex (in the pairing string) -> process(peer message, request ID)
//          -> checkPeerConfirmation / ownConfirmationHex -> createChannel

import { constantTimeEqual, fromHex, isLowerHex, randomBytes, toHex, utf8, wipe, buf } from './bytes.js';
import { SealedChannel } from './channel.js';
import { Spake2, Spake2Role, SPAKE2_KEY_SIZE } from './spake2.js';

// The first bytes of every SPAKE2 name and transcript.
export const CONTEXT_PREFIX = 'Kestrova/p3/SPAKE2-BoringSSL-ed25519|';
export const NONCE_HEX_LENGTH = 32;
export const REQUEST_ID_HEX_LENGTH = 32;
export const MESSAGE_HEX_LENGTH = 64;
export const CONFIRMATION_HEX_LENGTH = 64;
export const PAIRING_STRING_LENGTH = 100;

const PASSWORD_ALPHABET = 'ABCDEFGHJKLMNPQRSTUVWXYZ23456789';

// ---- Device ID and session password as typed ---------------------------------------------

// 9 ASCII digits, the first 1-9.
export function isValidDeviceId(id: string): boolean {
  return /^[1-9][0-9]{8}$/.test(id);
}

// Keeps only the digits 0-9 of what was typed; the caller then requires 9 of them.
export function normalizeDeviceIdInput(typed: string): string {
  return typed.replace(/[^0-9]/g, '');
}

// 8 characters of the password alphabet (no I, O, 0, 1).
export function isValidSessionPassword(password: string): boolean {
  if (password.length !== 8) return false;
  for (const c of password) if (!PASSWORD_ALPHABET.includes(c)) return false;
  return true;
}

// Drops tab, line feed, vertical tab, form feed, carriage return, space and "-", and turns a-z
// into A-Z; everything else passes unchanged (and then fails validation).
export function normalizeSessionPassword(typed: string): string {
  return typed.replace(/[\t\n\v\f\r \-]/g, '').replace(/[a-z]/g, (c) => c.toUpperCase());
}

// ---- The pairing string -------------------------------------------------------------------

// "p3:" + nonce + ":" + SPAKE2 message, exactly 100 characters.
export function makePairingString(nonceHex: string, messageHex: string): string {
  if (!isLowerHex(nonceHex, NONCE_HEX_LENGTH) || !isLowerHex(messageHex, MESSAGE_HEX_LENGTH)) {
    throw new Error('pairing string fields');
  }
  return `p3:${nonceHex}:${messageHex}`;
}

// Null unless exactly 100 characters, "p3:", ':' at 35 and lowercase hex in both fields.
export function parsePairingString(text: string): { nonceHex: string; messageHex: string } | null {
  if (text.length !== PAIRING_STRING_LENGTH || !text.startsWith('p3:') || text[35] !== ':') return null;
  const nonceHex = text.slice(3, 35);
  const messageHex = text.slice(36);
  if (!isLowerHex(nonceHex, NONCE_HEX_LENGTH) || !isLowerHex(messageHex, MESSAGE_HEX_LENGTH)) return null;
  return { nonceHex, messageHex };
}

// ---- Key schedule -------------------------------------------------------------------------

export interface PakeSchedule {
  hostToViewer: Uint8Array;
  viewerToHost: Uint8Array;
  hostConfirmation: Uint8Array;
  viewerConfirmation: Uint8Array;
}

export function transcript(deviceId: string, nonceHex: string, requestIdHex: string): string {
  return `${CONTEXT_PREFIX}${deviceId}|${nonceHex}|${requestIdHex}`;
}

// With T the transcript: each key is HKDF-SHA256(salt = 32 zero bytes, the 64-byte shared key,
// info = T + "|" + label, 32 bytes), and each confirmation is HMAC-SHA256 over T under its
// side's "-confirmation" key.
export async function derivePakeSchedule(
  sharedKey: Uint8Array,
  deviceId: string,
  nonceHex: string,
  requestIdHex: string,
): Promise<PakeSchedule> {
  if (sharedKey.length !== SPAKE2_KEY_SIZE) throw new Error('shared key size');
  const subtle = globalThis.crypto.subtle;
  const t = transcript(deviceId, nonceHex, requestIdHex);
  const ikm = await subtle.importKey('raw', buf(sharedKey), 'HKDF', false, ['deriveBits']);
  const expand = async (label: string) =>
    new Uint8Array(
      await subtle.deriveBits(
        { name: 'HKDF', hash: 'SHA-256', salt: new Uint8Array(32), info: buf(utf8(`${t}|${label}`)) },
        ikm,
        256,
      ),
    );
  const confirm = async (key: Uint8Array) => {
    const hmacKey = await subtle.importKey('raw', buf(key), { name: 'HMAC', hash: 'SHA-256' }, false, ['sign']);
    wipe(key);
    return new Uint8Array(await subtle.sign('HMAC', hmacKey, buf(utf8(t))));
  };
  const hostToViewer = await expand('host-to-viewer');
  const viewerToHost = await expand('viewer-to-host');
  const hostConfirmation = await confirm(await expand('host-confirmation'));
  const viewerConfirmation = await confirm(await expand('viewer-confirmation'));
  return { hostToViewer, viewerToHost, hostConfirmation, viewerConfirmation };
}

// ---- The exchange -------------------------------------------------------------------------

export class PakeExchange {
  private spake: Spake2 | null;
  private derived = false;
  private keysReady = false; // process finished: keys and confirmations hold real values
  private confirmationTested = false;
  private peerConfirmed = false;
  private channelCreated = false;
  private readonly ownMessage: string;
  private sendKey = new Uint8Array(32);
  private receiveKey = new Uint8Array(32);
  private ownConfirmation = new Uint8Array(32);
  private expectedPeerConfirmation = new Uint8Array(32);

  // Throws "PAKE context" for a malformed password, device ID or nonce.
  private constructor(
    password: string,
    readonly deviceId: string,
    readonly nonceHex: string,
    readonly isHost: boolean,
  ) {
    if (!isValidSessionPassword(password) || !isValidDeviceId(deviceId) || !isLowerHex(nonceHex, NONCE_HEX_LENGTH)) {
      throw new Error('PAKE context');
    }
    const base = `${CONTEXT_PREFIX}${deviceId}|${nonceHex}|`;
    const own = isHost ? 'host' : 'viewer';
    const peer = isHost ? 'viewer' : 'host';
    this.spake = new Spake2(isHost ? Spake2Role.Bob : Spake2Role.Alice, utf8(base + own), utf8(base + peer));
    const passwordBytes = utf8(password);
    this.ownMessage = toHex(this.spake.generateMessage(passwordBytes));
    wipe(passwordBytes);
  }

  static create(password: string, deviceId: string, nonceHex: string, isHost: boolean): PakeExchange {
    return new PakeExchange(password, deviceId, nonceHex, isHost);
  }

  // The viewer's start: a fresh nonce and its exchange.
  static startViewer(password: string, deviceId: string): { exchange: PakeExchange; nonceHex: string } {
    const nonce = randomBytes(16);
    const nonceHex = toHex(nonce);
    wipe(nonce);
    return { exchange: new PakeExchange(password, deviceId, nonceHex, false), nonceHex };
  }

  // The own SPAKE2 message, 64 lowercase hex characters.
  ownMessageHex(): string {
    return this.ownMessage;
  }

  // Takes the peer's message and derives keys and confirmations; runs at most once. A second
  // call or a malformed message or request ID throws "PAKE message"; a point that SPAKE2 refuses
  // "PAKE exchange".
  async process(peerMessageHex: string, requestIdHex: string): Promise<void> {
    const peerMessage = fromHex(peerMessageHex, 32);
    if (this.derived || !isLowerHex(requestIdHex, REQUEST_ID_HEX_LENGTH) || !peerMessage) {
      throw new Error('PAKE message');
    }
    this.derived = true;
    const spake = this.spake;
    this.spake = null;
    let shared: Uint8Array;
    try {
      if (!spake) throw new Error('gone');
      shared = spake.processMessage(peerMessage);
    } catch {
      throw new Error('PAKE exchange');
    } finally {
      spake?.dispose();
    }
    let s: PakeSchedule;
    try {
      s = await derivePakeSchedule(shared, this.deviceId, this.nonceHex, requestIdHex);
    } finally {
      wipe(shared);
    }
    this.sendKey.set(this.isHost ? s.hostToViewer : s.viewerToHost);
    this.receiveKey.set(this.isHost ? s.viewerToHost : s.hostToViewer);
    this.ownConfirmation.set(this.isHost ? s.hostConfirmation : s.viewerConfirmation);
    this.expectedPeerConfirmation.set(this.isHost ? s.viewerConfirmation : s.hostConfirmation);
    wipe(s.hostToViewer, s.viewerToHost, s.hostConfirmation, s.viewerConfirmation);
    this.keysReady = true;
  }

  // Tests the peer's confirmation once: false before process, on a second call, for malformed
  // text and for a wrong value. Never throws.
  checkPeerConfirmation(confirmationHex: string): boolean {
    if (!this.keysReady || this.confirmationTested) return false;
    this.confirmationTested = true;
    const received = fromHex(confirmationHex, 32);
    this.peerConfirmed = received !== null && constantTimeEqual(received, this.expectedPeerConfirmation);
    wipe(received);
    return this.peerConfirmed;
  }

  // Throws "PAKE not complete" before process or after createChannel.
  ownConfirmationHex(): string {
    if (!this.keysReady || this.channelCreated) throw new Error('PAKE not complete');
    return toHex(this.ownConfirmation);
  }

  // The channel, once the peer is confirmed; at most once ("PAKE confirmation required").
  async createChannel(): Promise<SealedChannel> {
    if (!this.peerConfirmed || this.channelCreated) throw new Error('PAKE confirmation required');
    this.channelCreated = true;
    try {
      return await SealedChannel.create(this.sendKey, this.receiveKey);
    } finally {
      this.dispose();
    }
  }

  // Zeroes every secret the exchange holds.
  dispose(): void {
    this.spake?.dispose();
    this.spake = null;
    wipe(this.sendKey, this.receiveKey, this.ownConfirmation, this.expectedPeerConfirmation);
  }
}
