// The fleet's registry at scale, through the nodes' fleet layer itself (three fleet nodes in this
// process, a real nats-server with JetStream as a child; no WebSocket clients, so neither ports
// nor per-address limits are in play):
//   1. registrations per second: N IDs (default 100,000; --hosts=N) claimed across three nodes at
//      once, against one node alone claiming as many in the same run (the ratio);
//   2. JetStream writes per second with every host idle (the streams' sequence over 10 s): what
//      the nodes' own leases cost, whatever N is;
//   3. heap per registered host per node (each node holds a copy of the whole registry);
//   4. lookups of an ID of another node against an ID of the same node (both from the local copy);
//   5. a killed node (a kestrova-relay child holding 1,000 hosts): time until its IDs can be
//      claimed on another node;
//   6. a NATS restart (SIGKILL, same store) with N IDs registered: none lost, none duplicated.
// Prints its figures; exits 1 when a check of 6 fails.
#include <malloc.h>
#include <signal.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <sys/stat.h>

#include "base/json_codec.h"
#include "relay/fleet.h"
#include "relay/test_client.h"

namespace {

using ov::relay::ConnId;
using ov::relay::Fleet;
using ov::relay::FleetEvents;
using ov::relay::FleetOptions;
using ov::relay::FleetResult;
using ov::relay::testing::Child;
using ov::relay::testing::TempDir;
using Clock = std::chrono::steady_clock;

constexpr const char* kSecret = "the registry bench's fleet secret";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  ::close(fd);
  return ntohs(addr.sin_port);
}

class Nats {
 public:
  explicit Nats(const TempDir& dir) : dir_(dir), port_(FreePort()), http_(FreePort()) {}
  void Start() {
    const std::string conf = dir_.Path() + "/nats.conf";
    std::ofstream(conf) << "listen: 127.0.0.1:" << port_ << "\nhttp: 127.0.0.1:" << http_
                        << "\njetstream { store_dir: \"" << dir_.Path() << "/js\" }\n";
    child_ = std::make_unique<Child>("/usr/sbin/nats-server", std::vector<std::string>{"-c", conf});
    const std::string out = child_->ReadUntil("Server is ready");
    if (out.find("Server is ready") == std::string::npos) throw std::runtime_error(out);
  }
  void Kill() {
    child_->Signal(SIGKILL);
    child_->Wait();
    child_.reset();
  }
  std::string Url() const { return "nats://127.0.0.1:" + std::to_string(port_); }
  // Messages ever stored in the account's streams (the sum of their last sequences).
  std::uint64_t Writes() const {
    const auto r = ov::relay::testing::HttpRequest(http_, "/jsz?streams=true");
    const auto json = ov::Json::parse(r.body);
    std::uint64_t total = 0;
    for (const auto& account : json.value("account_details", ov::Json::array())) {
      for (const auto& stream : account.value("stream_detail", ov::Json::array())) {
        total += stream.at("state").value("last_seq", std::uint64_t{0});
      }
    }
    return total;
  }
  // The messages a stream holds now.
  std::uint64_t Messages(const std::string& stream) const {
    const auto r = ov::relay::testing::HttpRequest(http_, "/jsz?streams=true");
    const auto json = ov::Json::parse(r.body);
    for (const auto& account : json.value("account_details", ov::Json::array())) {
      for (const auto& detail : account.value("stream_detail", ov::Json::array())) {
        if (detail.value("name", std::string()) == stream) {
          return detail.at("state").value("messages", std::uint64_t{0});
        }
      }
    }
    return 0;
  }

 private:
  const TempDir& dir_;
  std::uint16_t port_;
  std::uint16_t http_;
  std::unique_ptr<Child> child_;
};

// Counts the answers; a lookup's answer is waited for one at a time.
struct Events : FleetEvents {
  void OnFleetMessage(const ov::relay::fleet::Message&) override {}
  void OnClaimed(ConnId, const std::string&, FleetResult result) override {
    std::lock_guard lock(mutex);
    (result == FleetResult::kOk ? ok : refused) += 1;
    changed.notify_all();
  }
  void OnLocated(ConnId, FleetResult result, const std::string&) override {
    std::lock_guard lock(mutex);
    located = true;
    lastLocated = result;
    changed.notify_all();
  }
  void OnLeaseLost(const std::string&) override { ++lost; }
  void OnRemoteRegistration(const std::string&) override {}
  void OnNodeLost(const std::string&) override {}
  void OnLinkChanged(bool) override {}
  bool WaitClaims(std::size_t n, std::chrono::seconds limit) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return ok + refused >= n; });
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t ok = 0, refused = 0;
  bool located = false;
  FleetResult lastLocated = FleetResult::kUnavailable;
  std::atomic<std::size_t> lost{0};
};

struct Node {
  Node(const std::string& url, const std::string& name) {
    FleetOptions o;
    o.url = url;
    o.nodeName = name;
    o.secret = kSecret;
    fleet = std::make_unique<Fleet>(o, events);
  }
  Events events;
  std::unique_ptr<Fleet> fleet;
};

std::string Id(std::size_t i) { return std::to_string(100000000 + i); }

// Claims ids [from, to) on `node`; IDs/s.
double ClaimAll(Node& node, std::size_t from, std::size_t to) {
  std::size_t before = 0;
  {
    std::lock_guard lock(node.events.mutex);
    before = node.events.ok + node.events.refused;
  }
  const auto start = Clock::now();
  for (std::size_t i = from; i < to; ++i) node.fleet->Claim(i, Id(i));
  if (!node.events.WaitClaims(before + (to - from), std::chrono::seconds(600))) {
    throw std::runtime_error("claims did not finish");
  }
  return static_cast<double>(to - from) / Seconds(Clock::now() - start);
}

template <typename Done>
bool WaitUntil(Done done, std::chrono::seconds limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

double LookupMicros(Node& node, const std::string& id, FleetResult& result) {
  std::unique_lock lock(node.events.mutex);
  node.events.located = false;
  const auto start = Clock::now();
  lock.unlock();
  node.fleet->Lookup(1, id);
  lock.lock();
  node.events.changed.wait(lock, [&] { return node.events.located; });
  result = node.events.lastLocated;
  return Seconds(Clock::now() - start) * 1e6;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t hosts = 100000;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--hosts=", 8) == 0) hosts = std::stoul(argv[i] + 8);
  }
  hosts += (3 - hosts % 3) % 3;
  TempDir dir;
  Nats nats(dir);
  nats.Start();
  bool failed = false;

  // 1. One node alone, then three at once (fresh IDs each).
  double alone = 0;
  {
    Node solo(nats.Url(), "solo");
    alone = ClaimAll(solo, 0, hosts / 3);
    solo.fleet->Shutdown();
  }
  std::vector<std::unique_ptr<Node>> nodes;
  const std::size_t heapBefore = mallinfo2().uordblks;
  for (const char* name : {"reg1", "reg2", "reg3"}) {
    nodes.push_back(std::make_unique<Node>(nats.Url(), name));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the nodes hear each other
  const std::size_t base = hosts;  // IDs hosts .. 2*hosts-1, a third per node
  const auto start = Clock::now();
  std::vector<std::thread> claimers;
  for (std::size_t n = 0; n < 3; ++n) {
    claimers.emplace_back([&, n] {
      ClaimAll(*nodes[n], base + n * hosts / 3, base + (n + 1) * hosts / 3);
    });
  }
  for (auto& t : claimers) t.join();
  const double fleetRate = static_cast<double>(hosts) / Seconds(Clock::now() - start);
  std::size_t refused = 0;
  for (auto& n : nodes) refused += n->events.refused;
  std::printf("Registrations: %zu IDs across three nodes %.0f/s; one node alone (%zu IDs) %.0f/s; "
              "ratio %.2f (refused %zu)\n",
              hosts, fleetRate, hosts / 3, alone, fleetRate / alone, refused);

  // 3. Every node's copy holds every ID, and only those: the lone node's IDs (its run is over)
  // have been removed by then, so that what follows is the fleet at rest.
  const bool settled = WaitUntil([&] {
    for (auto& n : nodes) {
      if (n->fleet->Stats().knownIds != hosts) return false;
    }
    return true;
  }, std::chrono::seconds(180));
  std::size_t removed = 0;
  for (auto& n : nodes) removed += n->fleet->Stats().removedIds;
  std::printf("The lone node's %zu IDs removed by the fleet: %zu%s\n", hosts / 3, removed,
              settled ? "" : "  <- not settled");
  // The bucket holds one message per ID ever registered: its entry, or the marker of its removal.
  const std::uint64_t bucket = nats.Messages("KV_kestrova-relay-ids");
  for (auto& n : nodes) {
    const auto st = n->fleet->Stats();
    const bool exact = st.knownIds == hosts && st.knownIds + st.knownRemoved == bucket;
    std::printf("  copy %zu IDs + %zu removed of the bucket's %zu + %llu, watch at revision %llu, "
                "read again %llu times (%llu changes dropped, %llu revisions skipped, %llu audits off)%s\n",
                st.knownIds, st.knownRemoved, hosts,
                static_cast<unsigned long long>(bucket - std::min<std::uint64_t>(bucket, hosts)),
                static_cast<unsigned long long>(st.watchRevision),
                static_cast<unsigned long long>(st.watchReloads),
                static_cast<unsigned long long>(st.watchDropped),
                static_cast<unsigned long long>(st.watchSkipped),
                static_cast<unsigned long long>(st.copyMismatches), exact ? "" : "  <- NOT EXACT");
    if (!exact) failed = true;
  }
  const std::size_t heapAfter = mallinfo2().uordblks;
  std::printf("Heap per registered host per node: %.0f bytes (%zu hosts, 3 nodes, each a copy of "
              "the registry of %zu IDs)\n",
              static_cast<double>(heapAfter - heapBefore) / 3.0 / static_cast<double>(hosts),
              hosts, nodes[0]->fleet->Stats().knownIds);

  // 2. At rest.
  const std::uint64_t w0 = nats.Writes();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const std::uint64_t w1 = nats.Writes();
  std::printf("JetStream writes at rest: %.2f/s for %zu idle hosts (%.6f per host per s)\n",
              static_cast<double>(w1 - w0) / 10.0, hosts,
              static_cast<double>(w1 - w0) / 10.0 / static_cast<double>(hosts));

  // 4. Lookups from node 1: an ID of node 2, an ID of node 1.
  std::vector<double> remote, local;
  for (std::size_t i = 0; i < 2000; ++i) {
    FleetResult r{};
    remote.push_back(LookupMicros(*nodes[0], Id(base + hosts / 3 + i), r));
    if (r != FleetResult::kOk) failed = true;
    local.push_back(LookupMicros(*nodes[0], Id(base + i), r));
  }
  std::printf("Lookup, ID of another node: p50 %.1f us p99 %.1f us; ID of the same node: p50 %.1f "
              "us p99 %.1f us (2,000 each, no JetStream round trip)\n",
              Percentile(remote, 0.5), Percentile(remote, 0.99), Percentile(local, 0.5),
              Percentile(local, 0.99));

  // 6. NATS restart with every host registered.
  nats.Kill();
  nats.Start();
  WaitUntil([&] {
    for (auto& n : nodes) {
      const auto s = n->fleet->Stats();
      if (!s.connected || s.knownIds < hosts) return false;
    }
    return true;
  }, std::chrono::seconds(60));
  std::this_thread::sleep_for(std::chrono::seconds(3));
  std::size_t owned = 0, lost = 0;
  for (auto& n : nodes) {
    const auto s = n->fleet->Stats();
    owned += s.ownedIds;
    lost += n->events.lost.load();
    if (s.knownIds != hosts) failed = true;
  }
  std::printf("NATS restart (SIGKILL, same store) with %zu hosts: held %zu, lost %zu, copies of "
              "%zu/%zu/%zu IDs%s\n",
              hosts, owned, lost, nodes[0]->fleet->Stats().knownIds,
              nodes[1]->fleet->Stats().knownIds, nodes[2]->fleet->Stats().knownIds,
              owned == hosts && lost == 0 ? "" : "  <- FAILED");
  if (owned != hosts || lost != 0) failed = true;

  // 5. A killed node: a relay process holding 1,000 hosts.
  {
    const std::string secretFile = dir.Path() + "/secret";
    std::ofstream(secretFile) << kSecret;
    ::chmod(secretFile.c_str(), 0600);
    Child relay(OV_RELAY_BINARY,
                {"--listen", "127.0.0.1:0", "--nats", nats.Url(), "--node-name", "victim",
                 "--fleet-secret-file", secretFile, "--threads", "1", "--quiet",
                 "--registrations-per-minute", "100000", "--max-connections-per-ip", "100000",
                 "--accepts-per-second", "100000"});
    const std::uint16_t port = relay.ListeningPort();
    std::vector<std::unique_ptr<ov::relay::testing::WsClient>> victims;
    for (std::size_t i = 0; i < 1000; ++i) {
      victims.push_back(std::make_unique<ov::relay::testing::WsClient>(port));
      victims.back()->SendJson({{"type", "register"}, {"role", "host"}, {"protocol", 3},
                                {"sessionId", Id(5 * hosts + i)}, {"build", "0.3.9"}});
      victims.back()->ReadJson();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    relay.Signal(SIGKILL);
    const auto killed = Clock::now();
    double first = -1;
    Node& taker = *nodes[1];
    std::size_t taken = 0;
    std::size_t next = 0;
    while (taken < 1000 && Clock::now() - killed < std::chrono::seconds(60)) {
      std::size_t okBefore = 0, answers = 0;
      {
        std::lock_guard lock(taker.events.mutex);
        okBefore = taker.events.ok;
        answers = taker.events.ok + taker.events.refused;
      }
      taker.fleet->Claim(next, Id(5 * hosts + next));
      taker.events.WaitClaims(answers + 1, std::chrono::seconds(5));
      bool took = false;
      {
        std::lock_guard lock(taker.events.mutex);
        took = taker.events.ok > okBefore;
      }
      if (took) {
        if (first < 0) first = Seconds(Clock::now() - killed);
        ++taken;
        ++next;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    std::printf("Killed node (1,000 hosts): first ID claimable elsewhere after %.2f s, all 1,000 "
                "after %.2f s\n",
                first, Seconds(Clock::now() - killed));
    relay.Wait();
  }
  for (auto& n : nodes) n->fleet->Shutdown();
  return failed ? 1 : 0;
}
