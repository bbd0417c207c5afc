// The viewer's input capture: the remote view's mouse, wheel, keyboard and focus messages turned
// into input events for the host, the Space+drag pan, Ctrl+wheel zoom, Escape out of full screen
// and the Ctrl+V paste. Portable: the window feeds it its messages (already known to be on the
// remote view of a bound session) and it answers through two narrow interfaces, one for the
// window (focus, mouse capture, full screen) and one for the session (what is sent, the view).
#pragma once

#include <cstdint>

#include "screen/viewer_display.h"
#include "session/input_event.h"

namespace ov {

// Virtual keys the capture treats specially.
inline constexpr std::int32_t kKeyControl = 17;
inline constexpr std::int32_t kKeyEscape = 27;
inline constexpr std::int32_t kKeySpace = 32;
inline constexpr std::int32_t kKeyV = 86;
// Pointer moves are sent at most once per this many milliseconds (more than 10 ms apart).
inline constexpr std::uint64_t kMoveThrottleMs = 10;

struct ClientPoint {
  float x = 0.0f;
  float y = 0.0f;
};

class InputWindow {
 public:
  InputWindow() = default;
  InputWindow(const InputWindow&) = delete;
  InputWindow& operator=(const InputWindow&) = delete;
  virtual ~InputWindow() = default;

  // The view area in client pixels (below the toolbar, above the status strip).
  virtual ViewRect ViewArea() const = 0;
  virtual bool FullScreen() const = 0;
  virtual void LeaveFullScreen() = 0;
  // Takes the keyboard focus and captures the mouse.
  virtual void CaptureMouse() = 0;
  virtual void ReleaseMouse() = 0;
  virtual bool HasMouseCapture() const = 0;
};

class InputTarget {
 public:
  InputTarget() = default;
  InputTarget(const InputTarget&) = delete;
  InputTarget& operator=(const InputTarget&) = delete;
  virtual ~InputTarget() = default;

  // Maps a client point through the picture's rectangle and sends the event (or drops it).
  virtual void SendPointer(InputAction action, ClientPoint point, const ViewRect& area,
                           std::int32_t button, std::int32_t key) = 0;
  virtual void SendInputEvent(InputAction action, std::int32_t x, std::int32_t y,
                              std::int32_t button, std::int32_t key) = 0;
  virtual void SendReleaseInput() = 0;
  // The view: a zoom step about the area, a pan by client pixels within the area's limits (both
  // repaint).
  virtual void ZoomStep(const ViewRect& area, float factor) = 0;
  virtual void Pan(const ViewRect& area, float dx, float dy) = 0;
  // The clipboard paste: started by Ctrl+V, cancelled when the focus goes.
  virtual void StartPaste() = 0;
  virtual void CancelPaste() = 0;
};

class ViewerInput {
 public:
  explicit ViewerInput(InputTarget& target) : target_(target) {}

  // The button handlers return whether the press or release was the remote view's (the window
  // handles it otherwise).
  void OnMouseMove(InputWindow& window, ClientPoint point, std::uint64_t now);
  // `button` 1 left, 2 right, 3 middle. `onControl`: the point is on one of the window's own
  // controls, which then handles the press.
  bool OnButtonDown(InputWindow& window, std::int32_t button, ClientPoint point, bool onControl);
  bool OnButtonUp(InputWindow& window, std::int32_t button, ClientPoint point);
  void OnWheel(InputWindow& window, std::int32_t delta, bool controlHeld, ClientPoint point);
  // `repeat`: an auto-repeat of a key already down.
  void OnKeyDown(InputWindow& window, std::int32_t virtualKey, bool repeat, bool controlHeld,
                 bool altHeld);
  void OnKeyUp(std::int32_t virtualKey);
  void OnFocusLost(InputWindow& window);
  // Minimising: the host lets go of everything, and the pan, the held keys and a waiting paste
  // end here (the window releases its own capture).
  void OnMinimize();

  bool spaceHeld() const noexcept { return spaceHeld_; }
  // A Ctrl key is down, as the remote view's key messages last said.
  bool controlHeld() const noexcept { return controlHeld_; }
  bool panning() const noexcept { return panning_; }

 private:
  InputTarget& target_;
  std::uint64_t lastMove_ = 0;
  bool moveSent_ = false;
  bool spaceHeld_ = false;
  bool controlHeld_ = false;
  bool panning_ = false;
  bool panMoved_ = false;  // a pan moved the view since Space went down
  ClientPoint panLast_;
};

}  // namespace ov
