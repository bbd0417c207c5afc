// The host's guard against a relay and an update manifest that disagree. The relay refuses a
// registration with "updateRequired"; the controller then checks for updates; if the check says
// this version is current within a minute of the refusal, registering again at once would only
// be refused again, every tick. Instead the registration waits 5 s, then 10 s, 20 s... up to
// 5 minutes for each further disagreement; a refusal more than ten minutes after the previous one
// starts again from 5 s. Nothing the service does can make the host register more often.
#pragma once

#include <algorithm>
#include <cstdint>

namespace ov {

class RegistrationBackoff {
 public:
  static constexpr std::uint64_t kDisagreementWindowMs = 60000;
  static constexpr std::uint64_t kFirstDelayMs = 5000;
  static constexpr std::uint64_t kMaxDelayMs = 300000;
  static constexpr std::uint64_t kForgetAfterMs = 600000;

  // The relay refused the registration because it wants a newer version.
  void OnUpdateRequired(std::uint64_t now) noexcept {
    if (lastRefusal_ != 0 && now - lastRefusal_ > kForgetAfterMs) delay_ = 0;
    lastRefusal_ = now;
  }

  // The updater reports this version current and the host wants to register. True: register
  // now. False: the registration is deferred until Due.
  bool MayRegister(std::uint64_t now) noexcept {
    if (registerAt_ != 0) return now >= registerAt_;  // a later report keeps the schedule
    if (lastRefusal_ == 0 || now - lastRefusal_ >= kDisagreementWindowMs) return true;
    delay_ = delay_ == 0 ? kFirstDelayMs : std::min(delay_ * 2, kMaxDelayMs);
    registerAt_ = now + delay_;
    return false;
  }

  // A deferred registration whose time has come.
  bool Due(std::uint64_t now) const noexcept { return registerAt_ != 0 && now >= registerAt_; }
  bool Deferred() const noexcept { return registerAt_ != 0; }
  // The deferred registration happened, or the user chose something else.
  void Cancel() noexcept { registerAt_ = 0; }

  std::uint64_t delayMs() const noexcept { return delay_; }

 private:
  std::uint64_t lastRefusal_ = 0;
  std::uint64_t delay_ = 0;
  std::uint64_t registerAt_ = 0;
};

}  // namespace ov
