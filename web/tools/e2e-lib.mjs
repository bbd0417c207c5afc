// The arithmetic of the browser end-to-end run (tools/e2e.mjs), kept apart so that it is tested
// on its own: the host's test pattern, where a host point appears in the fitted canvas, pixels of
// raw RGB screenshots, the recording window's log and the figures' statistics.

// The host's test pattern (native/app/testing/demo_desktop_win.cc, pattern 0): 8 x 5 equal cells
// over the whole screen; the cell in column c and row r has PALETTE[(c + 3 * r) % 8].
export const PALETTE = ['E53935', '43A047', '1E88E5', 'FDD835', '8E24AA', '00ACC1', 'FB8C00', '6D4C41'];
export const COLUMNS = 8;
export const ROWS = 5;

// The centres of the pattern's cells that none of `covered` ({x, y, width, height}, grown by
// `margin` on every side) overlaps: {column, row, x, y, colour}.
export function patternCells(screenWidth, screenHeight, covered, margin = 40) {
  const cells = [];
  for (let row = 0; row < ROWS; row++) {
    for (let column = 0; column < COLUMNS; column++) {
      const x = Math.floor(((2 * column + 1) * screenWidth) / (2 * COLUMNS));
      const y = Math.floor(((2 * row + 1) * screenHeight) / (2 * ROWS));
      const hidden = covered.some(
        (r) => x > r.x - margin && x < r.x + r.width + margin && y > r.y - margin && y < r.y + r.height + margin,
      );
      if (!hidden) cells.push({ column, row, x, y, colour: PALETTE[(column + 3 * row) % PALETTE.length] });
    }
  }
  return cells;
}

// Where the host's screen point (x, y) is drawn in a canvas of canvasWidth x canvasHeight that
// shows the whole picture fitted (scaled to the smaller ratio, centred). The picture may be the
// screen scaled down by the host (pictureWidth x pictureHeight).
export function fitPoint(canvas, picture, screen, x, y) {
  const scale = Math.min(canvas.width / picture.width, canvas.height / picture.height);
  const left = (canvas.width - picture.width * scale) / 2;
  const top = (canvas.height - picture.height * scale) / 2;
  return {
    x: left + ((x + 0.5) * picture.width * scale) / screen.width,
    y: top + ((y + 0.5) * picture.height * scale) / screen.height,
  };
}

// "RRGGBB" to [r, g, b].
export function rgb(hex) {
  if (!/^[0-9A-Fa-f]{6}$/.test(hex)) throw new Error(`not a colour: ${hex}`);
  return [0, 2, 4].map((at) => parseInt(hex.slice(at, at + 2), 16));
}

// Every channel of `seen` ([r, g, b]) within `tolerance` of the colour `hex`.
export function near(seen, hex, tolerance) {
  const want = rgb(hex);
  return seen.length === 3 && seen.every((value, i) => Math.abs(value - want[i]) <= tolerance);
}

// The mean [r, g, b] of the 5 x 5 pixels around (x, y) of a raw RGB image {width, height, data},
// the square cut at the image's edges; null when (x, y) is outside.
export function meanPixel(image, x, y) {
  x = Math.round(x);
  y = Math.round(y);
  if (x < 0 || y < 0 || x >= image.width || y >= image.height) return null;
  const sum = [0, 0, 0];
  let count = 0;
  for (let dy = -2; dy <= 2; dy++) {
    for (let dx = -2; dx <= 2; dx++) {
      const px = x + dx;
      const py = y + dy;
      if (px < 0 || py < 0 || px >= image.width || py >= image.height) continue;
      const at = (py * image.width + px) * 3;
      for (let c = 0; c < 3; c++) sum[c] += image.data[at + c];
      count++;
    }
  }
  return sum.map((value) => Math.round(value / count));
}

// How many pixels of the rectangle `r` differ between two raw RGB images of one size by more than
// `threshold` in some channel. `b` may also be a colour "RRGGBB" (the rectangle's background).
export function pixelsApart(a, b, r, threshold = 26) {
  const flat = typeof b === 'string' ? rgb(b) : null;
  let apart = 0;
  for (let y = Math.max(0, r.y); y < Math.min(a.height, r.y + r.height); y++) {
    for (let x = Math.max(0, r.x); x < Math.min(a.width, r.x + r.width); x++) {
      const at = (y * a.width + x) * 3;
      for (let c = 0; c < 3; c++) {
        const other = flat ? flat[c] : b.data[at + c];
        if (Math.abs(a.data[at + c] - other) > threshold) {
          apart++;
          break;
        }
      }
    }
  }
  return apart;
}

// The recording window's log: "ready X Y W H" (its rectangle), "click X Y", "key VK", "char C";
// Windows line ends and lines of other forms are passed over.
export function parseDesktopLog(text) {
  const log = { ready: null, clicks: [], keys: [], chars: [] };
  for (const line of text.split(/\r?\n/)) {
    const words = line.trim().split(/\s+/);
    const numbers = words.slice(1).map(Number);
    if (numbers.some((n) => !Number.isInteger(n))) continue;
    if (words[0] === 'ready' && numbers.length === 4 && !log.ready) {
      log.ready = { x: numbers[0], y: numbers[1], width: numbers[2], height: numbers[3] };
    } else if (words[0] === 'click' && numbers.length === 2) {
      log.clicks.push({ x: numbers[0], y: numbers[1] });
    } else if (words[0] === 'key' && numbers.length === 1) {
      log.keys.push(numbers[0]);
    } else if (words[0] === 'char' && numbers.length === 1) {
      log.chars.push(numbers[0]);
    }
  }
  return log;
}

// Whether `codes` holds the UTF-16 units of `text` one after another.
export function containsTyped(codes, text) {
  const want = [...text].map((ch) => ch.charCodeAt(0));
  for (let start = 0; start + want.length <= codes.length; start++) {
    if (want.every((code, i) => codes[start + i] === code)) return true;
  }
  return false;
}

// {count, median, p90, min, max} of a list of numbers (null when it is empty).
export function summary(values) {
  if (values.length === 0) return null;
  const sorted = [...values].sort((a, b) => a - b);
  const at = (q) => sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
  const median = sorted.length % 2 ? sorted[(sorted.length - 1) / 2] : (sorted[sorted.length / 2 - 1] + sorted[sorted.length / 2]) / 2;
  return { count: sorted.length, median, p90: at(0.9), min: sorted[0], max: sorted[sorted.length - 1] };
}
