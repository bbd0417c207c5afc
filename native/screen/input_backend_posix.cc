// The Linux build injects into its synthetic desktop: the cursor is a point on it, one for the
// process as a system cursor is, and events are accepted without going anywhere. The session
// logic above it runs unchanged.
#include <mutex>

#include "screen/displays.h"
#include "screen/input_injector.h"

namespace ov {
namespace {

std::mutex g_cursorMutex;
ScreenPoint g_cursor;

class SyntheticInputBackend final : public InputBackend {
 public:
  bool InputDesktopActive() override { return IsInputDesktopActive(); }
  std::optional<ScreenRect> DisplayBounds(const DisplayInfo& display) override {
    return ResolveDisplayBounds(display);
  }
  std::uint32_t MoveCursor(ScreenPoint point) override {
    std::lock_guard<std::mutex> lock(g_cursorMutex);
    g_cursor = point;
    return 0;
  }
  std::optional<ScreenPoint> CursorPosition() override {
    std::lock_guard<std::mutex> lock(g_cursorMutex);
    return g_cursor;
  }
  std::uint32_t SendKey(std::int32_t, bool, bool) override { return 0; }
  std::uint32_t SendMouse(std::uint32_t, std::int32_t) override { return 0; }
};

}  // namespace

std::unique_ptr<InputBackend> CreateSystemInputBackend() {
  return std::make_unique<SyntheticInputBackend>();
}

}  // namespace ov
