// Shared by the node tests: the built core (dist/core.js, what the page ships), WebCrypto on
// node versions that do not expose it globally, and the native reference program
// (web_protocol_peer): its vectors file and its serving mode as a peer over stdin/stdout.
import { webcrypto } from 'node:crypto';
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
