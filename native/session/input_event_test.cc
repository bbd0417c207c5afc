#include "session/input_event.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace ov {
namespace {

Json Event(const char* action, int x, int y, int button, int key, int epoch = 1) {
  return Json{{"action", action}, {"x", x}, {"y", y}, {"button", button}, {"key", key},
              {"epoch", epoch}};
}

std::string ReasonOf(const Json& message) {
  try {
    ParseInputEvent(message);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "accepted";
}

TEST(InputEvent, RoundTripsEveryActionAtTheEdgesOfItsRanges) {
  const InputEvent cases[] = {
      {InputAction::Move, 0, 65535, 1, 0, 1},
      {InputAction::Down, 65535, 0, 3, 0, 2147483647},
      {InputAction::Up, 7, 9, 1, 0, 4},
      {InputAction::Wheel, 100, 200, 0, -12000, 2},
      {InputAction::Wheel, 100, 200, 0, 120, 2},
      {InputAction::KeyDown, 0, 0, 0, 254, 3},
      {InputAction::KeyUp, 0, 0, 0, 1, 3},
  };
  for (const InputEvent& sent : cases) {
    const Json wire = ParseMessage(SerializeMessage(InputEventJson(sent)));
    EXPECT_EQ(wire.size(), 6u);
    const InputEvent got = ParseInputEvent(wire);
    EXPECT_EQ(got.action, sent.action);
    EXPECT_EQ(got.x, sent.x);
    EXPECT_EQ(got.y, sent.y);
    EXPECT_EQ(got.button, sent.button);
    EXPECT_EQ(got.key, sent.key);
    EXPECT_EQ(got.epoch, sent.epoch);
  }
}

TEST(InputEvent, RefusesEachBrokenRuleWithItsReason) {
  Json floatX = Event("move", 1, 1, 1, 0);
  floatX["x"] = 3.0;
  Json stringAction = Event("move", 1, 1, 1, 0);
  stringAction["action"] = 5;
  Json noEpoch = Event("move", 1, 1, 1, 0);
  noEpoch.erase("epoch");
  Json badYAndAction = Event("fly", 1, 70000, 1, 0);  // the range is read before the action
  const struct {
    Json message;
    const char* reason;
  } cases[] = {
      {Event("wheel", 1, 1, 0, 0), "wheel"},
      {Event("down", 1, 1, 0, 0), "button"},
      {Event("up", 1, 1, 4, 0), "input range"},
      {Event("keydown", 0, 0, 0, 255), "key"},
      {Event("keyup", 0, 0, 0, 0), "key"},
      {Event("keydown", 0, 0, 0, -5), "key"},
      {Event("wheel", 0, 0, 0, 12001), "input range"},
      {Event("move", -1, 0, 1, 0), "input range"},
      {Event("move", 0, 65536, 1, 0), "input range"},
      {Event("click", 0, 0, 1, 0), "input action"},
      {stringAction, "input action"},
      {badYAndAction, "input range"},
      {floatX, "input number"},
      {Event("move", 0, 0, 1, 0, 0), "input range"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReasonOf(c.message), c.reason) << c.message.dump();
  }
  // Missing members and non-objects fail too (the JSON library's own errors).
  EXPECT_THROW(ParseInputEvent(noEpoch), std::exception);
  EXPECT_EQ(ReasonOf(Json{{"x", 1}}), "input action");
  EXPECT_EQ(ReasonOf(Json::array({1})), "input event");
}

}  // namespace
}  // namespace ov
