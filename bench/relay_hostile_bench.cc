// The relay under hostile clients, with the figures that show it holds: the relay runs with its
// default limits in a child process (so its resident memory is its own), and the parent attacks
// it from many loopback addresses with raw sockets while a well-behaved pair from 127.0.0.1
// keeps forwarding and a second pair is made in the middle of it:
//
//   flood           3000 connections from one address that send nothing
//   slow headers    512 connections (8 addresses) trickling a request head, a byte a second
//   huge headers    192 connections (4 addresses) sending 64 KiB of request head
//   silent          512 upgraded connections (8 addresses) that never register
//   violations      12 kinds of RFC 6455 violation after the upgrade, 24 connections each
//
// The attack runs three times (or as many as the argument says). Prints, per kind, how many connections the relay closed at once
// (within 1 s of the attack's bytes), how many by a deadline, the longest it held one, and any
// it still held after 30 s; per round, the connections the relay held at the peak (/metrics), its
// VmRSS at the peak and after; and the pair's round trip during the attack against the same
// pair's round trip at rest (the baseline below). Exits 1 when a connection outlives the bound, a
// pairing fails or a forwarded message is lost.
//
// Then abuses by registered, paired clients, one at a time, each with its bound (all measured in
// this run; the pair's round trip during each against its baseline, median and p99, 3x at
// most):
//
//   fragments       the relay's CPU time (utime + stime of the child) to forward 1 MiB messages
//                   in 1 KiB fragments against the same bytes as whole 1 KiB messages (3x at
//                   most); and a message of 9 small fragments, closed at once with 1008
//   stalled pairs   50 pairs whose viewer never reads while the host sends 1 MiB messages until
//                   it blocks: VmRSS rise per pair, 1 MiB at most over ws://, 2 MiB over wss://
//                   (a second relay child with TLS; its clients all come from 127.0.0.1, so it
//                   runs with the per-address bounds raised)
//   1000 pairs      1000 stalled pairs from 40 addresses (past the per-address bounds), each
//                   host sending one 1 MiB message: the peak VmRSS and the peak per pair
//   text flood      a registered host sending texts the relay has no use for, as fast as it can:
//                   how many went before the relay closed, the code and the time
//
// The baseline of the pair's round trip is what it takes at rest in this run: the median and p99
// of every round trip measured before the attacks and between them (1000 before each abuse, once
// the relay is done with the attack before), the median at least 0.1 ms and the p99 at least
// 2 ms. A loopback round trip takes some 20 us, where one wake-up of the relay's thread costs
// as much: against that, 3x would judge the scheduler, not the relay. And the p99 of a machine
// whose cores other processes share is a wait for their time slices (the scheduler gives each at
// least 0.75 ms times 1 + log2 of the CPUs, 1.5 ms on two), whatever the relay does.
//
//   build/linux/bench/relay_hostile_bench [ROUNDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/json_codec.h"
#include "bench/relay_child.h"
#include "relay/server.h"
#include "relay/test_client.h"

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using ov::relay::testing::WsClient;

constexpr auto kHeld = std::chrono::seconds(30);  // the bound: no hostile connection outlives it
constexpr auto kAtOnce = std::chrono::seconds(1);

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A client frame with a zero mask (the payload goes as it is).
std::string ClientFrame(std::uint8_t first, const std::string& payload) {
  std::string out(1, static_cast<char>(first));
  out += static_cast<char>(0x80 | payload.size());
  return out + std::string(4, '\0') + payload;
}

const std::string kUpgrade =
    "GET /ws HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

struct Violation {
  const char* name;
  std::string bytes;
};

std::vector<Violation> Violations() {
  return {
      {"unmasked frame", std::string("\x81\x02hi", 4)},
      {"reserved bits", std::string("\xc2\x80", 2) + std::string(4, '\0')},
      {"unknown opcode", ClientFrame(0x83, "x")},
      {"fragmented ping", ClientFrame(0x09, "x")},
      {"oversized ping", std::string("\x89\xfe\x00\x7e", 4) + std::string(130, '\0')},
      {"continuation first", ClientFrame(0x80, "x")},
      {"length's top bit", std::string("\x82\xff\x80\0\0\0\0\0\0\x01", 10) + std::string(4, '\0')},
      {"invalid UTF-8", ClientFrame(0x81, "\xc0\xaf")},
      {"bad close code", ClientFrame(0x88, "\x03\xed")},
      {"text over 16 KiB", std::string("\x81\xfe\x40\x01", 4) + std::string(4, '\0')},
      {"binary over 8 MiB", std::string("\x82\xff\0\0\0\0\0\x80\0\x01", 10) + std::string(4, '\0')},
      {"binary unpaired", std::string("\x82\x85", 2) + std::string(4, '\0') + "hello"},
  };
}

// One hostile connection: its socket, when its attack was sent, and when the relay ended it.
struct Hostile {
  explicit Hostile(net::io_context& ioc) : socket(ioc) {}
  tcp::socket socket;
  std::size_t kind = 0;
  Clock::time_point sent{};
  Clock::time_point ended{};
  bool open = true;
  std::string frames;  // server frames read so far, for answering a close
  std::size_t at = 0;
};

struct Kind {
  const char* name;
  const char* from;
  std::size_t opened = 0, atOnce = 0, byDeadline = 0, stillOpen = 0;
  double longestMs = 0;
};

// Opens a connection from `source` to the relay (a refused connect counts as closed at once).
std::unique_ptr<Hostile> Connect(net::io_context& ioc, const std::string& source,
                                 std::uint16_t port, std::size_t kind) {
  auto h = std::make_unique<Hostile>(ioc);
  h->kind = kind;
  boost::system::error_code ec;
  h->socket.open(tcp::v4(), ec);
  if (!ec) h->socket.bind(tcp::endpoint(net::ip::make_address(source), 0), ec);
  if (!ec) h->socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), ec);
  if (!ec) {
    // A relay that neither answers nor closes fails the bench instead of hanging it.
    const timeval limit{5, 0};
    ::setsockopt(h->socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(h->socket.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  h->sent = Clock::now();
  if (ec) {
    h->open = false;
    h->ended = h->sent;
  }
  return h;
}

void Send(Hostile& h, const std::string& bytes) {
  if (!h.open) return;
  boost::system::error_code ec;
  net::write(h.socket, net::buffer(bytes), ec);  // a relay that already closed makes this fail
  h.sent = Clock::now();
}

// Reads the 101 of an upgrade; false when the relay answered otherwise or closed.
bool ReadUpgraded(Hostile& h) {
  std::string head;
  char c;
  boost::system::error_code ec;
  while (head.find("\r\n\r\n") == std::string::npos &&
         net::read(h.socket, net::buffer(&c, 1), ec) == 1) {
    head += c;
  }
  return head.rfind("HTTP/1.1 101", 0) == 0;
}

// Reads what each open connection has, without blocking; answers the relay's close frame with
// the close it expects (as a client that behaves at its end would) and marks the ones that
// ended. Returns how many are still open.
std::size_t Poll(std::vector<std::unique_ptr<Hostile>>& all, int waitMs) {
  std::vector<pollfd> fds;
  std::vector<Hostile*> who;
  for (auto& h : all) {
    if (!h->open) continue;
    fds.push_back({h->socket.native_handle(), POLLIN, 0});
    who.push_back(h.get());
  }
  if (fds.empty()) return 0;
  ::poll(fds.data(), fds.size(), waitMs);
  std::size_t open = 0;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    Hostile& h = *who[i];
    if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buf[4096];
      const ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) {
        h.open = false;
        h.ended = Clock::now();
        h.socket.close();
        continue;
      }
      if (n > 0) h.frames.append(buf, static_cast<std::size_t>(n));
      // Whole server frames (7- or 16-bit lengths here); a close is echoed once.
      while (h.at + 2 <= h.frames.size()) {
        const auto op = static_cast<unsigned char>(h.frames[h.at]) & 0x0f;
        std::size_t len = static_cast<unsigned char>(h.frames[h.at + 1]) & 0x7f;
        std::size_t head = 2;
        if (len == 126) {
          if (h.at + 4 > h.frames.size()) break;
          len = (std::size_t{static_cast<unsigned char>(h.frames[h.at + 2])} << 8) |
                static_cast<unsigned char>(h.frames[h.at + 3]);
          head = 4;
        }
        if (len == 127 || h.at + head + len > h.frames.size()) break;
        if (op == 8) {
          std::string reply("\x88\x82\0\0\0\0", 6);
          reply += h.frames.substr(h.at + head, std::min<std::size_t>(len, 2));
          if (len < 2) reply = std::string("\x88\x80\0\0\0\0", 6);
          ::send(fds[i].fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        h.at += head + len;
      }
    }
    ++open;
  }
  return open;
}

long long Gauge(const std::string& metrics, const std::string& name) {
  const auto at = metrics.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stoll(metrics.substr(at + name.size() + 2));
}

// A host and a viewer from 127.0.0.1, paired through the relay as the program pairs.
struct Pair {
  std::unique_ptr<WsClient> host, viewer;
};

[[noreturn]] void Fail(const std::string& what) {
  std::fflush(stdout);
  std::fprintf(stderr, "relay_hostile_bench: %s\n", what.c_str());
  std::exit(1);
}

void Expect(const ov::Json& got, const char* type) {
  if (got.value("type", "") != type) Fail(std::string("expected ") + type + ", got " + got.dump());
}

Pair MakePair(std::uint16_t port, const std::string& id, const std::string& ca = {}) {
  Pair p;
  p.host = std::make_unique<WsClient>(port, ca);
  p.host->SendJson({{"type", "register"}, {"role", "host"}, {"protocol", 3}, {"sessionId", id},
                    {"build", "0.3.9"}});
  Expect(p.host->ReadJson(), "registered");
  p.viewer = std::make_unique<WsClient>(port, ca);
  p.viewer->SendJson({{"type", "register"}, {"role", "viewer"}, {"protocol", 3},
                      {"sessionId", id}, {"password", "p3:opaque"}, {"build", "0.3.9"}});
  const ov::Json request = p.host->ReadJson();
  Expect(request, "connectRequest");
  const std::string rid = request.at("requestId").get<std::string>();
  p.host->SendJson({{"type", "authChallenge"}, {"requestId", rid}, {"message", "m"},
                    {"confirmation", "c"}});
  Expect(p.viewer->ReadJson(), "authChallenge");
  p.viewer->SendJson({{"type", "authResponse"}, {"requestId", rid}, {"confirmation", "v"}});
  Expect(p.host->ReadJson(), "authResponse");
  p.host->SendJson({{"type", "connectResponse"}, {"requestId", rid}, {"accepted", true}});
  Expect(p.host->ReadJson(), "connected");
  Expect(p.viewer->ReadJson(), "connected");
  return p;
}

// Round trips of a 1 KiB binary message, host to viewer and back, until `stop` (or `count`).
std::vector<double> RoundTrips(Pair& p, std::size_t count, const std::atomic<bool>* stop) {
  std::vector<double> out;
  const std::string payload(1024, 'k');
  for (std::size_t i = 0; i < count && !(stop != nullptr && stop->load()); ++i) {
    const auto start = Clock::now();
    p.host->SendBinary(payload);
    const WsClient::Message there = p.viewer->Read();
    if (!there.binary || there.data != payload) Fail("a forwarded message was changed");
    p.viewer->SendBinary(there.data);
    if (p.host->ReadSize() != payload.size()) Fail("a forwarded message was changed");
    out.push_back(Ms(Clock::now() - start));
  }
  return out;
}

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

// The least a baseline round trip counts as, median and p99 (see the top).
constexpr double kBaselineFloorMs = 0.1;
constexpr double kBaselineP99FloorMs = 2.0;

// The pair's round trip at rest: the median and p99 of the samples taken while no attack ran,
// the median at least kBaselineFloorMs, the p99 at least kBaselineP99FloorMs.
struct Baseline {
  std::vector<double> samples;
  void Add(const std::vector<double>& more) { samples.insert(samples.end(), more.begin(), more.end()); }
  double Median() const { return std::max(kBaselineFloorMs, Percentile(samples, 0.5)); }
  double P99() const { return std::max(kBaselineP99FloorMs, Percentile(samples, 0.99)); }
};

struct Round {
  std::vector<Kind> kinds;
  double openedInMs = 0, lastEndedMs = 0, pairDuringMs = 0;
  long long heldPeak = 0, rssPeak = 0, rssAfter = 0;
  std::vector<double> trips;  // the first pair's round trips during the attack
  bool outlived = false;
};

// One attack of every kind at once, while `pair` keeps forwarding and a new pair is made under
// `id`; returns once every hostile connection has ended (or the bound has passed).
Round Attack(std::uint16_t port, pid_t relay, Pair& pair, const std::string& id) {
  Round r;
  std::atomic<bool> stop{false};
  std::thread trips([&] { r.trips = RoundTrips(pair, SIZE_MAX, &stop); });
  std::atomic<long long> rssPeak{0}, heldPeak{0};
  std::thread watch([&] {
    while (!stop.load()) {
      rssPeak = std::max(rssPeak.load(), ov::bench::RssKib(relay));
      try {
        const std::string m = ov::relay::testing::HttpRequest(port, "/metrics").body;
        heldPeak = std::max(heldPeak.load(), Gauge(m, "kestrova_relay_connections") +
                                                 Gauge(m, "kestrova_relay_http_connections"));
      } catch (const std::exception&) {
        // The relay is busy closing: the next reading counts.
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });

  r.kinds = {{"flood", "1 address"},
             {"slow headers", "8 addresses"},
             {"huge headers", "4 addresses"},
             {"silent after upgrade", "8 addresses"}};
  const std::vector<Violation> violations = Violations();
  for (const Violation& v : violations) r.kinds.push_back({v.name, "1 address"});

  net::io_context ioc;
  std::vector<std::unique_ptr<Hostile>> all;
  // Ends are noticed while the rest are opened, so that "at once" is measured, not the opening.
  auto add = [&](std::unique_ptr<Hostile> h) {
    all.push_back(std::move(h));
    if (all.size() % 32 == 0) Poll(all, 0);
    return all.back().get();
  };
  const auto attackStart = Clock::now();
  for (int i = 0; i < 3000; ++i) add(Connect(ioc, "127.1.0.1", port, 0));
  std::vector<Hostile*> slow;
  for (int a = 1; a <= 8; ++a) {
    for (int i = 0; i < 64; ++i) {
      Hostile* h = add(Connect(ioc, "127.2.0." + std::to_string(a), port, 1));
      Send(*h, "GET /ws HTTP/1.1\r\nHost: localhost\r\nX-Slow: ");
      slow.push_back(h);
    }
  }
  const std::string hugeHead = "GET /ws HTTP/1.1\r\nHost: localhost\r\nX-Huge: " +
                               std::string(64 * 1024, 'h') + "\r\n\r\n";
  for (int a = 1; a <= 4; ++a) {
    for (int i = 0; i < 48; ++i) Send(*add(Connect(ioc, "127.3.0." + std::to_string(a), port, 2)), hugeHead);
  }
  for (int a = 1; a <= 8; ++a) {
    for (int i = 0; i < 64; ++i) {
      Hostile* h = add(Connect(ioc, "127.4.0." + std::to_string(a), port, 3));
      Send(*h, kUpgrade);
      if (!ReadUpgraded(*h)) Fail("a silent client's upgrade was refused");
      h->sent = Clock::now();
    }
  }
  for (std::size_t v = 0; v < violations.size(); ++v) {
    for (int i = 0; i < 24; ++i) {
      Hostile* h = add(Connect(ioc, "127.5.0." + std::to_string(v + 1), port, 4 + v));
      Send(*h, kUpgrade);
      if (!ReadUpgraded(*h)) Fail(std::string("upgrade refused before ") + violations[v].name);
      Send(*h, violations[v].bytes);
    }
  }
  r.openedInMs = Ms(Clock::now() - attackStart);

  // A new pair is made in the middle of the attack.
  const auto pairStart = Clock::now();
  Pair during = MakePair(port, id);
  if (RoundTrips(during, 20, nullptr).size() != 20) Fail("the pair made during the attack");
  r.pairDuringMs = Ms(Clock::now() - pairStart);

  // Until every hostile connection has ended (or the bound): the slow ones trickle a byte a
  // second meanwhile.
  auto lastTrickle = Clock::now();
  while (Poll(all, 20) > 0 && Clock::now() - attackStart < kHeld) {
    if (Clock::now() - lastTrickle >= std::chrono::seconds(1)) {
      lastTrickle = Clock::now();
      for (Hostile* h : slow) {
        if (h->open) ::send(h->socket.native_handle(), "s", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      }
    }
  }
  r.lastEndedMs = Ms(Clock::now() - attackStart);
  stop = true;
  trips.join();
  watch.join();
  r.heldPeak = heldPeak.load();
  r.rssPeak = rssPeak.load();

  for (const auto& h : all) {
    Kind& k = r.kinds[h->kind];
    ++k.opened;
    if (h->open) {
      ++k.stillOpen;
      r.outlived = true;
      continue;
    }
    const Clock::duration held = h->ended - h->sent;
    (held <= kAtOnce ? k.atOnce : k.byDeadline)++;
    k.longestMs = std::max(k.longestMs, Ms(held));
  }
  all.clear();
  during.host->Close();
  during.viewer->Close();
  r.rssAfter = ov::bench::SettledRss(relay);
  return r;
}

// ---- Abuses by registered clients -------------------------------------------------------------

// The relay's CPU time so far (utime + stime of every thread), in clock ticks.
long long CpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = all.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(all.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {  // field 3 is the state
    if (i == 14) utime = std::stoll(field);
    if (i == 15) stime = std::stoll(field);
  }
  return utime + stime;
}

// Waits (10 s at most) until the relay has used at most one clock tick of CPU in 250 ms: the
// work an attack left (closing its connections, freeing their memory) is over.
void Settle(pid_t relay) {
  const auto until = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < until) {
    const long long before = CpuTicks(relay);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    if (CpuTicks(relay) - before <= 1) return;
  }
}

// A client frame of any length, masked with a zero mask (the payload goes as it is).
std::string Masked(std::uint8_t first, std::string_view payload) {
  std::string out(1, static_cast<char>(first));
  const std::uint64_t n = payload.size();
  if (n < 126) {
    out += static_cast<char>(0x80 | n);
  } else if (n < 65536) {
    out += '\xfe';
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n & 0xff);
  } else {
    out += '\xff';
    for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>((n >> shift) & 0xff);
  }
  out.append(4, '\0');
  out.append(payload);
  return out;
}

// A server's frames read from a byte stream as they come, payloads kept only for control and
// text frames: counts the data messages and their bytes, and notes the close.
struct FrameCounter {
  std::string head;
  std::uint64_t left = 0;
  bool inPayload = false;
  std::uint8_t op = 0, messageOp = 0;
  bool fin = false;
  std::string kept;
  std::uint64_t messages = 0, texts = 0, bytes = 0;
  int closeCode = 0;  // 0 until a close frame; -1 a close without a code
  std::string closeReason;

  void Feed(const char* p, std::size_t n) {
    while (n > 0) {
      if (!inPayload) {
        head += *p++;
        --n;
        std::size_t need = 2;
        if (head.size() >= 2) {
          const unsigned len7 = static_cast<unsigned char>(head[1]) & 0x7f;
          need = len7 == 126 ? 4 : len7 == 127 ? 10 : 2;
        }
        if (head.size() < need) continue;
        const auto b0 = static_cast<unsigned char>(head[0]);
        op = b0 & 0x0f;
        fin = (b0 & 0x80) != 0;
        if (op == 1 || op == 2) messageOp = op;
        left = static_cast<unsigned char>(head[1]) & 0x7f;
        if (need > 2) {
          left = 0;
          for (std::size_t i = 2; i < need; ++i) left = (left << 8) | static_cast<unsigned char>(head[i]);
        }
        head.clear();
        kept.clear();
        inPayload = true;
      }
      const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(left, n));
      if (op >= 8 || messageOp == 1) kept.append(p, k);
      if (op < 8) bytes += k;
      p += k;
      n -= k;
      left -= k;
      if (left > 0) continue;
      inPayload = false;
      if (op == 8 && closeCode == 0) {
        closeCode = kept.size() >= 2 ? (static_cast<unsigned char>(kept[0]) << 8) |
                                           static_cast<unsigned char>(kept[1])
                                     : -1;
        if (kept.size() > 2) closeReason = kept.substr(2);
      }
      if (op < 8 && fin) {
        ++messages;
        if (messageOp == 1) ++texts;
      }
    }
  }
};

// A WebSocket client on a plain socket, from a chosen loopback address, with the socket's
// buffers set when asked (so that thousands of stalled connections hold little kernel memory).
struct Raw {
  int fd = -1;
  std::string in;  // bytes read after the upgrade, not yet taken
  Raw() = default;
  Raw(Raw&& o) noexcept : fd(std::exchange(o.fd, -1)), in(std::move(o.in)) {}
  Raw& operator=(Raw&& o) noexcept {
    if (this != &o) {
      if (fd >= 0) ::close(fd);
      fd = std::exchange(o.fd, -1);
      in = std::move(o.in);
    }
    return *this;
  }
  ~Raw() {
    if (fd >= 0) ::close(fd);
  }
};

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail("a write to the relay failed: " + std::string(std::strerror(errno)));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

Raw RawOpen(const std::string& source, std::uint16_t port, int rcvbuf = 0, int sndbuf = 0) {
  Raw r;
  r.fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (r.fd < 0) Fail("socket: " + std::string(std::strerror(errno)));
  if (rcvbuf > 0) ::setsockopt(r.fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  if (sndbuf > 0) ::setsockopt(r.fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  const timeval limit{5, 0};
  ::setsockopt(r.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(r.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (::bind(r.fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(r.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    Fail("connect from " + source + ": " + std::strerror(errno));
  }
  WriteAll(r.fd, kUpgrade);
  char buf[4096];
  std::size_t end;
  while ((end = r.in.find("\r\n\r\n")) == std::string::npos) {
    const ssize_t n = ::recv(r.fd, buf, sizeof buf, 0);
    if (n <= 0) Fail("the upgrade from " + source + " got no answer");
    r.in.append(buf, static_cast<std::size_t>(n));
  }
  if (r.in.rfind("HTTP/1.1 101", 0) != 0) Fail("the upgrade from " + source + " was refused");
  r.in.erase(0, end + 4);
  return r;
}

void RawSendJson(Raw& r, const ov::Json& message) {
  WriteAll(r.fd, Masked(0x81, ov::SerializeMessage(message)));
}

// The next text message (small frames only: the pairing's messages).
ov::Json RawJson(Raw& r) {
  char buf[4096];
  for (;;) {
    if (r.in.size() >= 2) {
      const auto b0 = static_cast<unsigned char>(r.in[0]);
      std::size_t len = static_cast<unsigned char>(r.in[1]) & 0x7f;
      std::size_t head = 2;
      if (len == 126 && r.in.size() >= 4) {
        len = (static_cast<std::size_t>(static_cast<unsigned char>(r.in[2])) << 8) |
              static_cast<unsigned char>(r.in[3]);
        head = 4;
      }
      if (len != 127 && (len < 126 || head == 4) && r.in.size() >= head + len) {
        std::string payload = r.in.substr(head, len);
        r.in.erase(0, head + len);
        if ((b0 & 0x0f) == 8) Fail("the relay closed during a pairing");
        if ((b0 & 0x0f) == 1) return ov::ParseMessage(std::string_view(payload));
        continue;
      }
    }
    const ssize_t n = ::recv(r.fd, buf, sizeof buf, 0);
    if (n <= 0) Fail("the relay ended a connection during a pairing");
    r.in.append(buf, static_cast<std::size_t>(n));
  }
}

struct RawPair {
  Raw host, viewer;
};

// The pairing of MakePair over raw sockets from `source`.
RawPair MakeRawPair(const std::string& source, std::uint16_t port, const std::string& id,
                    int viewerRcvbuf = 0, int hostSndbuf = 0) {
  RawPair p;
  p.host = RawOpen(source, port, 0, hostSndbuf);
  RawSendJson(p.host, {{"type", "register"}, {"role", "host"}, {"protocol", 3}, {"sessionId", id},
                       {"build", "0.3.9"}});
  Expect(RawJson(p.host), "registered");
  p.viewer = RawOpen(source, port, viewerRcvbuf, 0);
  RawSendJson(p.viewer, {{"type", "register"}, {"role", "viewer"}, {"protocol", 3},
                         {"sessionId", id}, {"password", "p3:opaque"}, {"build", "0.3.9"}});
  const ov::Json request = RawJson(p.host);
  Expect(request, "connectRequest");
  const std::string rid = request.at("requestId").get<std::string>();
  RawSendJson(p.host, {{"type", "authChallenge"}, {"requestId", rid}, {"message", "m"},
                       {"confirmation", "c"}});
  Expect(RawJson(p.viewer), "authChallenge");
  RawSendJson(p.viewer, {{"type", "authResponse"}, {"requestId", rid}, {"confirmation", "v"}});
  Expect(RawJson(p.host), "authResponse");
  RawSendJson(p.host, {{"type", "connectResponse"}, {"requestId", rid}, {"accepted", true}});
  Expect(RawJson(p.host), "connected");
  Expect(RawJson(p.viewer), "connected");
  return p;
}

// Reads `r` on its own thread into a FrameCounter until `stop` or the connection's end.
struct Drain {
  Drain(Raw& raw) : r(raw) {
    FrameCounter* c = &counter;
    c->bytes = 0;
    for (const char ch : r.in) c->Feed(&ch, 1);
    r.in.clear();
    thread = std::thread([this] {
      char buf[1 << 16];
      while (!stop.load()) {
        pollfd pfd{r.fd, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(r.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
          ended = true;
          break;
        }
        if (n > 0) {
          std::lock_guard<std::mutex> lock(mutex);
          counter.Feed(buf, static_cast<std::size_t>(n));
        }
      }
    });
  }
  ~Drain() {
    stop = true;
    thread.join();
  }
  FrameCounter Now() {
    std::lock_guard<std::mutex> lock(mutex);
    return counter;
  }
  // Waits until `messages` data messages have come (false: not within `limit`).
  bool WaitMessages(std::uint64_t messages, std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    while (Clock::now() < until && !ended.load()) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (counter.messages >= messages) return true;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::lock_guard<std::mutex> lock(mutex);
    return counter.messages >= messages;
  }
  Raw& r;
  std::mutex mutex;
  FrameCounter counter;
  std::atomic<bool> stop{false}, ended{false};
  std::thread thread;
};

// The well-behaved pair's round trips while `attack` runs. The attack runs on a thread of its
// own at the lowest priority, as do the threads it starts: on a machine of few cores the
// attackers' own work would otherwise take them from the relay and the measured pair, and the
// ratio would measure the bench instead of the relay.
// The pair's round trips just before are measured too: they join the baseline (see the top), so
// that it sees the machine as it is between the attacks, not only at the start.
template <class Row, class Attack>
void WithTrips(pid_t relay, Pair& pair, Row& row, Attack attack) {
  // What the attack before left to close goes first: the relay is done with it once it uses
  // (nearly) no CPU for a while.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Settle(relay);
  row.before = RoundTrips(pair, 1000, nullptr);
  std::atomic<bool> stop{false};
  std::vector<double>& trips = row.trips;
  std::thread t([&] { trips = RoundTrips(pair, SIZE_MAX, &stop); });
  std::thread attacker([&] {
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
    attack();
  });
  attacker.join();
  stop = true;
  t.join();
}

// One line of the abuses' table.
struct Row {
  Row(std::string a = {}, std::string f = {}, std::string b = {})
      : attack(std::move(a)), figure(std::move(f)), bound(std::move(b)) {}
  std::string attack, figure, bound;
  bool ok = true;
  bool binding = true;  // a broken bound fails the run
  std::vector<double> before, trips;  // the pair's round trips just before it, during it
  bool tls = false;  // measured with the pair over wss://
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

constexpr std::size_t kMiB = 1 << 20;

// Fragments: the relay's CPU to forward `rounds` messages of 1 MiB in 1 KiB fragments against
// the same bytes as 1 KiB messages (each way twice, alternating, to even out the machine); then
// a message of 9 small fragments.
std::vector<Row> Fragments(std::uint16_t port, pid_t relay, Pair& pair) {
  std::vector<Row> rows;
  constexpr int kRounds = 128;
  const std::string chunk(1024, 'f');
  std::string fragmented, whole;
  for (int i = 0; i < 1024; ++i) {
    fragmented += Masked(static_cast<std::uint8_t>((i == 0 ? 0x02 : 0x00) | (i == 1023 ? 0x80 : 0)),
                         chunk);
    whole += Masked(0x82, chunk);
  }
  long long ticks[2] = {0, 0};
  double wall[2] = {0, 0};
  Row cpu{"1 MiB in 1 KiB fragments", "", "<= 3x"};
  WithTrips(relay, pair, cpu, [&] {
    RawPair p = MakeRawPair("127.8.0.1", port, "600000001");
    Drain viewer(p.viewer);
    std::uint64_t expected = 0;
    for (int turn = 0; turn < 4; ++turn) {
      const bool frag = turn % 2 == 1;
      const long long before = CpuTicks(relay);
      const auto start = Clock::now();
      for (int i = 0; i < kRounds; ++i) WriteAll(p.host.fd, frag ? fragmented : whole);
      expected += frag ? kRounds : kRounds * 1024;
      if (!viewer.WaitMessages(expected, std::chrono::seconds(30))) Fail("fragments: messages lost");
      wall[frag] += Ms(Clock::now() - start);
      ticks[frag] += CpuTicks(relay) - before;
    }
    if (viewer.Now().bytes != 2ull * 2 * kRounds * kMiB) Fail("fragments: bytes lost");
  });
  const double hz = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const double ratio = static_cast<double>(ticks[1]) / static_cast<double>(std::max(1LL, ticks[0]));
  cpu.ok = ratio <= 3.0;
  cpu.figure = Format("relay CPU %.2fx of 1 KiB messages (%.2f s / %.2f s; wall %.0f / %.0f ms; "
                      "%d MiB each)", ratio, static_cast<double>(ticks[1]) / hz,
                      static_cast<double>(ticks[0]) / hz, wall[1], wall[0],
                      2 * kRounds);
  rows.push_back(std::move(cpu));

  Row small{"9 fragments of 64 B", "", "1008 within 1 s"};
  WithTrips(relay, pair, small, [&] {
    RawPair p = MakeRawPair("127.8.0.2", port, "600000002");
    Drain viewer(p.viewer);
    std::string nine;
    for (int i = 0; i < 9; ++i) nine += Masked(i == 0 ? 0x02 : 0x00, std::string(64, 's'));
    nine += Masked(0x80, std::string(64, 's'));
    FrameCounter host;
    const auto start = Clock::now();
    WriteAll(p.host.fd, nine);
    char buf[4096];
    bool ended = false;
    while (host.closeCode == 0 && Clock::now() - start < std::chrono::seconds(5)) {
      const ssize_t n = ::recv(p.host.fd, buf, sizeof buf, 0);
      if (n <= 0) {
        ended = true;
        break;
      }
      host.Feed(buf, static_cast<std::size_t>(n));
    }
    const double ms = Ms(Clock::now() - start);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const FrameCounter seen = viewer.Now();
    small.ok = host.closeCode == 1008 && ms <= 1000;
    small.figure = Format("host closed %d%s%s%s in %.1f ms%s; viewer %s (%llu B of it reached "
                          "the viewer)",
                          host.closeCode, host.closeReason.empty() ? "" : " \"",
                          host.closeReason.c_str(), host.closeReason.empty() ? "" : "\"", ms,
                          ended ? " (dropped)" : "",
                          viewer.ended.load() ? "dropped" : "still open",
                          static_cast<unsigned long long>(seen.bytes));
  });
  rows.push_back(std::move(small));
  return rows;
}

// Hosts of `pairs` send 1 MiB messages without waiting until each has sent `cap` bytes or none
// made progress for 500 ms; returns how many hosts were blocked short of the cap, and the bytes
// all sent. Samples the relay's VmRSS peak meanwhile.
struct Stall {
  std::size_t blocked = 0;
  std::uint64_t sent = 0;
  long long rssPeak = 0;
};

Stall SendUntilBlocked(std::vector<RawPair>& pairs, std::uint64_t cap, pid_t relay) {
  static const std::string message = Masked(0x82, std::string(kMiB, 'm'));
  std::vector<std::uint64_t> sent(pairs.size(), 0);
  Stall s;
  auto lastProgress = Clock::now();
  auto lastSample = Clock::now();
  while (Clock::now() - lastProgress < std::chrono::milliseconds(500)) {
    std::vector<pollfd> fds;
    std::vector<std::size_t> who;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      if (sent[i] >= cap) continue;
      fds.push_back({pairs[i].host.fd, POLLOUT, 0});
      who.push_back(i);
    }
    if (fds.empty()) break;
    ::poll(fds.data(), fds.size(), 100);
    for (std::size_t k = 0; k < fds.size(); ++k) {
      if ((fds[k].revents & POLLOUT) == 0) continue;
      const std::size_t i = who[k];
      const std::size_t at = static_cast<std::size_t>(sent[i] % message.size());
      const std::size_t want = static_cast<std::size_t>(
          std::min<std::uint64_t>(message.size() - at, cap - sent[i]));
      const ssize_t n = ::send(fds[k].fd, message.data() + at, want, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent[i] += static_cast<std::uint64_t>(n);
        lastProgress = Clock::now();
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        Fail("a stalled host's connection ended: " + std::string(std::strerror(errno)));
      }
    }
    if (Clock::now() - lastSample > std::chrono::milliseconds(50)) {
      s.rssPeak = std::max(s.rssPeak, ov::bench::RssKib(relay));
      lastSample = Clock::now();
    }
  }
  for (const std::uint64_t n : sent) {
    s.sent += n;
    if (n < cap) ++s.blocked;
  }
  s.rssPeak = std::max(s.rssPeak, ov::bench::RssKib(relay));
  return s;
}

constexpr int kSmallBuffer = 32 * 1024;  // the bench's own socket buffers for stalled pairs

// `count` stalled pairs from count / 25 addresses under `net` (25 pairs, 50 registrations, per
// address), each viewer's receive buffer and host's send buffer small.
Row StalledRaw(std::uint16_t port, pid_t relay, Pair& pair,
               std::size_t count, const std::string& net, const std::string& idBase,
               std::uint64_t cap) {
  Row row;
  WithTrips(relay, pair, row, [&] {
    const long long before = ov::bench::SettledRss(relay);
    std::vector<RawPair> pairs;
    pairs.reserve(count);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
      // 25 pairs an address, each address in a /24 of its own.
      const std::string source = net + std::to_string(1 + i / 25) + ".1";
      pairs.push_back(MakeRawPair(source, port, idBase + Format("%05zu", i), kSmallBuffer,
                                  kSmallBuffer));
    }
    const double pairedMs = Ms(Clock::now() - start);
    const Stall s = SendUntilBlocked(pairs, cap, relay);
    const long long settled = ov::bench::SettledRss(relay);
    const long long peak = std::max(s.rssPeak, settled);
    const double perPair = static_cast<double>(settled - before) / static_cast<double>(count);
    const double peakPerPair = static_cast<double>(peak - before) / static_cast<double>(count);
    row.figure = Format("VmRSS %lld -> %lld KiB (peak %lld): %.0f KiB/pair, peak %.0f KiB/pair; "
                        "hosts sent %.2f MiB each (%zu blocked short of %.0f MiB); paired in %.1f s",
                        before, settled, peak, perPair, peakPerPair,
                        static_cast<double>(s.sent) / static_cast<double>(count) / kMiB, s.blocked,
                        static_cast<double>(cap) / kMiB, pairedMs / 1000);
    row.ok = perPair <= 1024;
    pairs.clear();
  });
  return row;
}

// `count` stalled pairs over wss:// from 127.0.0.1 (the TLS client connects from there only):
// each host on a thread of its own sends 1 MiB messages until its write no longer finishes.
Row StalledTls(std::uint16_t port, pid_t relay, Pair& pair,
               const std::string& ca, std::size_t count) {
  Row row{"50 stalled pairs wss://", "", "<= 2048 KiB/pair"};
  row.tls = true;
  WithTrips(relay, pair, row, [&] {
    const long long before = ov::bench::SettledRss(relay);
    std::vector<Pair> pairs;
    for (std::size_t i = 0; i < count; ++i) {
      pairs.push_back(MakePair(port, Format("5000%05zu", i), ca));
      pairs.back().host->SetTimeout(std::chrono::milliseconds(120000));
    }
    const std::string message(kMiB, 'm');
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> sent{0};
    std::vector<std::thread> hosts;
    for (Pair& p : pairs) {
      hosts.emplace_back([&, host = p.host.get()] {
        try {
          while (!stop.load()) {
            host->SendBinary(message);
            sent += 1;
          }
        } catch (const std::exception&) {
          // The relay ended it (its viewer went): the attack is over.
        }
      });
    }
    std::uint64_t last = ~0ull;
    auto lastChange = Clock::now();
    long long peak = 0;
    while (Clock::now() - lastChange < std::chrono::seconds(1)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      peak = std::max(peak, ov::bench::RssKib(relay));
      if (sent.load() != last) {
        last = sent.load();
        lastChange = Clock::now();
      }
    }
    const long long settled = ov::bench::SettledRss(relay);
    peak = std::max(peak, settled);
    const double perPair = static_cast<double>(settled - before) / static_cast<double>(count);
    row.figure = Format("VmRSS %lld -> %lld KiB (peak %lld): %.0f KiB/pair, peak %.0f KiB/pair; "
                        "hosts finished %.1f messages of 1 MiB each",
                        before, settled, peak, perPair,
                        static_cast<double>(peak - before) / static_cast<double>(count),
                        static_cast<double>(sent.load()) / static_cast<double>(count));
    row.ok = perPair <= 2048;
    // The viewers go; their hosts' messages then go nowhere, and each host's write finishes.
    stop = true;
    for (Pair& p : pairs) p.viewer->Drop();
    for (std::thread& t : hosts) t.join();
    for (Pair& p : pairs) p.host->Drop();
  });
  return row;
}

// A registered host sending texts the relay has no use for: first as fast as it can (2 s at
// most; the count is what the kernel took before the close came back), then one at a time, each
// given 2 ms to be refused, which counts the texts the relay accepts.
Row TextFlood(std::uint16_t port, pid_t relay, Pair& pair) {
  // The relay ends such a connection after a few useless texts and holds each connection to a
  // text rate: the bound is binding.
  Row row{"text flood", "", "closed within 100 texts and 2 s"};
  row.binding = true;
  const std::string text = Masked(
      0x81, R"({"type":"authChallenge","requestId":"00000000000000000000000000000000",)"
            R"("message":"x","confirmation":"y"})");
  struct Outcome {
    FrameCounter answers;
    std::uint64_t texts = 0;
    bool ended = false;
    double ms = 0;
    bool Closed() const { return answers.closeCode != 0 || ended; }
  };
  auto flood = [&](const std::string& source, const std::string& id, bool paced) {
    Raw host = RawOpen(source, port);
    RawSendJson(host, {{"type", "register"}, {"role", "host"}, {"protocol", 3}, {"sessionId", id},
                       {"build", "0.3.9"}});
    Expect(RawJson(host), "registered");
    std::string block;
    for (int i = 0; i < (paced ? 1 : 64); ++i) block += text;
    Outcome o;
    std::uint64_t written = 0;
    char buf[1 << 14];
    const auto start = Clock::now();
    while (!o.Closed() && Clock::now() - start < std::chrono::seconds(2)) {
      pollfd pfd{host.fd, static_cast<short>(POLLIN | (paced ? 0 : POLLOUT)), 0};
      if (paced) {
        // The whole text goes out (it fits the socket's buffer), then 2 ms for the answer.
        const ssize_t n = ::send(host.fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n != static_cast<ssize_t>(text.size())) {
          o.ended = true;
          break;
        }
        written += text.size();
        ::poll(&pfd, 1, 2);
      } else {
        ::poll(&pfd, 1, 10);
        if ((pfd.revents & POLLOUT) != 0) {
          const std::size_t at = static_cast<std::size_t>(written % block.size());
          const ssize_t n = ::send(host.fd, block.data() + at, block.size() - at,
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
          if (n > 0) written += static_cast<std::uint64_t>(n);
          if (n < 0 && errno != EAGAIN && errno != EINTR) o.ended = true;
        }
      }
      if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const ssize_t n = ::recv(host.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) o.ended = true;
        if (n > 0) o.answers.Feed(buf, static_cast<std::size_t>(n));
      }
    }
    o.ms = Ms(Clock::now() - start);
    o.texts = written / text.size();
    return o;
  };
  auto describe = [](const Outcome& o) {
    return o.Closed() ? Format("closed %d after %llu texts in %.0f ms", o.answers.closeCode,
                               static_cast<unsigned long long>(o.texts), o.ms)
                      : Format("not closed: %llu texts in %.0f ms",
                               static_cast<unsigned long long>(o.texts), o.ms);
  };
  WithTrips(relay, pair, row, [&] {
    const Outcome fast = flood("127.11.0.1", "700000001", false);
    const Outcome paced = flood("127.11.0.2", "700000002", true);
    row.ok = fast.Closed() && fast.ms <= 2000 && paced.Closed() && paced.texts <= 100 &&
             paced.ms <= 2000;
    row.figure = "flood: " + describe(fast) + "; one at a time: " + describe(paced);
  });
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  int roundCount = 3;
  for (int i = 1; i < argc; ++i) roundCount = std::max(1, std::atoi(argv[i]));
  const ov::bench::FileLimit files = ov::bench::RaiseFileLimit();
  if (files.soft < 12000) Fail("needs an open-file limit of 12000 (ulimit -n)");

  ov::relay::ServerOptions options;  // the relay's defaults, but for the port and the log
  options.port = 0;
  options.quiet = true;
  options.handleSignals = true;
  auto [pid, port] = ov::bench::Spawn([&](int out) {
    ov::relay::Server server(options);
    const std::uint16_t p = server.Port();
    if (write(out, &p, sizeof p) != sizeof p) _exit(1);
    close(out);
    server.Run();
  });
  if (port == 0) Fail("the relay did not start");

  Pair pair = MakePair(port, "111111111");
  RoundTrips(pair, 50, nullptr);  // warm up
  const std::vector<double> quiet = RoundTrips(pair, 2000, nullptr);
  const long long rssBefore = ov::bench::SettledRss(pid);

  // The same attack, three times unless told: memory that a round leaves behind is the allocator's to reuse,
  // so the later rounds must not grow it.
  std::vector<Round> rounds;
  for (int i = 0; i < roundCount; ++i) rounds.push_back(Attack(port, pid, pair, std::to_string(222222222 + i)));

  // Afterwards: the first pair still forwards, and a new pair is made.
  if (RoundTrips(pair, 20, nullptr).size() != 20) Fail("the first pair after the attacks");
  Pair after = MakePair(port, "999999999");
  if (RoundTrips(after, 20, nullptr).size() != 20) Fail("the pair made after the attacks");
  after.host->Close();
  after.viewer->Close();
  ov::relay::testing::HttpRequest(port, "/healthz");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::string metrics = ov::relay::testing::HttpRequest(port, "/metrics").body;
  const long long heldAfter = Gauge(metrics, "kestrova_relay_connections");

  // The abuses by registered clients, one at a time, with the first pair's round trips.
  std::vector<Row> rows = Fragments(port, pid, pair);
  {
    Row r = StalledRaw(port, pid, pair, 50, "127.9.", "4000", 16 * kMiB);
    r.attack = "50 stalled pairs ws://";
    r.bound = "<= 1024 KiB/pair";
    rows.push_back(std::move(r));
  }
  {
    Row r = StalledRaw(port, pid, pair, 1000, "127.10.", "3000", kMiB + 14);
    r.attack = "1000 stalled pairs ws://";
    // No process budget is given to the relay yet: the peak is reported, not bounded.
    r.bound = "report (no process budget)";
    r.binding = false;
    rows.push_back(std::move(r));
  }
  rows.push_back(TextFlood(port, pid, pair));
  pair.host->Close();
  pair.viewer->Close();
  ov::bench::Finish(pid);

  // Over wss://: a relay child of its own with a throwaway certificate, its own pair and baseline.
  std::vector<double> quietTls;
  {
    ov::relay::testing::TempCertificate cert;
    ov::relay::ServerOptions tlsOptions = options;
    tlsOptions.tlsCert = cert.CertPath();
    tlsOptions.tlsKey = cert.KeyPath();
    tlsOptions.matcher.maxConnectionsPerAddress = 1000;
    tlsOptions.matcher.registrationsPerMinute = 1000;
    auto [tlsPid, tlsPort] = ov::bench::Spawn([&](int out) {
      ov::relay::Server server(tlsOptions);
      const std::uint16_t p = server.Port();
      if (write(out, &p, sizeof p) != sizeof p) _exit(1);
      close(out);
      server.Run();
    });
    if (tlsPort == 0) Fail("the TLS relay did not start");
    Pair tlsPair = MakePair(tlsPort, "511111111", cert.CertPath());
    RoundTrips(tlsPair, 50, nullptr);
    quietTls = RoundTrips(tlsPair, 1000, nullptr);
    rows.push_back(StalledTls(tlsPort, tlsPid, tlsPair, cert.CertPath(), 50));
    tlsPair.host->Close();
    tlsPair.viewer->Close();
    ov::bench::Finish(tlsPid);
  }

  // The pair at rest, per transport: at the start and before each abuse.
  Baseline rest, restTls;
  rest.Add(quiet);
  restTls.Add(quietTls);
  for (const Row& r : rows) (r.tls ? restTls : rest).Add(r.before);

  const Round& first = rounds.front();
  std::printf("hostile connections against a relay with its default limits (%zu per address, "
              "%.0f s to upgrade or register), first round\n",
              options.matcher.maxConnectionsPerAddress,
              static_cast<double>(options.matcher.registerTimeout) / 1000);
  std::printf("  %-22s %-12s %7s %9s %11s %11s %10s\n", "kind", "from", "opened", "at once",
              "by deadline", "longest ms", "still open");
  for (const Kind& k : first.kinds) {
    std::printf("  %-22s %-12s %7zu %9zu %11zu %11.0f %10zu\n", k.name, k.from, k.opened, k.atOnce,
                k.byDeadline, k.longestMs, k.stillOpen);
  }
  std::printf("  all %zu opened in %.0f ms; the last ended %.1f s after the attack began\n",
              [&] {
                std::size_t n = 0;
                for (const Kind& k : first.kinds) n += k.opened;
                return n;
              }(),
              first.openedInMs, first.lastEndedMs / 1000);
  std::printf("\n  %-8s %12s %10s %10s %14s %16s %14s\n", "round", "held (peak)", "RSS peak",
              "RSS after", "pair median ms", "pair p99 ms", "new pair ms");
  std::printf("  %-8s %12s %10lld %10s %14.3f %16.3f %14s\n", "before", "2", rssBefore, "",
              Percentile(quiet, 0.5), Percentile(quiet, 0.99), "");
  for (std::size_t i = 0; i < rounds.size(); ++i) {
    const Round& r = rounds[i];
    std::printf("  %-8zu %12lld %10lld %10lld %14.3f %16.3f %14.0f\n", i + 1, r.heldPeak,
                r.rssPeak, r.rssAfter, Percentile(r.trips, 0.5), Percentile(r.trips, 0.99),
                r.pairDuringMs);
  }
  std::printf("  (RSS in KiB, the relay's VmRSS; held: WebSocket + HTTP connections on /metrics; "
              "pair: 1 KiB each way, %zu round trips before, %zu in the first round)\n",
              quiet.size(), first.trips.size());
  std::printf("ratios: pair median during / at rest (%.3f ms) %.2f; RSS after the last round / "
              "after the first %.3f; after all rounds %lld WebSocket connections (the first pair)\n",
              rest.Median(), Percentile(first.trips, 0.5) / rest.Median(),
              static_cast<double>(rounds.back().rssAfter) / static_cast<double>(first.rssAfter),
              heldAfter);

  std::printf("\nabuses by registered clients (pair: its round trip during the attack / at rest, "
              "median and p99, 3x at most; fewer than 20 during: not judged)\n");
  std::printf("  %-26s %-32s %-6s %8s %8s %17s  %s\n", "attack", "bound", "result", "pair med",
              "pair p99", "during med/p99 ms", "figures");
  bool broken = false;
  for (Row& r : rows) {
    const bool enough = r.trips.size() >= 20;
    const Baseline& base = r.tls ? restTls : rest;
    const double med = enough ? Percentile(r.trips, 0.5) / base.Median() : 0;
    const double p99 = enough ? Percentile(r.trips, 0.99) / base.P99() : 0;
    const bool pairOk = !enough || (med <= 3.0 && p99 <= 3.0);
    const char* result = r.ok && pairOk ? "ok" : (r.binding || !pairOk) ? "BROKEN" : "over";
    if ((!r.ok && r.binding) || !pairOk) broken = true;
    std::printf("  %-26s %-32s %-6s %8s %8s %17s  %s\n", r.attack.c_str(), r.bound.c_str(), result,
                enough ? Format("%.2f", med).c_str() : "-", enough ? Format("%.2f", p99).c_str() : "-",
                Format("%.3f/%.3f", Percentile(r.trips, 0.5), Percentile(r.trips, 0.99)).c_str(),
                r.figure.c_str());
  }
  std::printf("  (pair at the start: median %.3f ms, p99 %.3f ms over ws://; %.3f / %.3f ms over "
              "wss://)\n",
              Percentile(quiet, 0.5), Percentile(quiet, 0.99), Percentile(quietTls, 0.5),
              Percentile(quietTls, 0.99));
  std::printf("  (pair at rest, the baseline: median %.3f ms, p99 %.3f ms over ws:// from %zu round "
              "trips; %.3f / %.3f ms over wss:// from %zu; at the start and before each abuse, "
              "the median at least %.1f ms, the p99 at least %.1f ms)\n",
              rest.Median(), rest.P99(), rest.samples.size(), restTls.Median(), restTls.P99(),
              restTls.samples.size(), kBaselineFloorMs, kBaselineP99FloorMs);
  double load[3] = {0, 0, 0};
  if (::getloadavg(load, 3) == 3) {
    std::printf("  (the machine: load average %.2f %.2f %.2f on %ld CPUs)\n", load[0], load[1],
                load[2], ::sysconf(_SC_NPROCESSORS_ONLN));
  }
  for (const Row& r : rows) {
    if (!r.before.empty()) {
      std::printf("  (just before %s: median %.3f ms, p99 %.3f ms)\n", r.attack.c_str(),
                  Percentile(r.before, 0.5), Percentile(r.before, 0.99));
    }
  }
  for (const Round& r : rounds) {
    if (r.outlived) Fail("connections outlived the bound");
  }
  if (broken) Fail("an abuse broke its bound");
  return 0;
}
