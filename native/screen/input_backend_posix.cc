// The Linux build injects into its synthetic desktop: the cursor is a point on it, and events
// are accepted without going anywhere. The session logic above it runs unchanged.
#include "screen/displays.h"
#include "screen/input_injector.h"

namespace ov {
namespace {

class SyntheticInputBackend final : public InputBackend {
 public:
  bool InputDesktopActive() override { return IsInputDesktopActive(); }
  std::optional<ScreenRect> DisplayBounds(const DisplayInfo& display) override {
    return ResolveDisplayBounds(display);
  }
  std::uint32_t MoveCursor(ScreenPoint point) override {
    cursor_ = point;
    return 0;
  }
  std::optional<ScreenPoint> CursorPosition() override { return cursor_; }
  std::uint32_t SendKey(std::int32_t, bool, bool) override { return 0; }
  std::uint32_t SendMouse(std::uint32_t, std::int32_t) override { return 0; }

 private:
  ScreenPoint cursor_;
};

}  // namespace

std::unique_ptr<InputBackend> CreateSystemInputBackend() {
  return std::make_unique<SyntheticInputBackend>();
}

}  // namespace ov
