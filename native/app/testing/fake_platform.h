// A Platform for tests: displays and transports as the test sets them up, and a record of what was
// made. Transports are ScriptedTransports (kept in `transports`, newest last) unless a factory is
// given; capturers are synthetic desktops; settings live in memory.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "app/platform.h"
#include "app/testing/scripted_transport.h"
#include "screen/synthetic_capturer.h"
#include "settings/memory_settings_store.h"

namespace ov::testing {

inline std::vector<DisplayInfo> TwoTestDisplays() {
  return {DisplayInfo{L"\\\\.\\DISPLAY1", ScreenRect{0, 0, 1920, 1080}, true, 60},
          DisplayInfo{L"\\\\.\\DISPLAY2", ScreenRect{1920, 0, 3200, 1024}, false, 75}};
}

class FakePlatform final : public Platform {
 public:
  std::shared_ptr<Transport> CreateTransport() override {
    if (transportFactory) return transportFactory();
    auto transport = std::make_shared<ScriptedTransport>();
    if (configure) configure(*transport);
    std::lock_guard<std::mutex> lock(mutex_);
    transports.push_back(transport);
    return transport;
  }
  std::vector<DisplayInfo> EnumerateDisplays() override {
    ++enumerations;
    return displays;
  }
  // Called on the stream's thread.
  std::unique_ptr<ScreenCapturer> CreateCapturer() override {
    ++capturersMade;
    if (capturerFactory) return capturerFactory();
    return std::make_unique<SyntheticCapturer>(SyntheticScene::MovingPattern);
  }
  std::unique_ptr<SettingsStore> OpenSettings() override {
    ++settingsOpened;
    auto store = std::make_unique<MemorySettingsStore>();
    store->approvalState = storedApproval;
    store->approvalNumber = 1;
    return store;
  }

  std::shared_ptr<ScriptedTransport> LastTransport() {
    std::lock_guard<std::mutex> lock(mutex_);
    return transports.empty() ? nullptr : transports.back();
  }
  std::size_t TransportCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return transports.size();
  }

  // Knobs.
  std::vector<DisplayInfo> displays = TwoTestDisplays();
  std::function<std::shared_ptr<Transport>()> transportFactory;  // replaces the scripted ones
  std::function<void(ScriptedTransport&)> configure;            // applied to each new one
  // Replaces the moving synthetic desktop; called on the stream's thread.
  std::function<std::unique_ptr<ScreenCapturer>()> capturerFactory;
  MemorySettingsStore::ApprovalState storedApproval = MemorySettingsStore::ApprovalState::Absent;

  // Record.
  std::vector<std::shared_ptr<ScriptedTransport>> transports;
  int enumerations = 0;
  std::atomic<int> capturersMade{0};
  int settingsOpened = 0;

 private:
  std::mutex mutex_;
};

}  // namespace ov::testing
