// Latency under load: 1,000 pairs, each host sending 1 KiB binary messages to its viewer at 100
// per second (100,000 messages per second in all), through kestrova-relay over ws://. Two
// baselines run in the same process with the same load generator: 1,000 direct loopback TCP
// connections (no forwarder at all; relay minus this is the latency the relay adds), and a
// minimal one-thread epoll forwarder (the floor any relay process reaches on this machine).
// Prints p50, p99, p99.9 and the forwarding thread's CPU time per message.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "bench/cpu_time.h"
#include "relay/server.h"

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using ov::bench::ThreadCpuSeconds;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

// Defaults are the target load; --pairs=N and --rate=R (messages per second per pair) scale it
// down to show the relay's own cost on a machine that cannot drive the full load.
int kPairs = 1000;
int kRate = 100;
constexpr std::size_t kMessage = 1024;
std::chrono::microseconds kPeriod(10000);
constexpr auto kWarmup = std::chrono::seconds(1);
constexpr auto kMeasure = std::chrono::seconds(5);

// With --pin the generator runs on the first CPU and the forwarding thread on the last one, so
// that the generator plays remote clients with a core of their own instead of competing with the
// relay for its core. Off by default.
bool g_pin = false;

void PinTo(bool last) {
  if (!g_pin) return;
  const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(last ? static_cast<std::size_t>(cpus - 1) : 0u, &set);
  ::pthread_setaffinity_np(::pthread_self(), sizeof set, &set);
}

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

struct Percentiles {
  double p50 = 0, p99 = 0, p999 = 0, max = 0;
  std::size_t samples = 0;
  double cpuPerMessageUs = 0;  // forwarding thread's CPU time per message sent (0: no forwarder)
};

Percentiles Summarise(std::vector<std::int64_t>& ns) {
  Percentiles p;
  p.samples = ns.size();
  if (ns.empty()) return p;
  std::sort(ns.begin(), ns.end());
  auto at = [&](double q) {
    return static_cast<double>(ns[static_cast<std::size_t>(q * static_cast<double>(ns.size() - 1))]) /
           1000.0;
  };
  p.p50 = at(0.50);
  p.p99 = at(0.99);
  p.p999 = at(0.999);
  p.max = static_cast<double>(ns.back()) / 1000.0;
  return p;
}

// The load generator: `kPairs` links, each a sending socket and a receiving socket, driven from
// one thread with raw non-blocking system calls so that the generator itself stays cheap (it
// shares the machine with the relay). Every period each sender writes one message stamped with
// its send time; the receiver computes the one-way latency. On the relay path the sender writes a
// client frame (masked with a zero key, which leaves the payload as it is) and the receiver
// parses the relay's unmasked server frames.
class LoadGenerator {
 public:
  struct Link {
    int sendFd;
    int recvFd;
  };

  LoadGenerator(std::vector<Link> links, bool websocketFrames)
      : links_(std::move(links)), framed_(websocketFrames), pending_(links_.size()),
        next_(links_.size()) {}

  std::size_t Sent() const { return sent_; }

  std::vector<std::int64_t> Run() {
    PinTo(false);
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (epoll < 0 || timer < 0) throw std::runtime_error("epoll/timerfd");
    itimerspec tick{};
    tick.it_interval.tv_nsec = 200000;  // 200 us: senders fire in small batches, as real load does
    tick.it_value.tv_nsec = 200000;
    ::timerfd_settime(timer, 0, &tick, nullptr);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kTimerTag;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, timer, &ev);
    for (std::size_t i = 0; i < links_.size(); ++i) {
      SetNonBlocking(links_[i].recvFd, true);
      SetNonBlocking(links_[i].sendFd, false);
      ev.data.u64 = i;
      ::epoll_ctl(epoll, EPOLL_CTL_ADD, links_[i].recvFd, &ev);
    }

    const auto start = Clock::now();
    measureFrom_ = NowNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(kWarmup).count();
    const auto end = start + kWarmup + kMeasure;
    for (std::size_t i = 0; i < links_.size(); ++i) next_[i] = start + kPeriod * i / links_.size();
    samples_.reserve(static_cast<std::size_t>(kPairs) * static_cast<std::size_t>(kRate) * 6);

    std::vector<char> frame(kHeader + kMessage, 'l');
    if (framed_) {
      // FIN + binary, 16-bit length, mask bit with a zero key.
      const unsigned char header[kHeader] = {0x82, 0xFE, kMessage >> 8, kMessage & 0xFF, 0, 0, 0, 0};
      std::memcpy(frame.data(), header, kHeader);
    }
    char* const payload = frame.data() + (framed_ ? kHeader : 0);
    const std::size_t frameSize = (framed_ ? kHeader : 0) + kMessage;

    std::vector<char> scratch(256 * 1024);
    epoll_event events[256];
    while (Clock::now() < end) {
      // Pinned, the generator spins instead of sleeping: like remote clients, it then costs the
      // forwarding thread no wake-ups.
      const int n = ::epoll_wait(epoll, events, 256, g_pin ? 0 : 100);
      for (int e = 0; e < n; ++e) {
        if (events[e].data.u64 == kTimerTag) {
          std::uint64_t expirations = 0;
          (void)!::read(timer, &expirations, sizeof expirations);
          const auto now = Clock::now();
          for (std::size_t i = 0; i < links_.size(); ++i) {
            if (next_[i] > now) continue;
            next_[i] += kPeriod;
            const std::int64_t stamp = NowNs();
            std::memcpy(payload, &stamp, sizeof stamp);
            SendAll(links_[i].sendFd, frame.data(), frameSize);
            ++sent_;
          }
        } else {
          Drain(static_cast<std::size_t>(events[e].data.u64), scratch);
        }
      }
    }
    ::close(timer);
    ::close(epoll);
    return std::move(samples_);
  }

 private:
  static constexpr std::uint64_t kTimerTag = ~std::uint64_t{0};
  static constexpr std::size_t kHeader = 8;        // client frame: 2 + 2 length + 4 mask key
  static constexpr std::size_t kServerHeader = 4;  // server frame: 2 + 2 length, no mask
  static void SetNonBlocking(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
  }

  static void SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("load generator: send failed");
      data += n;
      size -= static_cast<std::size_t>(n);
    }
  }

  // Reads what is there and takes a sample from every whole message.
  void Drain(std::size_t i, std::vector<char>& scratch) {
    std::string& carry = pending_[i];
    for (;;) {
      const ssize_t n = ::recv(links_[i].recvFd, scratch.data(), scratch.size(), 0);
      if (n <= 0) return;
      carry.append(scratch.data(), static_cast<std::size_t>(n));
      const std::size_t unit = (framed_ ? kServerHeader : 0) + kMessage;
      std::size_t at = 0;
      const std::int64_t now = NowNs();
      while (carry.size() - at >= unit) {
        if (framed_ && (static_cast<unsigned char>(carry[at]) != 0x82 ||
                        static_cast<unsigned char>(carry[at + 1]) != 0x7E)) {
          throw std::runtime_error("load generator: unexpected frame from the relay");
        }
        std::int64_t stamp = 0;
        std::memcpy(&stamp, carry.data() + at + (framed_ ? kServerHeader : 0), sizeof stamp);
        if (stamp >= measureFrom_) samples_.push_back(now - stamp);
        at += unit;
      }
      carry.erase(0, at);
      if (static_cast<std::size_t>(n) < scratch.size()) return;
    }
  }

  std::vector<Link> links_;
  const bool framed_;
  std::vector<std::string> pending_;
  std::vector<Clock::time_point> next_;
  std::vector<std::int64_t> samples_;
  std::int64_t measureFrom_ = 0;
  std::size_t sent_ = 0;
};

Percentiles g_direct, g_forwarder, g_relay;

// The floor: the least any relay process must do on this machine. One thread, level-triggered
// epoll, every byte read from a sender's connection written at once to its receiver's. No
// framing, no queues, no checks.
class MinimalForwarder {
 public:
  explicit MinimalForwarder(int pairs) : acceptor_(ioc_, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0)) {
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this, pairs] {
      PinTo(true);
      Serve(pairs);
    });
  }
  ~MinimalForwarder() {
    const std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    thread_.join();
    ::close(wake_);
  }
  std::uint16_t Port() const { return port_; }
  std::thread& Thread() { return thread_; }

 private:
  void Serve(int pairs) {
    std::vector<tcp::socket> in, out;
    for (int i = 0; i < pairs; ++i) {  // the generator connects sender, then receiver, pair by pair
      in.push_back(acceptor_.accept());
      out.push_back(acceptor_.accept());
      in.back().set_option(tcp::no_delay(true));
      out.back().set_option(tcp::no_delay(true));
    }
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = ~std::uint64_t{0};
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, wake_, &ev);
    for (std::size_t i = 0; i < in.size(); ++i) {
      ev.data.u64 = i;
      ::epoll_ctl(epoll, EPOLL_CTL_ADD, in[i].native_handle(), &ev);
    }
    std::vector<char> buffer(256 * 1024);
    epoll_event events[256];
    for (;;) {
      const int n = ::epoll_wait(epoll, events, 256, -1);
      for (int e = 0; e < n; ++e) {
        if (events[e].data.u64 == ~std::uint64_t{0}) {
          ::close(epoll);
          return;
        }
        const std::size_t i = static_cast<std::size_t>(events[e].data.u64);
        const ssize_t got = ::recv(in[i].native_handle(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got <= 0) {
          ::epoll_ctl(epoll, EPOLL_CTL_DEL, in[i].native_handle(), nullptr);
          continue;
        }
        boost::system::error_code ignored;
        net::write(out[i], net::buffer(buffer.data(), static_cast<std::size_t>(got)), ignored);
      }
    }
  }

  net::io_context ioc_;
  tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  int wake_ = -1;
  std::thread thread_;
};

std::vector<LoadGenerator::Link> Links(std::vector<tcp::socket>& senders, std::vector<tcp::socket>& receivers) {
  std::vector<LoadGenerator::Link> links;
  for (std::size_t k = 0; k < senders.size(); ++k) {
    links.push_back({senders[k].native_handle(), receivers[k].native_handle()});
  }
  return links;
}

void BM_DirectTcp(benchmark::State& state) {
  for (auto _ : state) {
    net::io_context ioc;
    tcp::acceptor acceptor(ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    std::vector<tcp::socket> senders, receivers;
    for (int i = 0; i < kPairs; ++i) {
      senders.emplace_back(ioc);
      senders.back().connect(acceptor.local_endpoint());
      receivers.push_back(acceptor.accept());
      senders.back().set_option(tcp::no_delay(true));
    }
    LoadGenerator load(Links(senders, receivers), false);
    auto samples = load.Run();
    g_direct = Summarise(samples);
  }
  state.counters["p50_us"] = g_direct.p50;
  state.counters["p99_us"] = g_direct.p99;
  state.counters["samples"] = static_cast<double>(g_direct.samples);
}

void BM_MinimalForwarder(benchmark::State& state) {
  for (auto _ : state) {
    MinimalForwarder forwarder(kPairs);
    net::io_context ioc;
    const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), forwarder.Port());
    std::vector<tcp::socket> senders, receivers;
    for (int i = 0; i < kPairs; ++i) {
      senders.emplace_back(ioc);
      senders.back().connect(endpoint);
      senders.back().set_option(tcp::no_delay(true));
      receivers.emplace_back(ioc);
      receivers.back().connect(endpoint);
    }
    LoadGenerator load(Links(senders, receivers), false);
    const double cpuBefore = ThreadCpuSeconds(forwarder.Thread());
    auto samples = load.Run();
    const double cpu = ThreadCpuSeconds(forwarder.Thread()) - cpuBefore;
    g_forwarder = Summarise(samples);
    g_forwarder.cpuPerMessageUs = cpu * 1e6 / static_cast<double>(std::max<std::size_t>(1, load.Sent()));
    for (auto& socket : senders) socket.close();
  }
  state.counters["p50_us"] = g_forwarder.p50;
  state.counters["p99_us"] = g_forwarder.p99;
  state.counters["samples"] = static_cast<double>(g_forwarder.samples);
}

void BM_RelayWs(benchmark::State& state) {
  ov::relay::ServerOptions options;
  options.port = 0;
  options.quiet = true;
  options.matcher.maxConnectionsPerAddress = 4 * static_cast<std::size_t>(kPairs);
  options.prefixes.acceptsPerSecond = 1e6;  // every client of the bench is on loopback
  options.prefixes.acceptBurst = 1e6;
  options.matcher.registrationsPerMinute = 4 * static_cast<std::size_t>(kPairs);
  ov::relay::Server server(options);
  std::thread serving([&] {
    PinTo(true);
    server.Run();
  });
  for (auto _ : state) {
    net::io_context ioc;
    const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), server.Port());
    std::vector<websocket::stream<tcp::socket>> hosts, viewers;
    hosts.reserve(static_cast<std::size_t>(kPairs));
    viewers.reserve(static_cast<std::size_t>(kPairs));
    beast::flat_buffer buffer;
    auto readJson = [&](websocket::stream<tcp::socket>& ws) {
      buffer.clear();
      ws.read(buffer);
      return ov::ParseMessage(beast::buffers_to_string(buffer.cdata()));
    };
    auto open = [&](std::vector<websocket::stream<tcp::socket>>& list) {
      list.emplace_back(ioc);
      list.back().next_layer().connect(endpoint);
      list.back().next_layer().set_option(tcp::no_delay(true));
      list.back().handshake("localhost", "/ws");
    };
    for (int i = 0; i < kPairs; ++i) {
      const std::string id = std::to_string(100000000 + i);
      open(hosts);
      open(viewers);
      auto& h = hosts.back();
      auto& v = viewers.back();
      h.write(net::buffer(ov::SerializeMessage({{"type", "register"}, {"role", "host"},
                                                {"protocol", 3}, {"sessionId", id},
                                                {"build", "0.3.9"}})));
      readJson(h);
      v.write(net::buffer(ov::SerializeMessage({{"type", "register"}, {"role", "viewer"},
                                                {"protocol", 3}, {"sessionId", id},
                                                {"password", "p"}, {"build", "0.3.9"}})));
      const std::string rid = readJson(h).at("requestId").get<std::string>();
      h.write(net::buffer(ov::SerializeMessage(
          {{"type", "authChallenge"}, {"requestId", rid}, {"message", "m"}, {"confirmation", "c"}})));
      readJson(v);
      v.write(net::buffer(ov::SerializeMessage(
          {{"type", "authResponse"}, {"requestId", rid}, {"confirmation", "c"}})));
      readJson(h);
      h.write(net::buffer(ov::SerializeMessage(
          {{"type", "connectResponse"}, {"requestId", rid}, {"accepted", true}})));
      readJson(h);
      readJson(v);
    }
    std::vector<LoadGenerator::Link> links;
    for (int i = 0; i < kPairs; ++i) {
      const auto k = static_cast<std::size_t>(i);
      links.push_back({hosts[k].next_layer().native_handle(), viewers[k].next_layer().native_handle()});
    }
    LoadGenerator load(std::move(links), true);
    const double cpuBefore = ThreadCpuSeconds(serving);
    auto samples = load.Run();
    const double cpu = ThreadCpuSeconds(serving) - cpuBefore;
    g_relay = Summarise(samples);
    g_relay.cpuPerMessageUs = cpu * 1e6 / static_cast<double>(std::max<std::size_t>(1, load.Sent()));
    for (auto& h : hosts) beast::get_lowest_layer(h).close();
    for (auto& v : viewers) beast::get_lowest_layer(v).close();
  }
  server.Stop();
  serving.join();
  state.counters["p50_us"] = g_relay.p50;
  state.counters["p99_us"] = g_relay.p99;
  state.counters["samples"] = static_cast<double>(g_relay.samples);
}

BENCHMARK(BM_DirectTcp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_MinimalForwarder)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_RelayWs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--pin") {
      g_pin = true;
    } else if (arg.rfind("--pairs=", 0) == 0) {
      kPairs = std::max(1, std::stoi(arg.substr(8)));
    } else if (arg.rfind("--rate=", 0) == 0) {
      kRate = std::clamp(std::stoi(arg.substr(7)), 1, 1000);
    } else {
      rest.push_back(argv[i]);
    }
  }
  kPeriod = std::chrono::microseconds(1000000 / kRate);
  argc = static_cast<int>(rest.size());
  argv = rest.data();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::printf("\n%d pairs x %d msg/s x 1 KiB, %lld s measured after %lld s warm-up\n", kPairs, kRate,
              static_cast<long long>(kMeasure.count()), static_cast<long long>(kWarmup.count()));
  std::printf("  %-22s %9s %9s %9s %9s %9s %12s\n", "path (us)", "p50", "p99", "p99.9", "max", "samples",
              "cpu/msg");
  for (auto [name, p] : {std::pair{"direct TCP (baseline)", g_direct},
                                std::pair{"minimal TCP forwarder", g_forwarder},
                                std::pair{"via relay ws://", g_relay}}) {
    std::printf("  %-22s %9.1f %9.1f %9.1f %9.1f %9zu %12.2f\n", name, p.p50, p.p99, p.p999, p.max,
                p.samples, p.cpuPerMessageUs);
  }
  std::printf("  added by the relay:    p50 %.1f us, p99 %.1f us (target p99 <= 1000 us)\n",
              g_relay.p50 - g_direct.p50, g_relay.p99 - g_direct.p99);
  std::printf("  added by the minimal forwarder (this machine's floor): p50 %.1f us, p99 %.1f us\n",
              g_forwarder.p50 - g_direct.p50, g_forwarder.p99 - g_direct.p99);
  if (g_forwarder.cpuPerMessageUs > 0) {
    std::printf("  relay CPU per message as a ratio of the minimal forwarder's: %.2f\n",
                g_relay.cpuPerMessageUs / g_forwarder.cpuPerMessageUs);
  }
  return 0;
}
