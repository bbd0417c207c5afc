// Shared by the node tests: the built core (dist/core.js, what the page ships), WebCrypto on
// node versions that do not expose it globally, and the native reference program
// (web_protocol_peer): its vectors file and its serving mode as a peer over stdin/stdout.
import { createHash, webcrypto } from 'node:crypto';
import { spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { createInterface } from 'node:readline';

if (!globalThis.crypto) globalThis.crypto = webcrypto;

export const core = await import('../dist/core.js');

function required(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set (scripts/web-test sets it)`);
  return value;
}

export const vectors = JSON.parse(readFileSync(required('KESTROVA_WEB_VECTORS'), 'utf8'));

export const hex = (bytes) => Buffer.from(bytes).toString('hex');
export const unhex = (text) => new Uint8Array(Buffer.from(text, 'hex'));
export const text = (bytes) => Buffer.from(bytes).toString('utf8');

// One running native peer; each request is one JSON line answered by one JSON line.
export class NativePeer {
  constructor() {
    this.child = spawn(required('KESTROVA_WEB_PEER'), ['serve'], { stdio: ['pipe', 'pipe', 'inherit'] });
    this.pending = [];
    createInterface({ input: this.child.stdout }).on('line', (line) => this.pending.shift()?.resolve(JSON.parse(line)));
    this.child.on('exit', (code) => {
      for (const p of this.pending.splice(0)) p.reject(new Error(`native peer exited with ${code}`));
    });
    this.child.on('error', (error) => {
      for (const p of this.pending.splice(0)) p.reject(error);
    });
  }

  ask(command) {
    return new Promise((resolve, reject) => {
      this.pending.push({ resolve, reject });
      this.child.stdin.write(JSON.stringify(command) + '\n');
    });
  }

  close() {
    this.child.stdin.end();
  }
}

// The core's frame receiver with pictures as byte arrays in the program's pixel layout, each JPEG
// decoded by the program's own viewer decoder (the native peer's "decode"), so that a composed
// picture can be compared with the native viewer's byte for byte.
export function byteCompositor(peer) {
  const row = (picture, x, y) => (y * picture.width + x) * 4;
  return {
    async decode(jpeg) {
      const reply = await peer.ask({ cmd: 'decode', jpeg: hex(jpeg) });
      if (reply.refused) throw new Error('refused by the decoder');
      return { width: reply.width, height: reply.height, bytes: unhex(reply.pixels) };
    },
    adopt: (decoded) => decoded,
    create: (width, height) => ({ width, height, bytes: new Uint8Array(width * height * 4) }),
    writable: (picture) => picture,
    move(picture, { source, toX, toY }) {
      const before = picture.bytes.slice();
      for (let y = 0; y < source.height; y++) {
        const from = row(picture, source.x, source.y + y);
        picture.bytes.set(before.subarray(from, from + source.width * 4), row(picture, toX, toY + y));
      }
    },
    draw(picture, decoded, at) {
      for (let y = 0; y < at.height; y++) {
        picture.bytes.set(decoded.bytes.subarray(y * at.width * 4, (y + 1) * at.width * 4), row(picture, at.x, at.y + y));
      }
    },
    release() {},
    drop() {},
  };
}

export const pictureHash = (picture) => (picture ? createHash('sha256').update(picture.bytes).digest('hex') : null);
