// The view transform of the remote picture, in the program's 32-bit float arithmetic: fit (which
// may enlarge), zoom with a pan clamped so that a larger picture moves until its edge meets the
// area's edge and a smaller one stays centred, the zoom steps, and the mapping of a pointer
// position over the picture to the host's 0..65535 coordinates. All in canvas pixels.

const f = Math.fround;

export const MIN_ZOOM = f(0.1);
export const MAX_ZOOM = f(4.0);
export const ZOOM_IN = f(1.25);
export const ZOOM_OUT = f(0.8);
export const ZOOM_PRESETS = [50, 75, 125, 150, 200, 300, 400];
export const INPUT_COORDINATE_MAX = 65535;

export interface ViewState {
  fit: boolean;
  zoom: number;
  panX: number;
  panY: number;
}

export interface Rect {
  x: number;
  y: number;
  width: number;
  height: number;
}

export function initialView(): ViewState {
  return { fit: true, zoom: 1, panX: 0, panY: 0 };
}

function clamp(value: number, low: number, high: number): number {
  return (value < low ? low : value > high ? high : value) + 0; // never -0
}

// The picture's rectangle; writes the clamped (fitted: zero) pan back into `view`.
export function layoutImage(view: ViewState, area: Rect, imageWidth: number, imageHeight: number): Rect {
  const w0 = f(Math.max(imageWidth, 1));
  const h0 = f(Math.max(imageHeight, 1));
  let w: number;
  let h: number;
  if (view.fit) {
    const k = Math.min(f(f(area.height) / h0), f(f(area.width) / w0));
    w = f(w0 * k);
    h = f(h0 * k);
    view.panX = 0;
    view.panY = 0;
  } else {
    w = f(w0 * f(view.zoom));
    h = f(h0 * f(view.zoom));
    const mx = Math.max(f(f(w - f(area.width)) / 2), 0);
    const my = Math.max(f(f(h - f(area.height)) / 2), 0);
    view.panX = clamp(f(view.panX), -mx, mx);
    view.panY = clamp(f(view.panY), -my, my);
  }
  return {
    x: f(f(f(f(f(area.width) - w) / 2) + f(area.x)) + view.panX),
    y: f(f(f(f(f(area.height) - h) / 2) + f(area.y)) + view.panY),
    width: w,
    height: h,
  };
}

// Zoom by `factor` (ZOOM_IN or ZOOM_OUT), starting from the fitted scale when fit is on.
export function zoomStep(view: ViewState, area: Rect, imageWidth: number, imageHeight: number, factor: number): void {
  if (view.fit) {
    const fitted = { ...view };
    view.zoom = f(layoutImage(fitted, area, imageWidth, imageHeight).width / f(Math.max(imageWidth, 1)));
  }
  view.fit = false;
  view.zoom = clamp(f(f(factor) * f(view.zoom)), MIN_ZOOM, MAX_ZOOM);
  layoutImage(view, area, imageWidth, imageHeight);
}

export function fitToWindow(view: ViewState): void {
  view.fit = true;
  view.panX = view.panY = 0;
}

export function actualSize(view: ViewState): void {
  view.fit = false;
  view.zoom = 1;
  view.panX = view.panY = 0;
}

export function applyZoomPreset(view: ViewState, percent: number): boolean {
  if (!ZOOM_PRESETS.includes(percent)) return false;
  view.fit = false;
  view.zoom = f(percent / 100);
  view.panX = view.panY = 0;
  return true;
}

// Pans by a drag step, clamped at once so a drag past an edge leaves no overshoot.
export function panBy(view: ViewState, area: Rect, imageWidth: number, imageHeight: number, dx: number, dy: number): void {
  view.panX = f(view.panX + dx);
  view.panY = f(view.panY + dy);
  layoutImage(view, area, imageWidth, imageHeight);
}

// A pointer position in the area to the host's coordinates, or null when the event is dropped:
// only a point inside both the picture and the area counts, except a button release, which is
// sent from anywhere with its coordinates clamped to the picture's edge.
export function pointerToRemote(
  picture: Rect,
  area: Rect,
  x: number,
  y: number,
  isRelease: boolean,
): { x: number; y: number } | null {
  const inPicture = x >= picture.x && x < picture.x + picture.width && y >= picture.y && y < picture.y + picture.height;
  const inArea = x >= area.x && x < area.x + area.width && y >= area.y && y < area.y + area.height;
  if (!(inPicture && inArea) && !isRelease) return null;
  const scale = (offset: number, extent: number) =>
    clamp(Math.trunc((offset / Math.max(extent, 1)) * INPUT_COORDINATE_MAX), 0, INPUT_COORDINATE_MAX);
  return { x: scale(f(f(x) - picture.x), picture.width), y: scale(f(f(y) - picture.y), picture.height) };
}
