// The PROXY protocol, version 2 (HAProxy's binary header): a load balancer in front of the relay
// opens each TCP connection with a header that names the client's address. This is its parser,
// free of sockets, and the address ranges (CIDR) that say which peers may send the header.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ov::relay {

// The 12 bytes every version 2 header starts with.
inline constexpr std::uint8_t kProxyV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                       0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
inline constexpr std::size_t kProxyV2HeaderSize = 16;
// The longest address block with its TLVs that is accepted (an IPv6 block is 36 bytes; the rest is
// room for the TLVs a load balancer adds). A header that declares more is refused.
inline constexpr std::size_t kProxyV2MaxLength = 1024;

// The reasons of kInvalid (fixed texts, for a log field or a metric).
namespace proxy_error {
inline constexpr std::string_view kSignature = "bad signature";
inline constexpr std::string_view kVersion = "bad version";
inline constexpr std::string_view kCommand = "bad command";
inline constexpr std::string_view kFamily = "bad address family or protocol";
inline constexpr std::string_view kTooLong = "header too long";
inline constexpr std::string_view kShortAddress = "address block too short";
inline constexpr std::string_view kTlv = "TLV overruns the header";
}  // namespace proxy_error

struct ProxyResult {
  enum class Kind { kNeedMore, kDone, kInvalid } kind = Kind::kNeedMore;
  // kDone: the header's size (16 + its declared length); the connection's own data follows it.
  std::size_t consumed = 0;
  // kDone for PROXY over TCP (INET or INET6, STREAM): the client's address and port, an
  // IPv4-mapped IPv6 address given as IPv4. Otherwise (LOCAL, UNSPEC, UNIX, DGRAM) empty: the
  // caller keeps the socket's own peer.
  std::optional<boost::asio::ip::tcp::endpoint> source;
  std::string_view error;  // kInvalid: one of proxy_error
};

// Reads a header from the first bytes a connection received. kNeedMore until the 16 fixed bytes
// and the declared length are all there; but a wrong signature, version or command, a length over
// kProxyV2MaxLength or an address block shorter than its family needs is kInvalid as soon as the
// bytes that show it are there. The result for a prefix of the bytes is never contradicted by a
// longer one: kInvalid and kDone stay the same, and kNeedMore turns into one of them.
// After the addresses, the TLVs are walked for their lengths only (none may overrun the header);
// their contents are not interpreted. With LOCAL (a health check of the load balancer itself) the
// block is skipped unread.
ProxyResult ParseProxyV2(std::span<const std::uint8_t> bytes);

// An address range: "10.0.0.0/8", "2001:db8::/32", or a bare address (a range of one).
struct Cidr {
  boost::asio::ip::address network;
  unsigned prefix = 0;
};

// nullopt for anything but an IPv4 or IPv6 literal (no zone "%eth0") with an optional "/" and a
// decimal prefix length within the family's (at most 3 digits). A range with an address bit set
// after the prefix ("10.1.0.0/8") is refused rather than widened, as it is most likely a typo in a
// flag. An IPv4-mapped IPv6 range of /96 or longer is taken as the IPv4 range it maps.
std::optional<Cidr> ParseCidr(std::string_view text);

// Whether `address` lies in `range`. An IPv4-mapped IPv6 address is compared as IPv4; an IPv4
// address is in an IPv6 range when its mapped form is ("::/0" holds every address).
bool CidrContains(const Cidr& range, const boost::asio::ip::address& address);

}  // namespace ov::relay
