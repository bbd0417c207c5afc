// The registry of device IDs on a fleet node: claims, releases and lookups on their threads, the
// node's copy of the registry kept by a watch of the bucket, its audits and reloads, and the
// removal of the IDs of runs that are over (fleet_impl.h lists the files of Fleet::Impl).
//
// The watch is an ordered consumer of the bucket's stream of its own (rather than the client's
// key-value watcher), so that its subscription's pending limits and dropped count are in reach.
// It delivers the latest entry of every ID, then every change in order, unless the server skips
// some (a roll-up of a subject moves the NATS 2.9 server's consumers past changes not sent yet,
// which RemoveIf avoids but a node of another version may still do) or the client drops some
// (a slow reader). So the copy is audited against the stream whenever the watch pauses after
// skipped revisions (and every few seconds), and read again from the start when it holds another
// number of entries than the stream at the same revision, when it stalls behind the stream, or
// when the subscription dropped anything.

#include <nats/nats.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <thread>

#include "relay/fleet_impl.h"

namespace ov::relay {

namespace {

// How often an idle watch checks its copy against the registry's stream.
constexpr Millis kWatchAudit = 5000;
// The first and the longest wait before the watch starts again after a failed pass.
constexpr Millis kWatchRetryFirst = 250;
constexpr Millis kWatchRetryMost = 10000;

}  // namespace

// --- registry ---

std::string Fleet::Impl::GoneKey(const std::string& node, std::uint64_t instance) {
  return node + " " + Hex(instance);
}

// With nodesMutex_ held: that run of `node` is over; the one survivor that tidies up removes
// its IDs.
void Fleet::Impl::MarkGone(const std::string& node, std::uint64_t instance) {
  if (instance == 0) return;
  gone_[GoneKey(node, instance)] = Now();
  std::lock_guard lock(cleanupMutex_);
  cleanups_.push_back({node, instance, 0});
  cleanupWake_.notify_all();
}

// "NODE INSTANCE" as an entry holds it.
std::optional<Fleet::Impl::Holder> Fleet::Impl::ParseHolder(const char* value) {
  if (value == nullptr) return std::nullopt;
  return ParseHolder(std::string_view(value));
}

std::optional<Fleet::Impl::Holder> Fleet::Impl::ParseHolder(std::string_view text) {
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
bool Fleet::Impl::InstanceAlive(const std::string& node, std::uint64_t instance) {
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

Fleet::Impl::Registry& Fleet::Impl::RegistryFor(const std::string& id) {
  return *registry_[std::hash<std::string>{}(id) % registry_.size()];
}

// Never answers on the caller's thread (callers hold their own locks). The queue is bounded by
// the callers: a connection has at most one claim or lookup outstanding.
void Fleet::Impl::Queue(Registry& r, Op op) {
  if (shutDown_.load()) return;
  std::lock_guard lock(r.mutex);
  if (r.stop) return;
  r.ops.push_back(std::move(op));
  r.wake.notify_one();
}

void Fleet::Impl::RegistryLoop(Registry& r) {
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
FleetResult Fleet::Impl::ClaimId(const std::string& id, std::uint64_t& revision) {
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
bool Fleet::Impl::RemoveIf(const std::string& id, std::uint64_t revision) {
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

void Fleet::Impl::Run(Registry& r, const Op& op) {
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

// Passes that keep failing (NATS slow or away, the bucket gone) are not repeated at once: each
// restart after a failed pass waits, 250 ms the first time and twice as long each time after, up
// to 10 s, until a pass holds (its copy loaded and following the registry for an audit period).
// A pass that held and then has to read the registry again restarts at once, unless it failed.
void Fleet::Impl::WatchLoop() {
  // A test's pending limit holds for the first watch only: the one after a drop has none.
  int limit = o_.watchPendingLimit;
  Millis delay = 0;  // the last wait between passes since a pass held
  while (!watchStop_.load()) {
    restartWatch_ = false;
    if (!up_.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      continue;
    }
    Millis loadedAt = 0;
    const Reload why = WatchPass(limit, loadedAt);
    if (why == Reload::kNone) continue;  // stopped, or read again after a reconnection
    watchReloads_.fetch_add(1, std::memory_order_relaxed);
    if (why == Reload::kDropped) limit = 0;
    if (loadedAt != 0 && Now() - loadedAt >= kWatchAudit) {
      delay = 0;
      if (why != Reload::kError) continue;
    }
    delay = std::clamp<Millis>(delay * 2, kWatchRetryFirst, kWatchRetryMost);
    watchRetries_.fetch_add(1, std::memory_order_relaxed);
    // A reconnection ends the wait: the watch starts over on the new link at once.
    const Millis until = Now() + delay;
    while (!watchStop_.load() && !restartWatch_.load() && Now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<Millis>(50, until - Now())));
    }
  }
}

// One subscription of the watch: loads the copy, then follows the stream until it has to be
// read again (the reason) or is stopped (kNone). `loadedAt`: when the copy was whole (0: never).
Fleet::Impl::Reload Fleet::Impl::WatchPass(int limit, Millis& loadedAt) {
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
  // A test's pending limit stands for a slow reader with a bounded buffer: the client applies it
  // only from the moment it is set, so changes the server sent before then may sit in the queue
  // beyond it. Either way the reader is behind. The first read waits until it is (at most 5 s),
  // so the drop the test asks for happens however fast this thread is.
  const auto overrun = [&]() -> std::uint64_t {
    if (limit <= 0) return 0;
    int64_t dropped = 0;
    int queued = 0;
    natsSubscription_GetDropped(sub, &dropped);
    natsSubscription_GetPending(sub, &queued, nullptr);
    return static_cast<std::uint64_t>(std::max<int64_t>(0, dropped)) +
           static_cast<std::uint64_t>(std::max(0, queued - limit));
  };
  if (limit > 0 && loading) {
    const Millis until = Now() + 5000;
    while (Now() < until && !watchStop_.load() && overrun() == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  Copy initial;
  watchRevision_ = 0;
  if (!loading) {
    Loaded(initial);
    loadedAt = Now();
  }
  Reload why = Reload::kNone;
  std::uint64_t toLoad = 0, received = 0;
  std::uint64_t auditedAt = 0;  // the revision of the last audit that found the copy behind
  Millis nextAudit = Now() + kWatchAudit;
  while (why == Reload::kNone && !watchStop_.load() && !restartWatch_.load()) {
    natsMsg* msg = nullptr;
    s = natsSubscription_NextMsg(&msg, sub, 250);
    int64_t dropped = 0;
    natsSubscription_GetDropped(sub, &dropped);
    const std::uint64_t lost =
        limit > 0 ? overrun() : static_cast<std::uint64_t>(std::max<int64_t>(0, dropped));
    if (lost > 0) {
      watchDropped_.fetch_add(lost, std::memory_order_relaxed);
      std::fprintf(stderr,
                   "fleet: node %s: registry watch: %llu changes dropped (slow reader); "
                   "reading the registry again\n",
                   o_.nodeName.c_str(), static_cast<unsigned long long>(lost));
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
          loadedAt = Now();
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
void Fleet::Impl::Loaded(Copy& initial) {
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
Fleet::Impl::Reload Fleet::Impl::Audit(std::uint64_t& behindAt) {
  jsStreamInfo* si = nullptr;
  jsErrCode jerr = static_cast<jsErrCode>(0);
  const std::string stream = std::string("KV_") + kIdsBucket;
  if (js_GetStreamInfo(&si, js_, stream.c_str(), nullptr, &jerr) != NATS_OK) {
    // Unanswered (NATS slow): the next audit asks again. Gone (the bucket was deleted, or the
    // server lost it): the copy holds a registry that is no more, and is read again.
    if (jerr != JSStreamNotFoundErr) return Reload::kNone;
    std::fprintf(stderr, "fleet: node %s: the registry's stream is gone; reading it again\n",
                 o_.nodeName.c_str());
    return Reload::kError;
  }
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
bool Fleet::Impl::Apply(natsMsg* msg, Copy* into, std::uint64_t& pending) {
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
void Fleet::Impl::Set(std::unordered_map<std::string, Holder>& ids,
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
void Fleet::Impl::Lose(const std::string& id, std::uint64_t revision) {
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
void Fleet::Impl::CheckOwned() {
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
void Fleet::Impl::CleanUpOverRuns() {
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
void Fleet::Impl::CleanupLoop() {
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

}  // namespace ov::relay
