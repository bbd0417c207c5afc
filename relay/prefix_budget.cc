#include "relay/prefix_budget.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>

namespace ov::relay {
namespace {

namespace ip = boost::asio::ip;

constexpr unsigned kPrefixLengths[3] = {64, 56, 48};
// Work done on the forgetting of idle keys by each TryOpen and Close.
constexpr std::size_t kPrunePerOpen = 8;
constexpr std::size_t kPrunePerClose = 4;
// Absorbs rounding in the bucket arithmetic (tokens are whole accepts and their fractions).
constexpr double kFullSlack = 1e-6;

// The address as IPv4 if it is one or is mapped into IPv6.
bool AsV4(const ip::address& address, ip::address_v4& out) {
  if (address.is_v4()) {
    out = address.to_v4();
    return true;
  }
  if (address.to_v6().is_v4_mapped()) {
    out = ip::make_address_v4(ip::v4_mapped, address.to_v6());
    return true;
  }
  return false;
}

std::uint64_t Mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

}  // namespace

std::vector<std::string> PrefixKeys(const ip::address& address) {
  ip::address_v4 v4;
  if (AsV4(address, v4)) return {v4.to_string()};
  std::vector<std::string> keys;
  for (const unsigned length : kPrefixLengths) {
    ip::address_v6::bytes_type bytes = address.to_v6().to_bytes();
    std::fill(bytes.begin() + length / 8, bytes.end(), 0);
    keys.push_back(ip::address_v6(bytes).to_string() + "/" + std::to_string(length));
  }
  return keys;
}

std::size_t PrefixBudget::KeyHash::operator()(const Key& key) const {
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  std::memcpy(&a, key.bytes.data(), 8);
  std::memcpy(&b, key.bytes.data() + 8, 8);
  return static_cast<std::size_t>(Mix(Mix(a ^ seed) ^ b ^ key.prefixLength));
}

PrefixBudget::PrefixBudget(PrefixLimits limits)
    : limits_(limits),
      entries_(16,
               KeyHash{(std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}()}) {
  if (limits_.perAddress < 1 || limits_.per56 < 1 || limits_.per48 < 1) {
    throw std::invalid_argument("prefix budget: every connection bound must be at least 1");
  }
  if (!(limits_.acceptsPerSecond > 0) || !std::isfinite(limits_.acceptsPerSecond) ||
      !(limits_.acceptBurst >= 1) || !std::isfinite(limits_.acceptBurst)) {
    throw std::invalid_argument(
        "prefix budget: the accept rate must be above 0 and the burst at least 1");
  }
  levels_[0] = {limits_.perAddress, limits_.acceptsPerSecond, limits_.acceptBurst};
  levels_[1] = {limits_.per56, 2 * limits_.acceptsPerSecond, 2 * limits_.acceptBurst};
  levels_[2] = {limits_.per48, 4 * limits_.acceptsPerSecond, 4 * limits_.acceptBurst};
}

std::size_t PrefixBudget::KeysOf(const ip::address& address, std::array<Key, 3>& keys) const {
  ip::address_v4 v4;
  if (AsV4(address, v4)) {
    const auto bytes = v4.to_bytes();
    keys[0] = Key{};
    std::copy(bytes.begin(), bytes.end(), keys[0].bytes.begin());
    keys[0].prefixLength = 32;
    return 1;
  }
  const auto bytes = address.to_v6().to_bytes();
  for (std::size_t i = 0; i < 3; ++i) {
    keys[i] = Key{};
    std::copy(bytes.begin(), bytes.begin() + kPrefixLengths[i] / 8, keys[i].bytes.begin());
    keys[i].prefixLength = static_cast<std::uint8_t>(kPrefixLengths[i]);
  }
  return 3;
}

const PrefixBudget::Level& PrefixBudget::LevelOf(const Key& key) const {
  return levels_[key.prefixLength == 56 ? 1 : key.prefixLength == 48 ? 2 : 0];
}

double PrefixBudget::TokensAt(const Entry& entry, const Level& level, std::int64_t nowMs) const {
  const std::int64_t elapsed = std::max<std::int64_t>(0, nowMs - entry.lastMs);
  return std::min(level.burst,
                  entry.tokens + static_cast<double>(elapsed) * level.perSecond / 1000.0);
}

std::int64_t PrefixBudget::FullAt(const Entry& entry, const Level& level) const {
  const double missing = std::max(0.0, level.burst - entry.tokens);
  return entry.lastMs +
         static_cast<std::int64_t>(std::ceil(missing * 1000.0 / level.perSecond - kFullSlack));
}

bool PrefixBudget::TryOpen(const ip::address& address, std::int64_t nowMs, Refusal* why) {
  std::array<Key, 3> keys;
  const std::size_t count = KeysOf(address, keys);
  std::lock_guard lock(mutex_);
  latestMs_ = std::max(latestMs_, nowMs);
  PruneLocked(nowMs, kPrunePerOpen);

  double tokens[3] = {};
  for (std::size_t i = 0; i < count; ++i) {
    const Level& level = LevelOf(keys[i]);
    const auto it = entries_.find(keys[i]);
    const std::size_t open = it == entries_.end() ? 0 : it->second.open;
    tokens[i] = it == entries_.end() ? level.burst : TokensAt(it->second, level, nowMs);
    const bool full = open >= level.bound;
    if (full || tokens[i] < 1) {
      if (why) {
        why->reason = full ? Refusal::Reason::kConnections : Refusal::Reason::kRate;
        why->prefixLength = keys[i].prefixLength;
        why->prefix = Describe(keys[i]);
      }
      return false;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    Entry& entry = entries_[keys[i]];
    entry.tokens = tokens[i] - 1;
    entry.lastMs = std::max(entry.lastMs, nowMs);
    ++entry.open;
  }
  return true;
}

void PrefixBudget::Close(const ip::address& address) {
  std::array<Key, 3> keys;
  const std::size_t count = KeysOf(address, keys);
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < count; ++i) {
    const auto it = entries_.find(keys[i]);
    if (it == entries_.end() || it->second.open == 0) continue;  // not opened here: ignored
    if (--it->second.open == 0) idle_.push(Idle{FullAt(it->second, LevelOf(keys[i])), keys[i]});
  }
  PruneLocked(latestMs_, kPrunePerClose);
}

void PrefixBudget::Prune(std::int64_t nowMs, std::size_t most) {
  std::lock_guard lock(mutex_);
  latestMs_ = std::max(latestMs_, nowMs);
  PruneLocked(nowMs, most);
}

void PrefixBudget::PruneLocked(std::int64_t nowMs, std::size_t most) {
  for (; most > 0 && !idle_.empty() && idle_.top().dueMs <= nowMs; --most) {
    const Key key = idle_.top().key;
    idle_.pop();
    // The key may have been used since it went idle; then a later entry of idle_ covers it.
    const auto it = entries_.find(key);
    if (it == entries_.end() || it->second.open != 0) continue;
    const Level& level = LevelOf(key);
    if (TokensAt(it->second, level, nowMs) >= level.burst - kFullSlack) {
      entries_.erase(it);
    } else {
      // Not full yet (rounding, or used and closed again): it is looked at again later, so that
      // no idle key is ever left without an entry in idle_.
      idle_.push(Idle{std::max(nowMs + 1, FullAt(it->second, level)), key});
    }
  }
}

std::size_t PrefixBudget::Tracked() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

std::string PrefixBudget::Describe(const Key& key) {
  if (key.prefixLength == 32) {
    ip::address_v4::bytes_type bytes;
    std::copy(key.bytes.begin(), key.bytes.begin() + 4, bytes.begin());
    return ip::address_v4(bytes).to_string();
  }
  return ip::address_v6(key.bytes).to_string() + "/" + std::to_string(key.prefixLength);
}

}  // namespace ov::relay
