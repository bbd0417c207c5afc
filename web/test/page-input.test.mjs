// The page's remote input: the key table, the view transform against the native viewer's cases
// (32-bit float arithmetic), and pointer positions mapped to the host's 0..65535.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { page } from './page-helpers.mjs';

const { virtualKey, KEY_TABLE } = page;

test('KeyboardEvent.code becomes the Windows virtual key', () => {
  const rows = [
    // code, key, virtual key
    ['KeyA', 'a', 0x41], ['KeyZ', 'z', 0x5a], ['KeyY', 'z', 0x5a], // a German keyboard's Z sits where KeyY is
    ['KeyQ', 'й', 0x51], // a Cyrillic letter goes by position
    ['KeyA', 'A', 0x41], ['KeyA', 'Dead', 0x41],
    ['Digit0', '0', 0x30], ['Digit9', '(', 0x39],
    ['Numpad0', '0', 0x60], ['Numpad9', '9', 0x69], ['NumpadMultiply', '*', 0x6a], ['NumpadAdd', '+', 0x6b],
    ['NumpadSubtract', '-', 0x6d], ['NumpadDecimal', ',', 0x6e], ['NumpadDivide', '/', 0x6f], ['NumpadEnter', 'Enter', 0x0d],
    ['F1', 'F1', 0x70], ['F12', 'F12', 0x7b], ['F24', 'F24', 0x87],
    ['Backspace', '', 0x08], ['Tab', '', 0x09], ['Enter', '', 0x0d], ['Escape', '', 0x1b], ['Space', ' ', 0x20],
    ['ShiftLeft', '', 0x10], ['ShiftRight', '', 0x10], ['ControlLeft', '', 0x11], ['ControlRight', '', 0x11],
    ['AltLeft', '', 0x12], ['AltRight', 'AltGraph', 0x12], ['MetaLeft', '', 0x5b], ['MetaRight', '', 0x5c], ['ContextMenu', '', 0x5d],
    ['CapsLock', '', 0x14], ['NumLock', '', 0x90], ['ScrollLock', '', 0x91], ['Pause', '', 0x13], ['PrintScreen', '', 0x2c],
    ['PageUp', '', 0x21], ['PageDown', '', 0x22], ['End', '', 0x23], ['Home', '', 0x24],
    ['ArrowLeft', '', 0x25], ['ArrowUp', '', 0x26], ['ArrowRight', '', 0x27], ['ArrowDown', '', 0x28],
    ['Insert', '', 0x2d], ['Delete', '', 0x2e],
    ['Semicolon', 'ö', 0xba], ['Equal', '', 0xbb], ['Comma', '', 0xbc], ['Minus', '', 0xbd], ['Period', '', 0xbe],
    ['Slash', '', 0xbf], ['Backquote', '', 0xc0], ['BracketLeft', '', 0xdb], ['Backslash', '', 0xdc],
    ['BracketRight', '', 0xdd], ['Quote', '', 0xde], ['IntlBackslash', '<', 0xe2],
    ['AudioVolumeMute', '', 0xad], ['MediaPlayPause', '', 0xb3],
    ['Fn', '', 0], ['Unidentified', '', 0], ['', '', 0], ['toString', '', 0], ['KeyAA', 'a', 0],
  ];
  for (const [code, key, vk] of rows) assert.equal(virtualKey(code, key), vk, `${code} ${key}`);
  // AltGr is Ctrl+Alt to Windows; where the system already sent the Ctrl, only Alt is added.
  assert.deepEqual(page.virtualKeys('AltRight', 'AltGraph', false), [0x11, 0x12]);
  assert.deepEqual(page.virtualKeys('AltRight', 'AltGraph', true), [0x12]);
  assert.deepEqual(page.virtualKeys('AltRight', 'Alt', false), [0x12]);
  assert.deepEqual(page.virtualKeys('Fn', 'Fn', false), []);
  // The host refuses any key outside 1..254 and ends the session: no entry may hold one.
  for (const [code, vk] of Object.entries(KEY_TABLE)) assert.ok(Number.isInteger(vk) && vk >= 1 && vk <= 254, code);
});

const f = Math.fround;
const area = { x: 0, y: 0, width: 1000, height: 500 };

test('fit, zoom and pan clamps: the native viewer\'s cases', () => {
  const { layoutImage, initialView } = page;
  const view = initialView();
  let r = layoutImage(view, area, 1920, 1080);
  assert.ok(Math.abs(r.width - 888.9) < 0.05, `fit width ${r.width}`);
  assert.equal(r.height, 500);
  assert.ok(Math.abs(r.x - (1000 - 888.89) / 2) < 0.05, 'centred horizontally');
  assert.equal(r.y, 0);

  view.fit = false;
  view.zoom = 2;
  for (const [dx, dy, panX, panY] of [[5000, 5000, 1420, 830], [-5000, -5000, -1420, -830], [100, -40, 100, -40], [1419, 829, 1419, 829]]) {
    view.panX = dx;
    view.panY = dy;
    r = layoutImage(view, area, 1920, 1080);
    assert.deepEqual([view.panX, view.panY, r.x, r.y], [panX, panY, (1000 - 3840) / 2 + panX, (500 - 2160) / 2 + panY], `pan ${dx},${dy}`);
  }
  view.zoom = f(0.1);
  view.panX = 300;
  r = layoutImage(view, area, 1920, 1080);
  assert.equal(view.panX, 0, 'smaller than the area: centred');
  assert.equal(r.x, f((1000 - f(192)) / 2));
  assert.equal(layoutImage(initialView(), area, 100, 100).width, 500, 'fitting enlarges');
  assert.equal(layoutImage(initialView(), area, 0, 0).width, 500, 'a zero-sized picture counts as 1');
  assert.equal(layoutImage(initialView(), { x: 0, y: 52, width: 1000, height: 500 }, 1920, 1080).y, 52, 'offset by the area');
});

test('zoom steps, presets and drag pans', () => {
  const { initialView, actualSize, zoomStep, applyZoomPreset, panBy, ZOOM_IN, ZOOM_OUT } = page;
  for (const [name, factor, steps, before, reached] of [['in', ZOOM_IN, 7, 3.8147, 4], ['out', ZOOM_OUT, 11, 0.10737, f(0.1)]]) {
    const view = initialView();
    actualSize(view);
    for (let i = 1; i < steps; i++) zoomStep(view, area, 1920, 1080, factor);
    assert.ok(Math.abs(view.zoom - before) < 1e-4, `${name}: ${view.zoom} one step before`);
    zoomStep(view, area, 1920, 1080, factor);
    assert.equal(view.zoom, reached, name);
    zoomStep(view, area, 1920, 1080, factor);
    assert.equal(view.zoom, reached, `${name} stays`);
  }
  const view = initialView();
  zoomStep(view, area, 1920, 1080, ZOOM_IN);
  assert.equal(view.fit, false);
  assert.ok(Math.abs(view.zoom - (500 / 1080) * 1.25) < 1e-5, 'from fit the first step starts at the fitted scale');
  view.zoom = 2;
  view.panX = 1400;
  zoomStep(view, area, 1920, 1080, ZOOM_OUT);
  assert.equal(view.panX, 1036, 'a step keeps the pan, clamped to the new size');

  for (const percent of [50, 75, 125, 150, 200, 300, 400]) {
    const v = { ...initialView(), panX: 5 };
    assert.ok(applyZoomPreset(v, percent));
    assert.deepEqual([v.fit, v.zoom, v.panX], [false, f(percent / 100), 0]);
  }
  const v = initialView();
  assert.equal(applyZoomPreset(v, 100) || applyZoomPreset(v, 0), false);
  assert.equal(v.fit, true);

  // 256 x 128 (a 64 x 32 picture at 400%) in a 100 x 50 area: margins 78 and 39, each step clamped.
  const p = { fit: false, zoom: 4, panX: 0, panY: 0 };
  panBy(p, area, 64, 32, -30, 2000);
  assert.deepEqual([p.panX, p.panY], [0, 0], 'smaller than the area: stays centred');
  const small = { x: 0, y: 0, width: 100, height: 50 };
  panBy(p, small, 64, 32, 500, -500);
  assert.deepEqual([p.panX, p.panY], [78, -39]);
  panBy(p, small, 64, 32, -10, 4);
  assert.deepEqual([p.panX, p.panY], [68, -35], 'dragging back from past an edge moves at once');
});

test('pointer positions map through the picture rectangle to 0..65535', () => {
  const { layoutImage, initialView, pointerToRemote } = page;
  const viewArea = { x: 0, y: 52, width: 1000, height: 500 };
  const picture = layoutImage(initialView(), viewArea, 1920, 1080); // x 55.55.., width 888.88..
  const right = picture.x + picture.width;
  const rows = [
    // x, y, release?, expected
    [picture.x, 52, false, { x: 0, y: 0 }],
    [500, 302, false, { x: 32767, y: 32767 }],
    [right - 0.01, 551.99, false, { x: 65534, y: 65533 }],
    [right, 300, false, null], // the right edge is outside
    [picture.x - 1, 300, false, null],
    [500, 51, false, null], // above the area (the toolbar)
    [500, 552, false, null],
    [picture.x - 40, 20, true, { x: 0, y: 0 }], // a release outside is sent, clamped to the edge
    [right + 300, 900, true, { x: 65535, y: 65535 }],
  ];
  for (const [x, y, release, expected] of rows) assert.deepEqual(pointerToRemote(picture, viewArea, x, y, release), expected, `${x},${y}`);
  // The remote point follows the zoom and pan: at 200% panned to the left edge, the area's
  // centre shows the picture's x = 250 of 1920.
  const zoomed = { fit: false, zoom: 2, panX: 99999, panY: 0 };
  const placed = layoutImage(zoomed, area, 1920, 1080);
  assert.equal(placed.x, 0);
  assert.equal(pointerToRemote(placed, area, 500, 250, false).x, Math.trunc((500 / 3840) * 65535));
});
