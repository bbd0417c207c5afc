#include "ui/controls.h"

#include "ui/commands.h"

namespace ov {
namespace {

constexpr Argb kWhite = 0xFFFFFFFF;
constexpr Argb kAccent = 0xFF10786D;
constexpr Argb kToggleOn = 0xFF187A67;

bool Hovered(const DrawContext& ctx, int command) { return ctx.hovered == command; }

std::vector<PointF> Shifted(std::initializer_list<PointF> points, float x, float y) {
  std::vector<PointF> out;
  out.reserve(points.size());
  for (const PointF& p : points) out.push_back(PointF{x + p.x, y + p.y});
  return out;
}

}  // namespace

void Layout::RemoveRegionsInside(const RectF& area) {
  std::erase_if(regions_, [&](const HitRegion& region) {
    return region.rect.x >= area.x && region.rect.y >= area.y &&
           region.rect.Right() <= area.Right() && region.rect.Bottom() <= area.Bottom();
  });
}

int Layout::HitTest(PointF point) const noexcept {
  for (auto it = regions_.rbegin(); it != regions_.rend(); ++it) {
    if (it->rect.Contains(point)) return it->command;
  }
  return 0;
}

const HitRegion* Layout::Find(int command) const noexcept {
  for (const HitRegion& region : regions_) {
    if (region.command == command) return &region;
  }
  return nullptr;
}

const ControlPlacement* Layout::Placement(ChildControl control) const noexcept {
  for (const ControlPlacement& placement : controls_) {
    if (placement.control == control) return &placement;
  }
  return nullptr;
}

float PushButtonLabelSize(std::size_t characters) noexcept {
  if (characters < 17) return 14;
  if (characters <= 22) return 12;
  return 11;
}

void PushButton(DrawContext& ctx, int command, std::string_view label, const RectF& rect,
                ButtonStyle style) {
  const bool hovered = Hovered(ctx, command);
  Argb fill = 0;
  Argb border = 0;
  Argb text = kWhite;
  switch (style) {
    case ButtonStyle::Primary:
      fill = hovered ? 0xFF1D8D76 : 0xFF187A67;
      break;
    case ButtonStyle::Secondary:
      fill = hovered ? 0xFFE7EDF4 : 0xFFF6F8FB;
      border = 0xFFDAE0DF;
      text = 0xFF2D3F50;
      break;
    case ButtonStyle::Danger:
      fill = hovered ? 0xFFC03043 : 0xFFAB2A3C;
      break;
  }
  ctx.canvas.RoundRect(rect, fill, 8, border);
  const std::wstring translated = ctx.translate(label);
  TextStyle style12;
  style12.size = PushButtonLabelSize(translated.size());
  style12.bold = true;
  style12.align = TextAlign::Center;
  ctx.canvas.Text(translated, RectF{rect.x + 6, rect.y, rect.width - 12, rect.height}, style12,
                  text);
  ctx.layout.AddRegion(command, rect);
}

void Toggle(DrawContext& ctx, int command, std::string_view label, float x, float y, float width,
            bool on, bool enabled) {
  const RectF box{x, y + 4.5f, 16, 16};
  if (on) {
    ctx.canvas.RoundRect(box, enabled ? kToggleOn : 0xFF8B9E9E, 4, 0);
    DrawCheck(ctx.canvas, box.x, box.y, kWhite);
  } else {
    const Argb border = enabled && Hovered(ctx, command) ? kToggleOn : 0xFFB7C5CA;
    ctx.canvas.RoundRect(box, kWhite, 4, border);
  }
  TextStyle style;
  style.size = 12;
  style.bold = command == cmd::kApproval;
  ctx.canvas.Text(ctx.translate(label), RectF{x + 26, y, width - 26, 25}, style,
                  enabled ? 0xFF2F4151 : 0xFF8A979E);
  ctx.layout.AddRegion(command, RectF{x, y, width, 25});
}

void IconButton(DrawContext& ctx, int command, const RectF& rect) {
  const bool hovered = Hovered(ctx, command);
  const bool close = command == cmd::kClose;
  ctx.canvas.RoundRect(rect, hovered ? (close ? 0xFFFBE1E4 : 0xFFE1EDE9) : 0xFFF4F7F7, 6, 0);
  const float x = rect.x + (rect.width - 16) / 2;
  const float y = rect.y + (rect.height - 16) / 2;
  if (ctx.copyFeedback == command && (command == cmd::kCopyId || command == cmd::kCopyPassword)) {
    DrawCheck(ctx.canvas, x, y, 0xFF197E64);
  } else {
    DrawIcon(ctx, command, x, y, close && hovered ? 0xFFA82D3D : 0xFF586C7B);
  }
  ctx.layout.AddRegion(command, rect);
}

void NavItem(DrawContext& ctx, int command, std::string_view label, bool selected, float y) {
  const RectF item{12, y, 168, 42};
  if (selected) {
    ctx.canvas.RoundRect(item, 0xFFE2F1EC, 9, 0);
    ctx.canvas.RoundRect(RectF{item.x, y + 12, 3, 18}, kAccent, 1.2f, 0);
  } else if (Hovered(ctx, command)) {
    ctx.canvas.RoundRect(item, 0xFFEDF2F6, 9, 0);
  }
  DrawIcon(ctx, command, 21, y + 13, selected ? kAccent : 0xFF5E7383);
  TextStyle style;
  style.size = 13;
  style.bold = selected;
  ctx.canvas.Text(ctx.translate(label), RectF{54, y, 116, 42}, style,
                  selected ? 0xFF1C3141 : 0xFF5E7383);
  ctx.layout.AddRegion(command, item);
}

void ToolbarButton(DrawContext& ctx, int command, const std::wstring& label, const RectF& rect,
                   bool withIcon, bool active) {
  const bool hovered = Hovered(ctx, command);
  const bool end = command == cmd::kDisconnect;
  Argb fill = active ? 0xFF1E3B39 : hovered ? 0xFF273241 : 0xFF141D29;
  if (end) fill = hovered ? 0xFF7F313A : 0xFF4C252E;
  if (command == cmd::kClose && hovered) fill = 0xFF9A2A36;
  ctx.canvas.RoundRect(rect, fill, 5, 0);
  const Argb ink = active ? 0xFF6DD8B7 : end ? 0xFFF9B4BA : 0xFFCFD7E1;
  if (withIcon) DrawIcon(ctx, command, rect.x + 8, rect.y + (rect.height - 16) / 2, ink);
  if (!label.empty()) {
    const float left = withIcon ? 31.0f : 8.0f;
    TextStyle style;
    style.size = 12;
    style.bold = true;
    ctx.canvas.Text(label, RectF{rect.x + left, rect.y, rect.width - left - 6, rect.height}, style,
                    ink);
  }
  ctx.layout.AddRegion(command, rect);
}

void DrawCheck(Canvas& canvas, float x, float y, Argb colour) {
  canvas.Polyline({PointF{x + 3.5f, y + 8.5f}, PointF{x + 6.5f, y + 11.5f}}, colour, 2, false);
  canvas.Polyline({PointF{x + 6.5f, y + 11.5f}, PointF{x + 12.5f, y + 4.5f}}, colour, 2, false);
}

void DrawIcon(DrawContext& ctx, int command, float x, float y, Argb colour) {
  Canvas& c = ctx.canvas;
  const float w = 1.6f;
  switch (command) {
    case cmd::kCopyId:
    case cmd::kCopyPassword:
      c.Polyline(Shifted({{5, 5}, {14, 5}, {14, 14}, {5, 14}}, x, y), colour, w, true);
      c.Polyline(Shifted({{2, 10}, {2, 2}, {10, 2}}, x, y), colour, w, false);
      break;
    case cmd::kShowPassword:
      c.Polyline(Shifted({{1, 8}, {4, 4.5f}, {8, 3}, {12, 4.5f}, {15, 8}}, x, y), colour, w, false);
      c.Polyline(Shifted({{1, 8}, {4, 11.5f}, {8, 13}, {12, 11.5f}, {15, 8}}, x, y), colour, w,
                 false);
      c.FillEllipse(RectF{x + 5.5f, y + 5.5f, 5, 5}, colour);
      if (!ctx.passwordShown) c.Polyline(Shifted({{2, 14}, {14, 2}}, x, y), colour, w, false);
      break;
    case cmd::kNewCredentials:
      c.Polyline(Shifted({{13, 8}, {12, 11.5f}, {8, 14}, {4, 12.5f}, {2, 8}, {4, 3.5f}, {8, 2},
                          {12, 4}},
                         x, y),
                 colour, w, false);
      c.Polyline(Shifted({{12, 1}, {12, 4}, {9, 4}}, x, y), colour, w, false);
      break;
    case cmd::kConnections:
    case cmd::kDisplayMenu:
      c.Polyline(Shifted({{1, 2}, {15, 2}, {15, 11}, {1, 11}}, x, y), colour, w, true);
      c.Polyline(Shifted({{8, 11}, {8, 14}}, x, y), colour, w, false);
      c.Polyline(Shifted({{4.5f, 14.5f}, {11.5f, 14.5f}}, x, y), colour, w, false);
      break;
    case cmd::kSecurity:
      c.Polyline(Shifted({{8, 1}, {14, 3}, {14, 8}, {11, 12.5f}, {8, 15}, {5, 12.5f}, {2, 8}}, x, y),
                 colour, w, true);
      c.Polyline(Shifted({{5.5f, 8}, {7.5f, 10}, {11, 6}}, x, y), colour, w, false);
      break;
    case cmd::kDisconnect:
      c.FillRect(RectF{x + 4, y + 4, 8, 8}, colour);
      break;
    case cmd::kMinimize:
      c.Polyline(Shifted({{3, 8}, {13, 8}}, x, y), colour, w, false);
      break;
    case cmd::kMaximize:
      if (ctx.maximised) {
        c.Polyline(Shifted({{3, 6}, {10, 6}, {10, 13}, {3, 13}}, x, y), colour, w, true);
        c.Polyline(Shifted({{6, 6}, {6, 3}, {13, 3}, {13, 10}, {10, 10}}, x, y), colour, w, false);
      } else {
        c.Polyline(Shifted({{3, 3}, {13, 3}, {13, 13}, {3, 13}}, x, y), colour, w, true);
      }
      break;
    case cmd::kClose:
      c.Polyline(Shifted({{3, 3}, {13, 13}}, x, y), colour, w, false);
      c.Polyline(Shifted({{13, 3}, {3, 13}}, x, y), colour, w, false);
      break;
    case cmd::kFiles:
      c.Polyline(Shifted({{3, 1}, {10, 1}, {14, 5}, {14, 15}, {3, 15}, {3, 1}, {3, 1}}, x, y),
                 colour, w, true);
      c.Polyline(Shifted({{10, 1}, {10, 5}, {14, 5}}, x, y), colour, w, false);
      break;
    case cmd::kChat:
      c.Polyline(Shifted({{1, 2}, {15, 2}, {15, 11}, {7, 11}, {3, 14.5f}, {3, 11}, {1, 11}}, x, y),
                 colour, w, true);
      break;
    case cmd::kFit:
      c.Polyline(Shifted({{3, 4}, {13, 4}, {13, 12}, {3, 12}}, x, y), colour, w, true);
      c.Polyline(Shifted({{1, 3}, {1, 1}, {3, 1}}, x, y), colour, w, false);
      c.Polyline(Shifted({{13, 1}, {15, 1}, {15, 3}}, x, y), colour, w, false);
      c.Polyline(Shifted({{1, 13}, {1, 15}, {3, 15}}, x, y), colour, w, false);
      c.Polyline(Shifted({{13, 15}, {15, 15}, {15, 13}}, x, y), colour, w, false);
      break;
    case cmd::kZoomIn:
      c.Polyline(Shifted({{8, 3}, {8, 13}}, x, y), colour, w, false);
      [[fallthrough]];
    case cmd::kZoomOut:
      c.Polyline(Shifted({{3, 8}, {13, 8}}, x, y), colour, w, false);
      break;
    case cmd::kFullScreen:
      c.Polyline(Shifted({{1, 5}, {1, 1}, {5, 1}}, x, y), colour, w, false);
      c.Polyline(Shifted({{11, 1}, {15, 1}, {15, 5}}, x, y), colour, w, false);
      c.Polyline(Shifted({{1, 11}, {1, 15}, {5, 15}}, x, y), colour, w, false);
      c.Polyline(Shifted({{11, 15}, {15, 15}, {15, 11}}, x, y), colour, w, false);
      break;
    case cmd::kQualityMenu:
      c.Polyline(Shifted({{1, 5}, {15, 5}}, x, y), colour, w, false);
      c.Polyline(Shifted({{1, 11}, {15, 11}}, x, y), colour, w, false);
      c.FillEllipse(RectF{x + 3, y + 3, 4, 4}, colour);
      c.FillEllipse(RectF{x + 9, y + 9, 4, 4}, colour);
      break;
    case cmd::kMoreTools:
      for (int i = 0; i < 3; ++i) {
        c.FillEllipse(RectF{x + 2.5f + 5.0f * static_cast<float>(i), y + 6.5f, 3, 3}, colour);
      }
      break;
    default:
      break;  // no icon
  }
}

}  // namespace ov
