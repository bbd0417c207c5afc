// The page's retained picture: a whole frame stays the ImageBitmap the browser decoded; the
// first change composed onto it turns it into an OffscreenCanvas, which later changes draw into.
import type { Compositor, RegionCopy, RegionRect } from '../frames.js';

export type Picture = ImageBitmap | OffscreenCanvas;

function context(canvas: OffscreenCanvas): OffscreenCanvasRenderingContext2D {
  const c = canvas.getContext('2d', { alpha: false });
  if (!c) throw new Error('no 2d context');
  return c;
}

// Also serves moves: the source area goes through it, so overlapping areas copy correctly on any
// canvas implementation.
let scratch: OffscreenCanvas | null = null;

export const canvasCompositor: Compositor<ImageBitmap, Picture> = {
  decode: (jpeg) => createImageBitmap(new Blob([jpeg as BlobPart], { type: 'image/jpeg' })),
  adopt: (decoded) => decoded,
  create: (width, height) => new OffscreenCanvas(width, height),
  writable(picture) {
    if (picture instanceof OffscreenCanvas) return picture;
    const canvas = new OffscreenCanvas(picture.width, picture.height);
    context(canvas).drawImage(picture, 0, 0);
    picture.close();
    return canvas;
  },
  move(picture, copy: RegionCopy) {
    const { x, y, width, height } = copy.source;
    if (!scratch || scratch.width < width || scratch.height < height) {
      scratch = new OffscreenCanvas(Math.max(width, scratch?.width ?? 0), Math.max(height, scratch?.height ?? 0));
    }
    const s = context(scratch);
    s.drawImage(picture, x, y, width, height, 0, 0, width, height);
    context(picture as OffscreenCanvas).drawImage(scratch, 0, 0, width, height, copy.toX, copy.toY, width, height);
  },
  draw(picture, decoded, at: RegionRect) {
    context(picture as OffscreenCanvas).drawImage(decoded, at.x, at.y);
  },
  release: (decoded) => decoded.close(),
  drop(picture) {
    if (picture instanceof OffscreenCanvas) {
      // Gives the pixels back at once rather than at the next collection.
      picture.width = 0;
      picture.height = 0;
    } else {
      picture.close();
    }
  },
};
