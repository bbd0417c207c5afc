#include "relay/proxy_protocol.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace ov::relay {
namespace {

namespace ip = boost::asio::ip;

// Byte 13: the version in the high nibble, the command in the low one.
constexpr unsigned kVersion2 = 0x2;
constexpr unsigned kCommandLocal = 0x0;
constexpr unsigned kCommandProxy = 0x1;
// Byte 14: the address family in the high nibble, the transport protocol in the low one.
constexpr unsigned kFamilyUnspec = 0x0;
constexpr unsigned kFamilyInet = 0x1;
constexpr unsigned kFamilyInet6 = 0x2;
constexpr unsigned kFamilyUnix = 0x3;
constexpr unsigned kProtocolStream = 0x1;
constexpr unsigned kProtocolDgram = 0x2;
// Sizes of the address blocks: source and destination addresses, then (INET, INET6) the two ports.
constexpr std::size_t kInetBlock = 4 + 4 + 2 + 2;
constexpr std::size_t kInet6Block = 16 + 16 + 2 + 2;
constexpr std::size_t kUnixBlock = 108 + 108;
constexpr std::size_t kTlvHeader = 3;  // type, then the length in two bytes (big-endian)

ProxyResult Invalid(std::string_view why) {
  ProxyResult result;
  result.kind = ProxyResult::Kind::kInvalid;
  result.error = why;
  return result;
}

std::size_t BlockSize(unsigned family) {
  switch (family) {
    case kFamilyInet:
      return kInetBlock;
    case kFamilyInet6:
      return kInet6Block;
    case kFamilyUnix:
      return kUnixBlock;
    default:
      return 0;
  }
}

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

ip::address Unmapped(const ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return ip::make_address_v4(ip::v4_mapped, address.to_v6());
  }
  return address;
}

// Whether the first `prefix` bits of a and b agree.
bool SamePrefix(const std::uint8_t* a, const std::uint8_t* b, unsigned prefix) {
  const unsigned whole = prefix / 8;
  if (std::memcmp(a, b, whole) != 0) return false;
  const unsigned rest = prefix % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xFF00u >> rest);
  return ((a[whole] ^ b[whole]) & mask) == 0;
}

// Whether every bit after the first `prefix` is zero.
bool HostBitsClear(const std::uint8_t* bytes, std::size_t size, unsigned prefix) {
  for (std::size_t bit = prefix; bit < size * 8; ++bit) {
    if (bytes[bit / 8] & (0x80u >> (bit % 8))) return false;
  }
  return true;
}

}  // namespace

ProxyResult ParseProxyV2(std::span<const std::uint8_t> bytes) {
  const std::size_t n = bytes.size();
  if (n == 0) return {};
  const std::size_t signature = std::min(n, sizeof kProxyV2Signature);
  if (std::memcmp(bytes.data(), kProxyV2Signature, signature) != 0) {
    return Invalid(proxy_error::kSignature);
  }
  if (n < 13) return {};
  if ((bytes[12] >> 4) != kVersion2) return Invalid(proxy_error::kVersion);
  const unsigned command = bytes[12] & 0xFu;
  if (command != kCommandLocal && command != kCommandProxy) return Invalid(proxy_error::kCommand);
  if (n < 14) return {};
  // LOCAL: the receiver uses the connection's own endpoints and ignores the family.
  const bool proxied = command == kCommandProxy;
  const unsigned family = bytes[13] >> 4;
  const unsigned protocol = bytes[13] & 0xFu;
  if (proxied && (family > kFamilyUnix || protocol > kProtocolDgram)) {
    return Invalid(proxy_error::kFamily);
  }
  if (n < kProxyV2HeaderSize) return {};
  const std::size_t length = Be16(&bytes[14]);
  if (length > kProxyV2MaxLength) return Invalid(proxy_error::kTooLong);
  const std::size_t block = proxied ? BlockSize(family) : 0;
  if (length < block) return Invalid(proxy_error::kShortAddress);
  if (n < kProxyV2HeaderSize + length) return {};

  ProxyResult result;
  result.kind = ProxyResult::Kind::kDone;
  result.consumed = kProxyV2HeaderSize + length;
  if (!proxied || family == kFamilyUnspec) return result;

  const std::uint8_t* body = bytes.data() + kProxyV2HeaderSize;
  for (std::size_t at = block; at < length;) {
    if (length - at < kTlvHeader) return Invalid(proxy_error::kTlv);
    const std::size_t value = Be16(body + at + 1);
    if (value > length - at - kTlvHeader) return Invalid(proxy_error::kTlv);
    at += kTlvHeader + value;
  }

  if (protocol != kProtocolStream) return result;
  if (family == kFamilyInet) {
    ip::address_v4::bytes_type address;
    std::memcpy(address.data(), body, address.size());
    result.source.emplace(ip::address_v4(address), Be16(body + 8));
  } else if (family == kFamilyInet6) {
    ip::address_v6::bytes_type address;
    std::memcpy(address.data(), body, address.size());
    result.source.emplace(Unmapped(ip::address_v6(address)), Be16(body + 32));
  }
  return result;
}

std::optional<Cidr> ParseCidr(std::string_view text) {
  const std::size_t slash = text.find('/');
  const std::string_view host = text.substr(0, slash);
  if (host.empty() || host.find('%') != std::string_view::npos) return std::nullopt;
  boost::system::error_code ec;
  ip::address address = ip::make_address(std::string(host), ec);
  if (ec) return std::nullopt;
  const unsigned bits = address.is_v4() ? 32 : 128;
  unsigned prefix = bits;
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return std::nullopt;
    prefix = 0;
    for (const char ch : digits) {
      if (ch < '0' || ch > '9') return std::nullopt;
      prefix = prefix * 10 + static_cast<unsigned>(ch - '0');
    }
    if (prefix > bits) return std::nullopt;
  }
  if (address.is_v4()) {
    const auto b = address.to_v4().to_bytes();
    if (!HostBitsClear(b.data(), b.size(), prefix)) return std::nullopt;
  } else {
    const auto b = address.to_v6().to_bytes();
    if (!HostBitsClear(b.data(), b.size(), prefix)) return std::nullopt;
    if (address.to_v6().is_v4_mapped() && prefix >= 96) {
      return Cidr{Unmapped(address), prefix - 96};
    }
  }
  return Cidr{address, prefix};
}

bool CidrContains(const Cidr& range, const ip::address& address) {
  const ip::address plain = Unmapped(address);
  if (range.network.is_v4()) {
    if (!plain.is_v4()) return false;
    const auto a = range.network.to_v4().to_bytes();
    const auto b = plain.to_v4().to_bytes();
    return SamePrefix(a.data(), b.data(), std::min(range.prefix, 32u));
  }
  const ip::address_v6 v6 =
      plain.is_v4() ? ip::make_address_v6(ip::v4_mapped, plain.to_v4()) : plain.to_v6();
  const auto a = range.network.to_v6().to_bytes();
  const auto b = v6.to_bytes();
  return SamePrefix(a.data(), b.data(), std::min(range.prefix, 128u));
}

}  // namespace ov::relay
