// Server and the core of Server::Impl (server_impl.h): construction, the worker threads and their
// tick, the log, and the glue between the connections and the matcher, whose actions it hands to
// the sessions in the matcher's order.
#include "relay/server.h"

#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "relay/server_impl.h"
#include "relay/tls_context.h"

namespace ov::relay {

namespace {

constexpr auto kTickPeriod = std::chrono::milliseconds(200);

std::string RandomRequestId() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("random source failed");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(32, '0');
  for (std::size_t i = 0; i < 16; ++i) {
    out[2 * i] = kHex[bytes[i] >> 4];
    out[2 * i + 1] = kHex[bytes[i] & 15];
  }
  return out;
}

net::ip::address ListenAddress(const std::string& host) {
  if (host == "localhost") return net::ip::make_address("127.0.0.1");
  error_code ec;
  auto address = net::ip::make_address(host, ec);
  if (ec) throw std::invalid_argument("listen address is not an IP address: " + host);
  return address;
}

MatcherConfig MatcherConfigOf(const ServerOptions& options) {
  MatcherConfig config = options.matcher;
  config.fleet = !options.fleet.url.empty();
  return config;
}
PrefixLimits PrefixLimitsOf(const ServerOptions& options) {
  PrefixLimits limits = options.prefixes;
  limits.perAddress = options.matcher.maxConnectionsPerAddress;
  return limits;
}
AsyncLogOptions LogOptionsOf(const ServerOptions& options) {
  AsyncLogOptions log;
  log.verbose = !options.quiet;
  return log;
}

}  // namespace

void ValidateOptions(const ServerOptions& options) {
  if (options.tlsCert.empty() != options.tlsKey.empty()) {
    throw std::invalid_argument("--tls-cert and --tls-key must be given together");
  }
  const net::ip::address address = ListenAddress(options.listenHost);
  if (options.tlsCert.empty() && !address.is_loopback()) {
    throw std::invalid_argument(
        "refusing to serve ws:// and http:// on a non-loopback address; give --tls-cert and "
        "--tls-key, or listen on 127.0.0.1");
  }
  if (!options.updateDir.empty() && !std::filesystem::is_directory(options.updateDir)) {
    throw std::invalid_argument("update folder not found: " + options.updateDir);
  }
  if (options.queueMessages == 0 || options.queueBytes == 0) {
    throw std::invalid_argument("queue bounds must be positive");
  }
}

Server::Impl::Impl(ServerOptions options)
    : log_(LogOptionsOf(options)),
      options_(std::move(options)),
      prefixes_(PrefixLimitsOf(options_)),
      matcher_(MatcherConfigOf(options_), RandomRequestId,
               [this](const std::string& line) { Log(line); }) {
  ValidateOptions(options_);
  const std::size_t threads = options_.threads == 0 ? 1 : options_.threads;
  // One thread: Asio's single-thread fast paths. More: every post lands in the target's
  // queue in the order it was made, which the ordering of messages below relies on.
  const int hint = threads == 1 ? 1 : BOOST_ASIO_CONCURRENCY_HINT_SAFE;
  for (std::size_t i = 0; i < threads; ++i) {
    workers_.push_back(std::make_unique<Worker>(i, hint));
  }
  if (!options_.tlsCert.empty()) tls_ = MakeTlsContext(options_.tlsCert, options_.tlsKey);
  if (!options_.webDir.empty()) webFiles_.emplace(options_.webDir);
  memoryBudget_ = options_.memoryBudget == 0 ? DefaultMemoryBudget() : options_.memoryBudget;
  prefixBudget_ = options_.prefixMemoryBudget != 0
                      ? options_.prefixMemoryBudget
                      : std::max(memoryBudget_ / 16, 4 * options_.queueBytes);
  const tcp::endpoint endpoint(ListenAddress(options_.listenHost), options_.port);
  acceptor_.emplace(workers_[0]->ioc);
  acceptor_->open(endpoint.protocol());
  acceptor_->set_option(net::socket_base::reuse_address(true));
  acceptor_->bind(endpoint);
  acceptor_->listen(net::socket_base::max_listen_connections);
  port_ = acceptor_->local_endpoint().port();
  if (!options_.fleet.url.empty()) {
    FleetOptions fleet = options_.fleet;
    while (fleet.instance == 0) fleet.instance = fleet::RandomU64();
    if (!fleet.advertise.empty()) {
      nodeLinks_ = std::make_unique<NodeLinks>(fleet.advertise, fleet.nodeName, fleet.instance,
                                               fleet::DeriveKeys(fleet.secret), *this);
      fleet.advertise = nodeLinks_->Address();
    }
    fleet_ = std::make_unique<Fleet>(fleet, *this);
  }
}

Server::Impl::~Impl() {
  // No fleet event may arrive once the sessions are going.
  if (fleet_) fleet_->Shutdown();
  if (nodeLinks_) nodeLinks_->Stop();
  // Every worker has stopped. Sessions refer to each other across workers; those references
  // go first, while every io_context still exists, then each worker's own sessions, then the
  // workers in order (the first one's acceptor may hold a socket of a later one).
  peers_.clear();
  remote_.clear();
  links_.clear();
  acceptor_.reset();
  signals_.reset();
  grace_.reset();
  drainTimer_.reset();
  for (auto& worker : workers_) {
    for (auto& [id, session] : worker->sessions) session->Release();
  }
  for (auto& worker : workers_) worker->sessions.clear();
  for (auto& worker : workers_) worker.reset();
}

void Server::Impl::Run() {
  const bool v6 = options_.listenHost.find(':') != std::string::npos;
  const std::string threads =
      workers_.size() == 1 ? "" : ", " + std::to_string(workers_.size()) + " threads";
  const std::string fleet =
      fleet_ ? ", fleet node " + fleet_->Node() + " (lease " +
                   std::to_string(fleet_->Lease() / 1000) + " s" +
                   (nodeLinks_ ? ", node links on " + nodeLinks_->Address() : "") + ")"
             : "";
  Notice(std::string("listening on ") + (Secure() ? "https" : "http") + "://" + (v6 ? "[" : "") +
         options_.listenHost + (v6 ? "]" : "") + ":" + std::to_string(port_) +
         (Secure() ? " (TLS)" : " (loopback, no TLS)") + threads + fleet);
  Worker& first = *workers_[0];
  if (options_.handleSignals) {
    signals_.emplace(first.ioc, SIGINT, SIGTERM, SIGHUP);
    AwaitSignal();
  }
  Accept();
  for (auto& worker : workers_) ScheduleTick(*worker);
  for (std::size_t i = 1; i < workers_.size(); ++i) {
    Worker& w = *workers_[i];
    w.thread = std::thread([&w] { w.ioc.run(); });
  }
  first.ioc.run();
  for (std::size_t i = 1; i < workers_.size(); ++i) workers_[i]->thread.join();
  if (fleet_) fleet_->Shutdown();
  if (nodeLinks_) nodeLinks_->Stop();
  Notice("stopped");
  log_.Flush();
}

void Server::Impl::Log(const std::string& line) {
  std::string_view kind = "other";
  if (const auto at = line.find("event="); at != std::string::npos) {
    const std::size_t from = at + 6;
    kind = std::string_view(line).substr(from, line.find(' ', from) - from);
  }
  std::string refusal;
  if (kind == "error") {
    if (const auto at = line.find("code="); at != std::string::npos) {
      refusal = "refusal." + line.substr(at + 5, line.find(' ', at) - at - 5);
      kind = refusal;
    }
  }
  static constexpr std::string_view kRoutine[] = {
      "open", "closed", "registered", "request", "paired", "peerDisconnected", "http",
      "handoff", "stale", "refused", "lease-lost"};
  if (std::find(std::begin(kRoutine), std::end(kRoutine), kind) != std::end(kRoutine)) {
    log_.Detail(kind, line);
  } else {
    log_.Event(kind, line);
  }
}

void Server::Impl::HttpStarted() {
  std::lock_guard lock(mutex_);
  ++openHttp_;
}

void Server::Impl::HttpEnded() {
  std::lock_guard lock(mutex_);
  --openHttp_;
  MaybeFinishStop();
}

bool Server::Impl::PeerOpened(const std::shared_ptr<Peer>& peer, const std::string& address) {
  std::lock_guard lock(mutex_);
  peers_.emplace(peer->Id(), peer);
  bool open = Apply(matcher_.Open(peer->Id(), address, NowMs()), peer->Id());
  if (stopping_) {
    Post(*peer, [peer] { peer->CloseAfterDrain(ws::close_code::kGoingAway); });
    open = false;
  }
  return open;
}

bool Server::Impl::PeerText(ConnId id, std::string_view text) {
  // Parsed before the lock: the lock covers only the matcher's state change.
  const ParsedText parsed = Matcher::Parse(text);
  std::lock_guard lock(mutex_);
  if (const auto remote = remote_.find(id); remote != remote_.end()) {
    ForwardText(*remote->second, text);
    return true;
  }
  return Apply(matcher_.Text(id, parsed, NowMs()), id);
}

void Server::Impl::PeerOversize(ConnId id, bool text) {
  std::lock_guard lock(mutex_);
  Apply(matcher_.Oversize(id, text), id);
}

std::shared_ptr<Peer> Server::Impl::PeerBinary(ConnId id, std::size_t size, bool& open) {
  std::lock_guard lock(mutex_);
  if (const auto remote = remote_.find(id); remote != remote_.end()) return RemoteAsPeer(id);
  Actions actions;
  const std::optional<ConnId> partner = matcher_.Binary(id, size, actions);
  open = Apply(std::move(actions), id);
  if (!partner) return nullptr;
  const auto it = peers_.find(*partner);
  return it == peers_.end() ? nullptr : it->second;
}

BinaryStart Server::Impl::PeerBinaryHeader(ConnId id, std::shared_ptr<Peer>& partner) {
  std::lock_guard lock(mutex_);
  if (remote_.contains(id)) {
    partner = RemoteAsPeer(id);
    return BinaryStart::kRead;
  }
  Actions actions;
  const BinaryStart start = matcher_.BinaryHeader(id, actions);
  Apply(std::move(actions), id);
  if (start == BinaryStart::kRead) {
    if (const auto other = matcher_.PartnerOf(id)) {
      if (const auto it = peers_.find(*other); it != peers_.end()) partner = it->second;
    }
  }
  return start;
}

void Server::Impl::PeerEnded(ConnId id) {
  std::lock_guard lock(mutex_);
  if (peers_.erase(id) == 0) return;
  if (const auto remote = remote_.find(id); remote != remote_.end()) {
    ViewerEnded(remote->second);
    remote_.erase(remote);
  }
  Apply(matcher_.Closed(id), id);
  MaybeFinishStop();
}

void Server::Impl::ScheduleTick(Worker& worker) {
  worker.tick.expires_after(kTickPeriod);
  worker.tick.async_wait([this, &worker](const error_code& ec) {
    if (ec) return;
    if (!stopping_) {
      const Millis now = NowMs();
      if (worker.index == 0) {
        {
          std::lock_guard lock(mutex_);
          Apply(matcher_.Tick(now), 0);
        }
        prefixes_.Prune(now);
        PrunePrefixQueues();
        if (roomWaiting_.load(std::memory_order_relaxed)) WakeRoomWaiters();
        CheckDrained();
      }
      std::vector<std::shared_ptr<Peer>> all;
      all.reserve(worker.sessions.size());
      for (auto& [id, peer] : worker.sessions) all.push_back(peer);
      for (auto& peer : all) peer->Check(now, options_.idleTimeout, options_.writeTimeout);
    }
    ScheduleTick(worker);  // until the workers stop: it also keeps an idle worker running
  });
}

bool Server::Impl::Apply(Actions actions, ConnId self) {
  bool open = true;
  for (Action& action : actions) {
    // The registry's bookkeeping outlives the connection it was for.
    if (action.kind == Action::Kind::kRelease) {
      fleet_->Release(action.text);
      continue;
    }
    const auto it = peers_.find(action.conn);
    if (it == peers_.end()) continue;
    const std::shared_ptr<Peer>& peer = it->second;
    switch (action.kind) {
      case Action::Kind::kSendText:
        Post(*peer, [peer, text = std::move(action.text)]() mutable {
          OutMessage message;
          message.text = std::move(text);
          peer->Enqueue(std::move(message));
        });
        break;
      case Action::Kind::kClose:
        if (action.conn == self) open = false;
        Post(*peer, [peer, code = action.closeCode] { peer->CloseAfterDrain(code); });
        break;
      case Action::Kind::kClaim:
        fleet_->Claim(action.conn, action.text);
        break;
      case Action::Kind::kRelease:
        fleet_->Release(action.text);
        break;
      case Action::Kind::kLookup:
        fleet_->Lookup(action.conn, action.text);
        break;
      case Action::Kind::kRegistration:
        fleet_->BroadcastRegistration(action.text);
        break;
      case Action::Kind::kHandOff:
        HandOff(peer, action.node, action.text);
        break;
      case Action::Kind::kRoute: {
        // Weak: a queued task must not keep a session of another worker alive.
        std::weak_ptr<Peer> partner;
        if (const auto p = peers_.find(action.partner); p != peers_.end()) partner = p->second;
        Post(*peer, [peer, partner] { peer->Route(partner.lock()); });
        break;
      }
    }
  }
  return open;
}

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Server::~Server() = default;
std::uint16_t Server::Port() const { return impl_->Port(); }
bool Server::Secure() const { return impl_->Secure(); }
void Server::Run() { impl_->Run(); }
void Server::Stop() { impl_->Stop(); }
void Server::Drain() { impl_->Drain(); }
std::string Server::ReloadTls() { return impl_->ReloadTls(); }

}  // namespace ov::relay
