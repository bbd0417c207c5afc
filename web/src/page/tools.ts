// The session tools on the viewer's side: chat, the manual clipboard send, and files both ways,
// with the program's checks and reason words. Received file data goes to a sink: a file the user
// chose, written as it arrives and kept only once its SHA-256 matches, or memory, handed to the
// page as a Blob then; files to send are read from a Blob in chunks.
// Malformed peer messages throw ProtocolError (the page ends the session); local failures of one
// transfer cancel that transfer only.
import { sha256 } from '@noble/hashes/sha2';
import { fail, hasMember, JsonInt, JsonObject, OutValue, requireString, ProtocolError } from '../json.js';
import { isLowerHex, toHex, utf8 } from '../bytes.js';

export const CHUNK_BYTES = 32768;
export const SEND_WINDOW_BYTES = 524288;
export const ACK_EVERY_CHUNKS = 4;
export const MAX_FILE_BYTES = 8589934592;
export const MAX_FILE_NAME_UNITS = 180;
export const CHAT_LIMIT = 1000;
export const CHAT_LOG_LINES = 50;
export const CHAT_RATE = 50;
export const CHAT_WINDOW_MS = 10000;
export const CLIPBOARD_LIMIT = 8192;
export const TRANSFER_IDLE_MS = 120000;
const ID_CHARS = 32;
const CHUNK_HEADER = ID_CHARS + 8;
const TOKEN_MAX = 4294967295n;

// A local failure of one transfer: the transfer ends with fileCancel, the session goes on.
class FileError extends Error {}

export interface ToolsIo {
  sendControl(message: { [name: string]: OutValue }): void;
  sendChunk(chunk: Uint8Array): void;
  newTransferId(): string;
}

export interface PeerTools {
  ready: boolean;
  files: boolean;
  clipboard: boolean;
  clipboardSync: boolean;
}

// What the page shows after a handled message.
export type ToolsEvent =
  | { kind: 'none' }
  | { kind: 'chat' }
  | { kind: 'status' }
  | { kind: 'offer' }
  | { kind: 'received'; name: string; blob: Blob | null }; // null: saved by its sink

// Where a received file's data goes, chunk by chunk in order. `commit` comes once the digest
// matched and gives the file as a Blob (null when the sink saved it itself); `abort` when the
// transfer ends otherwise, and nothing of it may stay. A write that fails may throw at once or
// later, from `write` or `commit`.
export interface ReceiveSink {
  write(data: Uint8Array): void;
  commit(): Promise<Blob | null>;
  abort(): void;
}

// The whole file in memory until it is complete.
export class MemorySink implements ReceiveSink {
  private parts: Uint8Array[] = [];
  write(data: Uint8Array): void {
    this.parts.push(data);
  }
  async commit(): Promise<Blob | null> {
    const blob = new Blob(this.parts as BlobPart[], { type: 'application/octet-stream' });
    this.parts = [];
    return blob;
  }
  abort(): void {
    this.parts = [];
  }
}

// What WritableSink needs of the browser's FileSystemWritableFileStream: its writes go to a
// temporary file that becomes the chosen file on close and is removed on abort.
export interface WritableFile {
  write(data: Uint8Array): Promise<void>;
  close(): Promise<void>;
  abort(): Promise<void>;
}

// A file the user chose: each chunk is written as it arrives (in order, one write at a time), so
// only the chunks not yet written are held in memory.
export class WritableSink implements ReceiveSink {
  private queue: Promise<void> = Promise.resolve();
  private failed: unknown = null;
  private ended = false;
  constructor(private readonly file: WritableFile) {}
  write(data: Uint8Array): void {
    if (this.failed) throw new FileError('write failed');
    if (this.ended) throw new FileError('write after the end');
    this.queue = this.queue.then(() => (this.failed ? undefined : this.file.write(data))).catch((error) => {
      this.failed ??= error ?? new Error('write failed');
    });
  }
  async commit(): Promise<Blob | null> {
    this.ended = true;
    await this.queue;
    if (this.failed) {
      await this.file.abort().catch(() => undefined);
      throw new FileError('write failed');
    }
    await this.file.close();
    return null;
  }
  abort(): void {
    if (this.ended) return;
    this.ended = true;
    void this.queue.then(() => this.file.abort()).catch(() => undefined);
  }
}

interface Receiver {
  id: string;
  name: string;
  size: number;
  received: number;
  sink: ReceiveSink;
  hash: ReturnType<typeof sha256.create>;
  sinceAck: number;
}

interface Sender {
  id: string;
  name: string;
  file: Blob;
  size: number;
  sent: number;
  acked: number;
  accepted: boolean;
  finishSent: boolean;
  hash: ReturnType<typeof sha256.create>;
}

export function isSafeFileName(name: string): boolean {
  if (name.length === 0 || name.length > MAX_FILE_NAME_UNITS) return false;
  if (name === '.' || name === '..' || name.endsWith('.') || name.endsWith(' ')) return false;
  for (const c of name) {
    const u = c.charCodeAt(0);
    if (u < 0x20 || (u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069) || '\\/:*?"<>|'.includes(c)) return false;
  }
  const dot = name.indexOf('.');
  const base = (dot < 0 ? name : name.slice(0, dot)).replace(/ +$/, '');
  const upper = base.replace(/[a-z]/g, (c) => c.toUpperCase());
  if (['CON', 'PRN', 'AUX', 'NUL', 'CONIN$', 'CONOUT$'].includes(upper)) return false;
  return !(upper.length === 4 && /^(COM|LPT)[0-9\u00b9\u00b2\u00b3]$/.test(upper));
}

// The chunks a file of `size` bytes is cut into: [offset, length] pairs.
export function chunkPlan(size: number): [number, number][] {
  const plan: [number, number][] = [];
  for (let offset = 0; offset < size; offset += CHUNK_BYTES) plan.push([offset, Math.min(CHUNK_BYTES, size - offset)]);
  return plan;
}

export function buildChunk(id: string, offset: number, data: Uint8Array): Uint8Array {
  const out = new Uint8Array(CHUNK_HEADER + data.length);
  out.set(utf8(id), 0);
  new DataView(out.buffer).setBigUint64(ID_CHARS, BigInt(offset), false);
  out.set(data, CHUNK_HEADER);
  return out;
}

function text(message: JsonObject, name: string): string {
  const value = requireString(message, name);
  if (value.includes('\0')) fail('embedded null');
  return value;
}

// An unsigned file member up to `bound`.
function fileValue(message: JsonObject, name: string, bound: number): number {
  if (!hasMember(message, name)) fail(`${name}: missing`);
  const value = message[name];
  if (!(value instanceof JsonInt)) fail('file value type');
  if (value.value < 0n) fail('negative file value');
  if (value.value > BigInt(bound)) fail('file value range');
  return Number(value.value);
}

function token(message: JsonObject, reason: string): bigint {
  const value = hasMember(message, 'token') ? message.token : undefined;
  if (!(value instanceof JsonInt) || value.value < 0n) fail(reason);
  return value.value;
}

export class SessionTools {
  chatLog: string[] = [];
  status = ''; // a catalogue key: Waiting, Sending, Receiving, Completed, Cancelled, File error...
  completed = 0;
  offer: { id: string; name: string; size: number } | null = null;
  receiver: Receiver | null = null;
  sender: Sender | null = null;
  readonly allowFiles = true;
  readonly allowClipboard = false;
  private cancelledIds: string[] = [];
  private lastActivity = 0;
  private chatWindowStart = 0;
  private chatCount = 0;

  constructor(
    private readonly io: ToolsIo,
    private readonly peer: () => PeerTools,
  ) {}

  // Bytes moved by the current transfers (for the Files button).
  progress(): { done: number; size: number } | null {
    if (this.receiver) return { done: this.receiver.received, size: this.receiver.size };
    if (this.sender?.accepted) return { done: this.sender.acked, size: this.sender.size };
    return null;
  }

  // ---- Received ---------------------------------------------------------------------------

  async handle(op: string, message: JsonObject, now: number): Promise<ToolsEvent> {
    if (!this.peer().ready) fail('features before negotiation');
    switch (op) {
      case 'chat':
        return this.onChat(message, now);
      case 'clipboard': {
        const value = text(message, 'text');
        if (value.length === 0 || value.length > CLIPBOARD_LIMIT) fail('clipboard limit');
        return { kind: 'none' }; // this page never allows incoming clipboard text
      }
      case 'clipboardSync': {
        const value = text(message, 'text');
        if (value.length > CLIPBOARD_LIMIT) fail('clipboard sync limit');
        const wanted = token(message, 'clipboard sync limit');
        if (wanted > TOKEN_MAX) fail('clipboard token bound');
        if (wanted !== 0n) this.io.sendControl({ op: 'clipboardAck', token: wanted, applied: false });
        return { kind: 'none' };
      }
      case 'clipboardAck': {
        if (!this.peer().clipboardSync || !(message.applied === true || message.applied === false)) fail('clipboard acknowledgement');
        const value = token(message, 'clipboard acknowledgement');
        if (value === 0n || value > TOKEN_MAX) fail('clipboard acknowledgement token');
        return { kind: 'none' }; // no paste is ever in flight: this page does not read the clipboard unasked
      }
    }
    if (!op.startsWith('file')) fail('unknown feature');
    return this.onFileMessage(op, message, now);
  }

  private onChat(message: JsonObject, now: number): ToolsEvent {
    const value = text(message, 'text');
    if (value.length === 0 || value.length > CHAT_LIMIT) fail('chat limit');
    if (now - this.chatWindowStart > CHAT_WINDOW_MS) {
      this.chatWindowStart = now;
      this.chatCount = 0;
    }
    if (++this.chatCount > CHAT_RATE) fail('chat rate');
    this.log('\u2190 ' + value);
    return { kind: 'chat' };
  }

  private async onFileMessage(op: string, message: JsonObject, now: number): Promise<ToolsEvent> {
    const id = requireString(message, 'id');
    if (!isLowerHex(id, ID_CHARS)) fail('file token');
    if (this.cancelledIds.includes(id)) return { kind: 'none' };
    this.lastActivity = now;
    switch (op) {
      case 'fileOffer': {
        const name = text(message, 'name');
        const size = fileValue(message, 'size', MAX_FILE_BYTES);
        if (!isSafeFileName(name)) fail('file name');
        if (!this.allowFiles || this.receiver || this.offer) {
          this.cancel(id);
          return { kind: 'none' };
        }
        this.offer = { id, name, size };
        this.status = 'File request';
        return { kind: 'offer' };
      }
      case 'fileAccept': {
        const sender = this.sender;
        if (!sender || sender.id !== id || sender.accepted) fail('unsolicited file acceptance');
        sender.accepted = true;
        this.status = 'Sending';
        await this.pumpOrFail(sender);
        return { kind: 'status' };
      }
      case 'fileAck': {
        const sender = this.sender;
        if (!sender || sender.id !== id || !sender.accepted || sender.finishSent) fail('unsolicited file acknowledgement');
        const next = fileValue(message, 'next', sender.sent);
        if (next <= sender.acked || (next % CHUNK_BYTES !== 0 && next !== sender.size)) fail('file acknowledgement offset');
        sender.acked = next;
        await this.pumpOrFail(sender);
        return { kind: 'status' };
      }
      case 'fileFinish': {
        const receiver = this.receiver;
        if (!receiver || receiver.id !== id) fail('unsolicited file completion');
        const digest = message.sha256;
        const local = toHex(receiver.hash.digest());
        if (typeof digest !== 'string' || receiver.received !== receiver.size || digest !== local) {
          this.fileError(id);
          return { kind: 'status' };
        }
        this.receiver = null;
        let blob: Blob | null;
        try {
          blob = await receiver.sink.commit();
        } catch {
          this.fileError(id); // the sink kept nothing; the sender learns of it by fileCancel
          return { kind: 'status' };
        }
        this.completed++;
        this.status = 'Completed';
        this.io.sendControl({ op: 'fileDone', id });
        return { kind: 'received', name: receiver.name, blob };
      }
      case 'fileDone': {
        if (!this.sender || this.sender.id !== id || !this.sender.finishSent) fail('unsolicited file receipt');
        this.sender = null;
        this.completed++;
        this.status = 'Completed';
        return { kind: 'status' };
      }
      case 'fileCancel':
        if (this.offer?.id === id) this.offer = null;
        if (this.receiver?.id === id) this.dropReceiver();
        if (this.sender?.id === id) this.sender = null;
        this.remember(id);
        this.status = 'Cancelled';
        return { kind: 'status' };
    }
    fail('unknown file message');
  }

  // One file chunk (sealed kind 5).
  chunk(data: Uint8Array, now: number): ToolsEvent {
    if (!this.peer().ready || data.length < CHUNK_HEADER + 1 || data.length > CHUNK_HEADER + CHUNK_BYTES) fail('file chunk bounds');
    const id = String.fromCharCode(...data.subarray(0, ID_CHARS));
    if (!isLowerHex(id, ID_CHARS)) fail('chunk token');
    if (this.cancelledIds.includes(id)) return { kind: 'none' };
    const receiver = this.receiver;
    if (!this.allowFiles || !receiver || receiver.id !== id) fail('file chunk without local acceptance');
    const offset = new DataView(data.buffer, data.byteOffset, data.byteLength).getBigUint64(ID_CHARS, false);
    const body = data.slice(CHUNK_HEADER);
    if (offset !== BigInt(receiver.received) || body.length > receiver.size - receiver.received) {
      this.fileError(id);
      return { kind: 'status' };
    }
    try {
      receiver.sink.write(body);
    } catch {
      this.fileError(id);
      return { kind: 'status' };
    }
    receiver.hash.update(body);
    receiver.received += body.length;
    this.lastActivity = now;
    if (++receiver.sinceAck >= ACK_EVERY_CHUNKS || receiver.received === receiver.size) {
      receiver.sinceAck = 0;
      this.io.sendControl({ op: 'fileAck', id, next: receiver.received });
    }
    return { kind: 'status' };
  }

  // ---- Local commands ----------------------------------------------------------------------

  sendChat(value: string): void {
    if (!this.peer().ready || value.length === 0 || value.length > CHAT_LIMIT) throw new Error('chat limit');
    this.io.sendControl({ op: 'chat', text: value });
    this.log('\u2192 ' + value);
  }

  // The manual clipboard send; false when the host does not allow clipboard text.
  sendClipboard(value: string): boolean {
    const peer = this.peer();
    if (!peer.ready || !peer.clipboard) return false;
    if (value.length === 0 || value.length > CLIPBOARD_LIMIT) throw new Error('clipboard limit or permission');
    this.io.sendControl({ op: 'clipboard', text: value });
    this.status = 'Sent';
    return true;
  }

  canOffer(): boolean {
    const peer = this.peer();
    return peer.ready && peer.files && !this.sender;
  }

  offerFile(file: Blob, name: string, now: number): void {
    if (!this.canOffer()) throw new Error('file offer unavailable');
    if (!isSafeFileName(name)) throw new Error('Unsafe file name');
    if (file.size > MAX_FILE_BYTES) throw new Error('File limit is 8 GiB');
    const id = this.io.newTransferId();
    this.io.sendControl({ op: 'fileOffer', id, name, size: file.size });
    this.sender = { id, name, file, size: file.size, sent: 0, acked: 0, accepted: false, finishSent: false, hash: sha256.create() };
    this.lastActivity = now;
    this.status = 'Waiting';
  }

  // "Save as": the data goes to `sink` (by default collected in memory and offered as a download
  // when it is complete). The sink is aborted when this throws.
  acceptOffer(now: number, sink: ReceiveSink = new MemorySink()): void {
    const offer = this.offer;
    if (!this.peer().ready || !this.allowFiles || !offer || this.receiver) {
      sink.abort();
      throw new Error('file acceptance unavailable');
    }
    this.offer = null;
    this.receiver = { id: offer.id, name: offer.name, size: offer.size, received: 0, sink, hash: sha256.create(), sinceAck: 0 };
    this.lastActivity = now;
    this.status = 'Receiving';
    this.io.sendControl({ op: 'fileAccept', id: offer.id });
  }

  declineOffer(): void {
    if (!this.offer) return;
    this.cancel(this.offer.id);
    this.offer = null;
    this.status = 'Cancelled';
  }

  cancelAll(): void {
    for (const id of [this.offer?.id, this.receiver?.id, this.sender?.id]) if (id) this.cancel(id);
    this.offer = null;
    this.dropReceiver();
    this.sender = null;
    this.status = 'Cancelled';
  }

  // Session end: everything dropped, nothing sent (partial downloads go with it).
  reset(): void {
    this.offer = null;
    this.dropReceiver();
    this.sender = null;
    this.chatLog = [];
    this.cancelledIds = [];
  }

  // The 500 ms tick: a transfer idle for more than 120 s is cancelled.
  tick(now: number): boolean {
    if ((this.sender || this.receiver || this.offer) && this.lastActivity !== 0 && now - this.lastActivity > TRANSFER_IDLE_MS) {
      this.cancelAll();
      return true;
    }
    return false;
  }

  // ---- Inside ------------------------------------------------------------------------------

  private log(line: string): void {
    this.chatLog.push(line);
    if (this.chatLog.length > CHAT_LOG_LINES) this.chatLog.shift();
  }

  private remember(id: string): void {
    if (!id) return;
    this.cancelledIds.push(id);
    if (this.cancelledIds.length > 16) this.cancelledIds.shift();
  }

  private cancel(id: string): void {
    this.remember(id);
    try {
      this.io.sendControl({ op: 'fileCancel', id });
    } catch {
      // The session is ending; the remembered id is enough.
    }
  }

  // The current received file ends unfinished: its sink keeps nothing.
  private dropReceiver(): void {
    this.receiver?.sink.abort();
    this.receiver = null;
  }

  private fileError(id: string): void {
    this.cancel(id);
    if (this.receiver?.id === id) this.dropReceiver();
    if (this.sender?.id === id) this.sender = null;
    this.status = 'File error';
  }

  private async pumpOrFail(sender: Sender): Promise<void> {
    try {
      await this.pump(sender);
    } catch (error) {
      if (error instanceof ProtocolError) throw error;
      this.fileError(sender.id);
    }
  }

  // Sends within the window of sixteen unacknowledged chunks; once everything is acknowledged,
  // the digest.
  private async pump(sender: Sender): Promise<void> {
    while (sender.sent < sender.size && sender.sent - sender.acked < SEND_WINDOW_BYTES) {
      const length = Math.min(sender.size - sender.sent, CHUNK_BYTES);
      const data = new Uint8Array(await sender.file.slice(sender.sent, sender.sent + length).arrayBuffer());
      if (this.sender !== sender) return; // cancelled while reading
      if (data.length !== length) throw new FileError('Selected file changed or read failed');
      sender.hash.update(data);
      this.io.sendChunk(buildChunk(sender.id, sender.sent, data));
      sender.sent += length;
    }
    if (sender.acked === sender.size && !sender.finishSent) {
      this.io.sendControl({ op: 'fileFinish', id: sender.id, sha256: toHex(sender.hash.digest()) });
      sender.finishSent = true;
    }
  }
}

