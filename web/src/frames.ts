// Frame messages of the host's stream: big-endian epoch (4 bytes), big-endian sequence number
// (4 bytes), then one JPEG, checked by a bounds-checked walk over its markers before any decoder
// sees it; or, once both ends announced "regionFrames", a changed-region frame (below) whose
// rectangles are composed onto the retained picture. Refusals throw ProtocolError with the
// program's reason words; the session then ends.
import { fail, ProtocolError } from './json.js';

export const FRAME_HEADER_BYTES = 8;
export const MIN_JPEG_BYTES = 4;
export const MAX_JPEG_BYTES = 0x7fffff;
export const MAX_IMAGE_WIDTH = 7680;
export const MAX_IMAGE_HEIGHT = 4320;

export interface JpegHeader {
  width: number;
  height: number;
  components: number;
  marker: number; // 0xC0, 0xC1 or 0xC2
}

// The frame header of an acceptable JPEG: 8-bit baseline, extended or progressive Huffman, 1, 3
// or 4 components, within 7680 x 4320, a start of scan after it; null otherwise.
export function checkJpegMarkers(data: Uint8Array): JpegHeader | null {
  if (data.length < MIN_JPEG_BYTES || data.length > MAX_JPEG_BYTES) return null;
  if (data[0] !== 0xff || data[1] !== 0xd8) return null;
  let at = 2;
  let frame: JpegHeader | null = null;
  let frameSeen = false;
  for (;;) {
    if (at >= data.length || data[at] !== 0xff) return null;
    at++;
    let marker = 0xff;
    while (marker === 0xff) {
      if (at >= data.length) return null;
      marker = data[at++];
    }
    if (marker === 0x00 || marker === 0xd8 || marker === 0xd9) return null;
    if (marker === 0x01 || (marker >= 0xd0 && marker <= 0xd7)) continue;
    if (data.length - at < 2) return null;
    const length = (data[at] << 8) | data[at + 1];
    at += 2;
    if (length < 2 || length - 2 > data.length - at) return null;
    const body = at;
    at += length - 2;
    const isFrameHeader = marker >= 0xc0 && marker <= 0xcf && marker !== 0xc4 && marker !== 0xc8 && marker !== 0xcc;
    if (isFrameHeader) {
      if (frameSeen) return null;
      frameSeen = true;
      if (marker !== 0xc0 && marker !== 0xc1 && marker !== 0xc2) return null;
      if (length < 8) return null;
      const precision = data[body];
      const height = (data[body + 1] << 8) | data[body + 2];
      const width = (data[body + 3] << 8) | data[body + 4];
      const components = data[body + 5];
      if (precision !== 8) return null;
      if (height < 1 || height > MAX_IMAGE_HEIGHT) return null;
      if (width < 1 || width > MAX_IMAGE_WIDTH) return null;
      if (components !== 1 && components !== 3 && components !== 4) return null;
      if (length !== 3 * components + 8) return null;
      frame = { width, height, components, marker };
      continue;
    }
    if (marker === 0xda) {
      if (!frame || length < 6) return null;
      return frame;
    }
  }
}

export interface Frame {
  epoch: number;
  seq: number;
  jpeg: Uint8Array;
  header: JpegHeader;
  size: number; // the whole message, header included
}

// One received frame message for the current `epoch`: the frame to decode and acknowledge, or
// null for a frame of another epoch (dropped silently, never acknowledged).
export function readFrame(message: Uint8Array, epoch: number): Frame | null {
  if (message.length <= FRAME_HEADER_BYTES) fail('frame header');
  const view = new DataView(message.buffer, message.byteOffset, message.byteLength);
  if (view.getUint32(0) !== epoch) return null;
  const seq = view.getInt32(4);
  if (seq < 1) fail('frame sequence');
  const jpeg = message.subarray(FRAME_HEADER_BYTES);
  const header = checkJpegMarkers(jpeg);
  if (!header) fail('invalid image');
  return { epoch, seq, jpeg, header, size: message.length };
}

// ---- Changed-region frames ----------------------------------------------------------------------
//
// The same header, then (all integers big-endian):
//    8  1  marker 0x52 (a whole frame has its JPEG's 0xFF here)
//    9  1  flags: bit 0 "full" (the rectangles tile the picture and replace it), bit 1 "copy" (a
//          copy follows); no other bit, never both
//   10  2  picture width 1..7680;  12  2  picture height 1..4320
//   14  2  rectangle count 0..64 (at least 1 when full)
//   16 12  with "copy" only: source x, y, width, height, destination x, y: that area of the
//          retained picture moves there (a scroll) before the rectangles are drawn
//      ..  per rectangle: x, y, width, height (2 bytes each), JPEG length (4 bytes), the JPEG
// Rectangles lie inside the picture, are at least 1 x 1 and do not overlap; a full message's
// cover it. The message ends with the last JPEG. No rectangle and no copy: nothing changed.

export const REGION_FRAME_MARKER = 0x52;
export const REGION_FLAG_FULL = 0x01;
export const REGION_FLAG_COPY = 0x02;
export const REGION_FIXED_BYTES = 16;
export const REGION_COPY_BYTES = 12;
export const REGION_RECT_HEADER_BYTES = 12;
export const MAX_REGION_RECTS = 64;
// The largest frame message the host's send path takes.
export const MAX_FRAME_MESSAGE_BYTES = 8388580;

export interface RegionRect {
  x: number;
  y: number;
  width: number;
  height: number;
}

export interface RegionCopy {
  source: RegionRect;
  toX: number;
  toY: number;
}

export interface RegionPart {
  rect: RegionRect;
  jpeg: Uint8Array; // a view into the message
}

export interface RegionFrame {
  epoch: number;
  seq: number;
  full: boolean;
  copy: RegionCopy | null;
  width: number;
  height: number;
  parts: RegionPart[];
}

export function isRegionFrameMessage(message: Uint8Array): boolean {
  return message.length > FRAME_HEADER_BYTES && message[FRAME_HEADER_BYTES] === REGION_FRAME_MARKER;
}

const inside = (r: RegionRect, width: number, height: number) =>
  r.x >= 0 && r.y >= 0 && r.width >= 1 && r.height >= 1 && r.x <= width - r.width && r.y <= height - r.height;
const overlap = (a: RegionRect, b: RegionRect) =>
  a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;

// Reads a whole region-frame message; every rule above is checked and a message that breaks one
// fails "frame header". The JPEGs themselves are not looked at.
export function parseRegionFrame(message: Uint8Array): RegionFrame {
  const bad = () => fail('frame header');
  if (message.length > MAX_FRAME_MESSAGE_BYTES || message.length < REGION_FIXED_BYTES) bad();
  const view = new DataView(message.buffer, message.byteOffset, message.byteLength);
  const flags = message[9];
  const width = view.getUint16(10);
  const height = view.getUint16(12);
  const count = view.getUint16(14);
  if (message[8] !== REGION_FRAME_MARKER || (flags & ~(REGION_FLAG_FULL | REGION_FLAG_COPY)) !== 0) bad();
  if (flags === (REGION_FLAG_FULL | REGION_FLAG_COPY)) bad();
  if (width < 1 || height < 1 || width > MAX_IMAGE_WIDTH || height > MAX_IMAGE_HEIGHT || count > MAX_REGION_RECTS) bad();
  let at = REGION_FIXED_BYTES;
  let copy: RegionCopy | null = null;
  if (flags & REGION_FLAG_COPY) {
    if (message.length - at < REGION_COPY_BYTES) bad();
    const f = Array.from({ length: 6 }, (_, i) => view.getUint16(at + 2 * i));
    at += REGION_COPY_BYTES;
    copy = { source: { x: f[0], y: f[1], width: f[2], height: f[3] }, toX: f[4], toY: f[5] };
    if (!inside(copy.source, width, height) || !inside({ ...copy.source, x: copy.toX, y: copy.toY }, width, height)) bad();
  }
  const parts: RegionPart[] = [];
  for (let i = 0; i < count; i++) {
    if (message.length - at < REGION_RECT_HEADER_BYTES) bad();
    const rect = { x: view.getUint16(at), y: view.getUint16(at + 2), width: view.getUint16(at + 4), height: view.getUint16(at + 6) };
    const length = view.getUint32(at + 8);
    at += REGION_RECT_HEADER_BYTES;
    if (length < MIN_JPEG_BYTES || length > MAX_JPEG_BYTES || length > message.length - at) bad();
    parts.push({ rect, jpeg: message.subarray(at, at + length) });
    at += length;
  }
  if (at !== message.length) bad();
  for (const [i, part] of parts.entries()) {
    if (!inside(part.rect, width, height)) bad();
    for (let j = 0; j < i; j++) if (overlap(part.rect, parts[j].rect)) bad();
  }
  const full = (flags & REGION_FLAG_FULL) !== 0;
  // Disjoint rectangles inside the picture cover it when their areas add up to its area.
  if (full && (parts.length === 0 || parts.reduce((area, p) => area + p.rect.width * p.rect.height, 0) !== width * height)) bad();
  return { epoch: view.getUint32(0), seq: view.getUint32(4), full, copy, width, height, parts };
}

// ---- The retained picture -------------------------------------------------------------------------

export interface Sized {
  readonly width: number;
  readonly height: number;
}

// How pictures are decoded and drawn: canvases and ImageBitmaps in the page, byte arrays in the
// tests. D is a decoded JPEG, P the retained picture.
export interface Compositor<D extends Sized, P extends Sized> {
  // The JPEG (its markers already checked) decoded; rejects when the decoder refuses it.
  decode(jpeg: Uint8Array, header: JpegHeader): Promise<D>;
  // A whole frame's picture, made of its decoded JPEG (which it takes over).
  adopt(decoded: D): P;
  // A black picture of this size, for a full region frame.
  create(width: number, height: number): P;
  // The picture in a form that rectangles can be drawn on: itself, or a replacement (the old one
  // is then released by the compositor).
  writable(picture: P): P;
  // Moves an area of the picture elsewhere in it; the two areas may overlap.
  move(picture: P, copy: RegionCopy): void;
  draw(picture: P, decoded: D, at: RegionRect): void;
  release(decoded: D): void;
  drop(picture: P): void;
}

// The stream as the session knows it when a message is handled and again after its decoding;
// null once the session is over.
export interface StreamState {
  readonly epoch: number;
  readonly regionFrames: boolean; // both ends announced them
}

export interface FrameReceipt {
  epoch: number;
  seq: number;
  // A change arrived while there was no picture to compose it onto (the host's desktop was away):
  // acknowledged and counted, and the host is asked for a whole picture ("frameRequest").
  needFull: boolean;
  // The area of the picture drawn anew (picture pixels); null when nothing changed.
  changed: RegionRect | null;
  size: number; // the whole message, counted by the figures
}

// The viewer's latest picture and the frame messages that change it, handled as the program's
// viewer handles them. Messages are given one at a time (each awaited before the next).
export class FrameReceiver<D extends Sized, P extends Sized> {
  picture: P | null = null;

  constructor(private readonly compositor: Compositor<D, P>) {}

  // One frame message. null: a message of another epoch (or one whose epoch ended, or the session
  // with it, while it was decoded), dropped without an acknowledgement. Throws ProtocolError
  // "frame header", "frame sequence" or "invalid image" (the picture is dropped then).
  async receive(message: Uint8Array, stream: () => StreamState | null): Promise<FrameReceipt | null> {
    const state = stream();
    if (!state) return null;
    if (state.regionFrames && isRegionFrameMessage(message)) return this.receiveRegions(message, state.epoch, stream);
    const frame = readFrame(message, state.epoch);
    if (!frame) return null;
    const [decoded] = await this.decodeAll([{ jpeg: frame.jpeg, rect: { x: 0, y: 0, width: frame.header.width, height: frame.header.height } }]);
    if (stream()?.epoch !== frame.epoch) {
      this.compositor.release(decoded);
      return null;
    }
    this.replace(this.compositor.adopt(decoded));
    return { epoch: frame.epoch, seq: frame.seq, needFull: false, changed: { x: 0, y: 0, width: decoded.width, height: decoded.height }, size: message.length };
  }

  dropPicture(): void {
    if (this.picture) this.compositor.drop(this.picture);
    this.picture = null;
  }

  private replace(picture: P): void {
    if (this.picture && this.picture !== picture) this.compositor.drop(this.picture);
    this.picture = picture;
  }

  private async receiveRegions(message: Uint8Array, epoch: number, stream: () => StreamState | null): Promise<FrameReceipt | null> {
    const view = new DataView(message.buffer, message.byteOffset, message.byteLength);
    if (view.getUint32(0) !== epoch) return null;
    if (view.getInt32(4) < 1) fail('frame sequence');
    const frame = parseRegionFrame(message);
    const receipt: FrameReceipt = { epoch, seq: frame.seq, needFull: false, changed: null, size: message.length };
    const sizeDiffers = (p: P) => p.width !== frame.width || p.height !== frame.height;
    if (!frame.full) {
      if (!this.picture) return { ...receipt, needFull: true };
      if (sizeDiffers(this.picture)) fail('frame header');
    }
    // Every rectangle is decoded before the picture changes: a refused one leaves no half-composed
    // picture behind.
    const decoded = await this.decodeAll(frame.parts);
    const release = () => decoded.forEach((d) => this.compositor.release(d));
    if (stream()?.epoch !== epoch) {
      release();
      return null;
    }
    if (!frame.full && !this.picture) {
      // The picture went (the host's desktop away) while the rectangles were decoded.
      release();
      return { ...receipt, needFull: true };
    }
    let picture: P;
    if (frame.full) {
      picture = this.compositor.create(frame.width, frame.height);
      this.replace(picture);
    } else {
      picture = this.compositor.writable(this.picture!);
      this.picture = picture;
    }
    let changed: RegionRect | null = null;
    if (frame.copy) {
      this.compositor.move(picture, frame.copy);
      changed = { ...frame.copy.source, x: frame.copy.toX, y: frame.copy.toY };
    }
    frame.parts.forEach((part, i) => {
      this.compositor.draw(picture, decoded[i], part.rect);
      changed = changed ? bounds(changed, part.rect) : { ...part.rect };
    });
    release();
    return { ...receipt, changed };
  }

  // Decodes the JPEGs of the parts (each checked by the marker walk first, and then against its
  // rectangle's size); when any is refused, the others are released, the picture dropped and the
  // message fails "invalid image".
  private async decodeAll(parts: { jpeg: Uint8Array; rect: RegionRect }[]): Promise<D[]> {
    const results = await Promise.allSettled(
      parts.map(async ({ jpeg, rect }) => {
        const header = checkJpegMarkers(jpeg);
        if (!header) throw new ProtocolError('invalid image');
        const decoded = await this.compositor.decode(jpeg, header);
        if (decoded.width !== header.width || decoded.height !== header.height || header.width !== rect.width || header.height !== rect.height) {
          this.compositor.release(decoded);
          throw new ProtocolError('invalid image');
        }
        return decoded;
      }),
    );
    if (results.every((r) => r.status === 'fulfilled')) return results.map((r) => (r as PromiseFulfilledResult<D>).value);
    for (const r of results) if (r.status === 'fulfilled') this.compositor.release(r.value);
    this.dropPicture();
    fail('invalid image');
  }
}

function bounds(a: RegionRect, b: RegionRect): RegionRect {
  const x = Math.min(a.x, b.x);
  const y = Math.min(a.y, b.y);
  return { x, y, width: Math.max(a.x + a.width, b.x + b.width) - x, height: Math.max(a.y + a.height, b.y + b.height) - y };
}
