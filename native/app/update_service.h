// The controller's view of the updater (UpdateService, UpdateState, UpdateSnapshot) lives with
// the updater in update/update_service.h. NoUpdateService is the controller tests' stand-in for
// it: every check reports "up to date" at once and nothing is ever downloaded.
#pragma once

#include "update/update_service.h"

namespace ov {

// Every check completes at once with "up to date".
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
  void StartDownload() override {}
  void Stop() override {}
  int checks() const noexcept { return checks_; }
  // Publishes `state` as if a check had found it (the next check reports "up to date" again).
  void Publish(UpdateState state) {
    snapshot_.state = state;
    changed_ = true;
  }

 private:
  UpdateSnapshot snapshot_;
  bool changed_ = false;
  int checks_ = 0;
};

}  // namespace ov
