#include "relay/fleet.h"

#include "relay/fleet_wire.h"

#include <nats/nats.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace ov::relay {

// --- The NATS link ---------------------------------------------------------------------------

namespace {

// The registry: one entry per device ID, "NODE INSTANCE", written once by its claimant and never
// renewed (no expiry); the entry lives as long as that run of the node. A node's liveness is its
// heartbeat and its own lease in the nodes bucket.
constexpr const char* kIdsBucket = "kestrova-relay-ids";
constexpr const char* kNodesBucket = "kestrova-relay-nodes";
// Subjects: kestrova.relay.node.NODE (a node's inbox), kestrova.relay.heartbeat.NODE and
// kestrova.relay.registrations.NODE (what NODE announces). Each node publishes only under its
// own name and to the inboxes, so that the NATS account can hold every node to that.
constexpr const char* kSubjectPrefix = "kestrova.relay.";

std::string LastError(natsStatus status) {
  const char* text = nats_GetLastError(nullptr);
  std::string out = natsStatus_GetText(status);
  if (text != nullptr && *text != '\0') out += std::string(": ") + text;
  return out;
}

std::string Hex(std::uint64_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (std::size_t i = 16; i-- > 0; value >>= 4) out[i] = digits[value & 15];
  return out;
}

// The first line of a small file, without its line end. Throws when it cannot be read.
std::string ReadFirstLine(const std::string& path, const char* what) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) {
    throw std::runtime_error(std::string(what) + " " + path + ": cannot be read");
  }
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

// How often an idle watch checks its copy against the registry's stream.
constexpr Millis kWatchAudit = 5000;

Millis Now() {
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

}  // namespace

class Fleet::Impl {
 public:
  Impl(FleetOptions options, FleetEvents& events) : o_(std::move(options)), events_(events) {
    if (!fleet::IsNodeName(o_.nodeName)) {
      throw std::runtime_error("invalid node name \"" + o_.nodeName +
                               "\": use 1-64 letters, digits, '-' or '_'");
    }
    if (o_.registryThreads == 0) o_.registryThreads = 1;
    if (o_.secret.size() < fleet::kMinSecret) {
      throw std::runtime_error("the fleet secret is missing or shorter than " +
                               std::to_string(fleet::kMinSecret) + " bytes");
    }
    keys_ = fleet::DeriveKeys(o_.secret);
    o_.secret.clear();
    while (o_.instance == 0) o_.instance = fleet::RandomU64();
    instance_ = Hex(o_.instance);
    inbox_ = std::string(kSubjectPrefix) + "node." + o_.nodeName;
    try {
      Connect();
      EnsureBuckets();
      ClaimNodeName();
      Subscribe();
    } catch (...) {
      Close();
      throw;
    }
    for (std::size_t i = 0; i < o_.registryThreads; ++i) {
      registry_.push_back(std::make_unique<Registry>());
    }
    for (auto& r : registry_) {
      r->thread = std::thread([this, reg = r.get()] { RegistryLoop(*reg); });
    }
    lookup_.thread = std::thread([this] { RegistryLoop(lookup_); });
    started_ = Now();
    watchThread_ = std::thread([this] { WatchLoop(); });
    cleanupThread_ = std::thread([this] { CleanupLoop(); });
    heartbeatThread_ = std::thread([this] { HeartbeatLoop(); });
  }

  ~Impl() { Shutdown(); }

  const std::string& Node() const { return o_.nodeName; }
  std::uint64_t Instance() const { return o_.instance; }
  Millis Lease() const { return lease_; }
  bool Connected() const { return up_.load(); }
  std::size_t MaxPayload() const { return maxPayload_ - fleet::kSealOverhead; }

  // Not reached until its next heartbeat; whether that run is over its heartbeat still decides.
  void Suspect(const std::string& node) {
    std::lock_guard lock(nodesMutex_);
    if (const auto it = nodes_.find(node); it != nodes_.end()) it->second.suspected = true;
  }

  std::optional<FleetPeer> Peer(const std::string& node) const {
    std::lock_guard lock(nodesMutex_);
    const auto it = nodes_.find(node);
    if (it == nodes_.end() || it->second.suspected || Now() - it->second.seen >= o_.nodeTimeout) {
      return std::nullopt;
    }
    return it->second.peer;
  }

  bool Send(const std::string& node, std::string_view bytes) {
    if (closed_.load() || !fleet::IsNodeName(node)) return false;
    const std::string subject = std::string(kSubjectPrefix) + "node." + node;
    if (Publish(subject, bytes) != NATS_OK) {
      sendFailures_.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    sentMessages_.fetch_add(1, std::memory_order_relaxed);
    sentBytes_.fetch_add(bytes.size(), std::memory_order_relaxed);
    return true;
  }

  void BroadcastRegistration(const std::string& address) {
    if (closed_.load()) return;
    fleet::Message m;
    m.kind = fleet::Kind::kHeartbeat;  // kind unused on this subject; the body is the address
    m.from = o_.nodeName;
    m.body = {reinterpret_cast<const std::uint8_t*>(address.data()), address.size()};
    std::string bytes;
    fleet::Encode(m, bytes);
    const std::string subject = std::string(kSubjectPrefix) + "registrations." + o_.nodeName;
    Publish(subject, bytes);
  }

  // Seals `payload` for `subject` with the next counter and publishes it. The counter is taken
  // and the message handed to the client under one lock, so that each subject sees this node's
  // counters rising.
  natsStatus Publish(const std::string& subject, std::string_view payload) {
    std::string sealed;
    std::lock_guard lock(publishMutex_);
    fleet::Seal(keys_.nats, subject, o_.instance, ++counter_, payload, sealed);
    return natsConnection_Publish(nc_, subject.c_str(), sealed.data(),
                                  static_cast<int>(sealed.size()));
  }

  void Claim(ConnId conn, const std::string& id) { Queue(RegistryFor(id), {Op::kClaim, conn, id}); }
  void Release(const std::string& id) { Queue(RegistryFor(id), {Op::kRelease, 0, id}); }
  // Lookups have a thread of their own: they never wait behind claims.
  void Lookup(ConnId conn, const std::string& id) { Queue(lookup_, {Op::kLookup, conn, id}); }

  void Shutdown() {
    if (shutDown_.exchange(true)) return;
    // Goodbye first: the other nodes end the sessions shared with this one at once.
    if (nc_ != nullptr && up_.load()) {
      fleet::Message bye;
      bye.kind = fleet::Kind::kBye;
      bye.from = o_.nodeName;
      std::string bytes;
      fleet::Encode(bye, bytes);
      Publish(std::string(kSubjectPrefix) + "heartbeat." + o_.nodeName, bytes);
    }
    // Queued releases get a short while; lookups and claims nobody waits for any more.
    const Millis deadline = Now() + 2000;
    for (auto& r : registry_) {
      std::unique_lock lock(r->mutex);
      r->draining = true;
      r->wake.notify_all();
      r->idle.wait_until(lock, std::chrono::steady_clock::now() +
                                   std::chrono::milliseconds(std::max<Millis>(0, deadline - Now())),
                         [&] { return r->ops.empty() && !r->busy; });
      r->stop = true;
      r->wake.notify_all();
    }
    for (auto& r : registry_) {
      if (r->thread.joinable()) r->thread.join();
    }
    {
      std::lock_guard lock(lookup_.mutex);
      lookup_.stop = true;
      lookup_.wake.notify_all();
    }
    if (lookup_.thread.joinable()) lookup_.thread.join();
    {
      std::lock_guard lock(cleanupMutex_);
      cleanupStop_ = true;
      cleanupWake_.notify_all();
    }
    if (cleanupThread_.joinable()) cleanupThread_.join();
    watchStop_ = true;
    if (watchThread_.joinable()) watchThread_.join();
    {
      std::lock_guard lock(heartbeatMutex_);
      heartbeatStop_ = true;
      heartbeatWake_.notify_all();
    }
    if (heartbeatThread_.joinable()) heartbeatThread_.join();
    if (nodesKv_ != nullptr && up_.load()) kvStore_Purge(nodesKv_, o_.nodeName.c_str(), nullptr);
    Close();
  }

  FleetStats Stats() const {
    FleetStats s;
    s.connected = up_.load();
    {
      std::lock_guard lock(nodesMutex_);
      s.nodes = nodes_.size() + 1;
    }
    for (const auto& r : registry_) {
      std::lock_guard lock(r->mutex);
      s.ownedIds += r->owned.size();
    }
    {
      std::lock_guard lock(idsMutex_);
      s.knownIds = ids_.size();
      s.knownRemoved = removed_.size();
    }
    s.takeovers = takeovers_.load();
    s.watchRevision = watchRevision_.load();
    s.watchReloads = watchReloads_.load();
    s.watchDropped = watchDropped_.load();
    s.watchSkipped = watchSkipped_.load();
    s.copyMismatches = auditMismatches_.load();
    s.removedIds = removedIds_.load();
    s.claims = claims_.load();
    s.claimsTaken = claimsTaken_.load();
    s.claimsUnavailable = claimsUnavailable_.load();
    s.lookups = lookups_.load();
    s.lookupsUnknown = lookupsUnknown_.load();
    s.lookupsUnavailable = lookupsUnavailable_.load();
    s.leasesLost = leasesLost_.load();
    s.sentMessages = sentMessages_.load();
    s.sentBytes = sentBytes_.load();
    s.receivedMessages = receivedMessages_.load();
    s.receivedBytes = receivedBytes_.load();
    s.sendFailures = sendFailures_.load();
    s.refused = refused_.load();
    return s;
  }

 private:
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

  void Connect() {
    natsOptions* opts = nullptr;
    natsStatus s = natsOptions_Create(&opts);
    if (s == NATS_OK) s = natsOptions_SetURL(opts, o_.url.c_str());
    if (s == NATS_OK) s = natsOptions_SetName(opts, ("kestrova-relay " + o_.nodeName).c_str());
    if (s == NATS_OK) s = natsOptions_SetTimeout(opts, o_.connectTimeout);
    if (s == NATS_OK) s = natsOptions_SetAllowReconnect(opts, true);
    if (s == NATS_OK) s = natsOptions_SetMaxReconnect(opts, -1);
    if (s == NATS_OK) s = natsOptions_SetReconnectWait(opts, 250);
    // A dead server is noticed within about two seconds, not the client's default two minutes.
    if (s == NATS_OK) s = natsOptions_SetPingInterval(opts, 1000);
    if (s == NATS_OK) s = natsOptions_SetMaxPingsOut(opts, 2);
    if (s == NATS_OK) s = natsOptions_SetNoEcho(opts, true);
    // A session's messages go out as they are published: buffering for throughput would hold a
    // lone message (an input event, a frame) for the client's flush interval.
    if (s == NATS_OK) s = natsOptions_SetSendAsap(opts, true);
    if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(opts, &Impl::OnDisconnected, this);
    if (s == NATS_OK) s = natsOptions_SetReconnectedCB(opts, &Impl::OnReconnected, this);
    if (s == NATS_OK) s = natsOptions_SetErrorHandler(opts, &Impl::OnAsyncError, this);
    if (s == NATS_OK) s = natsOptions_SetClosedCB(opts, &Impl::OnClosed, this);
    try {
      if (s == NATS_OK) s = Credentials(opts);
    } catch (...) {
      natsOptions_Destroy(opts);
      throw;
    }
    if (s == NATS_OK) s = natsConnection_Connect(&nc_, opts);
    const std::string error = s == NATS_OK ? "" : LastError(s);
    natsOptions_Destroy(opts);
    if (s != NATS_OK) throw std::runtime_error("cannot reach NATS at " + o_.url + ": " + error);
    up_ = true;
    maxPayload_ = static_cast<std::size_t>(std::max<int64_t>(natsConnection_GetMaxPayload(nc_), 0));
    if (maxPayload_ < 4096) throw std::runtime_error("NATS server's max_payload is too small");
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = 3000;
    s = natsConnection_JetStream(&js_, nc_, &jo);
    if (s != NATS_OK) throw std::runtime_error("NATS JetStream context: " + LastError(s));
  }

  // Credentials and TLS from files, as the options name them.
  natsStatus Credentials(natsOptions* opts) {
    natsStatus s = NATS_OK;
    if (!o_.natsCreds.empty()) {
      s = natsOptions_SetUserCredentialsFromFiles(opts, o_.natsCreds.c_str(), nullptr);
    }
    if (s == NATS_OK && !o_.natsUserFile.empty()) {
      const std::string line = ReadFirstLine(o_.natsUserFile, "NATS user file");
      const auto colon = line.find(':');
      if (colon == std::string::npos || colon == 0) {
        throw std::runtime_error("NATS user file " + o_.natsUserFile +
                                 ": expected one line USER:PASSWORD");
      }
      s = natsOptions_SetUserInfo(opts, line.substr(0, colon).c_str(),
                                  line.substr(colon + 1).c_str());
    }
    const bool tls = !o_.natsCa.empty() || !o_.natsCert.empty() ||
                     o_.url.rfind("tls://", 0) == 0;
    if (s == NATS_OK && tls) s = natsOptions_SetSecure(opts, true);
    if (s == NATS_OK && !o_.natsCa.empty()) {
      s = natsOptions_LoadCATrustedCertificates(opts, o_.natsCa.c_str());
    }
    if (s == NATS_OK && (!o_.natsCert.empty() || !o_.natsKey.empty())) {
      s = natsOptions_LoadCertificatesChain(opts, o_.natsCert.c_str(), o_.natsKey.c_str());
    }
    return s;
  }

  // Creates the buckets, or binds to them as the first node of the fleet made them (whose lease
  // then holds for every node).
  void EnsureBuckets() {
    hostsKv_ = Bucket(kIdsBucket, 0, hostsKv_);
    nodesKv_ = Bucket(kNodesBucket, o_.lease, nodesKv_);
    kvStatus* status = nullptr;
    if (kvStore_Status(&status, nodesKv_) == NATS_OK) {
      lease_ = kvStatus_TTL(status) / 1000000;
      kvStatus_Destroy(status);
    }
    if (lease_ <= 0) lease_ = o_.lease;
  }

  kvStore* Bucket(const char* name, Millis ttl, kvStore* existing) {
    kvConfig config;
    kvConfig_Init(&config);
    config.Bucket = name;
    config.History = 1;
    config.TTL = ttl * 1000000;
    config.StorageType = js_FileStorage;
    config.Replicas = std::max(1, o_.kvReplicas);
    kvStore* kv = nullptr;
    natsStatus s = js_CreateKeyValue(&kv, js_, &config);
    if (s != NATS_OK) {
      // The bucket exists with another configuration (another lease): use it as it is.
      s = js_KeyValue(&kv, js_, name);
    }
    if (s != NATS_OK) {
      throw std::runtime_error(std::string("NATS key-value bucket ") + name + ": " +
                               LastError(s) + " (is JetStream enabled on the server?)");
    }
    if (existing != nullptr) {
      // A handle only names its bucket: the first one stays in use.
      kvStore_Destroy(kv);
      return existing;
    }
    return kv;
  }

  // The node name is unique in the fleet: a running node with the same name refuses this one. An
  // entry left by a node that died is taken over once its heartbeat is gone.
  void ClaimNodeName() {
    const std::string key = o_.nodeName;
    natsStatus s = kvStore_CreateString(nullptr, nodesKv_, key.c_str(), instance_.c_str());
    if (s == NATS_OK) return;
    natsSubscription* sub = nullptr;
    const std::string subject = std::string(kSubjectPrefix) + "heartbeat." + o_.nodeName;
    s = natsConnection_SubscribeSync(&sub, nc_, subject.c_str());
    if (s != NATS_OK) throw std::runtime_error("NATS subscribe: " + LastError(s));
    const Millis until = Now() + o_.nodeTimeout;
    bool heard = false;
    while (!heard && Now() < until) {
      natsMsg* msg = nullptr;
      if (natsSubscription_NextMsg(&msg, sub, until - Now()) != NATS_OK) break;
      const auto opened = fleet::Open(keys_.nats, subject, Data(msg));
      const auto m = opened ? fleet::Decode(opened->payload) : std::nullopt;
      heard = m && m->kind == fleet::Kind::kHeartbeat && m->from == o_.nodeName;
      natsMsg_Destroy(msg);
    }
    natsSubscription_Destroy(sub);
    if (heard) {
      throw std::runtime_error("node name \"" + o_.nodeName +
                               "\" is in use by a running node of this fleet");
    }
    s = kvStore_PutString(nullptr, nodesKv_, key.c_str(), instance_.c_str());
    if (s != NATS_OK) throw std::runtime_error("NATS node registry: " + LastError(s));
  }

  // An asynchronous subscription whose handler may run until its completion callback says it is
  // done for good (see WaitForCallbacks).
  // `sub` is read after `s` is made (arguments are evaluated in any order).
  natsStatus Watched(natsStatus s, natsSubscription* const& sub) {
    if (s != NATS_OK) return s;
    s = natsSubscription_SetOnCompleteCB(sub, &Impl::OnSubscriptionDone, this);
    if (s == NATS_OK) {
      std::lock_guard lock(callbacksMutex_);
      ++liveSubscriptions_;
    }
    return s;
  }

  void Subscribe() {
    natsStatus s = Watched(
        natsConnection_Subscribe(&inboxSub_, nc_, inbox_.c_str(), &Impl::OnInbox, this), inboxSub_);
    // Memory is bounded by the sessions' credit, not by the client's pending limits, which would
    // drop messages.
    if (s == NATS_OK) s = natsSubscription_SetPendingLimits(inboxSub_, -1, -1);
    const std::string heartbeat = std::string(kSubjectPrefix) + "heartbeat.*";
    if (s == NATS_OK) {
      s = Watched(natsConnection_Subscribe(&heartbeatSub_, nc_, heartbeat.c_str(),
                                           &Impl::OnHeartbeat, this),
                  heartbeatSub_);
    }
    const std::string registrations = std::string(kSubjectPrefix) + "registrations.*";
    if (s == NATS_OK) {
      s = Watched(natsConnection_Subscribe(&registrationsSub_, nc_, registrations.c_str(),
                                           &Impl::OnRegistration, this),
                  registrationsSub_);
    }
    if (s == NATS_OK) s = natsSubscription_SetPendingLimits(registrationsSub_, -1, -1);
    if (s == NATS_OK) s = natsConnection_Flush(nc_);
    if (s != NATS_OK) throw std::runtime_error("NATS subscribe: " + LastError(s));
  }

  void Close() {
    closed_ = true;
    for (natsSubscription** sub : {&inboxSub_, &heartbeatSub_, &registrationsSub_}) {
      if (*sub != nullptr) {
        natsSubscription_Unsubscribe(*sub);
        natsSubscription_Destroy(*sub);
        *sub = nullptr;
      }
    }
    if (nc_ != nullptr) natsConnection_Close(nc_);
    WaitForCallbacks();
    if (hostsKv_ != nullptr) kvStore_Destroy(hostsKv_);
    if (nodesKv_ != nullptr) kvStore_Destroy(nodesKv_);
    if (js_ != nullptr) jsCtx_Destroy(js_);
    if (nc_ != nullptr) natsConnection_Destroy(nc_);
    hostsKv_ = nodesKv_ = nullptr;
    js_ = nullptr;
    nc_ = nullptr;
    up_ = false;
  }

  // The client calls this object back on its own threads, also after the subscriptions and the
  // connection are closed: a message handler may still be running, and the connection's
  // disconnect and closed callbacks are queued on the client's callback thread, in that order.
  // Nothing is freed before the last of them has returned.
  void WaitForCallbacks() {
    std::unique_lock lock(callbacksMutex_);
    const bool done = callbacksDone_.wait_for(lock, std::chrono::seconds(10), [&] {
      return liveSubscriptions_ == 0 && (nc_ == nullptr || connectionClosed_);
    });
    if (!done) {
      // Not seen in practice; freeing the object under a running callback would be worse.
      std::fprintf(stderr, "fleet: node %s: the NATS client did not finish its callbacks\n",
                   o_.nodeName.c_str());
      std::abort();
    }
  }

  // --- callbacks (the client's threads) ---

  static void OnSubscriptionDone(void* closure) {
    auto* self = static_cast<Impl*>(closure);
    std::lock_guard lock(self->callbacksMutex_);
    --self->liveSubscriptions_;
    self->callbacksDone_.notify_all();
  }

  static void OnClosed(natsConnection*, void* closure) {
    auto* self = static_cast<Impl*>(closure);
    std::lock_guard lock(self->callbacksMutex_);
    self->connectionClosed_ = true;
    self->callbacksDone_.notify_all();
  }

  static void OnDisconnected(natsConnection*, void* closure) {
    auto* self = static_cast<Impl*>(closure);
    if (self->shutDown_.load() || !self->up_.exchange(false)) return;
    self->events_.OnLinkChanged(false);
  }

  static void OnReconnected(natsConnection*, void* closure) {
    auto* self = static_cast<Impl*>(closure);
    if (self->shutDown_.load()) return;
    {
      // The server may have lost its storage: the buckets are made again and every lease is
      // renewed (or found lost) at once.
      std::lock_guard lock(self->heartbeatMutex_);
      self->reconnected_ = true;
      self->heartbeatWake_.notify_all();
    }
    self->up_ = true;
    self->events_.OnLinkChanged(true);
  }

  static void OnAsyncError(natsConnection*, natsSubscription*, natsStatus err, void* closure) {
    auto* self = static_cast<Impl*>(closure);
    std::fprintf(stderr, "fleet: NATS error on node %s: %s\n", self->o_.nodeName.c_str(),
                 natsStatus_GetText(err));
  }

  static std::span<const std::uint8_t> Data(natsMsg* msg) {
    return {reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg)),
            static_cast<std::size_t>(natsMsg_GetDataLength(msg))};
  }

  // The message in `msg` when it is sealed with the fleet's key for the subject it came on, new,
  // well-formed, from another node, and of that node's running instance; otherwise it is counted
  // and dropped. `guard` belongs to the subscription (its callbacks run one at a time). The
  // message's views point into `plain`, its decrypted payload.
  std::optional<fleet::Message> Accept(natsMsg* msg, fleet::ReplayGuard& guard,
                                       std::vector<std::uint8_t>& plain) {
    const char* subject = natsMsg_GetSubject(msg);
    auto opened = fleet::Open(keys_.nats, subject != nullptr ? subject : "", Data(msg));
    if (opened) plain = std::move(opened->payload);
    auto m = opened ? fleet::Decode(plain) : std::nullopt;
    const char* why = nullptr;
    if (!m) {
      why = opened ? "malformed" : "not sealed with the fleet secret";
    } else if (m->from == o_.nodeName) {
      return std::nullopt;  // this node's own broadcast
    } else if (!SubjectOf(subject, m->from)) {
      why = "on another node's subject";
    } else if (!guard.Accept(m->from, opened->instance, opened->counter)) {
      why = "replayed";
    } else {
      m->instance = opened->instance;
      return m;
    }
    const std::uint64_t n = refused_.fetch_add(1, std::memory_order_relaxed);
    // The first few, then one in a thousand: a flood cannot flood the log too.
    if (n < 16 || n % 1000 == 0) {
      std::fprintf(stderr, "fleet: node %s refused a message on %s (%s; %llu refused)\n",
                   o_.nodeName.c_str(), subject != nullptr ? subject : "?", why,
                   static_cast<unsigned long long>(n + 1));
    }
    return std::nullopt;
  }

  // An announcement travels on its sender's own subject; an inbox message on this node's inbox.
  bool SubjectOf(std::string_view subject, std::string_view from) const {
    if (subject == inbox_) return true;
    const auto dot = subject.rfind('.');
    return dot != std::string_view::npos && subject.substr(dot + 1) == from &&
           subject.rfind(std::string(kSubjectPrefix) + "node.", 0) != 0;
  }

  static void OnInbox(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* self = static_cast<Impl*>(closure);
    self->receivedMessages_.fetch_add(1, std::memory_order_relaxed);
    self->receivedBytes_.fetch_add(static_cast<std::size_t>(natsMsg_GetDataLength(msg)),
                                   std::memory_order_relaxed);
    if (!self->shutDown_.load()) {
      std::vector<std::uint8_t> plain;
      if (const auto m = self->Accept(msg, self->inboxGuard_, plain)) {
        // A message of an instance other than the one the node announces is stale: that run of
        // the node is over, and so are its sessions.
        if (self->CurrentInstance(std::string(m->from), m->instance)) {
          self->events_.OnFleetMessage(*m);
        }
      }
    }
    natsMsg_Destroy(msg);
  }

  // Keeps `node` alive and returns true, unless it announces another instance than `instance`.
  // A node not heard yet (its first heartbeat may come after its first message) is taken at its
  // word.
  bool CurrentInstance(const std::string& node, std::uint64_t instance) {
    std::lock_guard lock(nodesMutex_);
    const auto it = nodes_.find(node);
    if (it == nodes_.end()) return true;
    if (it->second.peer.instance != instance) return false;
    it->second.seen = Now();
    return true;
  }

  static void OnHeartbeat(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* self = static_cast<Impl*>(closure);
    std::vector<std::uint8_t> plain;
    const auto m =
        self->shutDown_.load() ? std::nullopt : self->Accept(msg, self->heartbeatGuard_, plain);
    if (m) {
      const std::string from(m->from);
      if (m->kind == fleet::Kind::kBye) {
        bool known = false;
        {
          std::lock_guard lock(self->nodesMutex_);
          const auto it = self->nodes_.find(from);
          known = it != self->nodes_.end() && it->second.peer.instance == m->instance;
          if (known) self->nodes_.erase(it);
          self->MarkGone(from, m->instance);
        }
        if (known) self->events_.OnNodeLost(from);
      } else if (m->body.size() <= 64) {
        // The body is the address the node's links listen on (empty: none).
        FleetPeer peer;
        peer.advertise.assign(reinterpret_cast<const char*>(m->body.data()), m->body.size());
        peer.instance = m->instance;
        if (self->Heard(from, &peer)) {
          // A node that has just started hears this one at once, not a heartbeat later.
          std::lock_guard lock(self->heartbeatMutex_);
          self->beatNow_ = true;
          self->heartbeatWake_.notify_all();
        }
      }
    }
    natsMsg_Destroy(msg);
  }

  static void OnRegistration(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* self = static_cast<Impl*>(closure);
    std::vector<std::uint8_t> plain;
    const auto m =
        self->shutDown_.load() ? std::nullopt
                               : self->Accept(msg, self->registrationsGuard_, plain);
    if (m && !m->body.empty() && m->body.size() <= 64) {
      self->events_.OnRemoteRegistration(
          std::string(reinterpret_cast<const char*>(m->body.data()), m->body.size()));
    }
    natsMsg_Destroy(msg);
  }

  // A node is known from its heartbeats, which say how to reach it and which instance of it
  // runs. A new instance under a known name is a restarted node: the sessions shared with the
  // one before are over. Returns true for a node (or instance) not known before.
  bool Heard(const std::string& node, const FleetPeer* announced) {
    bool restarted = false;
    bool fresh = false;
    {
      std::lock_guard lock(nodesMutex_);
      const auto it = nodes_.find(node);
      fresh = it == nodes_.end();
      restarted = !fresh && it->second.peer.instance != announced->instance;
      if (restarted) MarkGone(node, it->second.peer.instance);
      // A node heard again after it was given up is alive after all (what was taken from it
      // meanwhile it learns from the registry).
      gone_.erase(GoneKey(node, announced->instance));
      Known& known = nodes_[node];
      known.seen = Now();
      known.peer = *announced;
      known.suspected = false;
    }
    if (restarted) events_.OnNodeLost(node);
    return fresh || restarted;
  }

  bool Alive(const std::string& node) const { return Peer(node).has_value(); }

  // --- heartbeat, membership ---

  void HeartbeatLoop() {
    fleet::Message beat;
    beat.kind = fleet::Kind::kHeartbeat;
    beat.from = o_.nodeName;
    beat.body = {reinterpret_cast<const std::uint8_t*>(o_.advertise.data()), o_.advertise.size()};
    std::string bytes;
    fleet::Encode(beat, bytes);
    const std::string subject = std::string(kSubjectPrefix) + "heartbeat." + o_.nodeName;
    Millis lastNodeWrite = Now();
    std::unique_lock lock(heartbeatMutex_);
    while (!heartbeatStop_) {
      const bool again = std::exchange(reconnected_, false);
      lock.unlock();
      if (again) {
        try {
          EnsureBuckets();
        } catch (const std::exception& e) {
          std::fprintf(stderr, "fleet: %s\n", e.what());
        }
        kvStore_PutString(nullptr, nodesKv_, o_.nodeName.c_str(), instance_.c_str());
        lastNodeWrite = Now();
        // The registry is read again from the start (the server may have lost it), and what
        // this node holds checked against it.
        restartWatch_ = true;
        // No node is judged by the silence of the outage.
        std::lock_guard nl(nodesMutex_);
        for (auto& [name, known] : nodes_) known.seen = Now();
      }
      if (up_.load()) {
        Publish(subject, bytes);
        if (Now() - lastNodeWrite >= lease_ / 3) {
          lastNodeWrite = Now();
          kvStore_PutString(nullptr, nodesKv_, o_.nodeName.c_str(), instance_.c_str());
        }
      }
      std::vector<std::string> lost;
      if (up_.load()) {
        std::lock_guard nl(nodesMutex_);
        const Millis now = Now();
        for (auto it = nodes_.begin(); it != nodes_.end();) {
          if (now - it->second.seen >= o_.nodeTimeout) {
            lost.push_back(it->first);
            MarkGone(it->first, it->second.peer.instance);
            it = nodes_.erase(it);
          } else {
            ++it;
          }
        }
        for (auto it = gone_.begin(); it != gone_.end();) {
          it = now - it->second > 3600 * 1000 ? gone_.erase(it) : std::next(it);
        }
      }
      for (const auto& node : lost) events_.OnNodeLost(node);
      lock.lock();
      heartbeatWake_.wait_for(lock, std::chrono::milliseconds(o_.heartbeat),
                              [this] { return heartbeatStop_ || reconnected_ || beatNow_; });
      beatNow_ = false;
    }
  }

  // --- registry ---

  static std::string GoneKey(const std::string& node, std::uint64_t instance) {
    return node + " " + Hex(instance);
  }

  // With nodesMutex_ held: that run of `node` is over; the one survivor that tidies up removes
  // its IDs.
  void MarkGone(const std::string& node, std::uint64_t instance) {
    if (instance == 0) return;
    gone_[GoneKey(node, instance)] = Now();
    std::lock_guard lock(cleanupMutex_);
    cleanups_.push_back({node, instance, 0});
    cleanupWake_.notify_all();
  }

  // "NODE INSTANCE" as an entry holds it.
  static std::optional<Holder> ParseHolder(const char* value) {
    if (value == nullptr) return std::nullopt;
    return ParseHolder(std::string_view(value));
  }
  static std::optional<Holder> ParseHolder(std::string_view text) {
    const auto space = text.find(' ');
    if (space == std::string_view::npos || text.size() - space - 1 != 16) return std::nullopt;
    Holder h;
    h.node = std::string(text.substr(0, space));
    for (const char ch : text.substr(space + 1)) {
      const int digit = ch >= '0' && ch <= '9'   ? ch - '0'
                        : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                                                 : -1;
      if (digit < 0) return std::nullopt;
      h.instance = (h.instance << 4) | static_cast<std::uint64_t>(digit);
    }
    if (!fleet::IsNodeName(h.node) || h.instance == 0) return std::nullopt;
    return h;
  }

  // True unless that run of `node` is known to be over: given up by its heartbeat, or replaced
  // by another run, or without a lease in the nodes bucket.
  bool InstanceAlive(const std::string& node, std::uint64_t instance) {
    {
      std::lock_guard lock(nodesMutex_);
      if (gone_.contains(GoneKey(node, instance))) return false;
      const auto it = nodes_.find(node);
      if (it != nodes_.end()) return it->second.peer.instance == instance;
    }
    if (node == o_.nodeName) return instance == o_.instance;  // an earlier run of this node
    // Not heard (this node has just started, or the node was suspected): its lease decides.
    kvEntry* e = nullptr;
    const natsStatus s = kvStore_Get(&e, nodesKv_, node.c_str());
    KvEntry entry(e);
    if (s == NATS_NOT_FOUND) return false;
    if (s != NATS_OK) return true;  // cannot tell: nothing is taken over
    const char* value = kvEntry_ValueString(e);
    return value != nullptr && Hex(instance) == value;
  }

  Registry& RegistryFor(const std::string& id) {
    return *registry_[std::hash<std::string>{}(id) % registry_.size()];
  }

  // Never answers on the caller's thread (callers hold their own locks). The queue is bounded by
  // the callers: a connection has at most one claim or lookup outstanding.
  void Queue(Registry& r, Op op) {
    if (shutDown_.load()) return;
    std::lock_guard lock(r.mutex);
    if (r.stop) return;
    r.ops.push_back(std::move(op));
    r.wake.notify_one();
  }

  void RegistryLoop(Registry& r) {
    std::unique_lock lock(r.mutex);
    for (;;) {
      r.wake.wait(lock, [&] { return r.stop || !r.ops.empty(); });
      if (r.stop) return;
      Op op = std::move(r.ops.front());
      r.ops.pop_front();
      r.busy = true;
      lock.unlock();
      Run(r, op);
      lock.lock();
      r.busy = false;
      if (r.ops.empty()) r.idle.notify_all();
    }
  }

  // Claims `id` for this run: a new entry, or the entry of a run that is over, replaced only if
  // nobody else replaced it first (compare-and-set on its revision).
  FleetResult ClaimId(const std::string& id, std::uint64_t& revision) {
    const std::string value = o_.nodeName + " " + instance_;
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (kvStore_CreateString(&revision, hostsKv_, id.c_str(), value.c_str()) == NATS_OK) {
        return FleetResult::kOk;
      }
      kvEntry* e = nullptr;
      const natsStatus s = kvStore_Get(&e, hostsKv_, id.c_str());
      KvEntry entry(e);
      if (s == NATS_NOT_FOUND) continue;  // removed between the two calls
      if (s != NATS_OK) return FleetResult::kUnavailable;
      const auto holder = ParseHolder(kvEntry_ValueString(e));
      if (holder && holder->instance == o_.instance) {
        revision = kvEntry_Revision(e);  // ours already (an answer that was lost)
        return FleetResult::kOk;
      }
      if (holder && InstanceAlive(holder->node, holder->instance)) return FleetResult::kTaken;
      if (kvStore_UpdateString(&revision, hostsKv_, id.c_str(), value.c_str(),
                               kvEntry_Revision(e)) == NATS_OK) {
        takeovers_.fetch_add(1, std::memory_order_relaxed);
        return FleetResult::kOk;
      }
      // Another claimant was first: the next round finds its entry.
    }
    return FleetResult::kTaken;
  }

  // Removes `id`'s entry if it is still at `revision` (a removal marker that expects the entry's
  // last revision, so that a claimant's newer entry is never removed). A delete marker, not a
  // purge: the bucket keeps one message per ID either way, but a purge is a roll-up, and the NATS
  // server (2.9) moves the stream's consumers past changes they have not sent yet when a subject
  // rolls up, so that every watch of the registry would miss some of the changes made meanwhile.
  bool RemoveIf(const std::string& id, std::uint64_t revision) {
    const std::string subject = std::string("$KV.") + kIdsBucket + "." + id;
    natsMsg* msg = nullptr;
    if (natsMsg_Create(&msg, subject.c_str(), nullptr, nullptr, 0) != NATS_OK) return false;
    natsStatus s = natsMsgHeader_Set(msg, "KV-Operation", "DEL");
    jsPubOptions po;
    jsPubOptions_Init(&po);
    po.ExpectLastSubjectSeq = revision;
    jsPubAck* ack = nullptr;
    jsErrCode err = static_cast<jsErrCode>(0);
    if (s == NATS_OK) s = js_PublishMsg(&ack, js_, msg, &po, &err);
    if (ack != nullptr) jsPubAck_Destroy(ack);
    natsMsg_Destroy(msg);
    return s == NATS_OK;
  }

  void Run(Registry& r, const Op& op) {
    switch (op.kind) {
      case Op::kClaim: {
        claims_.fetch_add(1, std::memory_order_relaxed);
        FleetResult result = FleetResult::kUnavailable;
        std::uint64_t revision = 0;
        if (up_.load()) result = ClaimId(op.id, revision);
        if (result == FleetResult::kOk) {
          std::lock_guard lock(r.mutex);
          r.owned[op.id] = revision;
        } else if (result == FleetResult::kTaken) {
          claimsTaken_.fetch_add(1, std::memory_order_relaxed);
        } else {
          claimsUnavailable_.fetch_add(1, std::memory_order_relaxed);
        }
        if (!shutDown_.load()) events_.OnClaimed(op.conn, op.id, result);
        return;
      }
      case Op::kRelease: {
        std::uint64_t revision = 0;
        {
          std::lock_guard lock(r.mutex);
          const auto it = r.owned.find(op.id);
          if (it == r.owned.end()) return;
          revision = it->second;
          r.owned.erase(it);
        }
        // When the removal does not get through, the entry goes with this run of the node.
        if (up_.load()) RemoveIf(op.id, revision);
        return;
      }
      case Op::kLookup: {
        lookups_.fetch_add(1, std::memory_order_relaxed);
        FleetResult result = FleetResult::kUnavailable;
        std::string node;
        if (up_.load()) {
          std::optional<Holder> holder;
          {
            std::lock_guard lock(idsMutex_);
            const auto it = ids_.find(op.id);
            if (it != ids_.end()) holder = it->second;
          }
          auto live = [this](const std::optional<Holder>& h) {
            const auto peer = h ? Peer(h->node) : std::nullopt;
            return peer && peer->instance == h->instance;
          };
          natsStatus s = NATS_OK;
          if (!holder || (holder->instance != o_.instance && !live(holder))) {
            // Not (yet) seen by the watch, or of a run that is over: an entry made or taken over
            // a moment ago on another node is asked for directly.
            holder.reset();
            kvEntry* e = nullptr;
            s = kvStore_Get(&e, hostsKv_, op.id.c_str());
            KvEntry entry(e);
            if (s == NATS_OK) holder = ParseHolder(kvEntry_ValueString(e));
          }
          if (s == NATS_OK || s == NATS_NOT_FOUND) {
            // A host of this node would have been found without asking; an entry of a run that
            // is not alive names nobody who can answer.
            if (holder && holder->node != o_.nodeName && live(holder)) {
              result = FleetResult::kOk;
              node = holder->node;
            } else {
              result = FleetResult::kUnknown;
            }
          }
        }
        if (result == FleetResult::kUnknown) lookupsUnknown_.fetch_add(1);
        if (result == FleetResult::kUnavailable) lookupsUnavailable_.fetch_add(1);
        if (!shutDown_.load()) events_.OnLocated(op.conn, result, node);
        return;
      }
    }
  }

  // --- the watch of the registry ---

  // The watch is an ordered consumer of the bucket's stream of its own (rather than the client's
  // key-value watcher), so that its subscription's pending limits and dropped count are in reach.
  // It delivers the latest entry of every ID, then every change in order, unless the server skips
  // some (a roll-up of a subject moves the NATS 2.9 server's consumers past changes not sent yet,
  // which RemoveIf avoids but a node of another version may still do) or the client drops some
  // (a slow reader). So the copy is audited against the stream whenever the watch pauses after
  // skipped revisions (and every few seconds), and read again from the start when it holds another
  // number of entries than the stream at the same revision, when it stalls behind the stream, or
  // when the subscription dropped anything.
  enum class Reload { kNone, kDropped, kStalled, kMismatch, kError };

  void WatchLoop() {
    // A test's pending limit holds for the first watch only: the one after a drop has none.
    int limit = o_.watchPendingLimit;
    while (!watchStop_.load()) {
      restartWatch_ = false;
      if (!up_.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        continue;
      }
      const Reload why = WatchPass(limit);
      if (why == Reload::kNone) continue;  // stopped, or read again after a reconnection
      watchReloads_.fetch_add(1, std::memory_order_relaxed);
      if (why == Reload::kDropped) limit = 0;
      if (why == Reload::kError) std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }

  // One subscription of the watch: loads the copy, then follows the stream until it has to be
  // read again (the reason) or is stopped (kNone).
  Reload WatchPass(int limit) {
    const std::string stream = std::string("KV_") + kIdsBucket;
    const std::string subject = std::string("$KV.") + kIdsBucket + ".>";
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = stream.c_str();
    so.Ordered = true;
    so.Config.DeliverPolicy = js_DeliverLastPerSubject;
    natsSubscription* sub = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    natsStatus s = js_SubscribeSync(&sub, js_, subject.c_str(), nullptr, &so, &jerr);
    // Unlimited unless a test asks for a drop: the copy bounds what the watch holds anyway.
    if (s == NATS_OK) {
      s = limit > 0 ? natsSubscription_SetPendingLimits(sub, limit, limit * 4096)
                    : natsSubscription_SetPendingLimits(sub, -1, -1);
    }
    // Nothing to load when the consumer has nothing for it: no message will say the load is done.
    bool loading = true;
    jsConsumerInfo* ci = nullptr;
    if (s == NATS_OK) s = natsSubscription_GetConsumerInfo(&ci, sub, nullptr, &jerr);
    if (s == NATS_OK) {
      loading = ci->NumPending > 0 || ci->Delivered.Consumer > 0;
      jsConsumerInfo_Destroy(ci);
    }
    if (s != NATS_OK) {
      if (!watchStop_.load()) {
        std::fprintf(stderr, "fleet: node %s: registry watch: %s\n", o_.nodeName.c_str(),
                     LastError(s).c_str());
      }
      if (sub != nullptr) natsSubscription_Destroy(sub);
      return watchStop_.load() ? Reload::kNone : Reload::kError;
    }
    Copy initial;
    watchRevision_ = 0;
    if (!loading) Loaded(initial);
    Reload why = Reload::kNone;
    std::uint64_t toLoad = 0, received = 0;
    std::uint64_t auditedAt = 0;  // the revision of the last audit that found the copy behind
    Millis nextAudit = Now() + kWatchAudit;
    while (why == Reload::kNone && !watchStop_.load() && !restartWatch_.load()) {
      natsMsg* msg = nullptr;
      s = natsSubscription_NextMsg(&msg, sub, 250);
      int64_t dropped = 0;
      if (natsSubscription_GetDropped(sub, &dropped) == NATS_OK && dropped > 0) {
        watchDropped_.fetch_add(static_cast<std::uint64_t>(dropped), std::memory_order_relaxed);
        std::fprintf(stderr,
                     "fleet: node %s: registry watch: %lld changes dropped (slow reader); "
                     "reading the registry again\n",
                     o_.nodeName.c_str(), static_cast<long long>(dropped));
        why = Reload::kDropped;
      } else if (s == NATS_OK) {
        std::uint64_t pending = 0;
        const std::uint64_t before = watchRevision_.load();
        if (!Apply(msg, loading ? &initial : nullptr, pending)) {
          why = Reload::kError;
        } else if (loading) {
          // The load is what was pending when the first change came (as the changes that come
          // meanwhile keep the stream's tail moving during a burst).
          if (toLoad == 0) toLoad = pending + 1;
          if (++received >= toLoad || pending == 0) {
            loading = false;
            Loaded(initial);
          }
        } else if (watchRevision_.load() > before + 1) {
          // Revisions skipped while following: superseded before they were sent, or not sent
          // at all (the server's consumer skips changes during a burst of writes). The next
          // pause audits the copy at once.
          watchSkipped_.fetch_add(watchRevision_.load() - before - 1, std::memory_order_relaxed);
          nextAudit = std::min(nextAudit, Now());
        }
      } else if (s == NATS_TIMEOUT) {
        if (!loading && Now() >= nextAudit) {
          nextAudit = Now() + kWatchAudit;
          why = Audit(auditedAt);
        }
      } else {
        std::fprintf(stderr, "fleet: node %s: registry watch: %s; reading it again\n",
                     o_.nodeName.c_str(), natsStatus_GetText(s));
        why = Reload::kError;
      }
      if (msg != nullptr) natsMsg_Destroy(msg);
    }
    natsSubscription_Unsubscribe(sub);
    natsSubscription_Destroy(sub);
    return why;
  }

  // Every entry there was has come: the copy is whole.
  void Loaded(Copy& initial) {
    {
      std::lock_guard lock(idsMutex_);
      ids_.swap(initial.ids);
      removed_.swap(initial.removed);
    }
    initial = Copy();
    CheckOwned();
    CleanUpOverRuns();
  }

  // With the watch idle: the stream's state against the copy. At the revision the copy is at, the
  // stream holds one message per ID that has an entry or a removal marker, and so must the copy;
  // a copy behind the stream that has not moved since the last audit is stalled.
  Reload Audit(std::uint64_t& behindAt) {
    jsStreamInfo* si = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    const std::string stream = std::string("KV_") + kIdsBucket;
    if (js_GetStreamInfo(&si, js_, stream.c_str(), nullptr, &jerr) != NATS_OK) return Reload::kNone;
    const std::uint64_t messages = si->State.Msgs;
    const std::uint64_t last = si->State.LastSeq;
    jsStreamInfo_Destroy(si);
    std::size_t held = 0;
    std::uint64_t at = 0;
    {
      std::lock_guard lock(idsMutex_);
      held = ids_.size() + removed_.size();
      at = watchRevision_.load();
    }
    if (at == last) {
      behindAt = 0;
      if (held == messages) return Reload::kNone;
      auditMismatches_.fetch_add(1, std::memory_order_relaxed);
      std::fprintf(stderr,
                   "fleet: node %s: registry copy holds %zu entries, the registry %llu at "
                   "revision %llu; reading it again\n",
                   o_.nodeName.c_str(), held, static_cast<unsigned long long>(messages),
                   static_cast<unsigned long long>(last));
      return Reload::kMismatch;
    }
    if (at < last && at == behindAt) {
      std::fprintf(stderr,
                   "fleet: node %s: registry watch stalled at revision %llu of %llu; reading it "
                   "again\n",
                   o_.nodeName.c_str(), static_cast<unsigned long long>(at),
                   static_cast<unsigned long long>(last));
      behindAt = 0;
      return Reload::kStalled;
    }
    behindAt = at < last ? at : 0;
    return Reload::kNone;
  }

  // One change of the registry (a message of the watch), into `into` while the watch loads, else
  // into the copy; a change of an ID this run holds to another holder means it is lost. `pending`:
  // the changes after it in the stream when it was sent. False when it is not a message of the
  // bucket's stream.
  bool Apply(natsMsg* msg, Copy* into, std::uint64_t& pending) {
    jsMsgMetaData* meta = nullptr;
    if (natsMsg_GetMetaData(&meta, msg) != NATS_OK) return false;
    const std::uint64_t revision = meta->Sequence.Stream;
    pending = meta->NumPending;
    jsMsgMetaData_Destroy(meta);
    const std::string prefix = std::string("$KV.") + kIdsBucket + ".";
    const char* subject = natsMsg_GetSubject(msg);
    if (subject == nullptr || std::strncmp(subject, prefix.c_str(), prefix.size()) != 0 ||
        subject[prefix.size()] == '\0') {
      return false;
    }
    const std::string id(subject + prefix.size());
    const char* op = nullptr;
    std::optional<Holder> holder;
    if (natsMsgHeader_Get(msg, "KV-Operation", &op) != NATS_OK || op == nullptr ||
        (std::strcmp(op, "DEL") != 0 && std::strcmp(op, "PURGE") != 0)) {
      holder = ParseHolder(std::string_view(natsMsg_GetData(msg),
                                            static_cast<std::size_t>(natsMsg_GetDataLength(msg))));
    }
    if (holder) holder->revision = revision;
    if (into != nullptr) {
      watchRevision_ = revision;
      Set(into->ids, into->removed, id, holder);
      return true;
    }
    {
      std::lock_guard lock(idsMutex_);
      watchRevision_ = revision;
      Set(ids_, removed_, id, holder);
    }
    if (!holder || holder->instance != o_.instance) Lose(id, revision);
    return true;
  }

  // `id`'s latest message: an entry, or a removal (or an entry nobody could have written).
  static void Set(std::unordered_map<std::string, Holder>& ids,
                  std::unordered_set<std::uint64_t>& removed, const std::string& id,
                  const std::optional<Holder>& holder) {
    const std::uint64_t key = std::hash<std::string>{}(id);
    if (holder) {
      ids[id] = *holder;
      removed.erase(key);
    } else {
      ids.erase(id);
      removed.insert(key);
    }
  }

  // `id` changed at `revision` to another holder or to nothing: if this run held it at an
  // earlier revision, it is no longer this node's.
  void Lose(const std::string& id, std::uint64_t revision) {
    Registry& r = RegistryFor(id);
    {
      std::lock_guard lock(r.mutex);
      const auto it = r.owned.find(id);
      if (it == r.owned.end() || it->second >= revision) return;
      r.owned.erase(it);
    }
    leasesLost_.fetch_add(1, std::memory_order_relaxed);
    if (!shutDown_.load()) events_.OnLeaseLost(id);
  }

  // After the watch has (re)loaded the registry: the IDs this run holds are in it as this run's,
  // made again if the server lost them, or lost to another holder.
  void CheckOwned() {
    std::vector<std::pair<std::string, std::uint64_t>> missing;
    for (auto& r : registry_) {
      std::vector<std::pair<std::string, std::uint64_t>> owned;
      {
        std::lock_guard lock(r->mutex);
        owned.assign(r->owned.begin(), r->owned.end());
      }
      for (const auto& [id, revision] : owned) {
        std::optional<Holder> holder;
        {
          std::lock_guard lock(idsMutex_);
          const auto it = ids_.find(id);
          if (it != ids_.end()) holder = it->second;
        }
        if (!holder) {
          missing.emplace_back(id, revision);
        } else if (holder->instance != o_.instance) {
          Lose(id, holder->revision);
        } else if (holder->revision != revision) {
          std::lock_guard lock(r->mutex);
          const auto it = r->owned.find(id);
          if (it != r->owned.end()) it->second = holder->revision;
        }
      }
    }
    const std::string value = o_.nodeName + " " + instance_;
    for (const auto& [id, revision] : missing) {
      std::uint64_t fresh = 0;
      if (kvStore_CreateString(&fresh, hostsKv_, id.c_str(), value.c_str()) == NATS_OK) {
        Registry& r = RegistryFor(id);
        std::lock_guard lock(r.mutex);
        if (const auto it = r.owned.find(id); it != r.owned.end()) it->second = fresh;
        continue;
      }
      // There after all (the copy missed it), or made by another node meanwhile.
      kvEntry* e = nullptr;
      const natsStatus st = kvStore_Get(&e, hostsKv_, id.c_str());
      KvEntry entry(e);
      if (st != NATS_OK) continue;  // cannot tell now: kept
      const auto holder = ParseHolder(kvEntry_ValueString(e));
      if (holder && holder->instance == o_.instance) {
        Registry& r = RegistryFor(id);
        std::lock_guard lock(r.mutex);
        const auto it = r.owned.find(id);
        if (it != r.owned.end()) it->second = kvEntry_Revision(e);
      } else {
        Lose(id, std::numeric_limits<std::uint64_t>::max());
      }
    }
  }

  // --- removing the IDs of runs that are over ---

  // After the watch has (re)loaded the registry: runs whose entries are there but which are over
  // (no lease, or replaced by a later run) are tidied up as if heard gone; nobody may have been
  // there to hear them go.
  void CleanUpOverRuns() {
    std::map<std::string, Holder> runs;
    {
      std::lock_guard lock(idsMutex_);
      for (const auto& [id, holder] : ids_) {
        if (holder.instance == o_.instance) continue;
        runs.emplace(GoneKey(holder.node, holder.instance), holder);
      }
    }
    for (const auto& [key, run] : runs) {
      if (watchStop_.load() || InstanceAlive(run.node, run.instance)) continue;
      std::lock_guard lock(cleanupMutex_);
      cleanups_.push_back({run.node, run.instance, 0});
      cleanupWake_.notify_all();
    }
  }

  // Of the live nodes, the one first by name removes the IDs of a run that is over (one removal
  // per ID, each only if the entry is still that run's). Claimants take such IDs over anyway;
  // this keeps lookups and the registry free of them.
  void CleanupLoop() {
    std::unique_lock lock(cleanupMutex_);
    for (;;) {
      cleanupWake_.wait(lock, [&] { return cleanupStop_ || !cleanups_.empty(); });
      if (cleanupStop_) return;
      const Holder gone = cleanups_.front();
      cleanups_.pop_front();
      lock.unlock();
      bool first = true;
      {
        std::lock_guard nl(nodesMutex_);
        for (const auto& [name, known] : nodes_) first = first && o_.nodeName < name;
      }
      if (first) {
        std::vector<std::pair<std::string, std::uint64_t>> ids;
        {
          std::lock_guard il(idsMutex_);
          for (const auto& [id, holder] : ids_) {
            if (holder.node == gone.node && holder.instance == gone.instance) {
              ids.emplace_back(id, holder.revision);
            }
          }
        }
        for (const auto& [id, revision] : ids) {
          if (cleanupStop_ || !up_.load()) break;
          if (RemoveIf(id, revision)) removedIds_.fetch_add(1, std::memory_order_relaxed);
        }
      }
      lock.lock();
    }
  }

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

Fleet::Fleet(FleetOptions options, FleetEvents& events)
    : impl_(std::make_unique<Impl>(std::move(options), events)) {}
Fleet::~Fleet() = default;
const std::string& Fleet::Node() const { return impl_->Node(); }
std::uint64_t Fleet::Instance() const { return impl_->Instance(); }
Millis Fleet::Lease() const { return impl_->Lease(); }
bool Fleet::Connected() const { return impl_->Connected(); }
std::size_t Fleet::MaxPayload() const { return impl_->MaxPayload(); }
std::optional<FleetPeer> Fleet::Peer(const std::string& node) const { return impl_->Peer(node); }
void Fleet::Suspect(const std::string& node) { impl_->Suspect(node); }
bool Fleet::Send(const std::string& node, std::string_view bytes) {
  return impl_->Send(node, bytes);
}
void Fleet::BroadcastRegistration(const std::string& address) {
  impl_->BroadcastRegistration(address);
}
void Fleet::Claim(ConnId conn, const std::string& id) { impl_->Claim(conn, id); }
void Fleet::Release(const std::string& id) { impl_->Release(id); }
void Fleet::Lookup(ConnId conn, const std::string& id) { impl_->Lookup(conn, id); }
void Fleet::Shutdown() { impl_->Shutdown(); }
FleetStats Fleet::Stats() const { return impl_->Stats(); }

}  // namespace ov::relay
