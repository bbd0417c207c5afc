#include "update/base64.h"

#include <stdexcept>
#include <utility>

namespace ov {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int SextetValue(char c) noexcept {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> DecodeBase64Strict(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const std::size_t significant = last ? 4 - padding : 4;
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      int value = 0;
      if (j < significant) {
        value = SextetValue(text[i + j]);
        if (value < 0) return std::nullopt;  // also '=' anywhere but the end
      }
      group = (group << 6) | static_cast<std::uint32_t>(value);
    }
    // One '=' leaves 2 unused bits, two leave 4; a canonical encoder writes them as zero.
    if ((padding == 1 && last && (group & 0xff) != 0) ||
        (padding == 2 && last && (group & 0xffff) != 0)) {
      return std::nullopt;
    }
    out.push_back(static_cast<std::uint8_t>(group >> 16));
    if (significant > 2) out.push_back(static_cast<std::uint8_t>(group >> 8));
    if (significant > 3) out.push_back(static_cast<std::uint8_t>(group));
  }
  return out;
}

std::string EncodeBase64(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::string text;
  text.reserve((size + 2) / 3 * 4);
  for (std::size_t i = 0; i < size; i += 3) {
    const std::size_t n = size - i < 3 ? size - i : 3;
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    if (n > 1) group |= std::uint32_t{bytes[i + 1]} << 8;
    if (n > 2) group |= bytes[i + 2];
    text.push_back(kAlphabet[(group >> 18) & 63]);
    text.push_back(kAlphabet[(group >> 12) & 63]);
    text.push_back(n > 1 ? kAlphabet[(group >> 6) & 63] : '=');
    text.push_back(n > 2 ? kAlphabet[group & 63] : '=');
  }
  return text;
}

std::vector<std::uint8_t> DecodeUpdateBase64(std::string_view text) {
  if (text.empty() || text.size() > kUpdateBase64MaxText) {
    throw std::runtime_error("Update verification failed");
  }
  auto bytes = DecodeBase64Strict(text);
  if (!bytes || bytes->size() > kUpdateBase64MaxBytes) {
    throw std::runtime_error("Update verification failed");
  }
  return std::move(*bytes);
}

}  // namespace ov
