// A Canvas for tests: keeps every call, measures text deterministically (0.5 x size per
// character, 0.6 for bold) and reports whether a single line had to be trimmed.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "ui/canvas.h"

namespace ov::testing {

class RecordingCanvas final : public Canvas {
 public:
  struct DrawnText {
    std::wstring text;
    RectF rect;
    TextStyle style;
    Argb colour = 0;
    bool wrapped = false;
    bool trimmed = false;  // a single line wider than its rectangle
  };
  struct Shape {
    enum Kind { Rect, Round, Ellipse, Line, Polygon, Mark, Image } kind = Rect;
    RectF rect;
    Argb fill = 0;
    Argb border = 0;
    float radius = 0;
  };

  void FillRect(const RectF& rect, Argb colour) override { shapes.push_back({Shape::Rect, rect, colour}); }
  void RoundRect(const RectF& rect, Argb fill, float radius, Argb border) override {
    shapes.push_back({Shape::Round, rect, fill, border, radius});
  }
  void FillEllipse(const RectF& rect, Argb colour) override {
    shapes.push_back({Shape::Ellipse, rect, colour});
  }
  void Polyline(const std::vector<PointF>& points, Argb colour, float, bool) override {
    shapes.push_back({Shape::Line, Bounds(points), colour});
  }
  void FillPolygon(const std::vector<PointF>& points, Argb colour) override {
    shapes.push_back({Shape::Polygon, Bounds(points), colour});
  }
  void Text(const std::wstring& text, const RectF& rect, const TextStyle& style,
            Argb colour) override {
    texts.push_back({text, rect, style, colour, false, MeasureText(text, style) > rect.width});
  }
  void WrappedText(const std::wstring& text, float x, float y, float width,
                   const TextStyle& style, Argb colour) override {
    texts.push_back({text, RectF{x, y, width, 2.9f * style.size}, style, colour, true, false});
  }
  float MeasureText(const std::wstring& text, const TextStyle& style) override {
    return static_cast<float>(text.size()) * style.size * (style.bold ? 0.6f : 0.5f);
  }
  void ProductMark(float x, float y, float size) override {
    shapes.push_back({Shape::Mark, RectF{x, y, size, size}});
  }
  void Picture(const PixelView& picture, const RectF& dest, Interpolation mode) override {
    shapes.push_back({Shape::Image, dest});
    lastInterpolation = mode;
    lastPictureWidth = picture.width;
  }
  void PushClip(const RectF& rect) override { clips.push_back(rect); }
  void PopClip() override {
    if (!clips.empty()) clips.pop_back();
  }

  // The first drawn text equal to `text`, or null.
  const DrawnText* FindText(const std::wstring& text) const {
    for (const DrawnText& drawn : texts) {
      if (drawn.text == text) return &drawn;
    }
    return nullptr;
  }

  std::vector<DrawnText> texts;
  std::vector<Shape> shapes;
  std::vector<RectF> clips;
  Interpolation lastInterpolation = Interpolation::Bilinear;
  int lastPictureWidth = 0;

 private:
  static RectF Bounds(const std::vector<PointF>& points) {
    if (points.empty()) return {};
    float minX = points[0].x, minY = points[0].y, maxX = minX, maxY = minY;
    for (const PointF& p : points) {
      minX = std::min(minX, p.x);
      minY = std::min(minY, p.y);
      maxX = std::max(maxX, p.x);
      maxY = std::max(maxY, p.y);
    }
    return RectF{minX, minY, maxX - minX, maxY - minY};
  }
};

}  // namespace ov::testing
