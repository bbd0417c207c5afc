// The well-behaved pairing road for the relay's tests: the two registrations, a host registered
// and checked, and a viewer brought through connectRequest, the challenge, the response and the
// acceptance to "connected", with every message checked on the way (GoogleTest expectations).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "base/json_codec.h"
#include "relay/test_client.h"

namespace ov::relay::testing {

inline Json HostRegister(const std::string& id = "123456789") {
  return {{"type", "register"}, {"role", "host"}, {"protocol", 3}, {"sessionId", id},
          {"build", "0.3.9"}};
}
inline Json ViewerRegister(const std::string& id = "123456789") {
  return {{"type", "register"}, {"role", "viewer"}, {"protocol", 3}, {"sessionId", id},
          {"password", "p3:opaque-to-the-relay"}, {"build", "0.3.9"}};
}

struct Pair {
  std::unique_ptr<WsClient> host;
  std::unique_ptr<WsClient> viewer;
  std::string requestId;
};

// A host registered under `id` (TLS when `ca` names the relay's certificate).
inline std::unique_ptr<WsClient> RegisteredHost(std::uint16_t port, const std::string& ca = {},
                                                const std::string& id = "123456789") {
  auto host = std::make_unique<WsClient>(port, ca);
  host->SendJson(HostRegister(id));
  EXPECT_EQ(host->ReadJson(), Json({{"type", "registered"}, {"protocol", 3}}));
  return host;
}

// A viewer on the relay at `viewerPort` joins the registered host of `p`.
inline void Join(Pair& p, std::uint16_t viewerPort, const std::string& id,
                 const std::string& ca = {}) {
  p.viewer = std::make_unique<WsClient>(viewerPort, ca);
  p.viewer->SendJson(ViewerRegister(id));
  const Json request = p.host->ReadJson();
  EXPECT_EQ(request.at("type"), "connectRequest");
  EXPECT_EQ(request.at("password"), "p3:opaque-to-the-relay");
  p.requestId = request.at("requestId").get<std::string>();
  p.host->SendJson({{"type", "authChallenge"}, {"requestId", p.requestId}, {"message", "hm"},
                    {"confirmation", "hc"}});
  EXPECT_EQ(p.viewer->ReadJson(), Json({{"type", "authChallenge"}, {"requestId", p.requestId},
                                        {"message", "hm"}, {"confirmation", "hc"}}));
  p.viewer->SendJson({{"type", "authResponse"}, {"requestId", p.requestId}, {"confirmation", "vc"}});
  EXPECT_EQ(p.host->ReadJson(), Json({{"type", "authResponse"}, {"requestId", p.requestId},
                                      {"confirmation", "vc"}}));
  p.host->SendJson({{"type", "connectResponse"}, {"requestId", p.requestId}, {"accepted", true}});
  const Json connected = {{"type", "connected"}, {"requestId", p.requestId}};
  EXPECT_EQ(p.host->ReadJson(), connected);
  EXPECT_EQ(p.viewer->ReadJson(), connected);
}

// The whole road, the host on the relay at `hostPort` and the viewer on the one at `viewerPort`
// (a name of its own: `{}` for the certificate of MakePair would also make a port).
inline Pair MakePairAcross(std::uint16_t hostPort, std::uint16_t viewerPort, const std::string& id,
                     const std::string& ca = {}) {
  Pair p;
  p.host = RegisteredHost(hostPort, ca, id);
  Join(p, viewerPort, id, ca);
  return p;
}
// The whole road on one relay.
inline Pair MakePair(std::uint16_t port, const std::string& ca = {},
                     const std::string& id = "123456789") {
  return MakePairAcross(port, port, id, ca);
}

// Message `seq` of a stream: its number in the first 4 bytes, then bytes derived from it.
inline std::string Numbered(std::uint32_t seq, std::size_t size) {
  std::string m(size, '\0');
  std::memcpy(m.data(), &seq, sizeof seq);
  for (std::size_t i = sizeof seq; i < size; ++i) m[i] = static_cast<char>((seq * 31 + i) & 0xff);
  return m;
}

}  // namespace ov::relay::testing
