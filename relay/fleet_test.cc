// The fleet: the node-to-node wire form, and three real kestrova-relay processes sharing a real
// nats-server (JetStream on, its default 1 MB payload limit, so 1 MiB messages travel in chunks).
#include "relay/fleet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "relay/fleet_wire.h"
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

// A sealed message opens only with the key, on the subject, and whole.
TEST(FleetWireTest, ASealedMessageOpensOnlyWithItsKeyOnItsSubjectAndUntouched) {
  const fleet::Keys keys = fleet::DeriveKeys("the fleet's secret, long enough");
  const fleet::Keys other = fleet::DeriveKeys("the fleet's secret, long enougH");
  EXPECT_NE(keys.nats, keys.link);
  EXPECT_NE(keys.link, keys.hello);
  EXPECT_NE(keys.nats, other.nats);
  const std::string subject = "kestrova.relay.node.n1";
  std::string sealed;
  fleet::Seal(keys.nats, subject, 0x1122334455667788ull, 42, "payload", sealed);
  ASSERT_EQ(sealed.size(), fleet::kSealOverhead + 7);
  auto open = [](const fleet::Key& key, std::string_view on, const std::string& bytes) {
    return fleet::Open(key, on, {reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                 bytes.size()});
  };
  const auto opened = open(keys.nats, subject, sealed);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->instance, 0x1122334455667788ull);
  EXPECT_EQ(opened->counter, 42u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(opened->payload.data()),
                        opened->payload.size()),
            "payload");
  EXPECT_FALSE(open(keys.nats, "kestrova.relay.node.n2", sealed)) << "another subject";
  EXPECT_FALSE(open(other.nats, subject, sealed)) << "another fleet";
  EXPECT_FALSE(open(keys.link, subject, sealed)) << "another key of the fleet";
  for (std::size_t at = 0; at < sealed.size(); ++at) {
    std::string flipped = sealed;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x10);
    EXPECT_FALSE(open(keys.nats, subject, flipped)) << "byte " << at << " changed";
  }
  for (std::size_t n = 0; n < sealed.size(); ++n) {
    EXPECT_FALSE(open(keys.nats, subject, sealed.substr(0, n))) << "cut at " << n;
  }
  EXPECT_FALSE(open(keys.nats, subject, sealed + "x")) << "a byte added";
  // The payload is encrypted: not in the envelope, and not the same twice.
  const std::string secret = "sessionId 123456789 from 198.51.100.7";
  std::string first, second;
  fleet::Seal(keys.nats, subject, 7, 1, secret, first);
  fleet::Seal(keys.nats, subject, 7, 2, secret, second);
  for (const std::string& piece : {secret, std::string("123456789"), std::string("198.51.100")}) {
    EXPECT_EQ(first.find(piece), std::string::npos) << piece;
  }
  EXPECT_NE(first.substr(17), second.substr(17));
  const auto back = open(keys.nats, subject, second);
  ASSERT_TRUE(back);
  EXPECT_EQ(std::string(back->payload.begin(), back->payload.end()), secret);
  // The hello's proof depends on every input.
  const std::vector<std::uint8_t> challenge(32, 1), binding(32, 2), changed(32, 3);
  auto same = [&](const fleet::Key& key, const std::vector<std::uint8_t>& c,
                  const std::vector<std::uint8_t>& b, std::string_view node, std::uint64_t id) {
    return fleet::ProofEquals(fleet::HelloProof(keys.hello, challenge, binding, "n1", 7),
                              fleet::HelloProof(key, c, b, node, id));
  };
  EXPECT_TRUE(same(keys.hello, challenge, binding, "n1", 7));
  EXPECT_FALSE(same(other.hello, challenge, binding, "n1", 7));
  EXPECT_FALSE(same(keys.hello, changed, binding, "n1", 7));
  EXPECT_FALSE(same(keys.hello, challenge, changed, "n1", 7));
  EXPECT_FALSE(same(keys.hello, challenge, binding, "n2", 7));
  EXPECT_FALSE(same(keys.hello, challenge, binding, "n1", 8));
}

TEST(FleetWireTest, TheReplayGuardTakesEachCounterOnceWithinItsWindow) {
  struct Step {
    const char* sender;
    std::uint64_t instance;
    std::uint64_t counter;
    bool accepted;
  };
  const Step steps[] = {
      {"a", 1, 0, false},    // counters start at 1
      {"a", 1, 10, true},    {"a", 1, 10, false},  // the same message again
      {"a", 1, 8, true},     {"a", 1, 8, false},   // late, inside the window, once
      {"b", 1, 8, true},                           // another sender's counters are its own
      {"a", 2, 3, true},                           // a restarted node: a new instance
      {"a", 1, 9, true},     {"a", 1, 11, true},   {"a", 1, 74, true},
      {"a", 1, 11, false},   // 63 behind: still remembered
      {"a", 1, 10, false},   // 64 behind: out of the window
      {"a", 1, 12, true},    // 62 behind, not seen: taken
      {"a", 1, 1000, true},  {"a", 1, 74, false},
      {"a", 2, 4, true},     {"a", 2, 3, false},
  };
  fleet::ReplayGuard guard;
  int i = 0;
  for (const Step& step : steps) {
    EXPECT_EQ(guard.Accept(step.sender, step.instance, step.counter), step.accepted)
        << "step " << i << ": " << step.sender << " " << step.instance << " " << step.counter;
    ++i;
  }
  // A sender's last kInstances instances are all remembered with their counters.
  fleet::ReplayGuard bounded;
  EXPECT_TRUE(bounded.Accept("n", 1000, 5));
  for (std::uint64_t instance = 1; instance < fleet::ReplayGuard::kInstances; ++instance) {
    EXPECT_TRUE(bounded.Accept("n", instance, 1));
  }
  EXPECT_FALSE(bounded.Accept("n", 1000, 5));
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
  int Fd() const { return fd_; }
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

constexpr std::uint64_t kInstanceB = 0x0b0b0b0b12345678ull;

// Accepts links from `node` of `instance` only (what the fleet's heartbeats would say).
struct LinkEvents : NodeLinks::Events {
  explicit LinkEvents(std::string node = "node-b", std::uint64_t instance = kInstanceB)
      : member(std::move(node)), memberInstance(instance) {}
  bool LinkPeerValid(const std::string& node, std::uint64_t instance) override {
    return node == member && instance == memberInstance;
  }
  void OnLinkMessage(const fleet::Message& message) override {
    std::lock_guard lock(mutex);
    sizes.push_back(message.body.size());
    instances.push_back(message.instance);
  }
  void OnLinkDown(const std::string& node) override {
    std::lock_guard lock(mutex);
    down.push_back(node);
  }
  std::size_t Received() {
    std::lock_guard lock(mutex);
    return sizes.size();
  }
  std::size_t Downs() {
    std::lock_guard lock(mutex);
    return down.size();
  }
  const std::string member;
  const std::uint64_t memberInstance;
  std::mutex mutex;
  std::vector<std::size_t> sizes;
  std::vector<std::uint64_t> instances;
  std::vector<std::string> down;
};

std::string Encoded(fleet::Kind kind, std::string_view from, const std::string& body,
                    std::uint64_t conn = 0) {
  fleet::Message m;
  m.kind = kind;
  m.from = from;
  m.conn = conn;
  m.body = {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()};
  std::string bytes;
  fleet::Encode(m, bytes);
  return bytes;
}

std::uint16_t PortOf(const std::string& address) {
  return static_cast<std::uint16_t>(std::stoul(address.substr(address.rfind(':') + 1)));
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds wait) {
  const Clock::time_point end = Clock::now() + wait;
  while (!done()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A link as a node dials it, step by step: TLS with the key derived from `secret`, then the
// node's challenge, then whatever hello the test writes.
class TlsLink {
 public:
  TlsLink(std::uint16_t port, const std::string& secret)
      : tcp_(port), keys_(fleet::DeriveKeys(secret)), ctx_(SSL_CTX_new(TLS_client_method())) {
    ConfigureLinkTls(ctx_, keys_.link, false);
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, tcp_.Fd());
    handshaken_ = SSL_connect(ssl_) == 1;
  }
  ~TlsLink() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }
  TlsLink(const TlsLink&) = delete;
  TlsLink& operator=(const TlsLink&) = delete;

  bool Handshaken() const { return handshaken_; }
  // The node's challenge (empty when it did not come).
  std::vector<std::uint8_t> Challenge() {
    std::vector<std::uint8_t> challenge(fleet::kChallenge);
    for (std::size_t at = 0; at < challenge.size();) {
      const int n = SSL_read(ssl_, challenge.data() + at, static_cast<int>(challenge.size() - at));
      if (n <= 0) return {};
      at += static_cast<std::size_t>(n);
    }
    return challenge;
  }
  std::array<std::uint8_t, 32> Binding() {
    std::array<std::uint8_t, 32> out{};
    SSL_export_keying_material(ssl_, out.data(), out.size(), fleet::kExporterLabel.data(),
                               fleet::kExporterLabel.size(), nullptr, 0, 0);
    return out;
  }
  // The hello `node` of `instance` says, proving the secret over `challenge` and `binding`.
  std::string Hello(std::string_view node, std::uint64_t instance,
                    std::span<const std::uint8_t> challenge,
                    std::span<const std::uint8_t> binding) const {
    const auto proof = fleet::HelloProof(keys_.hello, challenge, binding, node, instance);
    return Encoded(fleet::Kind::kHeartbeat, node, std::string(proof.begin(), proof.end()),
                   instance);
  }
  void SendMessage(const std::string& message) {
    const std::size_t n = message.size();
    std::string framed = {static_cast<char>(n), static_cast<char>(n >> 8),
                          static_cast<char>(n >> 16), static_cast<char>(n >> 24)};
    framed += message;
    SSL_write(ssl_, framed.data(), static_cast<int>(framed.size()));
  }
  bool ClosedWithin(std::chrono::milliseconds wait) {
    pollfd p{tcp_.Fd(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
    char byte = 0;
    return SSL_read(ssl_, &byte, 1) <= 0;
  }

 private:
  RawLink tcp_;
  const fleet::Keys keys_;
  SSL_CTX* ctx_;
  SSL* ssl_ = nullptr;
  bool handshaken_ = false;
};

constexpr const char* kSecret = "fleet secret for the tests, 32 b";

// Before its hello a link holds few sockets and no message buffer: bytes that are not TLS end it
// at once, and links beyond the unnamed bound are closed as they come (a first message longer
// than a hello is refused too, below).
TEST(NodeLinkTest, ALinkIsHeldToAHelloUntilItSaysOne) {
  LinkEvents events;
  NodeLinks links("127.0.0.1:0", "node-a", 1, fleet::DeriveKeys(kSecret), events);
  const std::uint16_t port = PortOf(links.Address());
  const auto soon = std::chrono::milliseconds(2000);
  {
    RawLink clear(port);
    clear.SendMessage(Encoded(fleet::Kind::kHeartbeat, "node-b", std::string(32, 'p'),
                              kInstanceB));
    EXPECT_TRUE(clear.ClosedWithin(soon)) << "a hello without TLS";
  }
  {
    std::vector<std::unique_ptr<RawLink>> silent;
    for (int i = 0; i < 64; ++i) silent.push_back(std::make_unique<RawLink>(port));
    for (const auto& link : silent) EXPECT_FALSE(link->ClosedWithin(std::chrono::milliseconds(5)));
    RawLink extra(port);
    EXPECT_TRUE(extra.ClosedWithin(soon)) << "the 65th unnamed link";
  }
  EXPECT_EQ(events.Received(), 0u);
  links.Stop();
}

// Only a holder of the secret completes the handshake, and only a hello proved over this link's
// own challenge and channel, by the instance its node announces, is taken. A member's link then
// carries messages up to the relay's largest, until it breaks a rule: that ends this link, and
// the node takes the next one.
TEST(NodeLinkTest, OnlyAFreshProofOfTheSecretByTheAnnouncedInstanceIsHeard) {
  LinkEvents events;
  NodeLinks links("127.0.0.1:0", "node-a", 1, fleet::DeriveKeys(kSecret), events);
  const std::uint16_t port = PortOf(links.Address());
  const auto soon = std::chrono::milliseconds(3000);
  const auto quiet = std::chrono::milliseconds(200);

  // A hello recorded on one link, to be replayed on another.
  std::string recorded;
  {
    TlsLink first(port, kSecret);
    ASSERT_TRUE(first.Handshaken());
    const auto challenge = first.Challenge();
    ASSERT_EQ(challenge.size(), fleet::kChallenge);
    recorded = first.Hello("node-b", kInstanceB, challenge, first.Binding());
  }
  enum class Hello { kRecorded, kOtherChallenge, kOversized, kOwn };
  struct Case {
    const char* what;
    std::string secret;
    Hello hello;
    std::string node;
    std::uint64_t instance;
    bool heard;
  };
  const Case cases[] = {
      {"without the secret", "another fleet's secret, 32 bytes", Hello::kOwn, "node-b",
       kInstanceB, false},
      {"a replayed hello", kSecret, Hello::kRecorded, "node-b", kInstanceB, false},
      {"a proof over another challenge", kSecret, Hello::kOtherChallenge, "node-b", kInstanceB,
       false},
      {"an instance the node does not announce", kSecret, Hello::kOwn, "node-b", kInstanceB + 1,
       false},
      {"a node that is not a member", kSecret, Hello::kOwn, "node-c", kInstanceB, false},
      {"a first message longer than a hello", kSecret, Hello::kOversized, "node-b", kInstanceB,
       false},
      {"the member", kSecret, Hello::kOwn, "node-b", kInstanceB, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TlsLink link(port, c.secret);
    if (!link.Handshaken()) {
      EXPECT_FALSE(c.heard);
      continue;
    }
    const auto challenge = link.Challenge();
    if (challenge.empty()) {
      EXPECT_FALSE(c.heard);  // the handshake went through on our side only
      continue;
    }
    std::vector<std::uint8_t> other(challenge);
    other[0] ^= 1;
    std::string hello = link.Hello(c.node, c.instance, challenge, link.Binding());
    if (c.hello == Hello::kRecorded) hello = recorded;
    if (c.hello == Hello::kOtherChallenge) {
      hello = link.Hello(c.node, c.instance, other, link.Binding());
    }
    if (c.hello == Hello::kOversized) hello += std::string(fleet::kHeaderMax, 'x');
    link.SendMessage(hello);
    if (!c.heard) {
      EXPECT_TRUE(link.ClosedWithin(soon));
      continue;
    }
    const std::size_t before = events.Received();
    link.SendMessage(Encoded(fleet::Kind::kData, "node-b", std::string(1 << 20, 'x')));
    ASSERT_TRUE(WaitFor([&] { return events.Received() > before; }, soon));
    EXPECT_FALSE(link.ClosedWithin(quiet));
    {
      std::lock_guard lock(events.mutex);
      EXPECT_EQ(events.sizes.back(), std::size_t{1} << 20);
      EXPECT_EQ(events.instances.back(), kInstanceB);
    }
    // Speaking for another node, or saying hello again, ends the link.
    link.SendMessage(Encoded(fleet::Kind::kText, "node-c", "{}"));
    EXPECT_TRUE(link.ClosedWithin(soon));
    EXPECT_TRUE(WaitFor([&] { return events.Downs() == 1; }, soon));
  }
  EXPECT_EQ(events.Received(), 1u);
  // The node still takes its member.
  TlsLink again(port, kSecret);
  ASSERT_TRUE(again.Handshaken());
  const auto challenge = again.Challenge();
  again.SendMessage(again.Hello("node-b", kInstanceB, challenge, again.Binding()));
  again.SendMessage(Encoded(fleet::Kind::kHeartbeat, "node-b", std::string(32, 'p'), kInstanceB));
  EXPECT_TRUE(again.ClosedWithin(soon)) << "a second hello";
  links.Stop();
}

// Two nodes' links end to end: with the same secret a message crosses; with different ones the
// dialling node hears that the link is down and the other one hears nothing.
TEST(NodeLinkTest, NodesLinkOnlyWithTheSameSecret) {
  struct Case {
    const char* secretB;
    bool crosses;
  };
  const Case cases[] = {{kSecret, true}, {"another fleet's secret, 32 bytes", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.secretB);
    LinkEvents eventsA;                       // hears node-b of kInstanceB
    LinkEvents eventsB("node-a", 0x0a0a0a0a);  // hears node-a of its instance
    NodeLinks a("127.0.0.1:0", "node-a", 0x0a0a0a0a, fleet::DeriveKeys(kSecret), eventsA);
    NodeLinks b("127.0.0.1:0", "node-b", kInstanceB, fleet::DeriveKeys(c.secretB), eventsB);
    // (Refused at once when the handshake has failed already.)
    const bool queued = a.Send("node-b", b.Address(), Encoded(fleet::Kind::kText, "node-a", "hi"));
    if (c.crosses) {
      ASSERT_TRUE(queued);
      ASSERT_TRUE(WaitFor([&] { return eventsB.Received() == 1; }, std::chrono::seconds(3)));
      std::lock_guard lock(eventsB.mutex);
      EXPECT_EQ(eventsB.instances[0], 0x0a0a0a0au);
    } else {
      EXPECT_TRUE(WaitFor([&] { return eventsA.Downs() == 1; }, std::chrono::seconds(3)));
      EXPECT_EQ(eventsB.Received(), 0u);
    }
    a.Stop();
    b.Stop();
  }
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
  std::uint16_t Port() const { return port_; }

 private:
  const TempDir& dir_;
  std::uint16_t port_ = 0;
  std::unique_ptr<Child> child_;
};

// A bare NATS client speaking the text protocol: what anyone with access to the fleet's NATS
// account can publish, and what it can see.
class NatsClient {
 public:
  explicit NatsClient(std::uint16_t port) : link_(port) {
    Line();  // INFO
    Write("CONNECT {\"verbose\":false,\"pedantic\":false}\r\n");
    Flush();
  }
  void Subscribe(const std::string& subject) { Write("SUB " + subject + " 1\r\n"); }
  // With a reply subject: the answer comes to it (when it is subscribed).
  void Publish(const std::string& subject, std::string_view payload,
               const std::string& reply = "") {
    Write("PUB " + subject + " " + (reply.empty() ? "" : reply + " ") +
          std::to_string(payload.size()) + "\r\n");
    Write(payload);
    Write("\r\n");
  }
  // Until the server has seen everything written so far.
  void Flush() {
    Write("PING\r\n");
    while (Line() != "PONG") {
    }
  }
  struct Msg {
    std::string subject;
    std::string payload;
  };
  // The next message on a subscription (PINGs answered on the way).
  Msg Next() {
    for (;;) {
      const std::string line = Line();
      if (line == "PING") {
        Write("PONG\r\n");
        continue;
      }
      if (line.rfind("MSG ", 0) != 0) continue;
      const auto subjectEnd = line.find(' ', 4);
      Msg m;
      m.subject = line.substr(4, subjectEnd - 4);
      const std::size_t size = std::stoul(line.substr(line.rfind(' ') + 1));
      m.payload = Read(size + 2).substr(0, size);
      return m;
    }
  }

 private:
  void Write(std::string_view bytes) { link_.Send(bytes); }
  std::string Read(std::size_t n) {
    while (buffer_.size() < n) Fill();
    std::string out = buffer_.substr(0, n);
    buffer_.erase(0, n);
    return out;
  }
  std::string Line() {
    std::size_t end = 0;
    while ((end = buffer_.find("\r\n")) == std::string::npos) Fill();
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 2);
    return line;
  }
  void Fill() {
    pollfd p{link_.Fd(), POLLIN, 0};
    char chunk[65536];
    if (::poll(&p, 1, 5000) <= 0) throw std::runtime_error("NATS: nothing within 5 s");
    const ssize_t n = ::recv(link_.Fd(), chunk, sizeof chunk, 0);
    if (n <= 0) throw std::runtime_error("NATS closed the connection");
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
  RawLink link_;
  std::string buffer_;
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
    secretFile_ = dir_.Path() + "/fleet.secret";
    std::ofstream(secretFile_) << kSecret << "\n";
    ASSERT_EQ(::chmod(secretFile_.c_str(), 0600), 0);
  }

  void StartNodes(std::size_t count, std::vector<std::string> extra = {}) {
    for (std::size_t i = 0; i < count; ++i) {
      std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--nats", nats_.Url(),
                                       "--node-name", "node" + std::to_string(nodes_.size() + 1),
                                       "--lease", std::to_string(kLeaseSeconds), "--threads", "2",
                                       "--fleet-secret-file", secretFile_};
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

  // A counter of node `node`'s /metrics.
  std::uint64_t Metric(std::size_t node, const std::string& name) const {
    const auto r = HttpRequest(Port(node), "/metrics");
    const auto at = r.body.find("\n" + name + " ");
    if (at == std::string::npos) return 0;
    return std::stoull(r.body.substr(at + name.size() + 2));
  }

  TempDir dir_;
  Nats nats_{dir_};
  std::string secretFile_;
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

TEST_P(FleetTest, AKilledNodeEndsItsSessionsAndItsIdsAreTakenOverOnceItIsHeardGone) {
  StartNodes(3);
  Pair p = MakePairAcross(Port(1), Port(2), "111111111");
  Exchange(p, 1);
  auto idle = RegisteredHost(Port(1), {}, "222222222");
  const auto killed = Clock::now();
  nodes_[0].process->Signal(SIGKILL);
  {
    WsClient early(Port(3));
    early.SendJson(HostRegister("222222222"));
    EXPECT_EQ(early.ReadJson(), Error("idInUse")) << "held until the node is heard gone";
  }
  p.viewer->SetTimeout(std::chrono::milliseconds(8000));
  EXPECT_EQ(p.viewer->ReadJson(),
            Json({{"type", "peerDisconnected"}, {"requestId", p.requestId}}));
  const auto heard = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed);
  EXPECT_LT(heard.count(), 6000);
  EXPECT_EQ(p.viewer->WaitClosed(), 1000);
  std::printf("peerDisconnected %lld ms after the kill\n", static_cast<long long>(heard.count()));

  // A viewer for the dead node's host is refused at once: through NATS the node is known to be
  // gone by now; node 3 has no link to it yet, and finds it cannot make one. Its ID is free once
  // the node is heard gone (its heartbeat timeout), not at once, and long before any lease.
  WsClient viewer(Port(3));
  viewer.SendJson(ViewerRegister("222222222"));
  EXPECT_EQ(viewer.ReadJson(), Error(GetParam() ? "unavailable" : "unknownHost"));
  bool expired = false;
  std::unique_ptr<WsClient> taker;
  while (Clock::now() - killed < std::chrono::seconds(kLeaseSeconds + 5)) {
    auto host = std::make_unique<WsClient>(Port(3));
    host->SendJson(HostRegister("222222222"));
    const Json reply = host->ReadJson();
    if (reply.at("type") == "registered") {
      expired = true;
      const auto took = Clock::now() - killed;
      EXPECT_LT(took, std::chrono::seconds(kLeaseSeconds - 1));
      std::printf("taken over %lld ms after the kill\n",
                  static_cast<long long>(
                      std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
      taker = std::move(host);
      break;
    }
    EXPECT_EQ(reply, Error("idInUse"));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  EXPECT_TRUE(expired);
  // The survivor first by name removed the dead node's other ID from the registry.
  for (int i = 0; i < 100 && Metric(2, "kestrova_relay_fleet_removed_ids_total") == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_GE(Metric(2, "kestrova_relay_fleet_removed_ids_total"), 1u);
  EXPECT_EQ(Metric(3, "kestrova_relay_fleet_removed_ids_total"), 0u);
  // Once, and the new holder is found from the other node.
  WsClient again(Port(2));
  again.SendJson(HostRegister("222222222"));
  EXPECT_EQ(again.ReadJson(), Error("idInUse"));
  WsClient viewerAgain(Port(2));
  viewerAgain.SendJson(ViewerRegister("222222222"));
  EXPECT_EQ(taker->ReadJson().at("type"), "connectRequest");
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

// Whoever can publish on the fleet's NATS account but lacks its secret is not heard: an unsealed
// handoff, a close or a credit sealed with another secret, a heartbeat replayed or moved to an
// inbox are each counted and dropped, and the session they aim at goes on.
TEST_P(FleetTest, ForgedOrReplayedMessagesOnNatsAreRefused) {
  StartNodes(2);
  NatsClient spy(nats_.Port());
  spy.Subscribe("kestrova.relay.>");
  spy.Flush();
  Pair p = MakePairAcross(Port(1), Port(2), "121212121");  // host on node 1
  Exchange(p, 1);
  const fleet::Keys keys = fleet::DeriveKeys(kSecret);
  auto opened = [&](const NatsClient::Msg& m) {
    return fleet::Open(keys.nats, m.subject,
                       {reinterpret_cast<const std::uint8_t*>(m.payload.data()),
                        m.payload.size()});
  };
  auto from = [&](const NatsClient::Msg& m) {
    const auto o = opened(m);
    const auto decoded = o ? fleet::Decode(o->payload) : std::nullopt;
    return decoded ? std::string(decoded->from) : std::string();
  };
  // What crosses NATS is encrypted: the host's ID, in the viewer's handoff, is in no payload as
  // anyone on the account sees it, and in the opened handoff.
  std::size_t leaks = 0, carried = 0;
  auto next = [&] {
    NatsClient::Msg m = spy.Next();
    if (m.payload.find("121212121") != std::string::npos) ++leaks;
    const auto o = opened(m);
    if (o && std::string(o->payload.begin(), o->payload.end()).find("121212121") !=
                 std::string::npos) {
      ++carried;
    }
    return m;
  };
  // node 2's heartbeat, as anyone on the account sees it: nothing secret in it.
  NatsClient::Msg beat;
  while (beat.subject != "kestrova.relay.heartbeat.node2" || from(beat) != "node2") {
    beat = next();
  }
  EXPECT_EQ(beat.payload.find(kSecret), std::string::npos);

  const std::string inbox = "kestrova.relay.node.node1";
  const fleet::Keys stranger = fleet::DeriveKeys("another fleet's secret, 32 bytes");
  const std::uint64_t instance = opened(beat)->instance;
  auto sealedByStranger = [&](fleet::Kind kind, const std::string& body) {
    std::string out;
    fleet::Seal(stranger.nats, inbox, instance, 1u << 30,
                Encoded(kind, "node2", body, /*conn=*/1), out);
    return out;
  };
  const std::string handoff = Encoded(
      fleet::Kind::kViewer, "node2",
      R"({"address":"198.51.100.7","sessionId":"121212121","password":"x"})", 1);
  struct Forged {
    const char* what;
    std::string subject;
    std::string bytes;
  };
  const Forged forged[] = {
      {"an unsealed handoff", inbox, handoff},
      {"a close sealed with another secret", inbox,
       sealedByStranger(fleet::Kind::kClosed, "")},
      {"a credit sealed with another secret", inbox,
       sealedByStranger(fleet::Kind::kCredit, std::string(16, '\xff'))},
      {"a replayed heartbeat", beat.subject, beat.payload},
      {"a heartbeat moved to an inbox", inbox, beat.payload},
      {"a heartbeat moved to another node's subject", "kestrova.relay.heartbeat.node1",
       beat.payload},
  };
  const std::uint64_t before = Metric(1, "kestrova_relay_fleet_refused_total");
  for (const Forged& f : forged) spy.Publish(f.subject, f.bytes);
  spy.Flush();
  const std::uint64_t want = before + std::size(forged);
  for (int i = 0; i < 100 && Metric(1, "kestrova_relay_fleet_refused_total") < want; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(Metric(1, "kestrova_relay_fleet_refused_total"), want);
  // The session is untouched: no request from the forged handoff, nothing closed.
  Exchange(p, 3);
  EXPECT_EQ(Metric(1, "kestrova_relay_fleet_nodes"), 2u);

  if (GetParam()) return;  // on direct links nothing of the session crosses NATS
  // A member's credit for more than is on its way ends the session instead of wrapping its
  // counters: sealed with the fleet's own key, as node 2, for the session's real key.
  p.viewer->SendBinary(Numbered(5, 100));
  NatsClient::Msg data;
  std::optional<fleet::Opened> o;
  std::optional<fleet::Message> m;  // views into o's payload
  while (!m || m->kind != fleet::Kind::kData) {
    data = next();
    if (data.subject != inbox) continue;
    o = opened(data);
    m = o ? fleet::Decode(o->payload) : std::nullopt;
  }
  EXPECT_EQ(p.host->Read().data, Numbered(5, 100));
  EXPECT_EQ(leaks, 0u);
  EXPECT_GE(carried, 1u) << "the handoff crossed NATS";
  std::string credit;
  fleet::Seal(keys.nats, inbox, o->instance, o->counter + 1000,
              Encoded(fleet::Kind::kCredit, "node2", std::string(16, '\x7f'), m->conn), credit);
  spy.Publish(inbox, credit);
  spy.Flush();
  const Json gone = {{"type", "peerDisconnected"}, {"requestId", p.requestId}};
  p.host->SetTimeout(std::chrono::milliseconds(5000));
  EXPECT_EQ(p.host->ReadJson(), gone);
}

INSTANTIATE_TEST_SUITE_P(DataPlane, FleetTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? std::string("DirectLinks") : std::string("Nats");
                         });

// --- the registry's copy -------------------------------------------------------------------------

// Counts claims; ignores the rest.
struct ClaimCounter : FleetEvents {
  void OnFleetMessage(const fleet::Message&) override {}
  void OnClaimed(ConnId, const std::string&, FleetResult result) override {
    if (result == FleetResult::kOk) ++ok;
  }
  void OnLocated(ConnId, FleetResult, const std::string&) override {}
  void OnLeaseLost(const std::string&) override { ++lost; }
  void OnRemoteRegistration(const std::string&) override {}
  void OnNodeLost(const std::string&) override {}
  void OnLinkChanged(bool) override {}
  std::atomic<std::size_t> ok{0}, lost{0};
};

// A nats-server of its own, and a node "writer" that holds IDs before a test starts other nodes
// beside it.
class FleetRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::access(kNatsServer, X_OK), 0);
    nats_.Start();
    options_.url = nats_.Url();
    options_.secret = kSecret;
  }

  static std::string Id(std::size_t i) { return std::to_string(700000000 + i); }

  // Starts the writer and claims Id(0) to Id(count - 1) on it.
  void StartWriter(std::size_t count) {
    FleetOptions o = options_;
    o.nodeName = "writer";
    writer_ = std::make_unique<Fleet>(o, writerEvents_);
    for (std::size_t i = 0; i < count; ++i) writer_->Claim(i, Id(i));
    ASSERT_TRUE(WaitFor([&] { return writerEvents_.ok.load() == count; },
                        std::chrono::seconds(60)));
  }

  TempDir dir_;
  Nats nats_{dir_};
  FleetOptions options_;  // the NATS server and the secret
  ClaimCounter writerEvents_;
  std::unique_ptr<Fleet> writer_;
};

// A node whose registry watch drops changes (a slow reader, forced here by a pending limit of a
// few messages while it loads thousands) notices the drop, reads the registry again, and its
// copy ends exact and follows later changes; nobody's ID is lost on the way.
TEST_F(FleetRegistryTest, AWatchThatDropsChangesReadsTheRegistryAgainAndEndsExact) {
  constexpr std::size_t kIds = 3000;
  ASSERT_NO_FATAL_FAILURE(StartWriter(kIds));
  Fleet& writer = *writer_;
  ClaimCounter readerEvents;
  FleetOptions o = options_;
  o.nodeName = "reader";
  o.watchPendingLimit = 4;
  Fleet reader(o, readerEvents);
  auto exact = [&](const Fleet& f, std::size_t ids, std::size_t removed) {
    const auto st = f.Stats();
    return st.knownIds == ids && st.knownRemoved == removed;
  };
  EXPECT_TRUE(WaitFor([&] { return exact(reader, kIds, 0); }, std::chrono::seconds(30)))
      << reader.Stats().knownIds;
  const auto st = reader.Stats();
  EXPECT_GT(st.watchDropped, 0u);
  EXPECT_GE(st.watchReloads, 1u);
  EXPECT_EQ(st.copyMismatches, 0u);

  // The watch after the drop follows removals and new entries as they come.
  writer.Release(Id(0));
  writer.Claim(kIds, Id(kIds));
  EXPECT_TRUE(WaitFor([&] { return exact(reader, kIds, 1) && exact(writer, kIds, 1); },
                      std::chrono::seconds(10)))
      << reader.Stats().knownIds << " " << reader.Stats().knownRemoved;
  EXPECT_EQ(writerEvents_.lost.load(), 0u);
  EXPECT_EQ(reader.Stats().watchReloads, st.watchReloads);
  reader.Shutdown();
  writer.Shutdown();
}

// The registry's stream deleted under a running node (a server that lost its store, an operator's
// mistake): the node's audit finds it gone, and its watch, failing pass after pass, waits twice as
// long before each restart instead of asking NATS four times a second. Once the bucket is there
// again (the next node to start makes it), the watch reads it, and the IDs the writer holds, not
// in it any more, are written again and reach the other node's copy.
TEST_F(FleetRegistryTest, AWatchThatKeepsFailingBacksOffAndRecoversOnceTheRegistryIsBack) {
  constexpr std::size_t kIds = 50;
  ASSERT_NO_FATAL_FAILURE(StartWriter(kIds));
  NatsClient admin(nats_.Port());
  admin.Subscribe("admin.reply");
  admin.Publish("$JS.API.STREAM.DELETE.KV_kestrova-relay-ids", "", "admin.reply");
  const std::string answer = admin.Next().payload;
  ASSERT_NE(answer.find("\"success\":true"), std::string::npos) << answer;

  ASSERT_TRUE(WaitFor([&] { return writer_->Stats().watchRetries >= 3; },
                      std::chrono::seconds(20)));
  // Past three failed passes the waits are 1 s, then 2 s: at most two restarts in 2.5 s (about
  // ten at a fixed quarter of a second).
  const std::uint64_t before = writer_->Stats().watchRetries;
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_LE(writer_->Stats().watchRetries - before, 2u);

  ClaimCounter otherEvents;
  FleetOptions o = options_;
  o.nodeName = "other";
  Fleet other(o, otherEvents);
  EXPECT_TRUE(WaitFor([&] { return other.Stats().knownIds == kIds; }, std::chrono::seconds(30)))
      << other.Stats().knownIds;
  EXPECT_EQ(writer_->Stats().ownedIds, kIds);
  EXPECT_EQ(writerEvents_.lost.load(), 0u);
  other.Shutdown();
  writer_->Shutdown();
}

// Releases while other IDs are claimed (hosts leaving during a burst of registrations): every
// change reaches another node's watch as it comes, without an audit finding the copy off or a
// revision skipped (a removal that rolls the ID's subject up makes the server skip changes).
TEST_F(FleetRegistryTest, RemovalsDuringABurstOfClaimsReachEveryCopyInOrder) {
  constexpr std::size_t kIds = 2000;
  ASSERT_NO_FATAL_FAILURE(StartWriter(kIds));
  Fleet& writer = *writer_;
  ClaimCounter readerEvents;
  FleetOptions o = options_;
  o.nodeName = "reader";
  Fleet reader(o, readerEvents);
  ASSERT_TRUE(WaitFor([&] { return reader.Stats().knownIds == kIds; }, std::chrono::seconds(30)));
  const auto before = reader.Stats();

  for (std::size_t i = 0; i < kIds; ++i) {
    writer.Release(Id(i));
    writer.Claim(kIds + i, Id(kIds + i));
  }
  ASSERT_TRUE(WaitFor([&] { return writerEvents_.ok.load() == 2 * kIds; },
                      std::chrono::seconds(60)));
  for (const Fleet* f : {&writer, &reader}) {
    EXPECT_TRUE(WaitFor([&] {
      const auto st = f->Stats();
      return st.knownIds == kIds && st.knownRemoved == kIds;
    }, std::chrono::seconds(10))) << f->Stats().knownIds << " " << f->Stats().knownRemoved;
  }
  const auto after = reader.Stats();
  EXPECT_EQ(after.watchSkipped, before.watchSkipped);
  EXPECT_EQ(after.watchReloads, before.watchReloads);
  EXPECT_EQ(after.copyMismatches, 0u);
  reader.Shutdown();
  writer.Shutdown();
}

}  // namespace
}  // namespace ov::relay
