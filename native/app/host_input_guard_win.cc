#include "app/host_input_guard_win.h"

#include "session/input_event.h"

namespace ov {

bool IsInputMessage(UINT message) noexcept {
  return (message >= 0x00A0 && message <= 0x00AD) || (message >= 0x0100 && message <= 0x0109) ||
         (message >= 0x0200 && message <= 0x020E);
}

bool IsInjectedInput() noexcept {
  return static_cast<ULONG_PTR>(GetMessageExtraInfo()) == ULONG_PTR{kInjectedInputMarker};
}

bool RemoteSafeCommand(int command) noexcept {
  switch (command) {
    case 107: case 108: case 111: case 112: case 113: case 114: case 119: case 120: case 137:
      return true;
    default:
      return false;
  }
}

InjectedVerdict JudgeInjectedMainInput(bool remoteControlInForce, UINT message, WPARAM wParam,
                                       int command) noexcept {
  if (!remoteControlInForce) return InjectedVerdict::kSwallow;
  if (message == WM_NCLBUTTONDOWN) {
    const bool frame = wParam == HTCAPTION || (wParam >= HTLEFT && wParam <= HTBOTTOMRIGHT);
    return frame ? InjectedVerdict::kHandle : InjectedVerdict::kSwallow;
  }
  if (message != WM_LBUTTONDOWN && message != WM_LBUTTONUP) return InjectedVerdict::kSwallow;
  if (RemoteSafeCommand(command)) return InjectedVerdict::kHandle;
  if (message == WM_LBUTTONDOWN && command != 0) return InjectedVerdict::kSwallowAndLocalOnly;
  return InjectedVerdict::kSwallow;
}

bool ChildDropsInput(bool hostingSession, UINT message) noexcept {
  return hostingSession && IsInputMessage(message) && IsInjectedInput();
}

bool BannerDropsInput(UINT message) noexcept {
  return (IsInputMessage(message) || message == WM_CLOSE) && IsInjectedInput();
}

}  // namespace ov
