// Remote input on the wire: one event per sealed Input message, a compact JSON object with six
// integer-or-word fields, always all of them. The viewer builds it (InputEventJson); the host
// validates it (ParseInputEvent) before anything is injected.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/json_codec.h"

namespace ov {

// Put into the extra information of every event the host injects, and into the thread's message
// extra information while it moves the cursor, so that its own windows can tell injected input
// from the local user's ("OVTE").
inline constexpr std::uint32_t kInjectedInputMarker = 0x4F565445;

// The connection failure a viewer reports when an event cannot be queued.
inline constexpr char kInputSendFailed[] = "Input send failed";
inline constexpr std::int32_t kInputCoordinateMax = 65535;
inline constexpr std::int32_t kWheelDeltaLimit = 12000;

enum class InputAction { Move, Down, Up, Wheel, KeyDown, KeyUp };

// Mouse buttons as the events number them.
inline constexpr std::int32_t kButtonLeft = 1;
inline constexpr std::int32_t kButtonRight = 2;
inline constexpr std::int32_t kButtonMiddle = 3;

struct InputEvent {
  InputAction action = InputAction::Move;
  std::int32_t x = 0;       // 0..65535 across the shared display; 0 for key events
  std::int32_t y = 0;
  std::int32_t button = 0;  // 1..3 for down/up, 1 for move, 0 otherwise
  std::int32_t key = 0;     // virtual key 1..254, or the signed wheel delta
  std::int32_t epoch = 1;   // the display epoch the viewer shows
};

const char* InputActionName(InputAction action) noexcept;
std::optional<InputAction> InputActionFromName(std::string_view name) noexcept;

// The event as the viewer sends it: all six fields.
Json InputEventJson(const InputEvent& event);

// Validates a received event in the order the host must: an object ("input event") with an
// "action" ("input action"), then x, y, button and key by RequireInt ("input number" / "input
// range"), then the action's own rule ("key", "button", "wheel", or "input action" for an unknown
// word or a non-string), then the epoch. Every failure throws (ProtocolError, RequireInt's
// errors, or the JSON library's error for a missing number); the caller ends the session.
InputEvent ParseInputEvent(const Json& message);

}  // namespace ov
