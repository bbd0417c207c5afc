// One Client with its test seams: a manual clock (possibly shared with a peer), a recording
// window, an updater without an update mechanism and a fake platform. The test thread plays the
// UI thread: Pump waits for the wake-up the window received and drains the event queue.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/client.h"
#include "app/clock.h"
#include "app/testing/fake_platform.h"
#include "app/testing/recording_window.h"
#include "app/testing/scripted_transport.h"
#include "app/update_service.h"

namespace ov::testing {

class ClientHarness {
 public:
  // With no factory, each connection gets a ScriptedTransport, kept in `platform.transports`.
  explicit ClientHarness(ManualClock& clock,
                         std::function<std::shared_ptr<Transport>()> factory = nullptr,
                         std::wstring relayUrl = L"wss://relay.test/ws", bool preview = false) {
    platform.transportFactory = std::move(factory);
    ClientEnvironment env;
    env.clock = &clock;
    env.window = &window;
    env.updater = &updater;
    env.platform = &platform;
    env.relayUrl = std::move(relayUrl);
    env.previewMode = preview;
    client = std::make_unique<Client>(std::move(env));
  }

  // Start-up as the entry does it: register (the gate is still closed), start the update check,
  // and let the first tick take the "up to date" state, which registers.
  void StartUp() {
    client->RegisterAsHost();
    client->StartUpdateCheck();
    client->OnTimerTick();
  }

  // Drains every batch that has been posted within `wait`.
  void Pump(std::chrono::milliseconds wait = std::chrono::milliseconds(0)) {
    while (window.TakeWake(wait)) {
      client->DrainNetEvents();
      wait = std::chrono::milliseconds(0);
    }
  }

  // Drains until `done` holds or `timeout` passes.
  bool PumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      if (window.TakeWake(std::chrono::milliseconds(10))) client->DrainNetEvents();
    }
    return true;
  }

  std::shared_ptr<ScriptedTransport> LastTransport() { return platform.LastTransport(); }
  const std::string& status() const { return client->status(); }
  // The session's peer control; the session must exist.
  const PeerControl& control() const { return client->session()->control(); }

  RecordingWindow window;
  NoUpdateService updater;
  FakePlatform platform;
  std::unique_ptr<Client> client;  // declared last: destroyed first
};

}  // namespace ov::testing
