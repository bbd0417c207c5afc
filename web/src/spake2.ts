// SPAKE2 over Ed25519, message for message and key for key the construction of BoringSSL's
// SPAKE2_generate_msg / SPAKE2_process_msg (its spake25519.c), which the native program uses.
// The curve arithmetic is @noble/curves'; only the composition is written here.
//
//   private key  x = 8 * (64 random bytes little-endian mod l)
//   password     h = SHA-512(password); w = (h mod l) plus l, 2l and 4l as needed so that w is
//                a multiple of 8 (BoringSSL's fix that puts the mask in the prime-order subgroup)
//   message      x*B + w*M (alice) or x*B + w*N (bob), 32 bytes
//   shared       x * (peer message - w*N) for alice, w*M for bob
//   key          SHA-512 over (8-byte little-endian length + bytes) of: alice's name, bob's name,
//                alice's message, bob's message, the shared point, the 64-byte password hash
//
// M and N have small-order components; since w and x are multiples of 8, w*M = (w/8) * (8M) and
// x*Q = (x/8) * (8Q), which lets every product be taken with a scalar below l.

import { ed25519 } from '@noble/curves/ed25519';
import { sha512 } from '@noble/hashes/sha2';
import { randomBytes, wipe } from './bytes.js';

type Point = InstanceType<typeof ed25519.Point>;
const Point = ed25519.Point;
const L = ed25519.Point.Fn.ORDER;

// BoringSSL's points, from SHA-256 of "edwards25519 point generation seed (M)" and "(N)".
const M = Point.fromHex('5ada7e4bf6ddd9adb6626d32131c6b5c51a1e347a3478f53cfcf441b88eed12e');
const N = Point.fromHex('10e3df0ae37d8e7a99b5fe74b44672103dbddcbd06af680d71329a11693bc778');
const M8 = M.clearCofactor();
const N8 = N.clearCofactor();

export const SPAKE2_MESSAGE_SIZE = 32;
export const SPAKE2_KEY_SIZE = 64;

export enum Spake2Role {
  Alice = 0,
  Bob = 1,
}

function numberLE(bytes: Uint8Array): bigint {
  let n = 0n;
  for (let i = bytes.length - 1; i >= 0; i--) n = (n << 8n) | BigInt(bytes[i]);
  return n;
}

function lengthPrefixed(data: Uint8Array): Uint8Array[] {
  const length = new Uint8Array(8);
  let n = data.length;
  for (let i = 0; i < 8; i++) {
    length[i] = n & 0xff;
    n = Math.floor(n / 256);
  }
  return [length, data];
}

// k * P for a multiple-of-8 point P (in the prime-order subgroup), 0 <= k < l.
function times(point: Point, k: bigint): Point {
  return k === 0n || point.is0() ? Point.ZERO : point.multiply(k);
}

// One side of one exchange: generateMessage once, then processMessage once.
export class Spake2 {
  private state: 'init' | 'generated' | 'done' = 'init';
  private privateEighth = 0n; // x / 8
  private passwordEighth = 0n; // w / 8
  private readonly passwordHash = new Uint8Array(64);
  private readonly myMessage = new Uint8Array(SPAKE2_MESSAGE_SIZE);
  private readonly myName: Uint8Array;
  private readonly theirName: Uint8Array;

  constructor(
    private readonly role: Spake2Role,
    myName: Uint8Array,
    theirName: Uint8Array,
  ) {
    this.myName = myName.slice();
    this.theirName = theirName.slice();
  }

  // The own 32-byte message. Throws when called twice.
  generateMessage(password: Uint8Array): Uint8Array {
    if (this.state !== 'init') throw new Error('SPAKE2 message already generated');
    const random = randomBytes(64);
    let r = numberLE(random) % L;
    wipe(random);
    // BoringSSL would take r = 0 too (probability 2^-252); a zero key is of no use to anyone.
    while (r === 0n) {
      const again = randomBytes(64);
      r = numberLE(again) % L;
      wipe(again);
    }
    this.privateEighth = r;

    const hash = sha512(password);
    this.passwordHash.set(hash);
    let w = numberLE(hash) % L;
    wipe(hash);
    if (w & 1n) w += L;
    if (w & 2n) w += 2n * L;
    if (w & 4n) w += 4n * L;
    this.passwordEighth = w / 8n;

    // x*B = 8r*B with B of prime order.
    const own = Point.BASE.multiply((8n * r) % L);
    const mask = times(this.role === Spake2Role.Alice ? M8 : N8, this.passwordEighth);
    this.myMessage.set(own.add(mask).toBytes());
    this.state = 'generated';
    return this.myMessage.slice();
  }

  // The 64-byte shared key from the peer's message. Throws for a message that is not 32 bytes
  // or not an encoding of a curve point (non-canonical encodings are taken, as BoringSSL does),
  // and when called out of order.
  processMessage(theirMessage: Uint8Array): Uint8Array {
    if (this.state !== 'generated') throw new Error('SPAKE2 state');
    if (theirMessage.length !== SPAKE2_MESSAGE_SIZE) throw new Error('SPAKE2 message size');
    this.state = 'done';
    let peer: Point;
    try {
      peer = Point.fromBytes(theirMessage.slice(), /*zip215=*/ true);
    } catch {
      throw new Error('SPAKE2 peer point');
    }
    const peerMask = times(this.role === Spake2Role.Alice ? N8 : M8, this.passwordEighth);
    const unmasked = peer.subtract(peerMask);
    const shared = times(unmasked.clearCofactor(), this.privateEighth).toBytes();

    const alice = this.role === Spake2Role.Alice;
    const parts = [
      ...lengthPrefixed(alice ? this.myName : this.theirName),
      ...lengthPrefixed(alice ? this.theirName : this.myName),
      ...lengthPrefixed(alice ? this.myMessage : theirMessage),
      ...lengthPrefixed(alice ? theirMessage : this.myMessage),
      ...lengthPrefixed(shared),
      ...lengthPrefixed(this.passwordHash),
    ];
    const h = sha512.create();
    for (const p of parts) h.update(p);
    const key = h.digest();
    wipe(shared);
    this.dispose();
    return key;
  }

  // Forgets the secrets (bigints are dropped, bytes zeroed).
  dispose(): void {
    this.privateEighth = 0n;
    this.passwordEighth = 0n;
    wipe(this.passwordHash);
  }
}
