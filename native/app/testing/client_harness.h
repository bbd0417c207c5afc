// One Client with its test seams: a manual clock (possibly shared with a peer), a recording
// window, an updater without an update mechanism and a transport factory. The test thread plays
// the UI thread: Pump waits for the wake-up the window received and drains the event queue.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/client.h"
#include "app/clock.h"
#include "app/testing/recording_window.h"
#include "app/testing/scripted_transport.h"
#include "app/update_service.h"

namespace ov::testing {

inline std::vector<ScreenInfo> TwoTestDisplays() {
  return {ScreenInfo{1920, 1080, 60, true}, ScreenInfo{1280, 1024, 75, false}};
}

class ClientHarness {
 public:
  // With no factory, each connection gets a ScriptedTransport, kept in `transports`.
  explicit ClientHarness(ManualClock& clock,
                         std::function<std::shared_ptr<Transport>()> factory = nullptr,
                         std::wstring relayUrl = L"wss://relay.test/ws")
      : clock_(clock) {
    ClientEnvironment env;
    env.clock = &clock_;
    env.window = &window;
    env.updater = &updater;
    env.relayUrl = std::move(relayUrl);
    env.enumerateDisplays = [this] { return displays; };
    if (factory) {
      env.createTransport = std::move(factory);
    } else {
      env.createTransport = [this] {
        auto transport = std::make_shared<ScriptedTransport>();
        if (configure) configure(*transport);
        std::lock_guard<std::mutex> lock(mutex_);
        transports.push_back(transport);
        return std::shared_ptr<Transport>(transport);
      };
    }
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

  std::shared_ptr<ScriptedTransport> LastTransport() {
    std::lock_guard<std::mutex> lock(mutex_);
    return transports.empty() ? nullptr : transports.back();
  }

  const std::string& status() const { return client->status(); }

  RecordingWindow window;
  NoUpdateService updater;
  std::vector<ScreenInfo> displays = TwoTestDisplays();
  std::function<void(ScriptedTransport&)> configure;
  std::vector<std::shared_ptr<ScriptedTransport>> transports;
  std::unique_ptr<Client> client;

 private:
  ManualClock& clock_;
  std::mutex mutex_;
};

}  // namespace ov::testing
