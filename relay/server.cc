#include "relay/server.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <filesystem>
#include <stdexcept>
#include <atomic>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "relay/connection.h"
#include "relay/http_session.h"
#include "relay/log.h"
#include "relay/metrics.h"
#include "relay/node_link.h"
#include "relay/remote_peer.h"
#include "relay/tls_socket.h"
#include "relay/update_files.h"
#include "relay/web_files.h"
#include "relay/ws_frame.h"
#include "relay/ws_session.h"

namespace ov::relay {

using detail::GiveChunk;
using detail::HttpAnswer;
using detail::HttpSession;
using detail::OutMessage;
using detail::Peer;
using detail::PlainSocket;
using detail::RemotePeer;
using detail::TakeChunk;
using detail::Waiter;
using detail::Worker;
using detail::WsSession;

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using error_code = beast::error_code;
using detail::Executor;
using detail::NowMs;
using detail::Socket;
using detail::kServerName;
using Acceptor = net::basic_socket_acceptor<tcp, Executor>;

// Sockets accepted beyond the connection bound are closed at once, without a word.
constexpr std::size_t kRefusalHeadroom = 256;
constexpr auto kTickPeriod = std::chrono::milliseconds(200);
constexpr auto kStopGrace = std::chrono::milliseconds(1500);

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

// TLS 1.3, and TLS 1.2 with forward secrecy and AEAD suites only (the intermediate profile of
// common server guidance, without finite-field DH).
// TLS 1.3: AES-128-GCM first. Where AES has hardware support it is the fastest AEAD, and it
// is as secure as its longer-keyed sibling for this use; a client that puts ChaCha20 first
// (one without AES instructions) gets ChaCha20.
constexpr const char* kTls13Suites =
    "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";
constexpr std::size_t kTlsReadBufferBytes = 4 * (16384 + 256);
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// A server context with the certificate chain and key of these files. Throws on any failure.
std::shared_ptr<ssl::context> MakeTlsContext(const std::string& cert, const std::string& key) {
  auto tls = std::make_shared<ssl::context>(ssl::context::tls_server);
  tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                   ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                   ssl::context::single_dh_use);
  SSL_CTX* ctx = tls->native_handle();
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1 ||
      SSL_CTX_set_ciphersuites(ctx, kTls13Suites) != 1 ||
      SSL_CTX_set1_groups_list(ctx, "X25519:P-256:P-384") != 1) {
    throw std::runtime_error("TLS settings refused by OpenSSL");
  }
  tls->use_certificate_chain_file(cert);
  tls->use_private_key_file(key, ssl::context::pem);
  if (SSL_CTX_check_private_key(ctx) != 1) {
    throw std::invalid_argument("the TLS key does not belong to the certificate");
  }
  // No server-side session cache: it would keep a session per handshake for minutes. Clients
  // resume with stateless tickets, which cost the server no memory.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_PRIORITIZE_CHACHA);
  // A busy connection reads up to four full records in one system call (read-ahead fills the
  // whole buffer); an idle one holds no buffer at all (released while nothing is in flight).
  SSL_CTX_set_default_read_buffer_len(ctx, kTlsReadBufferBytes);
  return tls;
}

net::ip::address ListenAddress(const std::string& host) {
  if (host == "localhost") return net::ip::make_address("127.0.0.1");
  error_code ec;
  auto address = net::ip::make_address(host, ec);
  if (ec) throw std::invalid_argument("listen address is not an IP address: " + host);
  return address;
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

std::string AddressKey(const net::ip::address& address) {
  if (address.is_v4()) return address.to_v4().to_string();
  const net::ip::address_v6 v6 = address.to_v6();
  if (v6.is_v4_mapped()) return net::ip::make_address_v4(net::ip::v4_mapped, v6).to_string();
  net::ip::address_v6::bytes_type bytes = v6.to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return net::ip::address_v6(bytes).to_string() + "/64";
}

std::size_t DefaultMemoryBudget() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGE_SIZE);
  constexpr std::size_t kMost = std::size_t{1} << 30;
  if (pages <= 0 || pageSize <= 0) return kMost / 4;
  return std::min(kMost, static_cast<std::size_t>(pages) * static_cast<std::size_t>(pageSize) / 4);
}

namespace {
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

class Server::Impl final : public FleetEvents, public NodeLinks::Events, public detail::HttpOwner {
 public:
  explicit Impl(ServerOptions options)
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

  ~Impl() override {
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

  std::uint16_t Port() const { return port_; }
  bool Secure() const override { return !options_.tlsCert.empty(); }
  bool Draining() const override { return draining_.load(); }
  bool ServesWeb() const override { return webFiles_.has_value(); }

  // Bytes queued for writing relay-wide, kept by each connection as its queue grows and shrinks.
  void Queued(std::ptrdiff_t bytes) override {
    const std::size_t before =
        queuedBytes_.fetch_add(static_cast<std::size_t>(bytes), std::memory_order_relaxed);
    // Crossing under three quarters of the budget frees the senders it held.
    const std::size_t mark = memoryBudget_ / 4 * 3;
    if (bytes < 0 && before >= mark && before - static_cast<std::size_t>(-bytes) < mark &&
        roomWaiting_.load(std::memory_order_relaxed)) {
      WakeRoomWaiters();
    }
  }
  // The count of bytes queued for the connections of one address (IPv4) or IPv6 /64, shared by
  // them: a slow reader's share of the budget is its address's, not everyone's.
  std::shared_ptr<std::atomic<std::size_t>> PrefixQueue(const std::string& address) override {
    std::lock_guard lock(prefixQueuesMutex_);
    auto& slot = prefixQueues_[address];
    auto counter = slot.lock();
    if (!counter) {
      counter = std::make_shared<std::atomic<std::size_t>>(0);
      slot = counter;
    }
    return counter;
  }
  std::size_t PrefixBudgetBytes() const override { return prefixBudget_; }
  // First worker's tick: forgets the counts no connection holds any more.
  void PrunePrefixQueues() {
    std::lock_guard lock(prefixQueuesMutex_);
    std::erase_if(prefixQueues_, [](const auto& entry) { return entry.second.expired(); });
  }
  void WaitForRoom(Waiter waiter) override {
    std::lock_guard lock(roomMutex_);
    roomWaiters_.push_back(waiter);
    roomWaiting_.store(true, std::memory_order_relaxed);
  }
  // Every sender held for room checks again on its own thread (and waits again if it must).
  void WakeRoomWaiters() {
    std::vector<Waiter> waiters;
    {
      std::lock_guard lock(roomMutex_);
      waiters.swap(roomWaiters_);
      roomWaiting_.store(false, std::memory_order_relaxed);
    }
    for (const Waiter& waiter : waiters) {
      net::post(waiter.worker->ioc, [worker = waiter.worker, id = waiter.id] {
        const auto it = worker->sessions.find(id);
        if (it != worker->sessions.end()) it->second->ResumeForRoom();
      });
    }
  }
  // Over the process-wide budget: every sender waits after its current message or piece.
  bool OverBudget() const override {
    return queuedBytes_.load(std::memory_order_relaxed) >= memoryBudget_;
  }

  std::string ReloadTls() {
    if (options_.tlsCert.empty()) return "no TLS to reload";
    try {
      auto fresh = MakeTlsContext(options_.tlsCert, options_.tlsKey);
      std::lock_guard lock(tlsMutex_);
      tls_ = std::move(fresh);
    } catch (const std::exception& e) {
      const std::string why = e.what();
      Notice("event=tls-reload-failed error=\"" + why + "\" (the certificate in use stays)");
      return why.empty() ? "failed" : why;
    }
    Notice("event=tls-reloaded cert=" + options_.tlsCert);
    return {};
  }

  void Drain() {
    net::post(workers_[0]->ioc, [this] { BeginDrain(); });
  }

  void Run() {
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

  void Stop() {
    net::post(workers_[0]->ioc, [this] { DoStop(); });
  }

  // --- used by the sessions (from any worker) -------------------------------------------------

  const ServerOptions& Options() const override { return options_; }
  bool Stopping() const override { return stopping_.load(); }

  // A per-connection line "conn=... event=KIND ...": counted by kind; routine kinds are written
  // only when the log is verbose, the others (refusals, errors, timeouts) always, both in bursts
  // with a count per window. Never waits on the log's output.
  void Log(const std::string& line) override {
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
  // Start, stop, reload, drain: always written.
  void Notice(const std::string& line) { log_.Notice(line); }
  AsyncLog& LogOut() { return log_; }

  ConnId NextId() override { return ++lastId_; }

  void HttpStarted() override {
    std::lock_guard lock(mutex_);
    ++openHttp_;
  }
  // A connection counted against `address` at accept has ended (the HTTP phase that did not
  // upgrade, or the WebSocket session it became).
  void AddressEnded(const net::ip::address& address) override { prefixes_.Close(address); }
  void HttpEnded() override {
    std::lock_guard lock(mutex_);
    --openHttp_;
    MaybeFinishStop();
  }
  void CountHttp(unsigned status) {
    std::lock_guard lock(mutex_);
    ++httpResponses_[status];
  }

  // The matching calls below return false when the calling connection was just told to close:
  // it reads nothing more, and its close follows through its own queue.
  bool PeerOpened(const std::shared_ptr<Peer>& peer, const std::string& address) override {
    std::lock_guard lock(mutex_);
    peers_.emplace(peer->Id(), peer);
    bool open = Apply(matcher_.Open(peer->Id(), address, NowMs()), peer->Id());
    if (stopping_) {
      Post(*peer, [peer] { peer->CloseAfterDrain(ws::close_code::kGoingAway); });
      open = false;
    }
    return open;
  }

  bool PeerText(ConnId id, std::string_view text) override {
    // Parsed before the lock: the lock covers only the matcher's state change.
    const ParsedText parsed = Matcher::Parse(text);
    std::lock_guard lock(mutex_);
    if (const auto remote = remote_.find(id); remote != remote_.end()) {
      ForwardText(*remote->second, text);
      return true;
    }
    return Apply(matcher_.Text(id, parsed, NowMs()), id);
  }

  void PeerOversize(ConnId id, bool text) override {
    std::lock_guard lock(mutex_);
    Apply(matcher_.Oversize(id, text), id);
  }

  // A whole binary message of a link that has no route (the host's node of a session across
  // nodes): the partner it goes to, if any. `open` turns false when the sender was refused.
  std::shared_ptr<Peer> PeerBinary(ConnId id, std::size_t size, bool& open) override {
    std::lock_guard lock(mutex_);
    if (const auto remote = remote_.find(id); remote != remote_.end()) return RemoteAsPeer(id);
    Actions actions;
    const std::optional<ConnId> partner = matcher_.Binary(id, size, actions);
    open = Apply(std::move(actions), id);
    if (!partner) return nullptr;
    const auto it = peers_.find(*partner);
    return it == peers_.end() ? nullptr : it->second;
  }

  // The first frame header of a binary message of a connection that has no route: whether to
  // read the message (then `partner` is where it goes), skip it unread, or stop reading (the
  // sender was refused).
  BinaryStart PeerBinaryHeader(ConnId id, std::shared_ptr<Peer>& partner) override {
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

  void PeerEnded(ConnId id) override {
    std::lock_guard lock(mutex_);
    if (peers_.erase(id) == 0) return;
    if (const auto remote = remote_.find(id); remote != remote_.end()) {
      ViewerEnded(remote->second);
      remote_.erase(remote);
    }
    Apply(matcher_.Closed(id), id);
    MaybeFinishStop();
  }

  // Runs `task` on the session's own executor, after everything handed to it before.
  template <class Task>
  static void Post(Peer& peer, Task&& task) {
    net::post(peer.GetExecutor(), std::forward<Task>(task));
  }

  // --- HTTP ----------------------------------------------------------------------------------

  // Builds the answer to a plain HTTP request. Returns a file response when a download is
  // served, a string response otherwise (in `text`).
  HttpAnswer Respond(const http::request<http::empty_body>& request) override {
    HttpAnswer answer;
    bool cacheControl = true;  // the page's files bring their own
    const std::string_view target(request.target().data(), request.target().size());
    const unsigned version = request.version();
    auto plain = [&](http::status status, std::string body,
                     std::string_view type = "text/plain; charset=utf-8") {
      http::response<http::string_body> res{status, version};
      res.set(http::field::content_type, type);
      res.body() = std::move(body);
      return res;
    };

    if (request.method() != http::verb::get && request.method() != http::verb::head) {
      answer.text = plain(http::status::method_not_allowed, "method not allowed\n");
      answer.text.set(http::field::allow, "GET, HEAD");
    } else if (target == "/healthz") {
      if (draining_) {
        // A load balancer sends new clients elsewhere while the sessions here finish.
        answer.text = plain(http::status::service_unavailable, "draining\n");
      } else if (!fleet_) {
        answer.text = plain(http::status::ok, "ok\n");
      } else if (fleet_->Connected()) {
        answer.text = plain(http::status::ok, "ok\nnats connected, node " + fleet_->Node() + ", " +
                                                  std::to_string(fleet_->Stats().nodes) +
                                                  " nodes\n");
      } else {
        // A load balancer takes the node out while it cannot reach the fleet.
        answer.text = plain(http::status::service_unavailable,
                            "nats disconnected, node " + fleet_->Node() + "\n");
      }
    } else if (const auto page = webFiles_ ? webFiles_->Find(target) : std::nullopt) {
      const auto host = request.find(http::field::host);
      if (host == request.end() || !IsValidHost(host->value())) {
        answer.text = plain(http::status::bad_request, "bad Host\n");
      } else {
        answer.text = plain(http::status::ok, std::string(page->body), page->contentType);
        for (const WebHeader& header : page->headers) answer.text.set(header.name, header.value);
        answer.text.set("Content-Security-Policy", ContentSecurityPolicy(host->value()));
        cacheControl = false;
      }
    } else if (target == "/metrics") {
      answer.text = plain(http::status::ok, Metrics(), "text/plain; version=0.0.4; charset=utf-8");
    } else if (target == "/ws") {
      answer.text = plain(http::status::upgrade_required, "WebSocket upgrade required\n");
      answer.text.set(http::field::upgrade, "websocket");
    } else if (auto file = ResolveDownload(target); file && !options_.updateDir.empty()) {
      const std::filesystem::path path =
          std::filesystem::path(options_.updateDir) / file->relativePath;
      http::file_body::value_type body;
      error_code ec;
      struct stat info {};
      if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        body.open(path.c_str(), beast::file_mode::scan, ec);
      } else {
        ec = make_error_code(boost::system::errc::no_such_file_or_directory);
      }
      if (ec) {
        answer.text = plain(http::status::not_found, "not found\n");
      } else {
        answer.file.emplace(std::piecewise_construct, std::make_tuple(std::move(body)),
                            std::make_tuple(http::status::ok, version));
        answer.file->set(http::field::content_type, file->contentType);
      }
    } else {
      answer.text = plain(http::status::not_found, "not found\n");
    }

    auto finish = [&](auto& res) {
      res.set(http::field::server, kServerName);
      if (cacheControl) res.set(http::field::cache_control, "no-cache");
      res.set("X-Content-Type-Options", "nosniff");
      res.keep_alive(false);
      res.prepare_payload();
    };
    answer.headOnly = request.method() == http::verb::head;
    if (answer.file) {
      finish(*answer.file);
      CountHttp(200);
    } else {
      finish(answer.text);
      CountHttp(static_cast<unsigned>(answer.text.result_int()));
    }
    return answer;
  }

  std::string Metrics() {
    MetricsSnapshot m;
    {
      std::lock_guard lock(mutex_);
      m.matcher = matcher_.Stats();
      m.openHttp = openHttp_;
      m.httpResponses = httpResponses_;
    }
    for (const auto& worker : workers_) {
      m.matcher.forwardedMessages += worker->forwardedMessages.load(std::memory_order_relaxed);
      m.matcher.forwardedBytes += worker->forwardedBytes.load(std::memory_order_relaxed);
    }
    m.accepted = acceptedTotal_.load();
    m.acceptOverflow = acceptOverflow_.load();
    m.addressOverflow = addressOverflow_.load();
    m.proxyRefused = proxyRefused_.load();
    m.queuedBytes = queuedBytes_.load();
    m.memoryBudget = memoryBudget_;
    m.trackedPrefixes = prefixes_.Tracked();
    m.draining = draining_;
    m.logEvents = log_.EventCounts();
    m.logDropped = log_.Dropped();
    if (fleet_) m.fleet = fleet_->Stats();
    return FormatMetrics(m);
  }

 private:
  // --- fleet (defined after RemotePeer) ---
 public:
  void OnFleetMessage(const fleet::Message& message) override;
  void OnClaimed(ConnId conn, const std::string& id, FleetResult result) override;
  void OnLocated(ConnId conn, FleetResult result, const std::string& node) override;
  void OnLeaseLost(const std::string& id) override;
  void OnRemoteRegistration(const std::string& address) override;
  void OnNodeLost(const std::string& node) override;
  void OnLinkChanged(bool up) override;
  bool LinkPeerValid(const std::string& node, std::uint64_t instance) override;
  void OnLinkMessage(const fleet::Message& message) override { OnFleetMessage(message); }
  void OnLinkDown(const std::string& node) override;
  Fleet& FleetLink() { return *fleet_; }
  const std::string& NodeName() const override { return fleet_->Node(); }
  // One encoded message to `node`: on the direct link when it announces one, else through NATS.
  bool SendToNode(const std::string& node, std::string message) override;
  // The largest piece of a binary message one message to `node` carries.
  std::size_t ChunkFor(const std::string& node) const override {
    if (nodeLinks_) {
      const auto peer = fleet_->Peer(node);
      if (peer && !peer->advertise.empty()) return kBinaryLimit;
    }
    return fleet_->MaxPayload() - fleet::kHeaderMax;
  }
  Worker& WorkerOf(const Executor& executor);
  // A link of a session across nodes is gone (from its own executor).
  void LinkEnded(const std::string& key) override;

 private:
  // A session across nodes: the other node, its instance, and the session's random key.
  static std::string LinkKey(std::string_view node, std::uint64_t instance, std::uint64_t key) {
    return std::string(node) + "/" + std::to_string(instance) + "/" + std::to_string(key);
  }
  // With the lock held.
  void HandOff(const std::shared_ptr<Peer>& viewer, const std::string& node,
               const std::string& registration);
  void ForwardText(RemotePeer& link, std::string_view text);
  void ViewerEnded(const std::shared_ptr<RemotePeer>& link);
  std::shared_ptr<Peer> RemoteAsPeer(ConnId viewer);
  void OpenRemoteViewer(const fleet::Message& message);
  void EndLinks(const std::function<bool(const std::string& key)>& which);

  void Accept();
  void OnAccept(const error_code& ec, Socket socket);
  void StartHttp(Worker& worker, Socket socket, const net::ip::address& address);
  // A listed load balancer's connection: its PROXY v2 header first, then the client's address
  // takes the budgets and the connection goes on as any other.
  void ReadProxyHeader(Worker& worker, Socket socket);
  // Counts the client's connection against its prefixes and starts it, or closes it.
  void Admit(Worker& worker, Socket socket, const net::ip::address& client);
  bool FromBalancer(const net::ip::address& address) const {
    return std::any_of(options_.proxyFrom.begin(), options_.proxyFrom.end(),
                       [&](const Cidr& range) { return CidrContains(range, address); });
  }

  // Each worker checks its own sessions; the first one also runs the matching deadlines.
  void ScheduleTick(Worker& worker) {
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

  // Hands the matcher's actions to their sessions, in order. Called with the lock held, so that
  // every session receives the actions of all matcher calls in the matcher's order. Returns
  // false when `self` is among those told to close.
  bool Apply(Actions actions, ConnId self) {
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

  void AwaitSignal() {
    signals_->async_wait([this](const error_code& ec, int signal) {
      if (ec) return;
      if (signal == SIGHUP) {
        ReloadTls();
      } else if (signal == SIGTERM) {
        Notice("event=shutdown signal=SIGTERM (draining)");
        BeginDrain();
      } else {
        Notice("event=shutdown signal=SIGINT");
        DoStop();
      }
      if (!stopping_) AwaitSignal();
    });
  }

  // First worker. New upgrades are refused and /healthz answers 503 from here on; connections
  // that are not in a session are closed (a host registers again elsewhere, or here after the
  // restart); the sessions go on until they end or the drain period passes.
  void BeginDrain() {
    if (stopping_ || draining_.exchange(true)) return;
    {
      std::lock_guard lock(mutex_);
      Notice("event=draining sessions=" + std::to_string(matcher_.Stats().liveSessions) +
             " connections=" + std::to_string(peers_.size()) +
             " period=" + std::to_string(options_.drain / 1000) + "s");
      for (auto& [id, peer] : peers_) {
        if (!matcher_.PartnerOf(id)) {
          Post(*peer, [peer = peer] { peer->CloseAfterDrain(ws::close_code::kGoingAway); });
        }
      }
    }
    drainTimer_.emplace(workers_[0]->ioc, std::chrono::milliseconds(options_.drain));
    drainTimer_->async_wait([this](const error_code& ec) {
      if (ec) return;
      Notice("event=drain-over");
      DoStop();
    });
    CheckDrained();
  }

  // While draining: once no session is left, the server stops.
  void CheckDrained() {
    if (!draining_ || stopping_) return;
    bool done = false;
    {
      std::lock_guard lock(mutex_);
      done = matcher_.Stats().liveSessions == 0;
    }
    if (done) {
      Notice("event=drained");
      DoStop();
    }
  }

  void DoStop() {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      stopping_ = true;
      Notice("event=stopping connections=" + std::to_string(peers_.size()));
      for (auto& [id, peer] : peers_) {
        Post(*peer, [peer = peer] { peer->CloseAfterDrain(ws::close_code::kGoingAway); });
      }
    }
    error_code ignored;
    acceptor_->close(ignored);
    if (signals_) signals_->cancel(ignored);
    if (drainTimer_) drainTimer_->cancel();
    // Closing handshakes and unfinished HTTP exchanges get a short grace period.
    grace_.emplace(workers_[0]->ioc, kStopGrace);
    grace_->async_wait([this](const error_code& ec) {
      if (!ec) StopWorkers();
    });
    std::lock_guard lock(mutex_);
    MaybeFinishStop();
  }

  // With the lock held.
  void MaybeFinishStop() {
    if (stopping_ && peers_.empty() && openHttp_ == 0) StopWorkers();
  }

  void StopWorkers() {
    for (auto& worker : workers_) worker->ioc.stop();
  }

  // Declared first: destroyed last, after every object that refers to them.
  AsyncLog log_;
  std::vector<std::unique_ptr<Worker>> workers_;
  ServerOptions options_;
  // The TLS context new handshakes use; SIGHUP replaces it (a connection keeps the one it began
  // with: OpenSSL holds a reference per connection).
  mutable std::mutex tlsMutex_;
  std::shared_ptr<ssl::context> tls_;
  PrefixBudget prefixes_;
  std::optional<WebFiles> webFiles_;  // the viewer's page, when --web-dir gives it
  std::size_t memoryBudget_ = 0;
  std::atomic<std::size_t> queuedBytes_{0};  // bytes in the connections' queues, relay-wide
  std::mutex roomMutex_;
  std::vector<Waiter> roomWaiters_;  // senders held by the budget or an address share
  std::atomic<bool> roomWaiting_{false};
  std::size_t prefixBudget_ = 0;
  std::mutex prefixQueuesMutex_;
  std::unordered_map<std::string, std::weak_ptr<std::atomic<std::size_t>>> prefixQueues_;
  std::atomic<bool> draining_{false};
  std::optional<net::steady_timer> drainTimer_;
  std::optional<Acceptor> acceptor_;
  std::optional<net::signal_set> signals_;
  std::optional<net::steady_timer> grace_;
  std::uint16_t port_ = 0;
  std::size_t nextWorker_ = 0;  // round robin of accepted connections (first worker only)
  std::atomic<ConnId> lastId_{0};
  std::atomic<std::uint64_t> acceptedTotal_{0};
  std::atomic<std::uint64_t> acceptOverflow_{0};
  std::atomic<std::uint64_t> addressOverflow_{0};
  std::atomic<std::uint64_t> proxyRefused_{0};
  std::atomic<bool> stopping_{false};

  // The matching state, shared by all workers; not touched on the forwarding path.
  std::mutex mutex_;
  Matcher matcher_;
  std::unordered_map<ConnId, std::shared_ptr<Peer>> peers_;
  std::map<unsigned, std::uint64_t> httpResponses_;
  std::size_t openHttp_ = 0;
  // This node's viewers whose host is on another node: the link that stands for the host.
  std::unordered_map<ConnId, std::shared_ptr<RemotePeer>> remote_;

  // Every link of a session across nodes, by the other node and the viewer's connection there or
  // here (the session's name on both nodes). Its own lock: the data path takes it, not mutex_.
  std::mutex linksMutex_;
  std::unordered_map<std::string, std::shared_ptr<RemotePeer>> links_;
  std::unique_ptr<NodeLinks> nodeLinks_;
  std::unique_ptr<Fleet> fleet_;  // last: its threads call into everything above
};


// --- fleet events ----------------------------------------------------------------------------

bool Server::Impl::SendToNode(const std::string& node, std::string message) {
  if (nodeLinks_) {
    const auto peer = fleet_->Peer(node);
    if (!peer) return false;
    if (!peer->advertise.empty()) return nodeLinks_->Send(node, peer->advertise, std::move(message));
  }
  return fleet_->Send(node, message);
}

bool Server::Impl::LinkPeerValid(const std::string& node, std::uint64_t instance) {
  const auto peer = fleet_ ? fleet_->Peer(node) : std::nullopt;
  return peer && instance != 0 && peer->instance == instance;
}

void Server::Impl::OnLinkDown(const std::string& node) {
  Log("event=node-link-down node=" + node);
  if (fleet_) fleet_->Suspect(node);
  const std::string prefix = node + "/";
  EndLinks([&prefix](const std::string& key) { return key.starts_with(prefix); });
}

Worker& Server::Impl::WorkerOf(const Executor& executor) {
  for (auto& worker : workers_) {
    if (&worker->ioc == &executor.context()) return *worker;
  }
  return *workers_[0];
}

void Server::Impl::LinkEnded(const std::string& key) {
  std::lock_guard lock(linksMutex_);
  links_.erase(key);
}

void Server::Impl::HandOff(const std::shared_ptr<Peer>& viewer, const std::string& node,
                           const std::string& registration) {
  Worker& worker = WorkerOf(viewer->GetExecutor());
  // The session's key on both nodes is random: nobody can name a session without having seen
  // its messages.
  const auto peer = fleet_->Peer(node);
  const std::uint64_t instance = peer ? peer->instance : 0;
  const std::uint64_t key = fleet::RandomU64();
  auto link = std::make_shared<RemotePeer>(*this, worker, NextId(), node, instance, key, false);
  remote_.emplace(viewer->Id(), link);
  {
    std::lock_guard lock(linksMutex_);
    links_[link->Key()] = link;
  }
  // On the viewer's thread: the routes first, then the registration, so that it goes out before
  // anything the viewer sends through the link and a failing link finds the viewer to tell.
  fleet::Message m;
  m.kind = fleet::Kind::kViewer;
  m.from = fleet_->Node();
  m.conn = key;
  m.body = {reinterpret_cast<const std::uint8_t*>(registration.data()), registration.size()};
  std::string bytes;
  fleet::Encode(m, bytes);
  Post(*viewer, [this, viewer, link, node, instance, bytes = std::move(bytes), &worker]() mutable {
    worker.sessions.emplace(link->Id(), link);
    link->Route(viewer);
    viewer->Route(link);
    if (instance == 0 || !SendToNode(node, std::move(bytes))) link->Lost();
  });
}

void Server::Impl::ForwardText(RemotePeer& link, std::string_view text) {
  Post(link, [link = link.shared_from_this(), text = std::string(text)] { link->SendText(text); });
}

void Server::Impl::ViewerEnded(const std::shared_ptr<RemotePeer>& link) {
  Post(*link, [link] { link->LocalEnded(); });
}

std::shared_ptr<Peer> Server::Impl::RemoteAsPeer(ConnId viewer) {
  const auto it = remote_.find(viewer);
  return it == remote_.end() ? nullptr : std::static_pointer_cast<Peer>(it->second);
}

void Server::Impl::OnFleetMessage(const fleet::Message& message) {
  if (message.kind == fleet::Kind::kViewer) return OpenRemoteViewer(message);
  std::shared_ptr<RemotePeer> link;
  {
    std::lock_guard lock(linksMutex_);
    const auto it = links_.find(LinkKey(message.from, message.instance, message.conn));
    if (it != links_.end()) link = it->second;
  }
  // A message for a session that has ended here: nobody to give it to.
  if (!link) return;
  ws::Bytes body;
  body.Append(message.body.data(), message.body.size());
  Post(*link, [link, kind = message.kind, seq = message.seq, flags = message.flags,
               body = std::move(body)]() mutable {
    link->Receive(kind, seq, flags, std::move(body));
  });
}

// Host's node: a viewer registered on another node for one of this node's hosts.
void Server::Impl::OpenRemoteViewer(const fleet::Message& message) {
  Json registration;
  try {
    registration = ParseMessage(std::string_view(
        reinterpret_cast<const char*>(message.body.data()), message.body.size()));
  } catch (const std::exception&) {
    return;
  }
  auto text = [&registration](const char* name) -> std::string {
    const auto it = registration.find(name);
    return it != registration.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  const std::string address = text("address");
  const std::string sessionId = text("sessionId");
  const std::string pairing = text("password");
  if (address.empty() || sessionId.empty() || pairing.empty() ||
      pairing.size() > kPairingStringLimit) {
    return;
  }
  const std::string key = LinkKey(message.from, message.instance, message.conn);
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  {
    std::lock_guard links(linksMutex_);
    if (links_.contains(key)) return;
  }
  // The link lives on its host's thread, so that the data between them is handed over directly.
  Worker* worker = workers_[0].get();
  if (const auto host = matcher_.HostOf(sessionId)) {
    if (const auto it = peers_.find(*host); it != peers_.end()) {
      worker = &WorkerOf(it->second->GetExecutor());
    }
  }
  const ConnId id = NextId();
  auto link = std::make_shared<RemotePeer>(*this, *worker, id, std::string(message.from),
                                           message.instance, message.conn, true);
  {
    std::lock_guard links(linksMutex_);
    links_[key] = link;
  }
  peers_.emplace(id, link);
  Post(*link, [link, worker] { worker->sessions.emplace(link->Id(), link); });
  Apply(matcher_.OpenRemote(id, address, sessionId, pairing, NowMs()), 0);
  const std::string requestId = matcher_.RequestOf(id);
  if (!requestId.empty()) {
    fleet::Message m;
    m.kind = fleet::Kind::kRequest;
    m.from = fleet_->Node();
    m.conn = message.conn;
    m.body = {reinterpret_cast<const std::uint8_t*>(requestId.data()), requestId.size()};
    std::string bytes;
    fleet::Encode(m, bytes);
    SendToNode(std::string(message.from), std::move(bytes));
  }
}

void Server::Impl::OnClaimed(ConnId conn, const std::string& id, FleetResult result) {
  std::lock_guard lock(mutex_);
  Apply(matcher_.Claimed(conn, id, result), 0);
}

void Server::Impl::OnLocated(ConnId conn, FleetResult result, const std::string& node) {
  std::lock_guard lock(mutex_);
  Apply(matcher_.Located(conn, result, node), 0);
}

void Server::Impl::OnLeaseLost(const std::string& id) {
  std::lock_guard lock(mutex_);
  Apply(matcher_.LeaseLost(id), 0);
}

void Server::Impl::OnRemoteRegistration(const std::string& address) {
  std::lock_guard lock(mutex_);
  matcher_.NoteRegistration(address, NowMs());
}

void Server::Impl::EndLinks(const std::function<bool(const std::string& key)>& which) {
  std::vector<std::shared_ptr<RemotePeer>> ending;
  {
    std::lock_guard lock(linksMutex_);
    for (const auto& [key, link] : links_) {
      if (which(key)) ending.push_back(link);
    }
  }
  for (auto& link : ending) Post(*link, [link] { link->Lost(); });
}

void Server::Impl::OnNodeLost(const std::string& node) {
  Log("event=node-lost node=" + node);
  const std::string prefix = node + "/";
  EndLinks([&prefix](const std::string& key) { return key.starts_with(prefix); });
}

void Server::Impl::OnLinkChanged(bool up) {
  Log(std::string("event=nats-") + (up ? "reconnected" : "disconnected"));
  // What was on its way between the nodes may be lost: every session across nodes ends.
  if (!up) EndLinks([](const std::string&) { return true; });
}


void Server::Impl::Accept() {
  // Connections go to the workers in turn; each socket is made on its worker's io_context.
  Worker& target = *workers_[nextWorker_++ % workers_.size()];
  acceptor_->async_accept(target.ioc, [this, &target](const error_code& ec, Socket socket) {
    if (ec) {
      if (ec == net::error::operation_aborted || stopping_) return;
      Log(std::string("event=accept-error error=") + ec.message());
      // Out of descriptors and the like: try again shortly instead of spinning.
      auto retry = std::make_shared<net::steady_timer>(workers_[0]->ioc,
                                                       std::chrono::milliseconds(100));
      retry->async_wait([this, retry](const error_code& e) {
        if (!e && !stopping_) Accept();
      });
      return;
    }
    ++acceptedTotal_;
    // A connection whose address cannot be read cannot be counted against it: it is closed.
    error_code addrEc;
    const tcp::endpoint remote = socket.remote_endpoint(addrEc);
    if (addrEc) {
      Log("event=refused error=remote address: " + addrEc.message());
      error_code ignored;
      socket.close(ignored);
    } else {
      error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      net::dispatch(target.ioc, [this, &target, socket = std::move(socket),
                                 address = remote.address()]() mutable {
        if (FromBalancer(address)) {
          ReadProxyHeader(target, std::move(socket));
        } else {
          Admit(target, std::move(socket), address);
        }
      });
    }
    Accept();
  });
}

void Server::Impl::Admit(Worker& worker, Socket socket, const net::ip::address& client) {
  bool overflow = false;
  {
    std::lock_guard lock(mutex_);
    overflow = peers_.size() + openHttp_ >= options_.matcher.maxConnections + kRefusalHeadroom;
  }
  // Each address prefix holds at most its bound of the connections, counted from here, and
  // opens them at a bounded rate: beyond either a new one is closed before it is read, so that a
  // flood from one place cannot take the slots of everyone else.
  Refusal why;
  if (overflow) {
    ++acceptOverflow_;
  } else if (!prefixes_.TryOpen(client, NowMs(), &why)) {
    ++addressOverflow_;
    Log("event=prefix-refused reason=" +
        std::string(why.reason == Refusal::Reason::kRate ? "rate" : "connections") +
        " prefix=" + why.prefix);
  } else {
    return StartHttp(worker, std::move(socket), client);
  }
  error_code ignored;
  socket.close(ignored);
}

void Server::Impl::ReadProxyHeader(Worker& worker, Socket socket) {
  // The header is read to its exact length (its first 16 bytes give the rest), so that nothing
  // of the client's own bytes is taken from the socket here.
  struct State {
    explicit State(Socket s, net::io_context& ioc) : socket(std::move(s)), deadline(ioc) {}
    Socket socket;
    net::steady_timer deadline;
    std::array<std::uint8_t, kProxyV2HeaderSize + kProxyV2MaxLength> bytes{};
    std::size_t size = 0;
  };
  auto state = std::make_shared<State>(std::move(socket), worker.ioc);
  state->deadline.expires_after(std::chrono::milliseconds(options_.httpTimeout));
  state->deadline.async_wait([weak = std::weak_ptr<State>(state)](const error_code& ec) {
    if (const auto s = weak.lock(); s && !ec) {
      error_code ignored;
      s->socket.close(ignored);
    }
  });
  auto fail = [this](State& s, std::string_view why) {
    ++proxyRefused_;
    error_code ignored;
    const auto peer = s.socket.remote_endpoint(ignored);
    Log("addr=" + (ignored ? std::string("?") : AddressKey(peer.address())) +
        " event=proxy-refused error=" + std::string(why));
    s.deadline.cancel();
    s.socket.close(ignored);
  };
  auto done = [this, &worker, fail](const std::shared_ptr<State>& s) {
    const ProxyResult result = ParseProxyV2({s->bytes.data(), s->size});
    if (result.kind != ProxyResult::Kind::kDone) {
      return fail(*s, result.kind == ProxyResult::Kind::kInvalid ? result.error : "incomplete");
    }
    s->deadline.cancel();
    error_code ec;
    const tcp::endpoint balancer = s->socket.remote_endpoint(ec);
    if (ec) return fail(*s, "remote address");
    // LOCAL (the balancer's own health check) or a family without addresses: the socket's.
    Admit(worker, std::move(s->socket),
          result.source ? result.source->address() : balancer.address());
  };
  net::async_read(
      state->socket, net::buffer(state->bytes.data(), kProxyV2HeaderSize),
      [state, fail, done](const error_code& ec, std::size_t n) {
        state->size = n;
        if (ec) return fail(*state, ec.message());
        const ProxyResult head = ParseProxyV2({state->bytes.data(), n});
        if (head.kind == ProxyResult::Kind::kInvalid) return fail(*state, head.error);
        if (head.kind == ProxyResult::Kind::kDone) return done(state);
        const std::size_t length =
            static_cast<std::size_t>(state->bytes[14] << 8 | state->bytes[15]);
        if (length > kProxyV2MaxLength) return fail(*state, "header too long");
        net::async_read(state->socket,
                        net::buffer(state->bytes.data() + kProxyV2HeaderSize, length),
                        [state, fail, done](const error_code& e, std::size_t m) {
                          state->size += m;
                          if (e) return fail(*state, e.message());
                          done(state);
                        });
      });
}

void Server::Impl::StartHttp(Worker& worker, Socket socket, const net::ip::address& address) {
  bool handedOver = false;  // the session ends the address's count from now on
  try {
    std::shared_ptr<ssl::context> tls;
    {
      std::lock_guard lock(tlsMutex_);
      tls = tls_;
    }
    if (tls) {
      auto session = std::make_shared<HttpSession<TlsSocket>>(
          *this, worker, TlsSocket(std::move(socket), tls->native_handle()), address);
      handedOver = true;
      session->Start();
    } else {
      auto session =
          std::make_shared<HttpSession<Socket>>(*this, worker, std::move(socket), address);
      handedOver = true;
      session->Start();
    }
  } catch (const std::exception& e) {
    Log("addr=" + AddressKey(address) + " event=refused error=" + e.what());
    if (!handedOver) AddressEnded(address);
  }
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
