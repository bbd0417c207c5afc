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
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

namespace ov::relay {

// --- The NATS link ---------------------------------------------------------------------------

namespace {

constexpr const char* kHostsBucket = "kestrova-relay-hosts";
constexpr const char* kNodesBucket = "kestrova-relay-nodes";
// Subjects: kestrova.relay.node.NODE (a node's inbox), kestrova.relay.heartbeat.NODE and
// kestrova.relay.registrations.NODE (what NODE announces). Each node publishes only under its
// own name and to the inboxes, so that the NATS account can hold every node to that.
constexpr const char* kSubjectPrefix = "kestrova.relay.";
constexpr Millis kNodeLease = 10000;

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
    heartbeatThread_ = std::thread([this] { HeartbeatLoop(); });
  }

  ~Impl() { Shutdown(); }

  const std::string& Node() const { return o_.nodeName; }
  std::uint64_t Instance() const { return o_.instance; }
  Millis Lease() const { return lease_; }
  bool Connected() const { return up_.load(); }
  std::size_t MaxPayload() const { return maxPayload_ - fleet::kSealOverhead; }

  void Suspect(const std::string& node) {
    std::lock_guard lock(nodesMutex_);
    nodes_.erase(node);
  }

  std::optional<FleetPeer> Peer(const std::string& node) const {
    std::lock_guard lock(nodesMutex_);
    const auto it = nodes_.find(node);
    if (it == nodes_.end() || Now() - it->second.seen >= o_.nodeTimeout) return std::nullopt;
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

  void Claim(ConnId conn, const std::string& id) { Queue({Op::kClaim, conn, id}); }
  void Release(const std::string& id) { Queue({Op::kRelease, 0, id}); }
  void Lookup(ConnId conn, const std::string& id) { Queue({Op::kLookup, conn, id}); }

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
  // One registry thread: the operations on the IDs that hash to it, and the renewal of the
  // leases it holds.
  struct Registry {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<Op> ops;
    std::unordered_map<std::string, std::uint64_t> owned;  // ID -> revision of our entry
    bool busy = false;
    bool renewNow = false;
    bool draining = false;
    bool stop = false;
    std::thread thread;
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
    hostsKv_ = Bucket(kHostsBucket, o_.lease, hostsKv_);
    nodesKv_ = Bucket(kNodesBucket, kNodeLease, nodesKv_);
    kvStatus* status = nullptr;
    if (kvStore_Status(&status, hostsKv_) == NATS_OK) {
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

  void Subscribe() {
    natsStatus s = natsConnection_Subscribe(&inboxSub_, nc_, inbox_.c_str(), &Impl::OnInbox, this);
    // Memory is bounded by the sessions' credit, not by the client's pending limits, which would
    // drop messages.
    if (s == NATS_OK) s = natsSubscription_SetPendingLimits(inboxSub_, -1, -1);
    const std::string heartbeat = std::string(kSubjectPrefix) + "heartbeat.*";
    if (s == NATS_OK) {
      s = natsConnection_Subscribe(&heartbeatSub_, nc_, heartbeat.c_str(), &Impl::OnHeartbeat,
                                   this);
    }
    const std::string registrations = std::string(kSubjectPrefix) + "registrations.*";
    if (s == NATS_OK) {
      s = natsConnection_Subscribe(&registrationsSub_, nc_, registrations.c_str(),
                                   &Impl::OnRegistration, this);
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
    if (hostsKv_ != nullptr) kvStore_Destroy(hostsKv_);
    if (nodesKv_ != nullptr) kvStore_Destroy(nodesKv_);
    if (js_ != nullptr) jsCtx_Destroy(js_);
    if (nc_ != nullptr) natsConnection_Destroy(nc_);
    hostsKv_ = nodesKv_ = nullptr;
    js_ = nullptr;
    nc_ = nullptr;
    up_ = false;
  }

  // --- callbacks (the client's threads) ---

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
  // and dropped. `guard` belongs to the subscription (its callbacks run one at a time).
  std::optional<fleet::Message> Accept(natsMsg* msg, fleet::ReplayGuard& guard) {
    const char* subject = natsMsg_GetSubject(msg);
    const auto opened = fleet::Open(keys_.nats, subject != nullptr ? subject : "", Data(msg));
    auto m = opened ? fleet::Decode(opened->payload) : std::nullopt;
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
      if (const auto m = self->Accept(msg, self->inboxGuard_)) {
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
    const auto m = self->shutDown_.load() ? std::nullopt : self->Accept(msg, self->heartbeatGuard_);
    if (m) {
      const std::string from(m->from);
      if (m->kind == fleet::Kind::kBye) {
        bool known = false;
        {
          std::lock_guard lock(self->nodesMutex_);
          const auto it = self->nodes_.find(from);
          known = it != self->nodes_.end() && it->second.peer.instance == m->instance;
          if (known) self->nodes_.erase(it);
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
    const auto m =
        self->shutDown_.load() ? std::nullopt : self->Accept(msg, self->registrationsGuard_);
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
      Known& known = nodes_[node];
      known.seen = Now();
      known.peer = *announced;
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
        for (auto& r : registry_) {
          std::lock_guard rl(r->mutex);
          r->renewNow = true;
          r->wake.notify_all();
        }
      }
      if (up_.load()) {
        Publish(subject, bytes);
        if (Now() - lastNodeWrite >= kNodeLease / 3) {
          lastNodeWrite = Now();
          kvStore_PutString(nullptr, nodesKv_, o_.nodeName.c_str(), instance_.c_str());
        }
      }
      std::vector<std::string> lost;
      {
        std::lock_guard nl(nodesMutex_);
        const Millis now = Now();
        for (auto it = nodes_.begin(); it != nodes_.end();) {
          if (now - it->second.seen >= o_.nodeTimeout) {
            lost.push_back(it->first);
            it = nodes_.erase(it);
          } else {
            ++it;
          }
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

  Registry& RegistryFor(const std::string& id) {
    return *registry_[std::hash<std::string>{}(id) % registry_.size()];
  }

  // Never answers on the caller's thread (callers hold their own locks). The queue is bounded by
  // the callers: a connection has at most one claim or lookup outstanding.
  void Queue(Op op) {
    if (shutDown_.load()) return;
    Registry& r = RegistryFor(op.id);
    std::lock_guard lock(r.mutex);
    if (r.stop) return;
    r.ops.push_back(std::move(op));
    r.wake.notify_one();
  }

  void RegistryLoop(Registry& r) {
    const Millis renewEvery = std::max<Millis>(lease_ / 3, 100);
    Millis nextRenew = Now() + renewEvery;
    std::unique_lock lock(r.mutex);
    for (;;) {
      r.wake.wait_for(lock, std::chrono::milliseconds(std::max<Millis>(0, nextRenew - Now())),
                      [&] { return r.stop || !r.ops.empty() || r.renewNow; });
      if (r.stop) return;
      if (!r.ops.empty()) {
        Op op = std::move(r.ops.front());
        r.ops.pop_front();
        r.busy = true;
        lock.unlock();
        Run(r, op);
        lock.lock();
        r.busy = false;
        if (r.ops.empty()) r.idle.notify_all();
        continue;
      }
      if ((r.renewNow || Now() >= nextRenew) && !r.draining) {
        r.renewNow = false;
        nextRenew = Now() + renewEvery;
        std::vector<std::pair<std::string, std::uint64_t>> owned(r.owned.begin(), r.owned.end());
        lock.unlock();
        Renew(r, owned);
        lock.lock();
      } else if (Now() >= nextRenew) {
        nextRenew = Now() + renewEvery;
      }
    }
  }

  // Our entry for `id` as the registry holds it: its revision when it is ours, 0 when another
  // node's, nothing when there is none. Throws on a link failure.
  std::optional<std::uint64_t> Holder(const std::string& id) {
    kvEntry* e = nullptr;
    const natsStatus s = kvStore_Get(&e, hostsKv_, id.c_str());
    KvEntry entry(e);
    if (s == NATS_NOT_FOUND) return std::nullopt;
    if (s != NATS_OK) throw std::runtime_error(LastError(s));
    const char* value = kvEntry_ValueString(e);
    return value != nullptr && o_.nodeName == value ? kvEntry_Revision(e) : 0;
  }

  void Run(Registry& r, const Op& op) {
    switch (op.kind) {
      case Op::kClaim: {
        claims_.fetch_add(1, std::memory_order_relaxed);
        FleetResult result = FleetResult::kUnavailable;
        std::uint64_t revision = 0;
        if (up_.load()) {
          try {
            for (int attempt = 0; attempt < 2 && result == FleetResult::kUnavailable; ++attempt) {
              if (kvStore_CreateString(&revision, hostsKv_, op.id.c_str(),
                                       o_.nodeName.c_str()) == NATS_OK) {
                result = FleetResult::kOk;
              } else if (const auto holder = Holder(op.id)) {
                result = FleetResult::kTaken;
              }
              // No holder: the entry expired between the two calls; try once more.
            }
          } catch (const std::exception&) {
            result = FleetResult::kUnavailable;
          }
        }
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
        bool owned = false;
        {
          std::lock_guard lock(r.mutex);
          owned = r.owned.erase(op.id) > 0;
        }
        // When the purge does not get through, the lease ends the entry.
        if (owned && up_.load()) kvStore_Purge(hostsKv_, op.id.c_str(), nullptr);
        return;
      }
      case Op::kLookup: {
        lookups_.fetch_add(1, std::memory_order_relaxed);
        FleetResult result = FleetResult::kUnavailable;
        std::string node;
        if (up_.load()) {
          kvEntry* e = nullptr;
          const natsStatus s = kvStore_Get(&e, hostsKv_, op.id.c_str());
          KvEntry entry(e);
          if (s == NATS_OK) {
            const char* value = kvEntry_ValueString(e);
            node = value != nullptr ? value : "";
            // A host of this node would have been found without asking; an entry of a node that
            // is not alive names nobody who can answer.
            result = node != o_.nodeName && Alive(node) ? FleetResult::kOk : FleetResult::kUnknown;
          } else if (s == NATS_NOT_FOUND) {
            result = FleetResult::kUnknown;
          }
        }
        if (result == FleetResult::kUnknown) lookupsUnknown_.fetch_add(1);
        if (result == FleetResult::kUnavailable) lookupsUnavailable_.fetch_add(1);
        if (!shutDown_.load()) events_.OnLocated(op.conn, result, node);
        return;
      }
    }
  }

  void Renew(Registry& r, const std::vector<std::pair<std::string, std::uint64_t>>& owned) {
    for (const auto& [id, revision] : owned) {
      if (!up_.load() || shutDown_.load()) return;
      std::uint64_t next = 0;
      bool lost = false;
      if (kvStore_UpdateString(&next, hostsKv_, id.c_str(), o_.nodeName.c_str(), revision) !=
          NATS_OK) {
        try {
          std::optional<std::uint64_t> holder = Holder(id);
          if (!holder && kvStore_CreateString(&next, hostsKv_, id.c_str(),
                                              o_.nodeName.c_str()) == NATS_OK) {
            // The entry had expired (the link was down longer than the lease) and nobody took
            // it in between: it is ours again.
            holder = next;
          } else if (!holder) {
            holder = Holder(id);
          }
          if (!holder) continue;  // neither there nor creatable: a failing link, next round
          if (*holder == 0) {
            lost = true;  // another node holds it now
          } else {
            next = *holder;  // ours (a renewal whose answer was lost)
          }
        } catch (const std::exception&) {
          continue;
        }
      }
      {
        std::lock_guard lock(r.mutex);
        const auto it = r.owned.find(id);
        if (it == r.owned.end()) continue;  // released meanwhile
        if (lost) {
          r.owned.erase(it);
        } else {
          it->second = next;
        }
      }
      if (lost) {
        leasesLost_.fetch_add(1, std::memory_order_relaxed);
        events_.OnLeaseLost(id);
      }
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

  struct Known {
    Millis seen = 0;
    FleetPeer peer;
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
