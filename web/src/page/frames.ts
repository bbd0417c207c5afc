// Frame messages of the host's stream: big-endian epoch (4 bytes), big-endian sequence number
// (4 bytes), then one JPEG, checked by a bounds-checked walk over its markers before any decoder
// sees it. Refusals throw ProtocolError with the program's reason words; the session then ends.
import { fail } from '../json.js';

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
