// Throughput of one relayed pair: a host sends 1 MiB binary messages, the viewer receives them.
// Measured over ws:// and wss:// through kestrova-relay, and against a plain TCP forwarder that
// moves the same bytes between two sockets in the same process (the baseline). The clients are
// lean on every way (plain sockets for the baseline; prepared frames and OpenSSL on the socket
// for the relay), so that the figures are the forwarder's, not a client library's. Prints, for
// each way, the throughput and the forwarding thread's CPU per MiB; then runs the three ways in
// turn for --rounds=N rounds (default 5) and prints the medians of the rounds' ratios, which
// hold still while other work comes and goes on the machine.
//
// Then messages per second with many pairs at once: 32 pairs, every host sending 1 KiB binary
// messages as fast as the relay takes them, through the relay on one worker thread (the baseline)
// and on N (--relay-threads=N, default: the cores). Connections are spread over the threads in
// turn, so with two or more threads the two ends of every pair live on different threads and
// every message crosses threads. The load comes from one lean epoll thread in this process that
// writes prepared frames and only counts what it reads, so that most of the CPU goes to the
// relay; on a machine with few cores it still takes a share of them.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <map>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "relay/server.h"
#include "relay/test_client.h"
#include "bench/cpu_time.h"
#include "bench/relay_lean_client.h"
#include "bench/relay_tcp_forwarder.h"

namespace {

namespace net = boost::asio;
using ov::bench::CpuSeconds;
using tcp = net::ip::tcp;

constexpr std::size_t kMessage = 1u << 20;
constexpr int kMessagesPerIteration = 256;  // 256 MiB per iteration

std::map<std::string, double> g_rate;  // bytes per second, by benchmark
std::map<std::string, double> g_cpuPerMib;  // the forwarding thread's CPU, ms per MiB

// One way for 1 MiB messages from a sender to a receiver: the TCP forwarder, or a host and a
// viewer paired through the relay (ws:// or wss://, lean clients). Round() moves `messages`
// messages and says how long it took and how much CPU the forwarding thread used.
class Path {
 public:
  struct Figures {
    double seconds = 0;
    double forwarderCpuSeconds = 0;
  };
  virtual ~Path() = default;
  virtual Figures Round(int messages) = 0;
};

class TcpPath final : public Path {
 public:
  TcpPath() : floor_(kMessage) {}
  Figures Round(int messages) override {
    const double cpu = floor_.forwarder().CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    floor_.Round(messages);
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            floor_.forwarder().CpuSeconds() - cpu};
  }

 private:
  ov::bench::TcpFloor floor_;
};

class RelayPath final : public Path {
 public:
  explicit RelayPath(bool tls) {
    options_.port = 0;
    options_.quiet = true;
    if (tls) {
      cert_ = std::make_unique<ov::relay::testing::TempCertificate>();
      options_.tlsCert = cert_->CertPath();
      options_.tlsKey = cert_->KeyPath();
    }
    server_ = std::make_unique<ov::relay::Server>(options_);
    serving_ = std::thread([this] { server_->Run(); });
    host_ = std::make_unique<LeanWsClient>(server_->Port(), tls);
    viewer_ = std::make_unique<LeanWsClient>(server_->Port(), tls);
    auto send = [](LeanWsClient& client, const ov::Json& message) {
      client.Send(LeanWsClient::Frame(1, ov::SerializeMessage(message)));
    };
    std::size_t size = 0;
    auto read = [&](LeanWsClient& client) { return ov::ParseMessage(client.ReadMessage(size)); };
    send(*host_, {{"type", "register"}, {"role", "host"}, {"protocol", 3},
                  {"sessionId", "123456789"}, {"build", "0.3.9"}});
    read(*host_);
    send(*viewer_, {{"type", "register"}, {"role", "viewer"}, {"protocol", 3},
                    {"sessionId", "123456789"}, {"password", "p"}, {"build", "0.3.9"}});
    const std::string id = read(*host_).at("requestId").get<std::string>();
    send(*host_, {{"type", "authChallenge"}, {"requestId", id}, {"message", "m"}, {"confirmation", "c"}});
    read(*viewer_);
    send(*viewer_, {{"type", "authResponse"}, {"requestId", id}, {"confirmation", "c"}});
    read(*host_);
    send(*host_, {{"type", "connectResponse"}, {"requestId", id}, {"accepted", true}});
    read(*host_);
    read(*viewer_);
    frame_ = LeanWsClient::Frame(2, std::string(kMessage, 'm'));
  }
  ~RelayPath() override {
    host_.reset();
    viewer_.reset();
    server_->Stop();
    serving_.join();
  }
  Figures Round(int messages) override {
    // The relay runs on one worker thread: the one that called Run.
    const double cpu = ov::bench::ThreadCpuSeconds(serving_);
    const auto start = std::chrono::steady_clock::now();
    std::thread sending([&] {
      for (int i = 0; i < messages; ++i) host_->Send(frame_);
    });
    for (int i = 0; i < messages; ++i) {
      std::size_t size = 0;
      viewer_->ReadMessage(size, false);
      if (size != kMessage) throw std::runtime_error("message size changed");
    }
    sending.join();
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            ov::bench::ThreadCpuSeconds(serving_) - cpu};
  }

 private:
  using LeanWsClient = ov::bench::LeanWsClient;
  std::unique_ptr<ov::relay::testing::TempCertificate> cert_;
  ov::relay::ServerOptions options_;
  std::unique_ptr<ov::relay::Server> server_;
  std::thread serving_;
  std::unique_ptr<LeanWsClient> host_, viewer_;
  std::string frame_;
};

void RunPath(benchmark::State& state, Path& path) {
  Path::Figures total;
  for (auto _ : state) {
    const Path::Figures round = path.Round(kMessagesPerIteration);
    total.forwarderCpuSeconds += round.forwarderCpuSeconds;
  }
  const double mib = static_cast<double>(state.iterations()) * kMessagesPerIteration * kMessage / (1 << 20);
  state.counters["fwd_cpu_ms_per_mib"] = total.forwarderCpuSeconds * 1000 / mib;
  state.SetBytesProcessed(state.iterations() * kMessagesPerIteration * std::int64_t{kMessage});
}

void BM_TcpForwarder(benchmark::State& state) {
  TcpPath path;
  RunPath(state, path);
}
void BM_RelayWs(benchmark::State& state) {
  RelayPath path(false);
  RunPath(state, path);
}
void BM_RelayWss(benchmark::State& state) {
  RelayPath path(true);
  RunPath(state, path);
}

// The same three ways set up at once and run in turn, round after round, so that each round's
// ratios compare runs a moment apart under the same load; the medians of those ratios.
void InterleavedRatios(int rounds) {
  TcpPath floor;
  RelayPath ws(false);
  RelayPath wss(true);
  constexpr int kMessagesPerRound = kMessagesPerIteration;
  std::vector<double> wsRatio, wssRatio, wsCpu, wssCpu;
  for (int r = 0; r < rounds; ++r) {
    const Path::Figures base = floor.Round(kMessagesPerRound);
    const Path::Figures plain = ws.Round(kMessagesPerRound);
    const Path::Figures secure = wss.Round(kMessagesPerRound);
    wsRatio.push_back(base.seconds / plain.seconds);
    wssRatio.push_back(base.seconds / secure.seconds);
    wsCpu.push_back(base.forwarderCpuSeconds / plain.forwarderCpuSeconds);
    wssCpu.push_back(base.forwarderCpuSeconds / secure.forwarderCpuSeconds);
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  };
  auto range = [](const std::vector<double>& v) {
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    return std::make_pair(*lo, *hi);
  };
  std::printf("\nInterleaved: %d rounds of TCP forwarder, ws://, wss:// (%d MiB each), medians of the "
              "rounds' ratios\n", rounds, kMessagesPerRound);
  const auto [wsLo, wsHi] = range(wsRatio);
  const auto [wssLo, wssHi] = range(wssRatio);
  std::printf("  ws://  throughput ratio %.2f (%.2f..%.2f)   forwarding-thread CPU ratio %.2f\n",
              median(wsRatio), wsLo, wsHi, median(wsCpu));
  std::printf("  wss:// throughput ratio %.2f (%.2f..%.2f)   forwarding-thread CPU ratio %.2f\n",
              median(wssRatio), wssLo, wssHi, median(wssCpu));
}

constexpr int kManyPairs = 32;
constexpr std::size_t kSmall = 1024;
constexpr auto kMpsWarmup = std::chrono::milliseconds(500);
constexpr auto kMpsMeasure = std::chrono::seconds(3);
std::size_t g_relayThreads = 0;  // 0: the cores
std::map<std::size_t, double> g_messagesPerSecond;  // by worker threads
std::map<std::size_t, double> g_relayCpuPerMessage;  // microseconds, by worker threads

// Pairs `count` hosts with `count` viewers through the relay (plain ws://), synchronously.
void PairUp(std::uint16_t port, int count, net::io_context& ioc,
            std::vector<boost::beast::websocket::stream<tcp::socket>>& hosts,
            std::vector<boost::beast::websocket::stream<tcp::socket>>& viewers) {
  namespace beast = boost::beast;
  const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), port);
  beast::flat_buffer buffer;
  auto readJson = [&](beast::websocket::stream<tcp::socket>& ws) {
    buffer.clear();
    ws.read(buffer);
    return ov::ParseMessage(beast::buffers_to_string(buffer.cdata()));
  };
  auto open = [&](std::vector<beast::websocket::stream<tcp::socket>>& list) {
    list.emplace_back(ioc);
    list.back().next_layer().connect(endpoint);
    list.back().next_layer().set_option(tcp::no_delay(true));
    list.back().handshake("localhost", "/ws");
  };
  auto send = [](beast::websocket::stream<tcp::socket>& ws, const ov::Json& message) {
    ws.write(net::buffer(ov::SerializeMessage(message)));
  };
  for (int i = 0; i < count; ++i) {
    const std::string id = std::to_string(100000000 + i);
    open(hosts);
    open(viewers);
    auto& h = hosts.back();
    auto& v = viewers.back();
    send(h, {{"type", "register"}, {"role", "host"}, {"protocol", 3}, {"sessionId", id},
             {"build", "0.3.9"}});
    readJson(h);
    send(v, {{"type", "register"}, {"role", "viewer"}, {"protocol", 3}, {"sessionId", id},
             {"password", "p"}, {"build", "0.3.9"}});
    const std::string rid = readJson(h).at("requestId").get<std::string>();
    send(h, {{"type", "authChallenge"}, {"requestId", rid}, {"message", "m"}, {"confirmation", "c"}});
    readJson(v);
    send(v, {{"type", "authResponse"}, {"requestId", rid}, {"confirmation", "c"}});
    readJson(h);
    send(h, {{"type", "connectResponse"}, {"requestId", rid}, {"accepted", true}});
    readJson(h);
    readJson(v);
  }
}

// Writes masked 1 KiB binary frames to every host socket as fast as they are taken and counts
// the bytes that reach the viewers (2 + 2 header bytes and 1 KiB each). Level-triggered epoll
// on non-blocking descriptors; one thread. Also gives the CPU time the rest of the process (the
// relay's threads) spent per message.
double MessagesPerSecond(const std::vector<int>& hosts, const std::vector<int>& viewers,
                         double& relayCpuPerMessageUs) {
  constexpr std::size_t kFrame = 2 + 2 + 4 + kSmall;
  constexpr std::size_t kFrames = 60;
  std::vector<unsigned char> chunk(kFrame * kFrames);
  const unsigned char key[4] = {0x37, 0xfa, 0x21, 0x3d};
  for (std::size_t f = 0; f < kFrames; ++f) {
    unsigned char* p = chunk.data() + f * kFrame;
    p[0] = 0x82;        // FIN, binary
    p[1] = 0x80 | 126;  // masked, 16-bit length
    p[2] = static_cast<unsigned char>(kSmall >> 8);
    p[3] = static_cast<unsigned char>(kSmall & 0xff);
    std::memcpy(p + 4, key, 4);
    for (std::size_t i = 0; i < kSmall; ++i) p[8 + i] = static_cast<unsigned char>(i ^ key[i % 4]);
  }
  const int ep = ::epoll_create1(0);
  std::vector<std::size_t> offset(hosts.size(), 0);
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    for (const int fd : {hosts[i], viewers[i]}) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    epoll_event out{};
    out.events = EPOLLOUT;
    out.data.u64 = i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, hosts[i], &out);
    epoll_event in{};
    in.events = EPOLLIN;
    in.data.u64 = (std::uint64_t{1} << 32) | i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, viewers[i], &in);
  }
  std::vector<char> sink(256 * 1024);
  std::uint64_t received = 0;
  std::uint64_t atStart = 0;
  const auto start = std::chrono::steady_clock::now();
  const auto measureFrom = start + kMpsWarmup;
  const auto until = measureFrom + kMpsMeasure;
  bool measuring = false;
  double processCpu = 0, ownCpu = 0;
  epoll_event events[64];
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (!measuring && now >= measureFrom) {
      measuring = true;
      atStart = received;
      processCpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
      ownCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    }
    if (now >= until) break;
    const int n = ::epoll_wait(ep, events, 64, 100);
    for (int e = 0; e < n; ++e) {
      const std::size_t i = events[e].data.u64 & 0xffffffffu;
      if ((events[e].data.u64 >> 32) == 0) {
        const ssize_t w = ::send(hosts[i], chunk.data() + offset[i], chunk.size() - offset[i],
                                 MSG_NOSIGNAL);
        if (w > 0) offset[i] = (offset[i] + static_cast<std::size_t>(w)) % chunk.size();
      } else {
        const ssize_t r = ::recv(viewers[i], sink.data(), sink.size(), 0);
        if (r > 0) received += static_cast<std::uint64_t>(r);
      }
    }
  }
  const double relayCpu = (CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processCpu) -
                          (CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - ownCpu);
  ::close(ep);
  const double seconds = std::chrono::duration<double>(kMpsMeasure).count();
  const double messages = static_cast<double>(received - atStart) / static_cast<double>(4 + kSmall);
  relayCpuPerMessageUs = messages > 0 ? relayCpu * 1e6 / messages : 0;
  return messages / seconds;
}

void BM_RelayMessagesPerSecond(benchmark::State& state) {
  const auto threads = static_cast<std::size_t>(state.range(0));
  ov::relay::ServerOptions options;
  options.port = 0;
  options.quiet = true;
  options.threads = threads;
  options.matcher.registrationsPerMinute = 4 * kManyPairs;
  options.matcher.maxConnectionsPerAddress = 4 * kManyPairs;
  options.prefixes.acceptsPerSecond = 1e6;  // every client of the bench is on loopback
  options.prefixes.acceptBurst = 1e6;
  ov::relay::Server server(options);
  std::thread serving([&] { server.Run(); });
  double rate = 0;
  double cpuPerMessage = 0;
  for (auto _ : state) {
    net::io_context ioc;
    std::vector<boost::beast::websocket::stream<tcp::socket>> hosts, viewers;
    hosts.reserve(kManyPairs);
    viewers.reserve(kManyPairs);
    PairUp(server.Port(), kManyPairs, ioc, hosts, viewers);
    std::vector<int> h, v;
    for (int i = 0; i < kManyPairs; ++i) {
      h.push_back(hosts[static_cast<std::size_t>(i)].next_layer().native_handle());
      v.push_back(viewers[static_cast<std::size_t>(i)].next_layer().native_handle());
    }
    rate = MessagesPerSecond(h, v, cpuPerMessage);
    for (auto& ws : hosts) boost::beast::get_lowest_layer(ws).close();
    for (auto& ws : viewers) boost::beast::get_lowest_layer(ws).close();
  }
  server.Stop();
  serving.join();
  g_messagesPerSecond[threads] = rate;
  g_relayCpuPerMessage[threads] = cpuPerMessage;
  state.counters["msgs_per_s"] = rate;
  state.counters["relay_cpu_us_per_msg"] = cpuPerMessage;
}

BENCHMARK(BM_TcpForwarder)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);
BENCHMARK(BM_RelayWs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);
BENCHMARK(BM_RelayWss)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);

// Collects bytes per second from the results while printing them as usual.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) g_rate[run.benchmark_name()] = it->second.value;
      const auto cpu = run.counters.find("fwd_cpu_ms_per_mib");
      if (cpu != run.counters.end()) g_cpuPerMib[run.benchmark_name()] = cpu->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--relay-threads=", 0) == 0) {
      g_relayThreads = static_cast<std::size_t>(std::max(1, std::stoi(arg.substr(16))));
    } else if (arg.rfind("--rounds=", 0) == 0) {
      rounds = std::max(0, std::stoi(arg.substr(9)));
    } else {
      rest.push_back(argv[i]);
    }
  }
  argc = static_cast<int>(rest.size());
  argv = rest.data();
  const std::size_t threads = g_relayThreads != 0
                                  ? g_relayThreads
                                  : std::max(1u, std::thread::hardware_concurrency());
  benchmark::RegisterBenchmark("BM_RelayMessagesPerSecond", BM_RelayMessagesPerSecond)
      ->Arg(1)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Iterations(1);
  if (threads != 1) {
    benchmark::RegisterBenchmark("BM_RelayMessagesPerSecond", BM_RelayMessagesPerSecond)
        ->Arg(static_cast<std::int64_t>(threads))
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(1);
  }
  benchmark::Initialize(&argc, argv);
  Collector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double base = g_rate["BM_TcpForwarder/iterations:8/real_time"];
  if (base > 0) {
    const double baseCpu = g_cpuPerMib["BM_TcpForwarder/iterations:8/real_time"];
    std::printf("\nOne pair, 1 MiB binary messages (baseline: plain TCP forwarder, %.0f MiB/s, "
                "its thread %.2f ms CPU per MiB)\n",
                base / (1 << 20), baseCpu);
    for (const char* name : {"BM_RelayWs/iterations:8/real_time", "BM_RelayWss/iterations:8/real_time"}) {
      const double rate = g_rate[name];
      const double cpu = g_cpuPerMib[name];
      std::printf("  %-36s %8.0f MiB/s  ratio %.2f   relay thread %.2f ms CPU per MiB, ratio %.2f\n",
                  name, rate / (1 << 20), rate / base, cpu, cpu > 0 ? baseCpu / cpu : 0.0);
    }
    std::printf("  (each row ran alone, a few seconds apart: on a busy machine the interleaved ratios "
                "below are\n   the ones to read)\n");
    if (rounds > 0) InterleavedRatios(rounds);
  }
  const double one = g_messagesPerSecond[1];
  if (one > 0) {
    std::printf("\n%d pairs, 1 KiB binary messages, as fast as taken (baseline: 1 worker thread, "
                "%.0f msg/s)\n",
                kManyPairs, one);
    for (const auto& [t, rate] : g_messagesPerSecond) {
      std::printf("  relay ws://, %2zu worker thread%s %10.0f msg/s  ratio %.2f  relay CPU %.2f us/msg\n",
                  t, t == 1 ? " " : "s", rate, rate / one, g_relayCpuPerMessage[t]);
    }
    std::printf("  (%u cores here, shared with the load generator's thread: messages per second "
                "grow with the\n   worker threads only as far as cores are free for them; CPU per "
                "message shows what crossing threads costs)\n",
                std::thread::hardware_concurrency());
  }
  return 0;
}
