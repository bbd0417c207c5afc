#include "relay/proxy_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ov::relay {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = ProxyResult::Kind;

void Append(Bytes& out, std::initializer_list<int> values) {
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
}
void Append16(Bytes& out, std::size_t v) { Append(out, {int(v >> 8), int(v & 0xFF)}); }

// A header as a load balancer writes it: the signature, version and command, family and
// protocol, the length (the body's own unless `length` is given), the body.
Bytes Header(int versionCommand, int familyProtocol, const Bytes& body, int length = -1) {
  Bytes out = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
  Append(out, {versionCommand, familyProtocol});
  Append16(out, length < 0 ? body.size() : static_cast<std::size_t>(length));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes Inet(std::initializer_list<int> source, int sourcePort) {
  Bytes body;
  Append(body, source);
  Append(body, {198, 51, 100, 7});
  Append16(body, static_cast<std::size_t>(sourcePort));
  Append16(body, 443);
  return body;
}

Bytes Inet6(std::initializer_list<int> source, int sourcePort) {
  Bytes body;
  Append(body, source);
  Append(body, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x99});
  Append16(body, static_cast<std::size_t>(sourcePort));
  Append16(body, 443);
  return body;
}

Bytes Tlv(int type, const Bytes& value) {
  Bytes out;
  Append(out, {type});
  Append16(out, value.size());
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string Show(const ProxyResult& r) {
  std::string s = r.kind == Kind::kDone ? "done" : r.kind == Kind::kNeedMore ? "more" : "invalid";
  s += " consumed=" + std::to_string(r.consumed);
  if (r.source)
    s += " source=" + r.source->address().to_string() + ":" + std::to_string(r.source->port());
  if (!r.error.empty()) s += " error=" + std::string(r.error);
  return s;
}

TEST(ProxyV2, HeadersAndEveryPrefixOfThem) {
  const Bytes mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 203, 0, 113, 9};
  const Bytes tlvs = Join({Tlv(0x01, {'h', '2'}), Tlv(0x04, Bytes(5, 0)), Tlv(0xE0, {})});
  struct Case {
    const char* name;
    Bytes bytes;
    std::size_t decided;  // the shortest prefix that gets the full input's result
    std::string want;     // Show() of the full input's result
  };
  const std::vector<Case> cases = {
      {"tcp4", Header(0x21, 0x11, Inet({192, 0, 2, 1}, 51234)), 28,
       "done consumed=28 source=192.0.2.1:51234"},
      {"tcp4 then data", Join({Header(0x21, 0x11, Inet({192, 0, 2, 1}, 1)), {'G', 'E', 'T'}}), 28,
       "done consumed=28 source=192.0.2.1:1"},
      {"tcp6",
       Header(0x21, 0x21,
              Inet6({0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1}, 40000)),
       52, "done consumed=52 source=2001:db8:1:2::1:40000"},
      {"tcp6 mapped", Header(0x21, 0x21, Join({mapped, Bytes(16, 0), {0x12, 0x34, 0x01, 0xBB}})),
       52, "done consumed=52 source=203.0.113.9:4660"},
      {"tcp4 tlvs", Header(0x21, 0x11, Join({Inet({10, 0, 0, 1}, 80), tlvs})), 16 + 12 + 16,
       "done consumed=44 source=10.0.0.1:80"},
      {"tcp4 longest",
       Header(0x21, 0x11, Join({Inet({10, 0, 0, 2}, 80), Tlv(0x04, Bytes(1009, 0))})), 16 + 1024,
       "done consumed=1040 source=10.0.0.2:80"},
      {"udp4", Header(0x21, 0x12, Inet({192, 0, 2, 1}, 53)), 28, "done consumed=28"},
      {"udp6",
       Header(0x21, 0x22, Inet6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 53)),
       52, "done consumed=52"},
      {"local", Header(0x20, 0x00, {}), 16, "done consumed=16"},
      {"local ignores its block", Header(0x20, 0xFF, {1, 2, 3, 4, 5}), 21, "done consumed=21"},
      {"unspec", Header(0x21, 0x00, {9, 9, 9, 9, 9, 9, 9}), 23, "done consumed=23"},
      {"unix", Header(0x21, 0x31, Bytes(216, 'a')), 232, "done consumed=232"},
      {"empty", {}, 1, "more consumed=0"},
      {"plain http", {'G', 'E', 'T', ' ', '/'}, 1, "invalid consumed=0 error=bad signature"},
      {"signature's last byte",
       Join({Bytes(kProxyV2Signature, kProxyV2Signature + 11), {0x0B, 0x21}}), 12,
       "invalid consumed=0 error=bad signature"},
      {"version 1", Header(0x11, 0x11, Inet({1, 2, 3, 4}, 1)), 13,
       "invalid consumed=0 error=bad version"},
      {"version 3", Header(0x31, 0x11, Inet({1, 2, 3, 4}, 1)), 13,
       "invalid consumed=0 error=bad version"},
      {"command 2", Header(0x22, 0x11, Inet({1, 2, 3, 4}, 1)), 13,
       "invalid consumed=0 error=bad command"},
      {"family 4", Header(0x21, 0x41, Inet({1, 2, 3, 4}, 1)), 14,
       "invalid consumed=0 error=bad address family or protocol"},
      {"protocol 3", Header(0x21, 0x13, Inet({1, 2, 3, 4}, 1)), 14,
       "invalid consumed=0 error=bad address family or protocol"},
      {"length 1025", Header(0x21, 0x11, Inet({1, 2, 3, 4}, 1), 1025), 16,
       "invalid consumed=0 error=header too long"},
      {"length 65535", Header(0x20, 0x00, {}, 0xFFFF), 16,
       "invalid consumed=0 error=header too long"},
      {"inet in 11", Header(0x21, 0x11, Bytes(11, 0)), 16,
       "invalid consumed=0 error=address block too short"},
      {"inet6 in 35", Header(0x21, 0x21, Bytes(35, 0)), 16,
       "invalid consumed=0 error=address block too short"},
      {"unix in 215", Header(0x21, 0x32, Bytes(215, 0)), 16,
       "invalid consumed=0 error=address block too short"},
      {"tlv overruns",
       Header(0x21, 0x11, Join({Inet({1, 2, 3, 4}, 1), {0x01, 0x00, 0x0A}, Bytes(5, 0)})),
       16 + 12 + 8, "invalid consumed=0 error=TLV overruns the header"},
      {"tlv header cut", Header(0x21, 0x11, Join({Inet({1, 2, 3, 4}, 1), {0x04, 0x00}})), 16 + 14,
       "invalid consumed=0 error=TLV overruns the header"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Show(ParseProxyV2(c.bytes)), c.want) << c.name;
    for (std::size_t k = 0; k <= c.bytes.size(); ++k) {
      const ProxyResult r = ParseProxyV2(std::span(c.bytes.data(), k));
      const std::string want = k < c.decided ? "more consumed=0" : c.want;
      ASSERT_EQ(Show(r), want) << c.name << ", first " << k << " bytes";
    }
  }
}

TEST(Cidr, ParseAndContain) {
  namespace ip = boost::asio::ip;
  struct Case {
    const char* cidr;
    const char* address;
    bool in;
  };
  const Case cases[] = {
      {"10.0.0.0/8", "10.255.1.2", true},
      {"10.0.0.0/8", "11.0.0.1", false},
      {"10.0.0.0/8", "::ffff:10.1.2.3", true},
      {"10.0.0.0/8", "2001:db8::1", false},
      {"172.16.0.0/12", "172.31.255.255", true},
      {"172.16.0.0/12", "172.32.0.0", false},
      {"192.0.2.7", "192.0.2.7", true},
      {"192.0.2.7", "192.0.2.6", false},
      {"0.0.0.0/0", "203.0.113.1", true},
      {"0.0.0.0/0", "2001:db8::1", false},
      {"2001:db8::/32", "2001:db8:ffff::1", true},
      {"2001:db8::/32", "2001:db9::", false},
      {"2001:db8::/32", "10.0.0.1", false},
      {"2001:db8:8000::/33", "2001:db8:8000::1", true},
      {"2001:db8:8000::/33", "2001:db8:7fff::1", false},
      {"2001:db8::1", "2001:db8::1", true},
      {"2001:db8::1", "2001:db8::2", false},
      {"::/0", "10.0.0.1", true},
      {"::/0", "2001:db8::1", true},
      {"::ffff:10.0.0.0/104", "10.1.1.1", true},
      {"::ffff:10.0.0.0/104", "::ffff:10.1.1.1", true},
      {"::ffff:10.0.0.0/104", "11.1.1.1", false},
      {"::/80", "10.1.1.1", true},  // an IPv6 range holding the whole mapped space
      {"::/96", "10.1.1.1", false},
  };
  for (const Case& c : cases) {
    const auto range = ParseCidr(c.cidr);
    ASSERT_TRUE(range) << c.cidr;
    EXPECT_EQ(CidrContains(*range, ip::make_address(c.address)), c.in)
        << c.cidr << " " << c.address;
  }

  const auto mapped = ParseCidr("::ffff:10.0.0.0/104");
  ASSERT_TRUE(mapped);
  EXPECT_EQ(mapped->network, ip::make_address("10.0.0.0"));
  EXPECT_EQ(mapped->prefix, 8u);
  EXPECT_EQ(ParseCidr("2001:db8::1")->prefix, 128u);

  for (const char* bad :
       {"", "/8", "10.0.0.0/", "10.0.0.0/33", "2001:db8::/129", "10.0.0.0/8/8", "10.1.0.0/8",
        "2001:db8::1/64", "10.0.0.0/+8", "10.0.0.0/ 8", "10.0.0.0/0008", "10.0.0.0/-0",
        "fe80::1%eth0", "fe80::%1/64", "10.0.0", "example.com", "10.0.0.0/8 ", " 10.0.0.0/8"}) {
    EXPECT_FALSE(ParseCidr(bad)) << '"' << bad << '"';
  }
}

}  // namespace
}  // namespace ov::relay
