// The host's input injection: checks each validated event against what the system can do, maps
// it onto the shared display and hands it to the operating system, keeping the keys and buttons
// it holds down so that they can all be released again. One injector serves the whole process
// (its held sets are the process's), guarded by its own mutex, which is never held while
// waiting on anything else.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "session/display_info.h"
#include "session/input_event.h"

namespace ov {

// Windows error codes as the injector reports them.
inline constexpr std::uint32_t kInputOk = 0;
inline constexpr std::uint32_t kInputAccessDenied = 5;
inline constexpr std::uint32_t kInputInvalidParameter = 87;
inline constexpr std::uint32_t kInputDisplayNotFound = 1168;

struct InjectResult {
  bool ok = true;
  std::uint32_t code = kInputOk;
  static InjectResult Failed(std::uint32_t code) noexcept { return InjectResult{false, code}; }
};

struct ScreenPoint {
  std::int32_t x = 0;
  std::int32_t y = 0;
  friend bool operator==(const ScreenPoint&, const ScreenPoint&) = default;
};

// Mouse event flags as the system takes them.
inline constexpr std::uint32_t kMouseLeftDown = 0x0002;
inline constexpr std::uint32_t kMouseLeftUp = 0x0004;
inline constexpr std::uint32_t kMouseRightDown = 0x0008;
inline constexpr std::uint32_t kMouseRightUp = 0x0010;
inline constexpr std::uint32_t kMouseMiddleDown = 0x0020;
inline constexpr std::uint32_t kMouseMiddleUp = 0x0040;
inline constexpr std::uint32_t kMouseWheel = 0x0800;

// What the operating system does for the injector. Each call returns 0 on success, otherwise the
// system's last error, or 5 when a failed call reported none.
class InputBackend {
 public:
  InputBackend() = default;
  InputBackend(const InputBackend&) = delete;
  InputBackend& operator=(const InputBackend&) = delete;
  virtual ~InputBackend() = default;

  // The input desktop is this process's own, in the active session.
  virtual bool InputDesktopActive() = 0;
  // The display's current rectangle (displays enumerated again), nullopt when it is gone.
  virtual std::optional<ScreenRect> DisplayBounds(const DisplayInfo& display) = 0;
  // Moves the cursor with the marker as the thread's message extra information, then restores
  // the previous extra information.
  virtual std::uint32_t MoveCursor(ScreenPoint point) = 0;
  virtual std::optional<ScreenPoint> CursorPosition() = 0;
  // One keyboard event (scan code 0, time 0, the marker as extra information); the call must
  // report exactly one event accepted.
  virtual std::uint32_t SendKey(std::int32_t virtualKey, bool up, bool extended) = 0;
  // One mouse event without movement: `flags` as above, `data` the wheel delta.
  virtual std::uint32_t SendMouse(std::uint32_t flags, std::int32_t data) = 0;
};

// The keys that need the extended-key flag: the navigation block, Print Screen, Insert, Delete,
// the Windows and Applications keys, numeric-pad divide, Num Lock, right Ctrl and right Alt.
bool IsExtendedKey(std::int32_t virtualKey) noexcept;

// 0..65535 across [low, high): 0 to the first pixel, 65535 to the last.
std::int32_t MapInputCoordinate(std::int32_t value, std::int32_t low, std::int32_t high) noexcept;

class InputInjector {
 public:
  explicit InputInjector(std::unique_ptr<InputBackend> backend);
  InputInjector(const InputInjector&) = delete;
  InputInjector& operator=(const InputInjector&) = delete;

  // Injects one event on `display`. An "up" of a button or a "keyup" of a key this injector does
  // not hold succeeds without injecting (the pointer still moves for the button).
  InjectResult Inject(const DisplayInfo& display, const InputEvent& event);
  // Releases every key and button held down by injection (those whose release fails stay held).
  void ReleaseHeld();

  bool KeyHeld(std::int32_t virtualKey) const;
  bool ButtonHeld(std::int32_t button) const;

 private:
  InjectResult InjectKey(const InputEvent& event);
  InjectResult InjectPointer(const DisplayInfo& display, const InputEvent& event);

  const std::unique_ptr<InputBackend> backend_;
  mutable std::mutex mutex_;
  std::bitset<256> keys_;
  std::array<bool, 3> buttons_{};  // left, right, middle
};

// This system's backend: SendInput and the cursor on Windows; elsewhere a cursor on the
// synthetic desktop, with the injected events counted.
std::unique_ptr<InputBackend> CreateSystemInputBackend();

}  // namespace ov
