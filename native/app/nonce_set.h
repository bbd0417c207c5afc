// The host's set of viewer nonces seen since its last registration, hashed with 64-bit FNV-1a.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

namespace ov {

inline constexpr std::uint64_t kFnv1aOffsetBasis = 0xcbf29ce484222325ull;
inline constexpr std::uint64_t kFnv1aPrime = 0x100000001b3ull;

constexpr std::uint64_t Fnv1a64(std::string_view text) noexcept {
  std::uint64_t hash = kFnv1aOffsetBasis;
  for (const char ch : text) {
    hash ^= static_cast<std::uint8_t>(ch);
    hash *= kFnv1aPrime;
  }
  return hash;
}

struct Fnv1aHash {
  std::size_t operator()(const std::string& text) const noexcept {
    return static_cast<std::size_t>(Fnv1a64(text));
  }
};

using NonceSet = std::unordered_set<std::string, Fnv1aHash>;

// At most this many nonces are remembered; a host that has seen them all refuses further requests
// until it registers again.
inline constexpr std::size_t kMaxSeenNonces = 256;

}  // namespace ov
