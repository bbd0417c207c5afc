#include "relay/prefix_budget.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace ov::relay {
namespace {

namespace ip = boost::asio::ip;

TEST(PrefixKeys, OneKeyForIPv4AndThreeForIPv6) {
  using Keys = std::vector<std::string>;
  const std::pair<const char*, Keys> cases[] = {
      {"192.0.2.1", {"192.0.2.1"}},
      {"::ffff:192.0.2.1", {"192.0.2.1"}},
      {"2001:db8:1:2:3:4:5:6", {"2001:db8:1:2::/64", "2001:db8:1::/56", "2001:db8:1::/48"}},
      {"2001:db8:1:2ff::1", {"2001:db8:1:2ff::/64", "2001:db8:1:200::/56", "2001:db8:1::/48"}},
      {"::1", {"::/64", "::/56", "::/48"}},
  };
  for (const auto& [address, keys] : cases)
    EXPECT_EQ(PrefixKeys(ip::make_address(address)), keys) << address;
}

// A script of calls on one budget and what each gives.
struct Step {
  enum Op { kOpen, kClose, kPrune } op;
  const char* address;
  std::int64_t nowMs = 0;
  // kOpen: "ok", or "connections <prefix>" / "rate <prefix>"; kPrune: the Tracked() after it.
  std::string want;
};

Step Open(const char* address, std::int64_t nowMs, std::string want) {
  return {Step::kOpen, address, nowMs, std::move(want)};
}
Step Close(const char* address) { return {Step::kClose, address, 0, ""}; }
Step Prune(std::int64_t nowMs, std::string tracked) {
  return {Step::kPrune, "", nowMs, std::move(tracked)};
}

void RunScript(const char* name, const PrefixLimits& limits, const std::vector<Step>& steps) {
  PrefixBudget budget(limits);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    switch (s.op) {
      case Step::kOpen: {
        Refusal why;
        std::string got = "ok";
        if (!budget.TryOpen(ip::make_address(s.address), s.nowMs, &why)) {
          got = (why.reason == Refusal::Reason::kRate ? "rate " : "connections ") + why.prefix;
          const std::string length = "/" + std::to_string(why.prefixLength);
          EXPECT_TRUE(why.prefixLength == 32 ? why.prefix.find('/') == std::string::npos
                                             : why.prefix.ends_with(length))
              << name << " step " << i;
        }
        EXPECT_EQ(got, s.want) << name << " step " << i << " open " << s.address << " at "
                               << s.nowMs;
        break;
      }
      case Step::kClose:
        budget.Close(ip::make_address(s.address));
        break;
      case Step::kPrune:
        budget.Prune(s.nowMs);
        EXPECT_EQ(std::to_string(budget.Tracked()), s.want) << name << " step " << i;
        break;
    }
  }
}

TEST(PrefixBudget, ConnectionBoundsPerPrefix) {
  PrefixLimits wide;  // rates out of the way
  wide.acceptsPerSecond = 1e6;
  wide.acceptBurst = 1e6;
  PrefixLimits v6 = wide;
  v6.perAddress = 2;
  v6.per56 = 3;
  v6.per48 = 5;
  // a1, a2: one /64; b: another /64 of the same /56; c, d: other /56s of the same /48.
  const char* a1 = "2001:db8:1:1::1";
  const char* a2 = "2001:db8:1:1::2";
  const char* b = "2001:db8:1:2::1";
  const char* c = "2001:db8:1:100::1";
  const char* d = "2001:db8:1:200::1";
  RunScript("ipv6", v6,
            {
                Open(a1, 0, "ok"),
                Open(a2, 0, "ok"),
                Open(a1, 0, "connections 2001:db8:1:1::/64"),
                Open(b, 0, "ok"),  // the /64 is full, its /56 not yet
                Open(b, 0, "connections 2001:db8:1::/56"),
                Open(c, 0, "ok"),
                Open(d, 0, "ok"),
                Open(d, 0, "connections 2001:db8:1::/48"),
                Open("2001:db8:2::1", 0, "ok"),  // another /48
                Close(a1),
                Open(b, 0, "ok"),  // its /56 and /48 have room again
                Open(a2, 0, "connections 2001:db8:1::/56"),
                Close(c),
                Close("2001:db8:9::1"),  // never opened: ignored
                Open(b, 0, "connections 2001:db8:1:2::/64"),
                Open(c, 0, "ok"),
                Open("2001:db8:1:300::1", 0, "connections 2001:db8:1::/48"),
            });

  PrefixLimits v4 = wide;
  v4.perAddress = 2;
  RunScript("ipv4", v4,
            {
                Open("192.0.2.1", 0, "ok"),
                Open("::ffff:192.0.2.1", 0, "ok"),
                Open("192.0.2.1", 0, "connections 192.0.2.1"),
                Open("::ffff:192.0.2.1", 0, "connections 192.0.2.1"),
                Open("192.0.2.2", 0, "ok"),
                Close("::ffff:192.0.2.1"),
                Open("192.0.2.1", 0, "ok"),
            });
}

TEST(PrefixBudget, AcceptRatesRefillWithTime) {
  PrefixLimits limits;
  limits.acceptsPerSecond = 10;  // /64: 10/s, burst 3; /56: 20/s, 6; /48: 40/s, 12
  limits.acceptBurst = 3;
  RunScript("ipv4", limits,
            {
                Open("192.0.2.1", 0, "ok"),
                Open("192.0.2.1", 0, "ok"),
                Open("192.0.2.1", 0, "ok"),
                Open("192.0.2.1", 0, "rate 192.0.2.1"),
                Open("192.0.2.2", 0, "ok"),
                Open("192.0.2.1", 99, "rate 192.0.2.1"),
                Open("192.0.2.1", 100, "ok"),
                Open("192.0.2.1", 100, "rate 192.0.2.1"),
                // refusals take nothing: the token of 100..200 is there at 200
                Open("192.0.2.1", 150, "rate 192.0.2.1"),
                Open("192.0.2.1", 199, "rate 192.0.2.1"),
                Open("192.0.2.1", 200, "ok"),
                // a clock that steps back refills nothing and breaks nothing
                Open("192.0.2.1", 50, "rate 192.0.2.1"),
                Open("192.0.2.1", 500, "ok"),
                Open("192.0.2.1", 500, "ok"),
                Open("192.0.2.1", 500, "ok"),
                Open("192.0.2.1", 500, "rate 192.0.2.1"),
            });

  std::vector<Step> v6;
  for (const char* a : {"2001:db8:1:1::1", "2001:db8:1:2::1"}) {
    for (int i = 0; i < 3; ++i) v6.push_back(Open(a, 0, "ok"));
  }
  v6.push_back(Open("2001:db8:1:3::1", 0, "rate 2001:db8:1::/56"));
  for (int i = 0; i < 3; ++i) v6.push_back(Open("2001:db8:1:100::1", 0, "ok"));
  for (int i = 0; i < 3; ++i) v6.push_back(Open("2001:db8:1:200::1", 0, "ok"));
  v6.push_back(Open("2001:db8:1:300::1", 0, "rate 2001:db8:1::/48"));
  v6.push_back(Open("2001:db8:1:300::1", 24, "rate 2001:db8:1::/48"));
  v6.push_back(Open("2001:db8:1:300::1", 25, "ok"));  // 40/s: one token in 25 ms
  v6.push_back(Open("2001:db8:1:3::1", 49, "rate 2001:db8:1::/56"));
  v6.push_back(Open("2001:db8:1:3::1", 50, "ok"));  // 20/s, and the /48 has 1 by then
  RunScript("ipv6", limits, v6);
}

TEST(PrefixBudget, ForgetsIdleKeysOnceTheirBucketsAreFull) {
  // Defaults: /64 20/s burst 200, /56 40/s 400, /48 80/s 800. A key with one accept at 0 is full
  // again at 50 ms (IPv4, /64), 25 ms (/56) or 13 ms (/48); with two, at twice that.
  const std::vector<const char*> addresses = {"192.0.2.1", "::ffff:192.0.2.2", "2001:db8:1:1::1",
                                              "2001:db8:1:2::1", "2001:db8:2::1"};
  std::vector<Step> steps;
  for (const char* a : addresses) steps.push_back(Open(a, 0, "ok"));
  // 2 IPv4 keys, 3 /64s, 2 /56s, 2 /48s
  steps.push_back(Prune(60, "9"));  // all open: nothing is forgotten
  RunScript("open", {}, steps);

  // Closed at once: each key is forgotten when its bucket is full. 2001:db8:1::/56 and /48 had
  // two accepts (50 and 25 ms), 2001:db8:2::/56 and /48 one (25 and 13 ms).
  std::vector<Step> closed;
  for (const char* a : addresses) {
    closed.push_back(Open(a, 0, "ok"));
    closed.push_back(Close(a));
  }
  closed.insert(closed.end(), {
                                  Prune(12, "9"),
                                  Prune(13, "8"),
                                  Prune(24, "8"),
                                  Prune(25, "6"),
                                  Prune(49, "6"),
                                  Prune(50, "0"),
                              });
  RunScript("closed", {}, closed);

  // Reused before it was forgotten: the key stays while it is open and for its new refill.
  RunScript("reused", {},
            {
                Open("192.0.2.1", 0, "ok"),
                Close("192.0.2.1"),
                Open("192.0.2.1", 30, "ok"),  // 199.6 tokens, 198.6 after it
                Prune(60, "1"),
                Close("192.0.2.1"),
                Prune(99, "1"),
                Prune(100, "0"),
            });

  // A refusal keeps nothing for the keys it brought.
  PrefixLimits tight;
  tight.per48 = 1;
  RunScript("refused", tight,
            {
                Open("2001:db8:1:1::1", 0, "ok"),
                Open("2001:db8:1:2::1", 0, "connections 2001:db8:1::/48"),
                Open("2001:db8:1:300::1", 0, "connections 2001:db8:1::/48"),
                Prune(0, "3"),
            });
}

TEST(PrefixBudget, PruneIsBoundedAndOpenAndCloseSweepALittle) {
  PrefixBudget budget;
  for (int i = 1; i <= 20; ++i) {
    const auto a = ip::make_address("192.0.2." + std::to_string(i));
    ASSERT_TRUE(budget.TryOpen(a, 0));
    budget.Close(a);
  }
  EXPECT_EQ(budget.Tracked(), 20u);
  budget.Prune(1000, 3);
  EXPECT_EQ(budget.Tracked(), 17u);
  ASSERT_TRUE(budget.TryOpen(ip::make_address("198.51.100.1"), 1000));  // forgets 8, adds 1
  EXPECT_EQ(budget.Tracked(), 10u);
  budget.Close(ip::make_address("198.51.100.1"));  // forgets 4 (its own key is not full yet)
  EXPECT_EQ(budget.Tracked(), 6u);
  budget.Prune(1000);
  EXPECT_EQ(budget.Tracked(), 1u);
  budget.Prune(1050);
  EXPECT_EQ(budget.Tracked(), 0u);
}

TEST(PrefixBudget, RefusesLimitsThatCannotWork) {
  auto with = [](auto change) {
    PrefixLimits limits;
    change(limits);
    return limits;
  };
  const PrefixLimits bad[] = {
      with([](PrefixLimits& l) { l.perAddress = 0; }),
      with([](PrefixLimits& l) { l.per56 = 0; }),
      with([](PrefixLimits& l) { l.per48 = 0; }),
      with([](PrefixLimits& l) { l.acceptsPerSecond = 0; }),
      with([](PrefixLimits& l) { l.acceptsPerSecond = -1; }),
      with([](PrefixLimits& l) { l.acceptsPerSecond = std::numeric_limits<double>::quiet_NaN(); }),
      with([](PrefixLimits& l) { l.acceptsPerSecond = std::numeric_limits<double>::infinity(); }),
      with([](PrefixLimits& l) { l.acceptBurst = 0.5; }),
      with([](PrefixLimits& l) { l.acceptBurst = std::numeric_limits<double>::infinity(); }),
  };
  for (const PrefixLimits& limits : bad) EXPECT_THROW(PrefixBudget{limits}, std::invalid_argument);
  EXPECT_NO_THROW(PrefixBudget{PrefixLimits{}});
}

}  // namespace
}  // namespace ov::relay
