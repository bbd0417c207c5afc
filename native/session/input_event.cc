#include "session/input_event.h"

#include <array>
#include <utility>

#include "base/protocol_error.h"

namespace ov {
namespace {

constexpr std::array<std::pair<InputAction, const char*>, 6> kActionNames{{
    {InputAction::Move, "move"},
    {InputAction::Down, "down"},
    {InputAction::Up, "up"},
    {InputAction::Wheel, "wheel"},
    {InputAction::KeyDown, "keydown"},
    {InputAction::KeyUp, "keyup"},
}};

}  // namespace

const char* InputActionName(InputAction action) noexcept {
  for (const auto& [value, name] : kActionNames) {
    if (value == action) return name;
  }
  return "move";
}

std::optional<InputAction> InputActionFromName(std::string_view name) noexcept {
  for (const auto& [value, word] : kActionNames) {
    if (name == word) return value;
  }
  return std::nullopt;
}

Json InputEventJson(const InputEvent& event) {
  return Json{{"action", InputActionName(event.action)},
              {"x", event.x},
              {"y", event.y},
              {"button", event.button},
              {"key", event.key},
              {"epoch", event.epoch}};
}

InputEvent ParseInputEvent(const Json& message) {
  if (!message.is_object()) Fail("input event");
  if (!message.contains("action")) Fail("input action");
  const Json& action = message.at("action");
  InputEvent event;
  event.x = RequireInt(message, "x", 0, kInputCoordinateMax);
  event.y = RequireInt(message, "y", 0, kInputCoordinateMax);
  event.button = RequireInt(message, "button", 0, 3);
  event.key = RequireInt(message, "key", -kWheelDeltaLimit, kWheelDeltaLimit);
  // A non-string action is no known action.
  const std::optional<InputAction> known =
      action.is_string() ? InputActionFromName(action.get_ref<const std::string&>()) : std::nullopt;
  if (!known) Fail("input action");
  event.action = *known;
  switch (event.action) {
    case InputAction::KeyDown:
    case InputAction::KeyUp:
      if (event.key < 1 || event.key > 254) Fail("key");
      break;
    case InputAction::Down:
    case InputAction::Up:
      if (event.button < kButtonLeft || event.button > kButtonMiddle) Fail("button");
      break;
    case InputAction::Wheel:
      if (event.key == 0) Fail("wheel");
      break;
    case InputAction::Move:
      break;
  }
  event.epoch = RequireInt(message, "epoch", 1, 2147483647);
  return event;
}

}  // namespace ov
