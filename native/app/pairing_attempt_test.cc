#include "app/pairing_attempt.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/primitives.h"

namespace ov {
namespace {

// The window of six requests per 60 s, walked over time: each step is (time, expected answer,
// attempts recorded afterwards).
TEST(AttemptLimiter, SixRequestsInAnySixtySeconds) {
  struct Step {
    std::uint64_t at;
    bool admitted;
    std::size_t recorded;
  };
  const std::uint64_t t0 = 1000000;
  const Step steps[] = {
      {t0, true, 1},          {t0 + 1000, true, 2},  {t0 + 2000, true, 3},
      {t0 + 3000, true, 4},   {t0 + 4000, true, 5},  {t0 + 5000, true, 6},
      {t0 + 6000, false, 6},  // the seventh is refused and not recorded
      {t0 + 59999, false, 6},  // the oldest is still inside the window
      {t0 + 60000, true, 6},  // 60 s after the oldest: it drops out, the new one takes its place
      {t0 + 60001, false, 6},
      {t0 + 200000, true, 1},  // all old ones dropped
  };
  AttemptLimiter limiter;
  for (const Step& step : steps) {
    EXPECT_EQ(limiter.Admit(step.at), step.admitted) << step.at - t0;
    EXPECT_EQ(limiter.attempts(), step.recorded) << step.at - t0;
  }
}

TEST(AttemptLimiter, ANonceIsUsableOnceAndAtMost256AreRemembered) {
  AttemptLimiter limiter;
  const std::string first(32, 'a');
  EXPECT_TRUE(limiter.Usable(first));
  limiter.Remember(first);
  EXPECT_FALSE(limiter.Usable(first));
  for (std::size_t i = 1; i < kMaxSeenNonces; ++i) limiter.Remember(RandomHex(16));
  EXPECT_EQ(limiter.nonces(), kMaxSeenNonces);
  EXPECT_FALSE(limiter.Usable(RandomHex(16))) << "a full set refuses even a new nonce";
  limiter.Admit(1);
  limiter.Clear();  // a new registration
  EXPECT_EQ(limiter.attempts(), 0u);
  EXPECT_TRUE(limiter.Usable(first));
}

TEST(PairingAttempt, ClearForgetsEverythingAndWipesTheNonce) {
  PairingAttempt attempt;
  attempt.requestId = std::string(32, 'b');
  attempt.peerNonce = RandomHex(16);
  attempt.pairing = PakeExchange::Create("ABCD2345", "482913775", attempt.peerNonce, false);
  const char* nonceStorage = attempt.peerNonce.data();
  attempt.consentPending = attempt.consentGiven = true;
  attempt.connectDeadline = attempt.consentDeadline = 5;
  attempt.Clear();
  EXPECT_TRUE(attempt.requestId.empty());
  EXPECT_TRUE(attempt.peerNonce.empty());
  EXPECT_EQ(attempt.peerNonce.data(), nonceStorage);  // cleared in place
  for (int i = 0; i < 32; ++i) EXPECT_EQ(nonceStorage[i], '\0');
  EXPECT_EQ(attempt.pairing, nullptr);
  EXPECT_EQ(attempt.channel, nullptr);
  EXPECT_FALSE(attempt.consentPending || attempt.consentGiven);
  EXPECT_EQ(attempt.connectDeadline + attempt.consentDeadline, 0u);
}

}  // namespace
}  // namespace ov
