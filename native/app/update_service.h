// The controller's view of the updater: its published state, taken on the 500 ms tick, and the
// request to start a background check. The verified updater is its own component; until it is
// linked in, the program runs with NoUpdateService, which says plainly that it has no update
// mechanism by reporting every check as "up to date" at once.
#pragma once

#include <cstdint>

namespace ov {

// The updater's states (1 = up to date).
enum class UpdateState : std::uint32_t {
  Checking = 0,
  UpToDate = 1,
  UpdateRequired = 2,
  Downloading = 3,
  Downloaded = 4,
  CheckFailed = 5,
};

struct UpdateSnapshot {
  UpdateState state = UpdateState::Checking;
  bool busy = false;  // a check or a download runs
};

class UpdateService {
 public:
  UpdateService() = default;
  UpdateService(const UpdateService&) = delete;
  UpdateService& operator=(const UpdateService&) = delete;
  virtual ~UpdateService() = default;

  // UI thread: copies the published state into `out` when it changed since the last call;
  // returns whether it changed.
  virtual bool TakeState(UpdateSnapshot& out) = 0;
  // Whether a check or download runs now.
  virtual bool Busy() = 0;
  // Starts a background manifest check; ignored while one runs. A quiet check does not publish
  // "checking" first.
  virtual void StartCheck(bool quiet) = 0;
  // Stops the worker; called once before the controller is destroyed.
  virtual void Stop() = 0;
};

// No update mechanism in this build: every check completes at once with "up to date".
class NoUpdateService final : public UpdateService {
 public:
  bool TakeState(UpdateSnapshot& out) override {
    if (!changed_) return false;
    changed_ = false;
    out = snapshot_;
    return true;
  }
  bool Busy() override { return false; }
  void StartCheck(bool /*quiet*/) override {
    ++checks_;
    snapshot_.state = UpdateState::UpToDate;
    changed_ = true;
  }
  void Stop() override {}
  int checks() const noexcept { return checks_; }

 private:
  UpdateSnapshot snapshot_;
  bool changed_ = false;
  int checks_ = 0;
};

}  // namespace ov
