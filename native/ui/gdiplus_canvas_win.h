// The Canvas on a GDI+ graphics object: DIP scaled by the window's scale, anti-aliased shapes,
// ClearType grid-fitted text, fonts cached by family, weight and pixel height (a font is made
// again only when its pixel height changes). A failing GDI+ call leaves its element undrawn and
// is remembered in lastError().
#pragma once

#include <windows.h>
#include <objidl.h>
// objidl.h first: GDI+ needs its types, which WIN32_LEAN_AND_MEAN leaves out.
#include <gdiplus.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "ui/canvas.h"

namespace ov {

// Fonts kept across paints: one per family, weight and pixel height.
class FontCache {
 public:
  Gdiplus::Font* Get(FontFamily family, bool bold, int pixelHeight);

 private:
  std::map<std::tuple<int, bool, int>, std::unique_ptr<Gdiplus::Font>> fonts_;
};

class GdiplusCanvas final : public Canvas {
 public:
  // `graphics` and `fonts` must outlive the canvas.
  GdiplusCanvas(Gdiplus::Graphics& graphics, FontCache& fonts, float scale);

  void FillRect(const RectF& rect, Argb colour) override;
  void RoundRect(const RectF& rect, Argb fill, float radius, Argb border) override;
  void FillEllipse(const RectF& rect, Argb colour) override;
  void Polyline(const std::vector<PointF>& points, Argb colour, float width,
                bool closed) override;
  void FillPolygon(const std::vector<PointF>& points, Argb colour) override;
  void Text(const std::wstring& text, const RectF& rect, const TextStyle& style,
            Argb colour) override;
  void WrappedText(const std::wstring& text, float x, float y, float width,
                   const TextStyle& style, Argb colour) override;
  float MeasureText(const std::wstring& text, const TextStyle& style) override;
  void ProductMark(float x, float y, float size) override;
  void Picture(const PixelView& picture, const RectF& dest, Interpolation mode) override;
  void PushClip(const RectF& rect) override;
  void PopClip() override;

  Gdiplus::Status lastError() const noexcept { return lastError_; }

  // Trimming report (off by default, it costs a measurement per text): every text drawn from
  // now on that did not fit its box and was cut with an ellipsis is kept with its box (DIP).
  struct Trimmed {
    std::wstring text;
    RectF rect;
  };
  void TrackTrimming(bool on) noexcept { trackTrimming_ = on; }
  const std::vector<Trimmed>& trimmed() const noexcept { return trimmed_; }

 private:
  Gdiplus::RectF Scaled(const RectF& rect) const;
  void Note(Gdiplus::Status status) noexcept;
  Gdiplus::Font* FontFor(const TextStyle& style);

  Gdiplus::Graphics& graphics_;
  FontCache& fonts_;
  float scale_;
  std::vector<Gdiplus::GraphicsState> clips_;
  Gdiplus::Status lastError_ = Gdiplus::Ok;
  bool trackTrimming_ = false;
  std::vector<Trimmed> trimmed_;
  std::vector<std::uint8_t> scaled_;  // a reduced picture, reused across pictures
};

}  // namespace ov
