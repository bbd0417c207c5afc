// What the fleet costs, against baselines measured in the same run. A real nats-server (JetStream,
// max_payload 8MB as scripts/relay-fleet runs it) and two fleet nodes run in this process, beside a
// single-node relay without NATS:
//   1. forwarding of one pair, 1 MiB binary messages: the plain TCP forwarder (the floor), the
//      single-node relay, a fleet node with both ends on it, and host and viewer on two nodes,
//      their session crossing through NATS or on the direct node link;
//   2. latency: 1 KiB ping-pong between host and viewer, single node against across nodes; the
//      difference of the round trips is what the two crossings of the hop add;
//   3. registrations per second: hosts registering fresh IDs from 8 threads, into a single node
//      (no registry) and into one node of the fleet (a claim in the registry each).
// Options: --nats-max-payload=1MB runs the data plane in chunks, as with nats-server's default.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <boost/asio/read.hpp>

#include "bench/relay_tcp_forwarder.h"
#include "relay/server.h"
#include "relay/test_client.h"

namespace {

using ov::relay::Server;
using ov::relay::ServerOptions;
using ov::relay::testing::Child;
using ov::relay::testing::TempDir;
using ov::relay::testing::WsClient;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMessage = 1u << 20;
constexpr int kMessagesPerIteration = 256;
std::string g_maxPayload = "8MB";
std::map<std::string, double> g_value;  // by benchmark: bytes/s, or the counter of interest

// A relay served by its own thread.
class Relay {
 public:
  explicit Relay(ServerOptions options) : server_(Prepare(std::move(options))) {
    thread_ = std::thread([this] { server_.Run(); });
  }
  ~Relay() {
    server_.Stop();
    thread_.join();
  }
  std::uint16_t Port() const { return server_.Port(); }

 private:
  static ServerOptions Prepare(ServerOptions options) {
    options.listenHost = "127.0.0.1";
    options.port = 0;
    options.quiet = true;
    options.threads = 1;
    // Every client here comes from 127.0.0.1.
    options.matcher.registrationsPerMinute = 1000000;
    options.matcher.maxConnectionsPerAddress = 1000000;
    options.prefixes.acceptsPerSecond = 1e6;  // every client of the bench is on loopback
    options.prefixes.acceptBurst = 1e6;
    return options;
  }
  Server server_;
  std::thread thread_;
};

// nats-server and two nodes; made once, for every benchmark that needs it.
struct Fleet {
  Fleet() {
    const std::string conf = dir.Path() + "/nats.conf";
    std::ofstream(conf) << "listen: 127.0.0.1:-1\nmax_payload: " << g_maxPayload
                        << "\njetstream { store_dir: \"" << dir.Path() << "/js\" }\n";
    nats = std::make_unique<Child>("/usr/sbin/nats-server", std::vector<std::string>{"-c", conf});
    const std::string out = nats->ReadUntil("Server is ready");
    const std::string line = "client connections on 127.0.0.1:";
    const auto at = out.find(line);
    if (at == std::string::npos) throw std::runtime_error("nats-server did not start: " + out);
    const std::string url = "nats://127.0.0.1:" + std::to_string(std::stoi(out.substr(at + line.size())));
    // Two nodes whose sessions cross through NATS, two with direct links.
    for (const char* name : {"bench1", "bench2", "bench3", "bench4"}) {
      ServerOptions options;
      options.fleet.url = url;
      options.fleet.nodeName = name;
      options.fleet.secret = "the bench fleet's shared secret";
      if (nodes.size() >= 2) options.fleet.advertise = "127.0.0.1:0";
      nodes.push_back(std::make_unique<Relay>(options));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the nodes hear each other
  }
  TempDir dir;
  std::unique_ptr<Child> nats;
  std::vector<std::unique_ptr<Relay>> nodes;
};

Fleet& TheFleet() {
  static Fleet fleet;
  return fleet;
}

Relay& SingleNode() {
  static Relay relay{ServerOptions{}};
  return relay;
}

std::atomic<std::uint32_t> g_nextId{100000000};
std::string FreshId() { return std::to_string(g_nextId++); }

struct Pair {
  std::unique_ptr<WsClient> host;
  std::unique_ptr<WsClient> viewer;
};

Pair MakePair(std::uint16_t hostPort, std::uint16_t viewerPort) {
  const std::string sessionId = FreshId();
  Pair p;
  p.host = std::make_unique<WsClient>(hostPort, "", std::chrono::milliseconds(60000));
  p.host->SendJson({{"type", "register"}, {"role", "host"}, {"protocol", 3},
                    {"sessionId", sessionId}, {"build", "0.3.9"}});
  p.host->ReadJson();
  p.viewer = std::make_unique<WsClient>(viewerPort, "", std::chrono::milliseconds(60000));
  p.viewer->SendJson({{"type", "register"}, {"role", "viewer"}, {"protocol", 3},
                      {"sessionId", sessionId}, {"password", "p"}, {"build", "0.3.9"}});
  const std::string id = p.host->ReadJson().at("requestId").get<std::string>();
  p.host->SendJson({{"type", "authChallenge"}, {"requestId", id}, {"message", "m"},
                    {"confirmation", "c"}});
  p.viewer->ReadJson();
  p.viewer->SendJson({{"type", "authResponse"}, {"requestId", id}, {"confirmation", "c"}});
  p.host->ReadJson();
  p.host->SendJson({{"type", "connectResponse"}, {"requestId", id}, {"accepted", true}});
  p.host->ReadJson();
  p.viewer->ReadJson();
  return p;
}

enum class Where { kSingle, kWithinNode, kAcrossNats, kAcrossLink };

std::pair<std::uint16_t, std::uint16_t> Ports(Where where) {
  switch (where) {
    case Where::kSingle:
      return {SingleNode().Port(), SingleNode().Port()};
    case Where::kWithinNode:
      return {TheFleet().nodes[0]->Port(), TheFleet().nodes[0]->Port()};
    case Where::kAcrossNats:
      return {TheFleet().nodes[0]->Port(), TheFleet().nodes[1]->Port()};
    case Where::kAcrossLink:
      return {TheFleet().nodes[2]->Port(), TheFleet().nodes[3]->Port()};
  }
  return {0, 0};
}

void BM_TcpFloor(benchmark::State& state) {
  ov::bench::RunTcpFloor(state, kMessage, kMessagesPerIteration);
}

void BM_Forward(benchmark::State& state) {
  const auto [hostPort, viewerPort] = Ports(static_cast<Where>(state.range(0)));
  Pair p = MakePair(hostPort, viewerPort);
  const std::string message(kMessage, 'm');
  for (auto _ : state) {
    std::thread send([&] {
      for (int i = 0; i < kMessagesPerIteration; ++i) p.host->SendBinary(message);
    });
    for (int i = 0; i < kMessagesPerIteration; ++i) {
      if (p.viewer->ReadSize() != kMessage) state.SkipWithError("message size changed");
    }
    send.join();
  }
  state.SetBytesProcessed(state.iterations() * kMessagesPerIteration * std::int64_t{kMessage});
}

void BM_PingPong(benchmark::State& state) {
  const auto [hostPort, viewerPort] = Ports(static_cast<Where>(state.range(0)));
  Pair p = MakePair(hostPort, viewerPort);
  const std::string message(1024, 'p');
  std::vector<double> us;
  for (auto _ : state) {
    for (int i = 0; i < 2000; ++i) {
      const auto start = Clock::now();
      p.host->SendBinary(message);
      p.viewer->ReadSize();
      p.viewer->SendBinary(message);
      p.host->ReadSize();
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  std::sort(us.begin(), us.end());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[us.size() * 99 / 100];
}

void BM_Registrations(benchmark::State& state) {
  const std::uint16_t port = state.range(0) == 0 ? SingleNode().Port() : TheFleet().nodes[0]->Port();
  constexpr int kThreads = 8;
  constexpr int kEach = 250;
  double perSecond = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < kEach; ++i) {
          WsClient host(port);
          host.SendJson({{"type", "register"}, {"role", "host"}, {"protocol", 3},
                         {"sessionId", FreshId()}, {"build", "0.3.9"}});
          if (host.ReadJson().at("type") != "registered") ++failures;
        }
      });
    }
    for (auto& t : threads) t.join();
    if (failures > 0) state.SkipWithError("a registration failed");
    perSecond = kThreads * kEach / std::chrono::duration<double>(Clock::now() - start).count();
  }
  state.counters["registrations_per_s"] = perSecond;
}

class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      for (const char* counter : {"bytes_per_second", "p50_us", "p99_us", "registrations_per_s"}) {
        const auto it = run.counters.find(counter);
        if (it != run.counters.end()) {
          g_value[run.benchmark_name() + ":" + counter] = it->second.value;
        }
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--nats-max-payload=", 0) == 0) {
      g_maxPayload = arg.substr(19);
    } else {
      rest.push_back(argv[i]);
    }
  }
  argc = static_cast<int>(rest.size());
  argv = rest.data();
  benchmark::RegisterBenchmark("BM_TcpFloor", BM_TcpFloor)->Unit(benchmark::kMillisecond)
      ->UseRealTime()->Iterations(4);
  for (int where = 0; where < 4; ++where) {
    benchmark::RegisterBenchmark("BM_Forward", BM_Forward)->Arg(where)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
  }
  for (int where : {0, 2, 3}) {
    benchmark::RegisterBenchmark("BM_PingPong", BM_PingPong)->Arg(where)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
  }
  for (int fleet : {0, 1}) {
    benchmark::RegisterBenchmark("BM_Registrations", BM_Registrations)->Arg(fleet)
        ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
  }
  benchmark::Initialize(&argc, argv);
  Collector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  auto value = [](const std::string& key) { return g_value.count(key) ? g_value[key] : 0.0; };
  const double floor = value("BM_TcpFloor/iterations:4/real_time:bytes_per_second");
  const double single = value("BM_Forward/0/iterations:4/real_time:bytes_per_second");
  if (floor > 0 && single > 0) {
    std::printf("\nOne pair, 1 MiB messages (NATS max_payload %s); floor: TCP forwarder %.0f MiB/s\n",
                g_maxPayload.c_str(), floor / (1 << 20));
    const char* names[] = {"single node", "fleet, within a node", "across nodes, via NATS",
                           "across nodes, direct link"};
    for (int where = 0; where < 4; ++where) {
      const double rate = value("BM_Forward/" + std::to_string(where) +
                                "/iterations:4/real_time:bytes_per_second");
      std::printf("  %-26s %7.0f MiB/s  ratio to floor %.2f  to single node %.2f\n", names[where],
                  rate / (1 << 20), rate / floor, rate / single);
    }
  }
  const double p50s = value("BM_PingPong/0/iterations:1/real_time:p50_us");
  const double p99s = value("BM_PingPong/0/iterations:1/real_time:p99_us");
  if (p50s > 0) {
    std::printf("\n1 KiB round trip host -> viewer -> host (baseline: single node p50 %.1f us, "
                "p99 %.1f us)\n", p50s, p99s);
    for (const auto& [where, name] : {std::pair{2, "via NATS"}, std::pair{3, "direct link"}}) {
      const double p50 = value("BM_PingPong/" + std::to_string(where) +
                               "/iterations:1/real_time:p50_us");
      const double p99 = value("BM_PingPong/" + std::to_string(where) +
                               "/iterations:1/real_time:p99_us");
      std::printf("  across nodes, %-12s p50 %7.1f us  p99 %7.1f us;  added per crossing of the "
                  "hop: p50 %.1f us, p99 %.1f us\n",
                  name, p50, p99, (p50 - p50s) / 2, (p99 - p99s) / 2);
    }
  }
  const double regSingle = value("BM_Registrations/0/iterations:1/real_time:registrations_per_s");
  const double regFleet = value("BM_Registrations/1/iterations:1/real_time:registrations_per_s");
  if (regSingle > 0 && regFleet > 0) {
    std::printf("\nHost registrations (connect, register, \"registered\"), 8 client threads\n"
                "  single node       %7.0f /s\n  fleet (registry)  %7.0f /s  ratio %.2f\n",
                regSingle, regFleet, regFleet / regSingle);
  }
  return 0;
}
