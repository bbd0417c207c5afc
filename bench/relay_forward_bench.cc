// Throughput of one relayed pair: a host sends 1 MiB binary messages, the viewer receives them.
// Measured over ws:// and wss:// through kestrova-relay, and against a plain TCP forwarder that
// moves the same bytes between two sockets in the same process (the baseline). Prints the ratios.
#include <benchmark/benchmark.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cstdio>
#include <map>
#include <thread>

#include "relay/server.h"
#include "relay/test_client.h"

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using ov::relay::testing::WsClient;

constexpr std::size_t kMessage = 1u << 20;
constexpr int kMessagesPerIteration = 256;  // 256 MiB per iteration

std::map<std::string, double> g_rate;  // bytes per second, by benchmark

// The baseline: accepts two connections and copies every byte of the first into the second.
class TcpForwarder {
 public:
  TcpForwarder() : acceptor_(ioc_, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0)) {
    thread_ = std::thread([this] {
      tcp::socket in(ioc_), out(ioc_);
      acceptor_.accept(in);
      acceptor_.accept(out);
      in.set_option(tcp::no_delay(true));
      out.set_option(tcp::no_delay(true));
      std::vector<char> buffer(256 * 1024);
      boost::system::error_code ec;
      for (;;) {
        const std::size_t n = in.read_some(net::buffer(buffer), ec);
        if (ec) break;
        net::write(out, net::buffer(buffer.data(), n), ec);
        if (ec) break;
      }
    });
  }
  ~TcpForwarder() { thread_.join(); }
  std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }

 private:
  net::io_context ioc_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

void BM_TcpForwarder(benchmark::State& state) {
  TcpForwarder forwarder;
  net::io_context ioc;
  const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), forwarder.Port());
  tcp::socket sender(ioc), receiver(ioc);
  sender.connect(endpoint);
  receiver.connect(endpoint);
  sender.set_option(tcp::no_delay(true));
  const std::string message(kMessage, 'm');
  std::vector<char> sink(kMessage);
  for (auto _ : state) {
    std::thread send([&] {
      for (int i = 0; i < kMessagesPerIteration; ++i) net::write(sender, net::buffer(message));
    });
    for (int i = 0; i < kMessagesPerIteration; ++i) net::read(receiver, net::buffer(sink));
    send.join();
  }
  state.SetBytesProcessed(state.iterations() * kMessagesPerIteration * std::int64_t{kMessage});
  sender.close();
}

void RelayPair(benchmark::State& state, bool tls) {
  std::unique_ptr<ov::relay::testing::TempCertificate> cert;
  ov::relay::ServerOptions options;
  options.port = 0;
  options.quiet = true;
  if (tls) {
    cert = std::make_unique<ov::relay::testing::TempCertificate>();
    options.tlsCert = cert->CertPath();
    options.tlsKey = cert->KeyPath();
  }
  ov::relay::Server server(options);
  std::thread serving([&] { server.Run(); });
  const std::string ca = tls ? cert->CertPath() : std::string();
  {
    WsClient host(server.Port(), ca, std::chrono::milliseconds(60000));
    WsClient viewer(server.Port(), ca, std::chrono::milliseconds(60000));
    host.SendJson({{"type", "register"}, {"role", "host"}, {"protocol", 3},
                   {"sessionId", "123456789"}, {"build", "0.3.9"}});
    host.ReadJson();
    viewer.SendJson({{"type", "register"}, {"role", "viewer"}, {"protocol", 3},
                     {"sessionId", "123456789"}, {"password", "p"}, {"build", "0.3.9"}});
    const std::string id = host.ReadJson().at("requestId").get<std::string>();
    host.SendJson({{"type", "authChallenge"}, {"requestId", id}, {"message", "m"},
                   {"confirmation", "c"}});
    viewer.ReadJson();
    viewer.SendJson({{"type", "authResponse"}, {"requestId", id}, {"confirmation", "c"}});
    host.ReadJson();
    host.SendJson({{"type", "connectResponse"}, {"requestId", id}, {"accepted", true}});
    host.ReadJson();
    viewer.ReadJson();

    const std::string message(kMessage, 'm');
    for (auto _ : state) {
      std::thread send([&] {
        for (int i = 0; i < kMessagesPerIteration; ++i) host.SendBinary(message);
      });
      for (int i = 0; i < kMessagesPerIteration; ++i) {
        if (viewer.ReadSize() != kMessage) state.SkipWithError("message size changed");
      }
      send.join();
    }
  }
  state.SetBytesProcessed(state.iterations() * kMessagesPerIteration * std::int64_t{kMessage});
  server.Stop();
  serving.join();
}

void BM_RelayWs(benchmark::State& state) { RelayPair(state, false); }
void BM_RelayWss(benchmark::State& state) { RelayPair(state, true); }

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
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Collector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double base = g_rate["BM_TcpForwarder/iterations:8/real_time"];
  if (base > 0) {
    std::printf("\nOne pair, 1 MiB binary messages (baseline: plain TCP forwarder, %.0f MiB/s)\n",
                base / (1 << 20));
    for (const char* name : {"BM_RelayWs/iterations:8/real_time", "BM_RelayWss/iterations:8/real_time"}) {
      const double rate = g_rate[name];
      std::printf("  %-36s %8.0f MiB/s  ratio %.2f\n", name, rate / (1 << 20), rate / base);
    }
  }
  return 0;
}
