// Budgets of open connections and of accepts per client address prefix.
//
// An IPv4 address (also when it arrives mapped into IPv6) is one key, the address itself. An IPv6
// address is three keys: its /64, /56 and /48. A connection is accepted only if every key of its
// address has an accept left (a token bucket each) and is below its bound of open connections;
// it then counts under all of them until Close.
//
// Why the wider prefixes have bounds of their own, and such small ones: a subscriber is usually
// given a /56 or a /48, so one client can take any of 256 or 65536 /64s at will. Bounded per /64
// only, one such client could hold 65536 times the per-address budget. The /56 and /48 bounds
// (and their accept rates) are therefore two and four times the per-/64 ones, not 256 or 65536
// times: a household or office with several /64s in use still fits, an attacker with a /48 gets
// four addresses' worth. A /48 network's clients sharing a budget is the price of that.
#pragma once

#include <array>
#include <boost/asio/ip/address.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

namespace ov::relay {

struct PrefixLimits {
  std::size_t perAddress = 1024;  // an IPv4 address or an IPv6 /64
  std::size_t per56 = 2048;
  std::size_t per48 = 4096;
  // Per IPv4 address or /64; a /56 gets twice these, a /48 four times.
  double acceptsPerSecond = 20;
  double acceptBurst = 200;
};

// Why TryOpen refused, for a metric or a log line.
struct Refusal {
  enum class Reason { kRate, kConnections } reason = Reason::kRate;
  unsigned prefixLength = 0;  // 32 (an IPv4 address), 64, 56 or 48
  std::string prefix;         // the key: "192.0.2.1", "2001:db8:1:200::/56"
};

// The keys of an address, narrowest first: {"192.0.2.1"}, or its /64, /56 and /48
// ({"2001:db8:1:2::/64", "2001:db8:1::/56", "2001:db8:1::/48"}).
std::vector<std::string> PrefixKeys(const boost::asio::ip::address& address);

// Safe from any thread: one short internal lock per call, with bounded work in it.
class PrefixBudget {
 public:
  // Throws std::invalid_argument unless every bound is at least 1, the rate is above 0 and the
  // burst at least 1 (a bucket that never fills would keep its entry forever).
  explicit PrefixBudget(PrefixLimits limits = {});

  // Opens a connection from `address` at `nowMs` (monotonic): true, and it counts under every key
  // and takes a token from each, or false with the first key that refused in *why when it is
  // given (keys narrowest first, each its open bound, then its rate). A refusal changes nothing,
  // takes no token and keeps nothing for a key not held before.
  bool TryOpen(const boost::asio::ip::address& address, std::int64_t nowMs, Refusal* why = nullptr);
  // The connection TryOpen accepted has ended. A key with no open connection is forgotten once
  // its bucket would be full again (checked by later calls, a few at a time, and by Prune).
  void Close(const boost::asio::ip::address& address);
  // Forgets up to `most` keys that have no open connection and whose bucket is full at `nowMs`
  // (for a periodic tick; TryOpen and Close do a little of this each).
  void Prune(std::int64_t nowMs, std::size_t most = 1024);

  // Keys held: those with open connections and those whose bucket is still refilling.
  std::size_t Tracked() const;

 private:
  // A key: the address bytes masked to the prefix, IPv4 in the first four.
  struct Key {
    std::array<std::uint8_t, 16> bytes{};
    std::uint8_t prefixLength = 0;
    bool operator==(const Key&) const = default;
  };
  // Keyed by a random seed per budget: the addresses are the clients' choice.
  struct KeyHash {
    std::uint64_t seed = 0;
    std::size_t operator()(const Key& key) const;
  };
  struct Entry {
    std::size_t open = 0;
    double tokens = 0;
    std::int64_t lastMs = 0;  // when tokens was last brought up to date
  };
  // A key that may be forgotten at `dueMs` (its bucket is full then, unless it was used again).
  struct Idle {
    std::int64_t dueMs;
    Key key;
    bool operator>(const Idle& other) const { return dueMs > other.dueMs; }
  };
  struct Level {
    std::size_t bound;
    double perSecond;  // tokens
    double burst;
  };

  // The keys of `address` with their level (0: IPv4 or /64, 1: /56, 2: /48).
  std::size_t KeysOf(const boost::asio::ip::address& address, std::array<Key, 3>& keys) const;
  const Level& LevelOf(const Key& key) const;
  double TokensAt(const Entry& entry, const Level& level, std::int64_t nowMs) const;
  // When the entry's bucket is full again if nothing takes from it.
  std::int64_t FullAt(const Entry& entry, const Level& level) const;
  static std::string Describe(const Key& key);
  void PruneLocked(std::int64_t nowMs, std::size_t most);

  const PrefixLimits limits_;
  Level levels_[3] = {};

  mutable std::mutex mutex_;
  std::unordered_map<Key, Entry, KeyHash> entries_;
  std::priority_queue<Idle, std::vector<Idle>, std::greater<Idle>> idle_;
  std::int64_t latestMs_ = 0;  // the latest time any call was given
};

}  // namespace ov::relay
