#include "screen/input_injector.h"

namespace ov {
namespace {

constexpr std::uint32_t kButtonDownFlags[3] = {kMouseLeftDown, kMouseRightDown, kMouseMiddleDown};
constexpr std::uint32_t kButtonUpFlags[3] = {kMouseLeftUp, kMouseRightUp, kMouseMiddleUp};

bool PointerAction(InputAction action) noexcept {
  return action == InputAction::Move || action == InputAction::Down || action == InputAction::Up ||
         action == InputAction::Wheel;
}

}  // namespace

bool IsExtendedKey(std::int32_t vk) noexcept {
  return (vk >= 33 && vk <= 40) || (vk >= 44 && vk <= 46) || (vk >= 91 && vk <= 93) || vk == 111 ||
         vk == 144 || vk == 163 || vk == 165;
}

std::int32_t MapInputCoordinate(std::int32_t value, std::int32_t low, std::int32_t high) noexcept {
  const std::int64_t span = std::int64_t{high} - low - 1;
  const std::int64_t extent = span > 0 ? span : 0;
  return static_cast<std::int32_t>(low + (std::int64_t{value} * extent + 32767) / 65535);
}

InputInjector::InputInjector(std::unique_ptr<InputBackend> backend)
    : backend_(std::move(backend)) {}

InjectResult InputInjector::Inject(const DisplayInfo& display, const InputEvent& event) {
  std::lock_guard lock(mutex_);
  if (!backend_->InputDesktopActive()) return InjectResult::Failed(kInputAccessDenied);
  if (event.action == InputAction::KeyDown || event.action == InputAction::KeyUp) {
    return InjectKey(event);
  }
  return InjectPointer(display, event);
}

InjectResult InputInjector::InjectKey(const InputEvent& event) {
  const std::int32_t vk = event.key;
  if (vk < 1 || vk > 254) return InjectResult::Failed(kInputInvalidParameter);
  const bool up = event.action == InputAction::KeyUp;
  if (up && !keys_.test(static_cast<std::size_t>(vk))) return {};
  if (const std::uint32_t error = backend_->SendKey(vk, up, IsExtendedKey(vk)); error != 0) {
    return InjectResult::Failed(error);
  }
  keys_.set(static_cast<std::size_t>(vk), !up);
  return {};
}

InjectResult InputInjector::InjectPointer(const DisplayInfo& display, const InputEvent& event) {
  const bool buttonAction = event.action == InputAction::Down || event.action == InputAction::Up;
  if (!PointerAction(event.action) || event.x < 0 || event.x > kInputCoordinateMax ||
      event.y < 0 || event.y > kInputCoordinateMax ||
      (buttonAction && (event.button < kButtonLeft || event.button > kButtonMiddle)) ||
      (event.action == InputAction::Wheel &&
       (event.key == 0 || event.key < -kWheelDeltaLimit || event.key > kWheelDeltaLimit))) {
    return InjectResult::Failed(kInputInvalidParameter);
  }
  const std::optional<ScreenRect> bounds = backend_->DisplayBounds(display);
  if (!bounds) return InjectResult::Failed(kInputDisplayNotFound);
  const ScreenPoint target{MapInputCoordinate(event.x, bounds->left, bounds->right),
                           MapInputCoordinate(event.y, bounds->top, bounds->bottom)};
  if (const std::uint32_t error = backend_->MoveCursor(target); error != 0) {
    return InjectResult::Failed(error);
  }
  const std::optional<ScreenPoint> landed = backend_->CursorPosition();
  if (!landed || *landed != target) return InjectResult::Failed(kInputAccessDenied);

  switch (event.action) {
    case InputAction::Move:
      return {};
    case InputAction::Down:
    case InputAction::Up: {
      const auto index = static_cast<std::size_t>(event.button - 1);
      const bool down = event.action == InputAction::Down;
      if (!down && !buttons_[index]) return {};
      const std::uint32_t flags = down ? kButtonDownFlags[index] : kButtonUpFlags[index];
      if (const std::uint32_t error = backend_->SendMouse(flags, 0); error != 0) {
        return InjectResult::Failed(error);
      }
      buttons_[index] = down;
      return {};
    }
    case InputAction::Wheel:
      if (const std::uint32_t error = backend_->SendMouse(kMouseWheel, event.key); error != 0) {
        return InjectResult::Failed(error);
      }
      return {};
    case InputAction::KeyDown:
    case InputAction::KeyUp:
      break;
  }
  return InjectResult::Failed(kInputInvalidParameter);
}

void InputInjector::ReleaseHeld() {
  std::lock_guard lock(mutex_);
  for (std::int32_t vk = 1; vk <= 254; ++vk) {
    const auto bit = static_cast<std::size_t>(vk);
    if (keys_.test(bit) && backend_->SendKey(vk, /*up=*/true, IsExtendedKey(vk)) == 0) {
      keys_.reset(bit);
    }
  }
  for (std::size_t i = 0; i < buttons_.size(); ++i) {
    if (buttons_[i]) {
      backend_->SendMouse(kButtonUpFlags[i], 0);
      buttons_[i] = false;
    }
  }
}

bool InputInjector::KeyHeld(std::int32_t vk) const {
  std::lock_guard lock(mutex_);
  return vk >= 1 && vk <= 254 && keys_.test(static_cast<std::size_t>(vk));
}

bool InputInjector::ButtonHeld(std::int32_t button) const {
  std::lock_guard lock(mutex_);
  return button >= 1 && button <= 3 && buttons_[static_cast<std::size_t>(button - 1)];
}

}  // namespace ov
