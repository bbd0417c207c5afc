// Small helpers shared by the crypto tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/primitives.h"

namespace ov::testing {

inline std::vector<std::uint8_t> FromHex(std::string_view hex) {
  std::vector<std::uint8_t> out(hex.size() / 2);
  if (!HexDecode(hex, out.data(), out.size())) throw std::invalid_argument("bad test hex");
  return out;
}

inline std::vector<std::uint8_t> Bytes(std::string_view text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

inline std::string ToHex(const std::vector<std::uint8_t>& bytes) {
  return HexEncode(bytes.data(), bytes.size());
}

}  // namespace ov::testing
