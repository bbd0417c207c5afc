// Input injection through SendInput and the cursor calls. Every event carries the marker as its
// extra information; the cursor is moved with the marker as the thread's message extra
// information, so that the program's own windows recognise the mouse messages it causes.
#include <windows.h>

#include "screen/displays.h"
#include "screen/input_injector.h"

namespace ov {
namespace {

// The failed call's last error; access denied when it set none.
std::uint32_t LastErrorCode() {
  const DWORD error = GetLastError();
  return error == 0 ? kInputAccessDenied : static_cast<std::uint32_t>(error);
}

std::uint32_t SendOne(INPUT& input) {
  SetLastError(0);
  if (SendInput(1, &input, sizeof(INPUT)) == 1) return 0;
  return LastErrorCode();
}

class WindowsInputBackend final : public InputBackend {
 public:
  bool InputDesktopActive() override { return IsInputDesktopActive(); }
  std::optional<ScreenRect> DisplayBounds(const DisplayInfo& display) override {
    return ResolveDisplayBounds(display);
  }
  std::uint32_t MoveCursor(ScreenPoint point) override {
    const LPARAM previous = SetMessageExtraInfo(static_cast<LPARAM>(kInjectedInputMarker));
    SetLastError(0);
    const bool moved = SetCursorPos(point.x, point.y) != FALSE;
    const std::uint32_t error = moved ? 0 : LastErrorCode();
    SetMessageExtraInfo(previous);
    return error;
  }
  std::optional<ScreenPoint> CursorPosition() override {
    POINT at{};
    if (!GetCursorPos(&at)) return std::nullopt;
    return ScreenPoint{at.x, at.y};
  }
  std::uint32_t SendKey(std::int32_t virtualKey, bool up, bool extended) override {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = static_cast<WORD>(virtualKey);
    input.ki.wScan = 0;
    input.ki.dwFlags = (up ? KEYEVENTF_KEYUP : 0) | (extended ? KEYEVENTF_EXTENDEDKEY : 0);
    input.ki.time = 0;
    input.ki.dwExtraInfo = kInjectedInputMarker;
    return SendOne(input);
  }
  std::uint32_t SendMouse(std::uint32_t flags, std::int32_t data) override {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    input.mi.mouseData = static_cast<DWORD>(data);
    input.mi.time = 0;
    input.mi.dwExtraInfo = kInjectedInputMarker;
    return SendOne(input);
  }
};

}  // namespace

std::unique_ptr<InputBackend> CreateSystemInputBackend() {
  return std::make_unique<WindowsInputBackend>();
}

}  // namespace ov
