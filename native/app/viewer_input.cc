#include "app/viewer_input.h"

#include <algorithm>

namespace ov {
namespace {

// Virtual keys 1 to 254 are keys; the system also reports 0 and 255 (some Fn and OEM keys),
// which no host accepts.
bool IsSendableKey(std::int32_t vk) noexcept { return vk >= 1 && vk <= 254; }

bool InArea(const ViewRect& area, ClientPoint p) noexcept {
  return p.x >= area.x && p.x < area.x + area.width && p.y >= area.y &&
         p.y < area.y + area.height;
}

}  // namespace

void ViewerInput::OnMouseMove(InputWindow& window, ClientPoint point, std::uint64_t now) {
  if (panning_) {
    target_.Pan(window.ViewArea(), point.x - panLast_.x, point.y - panLast_.y);
    panLast_ = point;
    panMoved_ = true;
    return;
  }
  if (spaceHeld_) return;
  if (moveSent_ && now - lastMove_ <= kMoveThrottleMs) return;
  lastMove_ = now;
  moveSent_ = true;
  target_.SendPointer(InputAction::Move, point, window.ViewArea(), kButtonLeft, 0);
}

bool ViewerInput::OnButtonDown(InputWindow& window, std::int32_t button, ClientPoint point,
                               bool onControl) {
  const ViewRect area = window.ViewArea();
  if (onControl || !InArea(area, point)) return false;
  window.CaptureMouse();
  if (spaceHeld_ && button == kButtonLeft) {
    panning_ = true;
    panLast_ = point;
    return true;
  }
  target_.SendPointer(InputAction::Down, point, area, button, 0);
  return true;
}

bool ViewerInput::OnButtonUp(InputWindow& window, std::int32_t button, ClientPoint point) {
  if (panning_ && button == kButtonLeft) {
    panning_ = false;
    window.ReleaseMouse();
    return true;
  }
  if (panning_) {
    // Another button pressed during the pan went to the host: its release does too, and the
    // pan (with the capture it holds) goes on.
    target_.SendPointer(InputAction::Up, point, window.ViewArea(), button, 0);
    return true;
  }
  if (!window.HasMouseCapture()) return false;
  target_.SendPointer(InputAction::Up, point, window.ViewArea(), button, 0);
  window.ReleaseMouse();
  return true;
}

void ViewerInput::OnWheel(InputWindow& window, std::int32_t delta, bool controlHeld,
                          ClientPoint point) {
  const ViewRect area = window.ViewArea();
  if (controlHeld) {
    target_.ZoomStep(area, delta > 0 ? kZoomInFactor : kZoomOutFactor);
    return;
  }
  if (delta == 0) return;  // nothing turned; a zero delta is no event the host accepts
  // The host takes at most 12000 per event; a larger turn (the system reports up to 32767) goes
  // as several events of the same total.
  while (delta != 0) {
    const std::int32_t part = std::clamp(delta, -kWheelDeltaLimit, kWheelDeltaLimit);
    target_.SendPointer(InputAction::Wheel, point, area, 0, part);
    delta -= part;
  }
}

void ViewerInput::OnKeyDown(InputWindow& window, std::int32_t vk, bool repeat, bool controlHeld,
                            bool altHeld) {
  controlHeld_ = controlHeld || vk == kKeyControl;
  if (!IsSendableKey(vk)) return;
  if (vk == kKeyEscape && window.FullScreen()) {
    window.LeaveFullScreen();
    return;
  }
  if (vk == kKeySpace) {
    if (!spaceHeld_) panMoved_ = false;
    spaceHeld_ = true;
    return;
  }
  if (vk == kKeyV && controlHeld && !altHeld) {
    if (!repeat) target_.StartPaste();
    return;
  }
  target_.SendInputEvent(InputAction::KeyDown, 0, 0, 0, vk);
}

void ViewerInput::OnKeyUp(std::int32_t vk) {
  if (vk == kKeyControl) controlHeld_ = false;
  if (!IsSendableKey(vk)) return;
  if (vk == kKeySpace && spaceHeld_) {
    spaceHeld_ = false;
    if (!panMoved_) {
      target_.SendInputEvent(InputAction::KeyDown, 0, 0, 0, kKeySpace);
      target_.SendInputEvent(InputAction::KeyUp, 0, 0, 0, kKeySpace);
    }
    return;
  }
  target_.SendInputEvent(InputAction::KeyUp, 0, 0, 0, vk);
}

void ViewerInput::OnMinimize() {
  target_.SendReleaseInput();
  panning_ = false;
  spaceHeld_ = false;
  controlHeld_ = false;
  target_.CancelPaste();
}

void ViewerInput::OnFocusLost(InputWindow& window) {
  target_.SendReleaseInput();
  if (panning_) {
    panning_ = false;
    window.ReleaseMouse();
  }
  // The key-ups of keys held while the focus went never arrive.
  spaceHeld_ = false;
  controlHeld_ = false;
  target_.CancelPaste();
}

}  // namespace ov
