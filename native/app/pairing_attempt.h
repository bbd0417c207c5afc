// The host's and the viewer's state of one pairing attempt, and the host's limits on attempts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "app/nonce_set.h"
#include "crypto/crypto_session.h"
#include "crypto/pake_exchange.h"

namespace ov {

inline constexpr std::uint64_t kAttemptWindowMs = 60000;
inline constexpr std::size_t kMaxAttemptsPerWindow = 6;

// One attempt from the first pairing message to the end of its session: the relay's request ID,
// the viewer's nonce, the exchange until the channel is derived, the channel, the host's consent
// and the step deadlines (0 = none). Clear forgets all of it, wiping the nonce; every path that
// abandons an attempt goes through it.
struct PairingAttempt {
  std::string requestId;
  std::string peerNonce;  // viewer: its own nonce; host: the viewer's
  std::unique_ptr<PakeExchange> pairing;
  std::shared_ptr<CryptoSession> channel;
  bool consentPending = false;
  bool consentGiven = false;
  std::uint64_t connectDeadline = 0;
  std::uint64_t consentDeadline = 0;

  PairingAttempt() = default;
  ~PairingAttempt() { Clear(); }
  PairingAttempt(const PairingAttempt&) = delete;
  PairingAttempt& operator=(const PairingAttempt&) = delete;

  void Clear() noexcept;
};

// The host's limits since its last registration: at most six connect requests are processed in
// any 60 s, and a viewer nonce is accepted once (at most 256 of them).
class AttemptLimiter {
 public:
  // Drops the arrival times that are 60 s or more in the past. With six or more remaining the
  // request is refused and not recorded; otherwise its time is recorded and it may proceed.
  bool Admit(std::uint64_t now);
  // Whether `nonce` may still be used: not seen before and room to remember it.
  bool Usable(const std::string& nonce) const;
  // Remembers a used nonce.
  void Remember(const std::string& nonce) { nonces_.insert(nonce); }
  // A new registration starts afresh.
  void Clear() noexcept;

  std::size_t attempts() const noexcept { return times_.size(); }
  std::size_t nonces() const noexcept { return nonces_.size(); }

 private:
  std::deque<std::uint64_t> times_;
  NonceSet nonces_;
};

}  // namespace ov
