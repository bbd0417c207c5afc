// The NATS link of a fleet node: the connection and its buckets, sealed messages, heartbeats and
// membership, shutdown and the counters (fleet_impl.h lists the files of Fleet::Impl).
#include "relay/fleet.h"

#include <nats/nats.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "relay/fleet_impl.h"
#include "relay/fleet_wire.h"

namespace ov::relay {

namespace {

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

}  // namespace

std::string Fleet::Impl::LastError(natsStatus status) {
  const char* text = nats_GetLastError(nullptr);
  std::string out = natsStatus_GetText(status);
  if (text != nullptr && *text != '\0') out += std::string(": ") + text;
  return out;
}

std::string Fleet::Impl::Hex(std::uint64_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (std::size_t i = 16; i-- > 0; value >>= 4) out[i] = digits[value & 15];
  return out;
}

Fleet::Impl::Impl(FleetOptions options, FleetEvents& events)
    : o_(std::move(options)), events_(events) {
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

// Not reached until its next heartbeat; whether that run is over its heartbeat still decides.
void Fleet::Impl::Suspect(const std::string& node) {
  std::lock_guard lock(nodesMutex_);
  if (const auto it = nodes_.find(node); it != nodes_.end()) it->second.suspected = true;
}

std::optional<FleetPeer> Fleet::Impl::Peer(const std::string& node) const {
  std::lock_guard lock(nodesMutex_);
  const auto it = nodes_.find(node);
  if (it == nodes_.end() || it->second.suspected || Now() - it->second.seen >= o_.nodeTimeout) {
    return std::nullopt;
  }
  return it->second.peer;
}

bool Fleet::Impl::Send(const std::string& node, std::string_view bytes) {
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

void Fleet::Impl::BroadcastRegistration(const std::string& address) {
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
natsStatus Fleet::Impl::Publish(const std::string& subject, std::string_view payload) {
  std::string sealed;
  std::lock_guard lock(publishMutex_);
  fleet::Seal(keys_.nats, subject, o_.instance, ++counter_, payload, sealed);
  return natsConnection_Publish(nc_, subject.c_str(), sealed.data(),
                                static_cast<int>(sealed.size()));
}

void Fleet::Impl::Shutdown() {
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

FleetStats Fleet::Impl::Stats() const {
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
  s.watchRetries = watchRetries_.load();
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

// --- setup ---

void Fleet::Impl::Connect() {
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
natsStatus Fleet::Impl::Credentials(natsOptions* opts) {
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
void Fleet::Impl::EnsureBuckets() {
  hostsKv_ = Bucket(kIdsBucket, 0, hostsKv_);
  nodesKv_ = Bucket(kNodesBucket, o_.lease, nodesKv_);
  kvStatus* status = nullptr;
  if (kvStore_Status(&status, nodesKv_) == NATS_OK) {
    lease_ = kvStatus_TTL(status) / 1000000;
    kvStatus_Destroy(status);
  }
  if (lease_ <= 0) lease_ = o_.lease;
}

kvStore* Fleet::Impl::Bucket(const char* name, Millis ttl, kvStore* existing) {
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
void Fleet::Impl::ClaimNodeName() {
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
natsStatus Fleet::Impl::Watched(natsStatus s, natsSubscription* const& sub) {
  if (s != NATS_OK) return s;
  s = natsSubscription_SetOnCompleteCB(sub, &Impl::OnSubscriptionDone, this);
  if (s == NATS_OK) {
    std::lock_guard lock(callbacksMutex_);
    ++liveSubscriptions_;
  }
  return s;
}

void Fleet::Impl::Subscribe() {
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

void Fleet::Impl::Close() {
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
void Fleet::Impl::WaitForCallbacks() {
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

void Fleet::Impl::OnSubscriptionDone(void* closure) {
  auto* self = static_cast<Impl*>(closure);
  std::lock_guard lock(self->callbacksMutex_);
  --self->liveSubscriptions_;
  self->callbacksDone_.notify_all();
}

void Fleet::Impl::OnClosed(natsConnection*, void* closure) {
  auto* self = static_cast<Impl*>(closure);
  std::lock_guard lock(self->callbacksMutex_);
  self->connectionClosed_ = true;
  self->callbacksDone_.notify_all();
}

void Fleet::Impl::OnDisconnected(natsConnection*, void* closure) {
  auto* self = static_cast<Impl*>(closure);
  if (self->shutDown_.load() || !self->up_.exchange(false)) return;
  self->events_.OnLinkChanged(false);
}

void Fleet::Impl::OnReconnected(natsConnection*, void* closure) {
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

void Fleet::Impl::OnAsyncError(natsConnection*, natsSubscription*, natsStatus err, void* closure) {
  auto* self = static_cast<Impl*>(closure);
  std::fprintf(stderr, "fleet: NATS error on node %s: %s\n", self->o_.nodeName.c_str(),
               natsStatus_GetText(err));
}

std::span<const std::uint8_t> Fleet::Impl::Data(natsMsg* msg) {
  return {reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg)),
          static_cast<std::size_t>(natsMsg_GetDataLength(msg))};
}

// The message in `msg` when it is sealed with the fleet's key for the subject it came on, new,
// well-formed, from another node, and of that node's running instance; otherwise it is counted
// and dropped. `guard` belongs to the subscription (its callbacks run one at a time). The
// message's views point into `plain`, its decrypted payload.
std::optional<fleet::Message> Fleet::Impl::Accept(natsMsg* msg, fleet::ReplayGuard& guard,
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
bool Fleet::Impl::SubjectOf(std::string_view subject, std::string_view from) const {
  if (subject == inbox_) return true;
  const auto dot = subject.rfind('.');
  return dot != std::string_view::npos && subject.substr(dot + 1) == from &&
         subject.rfind(std::string(kSubjectPrefix) + "node.", 0) != 0;
}

void Fleet::Impl::OnInbox(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
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
bool Fleet::Impl::CurrentInstance(const std::string& node, std::uint64_t instance) {
  std::lock_guard lock(nodesMutex_);
  const auto it = nodes_.find(node);
  if (it == nodes_.end()) return true;
  if (it->second.peer.instance != instance) return false;
  it->second.seen = Now();
  return true;
}

void Fleet::Impl::OnHeartbeat(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
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

void Fleet::Impl::OnRegistration(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
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
bool Fleet::Impl::Heard(const std::string& node, const FleetPeer* announced) {
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

// --- heartbeat, membership ---

void Fleet::Impl::HeartbeatLoop() {
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
