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
// pair's round trip before it (the baseline). Exits 1 when a connection outlives the bound, a
// pairing fails or a forwarded message is lost.
//
//   build/linux/bench/relay_hostile_bench [ROUNDS]
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
  std::fprintf(stderr, "relay_hostile_bench: %s\n", what.c_str());
  std::exit(1);
}

void Expect(const ov::Json& got, const char* type) {
  if (got.value("type", "") != type) Fail(std::string("expected ") + type + ", got " + got.dump());
}

Pair MakePair(std::uint16_t port, const std::string& id) {
  Pair p;
  p.host = std::make_unique<WsClient>(port);
  p.host->SendJson({{"type", "register"}, {"role", "host"}, {"protocol", 3}, {"sessionId", id},
                    {"build", "0.3.9"}});
  Expect(p.host->ReadJson(), "registered");
  p.viewer = std::make_unique<WsClient>(port);
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

}  // namespace

int main(int argc, char** argv) {
  const int roundCount = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
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
  pair.host->Close();
  pair.viewer->Close();
  ov::bench::Finish(pid);

  const Round& first = rounds.front();
  std::printf("hostile connections against a relay with its default limits (64 per address, "
              "10 s to upgrade or register), first round\n");
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
  std::printf("ratios: pair median during/before %.2f; RSS after the last round / after the first "
              "%.3f; after all rounds %lld WebSocket connections (the first pair)\n",
              Percentile(first.trips, 0.5) / Percentile(quiet, 0.5),
              static_cast<double>(rounds.back().rssAfter) / static_cast<double>(first.rssAfter),
              heldAfter);
  for (const Round& r : rounds) {
    if (r.outlived) Fail("connections outlived the bound");
  }
  return 0;
}
