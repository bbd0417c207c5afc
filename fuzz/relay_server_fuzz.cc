// The relay's network shell in-process: a real ov::relay::Server (two worker threads, clear text)
// on a loopback port, started once and reused by every input. The input is a script of up to 48
// steps over four raw TCP clients, so the HTTP upgrade, the frame reader, the matcher and the
// forwarding all see hostile bytes through real sockets.
//
//   step byte: bits 0-3 the step, bits 4-5 the client (0-3), bits 6-7 a parameter p (0-3)
//    0 open       a new TCP connection (the client's old one is dropped)
//    1 upgrade    an upgrade request to /ws (p: 0 as a browser sends it, 1 lower-case names,
//                 2 no key, 3 version 12), then its answer is read (at most 100 ms)
//    2 raw        1 byte n, then n bytes sent as they are
//    3 frame      the first header byte as given, a length byte (bit 7 the mask bit, 0-125, 126
//                 and 127 followed by the 2- or 8-byte length), the 4-byte mask, then the payload:
//                 what the length declares, cut to what is left and to 4096 bytes
//    4 text       2-byte length, then a masked text message of those bytes; "$R" in it becomes the
//                 client's last request id
//    5 template   1 byte: bits 0-2 the message (host and viewer register, authChallenge,
//                 authResponse, connectResponse accepted and refused, a stray connected, register
//                 with protocol 2), bits 3-4 the session id; sent as a masked text message
//    6 binary     2-byte size; a masked binary message (p & 1: as two fragments)
//    7 read       what arrives within (p + 1) * 5 ms
//    8 pairing    reads until "connected" arrives, at most 200 ms
//    9 close      a close frame with a 2-byte code and p bytes of reason
//   10 half       the client shuts its sending side
//   11 drop       the TCP connection is closed
//   12 control    a masked ping (p even) or pong with (p < 2 ? 1 byte n : 126 + n) payload bytes
//   13 sleep      (p + 1) * 10 ms
//   14 trickle    an upgrade request sent in pieces of p + 1 bytes
//   15 header     the first p + 1 bytes of a masked binary frame header, nothing more
// Reads and waits of one input add up to at most a second.
//
// After the script every client is closed. Checked: the server is still serving; within the settle
// bound (see SettleBound) the /metrics gauges show no WebSocket connection, no HTTP connection but
// the metrics request, and no registered host, waiting request or session; a fresh, well-behaved
// host and viewer then register, pair and forward one binary message each way, and leave, after
// which the gauges are back to zero.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "base/json_codec.h"
#include "fuzz/fuzz_check.h"
#include "relay/server.h"
#include "relay/test_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using ov::relay::testing::WsClient;

struct RunningRelay {
  RunningRelay() {
    std::signal(SIGPIPE, SIG_IGN);
    ov::relay::ServerOptions options;
    options.listenHost = "127.0.0.1";
    options.port = 0;
    // KESTROVA_RELAY_LOG=1 lets the relay log every connection's events to stderr (to find the
    // path of an input that fails only among others).
    const char* log = std::getenv("KESTROVA_RELAY_LOG");
    options.quiet = log == nullptr || std::string_view(log) != "1";
    options.threads = 2;
    // The check after every input registers two devices from the same address.
    options.matcher.registrationsPerMinute = std::size_t{1} << 30;
    // Likewise its pairings (some inputs leave a pairing unfinished) and its connections come
    // from one address faster than any one client's budget allows.
    options.matcher.failedPairingsPerAddress = std::size_t{1} << 30;
    options.prefixes.acceptsPerSecond = 1e9;
    options.prefixes.acceptBurst = 1e9;
    server = std::make_unique<ov::relay::Server>(options);
    port = server->Port();
    std::thread([this] {
      server->Run();
      stopped = true;
    }).detach();  // serves for the life of the process
  }
  std::unique_ptr<ov::relay::Server> server;
  std::uint16_t port = 0;
  std::atomic<bool> stopped{false};
};

RunningRelay& Relay() {
  static RunningRelay* relay = new RunningRelay();  // never destroyed: its thread runs on
  return *relay;
}

// A failure says why on stderr: the caller's check then fails with the reason in the log.
// libFuzzer's timeout timer signals the process every second; a connect it interrupts goes on in
// the background and is waited for (it cannot be started again).
int Connect(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::fprintf(stderr, "relay_server: socket: %s\n", std::strerror(errno));
    return -1;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  int result = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (result != 0 && errno == EINTR) {
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do {
      ready = ::poll(&p, 1, 5000);
    } while (ready < 0 && errno == EINTR);
    int error = ready == 1 ? 0 : ETIMEDOUT;
    socklen_t length = sizeof error;
    if (ready == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    errno = error;
    result = error == 0 ? 0 : -1;
  }
  if (result != 0) {
    std::fprintf(stderr, "relay_server: connect to port %u: %s\n", static_cast<unsigned>(port),
                 std::strerror(errno));
    ::close(fd);
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// One scripted client: its socket and what the relay sent it.
struct RawClient {
  int fd = -1;
  std::string received;    // every byte read so far
  std::string requestId;   // the last "requestId" seen in what was read
  bool connected = false;  // a "connected" message was read

  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  void Send(std::string_view bytes) {
    if (fd < 0) return;
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n <= 0) return;  // the relay closed, or its buffers are full: the rest is dropped
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  // Reads what arrives until `until` returns true or `ms` pass.
  template <typename Until>
  void Read(int ms, Until until) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (fd >= 0 && !until()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return;
      pollfd p{fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;  // libFuzzer's timer signal
      if (ready <= 0) return;
      char buffer[16384];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) {
        Close();
        return;
      }
      if (received.size() < (1u << 20)) received.append(buffer, static_cast<std::size_t>(n));
      Scan();
    }
  }
  // Picks the request id and "connected" out of the text received (frames are not parsed: the
  // ids are plain JSON strings in unmasked text frames).
  void Scan() {
    static constexpr std::string_view kKey = "\"requestId\":\"";
    for (std::size_t at = received.rfind(kKey); at != std::string::npos;) {
      const std::size_t end = received.find('"', at + kKey.size());
      if (end != std::string::npos) requestId = received.substr(at + kKey.size(), end - at - kKey.size());
      break;
    }
    if (received.find("\"type\":\"connected\"") != std::string::npos) connected = true;
  }
};

// A masked client frame: `first` is the FIN/RSV/opcode byte as sent.
std::string Frame(std::uint8_t first, std::string_view payload, std::uint32_t mask = 0x1f2e3d4c) {
  std::string frame(1, static_cast<char>(first));
  const std::size_t n = payload.size();
  if (n < 126) {
    frame += static_cast<char>(0x80 | n);
  } else if (n < 65536) {
    frame += static_cast<char>(0x80 | 126);
    frame += static_cast<char>(n >> 8);
    frame += static_cast<char>(n & 0xff);
  } else {
    frame += static_cast<char>(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8) frame += static_cast<char>((n >> shift) & 0xff);
  }
  const char key[4] = {static_cast<char>(mask >> 24), static_cast<char>(mask >> 16),
                       static_cast<char>(mask >> 8), static_cast<char>(mask)};
  frame.append(key, 4);
  for (std::size_t i = 0; i < n; ++i) frame += static_cast<char>(payload[i] ^ key[i % 4]);
  return frame;
}

std::string UpgradeRequest(std::uint16_t port, int variant) {
  std::string r = "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
  if (variant == 1) {
    r += "upgrade: WebSocket\r\nconnection: keep-alive, Upgrade\r\n";
  } else {
    r += "Upgrade: websocket\r\nConnection: Upgrade\r\n";
  }
  if (variant != 2) r += "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
  r += variant == 3 ? "Sec-WebSocket-Version: 12\r\n\r\n" : "Sec-WebSocket-Version: 13\r\n\r\n";
  return r;
}

std::string SessionId(unsigned index) { return std::to_string(482913770 + index); }

std::string Template(unsigned which, unsigned session, const std::string& requestId) {
  const std::string id = SessionId(session);
  ov::Json m;
  switch (which) {
    case 0:
      m = {{"type", "register"}, {"role", "host"}, {"protocol", 3}, {"sessionId", id},
           {"build", "0.3.9"}};
      break;
    case 1:
      m = {{"type", "register"}, {"role", "viewer"}, {"protocol", 3}, {"sessionId", id},
           {"password", "p3:opaque"}, {"build", "0.3.9"}};
      break;
    case 2:
      m = {{"type", "authChallenge"}, {"requestId", requestId}, {"message", "hm"},
           {"confirmation", "hc"}};
      break;
    case 3:
      m = {{"type", "authResponse"}, {"requestId", requestId}, {"confirmation", "vc"}};
      break;
    case 4:
      m = {{"type", "connectResponse"}, {"requestId", requestId}, {"accepted", true}};
      break;
    case 5:
      m = {{"type", "connectResponse"}, {"requestId", requestId}, {"accepted", false}};
      break;
    case 6:
      m = {{"type", "connected"}, {"requestId", requestId}};
      break;
    default:
      m = {{"type", "register"}, {"role", "host"}, {"protocol", 2}, {"sessionId", id},
           {"build", "0.3.9"}};
      break;
  }
  return ov::SerializeMessage(m);
}

struct Gauges {
  long ws = -1;
  long http = -1;
  long hosts = -1;     // registered under a device ID
  long requests = -1;  // viewer requests not yet paired
  long sessions = -1;  // paired
};

long Gauge(const std::string& body, std::string_view name) {
  const std::string key = "\n" + std::string(name) + " ";
  const std::size_t at = body.find(key);
  if (at == std::string::npos) return -1;
  return std::strtol(body.c_str() + at + key.size(), nullptr, 10);
}

Gauges ReadGauges(std::uint16_t port) {
  const ov::relay::testing::HttpResult result = ov::relay::testing::HttpRequest(port, "/metrics");
  OV_FUZZ_CHECK(result.status == 200);
  const std::string body = "\n" + result.body;
  return {Gauge(body, "kestrova_relay_connections"), Gauge(body, "kestrova_relay_http_connections"),
          Gauge(body, "kestrova_relay_registered_hosts"),
          Gauge(body, "kestrova_relay_pending_requests"), Gauge(body, "kestrova_relay_sessions")};
}

// How long the connections of a script may take to end once its clients are gone: 2 s. The relay
// ends a connection as soon as its client's end of the stream arrives, in every state of the
// closing handshake, so a connection that waits for the 10 s closing deadline (or the 10 s
// register deadline) is a fault, and the committed inputs that once found such paths fail again
// if one comes back. KESTROVA_RELAY_SETTLE_MS gives another bound (25000 is the relay's outer
// promise: its closing deadline plus the sweep that finds it).
std::chrono::milliseconds SettleBound() {
  static const long ms = [] {
    const char* text = std::getenv("KESTROVA_RELAY_SETTLE_MS");
    const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return value > 0 ? value : 2000L;
  }();
  return std::chrono::milliseconds(ms);
}

// Every connection of the script (or of the check) is gone within the bound: no WebSocket
// connection, no HTTP connection but the one asking, and nothing of them left in the matcher (no
// registered host, no waiting request, no session). Each reading is a connection of its
// own, so the pause between readings grows from 2 ms to 50 ms: a slow settle must not use up the
// loopback's ephemeral ports (each closed connection holds one for a minute).
void ExpectIdle(std::uint16_t port) {
  const Clock::time_point end = Clock::now() + SettleBound();
  Gauges g;
  std::chrono::milliseconds pause(2);
  for (;;) {
    g = ReadGauges(port);
    OV_FUZZ_CHECK(g.ws >= 0 && g.hosts >= 0 && g.requests >= 0 && g.sessions >= 0);
    if (g.ws == 0 && g.http <= 1 && g.hosts == 0 && g.requests == 0 && g.sessions == 0) return;
    if (Clock::now() >= end) break;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  std::fprintf(stderr,
               "relay_server: still open: %ld WebSocket and %ld HTTP connections, %ld hosts, %ld "
               "requests, %ld sessions\n",
               g.ws, g.http, g.hosts, g.requests, g.sessions);
  OV_FUZZ_CHECK(false);
}

// A well-behaved host and viewer with a session id of their own pair and forward both ways.
void ExpectPairing(std::uint16_t port, unsigned round) {
  const std::string id = std::to_string(700000000 + round % 100000000);
  try {
    WsClient host(port);
    host.SendJson({{"type", "register"}, {"role", "host"}, {"protocol", 3}, {"sessionId", id},
                   {"build", "0.3.9"}});
    OV_FUZZ_CHECK(host.ReadJson() == ov::Json({{"type", "registered"}, {"protocol", 3}}));
    WsClient viewer(port);
    viewer.SendJson({{"type", "register"}, {"role", "viewer"}, {"protocol", 3}, {"sessionId", id},
                     {"password", "p3:check"}, {"build", "0.3.9"}});
    const ov::Json request = host.ReadJson();
    OV_FUZZ_CHECK(request.at("type") == "connectRequest");
    const std::string rid = request.at("requestId").get<std::string>();
    host.SendJson({{"type", "authChallenge"}, {"requestId", rid}, {"message", "m"},
                   {"confirmation", "c"}});
    OV_FUZZ_CHECK(viewer.ReadJson().at("type") == "authChallenge");
    viewer.SendJson({{"type", "authResponse"}, {"requestId", rid}, {"confirmation", "v"}});
    OV_FUZZ_CHECK(host.ReadJson().at("type") == "authResponse");
    host.SendJson({{"type", "connectResponse"}, {"requestId", rid}, {"accepted", true}});
    const ov::Json connected = {{"type", "connected"}, {"requestId", rid}};
    OV_FUZZ_CHECK(host.ReadJson() == connected);
    OV_FUZZ_CHECK(viewer.ReadJson() == connected);
    const std::string toViewer = "frame " + id + std::string(300, '\xa5');
    host.SendBinary(toViewer);
    viewer.SendBinary(id);
    WsClient::Message m = viewer.Read();
    OV_FUZZ_CHECK(m.binary && m.data == toViewer);
    m = host.Read();
    OV_FUZZ_CHECK(m.binary && m.data == id);
    viewer.Close();
    host.Close();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "relay_server: the well-behaved pair failed: %s\n", error.what());
    OV_FUZZ_CHECK(false);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunningRelay& relay = Relay();
  static unsigned round = 0;
  ++round;
  std::size_t at = 0;
  auto left = [&] { return size - at; };
  auto byte = [&]() -> unsigned { return at < size ? data[at++] : 0; };
  auto take = [&](std::size_t n) {
    n = std::min(n, left());
    const std::string bytes(reinterpret_cast<const char*>(data) + at, n);
    at += n;
    return bytes;
  };
  auto u16 = [&] {
    const unsigned hi = byte();
    return (hi << 8) | byte();
  };

  RawClient clients[4];
  int waitedMs = 0;
  auto budget = [&](int ms) {
    ms = std::min(ms, 1000 - waitedMs);
    waitedMs += std::max(ms, 0);
    return std::max(ms, 0);
  };
  for (int steps = 0; steps < 48 && left() > 0; ++steps) {
    const unsigned step = byte();
    RawClient& c = clients[(step >> 4) & 3];
    const unsigned p = step >> 6;
    switch (step & 15) {
      case 0:
        c.Close();
        c = RawClient{};
        c.fd = Connect(relay.port);
        OV_FUZZ_CHECK(c.fd >= 0);
        break;
      case 1:
        c.Send(UpgradeRequest(relay.port, static_cast<int>(p)));
        c.Read(budget(100), [&] { return c.received.find("\r\n\r\n") != std::string::npos; });
        break;
      case 2:
        c.Send(take(byte()));
        break;
      case 3: {
        std::string frame(1, static_cast<char>(byte()));
        const unsigned lengthByte = byte();
        frame += static_cast<char>(lengthByte);
        std::uint64_t declared = lengthByte & 0x7f;
        if (declared == 126) {
          const std::string ext = take(2);
          frame += ext;
          declared = 0;
          for (char b : ext) declared = (declared << 8) | static_cast<std::uint8_t>(b);
        } else if (declared == 127) {
          const std::string ext = take(8);
          frame += ext;
          declared = 0;
          for (char b : ext) declared = (declared << 8) | static_cast<std::uint8_t>(b);
        }
        if (lengthByte & 0x80) frame += take(4);
        frame += take(static_cast<std::size_t>(std::min<std::uint64_t>(declared, 4096)));
        c.Send(frame);
        break;
      }
      case 4: {
        std::string text = take(u16());
        for (std::size_t r = text.find("$R"); r != std::string::npos; r = text.find("$R", r)) {
          text.replace(r, 2, c.requestId);
          r += c.requestId.size();
        }
        c.Send(Frame(0x81, text));
        break;
      }
      case 5: {
        const unsigned t = byte();
        c.Send(Frame(0x81, Template(t & 7, (t >> 3) & 3, c.requestId)));
        break;
      }
      case 6: {
        const std::string bytes(u16(), '\x5a');
        if (p & 1) {
          c.Send(Frame(0x02, std::string_view(bytes).substr(0, bytes.size() / 2)));
          c.Send(Frame(0x80, std::string_view(bytes).substr(bytes.size() / 2)));
        } else {
          c.Send(Frame(0x82, bytes));
        }
        break;
      }
      case 7:
        c.Read(budget(static_cast<int>(p + 1) * 5), [] { return false; });
        break;
      case 8:
        c.Read(budget(200), [&] { return c.connected; });
        break;
      case 9: {
        const unsigned code = u16();
        std::string payload{static_cast<char>(code >> 8), static_cast<char>(code & 0xff)};
        payload += take(p);
        c.Send(Frame(0x88, payload));
        break;
      }
      case 10:
        if (c.fd >= 0) ::shutdown(c.fd, SHUT_WR);
        break;
      case 11:
        c.Close();
        break;
      case 12: {
        const std::size_t n = p < 2 ? byte() % 126 : 126 + byte();
        c.Send(Frame(p % 2 == 0 ? 0x89 : 0x8a, std::string(n, 'p')));
        break;
      }
      case 13:
        std::this_thread::sleep_for(std::chrono::milliseconds(budget(static_cast<int>(p + 1) * 10)));
        break;
      case 14: {
        const std::string request = UpgradeRequest(relay.port, 0);
        for (std::size_t i = 0; i < request.size(); i += p + 1) {
          c.Send(std::string_view(request).substr(i, p + 1));
        }
        break;
      }
      default:
        c.Send(Frame(0x82, std::string(300, 'h')).substr(0, p + 1));
        break;
    }
  }
  for (RawClient& c : clients) c.Close();

  OV_FUZZ_CHECK(!relay.stopped);
  ExpectIdle(relay.port);
  ExpectPairing(relay.port, round);
  ExpectIdle(relay.port);
  return 0;
}
