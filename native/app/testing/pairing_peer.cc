// pairing_peer: one Client as host or viewer against a relay, for pairing across builds (a
// Windows build under Wine with a Linux build, both through one kestrova-relay).
//   pairing_peer host RELAY_URL            prints "ID <id> PASSWORD <password>", then waits for an
//                                           active session with the hello exchange complete
//   pairing_peer viewer RELAY_URL ID PASSWORD   connects; waits for "End-to-end encrypted"
// A leading "--ca FILE" trusts the PEM certificate in FILE for a wss:// relay (on Windows by
// adding it to a root store for the lifetime of the process). "--input" (after it) carries remote
// input across: the host injects into this system's real displays with the system's injector
// (SendInput on Windows) and waits until the cursor rests on the last pixel of its first display
// with no button held, printing "CURSOR x,y"; the viewer waits for the first picture, presses
// the left button in the middle of the view and releases it far outside the picture (a release
// is clamped to the picture's edge: 65535, 65535). "--capture" (host) streams this system's real
// screen through its own capturer (GDI under Wine) instead of the synthetic desktop;
// "--expect-pattern" (viewer) waits for a decoded picture whose four corner cells show the
// colours of the demo desktop's test pattern (native/app/testing/demo_desktop_win.cc, 8 x 5
// cells) within JPEG tolerance and prints "PATTERN" with what it saw and whether the frames were
// changed-region frames (both ends announce them) or whole ones.
// Exit status 0 on success, 1 on failure or after 60 s; the last status is printed either way.
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/client.h"
#include "app/clock.h"
#include "app/testing/fake_platform.h"
#include "app/testing/recording_window.h"
#include "app/update_service.h"
#include "app/viewer_input.h"
#include "screen/displays.h"
#include "screen/input_injector.h"
#include "screen/screen_capturer.h"
#include "net/testing/test_trust.h"
#include "net/testing/ws_test_server.h"

namespace {

// The fake platform (transports, synthetic capture, settings in memory) with this system's real
// displays and input injector.
// The demo desktop's palette (RGB) and its 8 x 5 cells: column c, row r shows
// kPalette[(c + 3 r) % 8].
constexpr unsigned kPalette[8] = {0xE53935, 0x43A047, 0x1E88E5, 0xFDD835,
                                  0x8E24AA, 0x00ACC1, 0xFB8C00, 0x6D4C41};

// Whether the centres of the four corner cells of `picture` (BGRA) show their colours within
// 40 per channel; `seen` gets the colours found.
bool CornersMatch(const ov::PixelBuffer& picture, std::string& seen) {
  bool all = true;
  seen.clear();
  for (const auto& [c, r] : {std::pair{0, 0}, {7, 0}, {0, 4}, {7, 4}}) {
    const int x = (2 * c + 1) * picture.width / 16;
    const int y = (2 * r + 1) * picture.height / 10;
    const std::uint8_t* p =
        picture.bytes.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width) +
                                static_cast<std::size_t>(x)) * 4;
    const unsigned want = kPalette[(c + 3 * r) % 8];
    const int channels[3] = {p[2], p[1], p[0]};
    const int expected[3] = {static_cast<int>(want >> 16), static_cast<int>((want >> 8) & 0xFF),
                             static_cast<int>(want & 0xFF)};
    char text[16];
    std::snprintf(text, sizeof text, "%02X%02X%02X ", channels[0], channels[1], channels[2]);
    seen += text;
    for (int i = 0; i < 3; ++i) all = all && std::abs(channels[i] - expected[i]) <= 40;
  }
  return all;
}

class InputPlatform final : public ov::Platform {
 public:
  InputPlatform(ov::testing::FakePlatform& fake, bool realCapture)
      : fake_(fake), realCapture_(realCapture) {}
  std::shared_ptr<ov::Transport> CreateTransport() override { return fake_.CreateTransport(); }
  std::vector<ov::DisplayInfo> EnumerateDisplays() override { return ov::EnumerateDisplays(); }
  std::unique_ptr<ov::ScreenCapturer> CreateCapturer() override {
    return realCapture_ ? ov::CreateScreenCapturer() : fake_.CreateCapturer();
  }
  std::unique_ptr<ov::SettingsStore> OpenSettings() override { return fake_.OpenSettings(); }
  ov::InputInjector& Injector() override { return injector_; }
  ov::FileStore& Files() override { return fake_.Files(); }

 private:
  ov::testing::FakePlatform& fake_;
  const bool realCapture_;
  ov::InputInjector injector_{ov::CreateSystemInputBackend()};
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::unique_ptr<ov::testing::TrustedCertificate> trusted;
  if (args.size() >= 2 && args[0] == "--ca") {
    std::ifstream file(args[1], std::ios::binary);
    std::stringstream pem;
    pem << file.rdbuf();
    try {
      trusted = std::make_unique<ov::testing::TrustedCertificate>(ov::testing::CertificateFromPem(pem.str()));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "pairing_peer: %s: %s\n", args[1].c_str(), e.what());
      return 2;
    }
    if (!trusted->ok()) {
      std::fprintf(stderr, "pairing_peer: could not trust %s\n", args[1].c_str());
      return 2;
    }
    args.erase(args.begin(), args.begin() + 2);
  }
  bool carryInput = false;
  bool realCapture = false;
  bool expectPattern = false;
  while (!args.empty() && (args[0] == "--input" || args[0] == "--capture" ||
                           args[0] == "--expect-pattern")) {
    (args[0] == "--input" ? carryInput : args[0] == "--capture" ? realCapture : expectPattern) =
        true;
    args.erase(args.begin());
  }
  if (args.size() < 2 || (args[0] == "viewer" && args.size() < 4)) {
    std::fprintf(stderr, "usage: pairing_peer [--ca FILE] host URL | pairing_peer [--ca FILE] viewer URL ID PASSWORD\n");
    return 2;
  }
  const bool viewer = args[0] == "viewer";
  const std::string url = args[1];
  ov::SystemClock clock;
  ov::testing::RecordingWindow window;
  ov::NoUpdateService updater;
  ov::ClientEnvironment env;
  env.clock = &clock;
  env.window = &window;
  env.updater = &updater;
  env.relayUrl = std::wstring(url.begin(), url.end());
  // The displays are those of the fake platform; the transport is this system's real one.
  ov::testing::FakePlatform platform;
  platform.transportFactory = [options = trusted ? trusted->options() : ov::TransportOptions{}] {
    return ov::CreateTransport(options);
  };
  InputPlatform inputPlatform(platform, realCapture);
  env.platform = carryInput || realCapture ? static_cast<ov::Platform*>(&inputPlatform) : &platform;
  ov::Client client(std::move(env));
  std::unique_ptr<ov::InputBackend> cursor = ov::CreateSystemInputBackend();
  ov::ScreenPoint target;
  if (carryInput && !viewer) {
    const std::vector<ov::DisplayInfo> displays = inputPlatform.EnumerateDisplays();
    if (displays.empty()) {
      std::fprintf(stderr, "pairing_peer: no display\n");
      return 1;
    }
    target = ov::ScreenPoint{displays[0].rect.right - 1, displays[0].rect.bottom - 1};
  }
  bool pressed = false;
  ov::testing::StillInputWindow view;
  client.RegisterAsHost();
  client.StartUpdateCheck();
  client.OnTimerTick();

  std::string seenPattern;
  bool regionFrames = false;  // the matched picture came as changed-region frames
  bool patternMatched = false;
  auto done = [&] {
    if (viewer) {
      return client.status() == ov::kStatusEncrypted && (!carryInput || pressed) &&
             (!expectPattern || patternMatched);
    }
    const bool hello = client.sessionActive() && client.session() != nullptr &&
                       client.session()->control().helloComplete();
    if (!hello || !carryInput) return hello;
    const auto at = cursor->CursorPosition();
    return at && *at == target && !inputPlatform.Injector().ButtonHeld(ov::kButtonLeft);
  };
  bool printed = false;
  bool connected = false;
  const auto start = std::chrono::steady_clock::now();
  auto lastTick = start;
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now - start > std::chrono::seconds(60)) break;
    if (window.TakeWake(std::chrono::milliseconds(20))) client.DrainNetEvents();
    if (now - lastTick >= std::chrono::milliseconds(500)) {
      client.OnTimerTick();
      lastTick = now;
    }
    if (client.status() == ov::kStatusReady && !printed && !viewer) {
      std::printf("ID %s PASSWORD %s\n", client.deviceId().c_str(), client.sessionPassword().c_str());
      std::fflush(stdout);
      printed = true;
    }
    if (viewer && !connected && client.status() == ov::kStatusReady) {
      const std::string& id = args[2];
      window.remoteId = std::wstring(id.begin(), id.end());
      window.password = args[3];
      client.ConnectToDevice();
      connected = true;
    }
    if (viewer && expectPattern && !patternMatched && client.session() != nullptr &&
        client.session()->display().picture()) {
      patternMatched = CornersMatch(*client.session()->display().picture(), seenPattern);
      regionFrames = client.session()->control().regionFrames();
    }
    if (viewer && carryInput && !pressed && client.status() == ov::kStatusEncrypted &&
        client.session() != nullptr && client.session()->display().picture()) {
      ov::ViewerInput& input = *client.viewerInput();
      pressed = input.OnButtonDown(view, ov::kButtonLeft, {500, 300}, false) &&
                input.OnButtonUp(view, ov::kButtonLeft, {99999, 99999});
    }
    if (client.status() == ov::kStatusSecurityFailed || client.status() == ov::kStatusClosed ||
        client.status() == ov::kStatusTimedOut) {
      if (!viewer || connected) break;
    }
  }
  const bool succeeded = done();
  // Stay a moment so that the peer sees the session complete before this end leaves.
  const auto linger = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (succeeded && std::chrono::steady_clock::now() < linger) {
    if (window.TakeWake(std::chrono::milliseconds(20))) client.DrainNetEvents();
  }
  if (carryInput && !viewer && succeeded) std::printf("CURSOR %d,%d\n", target.x, target.y);
  if (expectPattern) {
    std::printf("PATTERN %s%s frames %s\n", patternMatched ? "ok " : "", seenPattern.c_str(),
                regionFrames ? "region" : "whole");
  }
  std::printf("STATUS %s\n", client.status().c_str());
  return succeeded ? 0 : 1;
}
