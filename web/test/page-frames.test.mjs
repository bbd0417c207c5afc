// Frame messages and the JPEG marker walk (real files made by other encoders, and damaged
// copies of them), and the figures texts of the status strip and "Connection info".
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { page } from './page-helpers.mjs';

const { checkJpegMarkers, readFrame } = page;
const jpeg = (name) => new Uint8Array(readFileSync(new URL(`../../native/screen/testdata/${name}`, import.meta.url)));
const baseline = jpeg('baseline.jpg');

function frameHeaderAt(data) {
  for (let i = 2; i + 1 < data.length; i++) if (data[i] === 0xff && [0xc0, 0xc1, 0xc2].includes(data[i + 1])) return i + 1;
  throw new Error('no frame header');
}
const sof = frameHeaderAt(baseline); // marker, +1 length(2), +3 precision, +4 height(2), +6 width(2), +8 components
function changed(edit) {
  const data = baseline.slice();
  edit(data, new DataView(data.buffer));
  return data;
}

test('the marker walk accepts 8-bit baseline, extended and progressive files of 1, 3 or 4 components', () => {
  for (const [file, marker, components] of [
    ['baseline.jpg', 0xc0, 3], ['extended.jpg', 0xc1, 3], ['progressive.jpg', 0xc2, 3],
    ['im_progressive.jpg', 0xc2, 3], ['gray.jpg', 0xc0, 1], ['cmyk.jpg', 0xc0, 4],
  ]) {
    assert.deepEqual(checkJpegMarkers(jpeg(file)), { width: 128, height: 24, components, marker }, file);
  }
  assert.deepEqual(checkJpegMarkers(changed((d, v) => { v.setUint16(sof + 4, 4320); v.setUint16(sof + 6, 7680); })),
    { width: 7680, height: 4320, components: 3, marker: 0xc0 }, 'the largest size');
});

test('the marker walk refuses other codings, bad header fields and structural damage', () => {
  const rows = [
    ['arithmetic (C9) from an encoder', jpeg('arithmetic.jpg')],
    ...[0xc3, 0xc5, 0xc6, 0xc7, 0xc9, 0xca, 0xcb, 0xcd, 0xce, 0xcf].map((m) => [`marker ${m.toString(16)}`, changed((d) => { d[sof] = m; })]),
    ['12-bit', changed((d) => { d[sof + 3] = 12; })],
    ['7681 wide', changed((d, v) => { v.setUint16(sof + 6, 7681); v.setUint16(sof + 4, 100); })],
    ['4321 high', changed((d, v) => v.setUint16(sof + 4, 4321))],
    ['0 wide', changed((d, v) => v.setUint16(sof + 6, 0))],
    ['0 high', changed((d, v) => v.setUint16(sof + 4, 0))],
    ['2 components', changed((d) => { d[sof + 8] = 2; })],
    ['length not 3 x components + 8', changed((d) => { d[sof + 8] = 1; })],
    ['no start of image', changed((d) => { d[1] = 0x00; })],
    ['a second frame header', (() => {
      const length = (baseline[sof + 1] << 8) | baseline[sof + 2];
      const segment = baseline.subarray(sof - 1, sof + 1 + length);
      return Uint8Array.from([...baseline.subarray(0, sof + 1 + length), ...segment, ...baseline.subarray(sof + 1 + length)]);
    })()],
    ['scan before the frame header', Uint8Array.from([0xff, 0xd8, 0xff, 0xda, 0x00, 0x08, 1, 1, 0, 0, 63, 0, 0xff, 0xd9])],
    ['an end of image before the scan', Uint8Array.from([0xff, 0xd8, 0xff, 0xd9, 0xff, 0xda])],
    ['a segment longer than the data', changed((d, v) => v.setUint16(4, 0xfff0))],
    ['a segment length of 1', changed((d, v) => v.setUint16(4, 1))],
    ['three bytes', Uint8Array.from([0xff, 0xd8, 0xff])],
    ['fill bytes to the end', Uint8Array.from([0xff, 0xd8, 0xff, 0xff, 0xff])],
  ];
  for (const [name, data] of rows) assert.equal(checkJpegMarkers(data), null, name);
  // Every cut before the start of scan's segment ends is refused, never read past the end.
  const sos = baseline.findIndex((b, i) => b === 0xff && baseline[i + 1] === 0xda);
  for (let length = 0; length < sos + 4; length++) assert.equal(checkJpegMarkers(baseline.subarray(0, length)), null, `cut at ${length}`);
});

function frame(epoch, seq, body) {
  const out = new Uint8Array(8 + body.length);
  const view = new DataView(out.buffer);
  view.setUint32(0, epoch);
  view.setUint32(4, seq);
  out.set(body, 8);
  return out;
}

test('frame messages: header, epoch and sequence as the native viewer reads them', () => {
  const damaged = baseline.slice();
  damaged[1] = 0;
  const rows = [
    ['8 bytes', frame(3, 1, []), 'frame header'],
    ['9 bytes, seq 0', frame(3, 0, [0xff]), 'frame sequence'],
    ['9 bytes, other epoch', frame(2, 0, [0xff]), 'dropped'],
    ['negative seq', frame(3, 0x80000000, baseline), 'frame sequence'],
    ['newer epoch', frame(4, 1, baseline), 'dropped'],
    ['9 bytes, seq 1', frame(3, 1, [0xff]), 'invalid image'],
    ['not a JPEG', frame(3, 1, damaged), 'invalid image'],
    ['good', frame(3, 9, baseline), 'ack 9'],
  ];
  for (const [name, message, outcome] of rows) {
    let got;
    try {
      const result = readFrame(message, 3);
      got = result ? `ack ${result.seq}` : 'dropped';
    } catch (error) {
      assert.ok(error instanceof page.ProtocolError, name);
      got = error.message;
    }
    assert.equal(got, outcome, name);
  }
  const good = readFrame(frame(3, 9, baseline).subarray(0), 3);
  assert.equal(good.size, baseline.length + 8);
  assert.deepEqual([good.header.width, good.header.height, good.jpeg.length], [128, 24, baseline.length]);
  // A frame inside a larger buffer (as a socket hands it over) reads its own bytes only.
  const padded = new Uint8Array(baseline.length + 20);
  padded.set(frame(3, 2, baseline), 7);
  assert.equal(readFrame(padded.subarray(7, 7 + baseline.length + 8), 3).seq, 2);
});

test('status strip lines and the connection info, as the program writes them', () => {
  const { viewerStatusLine, connectionInfoText, StreamFigures } = page;
  const dot = '   \u00b7   ';
  const base = {
    fps: 19.6, kBps: 812.9, roundTripMs: null, capture: { backend: 2, black: false, desktop: true, error: 0 },
    captureStatusNegotiated: true, inputError: 0, controlNotice: false, peerAllowsControl: true, peerBuild: '',
    picture: { width: 1920, height: 1080 }, widthCss: 640,
  };
  const rows = [
    ['measured', { roundTripMs: 42 }, 'Session active', false, `20 fps${dot}42 ms${dot}1920 \u00d7 1080${dot}WGC`],
    ['no round trip yet', {}, 'Session active', false, `20 fps${dot}\u2014 ms${dot}1920 \u00d7 1080${dot}WGC`],
    ['narrow, GDI, view only', { widthCss: 639, capture: { ...base.capture, backend: 1 }, peerAllowsControl: false }, 'View only', false, `20 fps${dot}\u2014 ms${dot}GDI`],
    ['not negotiated, no picture', { captureStatusNegotiated: false, picture: null }, 'Session active', false, `20 fps${dot}\u2014 ms`],
    ['input blocked', { inputError: 5 }, 'Windows blocked remote input', true],
    ['black over input blocked', { inputError: 5, capture: { ...base.capture, black: true } }, 'Source returned a black frame', true],
    ['desktop over black', { capture: { ...base.capture, black: true, desktop: false } }, 'Desktop unavailable or locked', true],
    ['control notice over all', { controlNotice: true, capture: { ...base.capture, desktop: false } }, 'This control requires the local user.', true],
  ];
  for (const [name, change, first, warning, second] of rows) {
    const line = viewerStatusLine({ ...base, ...change });
    assert.deepEqual([line.first, line.warning], [first, warning], name);
    if (second) assert.equal(line.second, second, name);
  }
  const upper = (key) => `[${key}]`;
  assert.equal(connectionInfoText(base, upper),
    'Kestrova 0.3.9\n[Capture source]: WGC\n[Remote version]: \u2014\n\n20 fps  \u00b7  812 kB/s  \u00b7  \u2014 ms\n\n[Panning: hold Space and drag. Ctrl+wheel: zoom.]');
  assert.equal(connectionInfoText({ ...base, capture: { ...base.capture, backend: 0, error: 0x80040154 }, peerBuild: '0.3.9', roundTripMs: 7, inputError: 5, controlNotice: true }, upper),
    'Kestrova 0.3.9\n[Capture source]: \u2014\n[Remote version]: 0.3.9\n\n20 fps  \u00b7  812 kB/s  \u00b7  7 ms\nWGC HRESULT: 0x80040154\n' +
    '[Windows blocked remote input] (Windows error 5)\n[This control requires the local user.]\n\n[Panning: hold Space and drag. Ctrl+wheel: zoom.]');

  const figures = new StreamFigures(10000);
  for (let i = 0; i < 4; i++) figures.count(2500);
  assert.equal(figures.update(10999), false);
  assert.equal(figures.update(12000), true);
  assert.deepEqual([figures.fps, figures.kBps, figures.frames, figures.bytes, figures.windowStart], [2, 5, 0, 0, 12000]);
  assert.equal(figures.update(11000), false, 'a clock that went back measures nothing');
});
