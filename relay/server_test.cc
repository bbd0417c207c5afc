#include "relay/server.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <openssl/ssl.h>

#include <array>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <tuple>

#include "relay/test_client.h"
#include "relay/test_pairing.h"

namespace ov::relay {
namespace {

using testing::ClosedError;
using testing::HttpRequest;
using testing::TempCertificate;
using testing::TempDir;
using testing::WsClient;
using testing::HostRegister;
using testing::MakePair;
using testing::Numbered;
using testing::Pair;
using testing::RegisteredHost;
using testing::ViewerRegister;

// A server on 127.0.0.1 and a free port, served by its own thread for the test's life.
class RunningServer {
 public:
  explicit RunningServer(ServerOptions options) : server_(Prepare(std::move(options))) {
    thread_ = std::thread([this] { server_.Run(); });
  }
  ~RunningServer() {
    server_.Stop();
    thread_.join();
  }
  std::uint16_t Port() const { return server_.Port(); }
  void Stop() { server_.Stop(); }

 private:
  static ServerOptions Prepare(ServerOptions options) {
    options.listenHost = "127.0.0.1";
    options.port = 0;
    options.quiet = true;
    return options;
  }
  Server server_;
  std::thread thread_;
};

// Polls /metrics until no WebSocket connection and no HTTP connection but the poll itself is
// open: the connections of a test step have ended on the relay's side too (at most 5 s).
void WaitUntilIdle(std::uint16_t port) {
  for (int i = 0; i < 250; ++i) {
    try {
      const std::string body = HttpRequest(port, "/metrics").body;
      if (body.find("kestrova_relay_connections 0\n") != std::string::npos &&
          body.find("kestrova_relay_http_connections 1\n") != std::string::npos) {
        return;
      }
    } catch (const std::exception&) {
      // Closed at once while the address is still at its bound: try again.
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "connections still open on the relay";
}

// The head of an HTTP answer (up to its blank line), or what came before the connection ended.
std::string ReadHead(boost::asio::ip::tcp::socket& socket) {
  std::string head;
  char c;
  boost::system::error_code ec;
  while (head.find("\r\n\r\n") == std::string::npos &&
         boost::asio::read(socket, boost::asio::buffer(&c, 1), ec) == 1) {
    head += c;
  }
  return head;
}

// Clear text or TLS, on one worker thread or on three: with three, the connections of a pair
// land on different threads (they are spread in turn), so every message crosses threads.
class RelayEndToEnd : public ::testing::TestWithParam<std::tuple<bool, std::size_t>> {
 protected:
  RelayEndToEnd() {
    options_.threads = std::get<1>(GetParam());
    if (std::get<0>(GetParam())) {
      cert_ = std::make_unique<TempCertificate>();
      options_.tlsCert = cert_->CertPath();
      options_.tlsKey = cert_->KeyPath();
      ca_ = cert_->CertPath();
    }
  }
  std::unique_ptr<TempCertificate> cert_;
  ServerOptions options_;
  std::string ca_;
};

TEST_P(RelayEndToEnd, PairsAndForwardsBinaryBothWaysUpToTheLimit) {
  RunningServer server(options_);
  Pair p = MakePair(server.Port(), ca_);

  p.host->SendBinary(Numbered(1, 1000));
  p.viewer->SendBinary(Numbered(2, 5));
  WsClient::Message m = p.host->Read();
  EXPECT_EQ(m.data, Numbered(2, 5));
  // The relay holds no more than its window of a message: the largest one goes through while
  // the viewer reads it.
  std::thread sending([&host = *p.host] {
    host.SendBinary(std::string(8u << 20, 'x'));  // exactly the largest message
    host.SendBinary("");
  });
  m = p.viewer->Read();
  EXPECT_TRUE(m.binary);
  EXPECT_EQ(m.data, Numbered(1, 1000));
  m = p.viewer->Read();
  EXPECT_EQ(m.data.size(), 8u << 20);
  EXPECT_EQ(m.data.find_first_not_of('x'), std::string::npos);
  m = p.viewer->Read();
  EXPECT_TRUE(m.binary);
  EXPECT_TRUE(m.data.empty());
  sending.join();

  // The viewer leaves cleanly: the host hears of it and stays registered for the next viewer.
  p.viewer->Close();
  EXPECT_EQ(p.host->ReadJson(), Json({{"type", "peerDisconnected"}, {"requestId", p.requestId}}));
  WsClient next(server.Port(), ca_);
  next.SendJson(ViewerRegister());
  EXPECT_EQ(p.host->ReadJson().at("type"), "connectRequest");
}

TEST_P(RelayEndToEnd, ViolationsAreAnsweredWithTheirErrorAndAClose) {
  RunningServer server(options_);
  auto bystander = RegisteredHost(server.Port(), ca_, "999999999");

  auto expectRefused = [](WsClient& c, const char* code) {
    EXPECT_EQ(c.ReadJson(), Json({{"type", "error"}, {"code", code}}));
    EXPECT_EQ(c.WaitClosed(), 1008);
  };
  {
    WsClient c(server.Port(), ca_);
    c.SendText(std::string(16385, ' '));
    expectRefused(c, "textTooLarge");
  }
  {
    WsClient c(server.Port(), ca_);
    c.SendText(std::string(16384, ' '));  // at the limit: parsed (and not JSON)
    expectRefused(c, "badJson");
  }
  {
    WsClient c(server.Port(), ca_);
    c.SendText("{\"type\":\"ping\"}");
    expectRefused(c, "unknownType");
  }
  {
    WsClient c(server.Port(), ca_);
    c.SendBinary("early");
    expectRefused(c, "notPaired");
  }
  {
    WsClient c(server.Port(), ca_);
    c.SendJson(ViewerRegister("111111111"));
    expectRefused(c, "unknownHost");
  }
  {
    Pair p = MakePair(server.Port(), ca_);
    p.viewer->SendBinary(std::string((8u << 20) + 1, 'y'));
    expectRefused(*p.viewer, "binaryTooLarge");
    EXPECT_EQ(p.host->ReadJson().at("type"), "peerDisconnected");
  }
  // The bystander was not disturbed by any of it.
  WsClient viewer(server.Port(), ca_);
  viewer.SendJson(ViewerRegister("999999999"));
  EXPECT_EQ(bystander->ReadJson().at("type"), "connectRequest");
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, RelayEndToEnd,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(1u, 3u)),
                         [](const auto& param_info) {
                           return std::string(std::get<0>(param_info.param) ? "wss_" : "ws_") +
                                  std::to_string(std::get<1>(param_info.param)) + "threads";
                         });

// Several pairs at once on several threads, both ways, messages of many sizes: every stream
// arrives whole and in order. Then each host takes a second viewer: the new pair forwards
// between the new ends only, whichever threads they are on.
TEST_P(RelayEndToEnd, ConcurrentPairsKeepEveryStreamInOrderAndRoutesFollowNewSessions) {
  options_.queueMessages = 4;  // backpressure often, across threads
  options_.queueBytes = 256 * 1024;
  RunningServer server(options_);
  constexpr int kPairs = 4;
  constexpr std::uint32_t kMessages = 120;
  auto sizeOf = [](std::uint32_t seq) { return std::size_t{4} + (seq * 7919u) % 70000u; };
  std::vector<Pair> pairs;
  for (int i = 0; i < kPairs; ++i) {
    pairs.push_back(MakePair(server.Port(), ca_, std::to_string(100000001 + i)));
  }
  // One thread per client: it sends its stream and reads its partner's, at most kWindow
  // messages ahead (more than the relay's queue, so backpressure sets in, but finite, so that
  // two clients that both send never block each other for good).
  constexpr std::uint32_t kWindow = 12;
  std::atomic<int> failures{0};
  auto run = [&](WsClient& self, std::uint32_t mine, std::uint32_t theirs) {
    try {
      std::uint32_t read = 0;
      auto readOne = [&] {
        const WsClient::Message m = self.Read();
        if (!m.binary || m.data != Numbered(theirs + read, sizeOf(read))) ++failures;
        ++read;
      };
      for (std::uint32_t i = 0; i < kMessages; ++i) {
        self.SendBinary(Numbered(mine + i, sizeOf(i)));
        if (i >= kWindow) readOne();
      }
      while (read < kMessages) readOne();
    } catch (const std::exception&) {
      ++failures;
    }
  };
  {
    std::vector<std::thread> clients;
    for (int i = 0; i < kPairs; ++i) {
      Pair& p = pairs[static_cast<std::size_t>(i)];
      const std::uint32_t base = 1000000u * static_cast<std::uint32_t>(i);
      clients.emplace_back([&, base] { run(*p.host, base, base + 500000u); });
      clients.emplace_back([&, base] { run(*p.viewer, base + 500000u, base); });
    }
    for (auto& t : clients) t.join();
  }
  EXPECT_EQ(failures, 0) << "a message was lost, duplicated, altered or reordered";

  for (int i = 0; i < kPairs; ++i) {
    Pair& p = pairs[static_cast<std::size_t>(i)];
    p.viewer->Close();
    EXPECT_EQ(p.host->ReadJson().at("type"), "peerDisconnected");
  }
  // A fresh viewer per host; an extra connection first shifts which thread each one lands on.
  WsClient shift(server.Port(), ca_);
  for (int i = 0; i < kPairs; ++i) {
    Pair& p = pairs[static_cast<std::size_t>(i)];
    const std::string id = std::to_string(100000001 + i);
    p.viewer = std::make_unique<WsClient>(server.Port(), ca_);
    p.viewer->SendJson(ViewerRegister(id));
    p.requestId = p.host->ReadJson().at("requestId").get<std::string>();
    p.host->SendJson({{"type", "authChallenge"}, {"requestId", p.requestId}, {"message", "m"},
                      {"confirmation", "c"}});
    p.viewer->ReadJson();
    p.viewer->SendJson({{"type", "authResponse"}, {"requestId", p.requestId}, {"confirmation", "c"}});
    p.host->ReadJson();
    p.host->SendJson({{"type", "connectResponse"}, {"requestId", p.requestId}, {"accepted", true}});
    // The host sends at once, before it has read "connected": the message goes to the new
    // viewer, after its "connected".
    p.host->SendBinary(Numbered(7, 100));
    EXPECT_EQ(p.host->ReadJson().at("type"), "connected");
    EXPECT_EQ(p.viewer->ReadJson().at("type"), "connected");
    EXPECT_EQ(p.viewer->Read().data, Numbered(7, 100));
    p.viewer->SendBinary(Numbered(8, 10));
    EXPECT_EQ(p.host->Read().data, Numbered(8, 10));
  }
}

struct SlowReaderCase {
  std::size_t threads;
  bool tls;
};
class SlowReader : public ::testing::TestWithParam<SlowReaderCase> {};

// With two threads the host and the viewer are on different ones: the pause and the resumption
// cross threads. Over TLS the relay's writes to the reader find its socket full again and again
// and must go on with exactly the bytes they were writing.
TEST_P(SlowReader, StallsItsPartnerAndLosesNothing) {
  ServerOptions options;
  options.threads = GetParam().threads;
  options.queueMessages = 8;
  options.queueBytes = 1u << 20;
  std::unique_ptr<TempCertificate> cert;
  std::string ca;
  if (GetParam().tls) {
    cert = std::make_unique<TempCertificate>();
    options.tlsCert = cert->CertPath();
    options.tlsKey = cert->KeyPath();
    ca = cert->CertPath();
  }
  RunningServer server(options);
  Pair p = MakePair(server.Port(), ca);

  constexpr std::uint32_t kCount = 400;
  constexpr std::size_t kSize = 256 * 1024;  // 100 MiB in all: far beyond every buffer on the way
  std::atomic<std::uint32_t> sent{0};
  std::atomic<bool> failed{false};
  std::thread sender([&] {
    try {
      p.host->SetTimeout(std::chrono::milliseconds(60000));
      for (std::uint32_t i = 0; i < kCount; ++i) {
        p.host->SendBinary(Numbered(i, kSize));
        sent = i + 1;
      }
    } catch (const std::exception&) {
      failed = true;
    }
  });
  // The viewer reads nothing for a while: the relay must stop taking the host's messages.
  std::uint32_t stalledAt = 0;
  for (int i = 0; i < 40; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stalledAt = sent;
  }
  EXPECT_LT(stalledAt, kCount / 2) << "the relay buffered without bound";

  for (std::uint32_t i = 0; i < kCount; ++i) {
    const WsClient::Message m = p.viewer->Read();
    ASSERT_TRUE(m.binary);
    ASSERT_EQ(m.data.size(), kSize);
    std::uint32_t seq = 0;
    std::memcpy(&seq, m.data.data(), sizeof seq);
    ASSERT_EQ(seq, i) << "lost, duplicated or reordered";
    ASSERT_EQ(m.data, Numbered(i, kSize));
  }
  sender.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(sent, kCount);
  // The stream still works in the other direction and after the drain.
  p.viewer->SendBinary("ack");
  EXPECT_EQ(p.host->Read().data, "ack");
}

INSTANTIATE_TEST_SUITE_P(Threads, SlowReader,
                         ::testing::Values(SlowReaderCase{1, false}, SlowReaderCase{2, true}),
                         [](const auto& param_info) {
                           return std::string(param_info.param.tls ? "wss_" : "ws_") +
                                  std::to_string(param_info.param.threads) + "threads";
                         });

// The TLS port faced with what is not TLS, or with TLS that stops half-way: each connection is
// closed, nothing else is disturbed.
TEST(RelayServerTest, TlsPortClosesWhatIsNotTlsAndServesTheRest) {
  TempCertificate cert;
  ServerOptions options;
  options.tlsCert = cert.CertPath();
  options.tlsKey = cert.KeyPath();
  options.httpTimeout = 500;
  options.threads = 2;
  RunningServer server(options);
  auto host = RegisteredHost(server.Port(), cert.CertPath());
  boost::asio::io_context ioc;
  const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                                server.Port());
  const std::string helloStart("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
  for (const std::string& bytes :
       {std::string("GET /healthz HTTP/1.1\r\nHost: localhost\r\n\r\n"), helloStart,
        std::string(), std::string(3000, '\x16')}) {
    boost::asio::ip::tcp::socket raw(ioc);
    raw.connect(endpoint);
    boost::asio::write(raw, boost::asio::buffer(bytes));
    // The relay ends the connection: at once for what cannot be TLS, after its deadline for a
    // handshake that never goes on. Either way the read ends instead of waiting forever.
    char sink[512];
    boost::system::error_code ec;
    std::size_t total = 0;
    while (!ec) total += raw.read_some(boost::asio::buffer(sink), ec);
    EXPECT_TRUE(ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset)
        << ec.message();
    EXPECT_LT(total, 512u) << "at most an alert";
  }
  EXPECT_EQ(HttpRequest(server.Port(), "/healthz", "GET", cert.CertPath()).status, 200u);
  WsClient viewer(server.Port(), cert.CertPath());
  viewer.SendJson(ViewerRegister());
  EXPECT_EQ(host->ReadJson().at("type"), "connectRequest");
}

TEST(RelayServerTest, ManyViewersRacingForOneHostGetOneRequest) {
  RunningServer server(ServerOptions{});
  auto host = RegisteredHost(server.Port(), {});
  constexpr int kViewers = 24;
  std::vector<std::unique_ptr<WsClient>> viewers;
  for (int i = 0; i < kViewers; ++i) viewers.push_back(std::make_unique<WsClient>(server.Port()));
  {
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kViewers; ++i) {
      threads.emplace_back([&, i] {
        while (!go) std::this_thread::yield();
        viewers[static_cast<std::size_t>(i)]->SendJson(ViewerRegister());
      });
    }
    go = true;
    for (auto& t : threads) t.join();
  }
  // Exactly one request reaches the host; the one viewer it names hears the host's answer.
  const Json request = host->ReadJson();
  ASSERT_EQ(request.at("type"), "connectRequest");
  const std::string id = request.at("requestId").get<std::string>();
  host->SendJson({{"type", "authChallenge"}, {"requestId", id}, {"message", "m"},
                  {"confirmation", "c"}});
  int winners = 0;
  int busy = 0;
  for (auto& viewer : viewers) {
    const Json reply = viewer->ReadJson();
    if (reply.at("type") == "authChallenge" && reply.at("requestId") == id) {
      ++winners;
    } else if (reply == Json({{"type", "error"}, {"code", "hostBusy"}})) {
      EXPECT_EQ(viewer->WaitClosed(), 1008);
      ++busy;
    }
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(busy, kViewers - 1);
  host->SetTimeout(std::chrono::milliseconds(300));
  EXPECT_THROW(host->Read(), testing::TimeoutError);
}

TEST(RelayServerTest, PeerVanishingMidSessionIsReportedAndTheHostStays) {
  RunningServer server(ServerOptions{});
  {
    Pair p = MakePair(server.Port());
    p.host->SendBinary("frame");
    EXPECT_EQ(p.viewer->Read().data, "frame");
    p.viewer->Drop();  // no closing handshake
    EXPECT_EQ(p.host->ReadJson(), Json({{"type", "peerDisconnected"}, {"requestId", p.requestId}}));
    // What the host still had in flight is dropped without punishing it, whatever its size.
    p.host->SendBinary("late frame");
    p.host->SendBinary(std::string(8u << 20, 'l'));
    WsClient v2(server.Port());
    v2.SendJson(ViewerRegister());
    EXPECT_EQ(p.host->ReadJson().at("type"), "connectRequest");
  }
  {
    Pair p = MakePair(server.Port(), {}, "222222222");
    p.host->Drop();
    std::vector<WsClient::Message> skipped;
    EXPECT_EQ(p.viewer->WaitClosed(&skipped), 1000);
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(ParseMessage(skipped[0].data),
              Json({{"type", "peerDisconnected"}, {"requestId", p.requestId}}));
    // The ID is free for a new registration.
    RegisteredHost(server.Port(), {}, "222222222");
  }
}

// A viewer closes while the relay is writing to it and its host keeps sending: what the host
// sends after the close is dropped (and its reservations given back, so the host is not held), and
// the close is echoed as soon as the message being written is out.
TEST(RelayServerTest, ACloseIsEchoedWhileThePartnerKeepsSending) {
  RunningServer server(ServerOptions{});
  Pair p = MakePair(server.Port(), {}, "444555666");
  std::atomic<int> sent{0};
  std::thread host([&] {
    const std::string message(512 * 1024, 'q');
    try {
      for (int i = 0; i < 64; ++i, ++sent) p.host->SendBinary(message);
    } catch (const std::exception&) {
    }
  });
  // The viewer reads nothing until the relay has paused the host on its full queue.
  while (sent < 8) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_NO_THROW(p.viewer->Close());
  host.join();
  EXPECT_EQ(sent, 64);  // the host was let go once its partner had closed
  EXPECT_EQ(p.host->ReadJson(), Json({{"type", "peerDisconnected"}, {"requestId", p.requestId}}));
}

TEST(RelayServerTest, DeadlinesAndConnectionLimitsOnTheWire) {
  ServerOptions options;
  options.matcher.registerTimeout = 300;
  options.matcher.pairingTimeout = 600;
  options.matcher.maxConnectionsPerAddress = 3;
  RunningServer server(options);
  {
    WsClient silent(server.Port());
    EXPECT_EQ(silent.ReadJson(), Json({{"type", "error"}, {"code", "registerTimeout"}}));
    EXPECT_EQ(silent.WaitClosed(), 1008);
  }
  {
    auto host = RegisteredHost(server.Port(), {});
    WsClient viewer(server.Port());
    viewer.SendJson(ViewerRegister());
    EXPECT_EQ(host->ReadJson().at("type"), "connectRequest");
    // The host never answers.
    EXPECT_EQ(viewer.ReadJson(), Json({{"type", "error"}, {"code", "pairingTimeout"}}));
    EXPECT_EQ(host->ReadJson().at("type"), "peerDisconnected");
    EXPECT_EQ(viewer.WaitClosed(), 1008);
  }
  {
    WaitUntilIdle(server.Port());  // a connection counts against its address until its end
    auto a = RegisteredHost(server.Port(), {}, "111111111");
    auto b = RegisteredHost(server.Port(), {}, "222222222");
    auto c = RegisteredHost(server.Port(), {}, "333333333");
    // A fourth connection from the address is closed before its upgrade.
    EXPECT_THROW(WsClient{server.Port()}, std::runtime_error);
  }
}

// The per-address bound holds from accept on, for connections that never send a byte as well:
// beyond it a new connection is closed at once (not at the request deadline), those within it
// are served, and once they have gone the address has its slots back.
TEST(RelayServerTest, OneAddressHoldsAtMostItsBoundOfConnectionsFromAccept) {
  ServerOptions options;
  options.matcher.maxConnectionsPerAddress = 4;
  options.httpTimeout = 5000;
  RunningServer server(options);
  boost::asio::io_context ioc;
  const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                                server.Port());
  std::vector<boost::asio::ip::tcp::socket> flood;
  for (int i = 0; i < 4; ++i) {
    flood.emplace_back(ioc);
    flood.back().connect(endpoint);
  }
  for (int i = 0; i < 3; ++i) {
    boost::asio::ip::tcp::socket extra(ioc);
    extra.connect(endpoint);
    const auto start = std::chrono::steady_clock::now();
    char byte;
    boost::system::error_code ec;
    extra.read_some(boost::asio::buffer(&byte, 1), ec);
    EXPECT_TRUE(ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset)
        << ec.message();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000))
        << "closed at once, not at the request deadline";
  }
  EXPECT_THROW(HttpRequest(server.Port(), "/healthz"), std::runtime_error);
  EXPECT_THROW(WsClient{server.Port()}, std::runtime_error);

  // The connections within the bound are served: an HTTP request on one, an upgrade on another.
  const std::string healthz = "GET /healthz HTTP/1.1\r\nHost: localhost\r\n\r\n";
  boost::asio::write(flood[0], boost::asio::buffer(healthz));
  std::string answer;
  boost::system::error_code ec;
  for (char buf[512]; !ec;) answer.append(buf, flood[0].read_some(boost::asio::buffer(buf), ec));
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  const std::string upgrade =
      "GET /ws HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  boost::asio::write(flood[1], boost::asio::buffer(upgrade));
  const std::string head = ReadHead(flood[1]);
  EXPECT_EQ(head.rfind("HTTP/1.1 101", 0), 0u) << head;

  // The flood goes: a host and a viewer pair and forward as usual. WebSocket connections count
  // too: beside the pair two more fit, and the next one is closed before its upgrade.
  flood.clear();
  WaitUntilIdle(server.Port());
  Pair p = MakePair(server.Port());
  p.host->SendBinary("after the flood");
  EXPECT_EQ(p.viewer->Read().data, "after the flood");
  {
    WsClient third(server.Port());
    WsClient fourth(server.Port());
    EXPECT_THROW(WsClient{server.Port()}, std::runtime_error);
  }
  p.viewer->SendBinary("still paired");
  EXPECT_EQ(p.host->Read().data, "still paired");
  p.viewer->Close();
  p.host->Close();
  WaitUntilIdle(server.Port());
  const std::string metrics = HttpRequest(server.Port(), "/metrics").body;
  const std::string counter = "kestrova_relay_refusals_total{reason=\"addressOverflow\"} ";
  const auto at = metrics.find(counter);
  ASSERT_NE(at, std::string::npos) << metrics;
  EXPECT_GE(std::stoul(metrics.substr(at + counter.size())), 6u);
}

TEST(RelayServerTest, SilentConnectionsArePingedAndDroppedWhenTheyDoNotAnswer) {
  ServerOptions options;
  options.idleTimeout = 600;
  RunningServer server(options);
  auto answering = RegisteredHost(server.Port(), {}, "111111111");
  auto deaf = RegisteredHost(server.Port(), {}, "222222222");
  // A reading client answers the relay's pings by itself and stays connected: its read ends by
  // the client's own deadline (1.5 s, well past the idle timeout), not by the relay closing.
  answering->SetTimeout(std::chrono::milliseconds(1500));
  EXPECT_THROW(answering->Read(), testing::TimeoutError);
  // A client that reads nothing never answers: after the idle timeout it is cut off.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_EQ(deaf->WaitClosed(), -1);
  // The ID of the dropped host is free again.
  RegisteredHost(server.Port(), {}, "222222222");
}

TEST(RelayServerTest, StopClosesEveryConnectionWithGoingAway) {
  auto server = std::make_unique<RunningServer>(ServerOptions{});
  Pair p = MakePair(server->Port());
  server->Stop();
  EXPECT_EQ(p.host->WaitClosed(), 1001);
  EXPECT_EQ(p.viewer->WaitClosed(), 1001);
  server.reset();  // Run returned and the thread joined
}

// A scripted raw client: the upgrade by hand, then whatever bytes a test writes.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port) : socket_(ioc_) {
    socket_.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    Write("GET /ws HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos) {
      boost::asio::read(socket_, boost::asio::buffer(&c, 1));
      head += c;
    }
    EXPECT_EQ(head.rfind("HTTP/1.1 101", 0), 0u) << head;
    EXPECT_NE(head.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), std::string::npos)
        << head;
  }
  void Write(const std::string& bytes) { boost::asio::write(socket_, boost::asio::buffer(bytes)); }
  // Reads server frames until the connection ends, answering the relay's close; returns the
  // texts and the close code (-1: none). Fails the test if the relay keeps the connection beyond
  // `limit`. A non-empty `replyToClose` is sent instead of the echo.
  std::pair<std::vector<std::string>, int> ReadToEnd(std::chrono::milliseconds limit,
                                                     const std::string& replyToClose = {}) {
    std::string bytes;
    std::vector<std::string> texts;
    int code = -1;
    std::size_t at = 0;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    socket_.non_blocking(true);
    boost::system::error_code ec;
    while (std::chrono::steady_clock::now() < deadline) {
      char buf[4096];
      const std::size_t n = socket_.read_some(boost::asio::buffer(buf), ec);
      if (ec == boost::asio::error::would_block) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      if (ec) break;
      bytes.append(buf, n);
      // Whole frames so far (the relay's frames are short here: 7- or 16-bit lengths).
      while (at + 2 <= bytes.size()) {
        const auto op = static_cast<unsigned char>(bytes[at]) & 0x0f;
        std::size_t len = static_cast<unsigned char>(bytes[at + 1]) & 0x7f;
        std::size_t head = 2;
        if (len == 126) {
          if (at + 4 > bytes.size()) break;
          len = (static_cast<std::size_t>(static_cast<unsigned char>(bytes[at + 2])) << 8) |
                static_cast<unsigned char>(bytes[at + 3]);
          head = 4;
        }
        if (at + head + len > bytes.size()) break;
        const std::string payload = bytes.substr(at + head, len);
        if (op == 1) texts.push_back(payload);
        if (op == 8) {
          if (payload.size() >= 2) {
            code = (static_cast<unsigned char>(payload[0]) << 8) |
                   static_cast<unsigned char>(payload[1]);
          }
          std::string reply("\x88\x82\0\0\0\0", 6);
          reply += payload.substr(0, 2);
          if (!replyToClose.empty()) reply = replyToClose;
          boost::system::error_code ignored;
          boost::asio::write(socket_, boost::asio::buffer(reply), ignored);
        }
        at += head + len;
      }
    }
    EXPECT_TRUE(ec && ec != boost::asio::error::would_block) << "connection still open";
    return {texts, code};
  }

 private:
  boost::asio::io_context ioc_;
  boost::asio::ip::tcp::socket socket_;
};

// A client frame with a zero mask (the payload goes as it is); `raw` replaces the header.
std::string ClientFrame(std::uint8_t first, const std::string& payload) {
  std::string out(1, static_cast<char>(first));
  out += static_cast<char>(0x80 | payload.size());
  return out + std::string(4, '\0') + payload;
}

// Clients that break the framing rules, registered or not: each one hears why (the relay's error
// text and 1008 for a message over its limit, 1002 or 1007 for a violation) and is closed
// promptly, while a registered host and a pair are not disturbed and keep working.
TEST(RelayServerTest, HostileFramingIsClosedAtOnceAndOthersGoOn) {
  ServerOptions options;
  options.matcher.registerTimeout = 20000;  // a refusal must not wait for this deadline
  RunningServer server(options);
  auto bystander = RegisteredHost(server.Port(), {}, "999999999");
  Pair pair = MakePair(server.Port());
  const std::string hugeBinary = std::string("\x82\xff\x00\x00\x01\x00\x00\x00\x00\x00", 10) +
                                 std::string(4, '\0');
  const std::string hugeText = std::string("\x81\xfe\x40\x01", 4) + std::string(4, '\0');
  // Headers declaring the largest binary message (8 MiB), whole or as its first fragment, with
  // none of the payload behind them.
  const std::string largestBinary = std::string("\x82\xff\0\0\0\0\0\x80\0\0", 10) +
                                    std::string(4, '\0');
  const std::string largestFirstFragment = std::string("\x02\xff\0\0\0\0\0\x80\0\0", 10) +
                                           std::string(4, '\0');
  struct Case {
    const char* name;
    bool registerFirst;
    std::string bytes;
    const char* error;  // the relay's error code, or null
    int close;
  } cases[] = {
      {"binary header over the limit, unregistered", false, hugeBinary, "binaryTooLarge", 1008},
      {"binary header over the limit, registered", true, hugeBinary, "binaryTooLarge", 1008},
      {"text header over the limit", false, hugeText, "textTooLarge", 1008},
      // Binary before pairing is refused at its header, not once 8 MiB have arrived.
      {"binary header before pairing, registered", true, largestBinary, "notPaired", 1008},
      {"binary header before pairing, unregistered", false, largestBinary, "notPaired", 1008},
      {"first binary fragment before pairing", true, largestFirstFragment, "notPaired", 1008},
      {"unmasked frame", false, std::string("\x81\x02hi", 4), nullptr, 1002},
      {"reserved bits", true, std::string("\xc2\x80", 2) + std::string(4, '\0'), nullptr, 1002},
      {"unknown opcode", false, ClientFrame(0x83, "x"), nullptr, 1002},
      {"fragmented ping", false, ClientFrame(0x09, "x"), nullptr, 1002},
      {"oversized ping", false, std::string("\x89\xfe\x00\x7e", 4) + std::string(130, '\0'),
       nullptr, 1002},
      {"continuation first", false, ClientFrame(0x80, "x"), nullptr, 1002},
      {"length with the top bit set", false,
       std::string("\x82\xff\x80\x00\x00\x00\x00\x00\x00\x00", 10) + std::string(4, '\0'),
       nullptr, 1002},
      {"invalid UTF-8", false, ClientFrame(0x81, "\xc0\xaf"), nullptr, 1007},
      {"bad close code", true, ClientFrame(0x88, "\x03\xed"), nullptr, 1002},
  };
  for (const Case& c : cases) {
    RawClient raw(server.Port());
    if (c.registerFirst) {
      raw.Write(ClientFrame(0x81, SerializeMessage(HostRegister(std::to_string(
                                                  200000000 + (&c - cases))))));
    }
    raw.Write(c.bytes);
    const auto [texts, close] = raw.ReadToEnd(std::chrono::milliseconds(3000));
    EXPECT_EQ(close, c.close) << c.name;
    if (c.error != nullptr) {
      ASSERT_FALSE(texts.empty()) << c.name;
      EXPECT_EQ(ParseMessage(texts.back()), Json({{"type", "error"}, {"code", c.error}}))
          << c.name;
    }
  }
  // A violation in answer to the relay's close ends the handshake there: the connection goes at
  // once, not at the relay's closing deadline.
  {
    RawClient raw(server.Port());
    raw.Write(ClientFrame(0x81, SerializeMessage(ViewerRegister("123454321"))));
    const auto [texts, close] =
        raw.ReadToEnd(std::chrono::milliseconds(3000), ClientFrame(0x00, "x"));
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(ParseMessage(texts.back()).at("code"), "unknownHost");
    EXPECT_NE(close, -1);
  }
  // Pings between the fragments of a message are answered, the message arrives whole.
  {
    RawClient raw(server.Port());
    const std::string text = SerializeMessage(ViewerRegister("999999999"));
    raw.Write(ClientFrame(0x01, text.substr(0, 10)) + ClientFrame(0x89, "p1") +
              ClientFrame(0x00, text.substr(10, 20)) + ClientFrame(0x89, "p2") +
              ClientFrame(0x80, text.substr(30)));
    EXPECT_EQ(bystander->ReadJson().at("type"), "connectRequest");
  }
  pair.host->SendBinary("still here");
  EXPECT_EQ(pair.viewer->Read().data, "still here");
}

// Upgrade requests at /ws that are not quite right are answered with their status (400, or 426
// for another protocol version) and closed. A key must be the base64 form of 16 bytes.
TEST(RelayServerTest, BadUpgradesAreRefusedWithTheirStatus) {
  ServerOptions options;
  options.allowedOrigins = {"https://relay.example"};
  RunningServer server(options);
  boost::asio::io_context ioc;
  const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                                server.Port());
  const std::string version = "Sec-WebSocket-Version: 13\r\n";
  auto key = [](const std::string& value) { return "Sec-WebSocket-Key: " + value + "\r\n"; };
  struct Case {
    const char* name;
    std::string fields;
    const char* status;
    const char* body;  // a refusal's text, or the accept key of a 101
  } cases[] = {
      {"no key", version, "400", "no Sec-WebSocket-Key"},
      {"empty key", "Sec-WebSocket-Key:\r\n" + version, "400", "bad Sec-WebSocket-Key"},
      {"key of 23 characters", key("dGhlIHNhbXBsZSBub25jZQ=") + version, "400",
       "bad Sec-WebSocket-Key"},
      {"key of 25 characters", key("dGhlIHNhbXBsZSBub25jZQ==A") + version, "400",
       "bad Sec-WebSocket-Key"},
      {"24 characters, not base64", key("dGhlIHNhbXBsZSBub25jZ!==") + version, "400",
       "bad Sec-WebSocket-Key"},
      {"24 characters of base64 for 18 bytes", key("dGhlIHNhbXBsZSBub25jZQAA") + version, "400",
       "bad Sec-WebSocket-Key"},
      {"padding inside", key("dGhlIHNhbXBsZSBub25j=Q==") + version, "400",
       "bad Sec-WebSocket-Key"},
      {"no version", key("dGhlIHNhbXBsZSBub25jZQ=="), "400", "no Sec-WebSocket-Version"},
      {"version 12", key("dGhlIHNhbXBsZSBub25jZQ==") + "Sec-WebSocket-Version: 12\r\n", "426",
       "unsupported Sec-WebSocket-Version"},
      {"key of 16 bytes", key("dGhlIHNhbXBsZSBub25jZQ==") + version, "101",
       "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
      {"key of 16 bytes with + and /", key("+/+/+/+/+/+/+/+/+/+/+w==") + version, "101",
       "Sec-WebSocket-Accept: "},
      {"a listed origin", key("dGhlIHNhbXBsZSBub25jZQ==") + version + "Origin: https://relay.example\r\n",
       "101", "Sec-WebSocket-Accept: "},
      {"another origin", key("dGhlIHNhbXBsZSBub25jZQ==") + version + "Origin: https://evil.example\r\n",
       "403", "origin not allowed"},
      {"a listed origin's other port",
       key("dGhlIHNhbXBsZSBub25jZQ==") + version + "Origin: https://relay.example:8443\r\n", "403",
       "origin not allowed"},
      {"an opaque origin", key("dGhlIHNhbXBsZSBub25jZQ==") + version + "Origin: null\r\n", "403",
       "origin not allowed"},
  };
  for (const Case& c : cases) {
    boost::asio::ip::tcp::socket socket(ioc);
    socket.connect(endpoint);
    boost::asio::write(socket, boost::asio::buffer(
                                   "GET /ws HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
                                   "Connection: Upgrade\r\n" +
                                   c.fields + "\r\n"));
    std::string answer = ReadHead(socket);
    const bool asExpected = answer.rfind(std::string("HTTP/1.1 ") + c.status + " ", 0) == 0;
    EXPECT_TRUE(asExpected) << c.name << ": " << answer;
    if (asExpected && std::string_view(c.status) != "101") {
      // The refusal's text follows, then the relay ends the connection.
      boost::system::error_code ec;
      for (char buf[512]; !ec;) answer.append(buf, socket.read_some(boost::asio::buffer(buf), ec));
      EXPECT_EQ(ec, boost::asio::error::eof) << c.name;
    }
    EXPECT_NE(answer.find(c.body), std::string::npos) << c.name << answer;
  }
  // The relay goes on serving well-behaved clients.
  Pair p = MakePair(server.Port());
  p.host->SendBinary("ok");
  EXPECT_EQ(p.viewer->Read().data, "ok");
}

// TLS 1.2 is taken with forward-secret AEAD suites only; CBC suites and TLS 1.1 are refused.
// Under TLS 1.3 the relay chooses AES-128-GCM, unless the client puts ChaCha20 first.
TEST(RelayServerTest, TlsOffersOnlyModernSuites) {
  TempCertificate cert;
  ServerOptions options;
  options.tlsCert = cert.CertPath();
  options.tlsKey = cert.KeyPath();
  RunningServer server(options);
  struct Case {
    const char* name;
    int version;          // the client's highest protocol
    const char* ciphers;  // TLS 1.2 suites offered
    bool accepted;
    const char* suites13 = nullptr;  // TLS 1.3 suites offered, in the client's order
    const char* chosen = nullptr;    // the suite the relay must choose
  } cases[] = {
      {"TLS 1.3", TLS1_3_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256", true},
      {"TLS 1.3, AES-256 first", TLS1_3_VERSION, "", true,
       "TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256",
       "TLS_AES_128_GCM_SHA256"},
      {"TLS 1.3, ChaCha20 first", TLS1_3_VERSION, "", true,
       "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256",
       "TLS_CHACHA20_POLY1305_SHA256"},
      {"TLS 1.3, AES-256 only", TLS1_3_VERSION, "", true, "TLS_AES_256_GCM_SHA384",
       "TLS_AES_256_GCM_SHA384"},
      {"TLS 1.2, ECDHE with AES-GCM", TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256", true},
      {"TLS 1.2, ECDHE with ChaCha20", TLS1_2_VERSION, "ECDHE-ECDSA-CHACHA20-POLY1305", true},
      {"TLS 1.2, ECDHE with AES-CBC", TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA", false},
      {"TLS 1.2, ECDHE with AES-CBC-SHA256", TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA256", false},
      {"TLS 1.1", TLS1_1_VERSION, "ECDHE-ECDSA-AES128-SHA", false},
  };
  for (const Case& c : cases) {
    boost::asio::io_context ioc;
    boost::asio::ssl::context context(boost::asio::ssl::context::tls_client);
    SSL_CTX_set_security_level(context.native_handle(), 0);
    SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_1_VERSION);
    SSL_CTX_set_max_proto_version(context.native_handle(), c.version);
    if (*c.ciphers != '\0') {
      ASSERT_EQ(SSL_CTX_set_cipher_list(context.native_handle(), c.ciphers), 1) << c.name;
    }
    if (c.suites13 != nullptr) {
      ASSERT_EQ(SSL_CTX_set_ciphersuites(context.native_handle(), c.suites13), 1) << c.name;
    }
    boost::asio::ssl::stream<boost::asio::ip::tcp::socket> stream(ioc, context);
    stream.next_layer().connect(
        {boost::asio::ip::make_address("127.0.0.1"), server.Port()});
    boost::system::error_code ec;
    stream.handshake(boost::asio::ssl::stream_base::client, ec);
    EXPECT_EQ(!ec, c.accepted) << c.name << ": " << ec.message();
    if (c.chosen != nullptr && !ec) {
      EXPECT_STREQ(SSL_get_cipher_name(stream.native_handle()), c.chosen) << c.name;
    }
  }
}

// With a web folder the relay serves the viewer's page at / under its content policy, and takes
// WebSocket upgrades from the page's own origin; other origins stay refused.
TEST(RelayServerTest, ServesTheWebViewerAndTakesItsOwnOrigin) {
  TempDir dir;
  std::ofstream(dir.Path() + "/index.html") << "<!doctype html><title>viewer</title>";
  std::ofstream(dir.Path() + "/page.0123456789abcdef.js") << "void 0;";
  std::ofstream(dir.Path() + "/manifest.txt")
      << "index.html text/html; charset=utf-8\npage.0123456789abcdef.js text/javascript\n";
  ServerOptions options;
  options.webDir = dir.Path();
  RunningServer server(options);
  auto page = HttpRequest(server.Port(), "/");
  EXPECT_EQ(page.status, 200u);
  EXPECT_EQ(page.body, "<!doctype html><title>viewer</title>");
  EXPECT_EQ(page.headers["cache-control"], "no-cache");
  EXPECT_NE(page.headers["content-security-policy"].find("connect-src wss://localhost;"),
            std::string::npos)
      << page.headers["content-security-policy"];
  auto script = HttpRequest(server.Port(), "/page.0123456789abcdef.js");
  EXPECT_EQ(script.status, 200u);
  EXPECT_NE(script.headers["cache-control"].find("immutable"), std::string::npos);
  EXPECT_EQ(HttpRequest(server.Port(), "/manifest.txt").status, 404u);

  boost::asio::io_context ioc;
  auto upgrade = [&](const std::string& origin) {
    boost::asio::ip::tcp::socket socket(ioc);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), server.Port()});
    boost::asio::write(socket, boost::asio::buffer(
        "GET /ws HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\nOrigin: " +
        origin + "\r\n\r\n"));
    const std::string head = ReadHead(socket);
    return head.substr(9, 3);
  };
  EXPECT_EQ(upgrade("http://localhost"), "101") << "the page's own origin (clear text here)";
  EXPECT_EQ(upgrade("http://LOCALHOST:80"), "101");
  EXPECT_EQ(upgrade("https://localhost"), "403") << "not the scheme this relay serves";
  EXPECT_EQ(upgrade("http://localhost.evil.example"), "403");
}

// A PROXY v2 header is read from listed balancers only: the client it names takes the
// per-address budget (here one connection per address); a bad header ends the connection.
TEST(RelayServerTest, ProxyHeadersFromListedBalancersNameTheClient) {
  ServerOptions options;
  options.proxyFrom = {*ParseCidr("127.0.0.1/32")};
  options.matcher.maxConnectionsPerAddress = 1;
  RunningServer server(options);
  const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"),
                                                server.Port());
  // PROXY v2, TCP over IPv4, from client:40000 to 192.0.2.1:443 (command 1), or LOCAL (0).
  auto header = [](std::array<std::uint8_t, 4> client, bool local = false) {
    std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
    h += static_cast<char>(local ? 0x20 : 0x21);
    h += static_cast<char>(0x11);
    h += std::string("\0\x0c", 2);
    for (std::uint8_t b : client) h += static_cast<char>(b);
    h += std::string("\xc0\x00\x02\x01\x9c\x40\x01\xbb", 8);
    return h;
  };
  const std::string get = "GET /healthz HTTP/1.1\r\nHost: localhost\r\n\r\n";
  boost::asio::io_context ioc;
  // Sends `bytes` on a new connection: the status line of the answer, or "" when closed unread.
  auto ask = [&](const std::string& bytes, boost::asio::ip::tcp::socket* keep = nullptr) {
    boost::asio::ip::tcp::socket socket(ioc);
    socket.connect(endpoint);
    boost::asio::write(socket, boost::asio::buffer(bytes));
    if (keep != nullptr) {
      *keep = std::move(socket);
      return std::string();
    }
    const std::string head = ReadHead(socket);
    return head.substr(0, head.find("\r\n"));
  };
  EXPECT_EQ(ask(header({203, 0, 113, 7}) + get), "HTTP/1.1 200 OK");
  boost::asio::ip::tcp::socket held(ioc);
  ask(header({203, 0, 113, 7}), &held);  // holds that client's one connection
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ask(header({203, 0, 113, 7}) + get), "") << "the client's second connection";
  EXPECT_EQ(ask(header({203, 0, 113, 8}) + get), "HTTP/1.1 200 OK") << "another client";
  EXPECT_EQ(ask(header({0, 0, 0, 0}, true) + get), "HTTP/1.1 200 OK") << "the balancer's own";
  std::string bad = header({203, 0, 113, 9});
  bad[3] = 'x';
  EXPECT_EQ(ask(bad + get), "") << "a broken signature";
  EXPECT_EQ(ask(get), "") << "no header at all from a balancer";
  held.close();

  // Elsewhere the header is just bytes that are not HTTP.
  RunningServer direct(ServerOptions{});
  boost::asio::ip::tcp::socket socket(ioc);
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), direct.Port()});
  boost::asio::write(socket, boost::asio::buffer(header({203, 0, 113, 7}) + get));
  const std::string head = ReadHead(socket);
  EXPECT_EQ(head.find("HTTP/1.1 200"), std::string::npos) << head;
}

// The connections of one address have at most their share of the relay's memory queued for
// them, whatever their windows would allow together: stalled viewers of one address hold the
// relay's queue near the share (each sender may put in one more message), and everything queued
// still arrives whole and in order once they read. Without a share the same pairs queue more
// (up to a window each, less what the kernel's buffers hold).
TEST(RelayServerTest, StalledConnectionsOfOneAddressHoldNoMoreThanItsShare) {
  constexpr std::size_t kPairs = 4;
  constexpr std::size_t kWindow = 256u << 10;
  constexpr std::size_t kMessage = 64u << 10;
  constexpr std::size_t kShareBound = kWindow + kPairs * (kMessage + 16);
  const struct {
    const char* name;
    std::size_t share;
    std::size_t atLeast;  // the queue must reach this (the senders were not held too early)
    std::size_t atMost;
  } cases[] = {
      {"a share of one window", kWindow, kWindow / 2, kShareBound},
      {"a share above every window", 64u << 20, kShareBound + 1,
       kPairs * (kWindow + kMessage + 16)},
  };
  auto queued = [](std::uint16_t port) {
    const std::string body = HttpRequest(port, "/metrics").body;
    const std::string name = "\nkestrova_relay_queued_bytes ";
    const auto at = body.find(name);
    return at == std::string::npos ? std::size_t{0}
                                   : std::stoul(body.substr(at + name.size()));
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServerOptions options;
    options.queueBytes = kWindow;
    options.memoryBudget = 1u << 30;
    options.prefixMemoryBudget = c.share;
    options.prefixes.acceptsPerSecond = 1e6;  // the test polls /metrics from the same address
    options.prefixes.acceptBurst = 1e6;
    RunningServer server(options);
    std::vector<Pair> pairs;
    for (std::size_t i = 0; i < kPairs; ++i) {
      pairs.push_back(MakePair(server.Port(), {}, std::to_string(123456780 + i)));
    }
    // Each host sends numbered messages until told to stop; the viewers read nothing.
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> sent{0};
    std::vector<std::atomic<std::uint32_t>> sentBy(kPairs);
    std::vector<std::thread> senders;
    // However the test leaves this round, the senders end: the viewers' drop ends their pairs.
    struct Ending {
      std::atomic<bool>& stop;
      std::vector<Pair>& pairs;
      std::vector<std::thread>& senders;
      ~Ending() {
        stop = true;
        for (auto& p : pairs) p.viewer->Drop();
        for (auto& t : senders) t.join();
      }
    } ending{stop, pairs, senders};
    for (std::size_t i = 0; i < kPairs; ++i) {
      senders.emplace_back([&, i] {
        try {
          for (std::uint32_t seq = 1; !stop; ++seq) {
            pairs[i].host->SendBinary(Numbered(seq, kMessage));
            sentBy[i] = seq;
            ++sent;
          }
        } catch (const std::exception&) {
          // The relay ended the connection: this sender is done.
        }
      });
    }
    // The peak, once every buffer on the way is full: no host has got a message out and the
    // queue has not grown for a second (the kernel's buffers fill first, then the relay's).
    std::size_t peak = 0;
    std::uint64_t sentBefore = 0;
    auto moved = std::chrono::steady_clock::now();
    const auto deadline = moved + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline &&
           std::chrono::steady_clock::now() - moved < std::chrono::seconds(1)) {
      const std::size_t now = queued(server.Port());
      const std::uint64_t sentNow = sent;
      if (now > peak || sentNow != sentBefore) {
        peak = std::max(peak, now);
        sentBefore = sentNow;
        moved = std::chrono::steady_clock::now();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_GE(peak, c.atLeast);
    EXPECT_LE(peak, c.atMost);
    // The hosts stop after their current message and the viewers read, all at once (a sender
    // held for its address's share goes on only as the others drain it), until their
    // connection has been quiet for two seconds: each gets every message its host got out,
    // whole and in order.
    stop = true;
    std::vector<std::string> failures(kPairs);
    std::vector<std::thread> readers;
    for (std::size_t i = 0; i < kPairs; ++i) {
      readers.emplace_back([&, i] {
        pairs[i].viewer->SetTimeout(std::chrono::milliseconds(2000));
        std::uint32_t seq = 0;
        try {
          for (;;) {
            if (pairs[i].viewer->Read().data != Numbered(++seq, kMessage)) {
              failures[i] = "message " + std::to_string(seq) + " differs";
              return;
            }
          }
        } catch (const std::exception&) {
          // Quiet: every message has arrived.
        }
        if (seq - 1 != sentBy[i]) {
          failures[i] = std::to_string(seq - 1) + " of " + std::to_string(sentBy[i].load());
        }
      });
    }
    for (auto& t : readers) t.join();
    for (std::size_t i = 0; i < kPairs; ++i) EXPECT_EQ(failures[i], "") << "viewer " << i;
  }
}

// A GET over a connection with a small receive buffer, read at `bytesPerSecond` at most; once
// `stallAt` bytes have arrived nothing is read for `stall`, then the rest as fast as it comes.
// Returns what arrived (head and body) and whether the relay ended the connection within `limit`.
struct Received {
  std::string bytes;
  bool ended = false;
};
Received PacedGet(std::uint16_t port, const std::string& target, const std::string& ca,
                  double bytesPerSecond, std::size_t stallAt = std::string::npos,
                  std::chrono::milliseconds stall = {},
                  std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
  namespace net = boost::asio;
  using Clock = std::chrono::steady_clock;
  net::io_context ioc;
  net::ip::tcp::socket socket(ioc);
  socket.open(net::ip::tcp::v4());
  socket.set_option(net::socket_base::receive_buffer_size(64 * 1024));
  socket.connect({net::ip::make_address("127.0.0.1"), port});
  std::optional<net::ssl::context> context;
  std::optional<net::ssl::stream<net::ip::tcp::socket&>> tls;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + limit;
  // Runs one operation to its end or the deadline (then the connection is closed and the
  // operation fails).
  auto run = [&](auto&& initiate) {
    boost::system::error_code result = net::error::timed_out;
    std::size_t n = 0;
    bool done = false;
    initiate([&](const boost::system::error_code& ec, std::size_t k = 0) {
      result = ec;
      n = k;
      done = true;
    });
    ioc.restart();
    ioc.run_until(deadline);
    if (!done) {
      boost::system::error_code ignored;
      socket.close(ignored);
      ioc.restart();
      ioc.run();
      result = net::error::timed_out;
    }
    return std::make_pair(result, n);
  };
  if (!ca.empty()) {
    context.emplace(net::ssl::context::tls_client);
    context->load_verify_file(ca);
    context->set_verify_mode(net::ssl::verify_peer);
    tls.emplace(socket, *context);
    EXPECT_FALSE(run([&](auto handler) {
                   tls->async_handshake(net::ssl::stream_base::client,
                                        [handler](const boost::system::error_code& ec) mutable {
                                          handler(ec);
                                        });
                 }).first);
  }
  const std::string request = "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
  EXPECT_FALSE(run([&](auto handler) {
                 if (tls) {
                   net::async_write(*tls, net::buffer(request), handler);
                 } else {
                   net::async_write(socket, net::buffer(request), handler);
                 }
               }).first);
  Received received;
  char buffer[16384];
  bool stalled = false;
  for (;;) {
    const auto [ec, n] = run([&](auto handler) {
      if (tls) {
        tls->async_read_some(net::buffer(buffer), handler);
      } else {
        socket.async_read_some(net::buffer(buffer), handler);
      }
    });
    received.bytes.append(buffer, n);
    if (ec) {
      received.ended = ec != net::error::timed_out;
      return received;
    }
    if (!stalled && received.bytes.size() >= stallAt) {
      stalled = true;
      std::this_thread::sleep_for(stall);
      bytesPerSecond = 0;  // from now on, as fast as it comes
    }
    if (bytesPerSecond > 0) {
      std::this_thread::sleep_until(
          start + std::chrono::microseconds(static_cast<std::int64_t>(
                      static_cast<double>(received.bytes.size()) / bytesPerSecond * 1e6)));
    }
  }
}

class UpdateService : public ::testing::TestWithParam<bool> {
 protected:
  UpdateService() {
    std::filesystem::create_directories(dir_.Path() + "/releases/0.4.0");
    std::ofstream(dir_.Path() + "/update.json") << manifest_;
    std::ofstream(dir_.Path() + "/releases/0.4.0/Orvantis.exe", std::ios::binary) << exe_;
    std::ofstream(dir_.Path() + "/secret.txt") << "not served";
    std::filesystem::create_directories(dir_.Path() + "/releases/0.5.0/Orvantis.exe");
    options_.updateDir = dir_.Path();
    if (GetParam()) {
      options_.tlsCert = cert_.CertPath();
      options_.tlsKey = cert_.KeyPath();
      ca_ = cert_.CertPath();
    }
  }
  TempDir dir_;
  TempCertificate cert_;
  ServerOptions options_;
  std::string ca_;
  const std::string manifest_ = "{\"payload\":\"e30=\",\"signature\":\"AA==\"}";
  const std::string exe_ = std::string("MZ") + std::string(70000, '\x90');
};

TEST_P(UpdateService, ServesExactlyTheManifestAndReleases) {
  RunningServer server(options_);
  const std::uint16_t port = server.Port();

  auto r = HttpRequest(port, "/download/update.json?check=123456", "GET", ca_);
  EXPECT_EQ(r.status, 200u);
  EXPECT_EQ(r.body, manifest_);
  EXPECT_EQ(r.headers["cache-control"], "no-cache");
  EXPECT_EQ(r.headers["content-type"], "application/json");

  r = HttpRequest(port, "/download/releases/0.4.0/Orvantis.exe", "GET", ca_);
  EXPECT_EQ(r.status, 200u);
  EXPECT_EQ(r.body, exe_);
  EXPECT_EQ(r.headers["cache-control"], "no-cache");

  r = HttpRequest(port, "/download/releases/0.4.0/Orvantis.exe", "HEAD", ca_);
  EXPECT_EQ(r.status, 200u);
  EXPECT_EQ(r.headers["content-length"], std::to_string(exe_.size()));
  EXPECT_TRUE(r.body.empty());

  for (const char* target :
       {"/download/secret.txt", "/download/releases/../secret.txt", "/download/%2e%2e/secret.txt",
        "/download/releases/0.3.9/Orvantis.exe", "/download/releases/0.5.0/Orvantis.exe",
        "/download/update.json?check=1&x=2", "/download/", "/", "/index.html"}) {
    r = HttpRequest(port, target, "GET", ca_);
    EXPECT_EQ(r.status, 404u) << target;
    EXPECT_EQ(r.headers.count("location"), 0u);
  }
  EXPECT_EQ(HttpRequest(port, "/download/update.json", "POST", ca_).status, 405u);
  EXPECT_EQ(HttpRequest(port, "/ws", "GET", ca_).status, 426u);
}

TEST_P(UpdateService, HealthAndMetrics) {
  RunningServer server(options_);
  auto r = HttpRequest(server.Port(), "/healthz", "GET", ca_);
  EXPECT_EQ(r.status, 200u);
  EXPECT_EQ(r.body, "ok\n");

  Pair p = MakePair(server.Port(), ca_);
  p.host->SendBinary(std::string(1234, 'z'));
  EXPECT_EQ(p.viewer->Read().data.size(), 1234u);
  {
    WsClient bad(server.Port(), ca_);
    bad.SendText("nonsense");
    bad.WaitClosed();
  }
  r = HttpRequest(server.Port(), "/metrics", "GET", ca_);
  EXPECT_EQ(r.status, 200u);
  EXPECT_NE(r.headers["content-type"].find("text/plain"), std::string::npos);
  for (const char* line :
       {"kestrova_relay_connections 2\n", "kestrova_relay_registered_hosts 1\n",
        "kestrova_relay_sessions 1\n", "kestrova_relay_forwarded_bytes_total 1234\n",
        "kestrova_relay_refusals_total{reason=\"badJson\"} 1\n",
        "# TYPE kestrova_relay_forwarded_bytes_total counter\n"}) {
    EXPECT_NE(r.body.find(line), std::string::npos) << line << r.body;
  }
}

// A large release read slowly arrives whole although the download outlasts the request deadline
// many times over: while the answer keeps going out, only a stall of that length cuts it. A
// client that stops reading is still cut off after it.
TEST_P(UpdateService, ASlowDownloadArrivesWholeAndAStalledOneIsCut) {
  options_.httpTimeout = 300;
  std::string release(8u << 20, '\0');
  for (std::size_t i = 0; i < release.size(); ++i) {
    release[i] = static_cast<char>((i * 131 + (i >> 16)) & 0xff);
  }
  release[0] = 'M';
  release[1] = 'Z';
  std::filesystem::create_directories(dir_.Path() + "/releases/0.6.0");
  std::ofstream(dir_.Path() + "/releases/0.6.0/Orvantis.exe", std::ios::binary) << release;
  RunningServer server(options_);
  const std::string target = "/download/releases/0.6.0/Orvantis.exe";

  const auto start = std::chrono::steady_clock::now();
  const Received slow = PacedGet(server.Port(), target, ca_, 5e6);  // about 1.7 s in all
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(slow.ended);
  EXPECT_GT(took, std::chrono::milliseconds(3 * options_.httpTimeout)) << "not slow after all";
  const std::size_t body = slow.bytes.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  EXPECT_EQ(slow.bytes.rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_EQ(slow.bytes.size() - body - 4, release.size()) << "cut";
  EXPECT_TRUE(slow.bytes.compare(body + 4, std::string::npos, release) == 0);

  // Stops reading after its first 64 KiB for five times the bound: the relay gives up on it, and
  // what reaches it afterwards is only what was already on the way.
  const Received stalled = PacedGet(server.Port(), target, ca_, 0, 64 * 1024,
                                    std::chrono::milliseconds(5 * options_.httpTimeout),
                                    std::chrono::milliseconds(10000));
  EXPECT_TRUE(stalled.ended) << "the relay kept a stalled download open";
  EXPECT_LT(stalled.bytes.size(), release.size());
  // Nothing was held: the update folder is served as before.
  EXPECT_EQ(HttpRequest(server.Port(), "/download/update.json", "GET", ca_).body, manifest_);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, UpdateService, ::testing::Values(false, true),
                         [](const auto& param_info) { return param_info.param ? "https" : "http"; });

TEST(AddressKeyTest, IPv4AsItselfAndIPv6ByItsSlash64) {
  const struct {
    const char* address;
    const char* key;
  } cases[] = {
      {"203.0.113.7", "203.0.113.7"},
      {"127.0.0.1", "127.0.0.1"},
      {"::ffff:203.0.113.7", "203.0.113.7"},  // mapped: the IPv4 address it carries
      {"::ffff:127.0.0.1", "127.0.0.1"},
      {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
      {"2001:db8:1:2::1", "2001:db8:1:2::/64"},  // the same /64: the same key
      {"2001:db8:1:3::1", "2001:db8:1:3::/64"},  // the next /64: another one
      {"2001:db8::", "2001:db8::/64"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff::/64"},
      {"::1", "::/64"},
      {"fe80::1:2:3:4", "fe80::/64"},
      {"::203.0.113.7", "::/64"},  // IPv4-compatible, not mapped: an IPv6 address like any other
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AddressKey(boost::asio::ip::make_address(c.address)), c.key) << c.address;
  }
}

TEST(ServerOptionsTest, ClearTextOnlyOnLoopback) {
  ServerOptions o;
  o.listenHost = "0.0.0.0";
  EXPECT_THROW(ValidateOptions(o), std::invalid_argument);
  o.listenHost = "192.168.1.10";
  EXPECT_THROW(ValidateOptions(o), std::invalid_argument);
  o.listenHost = "::";
  EXPECT_THROW(ValidateOptions(o), std::invalid_argument);
  for (const char* loopback : {"127.0.0.1", "127.0.0.2", "::1", "localhost"}) {
    o.listenHost = loopback;
    EXPECT_NO_THROW(ValidateOptions(o)) << loopback;
  }
  o.listenHost = "0.0.0.0";
  o.tlsCert = "cert.pem";
  EXPECT_THROW(ValidateOptions(o), std::invalid_argument);  // half of the TLS pair
  o.tlsKey = "key.pem";
  EXPECT_NO_THROW(ValidateOptions(o));
  o.updateDir = "/nonexistent/kestrova";
  EXPECT_THROW(ValidateOptions(o), std::invalid_argument);
}

}  // namespace
}  // namespace ov::relay
