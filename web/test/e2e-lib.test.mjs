// The arithmetic the browser end-to-end run judges the page by: a fault here would pass a broken
// page or fail a sound one, so each piece is checked against hand-worked cases.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  containsTyped,
  fitPoint,
  meanPixel,
  near,
  parseDesktopLog,
  patternCells,
  pixelsApart,
  summary,
} from '../tools/e2e-lib.mjs';

test('a host point lands where the fitted picture shows it, letterboxed either way', () => {
  const screen = { width: 1920, height: 1080 };
  for (const [canvas, picture, x, y, want] of [
    // wider than 16:9: bars left and right; scale 0.5
    [{ width: 1280, height: 540 }, screen, 0, 0, { x: 160.25, y: 0.25 }],
    [{ width: 1280, height: 540 }, screen, 1919, 1079, { x: 1119.75, y: 539.75 }],
    // taller: bars above and below; scale 0.5
    [{ width: 960, height: 800 }, screen, 960, 540, { x: 480.25, y: 400.25 }],
    // a picture the host scaled down to 960 x 540 shows the same place of the screen
    [{ width: 960, height: 800 }, { width: 960, height: 540 }, 960, 540, { x: 480.25, y: 400.25 }],
    // enlarged: scale 2
    [{ width: 1920, height: 1080 }, { width: 960, height: 540 }, 100, 200, { x: 100.5, y: 200.5 }],
  ]) {
    assert.deepEqual(fitPoint(canvas, picture, screen, x, y), want, `${canvas.width}x${canvas.height} ${x},${y}`);
  }
});

test('the pattern cells: centres, colours by column and row, and those under a window left out', () => {
  const all = patternCells(1920, 1080, []);
  assert.equal(all.length, 40);
  assert.deepEqual(all[0], { column: 0, row: 0, x: 120, y: 108, colour: 'E53935' });
  assert.deepEqual(all[9], { column: 1, row: 1, x: 360, y: 324, colour: '8E24AA' });
  const byPlace = new Map(all.map((cell) => [`${cell.column},${cell.row}`, cell.colour]));
  for (const [place, colour] of [['7,4', 'FDD835'], ['3,0', 'FDD835'], ['0,1', 'FDD835'], ['6,2', '8E24AA'], ['1,3', '1E88E5'], ['7,0', '6D4C41']]) {
    assert.equal(byPlace.get(place), colour, place);
  }
  // A window over the first cell's centre, and one that ends 30 px short of a centre (inside the
  // margin of 40) hide them; one 50 px away does not.
  for (const [window, hidden] of [
    [{ x: 100, y: 100, width: 40, height: 20 }, ['0,0']],
    [{ x: 0, y: 0, width: 330, height: 80 }, ['0,0', '1,0']],
    [{ x: 0, y: 0, width: 310, height: 80 }, ['0,0']],
    [{ x: 1700, y: 1000, width: 220, height: 80 }, ['7,4']],
  ]) {
    const left = patternCells(1920, 1080, [window]).map((cell) => `${cell.column},${cell.row}`);
    assert.deepEqual(
      all.map((cell) => `${cell.column},${cell.row}`).filter((place) => !left.includes(place)),
      hidden,
      JSON.stringify(window),
    );
  }
});

function image(width, height, paint) {
  const data = Buffer.alloc(width * height * 3);
  for (let y = 0; y < height; y++) for (let x = 0; x < width; x++) data.set(paint(x, y), (y * width + x) * 3);
  return { width, height, data };
}

test('pixels: the mean of a square cut at the edges, colour tolerance, pixels apart', () => {
  const half = image(10, 10, (x) => (x < 5 ? [200, 0, 0] : [0, 0, 200]));
  for (const [x, y, want] of [
    [1, 1, [200, 0, 0]],
    [0, 0, [200, 0, 0]], // 3 x 3 inside
    [5, 5, [80, 0, 120]], // columns 3..7: two red, three blue
    [9, 9, [0, 0, 200]],
    [10, 0, null],
    [-1, 3, null],
  ]) {
    assert.deepEqual(meanPixel(half, x, y), want, `${x},${y}`);
  }
  for (const [seen, hex, tolerance, want] of [
    [[229, 57, 53], 'E53935', 0, true],
    [[229, 57, 101], 'E53935', 48, true],
    [[229, 57, 102], 'E53935', 48, false],
    [[], 'E53935', 255, false], // no pixel read
  ]) {
    assert.equal(near(seen, hex, tolerance), want, `${seen} ${hex}`);
  }
  assert.throws(() => near([0, 0, 0], '#E53935', 1), /not a colour/);
  const white = image(10, 10, () => [255, 255, 255]);
  const inked = image(10, 10, (x, y) => (y === 4 && x >= 2 && x < 8 ? [20, 20, 20] : [250, 250, 250]));
  const box = { x: 0, y: 0, width: 10, height: 10 };
  assert.equal(pixelsApart(white, inked, box), 6);
  assert.equal(pixelsApart(inked, 'FFFFFF', box), 6);
  assert.equal(pixelsApart(inked, 'FFFFFF', { x: 0, y: 5, width: 10, height: 5 }), 0);
  assert.equal(pixelsApart(inked, 'FFFFFF', { x: 6, y: 0, width: 20, height: 20 }), 2); // clipped
});

test("the recording window's log: its lines, Windows line ends, other lines passed over", () => {
  const log = parseDesktopLog('ready 1240 60 640 360\r\nclick 1560 250\r\nchar 107\nkey 75\nclick 1 x\nready 0 0 1 1\nchar 101\n\n');
  assert.deepEqual(log, {
    ready: { x: 1240, y: 60, width: 640, height: 360 },
    clicks: [{ x: 1560, y: 250 }],
    keys: [75],
    chars: [107, 101],
  });
  assert.deepEqual(parseDesktopLog(''), { ready: null, clicks: [], keys: [], chars: [] });
  for (const [codes, text, want] of [
    [[1, 107, 101, 115, 2], 'kes', true],
    [[107, 101, 2, 115], 'kes', false],
    [[107, 101], 'kes', false],
  ]) {
    assert.equal(containsTyped(codes, text), want, `${codes}`);
  }
});

test('summary: median of odd and even counts, 90th percentile, none of nothing', () => {
  assert.deepEqual(summary([5, 1, 3]), { count: 3, median: 3, p90: 5, min: 1, max: 5 });
  assert.deepEqual(summary([4, 1, 3, 2]), { count: 4, median: 2.5, p90: 4, min: 1, max: 4 });
  assert.equal(summary([10, 20, 30, 40, 50, 60, 70, 80, 90, 100]).p90, 100);
  assert.equal(summary([]), null);
});
