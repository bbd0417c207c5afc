// The fleet: the node-to-node wire form, and three real kestrova-relay processes sharing a real
// nats-server (JetStream on, its default 1 MB payload limit, so 1 MiB messages travel in chunks).
#include "relay/fleet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "relay/node_link.h"
#include "relay/test_client.h"
#include "relay/test_pairing.h"

namespace ov::relay {
namespace {

using testing::Child;
using testing::ClosedError;
using testing::HttpRequest;
using testing::TempDir;
using testing::WsClient;
using testing::HostRegister;
using testing::Join;
using testing::MakePairAcross;
using testing::Numbered;
using testing::Pair;
using testing::RegisteredHost;
using testing::ViewerRegister;
using Clock = std::chrono::steady_clock;

// --- wire form ---------------------------------------------------------------------------------

TEST(FleetWireTest, EveryKindRoundTripsAndMalformedMessagesAreRefused) {
  const std::string body = "payload \x00\xff bytes";
  for (int kind = 1; kind <= 10; ++kind) {
    fleet::Message m;
    m.kind = static_cast<fleet::Kind>(kind);
    m.from = "node-1_a";
    m.conn = 0x0102030405060708ull;
    m.seq = 0xfffffffffffffffeull;
    m.flags = m.kind == fleet::Kind::kData ? fleet::kMore : 0;
    m.body = {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()};
    std::string bytes;
    fleet::Encode(m, bytes);
    const auto back = fleet::Decode({reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                     bytes.size()});
    ASSERT_TRUE(back) << kind;
    EXPECT_EQ(back->kind, m.kind);
    EXPECT_EQ(back->from, m.from);
    EXPECT_EQ(back->conn, m.conn);
    EXPECT_EQ(back->seq, m.seq);
    EXPECT_EQ(back->flags, m.flags);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(back->body.data()), back->body.size()),
              body);
    // Every cut short of the header is refused.
    for (std::size_t n = 0; n < bytes.size() - body.size(); ++n) {
      EXPECT_FALSE(fleet::Decode({reinterpret_cast<const std::uint8_t*>(bytes.data()), n}))
          << kind << " cut at " << n;
    }
  }
  auto encoded = [](fleet::Kind kind, std::string_view from, std::uint8_t flags) {
    fleet::Message m;
    m.kind = kind;
    m.from = from;
    m.flags = flags;
    std::string bytes;
    fleet::Encode(m, bytes);
    return bytes;
  };
  struct Bad {
    const char* what;
    std::string bytes;
  };
  std::string unknownKind = encoded(fleet::Kind::kData, "n", 0);
  unknownKind[0] = 11;
  std::string zeroKind = unknownKind;
  zeroKind[0] = 0;
  const Bad bad[] = {
      {"unknown kind", unknownKind},
      {"kind 0", zeroKind},
      {"node name with a dot", encoded(fleet::Kind::kText, "a.b", 0)},
      {"empty node name", encoded(fleet::Kind::kText, "", 0)},
      {"flags on a control message", encoded(fleet::Kind::kText, "n", fleet::kMore)},
      {"unknown flag", encoded(fleet::Kind::kData, "n", 2)},
  };
  for (const Bad& b : bad) {
    EXPECT_FALSE(fleet::Decode({reinterpret_cast<const std::uint8_t*>(b.bytes.data()),
                                b.bytes.size()}))
        << b.what;
  }
  EXPECT_TRUE(fleet::IsNodeName(std::string(64, 'a')));
  EXPECT_FALSE(fleet::IsNodeName(std::string(65, 'a')));
  EXPECT_FALSE(fleet::IsNodeName("node 1"));
  EXPECT_FALSE(fleet::IsNodeName("node>"));
}

// --- node links --------------------------------------------------------------------------------

// A raw TCP connection to a node's link port, written and read as the test says.
class RawLink {
 public:
  explicit RawLink(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      throw std::runtime_error("connect to the link port");
    }
  }
  ~RawLink() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawLink(const RawLink&) = delete;
  RawLink& operator=(const RawLink&) = delete;

  void Send(std::string_view bytes) const {
    for (std::size_t at = 0; at < bytes.size();) {
      const ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return;  // closed: the caller checks that
      at += static_cast<std::size_t>(n);
    }
  }
  // A message as a link carries it: its 4-byte little-endian length, then its bytes.
  void SendMessage(const std::string& message, std::size_t declared = 0) const {
    const std::size_t n = declared != 0 ? declared : message.size();
    const char length[4] = {static_cast<char>(n), static_cast<char>(n >> 8),
                            static_cast<char>(n >> 16), static_cast<char>(n >> 24)};
    Send(std::string_view(length, 4));
    Send(message);
  }
  // True when the node closed the connection within `wait`.
  bool ClosedWithin(std::chrono::milliseconds wait) const {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
    char byte = 0;
    return ::recv(fd_, &byte, 1, 0) <= 0;
  }

 private:
  int fd_ = -1;
};

struct LinkEvents : NodeLinks::Events {
  bool LinkPeerValid(const std::string& node, const std::string& token) override {
    return node == "node-b" && token == "token-b";
  }
  void OnLinkMessage(const fleet::Message& message) override {
    std::lock_guard lock(mutex);
    sizes.push_back(message.body.size());
  }
  void OnLinkDown(const std::string&) override {}
  std::size_t Received() {
    std::lock_guard lock(mutex);
    return sizes.size();
  }
  std::mutex mutex;
  std::vector<std::size_t> sizes;
};

std::string Encoded(fleet::Kind kind, std::string_view from, const std::string& body) {
  fleet::Message m;
  m.kind = kind;
  m.from = from;
  m.body = {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()};
  std::string bytes;
  fleet::Encode(m, bytes);
  return bytes;
}

// Before its hello a link holds no message buffer and few sockets: a first message longer than a
// hello is refused at once, and links beyond the unnamed bound are closed as they come. A member's
// link, once it said hello, carries messages up to the relay's largest.
TEST(NodeLinkTest, ALinkIsHeldToAHelloUntilItSaysOne) {
  LinkEvents events;
  NodeLinks links("127.0.0.1:0", "node-a", "token-a", events);
  const std::string address = links.Address();
  const auto port = static_cast<std::uint16_t>(std::stoul(address.substr(address.rfind(':') + 1)));
  const auto soon = std::chrono::milliseconds(2000);
  const auto quiet = std::chrono::milliseconds(200);

  {
    RawLink big(port);
    big.SendMessage("", 8 * 1024 * 1024);  // declares 8 MiB, sends nothing more
    EXPECT_TRUE(big.ClosedWithin(soon));
  }
  {
    RawLink stranger(port);
    stranger.SendMessage(Encoded(fleet::Kind::kHeartbeat, "node-c", "token-c"));
    EXPECT_TRUE(stranger.ClosedWithin(soon)) << "not a member";
  }
  {
    std::vector<std::unique_ptr<RawLink>> silent;
    for (int i = 0; i < 64; ++i) silent.push_back(std::make_unique<RawLink>(port));
    for (const auto& link : silent) EXPECT_FALSE(link->ClosedWithin(std::chrono::milliseconds(5)));
    RawLink extra(port);
    EXPECT_TRUE(extra.ClosedWithin(soon)) << "the 65th unnamed link";
  }
  // Once the node has seen the silent ones go, a member's link is held, and after its hello a
  // 1 MiB message passes.
  std::unique_ptr<RawLink> member;
  for (int attempt = 0; attempt < 40; ++attempt) {
    member = std::make_unique<RawLink>(port);
    member->SendMessage(Encoded(fleet::Kind::kHeartbeat, "node-b", "token-b"));
    if (!member->ClosedWithin(std::chrono::milliseconds(50))) break;
  }
  member->SendMessage(Encoded(fleet::Kind::kData, "node-b", std::string(1 << 20, 'x')));
  const Clock::time_point end = Clock::now() + soon;
  while (events.Received() == 0 && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(member->ClosedWithin(quiet));
  ASSERT_EQ(events.Received(), 1u);
  EXPECT_EQ(events.sizes[0], std::size_t{1} << 20);
  links.Stop();
}

// --- a fleet of processes ----------------------------------------------------------------------

constexpr const char* kNatsServer = "/usr/sbin/nats-server";
constexpr int kLeaseSeconds = 6;  // longer than the node timeout, to see it hold

// A NATS server with JetStream on a loopback port (a free one the first time, then the same one,
// with the same store, when started again).
class Nats {
 public:
  explicit Nats(const TempDir& dir) : dir_(dir) {}
  void Start() {
    const std::string conf = dir_.Path() + "/nats.conf";
    std::ofstream(conf) << "listen: 127.0.0.1:" << (port_ == 0 ? -1 : port_) << "\n"
                        << "jetstream { store_dir: \"" << dir_.Path() << "/js\" }\n";
    child_ = std::make_unique<Child>(kNatsServer, std::vector<std::string>{"-c", conf});
    const std::string out = child_->ReadUntil("Server is ready");
    ASSERT_NE(out.find("Server is ready"), std::string::npos) << out;
    const std::string line = "client connections on 127.0.0.1:";
    const auto at = out.find(line);
    ASSERT_NE(at, std::string::npos) << out;
    port_ = static_cast<std::uint16_t>(std::stoi(out.substr(at + line.size())));
  }
  void Kill() {
    child_->Signal(SIGKILL);
    child_->Wait();
    child_.reset();
  }
  std::string Url() const { return "nats://127.0.0.1:" + std::to_string(port_); }

 private:
  const TempDir& dir_;
  std::uint16_t port_ = 0;
  std::unique_ptr<Child> child_;
};

struct Node {
  std::unique_ptr<Child> process;
  std::uint16_t port = 0;
};

// Sessions across nodes travel through NATS, or on the nodes' direct links.
class FleetTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_EQ(::access(kNatsServer, X_OK), 0)
        << kNatsServer << " is missing: scripts/install-deps installs Debian's nats-server";
    nats_.Start();
  }

  void StartNodes(std::size_t count, std::vector<std::string> extra = {}) {
    for (std::size_t i = 0; i < count; ++i) {
      std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--nats", nats_.Url(),
                                       "--node-name", "node" + std::to_string(nodes_.size() + 1),
                                       "--lease", std::to_string(kLeaseSeconds), "--threads", "2"};
      if (GetParam()) {
        args.push_back("--advertise");
        args.push_back("127.0.0.1:0");
      }
      args.insert(args.end(), extra.begin(), extra.end());
      Node node;
      node.process = std::make_unique<Child>(OV_RELAY_BINARY, args);
      node.port = node.process->ListeningPort();
      ASSERT_NE(node.port, 0) << node.process->Output();
      nodes_.push_back(std::move(node));
    }
    // Every node has heard every other one before a test relies on it.
    for (const Node& node : nodes_) {
      ASSERT_TRUE(WaitHealthy(node, nodes_.size())) << node.process->Output();
    }
  }

  // Until /healthz says 200 with `nodes` live nodes (10 s at most).
  static bool WaitHealthy(const Node& node, std::size_t nodes) {
    const std::string want = ", " + std::to_string(nodes) + " nodes";
    for (int i = 0; i < 200; ++i) {
      try {
        const auto r = HttpRequest(node.port, "/healthz");
        if (r.status == 200 && r.body.find(want) != std::string::npos) return true;
      } catch (const std::exception&) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::uint16_t Port(std::size_t node) const { return nodes_.at(node - 1).port; }

  TempDir dir_;
  Nats nats_{dir_};
  std::vector<Node> nodes_;
};

// One exchange each way, checked.
void Exchange(Pair& p, std::uint32_t seq) {
  p.host->SendBinary(Numbered(seq, 300));
  p.viewer->SendBinary(Numbered(seq + 1, 5000));
  const auto toViewer = p.viewer->Read();
  EXPECT_TRUE(toViewer.binary);
  EXPECT_EQ(toViewer.data, Numbered(seq, 300));
  const auto toHost = p.host->Read();
  EXPECT_EQ(toHost.data, Numbered(seq + 1, 5000));
}

Json Error(const std::string& code) { return {{"type", "error"}, {"code", code}}; }

TEST_P(FleetTest, HostAndViewerOnDifferentNodesPairAndStream100MiBEachWayInOrder) {
  StartNodes(3);
  Pair p = MakePairAcross(Port(1), Port(2), "123456789");
  // 100 messages of 1 MiB each way at once; the viewer on the far node reads slowly, so the host
  // is held back across the hop instead of anything being dropped.
  constexpr std::uint32_t kCount = 100;
  constexpr std::size_t kSize = 1u << 20;
  std::atomic<bool> failed{false};
  std::thread hostSends([&] {
    for (std::uint32_t i = 0; i < kCount && !failed; ++i) p.host->SendBinary(Numbered(i, kSize));
  });
  std::thread viewerSends([&] {
    for (std::uint32_t i = 0; i < kCount && !failed; ++i) {
      p.viewer->SendBinary(Numbered(1000 + i, kSize - i));
    }
  });
  std::thread hostReads([&] {
    for (std::uint32_t i = 0; i < kCount; ++i) {
      const auto m = p.host->Read();
      if (!m.binary || m.data != Numbered(1000 + i, kSize - i)) {
        failed = true;
        ADD_FAILURE() << "host got a wrong message at " << i;
        return;
      }
    }
  });
  for (std::uint32_t i = 0; i < kCount; ++i) {
    if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(40));
    const auto m = p.viewer->Read();
    if (!m.binary || m.data != Numbered(i, kSize)) {
      failed = true;
      ADD_FAILURE() << "viewer got a wrong message at " << i;
      break;
    }
  }
  hostSends.join();
  viewerSends.join();
  hostReads.join();
  // The session goes on, and ends as a local one does: the host stays registered.
  Exchange(p, 7);
  p.viewer->Close();
  EXPECT_EQ(p.host->ReadJson(),
            Json({{"type", "peerDisconnected"}, {"requestId", p.requestId}}));
  Join(p, Port(3), "123456789");  // the same host, from a third node
  Exchange(p, 9);
}

TEST_P(FleetTest, AnIdRegistersOnceInTheWholeFleet) {
  StartNodes(3);
  for (int round = 0; round < 5; ++round) {
    const std::string id = "55555555" + std::to_string(round);
    WsClient a(Port(1));
    WsClient b(Port(round % 2 == 0 ? 2 : 3));
    a.SendJson(HostRegister(id));
    b.SendJson(HostRegister(id));
    const Json ra = a.ReadJson();
    const Json rb = b.ReadJson();
    const Json registered = {{"type", "registered"}, {"protocol", 3}};
    EXPECT_TRUE((ra == registered) != (rb == registered)) << ra << " " << rb;
    EXPECT_TRUE(ra == Error("idInUse") || rb == Error("idInUse")) << ra << " " << rb;
  }
  // An unknown ID is unknown everywhere.
  WsClient viewer(Port(3));
  viewer.SendJson(ViewerRegister("999999999"));
  EXPECT_EQ(viewer.ReadJson(), Error("unknownHost"));
}

TEST_P(FleetTest, AKilledNodeEndsItsSessionsAndItsIdsExpireWithTheirLease) {
  StartNodes(3);
  Pair p = MakePairAcross(Port(1), Port(2), "111111111");
  Exchange(p, 1);
  auto idle = RegisteredHost(Port(1), {}, "222222222");
  const auto killed = Clock::now();
  nodes_[0].process->Signal(SIGKILL);
  p.viewer->SetTimeout(std::chrono::milliseconds(8000));
  EXPECT_EQ(p.viewer->ReadJson(),
            Json({{"type", "peerDisconnected"}, {"requestId", p.requestId}}));
  const auto heard = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed);
  EXPECT_LT(heard.count(), 6000);
  EXPECT_EQ(p.viewer->WaitClosed(), 1000);
  std::printf("peerDisconnected %lld ms after the kill\n", static_cast<long long>(heard.count()));

  // A viewer for the dead node's host is refused at once: through NATS the node is known to be
  // gone by now; node 3 has no link to it yet, and finds it cannot make one. Its ID is free once
  // the lease has run out, and not before.
  WsClient viewer(Port(3));
  viewer.SendJson(ViewerRegister("222222222"));
  EXPECT_EQ(viewer.ReadJson(), Error(GetParam() ? "unavailable" : "unknownHost"));
  bool expired = false;
  bool heldBefore = false;
  while (Clock::now() - killed < std::chrono::seconds(kLeaseSeconds + 5)) {
    WsClient host(Port(3));
    host.SendJson(HostRegister("222222222"));
    const Json reply = host.ReadJson();
    if (reply.at("type") == "registered") {
      expired = true;
      EXPECT_GE(Clock::now() - killed, std::chrono::seconds(kLeaseSeconds - 1));
      break;
    }
    EXPECT_EQ(reply, Error("idInUse"));
    heldBefore = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  EXPECT_TRUE(heldBefore);
  EXPECT_TRUE(expired);
}

TEST_P(FleetTest, ANatsRestartEndsSessionsAcrossNodesCleanlyAndRegistrationComesBack) {
  StartNodes(3);
  Pair across = MakePairAcross(Port(1), Port(2), "333333333");
  Pair local = MakePairAcross(Port(3), Port(3), "444444444");
  Exchange(across, 1);
  nats_.Kill();

  // The session across nodes ends on both sides as if the other end had left.
  across.viewer->SetTimeout(std::chrono::milliseconds(8000));
  across.host->SetTimeout(std::chrono::milliseconds(8000));
  const Json gone = {{"type", "peerDisconnected"}, {"requestId", across.requestId}};
  EXPECT_EQ(across.viewer->ReadJson(), gone);
  EXPECT_EQ(across.host->ReadJson(), gone);
  // A session within one node is untouched; registering needs the registry.
  Exchange(local, 3);
  {
    bool down = false;
    for (int i = 0; i < 100 && !down; ++i) {
      down = HttpRequest(Port(1), "/healthz").status == 503;
      if (!down) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(down);
    WsClient host(Port(1));
    host.SendJson(HostRegister("666666666"));
    EXPECT_EQ(host.ReadJson(), Error("unavailable"));
  }

  nats_.Start();
  for (const Node& node : nodes_) EXPECT_TRUE(WaitHealthy(node, 3)) << node.process->Output();
  Exchange(local, 5);
  // The host that stayed registered through the outage is reachable from another node, and new
  // registrations work again.
  // (Its lease is renewed, or made again if it expired meanwhile, right after the reconnect.)
  bool reached = false;
  for (int i = 0; i < 20 && !reached; ++i) {
    WsClient viewer(Port(3));
    viewer.SendJson(ViewerRegister("333333333"));
    viewer.SetTimeout(std::chrono::milliseconds(500));
    try {
      EXPECT_EQ(viewer.ReadJson(), Error("unknownHost"));  // not renewed yet
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } catch (const testing::TimeoutError&) {
      // Waiting for the host's answer: the host has the request.
      reached = across.host->ReadJson().at("type") == "connectRequest";
    }
  }
  EXPECT_TRUE(reached);
  Pair fresh = MakePairAcross(Port(2), Port(1), "777777777");
  Exchange(fresh, 11);
}

TEST_P(FleetTest, ThePerAddressRegistrationLimitHoldsAcrossNodes) {
  StartNodes(3, {"--registrations-per-minute", "3"});
  std::vector<std::unique_ptr<WsClient>> hosts;
  for (std::size_t i = 0; i < 3; ++i) {
    hosts.push_back(RegisteredHost(Port(i + 1), {}, "88888888" + std::to_string(i)));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (std::size_t node = 1; node <= 3; ++node) {
    WsClient more(Port(node));
    more.SendJson(HostRegister("888888889"));
    EXPECT_EQ(more.ReadJson(), Error("rateLimited")) << "node " << node;
  }
}

INSTANTIATE_TEST_SUITE_P(DataPlane, FleetTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? std::string("DirectLinks") : std::string("Nats");
                         });

}  // namespace
}  // namespace ov::relay
