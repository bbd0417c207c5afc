// The sealed channel between viewer and host: one AES-256-GCM key per direction and
// per-direction sequence numbers. Every binary peer message is one sealed message:
//
//   offset 0  "OV" (0x4F 0x56)      offset 2  version (3)      offset 3  kind (1-255; 0 invalid)
//   offset 4  sequence, u64 big-endian, at least 1
//   offset 12 ciphertext (as long as the plaintext)            then a 16-byte GCM tag
//
// The GCM nonce is 4 zero bytes followed by the 8 sequence bytes; the 12-byte header is the
// additional authenticated data. Seals and opens each run one at a time in call order, so the
// sequence rules hold however the caller interleaves its awaits.

import { buf, wipe } from './bytes.js';

export enum SealedKind {
  Frame = 1, // host to viewer: frame header and JPEG
  Input = 2, // viewer to host: one JSON input event
  Binding = 3, // host to viewer: the 32-character request ID
  Control = 4, // both: one JSON control message
  Tools = 5, // both: one file chunk
}

export const CHANNEL_VERSION = 3;
export const SEALED_HEADER_SIZE = 12;
export const GCM_TAG_SIZE = 16;
export const SEALED_OVERHEAD = SEALED_HEADER_SIZE + GCM_TAG_SIZE; // 28
export const MAX_SEALED_SIZE = 8388608; // 8 MiB
export const MAX_SEALED_PLAINTEXT = MAX_SEALED_SIZE - SEALED_OVERHEAD;

const MAX_SEQUENCE = (1n << 64n) - 1n;

export interface Opened {
  kind: number;
  sequence: bigint;
  plaintext: Uint8Array;
}

function nonce(sequence: bigint): Uint8Array {
  const out = new Uint8Array(12);
  new DataView(out.buffer).setBigUint64(4, sequence, false);
  return out;
}

export class SealedChannel {
  private sendSequence = 0n; // the number last used
  private lastReceiveSequence = 0n; // the last one accepted
  private sealQueue: Promise<unknown> = Promise.resolve();
  private openQueue: Promise<unknown> = Promise.resolve();
  private closed = false;

  private constructor(
    private sendKey: CryptoKey | null,
    private receiveKey: CryptoKey | null,
  ) {}

  // Imports the two 32-byte keys (not extractable). The caller wipes its copies.
  static async create(sendKey32: Uint8Array, receiveKey32: Uint8Array): Promise<SealedChannel> {
    if (sendKey32.length !== 32 || receiveKey32.length !== 32) throw new Error('AES key import failed');
    const subtle = globalThis.crypto.subtle;
    const copies = [sendKey32.slice(), receiveKey32.slice()];
    try {
      const send = await subtle.importKey('raw', buf(copies[0]), 'AES-GCM', false, ['encrypt']);
      const receive = await subtle.importKey('raw', buf(copies[1]), 'AES-GCM', false, ['decrypt']);
      return new SealedChannel(send, receive);
    } catch {
      throw new Error('AES key import failed');
    } finally {
      wipe(...copies);
    }
  }

  // Seals one message. Throws "Invalid encrypted message size or kind" for kind 0 (or beyond a
  // byte) or a plaintext over MAX_SEALED_PLAINTEXT, "Encryption sequence exhausted" after
  // 2^64 - 1 messages, "Channel closed" after close. The sequence is taken before encrypting,
  // so a failure leaves a gap, which receivers accept.
  seal(kind: number, plaintext: Uint8Array): Promise<Uint8Array> {
    if (!Number.isInteger(kind) || kind < 1 || kind > 255 || plaintext.length > MAX_SEALED_PLAINTEXT) {
      return Promise.reject(new Error('Invalid encrypted message size or kind'));
    }
    const run = this.sealQueue.then(() => this.sealNow(kind, plaintext));
    this.sealQueue = run.catch(() => undefined);
    return run;
  }

  private async sealNow(kind: number, plaintext: Uint8Array): Promise<Uint8Array> {
    if (this.closed || !this.sendKey) throw new Error('Channel closed');
    if (this.sendSequence === MAX_SEQUENCE) throw new Error('Encryption sequence exhausted');
    const sequence = ++this.sendSequence;
    const header = new Uint8Array(SEALED_HEADER_SIZE);
    header[0] = 0x4f;
    header[1] = 0x56;
    header[2] = CHANNEL_VERSION;
    header[3] = kind;
    new DataView(header.buffer).setBigUint64(4, sequence, false);
    let body: Uint8Array;
    try {
      body = new Uint8Array(
        await globalThis.crypto.subtle.encrypt(
          { name: 'AES-GCM', iv: buf(nonce(sequence)), additionalData: header, tagLength: 128 },
          this.sendKey,
          buf(plaintext),
        ),
      );
    } catch {
      throw new Error('Authenticated encryption failed');
    }
    if (body.length !== plaintext.length + GCM_TAG_SIZE) throw new Error('Unexpected encryption length');
    const sealed = new Uint8Array(SEALED_HEADER_SIZE + body.length);
    sealed.set(header);
    sealed.set(body, SEALED_HEADER_SIZE);
    return sealed;
  }

  // Opens one sealed message; null, with nothing changed, for a length outside 28 to 8388608,
  // a wrong magic or version, kind 0, a sequence that does not rise strictly (gaps are fine), a
  // failed tag check, or a closed channel.
  open(sealed: Uint8Array): Promise<Opened | null> {
    const run = this.openQueue.then(() => this.openNow(sealed));
    this.openQueue = run.catch(() => undefined);
    return run;
  }

  private async openNow(sealed: Uint8Array): Promise<Opened | null> {
    if (this.closed || !this.receiveKey) return null;
    if (sealed.length < SEALED_OVERHEAD || sealed.length > MAX_SEALED_SIZE) return null;
    if (sealed[0] !== 0x4f || sealed[1] !== 0x56 || sealed[2] !== CHANNEL_VERSION || sealed[3] === 0) return null;
    const view = new DataView(sealed.buffer, sealed.byteOffset, sealed.byteLength);
    const sequence = view.getBigUint64(4, false);
    if (sequence === 0n || sequence <= this.lastReceiveSequence) return null;
    const header = sealed.slice(0, SEALED_HEADER_SIZE);
    let plaintext: Uint8Array;
    try {
      plaintext = new Uint8Array(
        await globalThis.crypto.subtle.decrypt(
          { name: 'AES-GCM', iv: buf(nonce(sequence)), additionalData: header, tagLength: 128 },
          this.receiveKey,
          buf(sealed.slice(SEALED_HEADER_SIZE)),
        ),
      );
    } catch {
      return null;
    }
    if (this.closed) {
      wipe(plaintext);
      return null;
    }
    this.lastReceiveSequence = sequence;
    return { kind: header[3], sequence, plaintext };
  }

  // Drops both keys; every later seal throws and every later open returns null.
  close(): void {
    this.closed = true;
    this.sendKey = null;
    this.receiveKey = null;
    this.sendSequence = 0n;
    this.lastReceiveSequence = 0n;
  }
}
