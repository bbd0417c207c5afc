// The viewer's input capture on its own: a recording target stands in for the session.
#include "app/viewer_input.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/testing/recording_window.h"

namespace ov {
namespace {

class RecordingTarget final : public InputTarget {
 public:
  void SendPointer(InputAction action, ClientPoint point, const ViewRect&, std::int32_t button,
                   std::int32_t key) override {
    log.push_back(std::string(InputActionName(action)) + " " + std::to_string(int(point.x)) + "," +
                  std::to_string(int(point.y)) + " b" + std::to_string(button) + " k" +
                  std::to_string(key));
  }
  void SendInputEvent(InputAction action, std::int32_t, std::int32_t, std::int32_t,
                      std::int32_t key) override {
    log.push_back(std::string(InputActionName(action)) + " " + std::to_string(key));
  }
  void SendReleaseInput() override { log.push_back("releaseInput"); }
  void ZoomStep(const ViewRect&, float factor) override {
    log.push_back(factor > 1 ? "zoom in" : "zoom out");
  }
  void Pan(const ViewRect&, float dx, float dy) override {
    log.push_back("pan " + std::to_string(int(dx)) + "," + std::to_string(int(dy)));
  }
  void StartPaste() override { log.push_back("paste"); }
  void CancelPaste() override { log.push_back("cancel paste"); }

  std::vector<std::string> Take() { return std::exchange(log, {}); }
  std::vector<std::string> log;
};

using Lines = std::vector<std::string>;

struct Capture : ::testing::Test {
  RecordingTarget target;
  testing::StillInputWindow window;
  ViewerInput input{target};
};

// A Space tap reaches the host as a key press; Space with a drag pans instead and sends nothing;
// the moves of a pan and while Space is held are not sent.
TEST_F(Capture, SpaceTapVersusSpaceDragPan) {
  input.OnKeyDown(window, kKeySpace, false, false, false);
  input.OnKeyDown(window, kKeySpace, true, false, false);  // auto-repeat
  input.OnMouseMove(window, {100, 100}, 1000);
  input.OnKeyUp(kKeySpace);
  EXPECT_EQ(target.Take(), (Lines{"keydown 32", "keyup 32"}));

  input.OnKeyDown(window, kKeySpace, false, false, false);
  EXPECT_TRUE(input.OnButtonDown(window, kButtonLeft, {100, 100}, false));
  EXPECT_TRUE(window.captured);
  input.OnMouseMove(window, {130, 90}, 1100);
  input.OnMouseMove(window, {140, 95}, 1101);
  EXPECT_TRUE(input.OnButtonUp(window, kButtonLeft, {140, 95}));
  EXPECT_FALSE(window.captured);
  input.OnKeyUp(kKeySpace);
  EXPECT_EQ(target.Take(), (Lines{"pan 30,-10", "pan 10,5"}));

  // Another button during a pan goes to the host, down and up; the pan goes on to the left
  // button's release.
  input.OnKeyDown(window, kKeySpace, false, false, false);
  EXPECT_TRUE(input.OnButtonDown(window, kButtonLeft, {100, 100}, false));
  EXPECT_TRUE(input.OnButtonDown(window, kButtonRight, {101, 100}, false));
  EXPECT_TRUE(input.OnButtonUp(window, kButtonRight, {102, 100}));
  EXPECT_TRUE(input.panning());
  EXPECT_TRUE(window.captured);
  input.OnMouseMove(window, {110, 100}, 1200);
  EXPECT_TRUE(input.OnButtonUp(window, kButtonLeft, {110, 100}));
  EXPECT_FALSE(input.panning());
  EXPECT_FALSE(window.captured);
  input.OnKeyUp(kKeySpace);
  EXPECT_EQ(target.Take(), (Lines{"down 101,100 b2 k0", "up 102,100 b2 k0", "pan 10,0"}));

  // Space held with the right button: a button event, not a pan.
  input.OnKeyDown(window, kKeySpace, false, false, false);
  EXPECT_TRUE(input.OnButtonDown(window, kButtonRight, {100, 100}, false));
  EXPECT_TRUE(input.OnButtonUp(window, kButtonRight, {100, 100}));
  input.OnKeyUp(kKeySpace);
  EXPECT_EQ(target.Take(), (Lines{"down 100,100 b2 k0", "up 100,100 b2 k0", "keydown 32",
                                  "keyup 32"}));
}

// Moves more than 10 ms apart; presses on the window's own controls or outside the view area
// are the window's; a release without the capture is the window's too.
TEST_F(Capture, ThrottleAndWhatBelongsToTheWindow) {
  input.OnMouseMove(window, {10, 60}, 1000);
  input.OnMouseMove(window, {11, 60}, 1010);
  input.OnMouseMove(window, {12, 60}, 1011);
  EXPECT_FALSE(input.OnButtonDown(window, kButtonLeft, {10, 60}, /*onControl=*/true));
  EXPECT_FALSE(input.OnButtonDown(window, kButtonLeft, {10, 40}, false));  // the toolbar
  EXPECT_FALSE(input.OnButtonDown(window, kButtonLeft, {10, 552}, false));  // the status strip
  EXPECT_FALSE(input.OnButtonUp(window, kButtonLeft, {10, 60}));
  EXPECT_EQ(window.focusTaken, 0);
  EXPECT_EQ(target.Take(), (Lines{"move 10,60 b1 k0", "move 12,60 b1 k0"}));
}

// Escape in full screen leaves it; Ctrl+V starts the paste once (repeats dropped), with Alt or
// without Ctrl it is a key; Ctrl+wheel zooms; focus loss releases, ends a pan, cancels a paste.
TEST_F(Capture, KeysWheelAndFocus) {
  window.fullScreen = true;
  input.OnKeyDown(window, kKeyEscape, false, false, false);
  EXPECT_FALSE(window.fullScreen);
  input.OnKeyDown(window, kKeyEscape, false, false, false);
  input.OnKeyDown(window, kKeyV, false, true, false);
  input.OnKeyDown(window, kKeyV, true, true, false);
  input.OnKeyDown(window, kKeyV, false, true, true);
  input.OnKeyDown(window, kKeyV, false, false, false);
  input.OnWheel(window, 120, true, {5, 60});
  input.OnWheel(window, -120, true, {5, 60});
  input.OnWheel(window, 0, true, {5, 60});
  input.OnWheel(window, -240, false, {5, 60});
  input.OnWheel(window, 30000, false, {5, 60});  // beyond one event's limit: split
  input.OnKeyDown(window, 255, false, false, false);  // no key a host accepts
  input.OnKeyDown(window, 0, false, false, false);
  input.OnKeyUp(255);
  input.OnKeyDown(window, kKeySpace, false, false, false);
  input.OnButtonDown(window, kButtonLeft, {100, 100}, false);
  input.OnFocusLost(window);
  EXPECT_FALSE(input.panning());
  EXPECT_FALSE(input.spaceHeld());
  EXPECT_FALSE(window.captured);
  input.OnKeyDown(window, kKeySpace, false, false, false);
  input.OnButtonDown(window, kButtonLeft, {100, 100}, false);
  input.OnMinimize();
  EXPECT_FALSE(input.panning());
  EXPECT_FALSE(input.spaceHeld());
  EXPECT_EQ(target.Take(),
            (Lines{"keydown 27", "paste", "keydown 86", "keydown 86", "zoom in", "zoom out",
                   "zoom out", "wheel 5,60 b0 k-240", "wheel 5,60 b0 k12000",
                   "wheel 5,60 b0 k12000", "wheel 5,60 b0 k6000", "releaseInput", "cancel paste",
                   "releaseInput", "cancel paste"}));
}

}  // namespace
}  // namespace ov
