// The provider-independent half of the primitives: hex, IDs and passwords, HKDF, the checks in
// front of ECDSA verification, comparison.
#include "crypto/primitives.h"

#include <algorithm>
#include <array>
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

// ---- ECDSA P-256 front end -----------------------------------------------------------------------
//
// Everything that decides which keys and signatures are acceptable lives here, so that CNG (on
// Windows and under Wine) and BoringSSL never get to disagree: the blob's header, the range and
// curve membership of the point, the range of r and s, and the form of s. Only the arithmetic of
// the verification itself is left to the provider. The values checked are public, so the
// arithmetic below does not need to run in constant time.

namespace {

// A 256-bit number as eight 32-bit limbs, least significant first.
using U256 = std::array<std::uint32_t, 8>;

U256 LoadBigEndian(const std::uint8_t* bytes32) noexcept {
  U256 value{};
  for (std::size_t i = 0; i < 8; ++i) {
    const std::uint8_t* word = bytes32 + 28 - 4 * i;
    value[i] = (std::uint32_t{word[0]} << 24) | (std::uint32_t{word[1]} << 16) |
               (std::uint32_t{word[2]} << 8) | std::uint32_t{word[3]};
  }
  return value;
}

void StoreBigEndian(const U256& value, std::uint8_t* bytes32) noexcept {
  for (std::size_t i = 0; i < 8; ++i) {
    std::uint8_t* word = bytes32 + 28 - 4 * i;
    word[0] = static_cast<std::uint8_t>(value[i] >> 24);
    word[1] = static_cast<std::uint8_t>(value[i] >> 16);
    word[2] = static_cast<std::uint8_t>(value[i] >> 8);
    word[3] = static_cast<std::uint8_t>(value[i]);
  }
}

int Compare(const U256& a, const U256& b) noexcept {
  for (std::size_t i = 8; i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

bool IsZero(const U256& a) noexcept { return Compare(a, U256{}) == 0; }

// a += b; returns the carry out.
std::uint32_t AddInPlace(U256& a, const U256& b) noexcept {
  std::uint64_t carry = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    carry += std::uint64_t{a[i]} + b[i];
    a[i] = static_cast<std::uint32_t>(carry);
    carry >>= 32;
  }
  return static_cast<std::uint32_t>(carry);
}

// a -= b (mod 2^256); returns the borrow out.
std::uint32_t SubtractInPlace(U256& a, const U256& b) noexcept {
  std::uint64_t borrow = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    const std::uint64_t difference = std::uint64_t{a[i]} - b[i] - borrow;
    a[i] = static_cast<std::uint32_t>(difference);
    borrow = (difference >> 32) & 1;
  }
  return static_cast<std::uint32_t>(borrow);
}

// (a + b) mod m for a, b < m.
U256 AddMod(U256 a, const U256& b, const U256& m) noexcept {
  const std::uint32_t carry = AddInPlace(a, b);
  if (carry != 0 || Compare(a, m) >= 0) SubtractInPlace(a, m);
  return a;
}

// (a * b) mod m for a, b < m, by doubling and adding over the bits of b.
U256 MulMod(const U256& a, const U256& b, const U256& m) noexcept {
  U256 result{};
  for (std::size_t bit = 256; bit-- > 0;) {
    result = AddMod(result, result, m);
    if ((b[bit / 32] >> (bit % 32)) & 1) result = AddMod(result, a, m);
  }
  return result;
}

U256 FromHexConstant(std::string_view hex) noexcept {
  std::uint8_t bytes[32] = {};
  HexDecode(hex, bytes, sizeof bytes);
  return LoadBigEndian(bytes);
}

// The P-256 domain parameters (FIPS 186-4, D.1.2.3): field prime, curve constant a = p - 3,
// curve constant b, group order n.
struct P256 {
  U256 p = FromHexConstant("ffffffff00000001000000000000000000000000ffffffffffffffffffffffff");
  U256 a = FromHexConstant("ffffffff00000001000000000000000000000000fffffffffffffffffffffffc");
  U256 b = FromHexConstant("5ac635d8aa3a93e7b3ebbd55769886bc651d06b0cc53b0f63bce3c3e27d2604b");
  U256 n = FromHexConstant("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
  U256 halfN = FromHexConstant("7fffffff800000007fffffffffffffffde737d56d38bcf4279dce5617e3192a8");
};

const P256& Curve() {
  static const P256 curve;
  return curve;
}

std::uint32_t LoadLittleEndian32(const std::uint8_t* p) noexcept {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

}  // namespace

bool IsValidEcdsaP256PublicBlob(const std::uint8_t* blob72) noexcept {
  if (blob72 == nullptr) return false;
  if (LoadLittleEndian32(blob72) != kEcdsaP256PublicMagic || LoadLittleEndian32(blob72 + 4) != 32) {
    return false;
  }
  const P256& c = Curve();
  const U256 x = LoadBigEndian(blob72 + 8);
  const U256 y = LoadBigEndian(blob72 + 40);
  if (Compare(x, c.p) >= 0 || Compare(y, c.p) >= 0) return false;
  // y^2 = (x^2 + a) * x + b. The point at infinity has no affine form, and (0, 0) fails here.
  const U256 left = MulMod(y, y, c.p);
  const U256 right = AddMod(MulMod(AddMod(MulMod(x, x, c.p), c.a, c.p), x, c.p), c.b, c.p);
  return Compare(left, right) == 0;
}

bool VerifyEcdsaP256Sha256(const std::uint8_t* publicKeyBlob72, const void* data, std::size_t size,
                           const std::uint8_t* signature64) {
  if (!IsValidEcdsaP256PublicBlob(publicKeyBlob72)) throw std::runtime_error("signature key");
  if (signature64 == nullptr || (data == nullptr && size != 0)) return false;
  const P256& c = Curve();
  const U256 r = LoadBigEndian(signature64);
  U256 s = LoadBigEndian(signature64 + 32);
  if (IsZero(r) || IsZero(s) || Compare(r, c.n) >= 0 || Compare(s, c.n) >= 0) return false;
  // (r, s) verifies exactly when (r, n - s) does; hand the provider the low form.
  if (Compare(s, c.halfN) > 0) {
    U256 low = c.n;
    SubtractInPlace(low, s);
    s = low;
  }
  std::uint8_t normalised[kEcdsaP256SignatureSize];
  std::memcpy(normalised, signature64, 32);
  StoreBigEndian(s, normalised + 32);
  return detail::ProviderVerifyEcdsaP256Sha256(publicKeyBlob72, data, size, normalised);
}

bool ConstantTimeEqual(const void* a, const void* b, std::size_t length) noexcept {
  const auto* x = static_cast<const volatile std::uint8_t*>(a);
  const auto* y = static_cast<const volatile std::uint8_t*>(b);
  std::uint8_t diff = 0;
  for (std::size_t i = 0; i < length; ++i) diff = static_cast<std::uint8_t>(diff | (x[i] ^ y[i]));
  return diff == 0;
}

}  // namespace ov
