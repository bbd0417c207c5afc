// Latency under load: 1,000 pairs, each host sending 1 KiB binary messages to its viewer at 100
// per second (100,000 messages per second in all), through kestrova-relay over ws://. The
// baseline is the same load generator on 1,000 direct loopback TCP connections (no relay); the
// difference of the two distributions is the latency the relay adds. Prints p50, p99, p99.9.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <cstring>
#include <thread>

#include "relay/server.h"

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
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

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

struct Percentiles {
  double p50 = 0, p99 = 0, p999 = 0, max = 0;
  std::size_t samples = 0;
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

// Drives `kPairs` links (Sender/Receiver with async send/receive of one message) on one thread.
template <class Sender, class Receiver>
class LoadGenerator {
 public:
  LoadGenerator(net::io_context& ioc, std::vector<Sender>& senders,
                std::vector<Receiver>& receivers)
      : ioc_(ioc), senders_(senders), receivers_(receivers), timer_(ioc),
        buffers_(senders.size(), std::string(kMessage, 'l')), writing_(senders.size(), false),
        next_(senders.size()), inbox_(receivers.size()) {}

  std::vector<std::int64_t> Run() {
    const auto start = Clock::now();
    measureFrom_ = NowNs() + std::chrono::duration_cast<std::chrono::nanoseconds>(kWarmup).count();
    end_ = start + kWarmup + kMeasure;
    for (std::size_t i = 0; i < senders_.size(); ++i) {
      next_[i] = start + kPeriod * i / senders_.size();
      Receive(i);
    }
    samples_.reserve(static_cast<std::size_t>(kPairs) * static_cast<std::size_t>(kRate) * 6);
    Tick();
    ioc_.run();
    return std::move(samples_);
  }

 private:
  void Tick() {
    const auto now = Clock::now();
    if (now >= end_) {
      done_ = true;
      for (auto& r : receivers_) beast::get_lowest_layer(r).cancel();
      return;
    }
    for (std::size_t i = 0; i < senders_.size(); ++i) {
      if (next_[i] > now || writing_[i]) continue;
      next_[i] += kPeriod;
      writing_[i] = true;
      const std::int64_t stamp = NowNs();
      std::memcpy(buffers_[i].data(), &stamp, sizeof stamp);
      Send(senders_[i], net::buffer(buffers_[i]), [this, i](beast::error_code, std::size_t) {
        writing_[i] = false;
      });
    }
    timer_.expires_after(std::chrono::microseconds(500));
    timer_.async_wait([this](beast::error_code ec) {
      if (!ec) Tick();
    });
  }

  void Receive(std::size_t i) {
    ReceiveOne(receivers_[i], inbox_[i], [this, i](beast::error_code ec, std::size_t) {
      if (ec || done_) return;
      const auto data = inbox_[i].cdata();
      std::int64_t stamp = 0;
      std::memcpy(&stamp, data.data(), sizeof stamp);
      if (stamp >= measureFrom_) samples_.push_back(NowNs() - stamp);
      inbox_[i].consume(inbox_[i].size());
      Receive(i);
    });
  }

  template <class Handler>
  static void Send(websocket::stream<tcp::socket>& ws, net::const_buffer b, Handler&& h) {
    ws.async_write(b, std::forward<Handler>(h));
  }
  template <class Handler>
  static void Send(tcp::socket& s, net::const_buffer b, Handler&& h) {
    net::async_write(s, b, std::forward<Handler>(h));
  }
  template <class Handler>
  static void ReceiveOne(websocket::stream<tcp::socket>& ws, beast::flat_buffer& b, Handler&& h) {
    ws.async_read(b, std::forward<Handler>(h));
  }
  template <class Handler>
  static void ReceiveOne(tcp::socket& s, beast::flat_buffer& b, Handler&& h) {
    // Asio copies a dynamic buffer it is given; read into prepared storage and commit instead.
    net::async_read(s, b.prepare(kMessage),
                    [&b, h = std::forward<Handler>(h)](beast::error_code ec, std::size_t n) mutable {
                      b.commit(n);
                      h(ec, n);
                    });
  }

  net::io_context& ioc_;
  std::vector<Sender>& senders_;
  std::vector<Receiver>& receivers_;
  net::steady_timer timer_;
  std::vector<std::string> buffers_;
  std::vector<bool> writing_;
  std::vector<Clock::time_point> next_;
  std::vector<beast::flat_buffer> inbox_;
  std::vector<std::int64_t> samples_;
  std::int64_t measureFrom_ = 0;
  Clock::time_point end_;
  bool done_ = false;
};

Percentiles g_direct, g_relay;

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
    LoadGenerator<tcp::socket, tcp::socket> load(ioc, senders, receivers);
    auto samples = load.Run();
    g_direct = Summarise(samples);
  }
  state.counters["p50_us"] = g_direct.p50;
  state.counters["p99_us"] = g_direct.p99;
  state.counters["samples"] = static_cast<double>(g_direct.samples);
}

void BM_RelayWs(benchmark::State& state) {
  ov::relay::ServerOptions options;
  options.port = 0;
  options.quiet = true;
  options.matcher.maxConnectionsPerAddress = 4 * static_cast<std::size_t>(kPairs);
  options.matcher.registrationsPerMinute = 4 * static_cast<std::size_t>(kPairs);
  ov::relay::Server server(options);
  std::thread serving([&] { server.Run(); });
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
      h.binary(true);
      h.auto_fragment(false);
    }
    LoadGenerator<websocket::stream<tcp::socket>, websocket::stream<tcp::socket>> load(
        ioc, hosts, viewers);
    auto samples = load.Run();
    g_relay = Summarise(samples);
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
BENCHMARK(BM_RelayWs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--pairs=", 0) == 0) {
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
  std::printf("  %-22s %9s %9s %9s %9s %9s\n", "path (us)", "p50", "p99", "p99.9", "max", "samples");
  for (auto [name, p] : {std::pair{"direct TCP (baseline)", g_direct}, std::pair{"via relay ws://", g_relay}}) {
    std::printf("  %-22s %9.1f %9.1f %9.1f %9.1f %9zu\n", name, p.p50, p.p99, p.p999, p.max,
                p.samples);
  }
  std::printf("  added by the relay:    p50 %.1f us, p99 %.1f us (target p99 <= 1000 us)\n",
              g_relay.p50 - g_direct.p50, g_relay.p99 - g_direct.p99);
  return 0;
}
