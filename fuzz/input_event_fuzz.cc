// Remote input events as the host receives them, and what injecting the accepted ones does.
//
//   byte 0 even: the rest is one sealed Input plaintext, parsed as the peer session parses it
//                (ParseMessage within the input limit, then ParseInputEvent).
//   byte 0 odd:  the rest is a sequence of events of 21 bytes each: the action (byte % 8: the six
//                words, "jump", or a number), then x, y, button, key and epoch as signed 32-bit
//                big-endian integers; each is written as JSON and parsed back.
//
// ParseInputEvent must accept exactly the events the rule allows (coordinates 0..65535, button
// 0..3 and 1..3 for down/up, key -12000..12000 and 1..254 for key events, a non-zero wheel delta,
// epoch from 1) and return their values; its JSON form must parse back the same. Every accepted
// event is injected on a display (right of the primary one) through the host's InputInjector
// over a recording backend: the cursor stays on that display, the keys and buttons it holds are
// the ones pressed and not released, and ReleaseHeld lets every one go.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "app/testing/fake_platform.h"
#include "base/json_codec.h"
#include "crypto/crypto_session.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/refusal.h"
#include "screen/input_injector.h"
#include "session/input_event.h"

namespace {

const ov::DisplayInfo kShared{L"\\\\.\\DISPLAY2", ov::ScreenRect{1920, -200, 3200, 824}, false, 75};

bool Valid(const ov::InputEvent& e) {
  if (e.x < 0 || e.x > 65535 || e.y < 0 || e.y > 65535) return false;
  if (e.button < 0 || e.button > 3 || e.key < -12000 || e.key > 12000 || e.epoch < 1) return false;
  switch (e.action) {
    case ov::InputAction::KeyDown:
    case ov::InputAction::KeyUp:
      return e.key >= 1 && e.key <= 254;
    case ov::InputAction::Down:
    case ov::InputAction::Up:
      return e.button >= 1;
    case ov::InputAction::Wheel:
      return e.key != 0;
    case ov::InputAction::Move:
      return true;
  }
  return false;
}

bool Same(const ov::InputEvent& a, const ov::InputEvent& b) {
  return a.action == b.action && a.x == b.x && a.y == b.y && a.button == b.button &&
         a.key == b.key && a.epoch == b.epoch;
}

std::int32_t Int(std::span<const std::uint8_t> bytes) {
  return static_cast<std::int32_t>((std::uint32_t{bytes[0]} << 24) |
                                   (std::uint32_t{bytes[1]} << 16) |
                                   (std::uint32_t{bytes[2]} << 8) | bytes[3]);
}

// The injector over a recording backend, with what it should hold.
struct Injection {
  std::shared_ptr<ov::testing::RecordedInput> record =
      std::make_shared<ov::testing::RecordedInput>();
  std::vector<ov::DisplayInfo> displays = {
      ov::DisplayInfo{L"\\\\.\\DISPLAY1", ov::ScreenRect{0, 0, 1920, 1080}, true, 60}, kShared};
  ov::InputInjector injector{
      std::make_unique<ov::testing::RecordingInputBackend>(record, &displays)};
  std::set<std::int32_t> keys;
  std::set<std::int32_t> buttons;

  void Inject(const ov::InputEvent& event) {
    const ov::InjectResult result = injector.Inject(kShared, event);
    if (result.ok) {
      if (event.action == ov::InputAction::KeyDown) keys.insert(event.key);
      if (event.action == ov::InputAction::KeyUp) keys.erase(event.key);
      if (event.action == ov::InputAction::Down) buttons.insert(event.button);
      if (event.action == ov::InputAction::Up) buttons.erase(event.button);
    }
    for (const std::string& line : record->Take()) {
      int x = 0;
      int y = 0;
      if (std::sscanf(line.c_str(), "move %d,%d", &x, &y) == 2) {
        OV_FUZZ_CHECK(x >= kShared.rect.left && x < kShared.rect.right);
        OV_FUZZ_CHECK(y >= kShared.rect.top && y < kShared.rect.bottom);
      }
    }
    for (std::int32_t key = 0; key < 256; ++key) {
      OV_FUZZ_CHECK(injector.KeyHeld(key) == (keys.count(key) != 0));
    }
    for (std::int32_t button = 1; button <= 3; ++button) {
      OV_FUZZ_CHECK(injector.ButtonHeld(button) == (buttons.count(button) != 0));
    }
  }

  ~Injection() {
    injector.ReleaseHeld();
    for (std::int32_t key = 0; key < 256; ++key) OV_FUZZ_CHECK(!injector.KeyHeld(key));
    for (std::int32_t button = 1; button <= 3; ++button)
      OV_FUZZ_CHECK(!injector.ButtonHeld(button));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ov::fuzz::Selected in = ov::fuzz::Select(data, size);
  Injection injection;
  if ((in.selector & 1) == 0) {
    if (in.rest.size() > ov::kInputMessageLimit) return 0;
    ov::InputEvent event;
    try {
      event = ov::ParseInputEvent(ov::ParseMessage(in.rest));
    } catch (const std::exception& error) {
      ov::fuzz::ExpectRefusal(error);
      return 0;  // the session ends
    }
    OV_FUZZ_CHECK(Valid(event));
    OV_FUZZ_CHECK(Same(ov::ParseInputEvent(ov::InputEventJson(event)), event));
    injection.Inject(event);
    return 0;
  }

  static const char* const kWords[] = {"move", "down", "up", "wheel", "keydown", "keyup", "jump"};
  for (std::span<const std::uint8_t> rest = in.rest; rest.size() >= 21; rest = rest.subspan(21)) {
    const int word = rest[0] % 8;
    ov::InputEvent expected;
    expected.x = Int(rest.subspan(1));
    expected.y = Int(rest.subspan(5));
    expected.button = Int(rest.subspan(9));
    expected.key = Int(rest.subspan(13));
    expected.epoch = Int(rest.subspan(17));
    ov::Json message = {{"op", "input"},       {"x", expected.x},
                        {"y", expected.y},     {"button", expected.button},
                        {"key", expected.key}, {"epoch", expected.epoch}};
    if (word < 7) {
      message["action"] = kWords[word];
    } else {
      message["action"] = rest[1];
    }
    const std::string text = ov::SerializeMessage(message);
    const ov::Json parsed = ov::ParseMessage(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    const auto action = word < 7 ? ov::InputActionFromName(kWords[word]) : std::nullopt;
    if (action) expected.action = *action;
    bool accepted = true;
    ov::InputEvent event;
    try {
      event = ov::ParseInputEvent(parsed);
    } catch (const std::exception&) {
      accepted = false;
    }
    OV_FUZZ_CHECK(accepted == (action.has_value() && Valid(expected)));
    if (!accepted) continue;
    OV_FUZZ_CHECK(Same(event, expected));
    injection.Inject(event);
  }
  return 0;
}
