#include "screen/input_injector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ov {
namespace {

// Records what reaches the system and fails on request.
struct FakeBackend final : InputBackend {
  bool desktop = true;
  std::optional<ScreenRect> bounds = ScreenRect{0, 0, 1920, 1080};
  std::uint32_t moveError = 0;
  std::uint32_t sendError = 0;
  bool cursorDrifts = false;
  ScreenPoint cursor;
  std::vector<std::string> log;

  bool InputDesktopActive() override { return desktop; }
  std::optional<ScreenRect> DisplayBounds(const DisplayInfo&) override { return bounds; }
  std::uint32_t MoveCursor(ScreenPoint point) override {
    if (moveError != 0) return moveError;
    cursor = cursorDrifts ? ScreenPoint{point.x + 1, point.y} : point;
    log.push_back("move " + std::to_string(point.x) + "," + std::to_string(point.y));
    return 0;
  }
  std::optional<ScreenPoint> CursorPosition() override { return cursor; }
  std::uint32_t SendKey(std::int32_t vk, bool up, bool extended) override {
    if (sendError != 0) return sendError;
    log.push_back(std::string(up ? "keyup " : "keydown ") + std::to_string(vk) +
                  (extended ? " ext" : ""));
    return 0;
  }
  std::uint32_t SendMouse(std::uint32_t flags, std::int32_t data) override {
    if (sendError != 0) return sendError;
    log.push_back("mouse " + std::to_string(flags) + " " + std::to_string(data));
    return 0;
  }
};

struct Injector {
  FakeBackend* backend = new FakeBackend;
  InputInjector injector{std::unique_ptr<InputBackend>(backend)};
  InjectResult Run(InputAction action, int x, int y, int button, int key) {
    return injector.Inject(DisplayInfo{}, InputEvent{action, x, y, button, key, 1});
  }
};

TEST(InputInjector, MapsTheFullRangeOntoTheDisplaysPixels) {
  EXPECT_EQ(MapInputCoordinate(65535, 0, 1920), 1919);
  EXPECT_EQ(MapInputCoordinate(0, 0, 1920), 0);
  EXPECT_EQ(MapInputCoordinate(32768, 0, 1920), 960);
  EXPECT_EQ(MapInputCoordinate(65535, -1280, 0), -1);    // a display left of the primary
  EXPECT_EQ(MapInputCoordinate(65535, 100, 101), 100);   // one pixel wide
  EXPECT_EQ(MapInputCoordinate(65535, 100, 100), 100);   // empty: no extent

  Injector t;
  t.backend->bounds = ScreenRect{1920, 200, 3840, 1280};
  ASSERT_TRUE(t.Run(InputAction::Move, 65535, 0, 1, 0).ok);
  EXPECT_EQ(t.backend->cursor, (ScreenPoint{3839, 200}));
}

TEST(InputInjector, TracksHeldKeysAndButtonsAndReleasesThem) {
  Injector t;
  // A key-up of a key never pressed injects nothing and succeeds.
  EXPECT_TRUE(t.Run(InputAction::KeyUp, 0, 0, 0, 65).ok);
  EXPECT_TRUE(t.backend->log.empty());
  EXPECT_TRUE(t.Run(InputAction::KeyDown, 0, 0, 0, 163).ok);  // right Ctrl: extended
  EXPECT_TRUE(t.Run(InputAction::KeyDown, 0, 0, 0, 65).ok);
  EXPECT_TRUE(t.injector.KeyHeld(163));
  // Two downs of the left button, one up: released; a further up moves but injects no button.
  EXPECT_TRUE(t.Run(InputAction::Down, 0, 0, 1, 0).ok);
  EXPECT_TRUE(t.Run(InputAction::Down, 0, 0, 1, 0).ok);
  EXPECT_TRUE(t.Run(InputAction::Up, 0, 0, 1, 0).ok);
  EXPECT_FALSE(t.injector.ButtonHeld(1));
  t.backend->log.clear();
  EXPECT_TRUE(t.Run(InputAction::Up, 65535, 65535, 1, 0).ok);
  EXPECT_EQ(t.backend->log, (std::vector<std::string>{"move 1919,1079"}));
  // Held: right Ctrl, A and the middle button. Release lets all go, keys first.
  EXPECT_TRUE(t.Run(InputAction::Down, 0, 0, 3, 0).ok);
  t.backend->log.clear();
  t.injector.ReleaseHeld();
  EXPECT_EQ(t.backend->log,
            (std::vector<std::string>{"keyup 65", "keyup 163 ext", "mouse 64 0"}));
  EXPECT_FALSE(t.injector.KeyHeld(65));
  EXPECT_FALSE(t.injector.ButtonHeld(3));
  t.backend->log.clear();
  t.injector.ReleaseHeld();
  EXPECT_TRUE(t.backend->log.empty());
}

TEST(InputInjector, ReportsEachFailureWithItsCode) {
  const struct {
    const char* name;
    void (*setup)(FakeBackend&);
    InputAction action;
    int button;
    int key;
    std::uint32_t code;
  } cases[] = {
      {"locked desktop", [](FakeBackend& b) { b.desktop = false; }, InputAction::KeyDown, 0, 65, 5},
      {"locked desktop, pointer", [](FakeBackend& b) { b.desktop = false; }, InputAction::Move, 1,
       0, 5},
      {"display gone", [](FakeBackend& b) { b.bounds.reset(); }, InputAction::Move, 1, 0, 1168},
      {"move refused", [](FakeBackend& b) { b.moveError = 1459; }, InputAction::Down, 1, 0, 1459},
      {"cursor elsewhere", [](FakeBackend& b) { b.cursorDrifts = true; }, InputAction::Move, 1, 0,
       5},
      {"injection refused", [](FakeBackend& b) { b.sendError = 1234; }, InputAction::Wheel, 0, 120,
       1234},
      {"key refused", [](FakeBackend& b) { b.sendError = 5; }, InputAction::KeyDown, 0, 65, 5},
      {"no such key", [](FakeBackend&) {}, InputAction::KeyDown, 0, 255, 87},
      {"no such button", [](FakeBackend&) {}, InputAction::Down, 0, 0, 87},
      {"wheel without delta", [](FakeBackend&) {}, InputAction::Wheel, 0, 0, 87},
  };
  for (const auto& c : cases) {
    Injector t;
    c.setup(*t.backend);
    const InjectResult result = t.Run(c.action, 10, 10, c.button, c.key);
    EXPECT_FALSE(result.ok) << c.name;
    EXPECT_EQ(result.code, c.code) << c.name;
    // A failed key-down or button-down holds nothing afterwards.
    EXPECT_FALSE(t.injector.KeyHeld(c.key)) << c.name;
    EXPECT_FALSE(t.injector.ButtonHeld(c.button)) << c.name;
  }
}

}  // namespace
}  // namespace ov
