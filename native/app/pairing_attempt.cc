#include "app/pairing_attempt.h"

#include "base/secure_memory.h"

namespace ov {

void PairingAttempt::Clear() noexcept {
  requestId.clear();
  SecureClear(peerNonce);
  pairing.reset();  // the exchange wipes its own secrets
  channel.reset();
  consentPending = false;
  consentGiven = false;
  connectDeadline = 0;
  consentDeadline = 0;
}

bool AttemptLimiter::Admit(std::uint64_t now) {
  while (!times_.empty() && now - times_.front() >= kAttemptWindowMs) times_.pop_front();
  if (times_.size() >= kMaxAttemptsPerWindow) return false;
  times_.push_back(now);
  return true;
}

bool AttemptLimiter::Usable(const std::string& nonce) const {
  return !nonces_.contains(nonce) && nonces_.size() < kMaxSeenNonces;
}

void AttemptLimiter::Clear() noexcept {
  times_.clear();
  nonces_.clear();
}

}  // namespace ov
