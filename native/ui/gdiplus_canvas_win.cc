#include "ui/gdiplus_canvas_win.h"

#include <algorithm>
#include <cmath>

#include "screen/picture.h"

namespace ov {
namespace {

Gdiplus::Color ColourOf(Argb argb) { return Gdiplus::Color(static_cast<Gdiplus::ARGB>(argb)); }

// A closed path of four arcs of diameter 2 x radius at the corners.
void AddRoundRect(Gdiplus::GraphicsPath& path, const Gdiplus::RectF& r, float radius) {
  const float d = std::min({2 * radius, r.Width, r.Height});
  if (d <= 0.5f) {
    path.AddRectangle(r);
    return;
  }
  path.AddArc(r.X, r.Y, d, d, 180, 90);
  path.AddArc(r.X + r.Width - d, r.Y, d, d, 270, 90);
  path.AddArc(r.X + r.Width - d, r.Y + r.Height - d, d, d, 0, 90);
  path.AddArc(r.X, r.Y + r.Height - d, d, d, 90, 90);
  path.CloseFigure();
}

}  // namespace

Gdiplus::Font* FontCache::Get(FontFamily family, bool bold, int pixelHeight) {
  const auto key = std::make_tuple(static_cast<int>(family), bold, pixelHeight);
  auto it = fonts_.find(key);
  if (it == fonts_.end()) {
    const wchar_t* name = family == FontFamily::Consolas ? L"Consolas" : L"Segoe UI";
    auto font = std::make_unique<Gdiplus::Font>(
        name, static_cast<Gdiplus::REAL>(pixelHeight),
        bold ? Gdiplus::FontStyleBold : Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
    it = fonts_.emplace(key, std::move(font)).first;
  }
  return it->second.get();
}

GdiplusCanvas::GdiplusCanvas(Gdiplus::Graphics& graphics, FontCache& fonts, float scale)
    : graphics_(graphics), fonts_(fonts), scale_(scale) {
  graphics_.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
  graphics_.SetTextRenderingHint(Gdiplus::TextRenderingHintClearTypeGridFit);
  graphics_.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
}

void GdiplusCanvas::Note(Gdiplus::Status status) noexcept {
  if (status != Gdiplus::Ok) lastError_ = status;
}

Gdiplus::RectF GdiplusCanvas::Scaled(const RectF& r) const {
  return Gdiplus::RectF(r.x * scale_, r.y * scale_, r.width * scale_, r.height * scale_);
}

Gdiplus::Font* GdiplusCanvas::FontFor(const TextStyle& style) {
  const int pixels = std::max(8, static_cast<int>(std::lround(style.size * scale_)));
  return fonts_.Get(style.family, style.bold, pixels);
}

void GdiplusCanvas::FillRect(const RectF& rect, Argb colour) {
  Gdiplus::SolidBrush brush(ColourOf(colour));
  Note(graphics_.FillRectangle(&brush, Scaled(rect)));
}

void GdiplusCanvas::RoundRect(const RectF& rect, Argb fill, float radius, Argb border) {
  Gdiplus::GraphicsPath path;
  AddRoundRect(path, Scaled(rect), radius * scale_);
  if ((fill >> 24) != 0) {
    Gdiplus::SolidBrush brush(ColourOf(fill));
    Note(graphics_.FillPath(&brush, &path));
  }
  if ((border >> 24) != 0) {
    Gdiplus::Pen pen(ColourOf(border), scale_);
    Note(graphics_.DrawPath(&pen, &path));
  }
}

void GdiplusCanvas::FillEllipse(const RectF& rect, Argb colour) {
  Gdiplus::SolidBrush brush(ColourOf(colour));
  Note(graphics_.FillEllipse(&brush, Scaled(rect)));
}

void GdiplusCanvas::Polyline(const std::vector<PointF>& points, Argb colour, float width,
                             bool closed) {
  if (points.size() < 2) return;
  std::vector<Gdiplus::PointF> scaled;
  scaled.reserve(points.size());
  for (const PointF& p : points) scaled.emplace_back(p.x * scale_, p.y * scale_);
  Gdiplus::Pen pen(ColourOf(colour), width * scale_);
  pen.SetLineCap(Gdiplus::LineCapRound, Gdiplus::LineCapRound, Gdiplus::DashCapRound);
  pen.SetLineJoin(Gdiplus::LineJoinRound);
  const auto count = static_cast<INT>(scaled.size());
  Note(closed ? graphics_.DrawPolygon(&pen, scaled.data(), count)
              : graphics_.DrawLines(&pen, scaled.data(), count));
}

void GdiplusCanvas::FillPolygon(const std::vector<PointF>& points, Argb colour) {
  if (points.size() < 3) return;
  std::vector<Gdiplus::PointF> scaled;
  for (const PointF& p : points) scaled.emplace_back(p.x * scale_, p.y * scale_);
  Gdiplus::SolidBrush brush(ColourOf(colour));
  Note(graphics_.FillPolygon(&brush, scaled.data(), static_cast<INT>(scaled.size())));
}

void GdiplusCanvas::Text(const std::wstring& text, const RectF& rect, const TextStyle& style,
                         Argb colour) {
  if (text.empty()) return;
  Gdiplus::StringFormat format;
  format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
  format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
  format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
  format.SetAlignment(style.align == TextAlign::Center  ? Gdiplus::StringAlignmentCenter
                      : style.align == TextAlign::Right ? Gdiplus::StringAlignmentFar
                                                        : Gdiplus::StringAlignmentNear);
  Gdiplus::SolidBrush brush(ColourOf(colour));
  const Gdiplus::RectF box = Scaled(rect);
  Note(graphics_.DrawString(text.c_str(), static_cast<INT>(text.size()), FontFor(style), box,
                            &format, &brush));
  if (trackTrimming_) {
    // The text's own width on one line, without a box to trim it.
    Gdiplus::StringFormat natural;
    natural.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
    Gdiplus::RectF bounds;
    INT fitted = 0;
    INT lines = 0;
    const Gdiplus::Status measured = graphics_.MeasureString(
        text.c_str(), static_cast<INT>(text.size()), FontFor(style),
        Gdiplus::RectF(0, 0, 100000, box.Height), &natural, &bounds, &fitted, &lines);
    if (measured == Gdiplus::Ok && bounds.Width > box.Width + 0.5f) {
      trimmed_.push_back(Trimmed{text, rect});
    }
  }
}

void GdiplusCanvas::WrappedText(const std::wstring& text, float x, float y, float width,
                                const TextStyle& style, Argb colour) {
  if (text.empty()) return;
  // Whole lines only: the last one that fits ends with the ellipsis, and no clipped part of
  // the next shows below it.
  Gdiplus::StringFormat format(Gdiplus::StringFormatFlagsLineLimit);
  format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
  Gdiplus::SolidBrush brush(ColourOf(colour));
  const RectF rect{x, y, width, 2.9f * style.size};
  const Gdiplus::RectF box = Scaled(rect);
  Note(graphics_.DrawString(text.c_str(), static_cast<INT>(text.size()), FontFor(style), box,
                            &format, &brush));
  if (trackTrimming_) {
    // The wrapped text's own height in the box's width.
    Gdiplus::StringFormat natural;
    Gdiplus::RectF bounds;
    INT fitted = 0;
    INT lines = 0;
    const Gdiplus::Status measured = graphics_.MeasureString(
        text.c_str(), static_cast<INT>(text.size()), FontFor(style),
        Gdiplus::RectF(0, 0, box.Width, 100000), &natural, &bounds, &fitted, &lines);
    if (measured == Gdiplus::Ok && bounds.Height > box.Height + 0.5f) {
      trimmed_.push_back(Trimmed{text, rect});
    }
  }
}

float GdiplusCanvas::MeasureText(const std::wstring& text, const TextStyle& style) {
  if (text.empty()) return 0;
  Gdiplus::RectF bounds;
  Gdiplus::StringFormat format(Gdiplus::StringFormat::GenericTypographic());
  format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap |
                        Gdiplus::StringFormatFlagsMeasureTrailingSpaces);
  Note(graphics_.MeasureString(text.c_str(), static_cast<INT>(text.size()), FontFor(style),
                               Gdiplus::PointF(0, 0), &format, &bounds));
  return bounds.Width / scale_;
}

void GdiplusCanvas::ProductMark(float x, float y, float size) {
  const Gdiplus::RectF tile = Scaled(RectF{x, y, size, size});
  const float u = tile.Width / 34.0f;  // drawn on a 34-unit grid
  auto at = [&](float px, float py) { return Gdiplus::PointF(tile.X + px * u, tile.Y + py * u); };
  {
    Gdiplus::GraphicsPath path;
    AddRoundRect(path, tile, 8 * u);
    Gdiplus::LinearGradientBrush brush(at(0, 0), at(34, 34), ColourOf(0xFF233B57),
                                       ColourOf(0xFF081322));
    Note(graphics_.FillPath(&brush, &path));
  }
  {
    const Gdiplus::PointF back[] = {at(9, 9), at(25, 9), at(25, 21), at(9, 21)};
    Gdiplus::LinearGradientBrush brush(at(9, 9), at(25, 21), ColourOf(0xFFB5CCFF),
                                       ColourOf(0xFF4B76DB));
    Note(graphics_.FillPolygon(&brush, back, 4));
  }
  {
    const Gdiplus::PointF shade[] = {at(9, 17), at(25, 17), at(25, 21), at(9, 21)};
    Gdiplus::SolidBrush brush(ColourOf(0xAA040E19));
    Note(graphics_.FillPolygon(&brush, shade, 4));
  }
  {
    const Gdiplus::PointF front[] = {at(13, 13), at(27, 13), at(27, 25), at(13, 25)};
    Gdiplus::LinearGradientBrush brush(at(13, 13), at(27, 25), ColourOf(0xFFAAFFE5),
                                       ColourOf(0xFF22AE9A));
    Note(graphics_.FillPolygon(&brush, front, 4));
  }
  {
    Gdiplus::Pen pen(ColourOf(0x82E5FFF8), 1.2f * u);
    pen.SetLineCap(Gdiplus::LineCapRound, Gdiplus::LineCapRound, Gdiplus::DashCapRound);
    Note(graphics_.DrawLine(&pen, at(15, 28), at(25, 28)));
  }
}

// A reduced smooth picture is scaled by the area filter to the device pixels it covers and then
// copied unscaled: GDI+'s high-quality bilinear filter is several times slower (about 50 ms a
// 1920x1080 frame under Wine) and averages less of the source. Enlarging and nearest-neighbour
// drawing stay with GDI+.
void GdiplusCanvas::Picture(const PixelView& picture, const RectF& dest, Interpolation mode) {
  if (picture.data == nullptr || picture.width <= 0 || picture.height <= 0) return;
  const Gdiplus::RectF target = Scaled(dest);
  const int width = static_cast<int>(std::lround(target.Width));
  const int height = static_cast<int>(std::lround(target.Height));
  if (mode == Interpolation::Bilinear && width >= 1 && height >= 1 && width < picture.width &&
      height < picture.height) {
    scaled_.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    ResamplePixels(picture, scaled_.data(), width, height);
    Gdiplus::Bitmap reduced(width, height, width * 4, PixelFormat32bppRGB, scaled_.data());
    graphics_.SetInterpolationMode(Gdiplus::InterpolationModeNearestNeighbor);
    const Gdiplus::PixelOffsetMode offset = graphics_.GetPixelOffsetMode();
    graphics_.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
    Note(graphics_.DrawImage(&reduced,
                             Gdiplus::Rect(static_cast<INT>(std::lround(target.X)),
                                           static_cast<INT>(std::lround(target.Y)), width, height),
                             0, 0, width, height, Gdiplus::UnitPixel));
    graphics_.SetPixelOffsetMode(offset);
    return;
  }
  Gdiplus::Bitmap bitmap(picture.width, picture.height, picture.width * 4,
                         PixelFormat32bppRGB, const_cast<BYTE*>(picture.data));
  graphics_.SetInterpolationMode(mode == Interpolation::NearestNeighbor
                                     ? Gdiplus::InterpolationModeNearestNeighbor
                                     : Gdiplus::InterpolationModeHighQualityBilinear);
  Note(graphics_.DrawImage(&bitmap, Scaled(dest)));
}

void GdiplusCanvas::PushClip(const RectF& rect) {
  clips_.push_back(graphics_.Save());
  Note(graphics_.SetClip(Scaled(rect), Gdiplus::CombineModeIntersect));
}

void GdiplusCanvas::PopClip() {
  if (clips_.empty()) return;
  Note(graphics_.Restore(clips_.back()));
  clips_.pop_back();
}

}  // namespace ov
