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

#include "relay/log.h"
#include "relay/node_link.h"
#include "relay/tls_socket.h"
#include "relay/ws_frame.h"
#include "relay/update_files.h"
#include "relay/web_files.h"

namespace ov::relay {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using error_code = beast::error_code;
// Each worker thread runs one io_context: its own executor type, not the type-erased default,
// keeps the per-operation cost of every socket down.
using Executor = net::io_context::executor_type;
using Socket = net::basic_stream_socket<tcp, Executor>;
using Acceptor = net::basic_socket_acceptor<tcp, Executor>;

constexpr std::string_view kServerName = "kestrova-relay";
constexpr std::size_t kHeaderLimit = 8192;
// Sockets accepted beyond the connection bound are closed at once, without a word.
constexpr std::size_t kRefusalHeadroom = 256;
constexpr auto kTickPeriod = std::chrono::milliseconds(200);
constexpr auto kStopGrace = std::chrono::milliseconds(1500);

Millis NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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

// Sec-WebSocket-Accept for a client's Sec-WebSocket-Key.
std::string AcceptKey(std::string_view key) {
  static constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  std::string input(key);
  input += kGuid;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(input.data(), input.size(), digest, &size, EVP_sha1(), nullptr) != 1) {
    throw std::runtime_error("SHA-1 failed");
  }
  unsigned char out[64];
  const int n = EVP_EncodeBlock(out, digest, static_cast<int>(size));
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

bool HasToken(std::string_view list, std::string_view token) {
  return http::token_list{list}.exists(token);
}

// A Sec-WebSocket-Key is the base64 form of 16 bytes: 22 characters of the base64 alphabet
// followed by "==".
bool IsWebSocketKey(std::string_view key) {
  if (key.size() != 24 || key.substr(22) != "==") return false;
  for (const char ch : key.substr(0, 22)) {
    const bool ok = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                    (ch >= '0' && ch <= '9') || ch == '+' || ch == '/';
    if (!ok) return false;
  }
  return true;
}

// The answer to an upgrade request at /ws: 101 with the accept key, or why not (400; 426 for a
// protocol version other than 13). No extension or subprotocol is ever agreed.
http::response<http::string_body> UpgradeResponse(const http::request<http::empty_body>& request,
                                                  const std::vector<std::string>& origins,
                                                  bool ownOrigin, bool tls) {
  http::response<http::string_body> res;
  res.version(request.version());
  res.set(http::field::server, kServerName);
  auto refuse = [&res](http::status status, std::string text) {
    res.result(status);
    res.set(http::field::content_type, "text/plain; charset=utf-8");
    res.body() = std::move(text);
    res.keep_alive(false);
    res.prepare_payload();
    return res;
  };
  if (request.version() != 11) return refuse(http::status::bad_request, "bad HTTP version");
  if (request.method() != http::verb::get) return refuse(http::status::bad_request, "bad method");
  if (request.count(http::field::host) == 0) return refuse(http::status::bad_request, "no Host");
  // A web page's upgrade names its origin: only the listed ones may use the relay through their
  // visitors' browsers.
  if (const auto origin = request.find(http::field::origin); origin != request.end()) {
    const std::string_view value = origin->value();
    // The relay's own page (when it serves one) is of its own origin.
    const auto host = request.find(http::field::host);
    const bool own = ownOrigin && IsOwnOrigin(value, host->value(), tls);
    if (!own && std::find(origins.begin(), origins.end(), value) == origins.end()) {
      return refuse(http::status::forbidden, "origin not allowed");
    }
  }
  const auto connection = request.find(http::field::connection);
  if (connection == request.end() || !HasToken(connection->value(), "upgrade")) {
    return refuse(http::status::bad_request, "missing or bad Connection");
  }
  const auto upgrade = request.find(http::field::upgrade);
  if (upgrade == request.end() || !HasToken(upgrade->value(), "websocket")) {
    return refuse(http::status::bad_request, "missing or bad Upgrade");
  }
  const auto key = request.find(http::field::sec_websocket_key);
  if (key == request.end()) return refuse(http::status::bad_request, "no Sec-WebSocket-Key");
  if (!IsWebSocketKey(key->value())) {
    return refuse(http::status::bad_request, "bad Sec-WebSocket-Key");
  }
  const auto version = request.find(http::field::sec_websocket_version);
  if (version == request.end()) {
    return refuse(http::status::bad_request, "no Sec-WebSocket-Version");
  }
  if (version->value() != "13") {
    res.set(http::field::sec_websocket_version, "13");
    return refuse(http::status::upgrade_required, "unsupported Sec-WebSocket-Version");
  }
  res.result(http::status::switching_protocols);
  res.set(http::field::upgrade, "websocket");
  res.set(http::field::connection, "upgrade");
  res.set(http::field::sec_websocket_accept, AcceptKey(key->value()));
  return res;
}

// TLS 1.3, and TLS 1.2 with forward secrecy and AEAD suites only (the intermediate profile of
// common server guidance, without finite-field DH).
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

namespace detail {

// One message waiting to be written: text made by the relay, a peer's message moved in whole, or
// a piece of a peer's message streamed as it arrives (the server's frames, header and payload).
struct OutMessage {
  enum class Kind : std::uint8_t { kText, kBinary, kPiece };
  Kind kind = Kind::kText;
  bool frameEnd = true;    // kPiece: its last byte ends a frame
  bool messageEnd = true;  // kPiece: its last byte ends the message
  std::uint64_t order = 0;  // when it was queued, among the messages of its connection
  std::string text;
  ws::Bytes data;
  std::size_t Size() const { return kind == Kind::kText ? text.size() : data.size(); }
};

// The buffers streamed pieces are read into: kChunkSize each, kept per thread for reuse (a
// piece is freed on its receiver's thread) so that forwarding a large message costs no
// allocation and no fresh pages once the pool is warm. A small message gets a buffer of its size.
constexpr std::size_t kChunkSize = 65536;
constexpr std::size_t kChunkPool = 16;

std::vector<ws::Bytes>& ChunkPool() {
  thread_local std::vector<ws::Bytes> pool;
  return pool;
}

ws::Bytes TakeChunk(std::size_t wanted) {
  std::vector<ws::Bytes>& pool = ChunkPool();
  ws::Bytes chunk;
  if (wanted >= kChunkSize && !pool.empty()) {
    chunk = std::move(pool.back());
    pool.pop_back();
  } else {
    chunk.Reserve(std::min(wanted, kChunkSize));
  }
  return chunk;
}

void GiveChunk(ws::Bytes chunk) {
  std::vector<ws::Bytes>& pool = ChunkPool();
  if (chunk.capacity() != kChunkSize || pool.size() >= kChunkPool) return;
  chunk.Truncate();
  pool.push_back(std::move(chunk));
}

// The outgoing queue of a session. While empty it holds no memory (a std::deque allocates its
// first block when constructed), since most connections are idle most of the time.
class OutQueue {
 public:
  bool empty() const { return !messages_; }
  std::size_t size() const { return messages_ ? messages_->size() : 0; }
  OutMessage& front() { return messages_->front(); }
  OutMessage& operator[](std::size_t i) { return (*messages_)[i]; }
  const OutMessage& operator[](std::size_t i) const { return (*messages_)[i]; }
  void push_back(OutMessage message) {
    if (!messages_) messages_ = std::make_unique<std::deque<OutMessage>>();
    messages_->push_back(std::move(message));
  }
  void pop_front() {
    messages_->pop_front();
    if (messages_->empty()) messages_.reset();
  }
  void clear() { messages_.reset(); }

 private:
  std::unique_ptr<std::deque<OutMessage>> messages_;  // never holds an empty deque
};

class Peer;

// One thread of the server: its io_context, the WebSocket sessions it serves, its periodic
// check and its share of the forwarding counters.
struct Worker {
  Worker(std::size_t position, int concurrencyHint) : index(position), ioc(concurrencyHint) {}
  const std::size_t index;
  net::io_context ioc;
  net::steady_timer tick{ioc};
  std::unordered_map<ConnId, std::shared_ptr<Peer>> sessions;  // touched by this thread only
  std::atomic<std::uint64_t> forwardedMessages{0};
  std::atomic<std::uint64_t> forwardedBytes{0};
  std::thread thread;  // none for the first worker: it runs on the thread that calls Run
};

// A session paused by a full queue, to be resumed by the queue's owner. Found by its ID in its
// worker's table, so that no session keeps another one alive from a foreign thread.
struct Waiter {
  Worker* worker = nullptr;
  ConnId id = 0;
};

// What the server and the other sessions may ask of one WebSocket session, whatever its
// stream type. Unless said otherwise, a call is made on the session's own executor.
class Peer {
 public:
  Peer(ConnId id, Executor executor) : id_(id), executor_(executor) {}
  virtual ~Peer() = default;
  ConnId Id() const { return id_; }
  Executor GetExecutor() const { return executor_; }

  virtual void Enqueue(OutMessage message) = 0;
  // A message of the partner, whose space in the queue was reserved with Reserve.
  virtual void Deliver(ws::Bytes data) = 0;
  // True when the partner may stream its messages here as pieces (DeliverPiece) instead of
  // handing each one over whole.
  virtual bool TakesPieces() const { return false; }
  // A piece of a message streamed by the partner (reserved like a message).
  virtual void DeliverPiece(OutMessage) {}
  // The partner's message being streamed here ends without its last piece (the partner broke a
  // rule or went away mid-message): what has gone out of it cannot be finished, so this
  // connection ends too.
  virtual void BreakStream() {}
  // From any thread: the address this connection reads for has used up its share of the
  // relay's memory; whoever sends here waits, as on a full queue.
  virtual bool Saturated() const { return false; }
  virtual void CloseAfterDrain(std::uint16_t code) = 0;
  // Binary messages go straight to `partner` from now on (null: the server decides each one).
  virtual void Route(std::shared_ptr<Peer> partner) = 0;
  // `waiter` is paused until this queue has drained to half; resumes it at once if it has.
  virtual void WatchLow(Waiter waiter) = 0;
  // The queue of session `from` drained: reading goes on if it was paused for that queue.
  virtual void Resume(ConnId from) = 0;
  virtual void Abort() = 0;
  // Periodic check: drops a connection whose write is stuck or that has gone silent, and pings
  // one that has been quiet for half the idle timeout.
  virtual void Check(Millis now, Millis idleTimeout, Millis writeTimeout) = 0;
  // Drops every reference to other sessions. Only while no worker runs (the server's end).
  virtual void Release() = 0;

  // From any thread: takes room in the outgoing queue for one message (the partner does so
  // before it hands the message over). True when the queue is full with it: the sender pauses.
  bool Reserve(std::size_t bytes, const ServerOptions& o) {
    const std::size_t messages = pendingMessages_.fetch_add(1, std::memory_order_relaxed) + 1;
    const std::size_t total = pendingBytes_.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    return messages >= o.queueMessages || total >= o.queueBytes;
  }

 protected:
  void Released(std::size_t bytes, std::size_t messages = 1) {
    pendingMessages_.fetch_sub(messages, std::memory_order_relaxed);
    pendingBytes_.fetch_sub(bytes, std::memory_order_relaxed);
  }
  bool Low(const ServerOptions& o) const {
    return pendingMessages_.load(std::memory_order_relaxed) <= o.queueMessages / 2 &&
           pendingBytes_.load(std::memory_order_relaxed) <= o.queueBytes / 2;
  }

 private:
  const ConnId id_;
  const Executor executor_;
  // Messages handed over or queued and not yet written.
  std::atomic<std::size_t> pendingMessages_{0};
  std::atomic<std::size_t> pendingBytes_{0};
};

}  // namespace detail
class RemotePeer;
using detail::GiveChunk;
using detail::OutMessage;
using detail::TakeChunk;
using detail::Peer;
using detail::Waiter;
using detail::Worker;

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

class Server::Impl final : public FleetEvents, public NodeLinks::Events {
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
      if (!fleet.advertise.empty()) {
        fleet.token = RandomRequestId();
        nodeLinks_ = std::make_unique<NodeLinks>(fleet.advertise, fleet.nodeName, fleet.token,
                                                 *this);
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
  bool Secure() const { return !options_.tlsCert.empty(); }
  bool Draining() const { return draining_.load(); }
  bool ServesWeb() const { return webFiles_.has_value(); }

  // Bytes queued for writing relay-wide, kept by each connection as its queue grows and shrinks.
  void Queued(std::ptrdiff_t bytes) {
    queuedBytes_.fetch_add(static_cast<std::size_t>(bytes), std::memory_order_relaxed);
  }
  // The count of bytes queued for the connections of one address (IPv4) or IPv6 /64, shared by
  // them: a slow reader's share of the budget is its address's, not everyone's.
  std::shared_ptr<std::atomic<std::size_t>> PrefixQueue(const std::string& address) {
    std::lock_guard lock(prefixQueuesMutex_);
    auto& slot = prefixQueues_[address];
    auto counter = slot.lock();
    if (!counter) {
      counter = std::make_shared<std::atomic<std::size_t>>(0);
      slot = counter;
    }
    return counter;
  }
  std::size_t PrefixBudgetBytes() const { return prefixBudget_; }
  // First worker's tick: forgets the counts no connection holds any more.
  void PrunePrefixQueues() {
    std::lock_guard lock(prefixQueuesMutex_);
    std::erase_if(prefixQueues_, [](const auto& entry) { return entry.second.expired(); });
  }
  // Over the process-wide budget: every sender waits after its current message or piece.
  bool OverBudget() const {
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

  const ServerOptions& Options() const { return options_; }
  bool Stopping() const { return stopping_.load(); }

  // A per-connection line "conn=... event=KIND ...": counted by kind; routine kinds are written
  // only when the log is verbose, the others (refusals, errors, timeouts) always, both in bursts
  // with a count per window. Never waits on the log's output.
  void Log(const std::string& line) {
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

  ConnId NextId() { return ++lastId_; }

  void HttpStarted() {
    std::lock_guard lock(mutex_);
    ++openHttp_;
  }
  // A connection counted against `address` at accept has ended (the HTTP phase that did not
  // upgrade, or the WebSocket session it became).
  void AddressEnded(const net::ip::address& address) { prefixes_.Close(address); }
  void HttpEnded() {
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
  bool PeerOpened(const std::shared_ptr<Peer>& peer, const std::string& address) {
    std::lock_guard lock(mutex_);
    peers_.emplace(peer->Id(), peer);
    bool open = Apply(matcher_.Open(peer->Id(), address, NowMs()), peer->Id());
    if (stopping_) {
      Post(*peer, [peer] { peer->CloseAfterDrain(ws::close_code::kGoingAway); });
      open = false;
    }
    return open;
  }

  bool PeerText(ConnId id, std::string_view text) {
    // Parsed before the lock: the lock covers only the matcher's state change.
    const ParsedText parsed = Matcher::Parse(text);
    std::lock_guard lock(mutex_);
    if (const auto remote = remote_.find(id); remote != remote_.end()) {
      ForwardText(*remote->second, text);
      return true;
    }
    return Apply(matcher_.Text(id, parsed, NowMs()), id);
  }

  void PeerOversize(ConnId id, bool text) {
    std::lock_guard lock(mutex_);
    Apply(matcher_.Oversize(id, text), id);
  }

  // A whole binary message of a link that has no route (the host's node of a session across
  // nodes): the partner it goes to, if any. `open` turns false when the sender was refused.
  std::shared_ptr<Peer> PeerBinary(ConnId id, std::size_t size, bool& open) {
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
  BinaryStart PeerBinaryHeader(ConnId id, std::shared_ptr<Peer>& partner) {
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

  void PeerEnded(ConnId id) {
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
  struct Answer {
    http::response<http::string_body> text;
    std::optional<http::response<http::file_body>> file;
    bool headOnly = false;  // HEAD: the header alone is written
    // The writer of `file` or `text`, whichever is the answer.
    std::optional<http::response_serializer<http::string_body>> textWriter;
    std::optional<http::response_serializer<http::file_body>> fileWriter;
  };

  Answer Respond(const http::request<http::empty_body>& request) {
    Answer answer;
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
    MatcherStats s;
    std::size_t openHttp = 0;
    std::map<unsigned, std::uint64_t> httpResponses;
    {
      std::lock_guard lock(mutex_);
      s = matcher_.Stats();
      openHttp = openHttp_;
      httpResponses = httpResponses_;
    }
    for (const auto& worker : workers_) {
      s.forwardedMessages += worker->forwardedMessages.load(std::memory_order_relaxed);
      s.forwardedBytes += worker->forwardedBytes.load(std::memory_order_relaxed);
    }
    std::string out;
    auto line = [&out](const std::string& name, const std::string& type,
                       const std::string& help) {
      out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    line("kestrova_relay_connections", "gauge", "Open WebSocket connections.");
    out += "kestrova_relay_connections " + std::to_string(s.connections) + "\n";
    line("kestrova_relay_http_connections", "gauge", "Open connections not yet upgraded.");
    out += "kestrova_relay_http_connections " + std::to_string(openHttp) + "\n";
    line("kestrova_relay_accepted_total", "counter", "Accepted TCP connections.");
    out += "kestrova_relay_accepted_total " + std::to_string(acceptedTotal_.load()) + "\n";
    line("kestrova_relay_registered_hosts", "gauge", "Hosts registered under a device ID.");
    out += "kestrova_relay_registered_hosts " + std::to_string(s.registeredHosts) + "\n";
    line("kestrova_relay_pending_requests", "gauge", "Viewer requests not yet paired.");
    out += "kestrova_relay_pending_requests " + std::to_string(s.pendingRequests) + "\n";
    line("kestrova_relay_sessions", "gauge", "Live paired sessions.");
    out += "kestrova_relay_sessions " + std::to_string(s.liveSessions) + "\n";
    line("kestrova_relay_pairings_total", "counter", "Sessions paired since start.");
    out += "kestrova_relay_pairings_total " + std::to_string(s.pairingsTotal) + "\n";
    line("kestrova_relay_forwarded_messages_total", "counter", "Binary messages forwarded.");
    out += "kestrova_relay_forwarded_messages_total " + std::to_string(s.forwardedMessages) + "\n";
    line("kestrova_relay_forwarded_bytes_total", "counter", "Binary bytes forwarded.");
    out += "kestrova_relay_forwarded_bytes_total " + std::to_string(s.forwardedBytes) + "\n";
    line("kestrova_relay_refusals_total", "counter", "Errors sent, by code.");
    for (const auto& [reason, count] : s.refusals) {
      out += "kestrova_relay_refusals_total{reason=\"" + reason + "\"} " + std::to_string(count) +
             "\n";
    }
    out += "kestrova_relay_refusals_total{reason=\"acceptOverflow\"} " +
           std::to_string(acceptOverflow_.load()) + "\n";
    out += "kestrova_relay_refusals_total{reason=\"addressOverflow\"} " +
           std::to_string(addressOverflow_.load()) + "\n";
    out += "kestrova_relay_refusals_total{reason=\"proxyHeader\"} " +
           std::to_string(proxyRefused_.load()) + "\n";
    line("kestrova_relay_queued_bytes", "gauge",
         "Bytes queued for writing to connections, relay-wide.");
    out += "kestrova_relay_queued_bytes " + std::to_string(queuedBytes_.load()) + "\n";
    line("kestrova_relay_memory_budget_bytes", "gauge",
         "Queued bytes beyond which senders wait.");
    out += "kestrova_relay_memory_budget_bytes " + std::to_string(memoryBudget_) + "\n";
    line("kestrova_relay_tracked_prefixes", "gauge",
         "Address prefixes with open connections or a refilling accept budget.");
    out += "kestrova_relay_tracked_prefixes " + std::to_string(prefixes_.Tracked()) + "\n";
    line("kestrova_relay_draining", "gauge", "1 while the relay drains before it stops.");
    out += std::string("kestrova_relay_draining ") + (draining_ ? "1" : "0") + "\n";
    line("kestrova_relay_log_events_total", "counter", "Per-connection log events, by kind.");
    for (const auto& [kind, count] : log_.EventCounts()) {
      out += "kestrova_relay_log_events_total{kind=\"" + kind + "\"} " + std::to_string(count) +
             "\n";
    }
    line("kestrova_relay_log_dropped_total", "counter", "Log lines dropped by a full queue.");
    out += "kestrova_relay_log_dropped_total " + std::to_string(log_.Dropped()) + "\n";
    if (fleet_) {
      const FleetStats f = fleet_->Stats();
      auto metric = [&](const std::string& name, const std::string& type, const std::string& help,
                        const std::string& labels, std::uint64_t value) {
        if (out.find("# HELP " + name + " ") == std::string::npos) line(name, type, help);
        out += name + labels + " " + std::to_string(value) + "\n";
      };
      metric("kestrova_relay_fleet_connected", "gauge", "1 while the NATS link is up.", "",
             f.connected ? 1 : 0);
      metric("kestrova_relay_fleet_nodes", "gauge", "Live nodes of the fleet, this one included.",
             "", f.nodes);
      metric("kestrova_relay_fleet_owned_ids", "gauge", "Device IDs this node holds a lease on.",
             "", f.ownedIds);
      metric("kestrova_relay_fleet_remote_viewers", "gauge",
             "Viewers of this node's hosts that are connected to other nodes.", "",
             s.remoteViewers);
      metric("kestrova_relay_fleet_claims_total", "counter", "Registry claims, by result.",
             "{result=\"ok\"}", f.claims - f.claimsTaken - f.claimsUnavailable);
      metric("kestrova_relay_fleet_claims_total", "counter", "", "{result=\"taken\"}",
             f.claimsTaken);
      metric("kestrova_relay_fleet_claims_total", "counter", "", "{result=\"unavailable\"}",
             f.claimsUnavailable);
      metric("kestrova_relay_fleet_lookups_total", "counter", "Registry lookups, by result.",
             "{result=\"found\"}", f.lookups - f.lookupsUnknown - f.lookupsUnavailable);
      metric("kestrova_relay_fleet_lookups_total", "counter", "", "{result=\"unknown\"}",
             f.lookupsUnknown);
      metric("kestrova_relay_fleet_lookups_total", "counter", "", "{result=\"unavailable\"}",
             f.lookupsUnavailable);
      metric("kestrova_relay_fleet_leases_lost_total", "counter",
             "Leases found held by another node at renewal.", "", f.leasesLost);
      metric("kestrova_relay_fleet_sent_messages_total", "counter", "Messages to other nodes.",
             "", f.sentMessages);
      metric("kestrova_relay_fleet_sent_bytes_total", "counter", "Bytes to other nodes.", "",
             f.sentBytes);
      metric("kestrova_relay_fleet_received_messages_total", "counter",
             "Messages from other nodes.", "", f.receivedMessages);
      metric("kestrova_relay_fleet_received_bytes_total", "counter", "Bytes from other nodes.", "",
             f.receivedBytes);
      metric("kestrova_relay_fleet_send_failures_total", "counter",
             "Messages the NATS link refused (their sessions ended).", "", f.sendFailures);
    }
    line("kestrova_relay_http_responses_total", "counter", "HTTP responses, by status.");
    for (const auto& [status, count] : httpResponses) {
      out += "kestrova_relay_http_responses_total{status=\"" + std::to_string(status) + "\"} " +
             std::to_string(count) + "\n";
    }
    return out;
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
  bool LinkPeerValid(const std::string& node, const std::string& token) override;
  void OnLinkMessage(const fleet::Message& message) override { OnFleetMessage(message); }
  void OnLinkDown(const std::string& node) override;
  Fleet& FleetLink() { return *fleet_; }
  // One encoded message to `node`: on the direct link when it announces one, else through NATS.
  bool SendToNode(const std::string& node, std::string message);
  // The largest piece of a binary message one message to `node` carries.
  std::size_t ChunkFor(const std::string& node) const {
    if (nodeLinks_) {
      const auto peer = fleet_->Peer(node);
      if (peer && !peer->advertise.empty()) return kBinaryLimit;
    }
    return fleet_->MaxPayload() - fleet::kHeaderMax;
  }
  Worker& WorkerOf(const Executor& executor);
  // A link of a session across nodes is gone (from its own executor).
  void LinkEnded(const std::string& key);

 private:
  static std::string LinkKey(std::string_view node, ConnId conn) {
    return std::string(node) + "/" + std::to_string(conn);
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


// One end of a session whose two ends are connected to different nodes: it stands for the far end
// here. On the host's node it stands for the viewer (it is a connection of the matcher, and the
// matcher's actions for it travel to the viewer's node); on the viewer's node it stands for the
// host (the viewer's texts travel to the host's node, whose matcher decides them).
//
// Binary messages travel as chunks that fit the NATS servers' payload limit, numbered per
// direction. Flow control is by credit: the sender reserves room here as it would in a local
// partner's queue and pauses when the window (the queue bounds) is full; the receiving node passes
// each message into its local partner's queue and returns credit, withheld while that queue is
// full. So backpressure crosses the hop and nothing is dropped: a missing chunk or a refused
// publish ends the session instead.
class RemotePeer final : public Peer, public std::enable_shared_from_this<RemotePeer> {
 public:
  RemotePeer(Server::Impl& server, Worker& worker, ConnId id, std::string node, ConnId wire,
             bool hostSide)
      : Peer(id, worker.ioc.get_executor()),
        server_(server),
        worker_(worker),
        o_(server.Options()),
        node_(std::move(node)),
        wire_(wire),
        hostSide_(hostSide) {}

  const std::string& Node() const { return node_; }
  std::string Key() const { return node_ + "/" + std::to_string(wire_); }

  // --- Peer: the local side's calls ---

  // Host's node: a text of the matcher for the viewer.
  void Enqueue(OutMessage message) override {
    if (ended_) return;
    SendControl(fleet::Kind::kSend, message.text);
  }

  // The local partner's message (its room was reserved here): to the other node.
  void Deliver(ws::Bytes data) override {
    if (ended_) return;
    const std::size_t chunk = server_.ChunkFor(node_);
    std::size_t offset = 0;
    do {
      const std::size_t n = std::min(chunk, data.size() - offset);
      fleet::Message m;
      m.kind = fleet::Kind::kData;
      m.seq = outSeq_++;
      m.flags = offset + n < data.size() ? fleet::kMore : 0;
      m.body = {data.data() + offset, n};
      if (!Send(m)) return Fail();
      offset += n;
    } while (offset < data.size());
  }

  // Host's node: the matcher closes the viewer. Its node carries the close out; here the
  // connection is over.
  void CloseAfterDrain(std::uint16_t code) override {
    if (ended_) return;
    const std::string body{static_cast<char>(code >> 8), static_cast<char>(code & 0xff)};
    SendControl(fleet::Kind::kClose, body);
    End();
  }

  void Route(std::shared_ptr<Peer> partner) override {
    if (ended_) return;
    local_ = std::move(partner);
    if (!local_) withholding_ = false;
  }

  void WatchLow(Waiter waiter) override {
    if (ended_ || Low(o_)) return Wake(waiter);
    waiter_ = waiter;
  }

  // The local partner's queue drained: the credit held back goes out.
  void Resume(ConnId from) override {
    if (!local_ || local_->Id() != from) return;
    withholding_ = false;
    FlushCredit(true);
  }

  void Abort() override { Fail(); }

  void Check(Millis, Millis, Millis) override {
    if (!ended_ && !withholding_) FlushCredit(true);
  }

  void Release() override {
    local_.reset();
    waiter_.reset();
  }

  // --- from the other node (on this executor, in the order sent) ---

  void Receive(fleet::Kind kind, std::uint64_t seq, std::uint8_t flags, ws::Bytes bytes) {
    if (ended_) return;
    if (kind == fleet::Kind::kData) return ReceiveData(seq, flags, std::move(bytes));
    std::string body(bytes.view());
    switch (kind) {
      case fleet::Kind::kCredit: {
        if (body.size() != 16) return Fail();
        std::uint64_t messages = 0, credited = 0;
        for (std::size_t i = 8; i-- > 0;) {
          messages = (messages << 8) | static_cast<std::uint8_t>(body[i]);
          credited = (credited << 8) | static_cast<std::uint8_t>(body[8 + i]);
        }
        Released(credited, messages);
        if (waiter_ && Low(o_)) {
          Wake(*waiter_);
          waiter_.reset();
        }
        return;
      }
      case fleet::Kind::kText:  // host's node: the viewer's text, for the matcher
        if (hostSide_ && body.size() <= kTextLimit) server_.PeerText(Id(), body);
        return;
      case fleet::Kind::kClosed:  // host's node: the viewer is gone
        if (hostSide_) End();
        return;
      case fleet::Kind::kSend:  // viewer's node: a text for the viewer
        if (!hostSide_ && local_) {
          OutMessage message;
          message.text = std::move(body);
          local_->Enqueue(std::move(message));
        }
        return;
      case fleet::Kind::kClose:  // viewer's node: the host's node closed the viewer
        if (!hostSide_ && local_ && body.size() == 2) {
          local_->CloseAfterDrain(static_cast<std::uint16_t>(
              (static_cast<std::uint8_t>(body[0]) << 8) | static_cast<std::uint8_t>(body[1])));
        }
        if (!hostSide_) End();
        return;
      case fleet::Kind::kRequest:
        if (!hostSide_ && body.size() <= 64) requestId_ = std::move(body);
        return;
      default:
        return;
    }
  }

  // Viewer's node: the viewer's text message, for the host's node.
  void SendText(std::string_view text) { SendControl(fleet::Kind::kText, text); }

  // Viewer's node: the viewer's connection ended.
  void LocalEnded() {
    if (ended_) return;
    SendControl(fleet::Kind::kClosed, {});
    End();
  }

  // The other node or the NATS link is gone: the session ends as if the far end had left. The
  // viewer hears "peerDisconnected" and is closed; the host hears it from the matcher.
  void Lost() {
    if (ended_) return;
    if (!hostSide_ && local_) {
      OutMessage notice;
      notice.text = requestId_.empty()
                        ? std::string(R"({"type":"error","code":"unavailable"})")
                        : SerializeMessage(Json{{"type", "peerDisconnected"},
                                                {"requestId", requestId_}});
      local_->Enqueue(std::move(notice));
      local_->CloseAfterDrain(requestId_.empty() ? ws::close_code::kPolicy
                                                 : ws::close_code::kNormal);
    }
    End();
  }

 private:
  bool Send(fleet::Message& m) {
    m.from = server_.FleetLink().Node();
    m.conn = wire_;
    std::string bytes;
    bytes.reserve(fleet::kHeaderMax + m.body.size());
    fleet::Encode(m, bytes);
    return server_.SendToNode(node_, std::move(bytes));
  }

  void SendControl(fleet::Kind kind, std::string_view body) {
    fleet::Message m;
    m.kind = kind;
    m.body = {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()};
    if (!Send(m)) Fail();
  }

  void ReceiveData(std::uint64_t seq, std::uint8_t flags, ws::Bytes chunk) {
    if (seq != inSeq_++ || assembling_.size() + chunk.size() > kBinaryLimit) return Fail();
    if (assembling_.size() == 0) {
      assembling_ = std::move(chunk);  // a whole message in one chunk is passed on as it came
    } else {
      assembling_.Append(chunk.data(), chunk.size());
    }
    if ((flags & fleet::kMore) != 0) return;
    ws::Bytes data = std::move(assembling_);
    const std::size_t size = data.size();
    owedMessages_ += 1;
    owedBytes_ += size;
    std::shared_ptr<Peer> to = local_;
    if (!to && hostSide_) {
      // Not routed (yet, or any more): the matcher decides, as for a local connection.
      bool open = true;
      to = server_.PeerBinary(Id(), size, open);
    }
    if (!to) return FlushCredit(false);  // dropped: its room is given back
    const bool full = to->Reserve(size, o_);
    if (to->GetExecutor() == GetExecutor()) {
      to->Deliver(std::move(data));
    } else {
      net::post(to->GetExecutor(), [to, data = std::move(data)]() mutable {
        to->Deliver(std::move(data));
      });
    }
    if (full) {
      withholding_ = true;
      net::post(to->GetExecutor(), [to, waiter = Waiter{&worker_, Id()}] { to->WatchLow(waiter); });
      return;
    }
    FlushCredit(false);
  }

  // Credit goes back in batches of a quarter of the window (all of it when `all`), so that a
  // stream of small messages does not double the messages between the nodes.
  void FlushCredit(bool all) {
    if (owedMessages_ == 0 || withholding_) return;
    if (!all && owedMessages_ < std::max<std::size_t>(1, o_.queueMessages / 4) &&
        owedBytes_ < o_.queueBytes / 4) {
      return;
    }
    std::string body(16, '\0');
    for (std::size_t i = 0; i < 8; ++i) {
      body[i] = static_cast<char>((owedMessages_ >> (8 * i)) & 0xff);
      body[8 + i] = static_cast<char>((owedBytes_ >> (8 * i)) & 0xff);
    }
    owedMessages_ = 0;
    owedBytes_ = 0;
    SendControl(fleet::Kind::kCredit, body);
  }

  void Wake(Waiter waiter) {
    net::post(waiter.worker->ioc, [worker = waiter.worker, id = waiter.id, from = Id()] {
      const auto it = worker->sessions.find(id);
      if (it != worker->sessions.end()) it->second->Resume(from);
    });
  }

  // The link failed (a publish refused, a chunk missing): both nodes end the session.
  void Fail() {
    if (ended_) return;
    server_.Log("conn=" + std::to_string(Id()) + " node=" + node_ + " event=link-failed");
    if (hostSide_) {
      const std::string body{static_cast<char>(ws::close_code::kInternalError >> 8),
                             static_cast<char>(ws::close_code::kInternalError & 0xff)};
      fleet::Message m;
      m.kind = fleet::Kind::kClose;
      m.body = {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()};
      Send(m);
    } else {
      fleet::Message m;
      m.kind = fleet::Kind::kClosed;
      Send(m);
    }
    Lost();
  }

  void End() {
    if (ended_) return;
    const auto keep = shared_from_this();
    ended_ = true;
    assembling_.Clear();
    if (waiter_) {
      Wake(*waiter_);
      waiter_.reset();
    }
    worker_.sessions.erase(Id());
    server_.LinkEnded(Key());
    if (hostSide_) server_.PeerEnded(Id());
    // The local partner is let go on its own thread.
    if (local_ && local_->GetExecutor() != GetExecutor()) {
      net::post(local_->GetExecutor(), [gone = std::move(local_)] {});
    }
    local_.reset();
  }

  Server::Impl& server_;
  Worker& worker_;
  const ServerOptions& o_;
  const std::string node_;  // the other node
  const ConnId wire_;       // the viewer's connection on the viewer's node
  const bool hostSide_;     // stands for the viewer (on the host's node)
  std::shared_ptr<Peer> local_;   // the local partner: the host, or the viewer
  std::optional<Waiter> waiter_;  // the local partner paused on the window
  std::string requestId_;         // viewer's node: the request, once the host's node named it
  ws::Bytes assembling_;          // chunks of the message being received
  std::uint64_t outSeq_ = 0;
  std::uint64_t inSeq_ = 0;
  std::size_t owedMessages_ = 0;  // passed on and not yet credited
  std::size_t owedBytes_ = 0;
  bool withholding_ = false;      // the local partner's queue is full: no credit until it drains
  bool ended_ = false;
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

bool Server::Impl::LinkPeerValid(const std::string& node, const std::string& token) {
  const auto peer = fleet_ ? fleet_->Peer(node) : std::nullopt;
  return peer && !token.empty() && peer->token == token;
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
  auto link = std::make_shared<RemotePeer>(*this, worker, NextId(), node, viewer->Id(), false);
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
  m.conn = viewer->Id();
  m.body = {reinterpret_cast<const std::uint8_t*>(registration.data()), registration.size()};
  std::string bytes;
  fleet::Encode(m, bytes);
  Post(*viewer, [this, viewer, link, node, bytes = std::move(bytes), &worker]() mutable {
    worker.sessions.emplace(link->Id(), link);
    link->Route(viewer);
    viewer->Route(link);
    if (!SendToNode(node, std::move(bytes))) link->Lost();
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
    const auto it = links_.find(LinkKey(message.from, message.conn));
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
  const std::string key = LinkKey(message.from, message.conn);
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
                                           message.conn, true);
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

namespace {

// The clear-text transport of an upgraded connection, with the non-blocking calls of TlsSocket.
class PlainSocket {
 public:
  using executor_type = Executor;
  using Wait = TlsSocket::Wait;
  explicit PlainSocket(Socket socket) : socket_(std::move(socket)) {
    error_code ignored;
    socket_.non_blocking(true, ignored);
  }
  executor_type get_executor() { return socket_.get_executor(); }
  Socket& next_layer() { return socket_; }

  Wait TryRead(unsigned char* data, std::size_t size, std::size_t& n, error_code& ec) {
    n = socket_.read_some(net::buffer(data, size), ec);
    if (ec == net::error::would_block || ec == net::error::try_again) {
      ec = {};
      return Wait::kReadable;
    }
    return Wait::kNone;
  }
  template <class Handler>
  void async_wait(Wait wait, Handler&& handler) {
    socket_.async_wait(wait == Wait::kWritable ? Socket::wait_write : Socket::wait_read,
                       std::forward<Handler>(handler));
  }
  template <class Buffers, class Handler>
  auto async_write_some(const Buffers& buffers, Handler&& handler) {
    return socket_.async_write_some(buffers, std::forward<Handler>(handler));
  }
  void ShutdownSend() {
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
  }

 private:
  Socket socket_;
};

template <class Stream>
Socket& TcpSocketOf(Stream& stream) {
  return stream.next_layer();
}
Socket& TcpSocketOf(Socket& socket) { return socket; }

// Read buffer shared by the connections of one thread: bytes are read into it only when no frame
// payload is expected, and whatever a connection cannot use at once it copies out.
constexpr std::size_t kScratchSize = 16384;
// A payload at least this large is read straight into its message buffer.
constexpr std::size_t kDirectRead = 2048;
// Binary messages up to this size (in one frame) are forwarded whole rather than streamed.
constexpr std::uint64_t kStoreBelow = 65536;
// The most one system call of a large write is given.
constexpr std::size_t kWriteStep = std::size_t{1} << 20;
// Reads one connection does in a row before the other connections of its thread get a turn.
constexpr int kReadsPerTurn = 8;
// Texts a connection may send at once, and their rate after that.
constexpr std::uint16_t kTextBurst = 20;
constexpr Millis kTextsPerSecond = 2;
// The closing handshake (our close frame to the peer's, or to its end of the stream).
constexpr Millis kCloseTimeout = 10000;

std::uint8_t* Scratch() {
  thread_local std::uint8_t scratch[kScratchSize];
  return scratch;
}

// One upgraded connection: the relay's own RFC 6455 framing over the socket or the TLS layer.
// Reads whole messages within their limits, hands them to the server, and writes its queue one
// message at a time. Reading pauses while the partner's queue is full. An idle connection holds no
// buffer: bytes are read into the thread's scratch buffer, and a message gets a buffer of its own
// only while it is in flight. No timer: the worker's periodic Check watches silence, stuck
// writes and closing handshakes.
//
// A paired session forwards on its own: its route names the partner, a message goes straight
// into the partner's queue (run on the partner's thread, after everything handed over before),
// and the server's lock is not taken. Without a route the server decides each message.
template <class Stream>
class WsSession final : public Peer, public std::enable_shared_from_this<WsSession<Stream>> {
 public:
  using Wait = TlsSocket::Wait;
  WsSession(Server::Impl& server, Worker& worker, Stream&& stream, ConnId id)
      : Peer(id, worker.ioc.get_executor()),
        server_(server),
        worker_(worker),
        stream_(std::move(stream)),
        o_(server.Options()),
        reader_({kTextLimit, kBinaryLimit}) {
    GateBinary();
  }

  // The upgrade response has been written; `early` holds what the client sent after its request.
  // `address` (its AddressKey) counts this connection until End.
  void Start(const net::ip::address& ip, const std::string& address,
             std::span<const std::uint8_t> early) {
    opened_ = true;
    ip_ = ip;
    address_ = address;
    prefixQueue_ = server_.PrefixQueue(address);
    if (!early.empty()) held_.Append(early.data(), early.size());
    worker_.sessions.emplace(Id(), this->shared_from_this());
    if (!server_.PeerOpened(this->shared_from_this(), address)) refused_ = true;
    Read();
  }

  void Enqueue(OutMessage message) override {
    if (ended_ || Closed()) return;
    Reserve(message.Size(), o_);
    message.order = ++lastOrder_;
    Account(static_cast<std::ptrdiff_t>(message.Size()));
    queue_.push_back(std::move(message));
    Write();
  }

  void Deliver(ws::Bytes data) override {
    if (ended_ || Closed()) {
      // Reserved by the sender before the close: given back, so that the sender is not held.
      Released(data.size());
      WakeIfLow();
      return;
    }
    OutMessage message;
    message.kind = OutMessage::Kind::kBinary;
    message.data = std::move(data);
    message.order = ++lastOrder_;
    Account(static_cast<std::ptrdiff_t>(message.Size()));
    queue_.push_back(std::move(message));
    Write();
  }

  bool TakesPieces() const override { return true; }

  bool Saturated() const override {
    return prefixQueue_ &&
           prefixQueue_->load(std::memory_order_relaxed) >= server_.PrefixBudgetBytes();
  }

  void DeliverPiece(OutMessage piece) override {
    if (ended_ || Closed()) {
      Released(piece.Size());
      GiveChunk(std::move(piece.data));
      WakeIfLow();
      return;
    }
    piece.order = ++lastOrder_;
    Account(static_cast<std::ptrdiff_t>(piece.Size()));
    pieces_.push_back(std::move(piece));
    Write();
  }

  void BreakStream() override {
    if (ended_ || (!outMidMessage_ && pieces_.empty())) return;
    server_.Log("conn=" + std::to_string(Id()) + " event=partner-message-broken");
    End();
  }

  void CloseAfterDrain(std::uint16_t code) override {
    if (closeRequested_ || ended_) return;
    closeRequested_ = true;
    closeCode_ = code;
    Write();
  }

  void Route(std::shared_ptr<Peer> partner) override {
    DropRoute();
    if (ended_) return;
    route_ = std::move(partner);
    // A message on its way to another partner (or to one that has gone) goes no further.
    if (target_ && target_ != route_) {
      BreakTarget();
      reader_.SkipRest();
    }
    // A pause for the queue of a former partner ends with the route.
    if (paused_ && (!route_ || route_->Id() != stalledOn_)) ResumeReading();
  }

  void WatchLow(Waiter waiter) override {
    if (ended_ || Low(o_)) return Wake(waiter);
    waiter_ = waiter;
  }

  void Resume(ConnId from) override {
    if (paused_ && stalledOn_ == from) ResumeReading();
  }

  void Abort() override {
    server_.Log("conn=" + std::to_string(Id()) + " event=abort");
    End();
  }

  void Check(Millis now, Millis idleTimeout, Millis writeTimeout) override {
    if (ended_) return;
    // Minimum progress: while something waits to be written, each period of writeTimeout must
    // see at least minWriteRate bytes a second go out, or the reader is too slow to keep.
    const std::uint64_t written = written_ + writeProgress_;
    if (!writing_ && queue_.empty() && pieces_.empty()) {
      progressSince_ = now;
      progressMark_ = written;
    } else if (now - progressSince_ >= writeTimeout) {
      const std::uint64_t wanted =
          static_cast<std::uint64_t>(o_.minWriteRate) * static_cast<std::uint64_t>(writeTimeout) /
          1000;
      if (written - progressMark_ < wanted) {
        server_.Log("conn=" + std::to_string(Id()) + " event=write-stalled");
        return Abort();
      }
      progressSince_ = now;
      progressMark_ = written;
    }
    if ((closing_ || draining_) && now - closeStart_ > kCloseTimeout) {
      server_.Log("conn=" + std::to_string(Id()) + " event=close-timeout");
      return Abort();
    }
    // Not reading, or only waiting for the end: silence says nothing.
    if (paused_ || !opened_ || closing_ || draining_) lastHeard_ = now;
    if (now - lastHeard_ >= idleTimeout) {
      server_.Log("conn=" + std::to_string(Id()) + " event=idle-timeout");
      return Abort();
    }
    if (now - lastHeard_ >= idleTimeout / 2 && !pingSent_ && !closeRequested_) {
      pingSent_ = true;
      pingDue_ = true;
      Write();
    }
  }

  void Release() override {
    route_.reset();
    target_.reset();
    waiter_.reset();
  }

 private:
  // What the last write carried.
  enum class Out : std::uint8_t { kNone, kMessage, kPieces, kControl, kClose };
  // Pieces gathered into one write at most.
  static constexpr std::size_t kGather = 16;

  // Nothing more is written but the close: the peer closed first, a violation was read, or our
  // close is out. A message queued now would stand before the close for good.
  bool Closed() const { return peerClosed_ || failing_ || closeSent_; }

  void WakeIfLow() {
    if (waiter_ && Low(o_)) {
      Wake(*waiter_);
      waiter_.reset();
    }
  }

  // Each binary message is decided at its first header, before any of its payload is read: with
  // a route it goes to the partner; without one the server decides (one that would be refused
  // whole is refused there, one that would be dropped is skipped unread). A partner that takes
  // pieces gets the message streamed as it arrives; another (a link to another node) gets it
  // whole.
  void GateBinary() {
    reader_.SetBinaryGate([this] { return AdmitBinary(); });
  }
  ws::Reader::Admit AdmitBinary() {
    std::shared_ptr<Peer> to = route_;
    if (!to) {
      switch (server_.PeerBinaryHeader(Id(), to)) {
        case BinaryStart::kRead:
          break;
        case BinaryStart::kSkip:
          return ws::Reader::Admit::kSkip;
        case BinaryStart::kRefused:
          refused_ = true;
          refusedAtHeader_ = true;
          return ws::Reader::Admit::kSkip;
      }
      if (!to) return ws::Reader::Admit::kSkip;
    }
    target_ = std::move(to);
    // A message in one frame of at most kStoreBelow bytes is passed on whole: the partner never
    // holds part of it when this sender goes away in its middle (a viewer's input and file
    // chunks are all that small); larger ones stream.
    const bool small = reader_.FrameFinal() && reader_.FrameLength() <= kStoreBelow;
    return target_->TakesPieces() && !small ? ws::Reader::Admit::kStream
                                            : ws::Reader::Admit::kStore;
  }

  // Streaming: a buffer for the reader to write the next pieces into.
  void NewOutput() {
    outChunk_ = TakeChunk(reader_.OutputWanted());
    reader_.SetOutput({outChunk_.data(), outChunk_.capacity()});
  }

  // Streaming: what the reader has written goes to the partner as one piece (`end`: the last).
  void FlushPiece(bool end) {
    const std::size_t n = reader_.OutputUsed();
    if (n == 0) return;
    OutMessage piece;
    piece.kind = OutMessage::Kind::kPiece;
    piece.frameEnd = reader_.OutputAtFrameEnd();
    piece.messageEnd = end;
    outChunk_.Grow(n);
    piece.data = std::move(outChunk_);
    reader_.SetOutput({});
    if (!target_) return GiveChunk(std::move(piece.data));
    streamOpen_ = !end;
    HandOver(target_, std::move(piece));
  }

  // The message being streamed stops here: its partner, which has part of it, is told.
  void BreakTarget() {
    if (target_ && streamOpen_) {
      Post(target_, [to = target_] { to->BreakStream(); });
    }
    streamOpen_ = false;
    target_.reset();
    reader_.SetOutput({});
    outChunk_.Clear();
  }

  template <class Task>
  static void Post(const std::shared_ptr<Peer>& to, Task&& task) {
    net::post(to->GetExecutor(), std::forward<Task>(task));
  }

  bool CanRead() const {
    if (ended_) return false;
    // After a violation our side has ended too: the peer's end of the stream is still read, so
    // that the connection goes as soon as the peer has gone.
    if (draining_) return true;
    if (failing_) return false;
    if (closing_) return true;
    return !paused_ && !refused_ && !closeRequested_;
  }

  void Read() {
    if (reading_ || !CanRead()) return;
    Pump();
  }

  // Reads and handles what the socket has, up to kReadsPerTurn reads; then waits for more, or
  // lets the other connections of the thread go first. Messages are handled in the order read;
  // one that went through the matcher ends the turn.
  void Pump() {
    for (int round = 0; round < kReadsPerTurn; ++round) {
      if (!CanRead()) return;
      if (held_.size() > 0 && !draining_) {
        // Bytes read earlier and not yet used (kept across a pause, or sent with the request).
        ws::Bytes held = std::move(held_);
        std::span<const std::uint8_t> rest(held.data(), held.size());
        if (!Process(rest)) {
          if (!rest.empty() && CanKeep()) held_.Append(rest.data(), rest.size());
          if (yield_) break;
          return;
        }
        continue;
      }
      if (!closing_ && !draining_ && !PrepareOutput()) return;
      const std::span<std::uint8_t> room =
          closing_ || draining_ ? std::span<std::uint8_t>() : reader_.PayloadRoom();
      const bool direct = room.size() >= kDirectRead;
      std::uint8_t* target = direct ? room.data() : Scratch();
      const std::size_t capacity = direct ? room.size() : kScratchSize;
      std::size_t n = 0;
      error_code ec;
      // While draining, bytes are read (TLS: decrypted, so that the peer's close_notify ends the
      // stream) and dropped.
      const Wait wait = stream_.TryRead(target, capacity, n, ec);
      if (ec) return OnReadError(ec);
      if (n == 0) {
        // Nothing more for now: what arrived of a streamed message goes on at once.
        FlushPiece(false);
        if (!CanRead()) return;
        reading_ = true;
        return stream_.async_wait(wait, [self = this->shared_from_this()](const error_code& e) {
          self->reading_ = false;
          if (e) return self->OnReadError(e);
          self->Pump();
        });
      }
      Heard();
      if (draining_) continue;
      if (direct) {
        if (!Handle(reader_.CommitPayload(n))) {
          if (yield_) break;
          return;
        }
        continue;
      }
      std::span<const std::uint8_t> rest(target, n);
      if (!Process(rest)) {
        if (!rest.empty() && CanKeep()) held_.Append(rest.data(), rest.size());
        if (yield_) break;
        return;
      }
    }
    // The continuation is posted after whatever the matcher's actions posted, so they take
    // effect (a route, a "connected" ahead of the first forwarded message) before the next
    // message of this connection is read.
    yield_ = false;
    FlushPiece(false);
    if (!CanRead()) return;
    reading_ = true;
    net::post(GetExecutor(), [self = this->shared_from_this()] {
      self->reading_ = false;
      self->Pump();
    });
  }

  // Streaming: the output has room before the next read (a full one goes to the partner first).
  // False when that paused reading.
  bool PrepareOutput() {
    if (!reader_.Streaming()) return true;
    if (outChunk_.capacity() != 0 && reader_.OutputUsed() < outChunk_.capacity()) return true;
    FlushPiece(false);
    if (!CanRead()) return false;
    NewOutput();
    return true;
  }

  // Unused bytes are kept for later unless the connection is failing.
  bool CanKeep() const { return !ended_ && !failing_ && !draining_; }

  // Feeds `bytes` to the reader and handles its events; false when reading stops here (`bytes`
  // then starts with what was not used).
  bool Process(std::span<const std::uint8_t>& bytes) {
    while (!bytes.empty()) {
      if (!Handle(reader_.Consume(bytes))) return false;
      // Refused at a binary message's header: nothing more is read until the relay's close is
      // out; then, as after any refusal, the rest is read for the peer's close or end of stream.
      if (!CanRead()) return false;
    }
    return true;
  }

  // Carries out one event of the reader; false when reading stops for now.
  bool Handle(const ws::Reader::Event& event) {
    using Kind = ws::Reader::Kind;
    switch (event.kind) {
      case Kind::kNeedMore:
      case Kind::kPong:
        return true;
      case Kind::kText: {
        if (!TakeTextToken()) {
          // Over its budget of texts: refused here, without the matcher's lock.
          server_.Log("conn=" + std::to_string(Id()) + " event=text-rate");
          OutMessage refusal;
          refusal.text = R"({"code":"rateLimited","type":"error"})";
          Enqueue(std::move(refusal));
          CloseAfterDrain(ws::close_code::kPolicy);
          refused_ = true;
          reader_.TakeMessage();
          return false;
        }
        if (!server_.PeerText(Id(), reader_.Message())) refused_ = true;
        reader_.TakeMessage();  // an idle connection keeps no message buffer
        yield_ = true;
        return false;
      }
      case Kind::kBinary:
        if (!route_) yield_ = true;
        Forward(reader_.TakeMessage());
        return !yield_ && CanRead();
      case Kind::kOutputFull:
        FlushPiece(false);
        if (!CanRead()) return false;
        NewOutput();
        return true;
      case Kind::kStreamEnd:
        FlushPiece(true);
        worker_.forwardedMessages.fetch_add(1, std::memory_order_relaxed);
        worker_.forwardedBytes.fetch_add(reader_.StreamedSize(), std::memory_order_relaxed);
        target_.reset();
        if (!route_) yield_ = true;
        return !yield_ && CanRead();
      case Kind::kPing:
        if (closing_) return true;  // our close is out: nothing but the peer's close matters
        pong_.assign(reader_.Control());
        pongDue_ = true;
        Write();
        return CanRead();
      case Kind::kClose:
        if (closing_) {
          Teardown();
          return false;
        }
        // The peer closes first: its close is echoed once what is being written is out; the
        // rest of the queue is dropped. A close cannot follow a frame cut short: then the
        // connection just ends.
        BreakTarget();
        if (OutputMidFrame()) {
          End();
          return false;
        }
        peerClosed_ = true;
        closeRequested_ = true;
        closeCode_ = event.closeCode;
        closeReason_.assign(reader_.Control());
        DropQueue();
        Write();
        return false;
      case Kind::kTooLarge:
        // The matcher answers with its error and the close. The frame's payload (which may be
        // far larger than anything the peer will send) is not waited for: once the close is out
        // the connection ends as after a violation.
        refused_ = true;
        refusedAtHeader_ = true;
        BreakTarget();
        server_.PeerOversize(Id(), event.text);
        return false;
      case Kind::kError:
        server_.Log("conn=" + std::to_string(Id()) + " event=protocol-error error=" +
                    std::string(event.what));
        BreakTarget();
        if (closing_) {
          // Our close is already out and no second one follows: the handshake ends here, and
          // the peer's end of the stream is read as after any other violation.
          Teardown();
          return false;
        }
        if (OutputMidFrame()) {
          End();
          return false;
        }
        failing_ = true;
        closeRequested_ = true;
        closeCode_ = event.closeCode;
        closeReason_.clear();
        DropQueue();
        held_.Clear();
        Write();
        return false;
    }
    return false;
  }

  void OnReadError(const error_code& ec) {
    if (draining_ || closing_) return End();  // the peer's end of the stream, as expected
    if (ec != net::error::eof && ec != net::error::operation_aborted &&
        ec != net::error::bad_descriptor) {
      server_.Log("conn=" + std::to_string(Id()) + " event=read-error error=" + ec.message());
    }
    End();
  }

  // A token bucket of texts per connection: kTextBurst at once, kTextsPerSecond after that. A
  // device sends a handful of texts per pairing; the relay's answers never need more.
  bool TakeTextToken() {
    const Millis now = NowMs();
    if (textRefill_ == 0) textRefill_ = now;
    const Millis earned = (now - textRefill_) * kTextsPerSecond / 1000;
    if (earned > 0) {
      textTokens_ = static_cast<std::uint16_t>(
          std::min<Millis>(kTextBurst, textTokens_ + earned));
      textRefill_ += earned * 1000 / kTextsPerSecond;
    }
    if (textTokens_ >= kTextBurst) textRefill_ = now;
    if (textTokens_ == 0) return false;
    --textTokens_;
    return true;
  }

  void Heard() {
    lastHeard_ = NowMs();
    pingSent_ = false;
  }

  // A whole binary message goes to the partner decided at its header.
  void Forward(ws::Bytes data) {
    const std::shared_ptr<Peer> to = std::move(target_);
    if (!to) return;
    worker_.forwardedMessages.fetch_add(1, std::memory_order_relaxed);
    worker_.forwardedBytes.fetch_add(data.size(), std::memory_order_relaxed);
    OutMessage message;
    message.kind = OutMessage::Kind::kBinary;
    message.data = std::move(data);
    HandOver(to, std::move(message));
  }

  // One handoff of a message or a piece: it goes into the partner's queue on the partner's
  // thread (directly when that is this thread). Posts from one thread run in order, so the
  // partner's queue keeps the order in which this connection read them.
  void HandOver(const std::shared_ptr<Peer>& to, OutMessage message) {
    // The partner's window, or the relay-wide budget: either full, this sender waits until the
    // partner's queue has drained to half.
    const bool full =
        to->Reserve(message.Size(), o_) || server_.OverBudget() || to->Saturated();
    auto deliver = [](Peer& peer, OutMessage& m) {
      if (m.kind == OutMessage::Kind::kPiece) {
        peer.DeliverPiece(std::move(m));
      } else {
        peer.Deliver(std::move(m.data));
      }
    };
    if (to->GetExecutor() == GetExecutor()) {
      deliver(*to, message);
    } else {
      net::post(to->GetExecutor(), [to, deliver, message = std::move(message)]() mutable {
        deliver(*to, message);
      });
    }
    if (!full) return;
    // Backpressure: stop reading until the partner's queue has drained to half. The partner
    // learns of the waiter after the message that filled its queue.
    paused_ = true;
    stalledOn_ = to->Id();
    net::post(to->GetExecutor(), [to, waiter = Waiter{&worker_, Id()}] { to->WatchLow(waiter); });
  }

  void ResumeReading() {
    paused_ = false;
    stalledOn_ = 0;
    Read();
  }

  // Resumes a paused partner on its own thread, if it is still there.
  void Wake(Waiter waiter) {
    net::post(waiter.worker->ioc, [worker = waiter.worker, id = waiter.id, from = Id()] {
      const auto it = worker->sessions.find(id);
      if (it != worker->sessions.end()) it->second->Resume(from);
    });
  }

  // A session is destroyed on its own thread: a route to another worker's session is let go
  // there.
  void DropRoute() {
    if (!route_) return;
    if (route_->GetExecutor() == GetExecutor()) {
      route_.reset();
    } else {
      const Executor there = route_->GetExecutor();
      net::post(there, [gone = std::move(route_)] {});
    }
  }

  // Messages not yet being written are given up (the connection is closing on the peer's word
  // or on a violation); the ones being written finish first.
  void DropQueue() {
    auto drop = [this](detail::OutQueue& queue, std::size_t keep) {
      detail::OutQueue kept;
      while (!queue.empty()) {
        if (keep > 0) {
          kept.push_back(std::move(queue.front()));
          --keep;
        } else {
          Released(queue.front().Size());
          Account(-static_cast<std::ptrdiff_t>(queue.front().Size()));
          if (queue.front().kind == OutMessage::Kind::kPiece) GiveChunk(std::move(queue.front().data));
        }
        queue.pop_front();
      }
      queue = std::move(kept);
    };
    drop(queue_, writing_ && out_ == Out::kMessage ? 1 : 0);
    drop(pieces_, writing_ && out_ == Out::kPieces ? inFlight_ : 0);
    WakeIfLow();
  }

  // Bytes queued here, counted relay-wide and for this connection's address.
  void Account(std::ptrdiff_t bytes) {
    server_.Queued(bytes);
    if (prefixQueue_) {
      prefixQueue_->fetch_add(static_cast<std::size_t>(bytes), std::memory_order_relaxed);
    }
  }

  // The connection has ended: what it still had queued leaves the relay-wide count.
  void DiscardQueues() {
    std::size_t bytes = 0;
    for (detail::OutQueue* queue : {&queue_, &pieces_}) {
      for (std::size_t i = 0; i < queue->size(); ++i) bytes += (*queue)[i].Size();
      queue->clear();
    }
    Account(-static_cast<std::ptrdiff_t>(bytes));
  }

  // What has gone out, or is going out now, ends inside a frame: nothing else may follow.
  bool OutputMidFrame() const {
    if (writing_ && out_ == Out::kPieces) return !pieces_[inFlight_ - 1].frameEnd;
    return outMidFrame_;
  }

  // One control frame (payload at most 125 bytes) into control_.
  void BuildControl(ws::Opcode opcode, std::string_view payload) {
    std::uint8_t head[10];
    const std::size_t n = ws::WriteFrameHeader(head, opcode, payload.size());
    control_.assign(reinterpret_cast<const char*>(head), n);
    control_.append(payload);
  }

  void Write() {
    if (writing_ || ended_) return;
    auto handler = [self = this->shared_from_this()](const error_code& ec, std::size_t n) {
      self->OnWrite(ec, n);
    };
    if (closeSent_) return;
    // Control frames go between frames only, never inside one that is part-way out.
    if (pongDue_ && !failing_ && !outMidFrame_) {
      pongDue_ = false;
      BuildControl(ws::Opcode::kPong, pong_);
      pong_ = std::string();
      return StartWrite(Out::kControl, net::buffer(control_), std::move(handler));
    }
    if (pingDue_ && !closeRequested_ && !outMidFrame_) {
      pingDue_ = false;
      BuildControl(ws::Opcode::kPing, {});
      return StartWrite(Out::kControl, net::buffer(control_), std::move(handler));
    }
    if (!failing_ && !peerClosed_) {
      // A streamed message part-way out goes on before anything else; otherwise what was queued
      // first goes first.
      const bool piecesFirst =
          !pieces_.empty() &&
          (outMidMessage_ || queue_.empty() || pieces_.front().order < queue_.front().order);
      if (piecesFirst) return WritePieces(std::move(handler));
      if (!queue_.empty() && !outMidMessage_) {
        OutMessage& front = queue_.front();
        const bool binary = front.kind == OutMessage::Kind::kBinary;
        const std::size_t size = front.Size();
        const std::size_t n =
            ws::WriteFrameHeader(head_, binary ? ws::Opcode::kBinary : ws::Opcode::kText, size);
        const std::array<net::const_buffer, 2> buffers = {
            net::const_buffer(head_, n),
            binary ? net::const_buffer(front.data.data(), size) : net::buffer(front.text)};
        return StartWrite(Out::kMessage, buffers, std::move(handler));
      }
    }
    if (closeRequested_ && queue_.empty() && pieces_.empty() && !outMidFrame_ &&
        (!outMidMessage_ || failing_ || peerClosed_)) {
      std::string payload;
      if (closeCode_ != 0) {
        payload.push_back(static_cast<char>(closeCode_ >> 8));
        payload.push_back(static_cast<char>(closeCode_ & 0xff));
        payload += closeReason_;
      }
      closeReason_ = std::string();
      BuildControl(ws::Opcode::kClose, payload);
      return StartWrite(Out::kClose, net::buffer(control_), std::move(handler));
    }
  }

  // Consecutive pieces in one write, up to the end of a message where a text queued before the
  // next message waits.
  template <class Handler>
  void WritePieces(Handler&& handler) {
    std::array<net::const_buffer, kGather> buffers{};
    std::size_t k = 0;
    while (k < pieces_.size() && k < kGather) {
      const OutMessage& piece = pieces_[k];
      if (k > 0 && pieces_[k - 1].messageEnd && !queue_.empty() &&
          queue_.front().order < piece.order) {
        break;
      }
      buffers[k] = net::const_buffer(piece.data.data(), piece.data.size());
      ++k;
    }
    inFlight_ = k;
    StartWrite(Out::kPieces, buffers, std::forward<Handler>(handler));
  }

  template <class Buffers, class Handler>
  void StartWrite(Out what, const Buffers& buffers, Handler&& handler) {
    writing_ = true;
    out_ = what;
    writeProgress_ = 0;
    // Large writes go out in large system calls; the progress of each one is noted for the
    // minimum-progress rule.
    net::async_write(
        stream_, buffers,
        [this](const error_code& ec, std::size_t done) -> std::size_t {
          writeProgress_ = done;
          return ec ? 0 : kWriteStep;
        },
        std::forward<Handler>(handler));
  }

  void OnWrite(const error_code& ec, std::size_t n) {
    writing_ = false;
    writeProgress_ = 0;
    written_ += n;
    const Out what = std::exchange(out_, Out::kNone);
    if (ended_) {
      DiscardQueues();
      return;
    }
    if (ec) {
      End();
      return;
    }
    switch (what) {
      case Out::kMessage:
        Released(queue_.front().Size());
        Account(-static_cast<std::ptrdiff_t>(queue_.front().Size()));
        queue_.pop_front();
        WakeIfLow();
        break;
      case Out::kPieces:
        for (std::size_t i = 0; i < inFlight_; ++i) {
          OutMessage& piece = pieces_.front();
          outMidFrame_ = !piece.frameEnd;
          outMidMessage_ = !piece.messageEnd;
          Released(piece.Size());
          Account(-static_cast<std::ptrdiff_t>(piece.Size()));
          GiveChunk(std::move(piece.data));
          pieces_.pop_front();
        }
        inFlight_ = 0;
        WakeIfLow();
        break;
      case Out::kControl:
        control_ = std::string();
        break;
      case Out::kClose:
        control_ = std::string();
        closeSent_ = true;
        if (peerClosed_ || failing_ || refusedAtHeader_) {
          Teardown();
        } else {
          // Our close goes first: what the peer still sends is skipped until its close.
          closing_ = true;
          closeStart_ = NowMs();
          BreakTarget();
          reader_.Discard();
          Read();
        }
        return;
      case Out::kNone:
        break;
    }
    Write();
  }

  // The closing handshake is over or given up: our side of the stream ends, and the peer's
  // bytes are read and dropped until its end (so that nothing unread turns our close into a
  // reset), bounded by the close deadline.
  void Teardown() {
    if (draining_ || ended_) return;
    closing_ = false;
    draining_ = true;
    closeStart_ = NowMs();
    held_.Clear();
    stream_.ShutdownSend();
    Read();
  }

  void End() {
    if (ended_) return;
    const auto keep = this->shared_from_this();
    ended_ = true;
    // A write in flight still points into the queues' fronts; OnWrite empties them instead.
    if (!writing_) DiscardQueues();
    held_.Clear();
    BreakTarget();
    error_code ignored;
    TcpSocketOf(stream_).close(ignored);
    DropRoute();
    if (waiter_) {
      Wake(*waiter_);
      waiter_.reset();
    }
    if (opened_) {
      worker_.sessions.erase(Id());
      server_.PeerEnded(Id());
      server_.AddressEnded(ip_);
    }
  }

  Server::Impl& server_;
  Worker& worker_;
  Stream stream_;
  const ServerOptions& o_;
  net::ip::address ip_;
  std::string address_;  // AddressKey of the peer
  std::shared_ptr<std::atomic<std::size_t>> prefixQueue_;  // bytes queued for its address
  ws::Reader reader_;
  ws::Bytes held_;  // bytes read and not yet handed to the reader
  detail::OutQueue queue_;   // texts and whole messages
  detail::OutQueue pieces_;  // pieces of messages streamed by the partner
  std::string control_;      // the control frame being written
  std::string pong_;         // payload of the ping to answer
  std::string closeReason_;  // the peer's reason, echoed with its code
  std::shared_ptr<Peer> route_;   // the partner while paired and known to be
  std::shared_ptr<Peer> target_;  // where the binary message being read goes
  ws::Bytes outChunk_;            // streaming: the buffer the reader writes the next piece into
  std::optional<Waiter> waiter_;  // the partner paused until this queue drains to half
  ConnId stalledOn_ = 0;          // while paused: the session whose queue is full
  std::uint64_t lastOrder_ = 0;     // the order of the last message or piece queued
  std::uint64_t written_ = 0;       // bytes written, all writes finished
  std::size_t writeProgress_ = 0;   // bytes of the write under way already out
  std::uint64_t progressMark_ = 0;  // written_ when the current progress period began
  Millis progressSince_ = NowMs();
  std::size_t inFlight_ = 0;        // pieces in the write under way
  Millis closeStart_ = 0;
  Millis lastHeard_ = NowMs();
  Millis textRefill_ = 0;  // when the text bucket was last topped up (0: never used)
  std::uint16_t textTokens_ = kTextBurst;
  std::uint16_t closeCode_ = ws::close_code::kNormal;
  std::uint8_t head_[10];  // header of the message being written
  Out out_ = Out::kNone;
  bool opened_ = false;
  bool reading_ = false;  // a wait or a continuation of Pump is pending
  bool writing_ = false;
  bool paused_ = false;
  bool refused_ = false;  // told to close: nothing more is read; the close is on its way
  bool closeRequested_ = false;
  bool closeSent_ = false;
  bool closing_ = false;     // our close is out; waiting for the peer's
  bool draining_ = false;    // our side has ended; waiting for the peer's end
  bool peerClosed_ = false;  // the peer's close came first
  bool failing_ = false;     // a violation: our close goes out, then the connection ends
  // A message refused at its header (over its limit, or binary before pairing): likewise, after
  // the relay's error, without waiting for the payload.
  bool refusedAtHeader_ = false;
  bool ended_ = false;
  bool streamOpen_ = false;     // pieces of a message went to target_, its last one has not
  bool outMidMessage_ = false;  // what went out ends inside a streamed message
  bool outMidFrame_ = false;    // ... inside one of its frames
  bool pingSent_ = false;  // a ping went out since the peer was last heard
  bool pingDue_ = false;
  bool yield_ = false;  // a message went through the matcher: Pump lets its actions run first
  bool pongDue_ = false;
};

// A freshly accepted connection until its first request: the TLS handshake, the HTTP request and
// the WebSocket upgrade within one deadline, or the handshake and the request within it and then
// one HTTP response, which may take as long as it keeps going out: it is cut only when none of it
// has been written for that long (a slow client still gets a large download whole).
template <class Stream>
class HttpSession final : public std::enable_shared_from_this<HttpSession<Stream>> {
 public:
  HttpSession(Server::Impl& server, Worker& worker, Stream&& stream, net::ip::address ip)
      : server_(server),
        worker_(worker),
        stream_(std::move(stream)),
        ip_(ip),
        address_(AddressKey(ip)),
        deadline_(worker.ioc) {
    server_.HttpStarted();
  }

  void Start() {
    Expire(Bound());
    if constexpr (std::is_same_v<Stream, TlsSocket>) {
      stream_.async_handshake([self = this->shared_from_this()](const error_code& ec) {
        if (ec) {
          self->server_.Log("addr=" + self->address_ + " event=tls-failed error=" + ec.message());
          self->Finish();
          return;
        }
        self->ReadRequest();
      });
    } else {
      ReadRequest();
    }
  }

 private:
  using Clock = std::chrono::steady_clock;

  std::chrono::milliseconds Bound() const {
    return std::chrono::milliseconds(server_.Options().httpTimeout);
  }

  // When the deadline passes the socket is closed, which ends whatever operation is pending;
  // while an answer is being written, the deadline is `Bound` after its last progress instead.
  void Expire(std::chrono::milliseconds after) {
    deadline_.expires_after(after);
    AwaitDeadline();
  }
  void AwaitDeadline() {
    deadline_.async_wait([weak = this->weak_from_this()](const error_code& ec) {
      const auto self = weak.lock();
      if (ec || !self) return;
      if (self->answering_) {
        const Clock::time_point due = self->lastProgress_ + self->Bound();
        if (due > Clock::now()) {
          self->deadline_.expires_at(due);
          return self->AwaitDeadline();
        }
      }
      error_code ignored;
      TcpSocketOf(self->stream_).close(ignored);
    });
  }

  void ReadRequest() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(0);
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                       self->OnRequest(ec);
                     });
  }

  void OnRequest(const error_code& ec) {
    if (ec) {
      if (ec != http::error::end_of_stream) {
        server_.Log("addr=" + address_ + " event=http-error error=" + ec.message());
      }
      Finish();
      return;
    }
    if (server_.Stopping()) {
      Finish();
      return;
    }
    http::request<http::empty_body> request = parser_->release();
    if (websocket::is_upgrade(request) && request.target() == "/ws") {
      Upgrade(request);
      return;
    }
    auto answer = std::make_shared<Server::Impl::Answer>(server_.Respond(request));
    server_.Log("addr=" + address_ + " event=http method=" +
                LogField(request.method_string()) + " target=" + LogField(request.target()) +
                " status=" +
                std::to_string(answer->file ? 200u : answer->text.result_int()));
    // From here on the bound is on the answer's progress, counted afresh.
    answering_ = true;
    lastProgress_ = Clock::now();
    Expire(Bound());
    if (answer->file) {
      WriteAnswer(answer, answer->fileWriter.emplace(*answer->file));
    } else {
      WriteAnswer(answer, answer->textWriter.emplace(answer->text));
    }
  }

  // Writes the answer piece by piece (the header alone for HEAD), noting each piece that went
  // out, then shuts the connection down.
  template <class Serializer>
  void WriteAnswer(const std::shared_ptr<Server::Impl::Answer>& answer, Serializer& writer) {
    if (answer->headOnly) writer.split(true);
    WriteSome(answer, writer);
  }
  template <class Serializer>
  void WriteSome(std::shared_ptr<Server::Impl::Answer> answer, Serializer& writer) {
    http::async_write_some(
        stream_, writer,
        [self = this->shared_from_this(), answer = std::move(answer), &writer](
            const error_code& ec, std::size_t n) mutable {
          if (n > 0) self->lastProgress_ = Clock::now();
          const bool done = answer->headOnly ? writer.is_header_done() : writer.is_done();
          if (ec || done) {
            self->answering_ = false;
            return self->Shutdown();
          }
          self->WriteSome(std::move(answer), writer);
        });
  }

  // Answers a WebSocket upgrade at /ws; on 101 the connection becomes a WsSession, with the
  // bytes that came after the request.
  void Upgrade(const http::request<http::empty_body>& request) {
    auto response = std::make_shared<http::response<http::string_body>>(
        UpgradeResponse(request, server_.Options().allowedOrigins, server_.ServesWeb(),
                        server_.Secure()));
    if (server_.Draining() && response->result() == http::status::switching_protocols) {
      // Draining: new sessions belong on another node, or here after the restart.
      *response = http::response<http::string_body>(http::status::service_unavailable,
                                                    request.version());
      response->set(http::field::server, kServerName);
      response->set(http::field::content_type, "text/plain; charset=utf-8");
      response->body() = "draining";
      response->keep_alive(false);
      response->prepare_payload();
    }
    const bool accepted = response->result() == http::status::switching_protocols;
    if (!accepted) {
      server_.Log("addr=" + address_ + " event=upgrade-failed error=" + response->body());
    }
    http::async_write(stream_, *response, [self = this->shared_from_this(), response,
                                           accepted](const error_code& ec, std::size_t) {
      if (!accepted) return self->Shutdown();
      if (ec) {
        self->server_.Log("addr=" + self->address_ + " event=upgrade-failed error=" +
                          ec.message());
        return self->Finish();
      }
      self->deadline_.cancel();
      if (self->server_.Stopping()) return self->Finish();
      using WsStream = std::conditional_t<std::is_same_v<Stream, TlsSocket>, TlsSocket,
                                          PlainSocket>;
      self->upgraded_ = true;  // the session ends the address's count
      const auto early = self->buffer_.cdata();
      std::make_shared<WsSession<WsStream>>(self->server_, self->worker_,
                                            WsStream(std::move(self->stream_)),
                                            self->server_.NextId())
          ->Start(self->ip_, self->address_,
                  std::span(static_cast<const std::uint8_t*>(early.data()), early.size()));
      self->Finish();
    });
  }

  void Shutdown() {
    if constexpr (std::is_same_v<Stream, TlsSocket>) {
      Expire(std::chrono::seconds(2));
      stream_.async_shutdown([self = this->shared_from_this()](const error_code&) {
        error_code ignored;
        TcpSocketOf(self->stream_).shutdown(tcp::socket::shutdown_send, ignored);
        TcpSocketOf(self->stream_).close(ignored);
        self->Finish();
      });
    } else {
      error_code ignored;
      stream_.shutdown(tcp::socket::shutdown_send, ignored);
      stream_.close(ignored);
      Finish();
    }
  }

  // Every path that ends this phase calls this once. (Not the destructor: handlers destroyed
  // while the server itself is being torn down must not call back into it.)
  void Finish() {
    deadline_.cancel();
    if (finished_) return;
    finished_ = true;
    server_.HttpEnded();
    if (!upgraded_) server_.AddressEnded(ip_);
  }

  Server::Impl& server_;
  Worker& worker_;
  Stream stream_;
  net::ip::address ip_;  // the client's address (from the PROXY header behind a balancer)
  std::string address_;  // AddressKey of the peer
  net::steady_timer deadline_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  Clock::time_point lastProgress_;  // while answering: when a piece of the answer last went out
  bool answering_ = false;
  bool upgraded_ = false;
  bool finished_ = false;
};

}  // namespace

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
