// The drawing surface of the user interface, in device-independent pixels (DIP). The painter and
// the controls draw only through this interface: on Windows a GDI+ implementation scales DIP by
// the window's DPI and anti-aliases; in tests a recording canvas keeps every call and measures
// text deterministically. Colours are 0xAARRGGBB.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "screen/capture_types.h"

namespace ov {

using Argb = std::uint32_t;

struct PointF {
  float x = 0;
  float y = 0;
  friend bool operator==(const PointF&, const PointF&) = default;
};

struct RectF {
  float x = 0;
  float y = 0;
  float width = 0;
  float height = 0;

  float Right() const noexcept { return x + width; }
  float Bottom() const noexcept { return y + height; }
  bool Contains(PointF p) const noexcept {
    return p.x >= x && p.y >= y && p.x < x + width && p.y < y + height;
  }
  friend bool operator==(const RectF&, const RectF&) = default;
};

enum class FontFamily { SegoeUi, Consolas };
enum class TextAlign { Left, Center, Right };

struct TextStyle {
  float size = 12;  // pixels before scaling
  bool bold = false;
  FontFamily family = FontFamily::SegoeUi;
  TextAlign align = TextAlign::Left;
};

enum class Interpolation { NearestNeighbor, Bilinear };

class Canvas {
 public:
  Canvas() = default;
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;
  virtual ~Canvas() = default;

  virtual void FillRect(const RectF& rect, Argb colour) = 0;
  // Four 90-degree arcs of diameter 2 x radius, filled; outlined with a 1-DIP pen only when the
  // border's alpha is not zero.
  virtual void RoundRect(const RectF& rect, Argb fill, float radius, Argb border) = 0;
  virtual void FillEllipse(const RectF& rect, Argb colour) = 0;
  // Connected strokes with round caps and joins; `closed` joins the last point to the first.
  virtual void Polyline(const std::vector<PointF>& points, Argb colour, float width,
                        bool closed) = 0;
  virtual void FillPolygon(const std::vector<PointF>& points, Argb colour) = 0;
  // One line, vertically centred in `rect`, never wrapped, trimmed with an ellipsis when too long.
  virtual void Text(const std::wstring& text, const RectF& rect, const TextStyle& style,
                    Argb colour) = 0;
  // Wrapping text in a box `width` wide and 2.9 x size high (about two lines), trimmed with an
  // ellipsis.
  virtual void WrappedText(const std::wstring& text, float x, float y, float width,
                           const TextStyle& style, Argb colour) = 0;
  // The width the text takes on one line.
  virtual float MeasureText(const std::wstring& text, const TextStyle& style) = 0;
  // The product mark, `size` DIP square.
  virtual void ProductMark(float x, float y, float size) = 0;
  // A picture (4 bytes per pixel, blue green red ignored, rows top-down) stretched into `dest`.
  virtual void Picture(const PixelView& picture, const RectF& dest, Interpolation mode) = 0;
  // Clipping: drawing outside the innermost pushed rectangle is discarded.
  virtual void PushClip(const RectF& rect) = 0;
  virtual void PopClip() = 0;
};

}  // namespace ov
