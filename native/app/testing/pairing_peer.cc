// pairing_peer: one Client as host or viewer against a relay, for pairing across builds (a
// Windows build under Wine with a Linux build, both through one kestrova-relay).
//   pairing_peer host RELAY_URL            prints "ID <id> PASSWORD <password>", then waits for an
//                                           active session with the hello exchange complete
//   pairing_peer viewer RELAY_URL ID PASSWORD   connects; waits for "End-to-end encrypted"
// A leading "--ca FILE" trusts the PEM certificate in FILE for a wss:// relay (on Windows by
// adding it to a root store for the lifetime of the process).
// Exit status 0 on success, 1 on failure or after 60 s; the last status is printed either way.
#include <chrono>
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
#include "net/testing/test_trust.h"
#include "net/testing/ws_test_server.h"

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
  env.platform = &platform;
  ov::Client client(std::move(env));
  client.RegisterAsHost();
  client.StartUpdateCheck();
  client.OnTimerTick();

  auto done = [&] {
    if (viewer) return client.status() == ov::kStatusEncrypted;
    return client.sessionActive() && client.session() != nullptr &&
           client.session()->control().helloComplete();
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
