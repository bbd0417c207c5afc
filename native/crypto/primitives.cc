// The provider-independent half of the primitives: hex, IDs and passwords, HKDF, comparison.
#include "crypto/primitives.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "base/secure_memory.h"

namespace ov {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int HexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string HexEncode(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::string text(size * 2, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    text[2 * i] = kHexDigits[bytes[i] >> 4];
    text[2 * i + 1] = kHexDigits[bytes[i] & 15];
  }
  return text;
}

bool IsLowerHex(std::string_view text, std::size_t length) noexcept {
  if (text.size() != length) return false;
  for (char c : text) {
    if (HexValue(c) < 0) return false;
  }
  return true;
}

bool HexDecode(std::string_view text, std::uint8_t* out, std::size_t byteCount) noexcept {
  if (byteCount > std::numeric_limits<std::size_t>::max() / 2) return false;
  if (!IsLowerHex(text, byteCount * 2)) return false;
  for (std::size_t i = 0; i < byteCount; ++i) {
    out[i] = static_cast<std::uint8_t>((HexValue(text[2 * i]) << 4) | HexValue(text[2 * i + 1]));
  }
  return true;
}

std::string RandomHex(std::uint64_t byteCount) {
  if (byteCount > 4294967295ULL) throw std::length_error("Random buffer too large");
  if (byteCount > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() / 2) ||
      byteCount > std::numeric_limits<std::size_t>::max() / 2) {
    throw std::length_error("Hex buffer too large");
  }
  const auto count = static_cast<std::size_t>(byteCount);
  SecretBytes random(count);
  if (count > 0) SystemRandom(random.data(), count);
  return HexEncode(random.data(), count);
}

std::optional<std::string> DeviceIdFromDraw(std::uint32_t draw) {
  if (draw >= 3600000000U) return std::nullopt;
  return std::to_string(100000000U + draw % 900000000U);
}

std::string GenerateDeviceId() {
  for (;;) {
    std::uint8_t bytes[4];
    SystemRandom(bytes, sizeof bytes);
    std::uint32_t draw = 0;
    std::memcpy(&draw, bytes, sizeof draw);
    SecureWipe(bytes, sizeof bytes);
    if (auto id = DeviceIdFromDraw(draw)) return *id;
  }
}

bool IsValidDeviceId(std::string_view text) noexcept {
  if (text.size() != kDeviceIdLength || text[0] < '1' || text[0] > '9') return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string NormalizeDeviceIdInput(std::wstring_view typed) {
  std::string digits;
  for (wchar_t c : typed) {
    if (c >= L'0' && c <= L'9') digits.push_back(static_cast<char>(c));
  }
  return digits;
}

std::string FormatDeviceId(std::string_view id) {
  std::string text;
  text.reserve(id.size() + 2);
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (i == 3 || i == 6) text.push_back(' ');
    text.push_back(id[i]);
  }
  return text;
}

std::string SessionPasswordFromBytes(const std::uint8_t (&bytes)[8]) {
  std::string password(kSessionPasswordLength, '\0');
  for (std::size_t i = 0; i < kSessionPasswordLength; ++i) {
    password[i] = kPasswordAlphabet[bytes[i] & 31];
  }
  return password;
}

std::string GenerateSessionPassword() {
  std::uint8_t bytes[8];
  SystemRandom(bytes, sizeof bytes);
  std::string password = SessionPasswordFromBytes(bytes);
  SecureWipe(bytes, sizeof bytes);
  return password;
}

bool IsValidSessionPassword(std::string_view text) noexcept {
  if (text.size() != kSessionPasswordLength) return false;
  for (char c : text) {
    if (kPasswordAlphabet.find(c) == std::string_view::npos) return false;
  }
  return true;
}

std::string NormalizeSessionPassword(std::string_view typed) {
  std::string result;
  result.reserve(typed.size());
  for (char c : typed) {
    switch (c) {
      case '\t': case '\n': case '\v': case '\f': case '\r': case ' ': case '-':
        continue;
      default:
        result.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
  }
  return result;
}

std::string FormatSessionPassword(std::string_view password) {
  if (!IsValidSessionPassword(password)) return {};
  std::string text(password.substr(0, 4));
  text.push_back('-');
  text.append(password.substr(4));
  return text;
}

void HkdfExpandSha256(const std::uint8_t* prk, const void* info, std::size_t infoLength,
                      std::uint8_t* out, std::size_t outLength) {
  if (outLength > 255 * kSha256Size || infoLength > 4096) {
    throw std::length_error("HKDF output too large");
  }
  // Each block is HMAC(PRK, T(i-1) | info | i); the buffer holds one block's input.
  SecretBytes input(kSha256Size + infoLength + 1);
  SecretArray<kSha256Size> block;
  std::size_t produced = 0;
  for (unsigned counter = 1; produced < outLength; ++counter) {
    std::size_t used = 0;
    if (counter > 1) {
      std::memcpy(input.data(), block.data(), kSha256Size);
      used = kSha256Size;
    }
    if (infoLength > 0) {
      std::memcpy(input.data() + used, info, infoLength);
      used += infoLength;
    }
    input.data()[used++] = static_cast<std::uint8_t>(counter);
    HmacSha256(prk, kSha256Size, input.data(), used, block.data());
    const std::size_t take = std::min(kSha256Size, outLength - produced);
    std::memcpy(out + produced, block.data(), take);
    produced += take;
  }
}

bool ConstantTimeEqual(const void* a, const void* b, std::size_t length) noexcept {
  const auto* x = static_cast<const volatile std::uint8_t*>(a);
  const auto* y = static_cast<const volatile std::uint8_t*>(b);
  std::uint8_t diff = 0;
  for (std::size_t i = 0; i < length; ++i) diff = static_cast<std::uint8_t>(diff | (x[i] ^ y[i]));
  return diff == 0;
}

}  // namespace ov
