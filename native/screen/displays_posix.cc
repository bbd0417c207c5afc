// The Linux build has no screen of its own to share: it offers one synthetic primary display,
// served by SyntheticCapturer, so that the session logic runs unchanged in native tests.
#include "screen/displays.h"
#include "screen/synthetic_capturer.h"

namespace ov {

namespace {
constexpr ScreenRect kSyntheticDesktop{0, 0, 1920, 1080};
}

std::vector<DisplayInfo> EnumerateDisplays() {
  DisplayListBuilder builder;
  builder.Add(DisplayInfo{L"", kSyntheticDesktop, true});
  return std::move(builder).Finish();
}

std::optional<ScreenRect> ResolveDisplayBounds(const DisplayInfo& display) {
  const auto found = FindDisplay(EnumerateDisplays(), display);
  if (!found) return std::nullopt;
  return found->rect;
}

int DisplayRefreshRate(const DisplayInfo&) { return 60; }

bool IsInputDesktopActive() { return true; }

std::unique_ptr<ScreenCapturer> CreateScreenCapturer() {
  return std::make_unique<SyntheticCapturer>(SyntheticScene::MovingPattern);
}

}  // namespace ov
