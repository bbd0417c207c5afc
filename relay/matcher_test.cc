#include "relay/matcher.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

namespace ov::relay {
namespace {

const std::string kHostId = "123456789";
const std::string kPairing =
    "p3:0123456789abcdef0123456789abcdef:"
    "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

std::string HostRegister(const std::string& id = kHostId, const std::string& build = "0.3.9") {
  return SerializeMessage(
      {{"type", "register"}, {"role", "host"}, {"protocol", 3}, {"sessionId", id},
       {"build", build}});
}

std::string ViewerRegister(const std::string& target = kHostId) {
  return SerializeMessage({{"type", "register"},
                           {"role", "viewer"},
                           {"protocol", 3},
                           {"sessionId", target},
                           {"password", kPairing},
                           {"build", "0.3.9"}});
}

class MatcherTest : public ::testing::Test {
 protected:
  MatcherTest() { Reset(MatcherConfig{}); }

  void Reset(MatcherConfig config) {
    config_ = config;
    matcher_ = std::make_unique<Matcher>(
        config,
        [this] {
          char id[33];
          std::snprintf(id, sizeof id, "%032x", ++nextId_);
          return std::string(id);
        },
        [this](const std::string& line) { log_ += line + "\n"; });
  }

  Actions Open(ConnId conn, const std::string& address = "10.0.0.1") {
    return matcher_->Open(conn, address, now_);
  }
  Actions Text(ConnId conn, const std::string& text) { return matcher_->Text(conn, text, now_); }

  static std::vector<Json> SentTo(const Actions& actions, ConnId conn) {
    std::vector<Json> out;
    for (const Action& a : actions) {
      if (a.conn == conn && a.kind == Action::Kind::kSendText) out.push_back(ParseMessage(a.text));
    }
    return out;
  }
  static std::optional<std::uint16_t> CloseOf(const Actions& actions, ConnId conn) {
    for (const Action& a : actions) {
      if (a.conn == conn && a.kind == Action::Kind::kClose) return a.closeCode;
    }
    return std::nullopt;
  }
  // The connection got exactly one error with `code` and is closed; nobody else got anything.
  static void ExpectOnlyError(const Actions& actions, ConnId conn, std::string_view code) {
    ASSERT_EQ(actions.size(), 2u);
    const auto sent = SentTo(actions, conn);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], Json({{"type", "error"}, {"code", code}}));
    EXPECT_EQ(CloseOf(actions, conn), 1008);
  }

  // Host 1 registered, viewer 2 paired with it. Returns the request ID.
  std::string Pair(ConnId host = 1, ConnId viewer = 2) {
    Open(host);
    Open(viewer, "10.0.0.2");
    Text(host, HostRegister());
    const Actions request = Text(viewer, ViewerRegister());
    const std::string id = SentTo(request, host).at(0).at("requestId").get<std::string>();
    Text(host, SerializeMessage({{"type", "authChallenge"},
                                 {"requestId", id},
                                 {"message", "aa"},
                                 {"confirmation", "bb"}}));
    Text(viewer,
         SerializeMessage({{"type", "authResponse"}, {"requestId", id}, {"confirmation", "cc"}}));
    Text(host,
         SerializeMessage({{"type", "connectResponse"}, {"requestId", id}, {"accepted", true}}));
    return id;
  }

  MatcherConfig config_;
  std::unique_ptr<Matcher> matcher_;
  unsigned nextId_ = 0xabc000;
  Millis now_ = 1000000;
  std::string log_;
};

TEST_F(MatcherTest, WholePairingRoadForwardsEachStepToTheOtherEnd) {
  EXPECT_TRUE(Open(1).empty());
  EXPECT_TRUE(Open(2, "10.0.0.2").empty());

  Actions a = Text(1, HostRegister());
  ASSERT_EQ(SentTo(a, 1).size(), 1u);
  EXPECT_EQ(SentTo(a, 1)[0], Json({{"type", "registered"}, {"protocol", 3}}));
  EXPECT_EQ(matcher_->Stats().registeredHosts, 1u);

  a = Text(2, ViewerRegister());
  ASSERT_EQ(a.size(), 1u);
  const Json request = SentTo(a, 1).at(0);
  EXPECT_EQ(request.at("type"), "connectRequest");
  EXPECT_EQ(request.at("password"), kPairing);
  const std::string id = request.at("requestId").get<std::string>();
  ASSERT_EQ(id.size(), 32u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(request.size(), 3u);

  // Unknown members are not carried along; the listed ones are.
  a = Text(1, SerializeMessage({{"type", "authChallenge"},
                                {"requestId", id},
                                {"message", "m1"},
                                {"confirmation", "c1"},
                                {"extra", "dropped"}}));
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(SentTo(a, 2).at(0), Json({{"type", "authChallenge"},
                                      {"requestId", id},
                                      {"message", "m1"},
                                      {"confirmation", "c1"}}));
  a = Text(2, SerializeMessage(
                  {{"type", "authResponse"}, {"requestId", id}, {"confirmation", "c2"}}));
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(SentTo(a, 1).at(0),
            Json({{"type", "authResponse"}, {"requestId", id}, {"confirmation", "c2"}}));
  EXPECT_FALSE(matcher_->PartnerOf(1));

  a = Text(1, SerializeMessage(
                  {{"type", "connectResponse"}, {"requestId", id}, {"accepted", true}}));
  const Json connected = {{"type", "connected"}, {"requestId", id}};
  EXPECT_EQ(SentTo(a, 1), std::vector<Json>{connected});
  EXPECT_EQ(SentTo(a, 2), std::vector<Json>{connected});
  EXPECT_EQ(matcher_->PartnerOf(1), 2u);
  EXPECT_EQ(matcher_->PartnerOf(2), 1u);

  Actions none;
  EXPECT_EQ(matcher_->Binary(1, 100, none), 2u);
  EXPECT_EQ(matcher_->Binary(2, kBinaryLimit, none), 1u);
  EXPECT_TRUE(none.empty());
  const MatcherStats s = matcher_->Stats();
  EXPECT_EQ(s.liveSessions, 1u);
  EXPECT_EQ(s.pendingRequests, 0u);
  EXPECT_EQ(s.pairingsTotal, 1u);
  EXPECT_EQ(s.forwardedBytes, 100u + kBinaryLimit);
  // The pairing string is a secret: it is forwarded, never logged.
  EXPECT_EQ(log_.find(kPairing.substr(3, 32)), std::string::npos);
  EXPECT_NE(log_.find("event=paired"), std::string::npos);
}

TEST_F(MatcherTest, EachViolationGetsItsErrorAndDisturbsNobodyElse) {
  MatcherConfig config;
  config.minBuild[1] = 3;
  config.minBuild[2] = 9;  // 0.3.9
  Reset(config);
  Open(100);
  Text(100, HostRegister("987654321"));  // a bystander that must never hear anything

  auto registerWith = [](Json patch) {
    Json m = {{"type", "register"}, {"role", "host"}, {"protocol", 3}, {"sessionId", "555555555"},
              {"build", "0.3.9"}};
    for (auto& [k, v] : patch.items()) {
      if (v.is_null()) {
        m.erase(k);
      } else {
        m[k] = v;
      }
    }
    return SerializeMessage(m);
  };
  const struct {
    std::string text;
    std::string_view code;
  } cases[] = {
      {std::string(kTextLimit + 1, ' '), code::kTextTooLarge},
      {"{\"type\":", code::kBadJson},
      {"[1,2]", code::kBadJson},
      {"{\"type\":\"register\"} x", code::kBadJson},
      {"{\"a\":{\"b\":{\"c\":{\"d\":{\"e\":1}}}}}", code::kBadJson},
      {"{\"type\":7}", code::kBadMessage},
      {"{\"role\":\"host\"}", code::kBadMessage},
      {"{\"type\":\"hello\"}", code::kUnknownType},
      {"{\"type\":\"connected\"}", code::kUnknownType},
      {"{\"type\":\"authResponse\",\"requestId\":\"x\"}", code::kUnexpectedMessage},
      {registerWith({{"protocol", 2}}), code::kUpdateRequired},
      {registerWith({{"build", "0.3.8"}}), code::kUpdateRequired},
      {registerWith({{"build", "0.2.99"}}), code::kUpdateRequired},
      {registerWith({{"protocol", 4}}), code::kBadRegister},
      {registerWith({{"protocol", 3.0}}), code::kBadRegister},
      {registerWith({{"protocol", "3"}}), code::kBadRegister},
      {registerWith({{"build", "0.03.9"}}), code::kBadRegister},
      {registerWith({{"build", nullptr}}), code::kBadRegister},
      {registerWith({{"sessionId", "012345678"}}), code::kBadRegister},
      {registerWith({{"sessionId", "12345678"}}), code::kBadRegister},
      {registerWith({{"sessionId", 123456789}}), code::kBadRegister},
      {registerWith({{"role", "admin"}}), code::kBadRegister},
      {registerWith({{"role", "viewer"}}), code::kBadRegister},  // no pairing string
      {registerWith({{"role", "viewer"}, {"password", std::string(257, 'a')}}),
       code::kBadRegister},
      {registerWith({{"role", "viewer"}, {"password", "x"}, {"sessionId", "111111111"}}),
       code::kUnknownHost},
  };
  ConnId conn = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    Open(conn);
    ExpectOnlyError(Text(conn, c.text), conn, c.code);
    // Refused connections ignore whatever else arrives until the shell reports them closed.
    EXPECT_TRUE(Text(conn, HostRegister("555555555")).empty());
    EXPECT_TRUE(matcher_->Closed(conn).empty());
    ++conn;
  }
  EXPECT_EQ(matcher_->Stats().registeredHosts, 1u);
  EXPECT_EQ(matcher_->Stats().refusals.at(std::string(code::kBadRegister)), 11u);
  // A build at the minimum or newer is accepted.
  Open(conn);
  EXPECT_EQ(SentTo(Text(conn, registerWith({{"build", "0.4.0"}})), conn).at(0).at("type"),
            "registered");
}

TEST_F(MatcherTest, SecondRegisterAndTakenIdAreRefusedWithoutTouchingTheFirstHost) {
  Open(1);
  Text(1, HostRegister());
  ExpectOnlyError(Text(1, HostRegister("222222222")), 1, code::kAlreadyRegistered);
  matcher_->Closed(1);

  Open(2);
  Open(3);
  Text(2, HostRegister());
  ExpectOnlyError(Text(3, HostRegister()), 3, code::kIdInUse);
  // The first holder of the ID still receives viewers.
  Open(4);
  EXPECT_EQ(SentTo(Text(4, ViewerRegister()), 2).at(0).at("type"), "connectRequest");
}

TEST_F(MatcherTest, BinaryBeforePairingIsRefused) {
  Open(1);
  Open(2);
  Actions a;
  EXPECT_FALSE(matcher_->Binary(1, 10, a));
  ExpectOnlyError(a, 1, code::kNotPaired);

  Text(2, HostRegister());
  Open(3);
  Text(3, ViewerRegister());
  a.clear();
  EXPECT_FALSE(matcher_->Binary(3, 10, a));  // a viewer in the middle of pairing
  EXPECT_EQ(SentTo(a, 3).at(0).at("code"), code::kNotPaired);
  // The host is told its viewer left and stays registered.
  EXPECT_EQ(SentTo(a, 2).at(0).at("type"), "peerDisconnected");
  EXPECT_FALSE(CloseOf(a, 2));

  a = matcher_->Oversize(2, false);
  ExpectOnlyError(a, 2, code::kBinaryTooLarge);
}

// At a binary message's first header the matcher decides what Binary would for the whole
// message, without counting it: read for a partner, skipped once a session ended or for a
// connection already closing, refused with notPaired otherwise.
TEST_F(MatcherTest, BinaryHeaderDecidesAsTheWholeMessageWould) {
  Actions a;
  EXPECT_EQ(matcher_->BinaryHeader(99, a), BinaryStart::kSkip);  // no such connection
  EXPECT_TRUE(a.empty());
  Open(5);
  EXPECT_EQ(matcher_->BinaryHeader(5, a), BinaryStart::kRefused);
  ExpectOnlyError(a, 5, code::kNotPaired);
  a.clear();
  EXPECT_EQ(matcher_->BinaryHeader(5, a), BinaryStart::kSkip);  // already closing
  EXPECT_TRUE(a.empty());

  Pair(1, 2);
  EXPECT_EQ(matcher_->BinaryHeader(1, a), BinaryStart::kRead);
  EXPECT_EQ(matcher_->BinaryHeader(2, a), BinaryStart::kRead);
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(matcher_->Stats().forwardedMessages, 0u) << "counted once whole, not at the header";
  matcher_->Closed(2);
  EXPECT_EQ(matcher_->BinaryHeader(1, a), BinaryStart::kSkip);  // in flight as the session ended
  EXPECT_TRUE(a.empty());

  // The host's next request has begun: its binary is early again, and so is its new viewer's.
  Open(3);
  Text(3, ViewerRegister());
  EXPECT_EQ(matcher_->BinaryHeader(3, a), BinaryStart::kRefused);
  EXPECT_EQ(SentTo(a, 3).at(0).at("code"), code::kNotPaired);
  EXPECT_EQ(SentTo(a, 1).at(0).at("type"), "peerDisconnected");
  a.clear();
  Open(4);
  Text(4, ViewerRegister());
  EXPECT_EQ(matcher_->BinaryHeader(1, a), BinaryStart::kRefused);
  EXPECT_EQ(SentTo(a, 1).at(0).at("code"), code::kNotPaired);
}

TEST_F(MatcherTest, ViewersRacingForOneHostGetOneRequestAndBusyForTheRest) {
  Open(1);
  Text(1, HostRegister());
  std::string requestId;
  for (ConnId v = 10; v < 20; ++v) {
    Open(v, "10.0.1." + std::to_string(v));
    const Actions a = Text(v, ViewerRegister());
    if (v == 10) {
      requestId = SentTo(a, 1).at(0).at("requestId").get<std::string>();
    } else {
      ExpectOnlyError(a, v, code::kHostBusy);
    }
  }
  // The host refuses the winner: the winner is told and let go; the host stays free for the next.
  Actions a = Text(1, SerializeMessage({{"type", "connectResponse"},
                                        {"requestId", requestId},
                                        {"accepted", false}}));
  ExpectOnlyError(a, 10, code::kRefused);
  Open(30);
  a = Text(30, ViewerRegister());
  const std::string next = SentTo(a, 1).at(0).at("requestId").get<std::string>();
  EXPECT_NE(next, requestId);
  // A late reply to the refused request is stale and dropped quietly.
  EXPECT_TRUE(Text(1, SerializeMessage({{"type", "authChallenge"},
                                        {"requestId", requestId},
                                        {"message", "m"},
                                        {"confirmation", "c"}}))
                  .empty());
}

TEST_F(MatcherTest, StepsOutOfOrderAreViolations) {
  Open(1);
  Open(2);
  Text(1, HostRegister());
  const std::string id = SentTo(Text(2, ViewerRegister()), 1).at(0).at("requestId").get<std::string>();
  // Accepting before the viewer's proof went through.
  Actions a = Text(1, SerializeMessage(
                          {{"type", "connectResponse"}, {"requestId", id}, {"accepted", true}}));
  EXPECT_EQ(SentTo(a, 1).at(0).at("code"), code::kUnexpectedMessage);
  EXPECT_EQ(SentTo(a, 2).at(0), Json({{"type", "peerDisconnected"}, {"requestId", id}}));
  EXPECT_EQ(CloseOf(a, 2), 1000);

  // A viewer answering a challenge that never came, or naming another request.
  Open(3);
  Open(4);
  Text(3, HostRegister("333333333"));
  const std::string id2 =
      SentTo(Text(4, ViewerRegister("333333333")), 3).at(0).at("requestId").get<std::string>();
  a = Text(4, SerializeMessage({{"type", "authResponse"}, {"requestId", id2}, {"confirmation", "c"}}));
  EXPECT_EQ(SentTo(a, 4).at(0).at("code"), code::kUnexpectedMessage);
  EXPECT_EQ(SentTo(a, 3).at(0).at("type"), "peerDisconnected");

  // Members of the wrong type.
  Open(5);
  Open(6);
  Text(5, HostRegister("444444444"));
  const std::string id3 =
      SentTo(Text(6, ViewerRegister("444444444")), 5).at(0).at("requestId").get<std::string>();
  a = Text(5, SerializeMessage({{"type", "connectResponse"}, {"requestId", id3}, {"accepted", 1}}));
  EXPECT_EQ(SentTo(a, 5).at(0).at("code"), code::kBadMessage);
}

TEST_F(MatcherTest, DeadlinesForRegisteringAndPairing) {
  Open(1);
  EXPECT_EQ(matcher_->NextDeadline(), now_ + config_.registerTimeout);
  EXPECT_TRUE(matcher_->Tick(now_ + config_.registerTimeout - 1).empty());
  ExpectOnlyError(matcher_->Tick(now_ + config_.registerTimeout), 1, code::kRegisterTimeout);

  Open(2);
  Open(3);
  Text(2, HostRegister());
  Text(3, ViewerRegister());
  EXPECT_EQ(matcher_->NextDeadline(), now_ + config_.pairingTimeout);
  EXPECT_TRUE(matcher_->Tick(now_ + config_.pairingTimeout - 1).empty());
  const Actions a = matcher_->Tick(now_ + config_.pairingTimeout);
  EXPECT_EQ(SentTo(a, 3).at(0).at("code"), code::kPairingTimeout);
  EXPECT_EQ(SentTo(a, 2).at(0).at("type"), "peerDisconnected");
  EXPECT_FALSE(CloseOf(a, 2));
  EXPECT_EQ(matcher_->Stats().registeredHosts, 1u);
  EXPECT_FALSE(matcher_->NextDeadline());

  // A paired session has no deadline.
  Reset(MatcherConfig{});
  Pair();
  EXPECT_FALSE(matcher_->NextDeadline());
  EXPECT_TRUE(matcher_->Tick(now_ + 10 * config_.pairingTimeout).empty());
}

TEST_F(MatcherTest, PerAddressAndTotalLimits) {
  MatcherConfig config;
  config.maxConnectionsPerAddress = 2;
  config.maxConnections = 4;
  config.registrationsPerMinute = 3;
  Reset(config);
  EXPECT_TRUE(Open(1, "10.0.0.1").empty());
  EXPECT_TRUE(Open(2, "10.0.0.1").empty());
  ExpectOnlyError(Open(3, "10.0.0.1"), 3, code::kTooManyConnections);
  matcher_->Closed(3);
  EXPECT_TRUE(Open(4, "10.0.0.2").empty());
  matcher_->Closed(2);
  EXPECT_TRUE(Open(5, "10.0.0.1").empty());
  EXPECT_TRUE(Open(6, "10.0.0.3").empty());
  ExpectOnlyError(Open(7, "10.0.0.4"), 7, code::kServerFull);
  matcher_->Closed(7);

  // Three registrations a minute from one address; the fourth is refused until the oldest ages.
  Reset(config);
  ConnId conn = 10;
  for (int i = 0; i < 3; ++i, ++conn) {
    Open(conn, "10.0.0.9");
    EXPECT_EQ(SentTo(Text(conn, HostRegister(std::to_string(111111111 + i))), conn).at(0).at("type"),
              "registered");
    matcher_->Closed(conn);
    now_ += 1000;
  }
  Open(conn, "10.0.0.9");
  ExpectOnlyError(Text(conn, HostRegister("222222222")), conn, code::kRateLimited);
  matcher_->Closed(conn++);
  Open(conn, "10.0.0.8");  // another address is not affected
  EXPECT_EQ(SentTo(Text(conn, HostRegister("222222222")), conn).at(0).at("type"), "registered");
  now_ += 57001;  // the first registration is now a minute old
  Open(++conn, "10.0.0.9");
  EXPECT_EQ(SentTo(Text(conn, HostRegister("333333333")), conn).at(0).at("type"), "registered");
}

// Failed pairings are counted per viewer prefix and per target ID: an IPv6 client's /64s add up
// in their /56 and /48 (bounds two and four times the per-address one), IPv4 addresses do not,
// and one ID takes only so many failures from anywhere. Each case fails pairings from `failed`
// (each for another host, or all for one), then asks once more from `next`.
TEST_F(MatcherTest, FailedPairingsAreCountedPerPrefixAndPerId) {
  auto v6 = [](int group3, int group4) {
    char key[64];
    std::snprintf(key, sizeof key, "2001:db8:%x:%x::/64", group3, group4);
    return std::string(key);
  };
  auto many = [](int count, const std::function<std::string(int)>& address) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.push_back(address(i));
    return out;
  };
  struct Case {
    const char* what;
    std::vector<std::string> failed;
    bool oneId;  // every failure for the same host, which `next` asks too
    std::string next;
    Millis later;  // between the failures and `next`
    std::string_view expect;
  };
  const Case cases[] = {
      {"one failure of a /64 is under its bound", {v6(1, 0)}, false, v6(1, 0), 0, "request"},
      {"two failures of a /64", {v6(1, 0), v6(1, 0)}, false, v6(1, 0), 0, code::kRateLimited},
      {"three /64s of a /56", many(3, [&](int i) { return v6(1, i); }), false, v6(1, 9), 0,
       "request"},
      {"four /64s of a /56", many(4, [&](int i) { return v6(1, i); }), false, v6(1, 9), 0,
       code::kRateLimited},
      {"a full /56 holds no other /56", many(4, [&](int i) { return v6(1, i); }), false,
       v6(1, 0x100), 0, "request"},
      {"seven /56s of a /48", many(7, [&](int i) { return v6(1, 0x100 * i); }), false,
       v6(1, 0x900), 0, "request"},
      {"eight /56s of a /48", many(8, [&](int i) { return v6(1, 0x100 * i); }), false,
       v6(1, 0x900), 0, code::kRateLimited},
      {"a full /48 holds no other /48", many(8, [&](int i) { return v6(1, 0x100 * i); }), false,
       v6(2, 0), 0, "request"},
      {"the window lets a /48 go", many(8, [&](int i) { return v6(1, 0x100 * i); }), false,
       v6(1, 0x900), 120001, "request"},
      {"IPv4 addresses do not add up", many(8, [](int i) { return "10.9.0." + std::to_string(i); }),
       false, "10.9.0.99", 0, "request"},
      {"five failures of one ID from five addresses",
       many(5, [](int i) { return "10.9.1." + std::to_string(i); }), true, "10.9.2.1", 0,
       code::kRateLimited},
      {"four failures of one ID", many(4, [](int i) { return "10.9.1." + std::to_string(i); }),
       true, "10.9.2.1", 0, "request"},
      {"the window lets an ID go", many(5, [](int i) { return "10.9.1." + std::to_string(i); }),
       true, "10.9.2.1", 120001, "request"},
  };
  for (const Case& c : cases) {
    MatcherConfig config;
    config.registrationsPerMinute = 1000;
    config.requestsPerHostPerMinute = 1000;
    config.failedPairingsPerAddress = 2;
    config.failedPairingsPerId = 5;
    config.failedPairingWindow = 120000;
    Reset(config);
    // Hosts 1..20 with IDs 100000001..100000020; the last one is the one `next` asks.
    for (ConnId h = 1; h <= 20; ++h) {
      Open(h);
      Text(h, HostRegister(std::to_string(100000000 + h)));
    }
    ConnId conn = 100;
    auto ask = [&](const std::string& address, ConnId host) -> std::string {
      const ConnId viewer = ++conn;
      Open(viewer, address);
      const auto toViewer = SentTo(Text(viewer, ViewerRegister(std::to_string(100000000 + host))),
                                   viewer);
      if (!toViewer.empty()) return toViewer[0].at("code").get<std::string>();
      matcher_->Closed(viewer);  // gives up: a failed pairing
      return "request";
    };
    for (std::size_t i = 0; i < c.failed.size(); ++i) {
      ASSERT_EQ(ask(c.failed[i], c.oneId ? 20 : static_cast<ConnId>(1 + i % 19)), "request")
          << c.what << ": failure " << i;
    }
    now_ += c.later;
    matcher_->Tick(now_);
    EXPECT_EQ(ask(c.next, 20), c.expect) << c.what;
  }
}

// Guessing is held to what the host itself takes: at most its own attempt limit of requests a
// minute reaches it, an address whose pairings keep failing waits out its window, and a host's
// replies to requests that have ended are tolerated only as far as its requests explain them.
TEST_F(MatcherTest, GuessesAreHeldToWhatTheHostTakes) {
  MatcherConfig config;
  config.registrationsPerMinute = 1000;
  config.failedPairingsPerAddress = 3;
  config.failedPairingWindow = 120000;
  Reset(config);
  Open(1);
  Text(1, HostRegister());
  ConnId conn = 100;
  // A viewer asks host `id` from `address`: the type of what the host was sent, or the error.
  auto ask = [&](const std::string& address, const std::string& id = kHostId) -> std::string {
    const ConnId viewer = ++conn;
    Open(viewer, address);
    const Actions actions = Text(viewer, ViewerRegister(id));
    const auto toViewer = SentTo(actions, viewer);
    if (!toViewer.empty()) return toViewer[0].at("code").get<std::string>();
    matcher_->Closed(viewer);  // the viewer gives up: a failed pairing of its address
    return "request";
  };
  for (int i = 0; i < 6; ++i) EXPECT_EQ(ask("10.1.0." + std::to_string(i)), "request") << i;
  EXPECT_EQ(ask("10.1.0.99"), code::kRateLimited) << "a seventh request within the minute";
  now_ += 60001;
  EXPECT_EQ(ask("10.1.0.99"), "request");

  // Failed pairings per address, across hosts.
  for (ConnId i = 0; i < 3; ++i) {
    const std::string id = std::to_string(211111111 + i);
    Open(10 + i);
    Text(10 + i, HostRegister(id));
    EXPECT_EQ(ask("10.2.0.1", id), "request");
  }
  Open(20);
  Text(20, HostRegister("299999999"));
  EXPECT_EQ(ask("10.2.0.1", "299999999"), code::kRateLimited) << "three failures from there";
  EXPECT_EQ(ask("10.2.0.2", "299999999"), "request") << "another address is not held";
  now_ += 120001;
  EXPECT_EQ(ask("10.2.0.1", "299999999"), "request") << "the window has passed";

  // Stale replies: two for each request sent, at most four in reserve.
  Open(30);
  Text(30, HostRegister("300000001"));
  const std::string stale = SerializeMessage({{"type", "authChallenge"},
                                              {"requestId", std::string(32, '0')},
                                              {"message", "aa"},
                                              {"confirmation", "bb"}});
  EXPECT_TRUE(Text(30, stale).empty());
  EXPECT_TRUE(Text(30, stale).empty());
  ExpectOnlyError(Text(30, stale), 30, code::kUnexpectedMessage);
  Open(31);
  Text(31, HostRegister("300000002"));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ask("10.3.0." + std::to_string(i), "300000002"), "request");
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(Text(31, stale).empty()) << i;
  ExpectOnlyError(Text(31, stale), 31, code::kUnexpectedMessage);
}

TEST_F(MatcherTest, PeerVanishingMidSession) {
  // The viewer goes: the host hears of it and stays registered; what it still sends is dropped.
  const std::string id = Pair(1, 2);
  Actions a = matcher_->Closed(2);
  EXPECT_EQ(SentTo(a, 1), std::vector<Json>{Json({{"type", "peerDisconnected"}, {"requestId", id}})});
  EXPECT_FALSE(CloseOf(a, 1));
  EXPECT_EQ(matcher_->Stats().liveSessions, 0u);
  a.clear();
  EXPECT_FALSE(matcher_->Binary(1, 10, a));
  EXPECT_TRUE(a.empty());
  Open(3);
  const Json request = SentTo(Text(3, ViewerRegister()), 1).at(0);
  EXPECT_EQ(request.at("type"), "connectRequest");

  // The host's next session forwards between the new ends only.
  const std::string next = request.at("requestId").get<std::string>();
  Text(1, SerializeMessage({{"type", "authChallenge"}, {"requestId", next}, {"message", "aa"}, {"confirmation", "bb"}}));
  Text(3, SerializeMessage({{"type", "authResponse"}, {"requestId", next}, {"confirmation", "cc"}}));
  Text(1, SerializeMessage({{"type", "connectResponse"}, {"requestId", next}, {"accepted", true}}));
  a.clear();
  EXPECT_EQ(matcher_->Binary(1, 10, a), std::optional<ConnId>(3));
  EXPECT_EQ(matcher_->Binary(3, 10, a), std::optional<ConnId>(1));
  EXPECT_EQ(matcher_->PartnerOf(3), std::optional<ConnId>(1));
  EXPECT_TRUE(a.empty());

  // The host goes: the viewer is told and closed; the ID is free again.
  Reset(MatcherConfig{});
  const std::string id2 = Pair(1, 2);
  a = matcher_->Closed(1);
  EXPECT_EQ(SentTo(a, 2), std::vector<Json>{Json({{"type", "peerDisconnected"}, {"requestId", id2}})});
  EXPECT_EQ(CloseOf(a, 2), 1000);
  EXPECT_TRUE(matcher_->Closed(2).empty());
  EXPECT_EQ(matcher_->Stats().connections, 0u);
  EXPECT_EQ(matcher_->Stats().registeredHosts, 0u);
  Open(5);
  EXPECT_EQ(SentTo(Text(5, HostRegister()), 5).at(0).at("type"), "registered");
}

// Routes let the shell forward a paired session's messages without asking. They must name the
// partner before either end hears "connected", and be withdrawn from both ends before the end
// that stays hears "peerDisconnected", however the session ends.
TEST_F(MatcherTest, RoutesFollowThePairingAndEveryWayOfEndingIt) {
  auto indexOf = [](const Actions& actions, Action::Kind kind, ConnId conn) {
    for (std::size_t i = 0; i < actions.size(); ++i) {
      if (actions[i].kind == kind && actions[i].conn == conn) return static_cast<int>(i);
    }
    return -1;
  };
  struct Ending {
    const char* name;
    ConnId stays;  // the end that is told; 0: none (both go)
    std::function<Actions(Matcher&)> end;
  };
  const std::vector<Ending> endings = {
      {"viewer closes", 1, [](Matcher& m) { return m.Closed(2); }},
      {"host closes", 2, [](Matcher& m) { return m.Closed(1); }},
      {"host breaks the protocol", 2,
       [](Matcher& m) { return m.Text(1, "{\"type\":\"register\"}", 0); }},
      {"viewer sends too much", 1, [](Matcher& m) { return m.Oversize(2, false); }},
  };
  for (const Ending& ending : endings) {
    SCOPED_TRACE(ending.name);
    Reset(MatcherConfig{});
    Open(1);
    Open(2, "10.0.0.2");
    Text(1, HostRegister());
    const std::string id =
        SentTo(Text(2, ViewerRegister()), 1).at(0).at("requestId").get<std::string>();
    Text(1, SerializeMessage(
                {{"type", "authChallenge"}, {"requestId", id}, {"message", "a"}, {"confirmation", "b"}}));
    Text(2, SerializeMessage({{"type", "authResponse"}, {"requestId", id}, {"confirmation", "c"}}));
    const Actions paired = Text(
        1, SerializeMessage({{"type", "connectResponse"}, {"requestId", id}, {"accepted", true}}));
    for (const auto& [conn, partner] : {std::pair<ConnId, ConnId>{1, 2}, {2, 1}}) {
      const int route = indexOf(paired, Action::Kind::kRoute, conn);
      ASSERT_GE(route, 0);
      EXPECT_EQ(paired[static_cast<std::size_t>(route)].partner, partner);
      EXPECT_LT(route, indexOf(paired, Action::Kind::kSendText, conn));
    }

    const Actions ended = ending.end(*matcher_);
    for (const ConnId conn : {ConnId{1}, ConnId{2}}) {
      const int route = indexOf(ended, Action::Kind::kRoute, conn);
      ASSERT_GE(route, 0) << conn;
      EXPECT_EQ(ended[static_cast<std::size_t>(route)].partner, 0u);
      if (conn == ending.stays) {
        EXPECT_LT(route, indexOf(ended, Action::Kind::kSendText, conn));
        EXPECT_EQ(SentTo(ended, conn).at(0).at("type"), "peerDisconnected");
      }
    }
    EXPECT_FALSE(matcher_->PartnerOf(1));
    EXPECT_FALSE(matcher_->PartnerOf(2));
    // A route is emitted only when a live session starts or ends.
    const Actions later = matcher_->Closed(1);
    EXPECT_EQ(indexOf(later, Action::Kind::kRoute, 2), -1);
  }
}

TEST(ParseVersionTest, AcceptsOnlyCanonicalThreePartVersions) {
  std::uint32_t v[3];
  ASSERT_TRUE(ParseVersion("0.3.9", v));
  EXPECT_EQ(v[2], 9u);
  ASSERT_TRUE(ParseVersion("65535.0.10", v));
  EXPECT_EQ(v[0], 65535u);
  for (const char* bad : {"", "0.3", "0.3.9.1", "0.03.9", "65536.0.0", "1..2", "1.2.", "a.b.c",
                          "1.2.3 ", "-1.2.3", "123456.1.1", "1.2.3/"}) {
    EXPECT_FALSE(ParseVersion(bad, v)) << bad;
  }
}


// --- fleet ---------------------------------------------------------------------------------------

class FleetMatcherTest : public MatcherTest {
 protected:
  FleetMatcherTest() {
    MatcherConfig config;
    config.fleet = true;
    Reset(config);
  }
  static std::vector<const Action*> Of(const Actions& actions, Action::Kind kind) {
    std::vector<const Action*> out;
    for (const Action& a : actions) {
      if (a.kind == kind) out.push_back(&a);
    }
    return out;
  }
  // Host `conn` registered through a granted claim.
  void Registered(ConnId conn, const std::string& id = kHostId) {
    Open(conn);
    Text(conn, HostRegister(id));
    const Actions a = matcher_->Claimed(conn, id, FleetResult::kOk);
    ASSERT_EQ(SentTo(a, conn).at(0), Json({{"type", "registered"}, {"protocol", 3}}));
  }
};

TEST_F(FleetMatcherTest, AHostIsRegisteredOnlyOnceTheRegistryGrantsItsId) {
  Open(1);
  Actions a = Text(1, HostRegister());
  ASSERT_EQ(a.size(), 2u);  // nothing said to the host yet
  EXPECT_EQ(Of(a, Action::Kind::kRegistration).at(0)->text, "10.0.0.1");
  EXPECT_EQ(Of(a, Action::Kind::kClaim).at(0)->text, kHostId);
  // The same ID on this node while the claim is out: refused here, without asking.
  Open(2);
  a = Text(2, HostRegister());
  EXPECT_TRUE(Of(a, Action::Kind::kClaim).empty());
  EXPECT_EQ(SentTo(a, 2).at(0), Json({{"type", "error"}, {"code", code::kIdInUse}}));
  EXPECT_EQ(CloseOf(a, 2), 1008);
  // A viewer meanwhile does not find it here.
  Open(3);
  EXPECT_EQ(Of(Text(3, ViewerRegister()), Action::Kind::kLookup).size(), 1u);
  a = matcher_->Claimed(1, kHostId, FleetResult::kOk);
  EXPECT_EQ(SentTo(a, 1).at(0), Json({{"type", "registered"}, {"protocol", 3}}));
  EXPECT_EQ(matcher_->HostOf(kHostId), 1u);
  // Its end gives the ID back; a lost lease does not (it is another node's now).
  EXPECT_EQ(Of(matcher_->Closed(1), Action::Kind::kRelease).at(0)->text, kHostId);
  Registered(4, "222222222");
  a = matcher_->LeaseLost("222222222");
  ExpectOnlyError(a, 4, code::kIdInUse);
  EXPECT_TRUE(Of(matcher_->Closed(4), Action::Kind::kRelease).empty());
}

TEST_F(FleetMatcherTest, EveryAnswerOfTheRegistryToAClaimOrALookup) {
  struct Case {
    const char* what;
    bool viewer;
    FleetResult result;
    bool leftFirst;               // the connection ended before the answer came
    std::string_view error;       // empty: no error
    Action::Kind expected;        // the one action besides an error, if any
  };
  const Case cases[] = {
      {"claim taken", false, FleetResult::kTaken, false, code::kIdInUse, Action::Kind::kClose},
      {"claim unavailable", false, FleetResult::kUnavailable, false, code::kUnavailable,
       Action::Kind::kClose},
      {"claim granted after the host left", false, FleetResult::kOk, true, {},
       Action::Kind::kRelease},
      {"lookup unknown", true, FleetResult::kUnknown, false, code::kUnknownHost,
       Action::Kind::kClose},
      {"lookup unavailable", true, FleetResult::kUnavailable, false, code::kUnavailable,
       Action::Kind::kClose},
      {"lookup found", true, FleetResult::kOk, false, {}, Action::Kind::kHandOff},
      {"lookup found after the viewer left", true, FleetResult::kOk, true, {},
       Action::Kind::kClose},
  };
  ConnId conn = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ++conn;
    Open(conn, "10.0.0.9");
    Text(conn, c.viewer ? ViewerRegister("987654321") : HostRegister("987654321"));
    if (c.leftFirst) matcher_->Closed(conn);
    const Actions a = c.viewer ? matcher_->Located(conn, c.result, "node-b")
                               : matcher_->Claimed(conn, "987654321", c.result);
    if (!c.error.empty()) {
      ExpectOnlyError(a, conn, c.error);
    } else if (c.leftFirst && c.viewer) {
      EXPECT_TRUE(a.empty());
    } else {
      ASSERT_EQ(a.size(), 1u);
      EXPECT_EQ(a[0].kind, c.expected);
    }
    if (c.expected == Action::Kind::kHandOff && c.error.empty() && !c.leftFirst) {
      EXPECT_EQ(a[0].node, "node-b");
      EXPECT_EQ(ParseMessage(a[0].text), Json({{"address", "10.0.0.9"},
                                               {"sessionId", "987654321"},
                                               {"password", kPairing}}));
      // Handed off: the other node decides for it; its deadline here is gone.
      EXPECT_TRUE(Text(conn, "{\"type\":\"authResponse\"}").empty());
      Actions refused;
      EXPECT_FALSE(matcher_->Binary(conn, 10, refused));
      EXPECT_TRUE(refused.empty());
      EXPECT_TRUE(matcher_->Tick(now_ + config_.registerTimeout + 1).empty());
    }
    if (!c.leftFirst) matcher_->Closed(conn);
  }
}

TEST_F(FleetMatcherTest, AViewerOfAnotherNodePairsWithAHostHere) {
  Registered(1);
  Open(5, "10.0.0.5");  // a local connection from the same address as the remote viewer
  Actions a = matcher_->OpenRemote(100, "10.0.0.5", kHostId, kPairing, now_);
  const Json request = SentTo(a, 1).at(0);
  EXPECT_EQ(request.at("type"), "connectRequest");
  const std::string id = request.at("requestId").get<std::string>();
  EXPECT_EQ(matcher_->RequestOf(100), id);
  Text(1, SerializeMessage(
              {{"type", "authChallenge"}, {"requestId", id}, {"message", "m"}, {"confirmation", "c"}}));
  Text(100, SerializeMessage({{"type", "authResponse"}, {"requestId", id}, {"confirmation", "v"}}));
  a = Text(1, SerializeMessage({{"type", "connectResponse"}, {"requestId", id}, {"accepted", true}}));
  EXPECT_EQ(SentTo(a, 100).at(0).at("type"), "connected");
  EXPECT_EQ(matcher_->PartnerOf(100), 1u);
  const MatcherStats stats = matcher_->Stats();
  EXPECT_EQ(stats.connections, 2u);  // the host and connection 5; the remote viewer is elsewhere
  EXPECT_EQ(stats.remoteViewers, 1u);
  // The remote viewer's end is the host's peerDisconnected, as for a local one.
  a = matcher_->Closed(100);
  EXPECT_EQ(SentTo(a, 1).at(0), Json({{"type", "peerDisconnected"}, {"requestId", id}}));
  EXPECT_EQ(matcher_->Stats().remoteViewers, 0u);
  // A remote viewer for a host that is not here (any more) is refused.
  ExpectOnlyError(matcher_->OpenRemote(101, "10.0.0.5", "111111111", kPairing, now_), 101,
                  code::kUnknownHost);
  // Connection 5's address was not charged for the remote viewers.
  matcher_->Closed(5);
  EXPECT_EQ(matcher_->Stats().connections, 1u);
}

TEST_F(FleetMatcherTest, RegistrationsCountedByOtherNodesCountHere) {
  MatcherConfig config = config_;
  config.registrationsPerMinute = 3;
  Reset(config);
  matcher_->NoteRegistration("10.0.0.1", now_);
  matcher_->NoteRegistration("10.0.0.1", now_);
  Open(1);
  EXPECT_EQ(Of(Text(1, HostRegister()), Action::Kind::kClaim).size(), 1u);  // the third
  Open(2);
  ExpectOnlyError(Text(2, HostRegister("222222222")), 2, code::kRateLimited);
  now_ += 60001;
  Open(3);
  EXPECT_EQ(Of(Text(3, HostRegister("333333333")), Action::Kind::kClaim).size(), 1u);
}

}  // namespace
}  // namespace ov::relay
