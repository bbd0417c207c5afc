// pairing_peer: one Client as host or viewer against a relay, for pairing across builds (a
// Windows build under Wine with a Linux build, both through one kestrova-relay).
//   pairing_peer host RELAY_URL            prints "ID <id> PASSWORD <password>", then waits for an
//                                           active session with the hello exchange complete
//   pairing_peer viewer RELAY_URL ID PASSWORD   connects; waits for "End-to-end encrypted"
// Exit status 0 on success, 1 on failure or after 60 s; the last status is printed either way.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "app/client.h"
#include "app/clock.h"
#include "app/testing/recording_window.h"
#include "app/update_service.h"

int main(int argc, char** argv) {
  if (argc < 3 || (std::string(argv[1]) == "viewer" && argc < 5)) {
    std::fprintf(stderr, "usage: pairing_peer host URL | pairing_peer viewer URL ID PASSWORD\n");
    return 2;
  }
  const bool viewer = std::string(argv[1]) == "viewer";
  const std::string url = argv[2];
  ov::SystemClock clock;
  ov::testing::RecordingWindow window;
  ov::NoUpdateService updater;
  ov::ClientEnvironment env;
  env.clock = &clock;
  env.window = &window;
  env.updater = &updater;
  env.relayUrl = std::wstring(url.begin(), url.end());
  env.enumerateDisplays = [] { return std::vector<ov::ScreenInfo>{{1920, 1080, 60, true}}; };
  ov::Client client(std::move(env));
  client.RegisterAsHost();
  client.StartUpdateCheck();
  client.OnTimerTick();

  auto done = [&] {
    if (viewer) return client.status() == ov::kStatusEncrypted;
    return client.sessionActive() && client.peerControl() != nullptr &&
           client.peerControl()->helloComplete();
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
      const std::string id = argv[3];
      window.remoteId = std::wstring(id.begin(), id.end());
      window.password = argv[4];
      client.ConnectToDevice();
      connected = true;
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
  std::printf("STATUS %s\n", client.status().c_str());
  return succeeded ? 0 : 1;
}
