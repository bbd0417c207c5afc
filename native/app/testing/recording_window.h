// A WindowSide for tests: records statuses and window duties, holds the typed ID and password,
// and turns the wake-up message into a flag the test thread waits on before it drains (the test
// thread plays the UI thread).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/viewer_input.h"
#include "app/window_side.h"

namespace ov::testing {

// The viewer window as the input capture sees it: a 1000 x 574 client area at scale 1 (the view
// area 1000 x 500 from y 52), with the focus, mouse capture and full screen recorded.
class StillInputWindow final : public InputWindow {
 public:
  ViewRect ViewArea() const override { return area; }
  bool FullScreen() const override { return fullScreen; }
  void LeaveFullScreen() override { fullScreen = false; }
  void CaptureMouse() override {
    captured = true;
    ++focusTaken;
  }
  void ReleaseMouse() override { captured = false; }
  bool HasMouseCapture() const override { return captured; }

  ViewRect area{0, 52, 1000, 500};
  bool fullScreen = false;
  bool captured = false;
  int focusTaken = 0;
};

class RecordingWindow final : public WindowSide {
 public:
  void ShowStatus(const std::string& status) override { statuses.push_back(status); }
  void Layout() override { ++layouts; }
  void Repaint() override {
    ++repaints;
    if (onRepaint) onRepaint();
  }
  void PostWake() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++wakesPosted_;
    wakePending_ = true;
    cv_.notify_all();
  }
  void RestoreAndForeground() override { ++foregrounds; }
  void CreateBanner() override { banner = true; }
  void DestroyBanner() override { banner = false; }
  void ReleaseMouseCapture() override {}
  void ShowFirstPage() override { ++firstPages; }
  std::wstring ReadRemoteId() override { return remoteId; }
  std::string ReadPasswordUtf8() override {
    if (passwordNotUnicode) throw std::runtime_error("invalid Unicode");
    return password;
  }
  void ClearPasswordBox() override { password.clear(); }
  void DropRemotePicture() override { ++picturesDropped; }

  // Waits up to `timeout` for a posted wake-up and consumes it.
  bool TakeWake(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return wakePending_; })) return false;
    wakePending_ = false;
    return true;
  }
  int wakesPosted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wakesPosted_;
  }

  std::function<void()> onRepaint;  // runs on every repaint, on the UI thread
  std::vector<std::string> statuses;
  std::wstring remoteId;
  std::string password;
  bool passwordNotUnicode = false;  // the box holds an unpaired surrogate
  bool banner = false;
  int layouts = 0;
  int repaints = 0;
  int foregrounds = 0;
  int firstPages = 0;
  int picturesDropped = 0;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool wakePending_ = false;
  int wakesPosted_ = 0;
};

}  // namespace ov::testing
