// Fleet::Impl, behind Fleet: the NATS connection, its subscriptions and threads, and the registry
// of device IDs with the node's copy of it. Its work is spread over files by job:
//   fleet.cc           construction, the NATS link, sealed messages, heartbeats and membership,
//                      shutdown and the counters
//   fleet_registry.cc  claims, releases and lookups, the watch that keeps the copy of the
//                      registry, its audits and reloads, and the removal of the IDs of runs that
//                      are over
// Private to those files.
#pragma once

#include <nats/nats.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "relay/fleet.h"
#include "relay/fleet_wire.h"

namespace ov::relay {

class Fleet::Impl {
 public:
  Impl(FleetOptions options, FleetEvents& events);
  ~Impl() { Shutdown(); }

  const std::string& Node() const { return o_.nodeName; }
  std::uint64_t Instance() const { return o_.instance; }
  Millis Lease() const { return lease_; }
  bool Connected() const { return up_.load(); }
  std::size_t MaxPayload() const { return maxPayload_ - fleet::kSealOverhead; }
  void Suspect(const std::string& node);
  std::optional<FleetPeer> Peer(const std::string& node) const;
  bool Send(const std::string& node, std::string_view bytes);
  void BroadcastRegistration(const std::string& address);
  natsStatus Publish(const std::string& subject, std::string_view payload);
  void Claim(ConnId conn, const std::string& id) { Queue(RegistryFor(id), {Op::kClaim, conn, id}); }
  void Release(const std::string& id) { Queue(RegistryFor(id), {Op::kRelease, 0, id}); }
  // Lookups have a thread of their own: they never wait behind claims.
  void Lookup(ConnId conn, const std::string& id) { Queue(lookup_, {Op::kLookup, conn, id}); }
  void Shutdown();
  FleetStats Stats() const;

 private:
  // The registry: one entry per device ID, "NODE INSTANCE", written once by its claimant and never
  // renewed (no expiry); the entry lives as long as that run of the node. A node's liveness is its
  // heartbeat and its own lease in the nodes bucket.
  static constexpr const char* kIdsBucket = "kestrova-relay-ids";
  static constexpr const char* kNodesBucket = "kestrova-relay-nodes";
  // Subjects: kestrova.relay.node.NODE (a node's inbox), kestrova.relay.heartbeat.NODE and
  // kestrova.relay.registrations.NODE (what NODE announces). Each node publishes only under its
  // own name and to the inboxes, so that the NATS account can hold every node to that.
  static constexpr const char* kSubjectPrefix = "kestrova.relay.";

  // The client's text for `status`, with its last error's detail.
  static std::string LastError(natsStatus status);
  // 16 lower-case hex digits, as the buckets hold instances.
  static std::string Hex(std::uint64_t value);
  static Millis Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  struct KvEntry {
    explicit KvEntry(kvEntry* e = nullptr) : entry(e) {}
    ~KvEntry() {
      if (entry != nullptr) kvEntry_Destroy(entry);
    }
    KvEntry(const KvEntry&) = delete;
    KvEntry& operator=(const KvEntry&) = delete;
    kvEntry* entry;
  };

  struct Op {
    enum Kind { kClaim, kRelease, kLookup } kind;
    ConnId conn;
    std::string id;
  };
  // One registry thread: the claims and releases of the IDs that hash to it, and the IDs it
  // holds (or the lookup thread, which holds none).
  struct Registry {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<Op> ops;
    std::unordered_map<std::string, std::uint64_t> owned;  // ID -> revision of our entry
    bool busy = false;
    bool draining = false;
    bool stop = false;
    std::thread thread;
  };
  // Who holds an ID, as the watch of the registry last said.
  struct Holder {
    std::string node;
    std::uint64_t instance = 0;
    std::uint64_t revision = 0;
  };
  // The registry as the watch says: who holds each ID, and the IDs whose latest message is a
  // removal (as hashes; only counted against the stream).
  struct Copy {
    std::unordered_map<std::string, Holder> ids;
    std::unordered_set<std::uint64_t> removed;
  };

  // --- setup ---
  void Connect();
  natsStatus Credentials(natsOptions* opts);
  void EnsureBuckets();
  kvStore* Bucket(const char* name, Millis ttl, kvStore* existing);
  void ClaimNodeName();
  natsStatus Watched(natsStatus s, natsSubscription* const& sub);  // `sub` read after `s` is made
  void Subscribe();
  void Close();
  void WaitForCallbacks();

  // --- callbacks (the client's threads) ---
  static void OnSubscriptionDone(void* closure);
  static void OnClosed(natsConnection*, void* closure);
  static void OnDisconnected(natsConnection*, void* closure);
  static void OnReconnected(natsConnection*, void* closure);
  static void OnAsyncError(natsConnection*, natsSubscription*, natsStatus err, void* closure);
  static std::span<const std::uint8_t> Data(natsMsg* msg);
  std::optional<fleet::Message> Accept(natsMsg* msg, fleet::ReplayGuard& guard,
                                       std::vector<std::uint8_t>& plain);
  bool SubjectOf(std::string_view subject, std::string_view from) const;
  static void OnInbox(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
  bool CurrentInstance(const std::string& node, std::uint64_t instance);
  static void OnHeartbeat(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
  static void OnRegistration(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
  bool Heard(const std::string& node, const FleetPeer* announced);
  bool Alive(const std::string& node) const { return Peer(node).has_value(); }

  // --- heartbeat, membership ---
  void HeartbeatLoop();

  // --- registry ---
  static std::string GoneKey(const std::string& node, std::uint64_t instance);
  void MarkGone(const std::string& node, std::uint64_t instance);
  static std::optional<Holder> ParseHolder(const char* value);
  static std::optional<Holder> ParseHolder(std::string_view text);
  bool InstanceAlive(const std::string& node, std::uint64_t instance);
  Registry& RegistryFor(const std::string& id);
  void Queue(Registry& r, Op op);
  void RegistryLoop(Registry& r);
  FleetResult ClaimId(const std::string& id, std::uint64_t& revision);
  bool RemoveIf(const std::string& id, std::uint64_t revision);
  void Run(Registry& r, const Op& op);

  // --- the watch of the registry ---
  // Why the watch reads the registry again (kNone: it was stopped, or restarted after a
  // reconnection).
  enum class Reload { kNone, kDropped, kStalled, kMismatch, kError };
  void WatchLoop();
  Reload WatchPass(int limit, Millis& loadedAt);
  void Loaded(Copy& initial);
  Reload Audit(std::uint64_t& behindAt);
  bool Apply(natsMsg* msg, Copy* into, std::uint64_t& pending);
  static void Set(std::unordered_map<std::string, Holder>& ids,
                  std::unordered_set<std::uint64_t>& removed, const std::string& id,
                  const std::optional<Holder>& holder);
  void Lose(const std::string& id, std::uint64_t revision);
  void CheckOwned();

  // --- removing the IDs of runs that are over ---
  void CleanUpOverRuns();
  void CleanupLoop();

  FleetOptions o_;
  FleetEvents& events_;
  fleet::Keys keys_{};
  std::mutex publishMutex_;
  std::uint64_t counter_ = 0;  // of the last message sealed
  // One per subscription: each subscription's callbacks run one at a time.
  fleet::ReplayGuard inboxGuard_, heartbeatGuard_, registrationsGuard_;
  std::atomic<std::uint64_t> refused_{0};
  std::string instance_;  // hex, as the node bucket holds it
  std::string inbox_;
  Millis lease_ = 0;
  std::size_t maxPayload_ = 0;
  natsConnection* nc_ = nullptr;
  jsCtx* js_ = nullptr;
  kvStore* hostsKv_ = nullptr;
  kvStore* nodesKv_ = nullptr;
  natsSubscription* inboxSub_ = nullptr;
  natsSubscription* heartbeatSub_ = nullptr;
  natsSubscription* registrationsSub_ = nullptr;
  std::atomic<bool> up_{false};
  std::atomic<bool> closed_{false};
  std::atomic<bool> shutDown_{false};
  std::mutex callbacksMutex_;
  std::condition_variable callbacksDone_;
  int liveSubscriptions_ = 0;     // guarded by callbacksMutex_
  bool connectionClosed_ = false;  // guarded by callbacksMutex_

  struct Known {
    Millis seen = 0;
    FleetPeer peer;
    bool suspected = false;  // a direct link to it failed since its last heartbeat
  };
  mutable std::mutex nodesMutex_;
  std::map<std::string, Known> nodes_;  // other live nodes

  std::mutex heartbeatMutex_;
  std::condition_variable heartbeatWake_;
  bool heartbeatStop_ = false;
  bool reconnected_ = false;
  bool beatNow_ = false;
  std::thread heartbeatThread_;

  std::vector<std::unique_ptr<Registry>> registry_;
  Registry lookup_;
  Millis started_ = 0;
  std::map<std::string, Millis> gone_;  // "NODE INSTANCE" of runs that are over (nodesMutex_)
  mutable std::mutex idsMutex_;
  std::unordered_map<std::string, Holder> ids_;  // the registry, as the watch says
  std::unordered_set<std::uint64_t> removed_;    // and the IDs it says were removed (Copy)
  std::thread watchThread_;
  std::atomic<bool> watchStop_{false};
  std::atomic<bool> restartWatch_{false};
  std::atomic<std::uint64_t> watchRevision_{0};  // the latest change the watch delivered
  std::atomic<std::uint64_t> watchReloads_{0}, watchDropped_{0}, watchSkipped_{0};
  std::atomic<std::uint64_t> auditMismatches_{0};
  std::atomic<std::uint64_t> watchRetries_{0};

  std::mutex cleanupMutex_;
  std::condition_variable cleanupWake_;
  std::deque<Holder> cleanups_;
  std::atomic<bool> cleanupStop_{false};
  std::thread cleanupThread_;
  std::atomic<std::uint64_t> takeovers_{0}, removedIds_{0};

  std::atomic<std::uint64_t> claims_{0}, claimsTaken_{0}, claimsUnavailable_{0};
  std::atomic<std::uint64_t> lookups_{0}, lookupsUnknown_{0}, lookupsUnavailable_{0};
  std::atomic<std::uint64_t> leasesLost_{0};
  std::atomic<std::uint64_t> sentMessages_{0}, sentBytes_{0};
  std::atomic<std::uint64_t> receivedMessages_{0}, receivedBytes_{0};
  std::atomic<std::uint64_t> sendFailures_{0};
};

}  // namespace ov::relay
