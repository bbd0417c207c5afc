// The bounded JSON reader and the one JSON writer of the protocol, matching the native codec:
//
// - Exactly one JSON text (RFC 8259), white space around it allowed, a leading UTF-8 byte order
//   mark skipped, no comments; invalid UTF-8, a NUL byte anywhere (no JSON text holds one), a
//   lone surrogate escape or a number too large for a double are errors.
// - Nesting: no value or member name may lie inside more than MAX_DEPTH containers, so
//   {"a":{"b":{"c":{"d":1}}}} and {"a":{"b":{"c":{"d":{}}}}} pass, {"a":{"b":{"c":{"d":{"e":1}}}}}
//   fails with "message nesting".
// - Numbers keep their kind: an integer token is a JsonInt (unsigned when it has no minus sign
//   and fits 64 bits, signed when it has one and fits 64 bits), everything else (fractions,
//   exponents, integers beyond 64 bits) is a plain number. 3.0 is not an integer.
// - Objects have no prototype; a repeated member name keeps its last value.
//
// The writer is compact, lists members in ascending order of their names (UTF-16 order equals
// byte order for the names the protocol uses), writes non-ASCII as UTF-8 and refuses strings
// holding a lone surrogate, which have no UTF-8 form.

import { fromUtf8 } from './bytes.js';

export const MAX_DEPTH = 4;
export const RELAY_TEXT_LIMIT = 16384;
export const CONTROL_MESSAGE_LIMIT = 48000;
export const INPUT_MESSAGE_LIMIT = 1024;

export class JsonInt {
  constructor(
    readonly value: bigint,
    readonly unsigned: boolean,
  ) {}
}

export type JsonValue = null | boolean | string | number | JsonInt | JsonValue[] | JsonObject;
export interface JsonObject {
  [name: string]: JsonValue;
}

// Every refusal of a received message: the reason is for logs and tests, never for the user.
export class ProtocolError extends Error {
  constructor(reason: string) {
    super(reason);
    this.name = 'ProtocolError';
  }
}

export function fail(reason: string): never {
  throw new ProtocolError(reason);
}

const NUMBER = /-?(?:0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?/y;
const UINT64_MAX = (1n << 64n) - 1n;
const INT64_MIN = -(1n << 63n);

class Parser {
  private at = 0;
  constructor(
    private readonly text: string,
    private readonly maxDepth: number,
  ) {}

  parseDocument(): JsonValue {
    if (this.text.charCodeAt(0) === 0xfeff) this.at = 1;
    this.skipSpace();
    const value = this.value(0);
    this.skipSpace();
    if (this.at !== this.text.length) this.syntax('trailing data');
    return value;
  }

  private syntax(what: string): never {
    fail(`JSON syntax: ${what} at ${this.at}`);
  }

  private skipSpace(): void {
    for (;;) {
      const c = this.text.charCodeAt(this.at);
      if (c === 0x20 || c === 0x09 || c === 0x0a || c === 0x0d) this.at++;
      else return;
    }
  }

  // `depth`: the number of containers around this value.
  private value(depth: number): JsonValue {
    if (depth > this.maxDepth) fail('message nesting');
    const c = this.text[this.at];
    if (c === '{') return this.object(depth);
    if (c === '[') return this.array(depth);
    if (c === '"') return this.string();
    if (c === '-' || (c >= '0' && c <= '9')) return this.number();
    for (const [word, result] of [['true', true], ['false', false], ['null', null]] as const) {
      if (this.text.startsWith(word, this.at)) {
        this.at += word.length;
        return result;
      }
    }
    this.syntax('unexpected character');
  }

  private object(depth: number): JsonObject {
    const out: JsonObject = Object.create(null);
    this.at++;
    this.skipSpace();
    if (this.text[this.at] === '}') {
      this.at++;
      return out;
    }
    for (;;) {
      if (this.text[this.at] !== '"') this.syntax('expected a member name');
      const name = this.string();
      this.skipSpace();
      if (this.text[this.at] !== ':') this.syntax("expected ':'");
      this.at++;
      this.skipSpace();
      const member = this.value(depth + 1);
      Object.defineProperty(out, name, { value: member, enumerable: true, writable: true, configurable: true });
      this.skipSpace();
      const c = this.text[this.at++];
      if (c === '}') return out;
      if (c !== ',') this.syntax("expected ',' or '}'");
      this.skipSpace();
    }
  }

  private array(depth: number): JsonValue[] {
    const out: JsonValue[] = [];
    this.at++;
    this.skipSpace();
    if (this.text[this.at] === ']') {
      this.at++;
      return out;
    }
    for (;;) {
      out.push(this.value(depth + 1));
      this.skipSpace();
      const c = this.text[this.at++];
      if (c === ']') return out;
      if (c !== ',') this.syntax("expected ',' or ']'");
      this.skipSpace();
    }
  }

  private string(): string {
    this.at++;
    let out = '';
    let runStart = this.at;
    for (;;) {
      if (this.at >= this.text.length) this.syntax('unterminated string');
      const c = this.text.charCodeAt(this.at);
      if (c === 0x22) {
        out += this.text.slice(runStart, this.at);
        this.at++;
        return out;
      }
      if (c < 0x20) this.syntax('control character in string');
      if (c !== 0x5c) {
        this.at++;
        continue;
      }
      out += this.text.slice(runStart, this.at);
      const e = this.text[this.at + 1];
      this.at += 2;
      const simple: Record<string, string> = { '"': '"', '\\': '\\', '/': '/', b: '\b', f: '\f', n: '\n', r: '\r', t: '\t' };
      if (e !== undefined && e in simple) {
        out += simple[e];
      } else if (e === 'u') {
        const unit = this.hex4();
        if (unit >= 0xdc00 && unit <= 0xdfff) this.syntax('lone low surrogate');
        if (unit >= 0xd800 && unit <= 0xdbff) {
          if (this.text[this.at] !== '\\' || this.text[this.at + 1] !== 'u') this.syntax('lone high surrogate');
          this.at += 2;
          const low = this.hex4();
          if (low < 0xdc00 || low > 0xdfff) this.syntax('lone high surrogate');
          out += String.fromCharCode(unit, low);
        } else {
          out += String.fromCharCode(unit);
        }
      } else {
        this.syntax('bad escape');
      }
      runStart = this.at;
    }
  }

  private hex4(): number {
    const digits = this.text.substr(this.at, 4);
    if (!/^[0-9a-fA-F]{4}$/.test(digits)) this.syntax('bad \\u escape');
    this.at += 4;
    return parseInt(digits, 16);
  }

  private number(): number | JsonInt {
    NUMBER.lastIndex = this.at;
    const match = NUMBER.exec(this.text);
    if (!match || /[0-9]/.test(this.text.charAt(this.at + match[0].length))) this.syntax('bad number');
    const token = match[0];
    this.at += token.length;
    if (match[1] === undefined && match[2] === undefined) {
      const value = BigInt(token);
      const negative = token.startsWith('-');
      if (!negative && value <= UINT64_MAX) return new JsonInt(value, true);
      if (negative && value >= INT64_MIN) return new JsonInt(value, false);
    }
    const value = Number(token);
    if (!Number.isFinite(value)) fail('number overflow');
    return value;
  }
}

// Parses one message of UTF-8 bytes (or already decoded text) with the nesting bound.
export function parseMessage(input: Uint8Array | string, maxDepth = MAX_DEPTH): JsonValue {
  const text = typeof input === 'string' ? input : decodeStrict(input);
  return new Parser(text, maxDepth).parseDocument();
}

function decodeStrict(bytes: Uint8Array): string {
  try {
    return fromUtf8(bytes);
  } catch {
    fail('JSON syntax: invalid UTF-8');
  }
}

export function isObject(value: JsonValue | undefined): value is JsonObject {
  return typeof value === 'object' && value !== null && !Array.isArray(value) && !(value instanceof JsonInt);
}

function has(message: JsonObject, name: string): boolean {
  return Object.prototype.hasOwnProperty.call(message, name);
}

export function requireObject(value: JsonValue, reason = 'not an object'): JsonObject {
  if (!isObject(value)) fail(reason);
  return value;
}

// A member read as text with the empty text when absent; any other type is an error.
export function defaultString(message: JsonObject, name: string): string {
  if (!has(message, name)) return '';
  const value = message[name];
  if (typeof value !== 'string') fail(`${name}: not a string`);
  return value;
}

export function requireString(message: JsonObject, name: string): string {
  if (!has(message, name)) fail(`${name}: missing`);
  const value = message[name];
  if (typeof value !== 'string') fail(`${name}: not a string`);
  return value;
}

// A required boolean: missing or of another type fails with `reason`.
export function requireBool(message: JsonObject, name: string, reason = `${name}: not a boolean`): boolean {
  const value = has(message, name) ? message[name] : undefined;
  if (typeof value !== 'boolean') fail(reason);
  return value;
}

// A 32-bit integer member within [min, max]: "input range" outside it, "input number" for any
// other type, floating-point numbers such as 3.0 included, and for a missing member.
export function requireInt(message: JsonObject, name: string, min: number, max: number): number {
  if (!has(message, name)) fail(`${name}: missing`);
  const value = message[name];
  if (!(value instanceof JsonInt)) fail('input number');
  if (value.value < BigInt(min) || value.value > BigInt(max)) fail('input range');
  return Number(value.value);
}

// A non-negative integer member up to 2^64 - 1; `reason` for anything else.
export function requireUnsigned(message: JsonObject, name: string, reason: string): bigint {
  const value = has(message, name) ? message[name] : undefined;
  if (!(value instanceof JsonInt) || value.value < 0n) fail(reason);
  return value.value;
}

export function hasMember(message: JsonObject, name: string): boolean {
  return has(message, name);
}

// ---- Writing ------------------------------------------------------------------------------

export type OutValue = null | boolean | string | number | bigint | OutValue[] | { [name: string]: OutValue };

export function serialize(value: OutValue): string {
  if (value === null) return 'null';
  if (typeof value === 'boolean') return value ? 'true' : 'false';
  if (typeof value === 'bigint') return value.toString();
  if (typeof value === 'number') {
    if (!Number.isSafeInteger(value)) throw new Error('serialize: only integers are written');
    return String(value);
  }
  if (typeof value === 'string') {
    if (/[\ud800-\udbff](?![\udc00-\udfff])|(?<![\ud800-\udbff])[\udc00-\udfff]/.test(value)) {
      throw new Error('serialize: a string without a UTF-8 form');
    }
    return JSON.stringify(value);
  }
  if (Array.isArray(value)) return '[' + value.map(serialize).join(',') + ']';
  const names = Object.keys(value).sort(compareNames);
  return '{' + names.map((n) => serialize(n) + ':' + serialize(value[n])).join(',') + '}';
}

// Byte order of UTF-8, which for UTF-16 text is code point order.
function compareNames(a: string, b: string): number {
  const x = Array.from(a, (c) => c.codePointAt(0)!);
  const y = Array.from(b, (c) => c.codePointAt(0)!);
  for (let i = 0; i < Math.min(x.length, y.length); i++) if (x[i] !== y[i]) return x[i] - y[i];
  return x.length - y.length;
}
