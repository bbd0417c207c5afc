// The clickable controls and icons the window is drawn with. Each control draws itself on the
// canvas and appends its hit region to the layout, in drawing order; the layout then answers
// clicks, the caption hit test and the tooltips.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/canvas.h"

namespace ov {

// The native child controls the layout places.
enum class ChildControl { RemoteId, Password, ChatInput, ChatLog, Language };

struct HitRegion {
  int command = 0;
  RectF rect;
};

struct ControlPlacement {
  ChildControl control = ChildControl::RemoteId;
  RectF rect;
  bool enabled = true;
};

// What one paint laid out: the hit regions in drawing order and the child controls to show
// (every control not listed is hidden).
class Layout {
 public:
  void AddRegion(int command, const RectF& rect) { regions_.push_back(HitRegion{command, rect}); }
  // Drops the regions that lie wholly inside `area` (what an overlay covers).
  void RemoveRegionsInside(const RectF& area);
  void Place(ChildControl control, const RectF& rect, bool enabled) {
    controls_.push_back(ControlPlacement{control, rect, enabled});
  }
  // The command of the region under `point`, the last drawn winning; 0 when none.
  int HitTest(PointF point) const noexcept;
  const HitRegion* Find(int command) const noexcept;
  const ControlPlacement* Placement(ChildControl control) const noexcept;
  bool Has(int command) const noexcept { return Find(command) != nullptr; }
  const std::vector<HitRegion>& regions() const noexcept { return regions_; }
  const std::vector<ControlPlacement>& controls() const noexcept { return controls_; }

 private:
  std::vector<HitRegion> regions_;
  std::vector<ControlPlacement> controls_;
};

// Looks a catalogue key up in the current language.
using Translator = std::function<std::wstring(std::string_view key)>;

// Everything the controls share while one frame is drawn.
struct DrawContext {
  Canvas& canvas;
  Layout& layout;
  const Translator& translate;
  int hovered = 0;          // command under the pointer
  int copyFeedback = 0;     // copy button showing its check mark
  bool passwordShown = false;
  bool maximised = false;
};

enum class ButtonStyle { Primary, Secondary, Danger };

// Label size of a push button: 14 below 17 characters, 12 from 17 to 22, 11 from 23 on.
float PushButtonLabelSize(std::size_t characters) noexcept;

void PushButton(DrawContext& ctx, int command, std::string_view label, const RectF& rect,
                ButtonStyle style);
// A 16-DIP box and its label; the hit region is `width` wide and 25 DIP high.
void Toggle(DrawContext& ctx, int command, std::string_view label, float x, float y, float width,
            bool on, bool enabled);
void IconButton(DrawContext& ctx, int command, const RectF& rect);
void NavItem(DrawContext& ctx, int command, std::string_view label, bool selected, float y);
// The viewer's dark toolbar. `label` is already translated (it may carry a number).
void ToolbarButton(DrawContext& ctx, int command, const std::wstring& label, const RectF& rect,
                   bool withIcon, bool active);
// The line icon of `command`, in a 16-DIP square at (x, y).
void DrawIcon(DrawContext& ctx, int command, float x, float y, Argb colour);
// The check mark that replaces a copy button's icon while its feedback lasts.
void DrawCheck(Canvas& canvas, float x, float y, Argb colour);

}  // namespace ov
