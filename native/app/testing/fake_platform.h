// A Platform for tests: displays and transports as the test sets them up, and a record of what was
// made. Transports are ScriptedTransports (kept in `transports`, newest last) unless a factory is
// given; capturers are synthetic desktops; settings live in memory.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/platform.h"
#include "app/testing/scripted_transport.h"
#include "screen/input_injector.h"
#include "screen/synthetic_capturer.h"
#include "settings/memory_settings_store.h"
#include "tools/testing/fake_file_store.h"

namespace ov::testing {

inline std::vector<DisplayInfo> TwoTestDisplays() {
  return {DisplayInfo{L"\\\\.\\DISPLAY1", ScreenRect{0, 0, 1920, 1080}, true, 60},
          DisplayInfo{L"\\\\.\\DISPLAY2", ScreenRect{1920, 0, 3200, 1024}, false, 75}};
}

// What reached the fake system's input: one line per injected event ("keydown 65",
// "mouse 2 0", "move 960,540"), and switches for the locked desktop.
struct RecordedInput {
  std::mutex mutex;
  std::vector<std::string> events;
  bool desktopActive = true;
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(events, {});
  }
};

class RecordingInputBackend final : public InputBackend {
 public:
  explicit RecordingInputBackend(std::shared_ptr<RecordedInput> record,
                                 std::vector<DisplayInfo>* displays)
      : record_(std::move(record)), displays_(displays) {}
  bool InputDesktopActive() override {
    std::lock_guard<std::mutex> lock(record_->mutex);
    return record_->desktopActive;
  }
  std::optional<ScreenRect> DisplayBounds(const DisplayInfo& display) override {
    for (const DisplayInfo& d : *displays_) {
      if (d.deviceName == display.deviceName || (display.deviceName.empty() && d.primary)) {
        return d.rect;
      }
    }
    return std::nullopt;
  }
  std::uint32_t MoveCursor(ScreenPoint point) override {
    cursor_ = point;
    Add("move " + std::to_string(point.x) + "," + std::to_string(point.y));
    return 0;
  }
  std::optional<ScreenPoint> CursorPosition() override { return cursor_; }
  std::uint32_t SendKey(std::int32_t vk, bool up, bool) override {
    Add(std::string(up ? "keyup " : "keydown ") + std::to_string(vk));
    return 0;
  }
  std::uint32_t SendMouse(std::uint32_t flags, std::int32_t data) override {
    Add("mouse " + std::to_string(flags) + " " + std::to_string(data));
    return 0;
  }

 private:
  void Add(std::string line) {
    std::lock_guard<std::mutex> lock(record_->mutex);
    record_->events.push_back(std::move(line));
  }
  std::shared_ptr<RecordedInput> record_;
  std::vector<DisplayInfo>* displays_;
  ScreenPoint cursor_;
};

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

  InputInjector& Injector() override { return injector; }
  FileStore& Files() override { return files; }

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
  std::shared_ptr<RecordedInput> input = std::make_shared<RecordedInput>();
  InputInjector injector{std::make_unique<RecordingInputBackend>(input, &displays)};
  FakeFileStore files;

  // Record.
  std::vector<std::shared_ptr<ScriptedTransport>> transports;
  int enumerations = 0;
  std::atomic<int> capturersMade{0};
  int settingsOpened = 0;

 private:
  std::mutex mutex_;
};

}  // namespace ov::testing
