// Byte helpers shared by the protocol core: lowercase hex, UTF-8, constant-time comparison and
// wiping. Hex is always lowercase, two characters per byte, high nibble first; decoding refuses
// anything else.

const HEX = '0123456789abcdef';

export function toHex(bytes: Uint8Array): string {
  let out = '';
  for (const b of bytes) out += HEX[b >> 4] + HEX[b & 15];
  return out;
}

// True when `text` is exactly `length` characters of 0-9 and a-f.
export function isLowerHex(text: string, length: number): boolean {
  if (text.length !== length) return false;
  for (let i = 0; i < text.length; i++) {
    const c = text.charCodeAt(i);
    if (!((c >= 0x30 && c <= 0x39) || (c >= 0x61 && c <= 0x66))) return false;
  }
  return true;
}

// Decodes exactly `byteCount` bytes of lowercase hex; null for any other text.
export function fromHex(text: string, byteCount: number): Uint8Array | null {
  if (!isLowerHex(text, byteCount * 2)) return null;
  const out = new Uint8Array(byteCount);
  for (let i = 0; i < byteCount; i++) out[i] = parseInt(text.substr(i * 2, 2), 16);
  return out;
}

const encoder = new TextEncoder();
const strictDecoder = new TextDecoder('utf-8', { fatal: true, ignoreBOM: true });

export function utf8(text: string): Uint8Array {
  return encoder.encode(text);
}

// Decodes UTF-8, throwing on any invalid sequence (never substitutes U+FFFD).
export function fromUtf8(bytes: Uint8Array): string {
  return strictDecoder.decode(bytes);
}

export function concat(...parts: Uint8Array[]): Uint8Array {
  let size = 0;
  for (const p of parts) size += p.length;
  const out = new Uint8Array(size);
  let at = 0;
  for (const p of parts) {
    out.set(p, at);
    at += p.length;
  }
  return out;
}

// OR of the XOR of every byte pair, no early exit; false for different lengths.
export function constantTimeEqual(a: Uint8Array, b: Uint8Array): boolean {
  if (a.length !== b.length) return false;
  let diff = 0;
  for (let i = 0; i < a.length; i++) diff |= a[i] ^ b[i];
  return diff === 0;
}

// Overwrites secret bytes with zeros. JavaScript strings and bigints cannot be wiped; the core
// keeps secrets in Uint8Arrays wherever the platform lets it.
export function wipe(...buffers: (Uint8Array | null | undefined)[]): void {
  for (const b of buffers) b?.fill(0);
}

export function randomBytes(count: number): Uint8Array {
  const out = new Uint8Array(count);
  globalThis.crypto.getRandomValues(out);
  return out;
}

// WebCrypto takes BufferSource; a Uint8Array over a plain ArrayBuffer is one.
export function buf(bytes: Uint8Array): Uint8Array<ArrayBuffer> {
  return bytes as Uint8Array<ArrayBuffer>;
}
