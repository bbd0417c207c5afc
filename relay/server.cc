#include "relay/server.h"

#include <openssl/rand.h>
#include <sys/stat.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <stdexcept>
#include <unordered_map>

#include "relay/update_files.h"

namespace ov::relay {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using error_code = beast::error_code;
// Everything runs on one io_context: its own executor type, not the type-erased default, keeps
// the per-operation cost of every socket down.
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

net::ip::address ListenAddress(const std::string& host) {
  if (host == "localhost") return net::ip::make_address("127.0.0.1");
  error_code ec;
  auto address = net::ip::make_address(host, ec);
  if (ec) throw std::invalid_argument("listen address is not an IP address: " + host);
  return address;
}

}  // namespace

namespace detail {

// One message waiting to be written: text made by the relay, or a peer's message moved in whole.
struct OutMessage {
  bool binary = false;
  std::string text;
  beast::flat_buffer data;
  std::size_t Size() const { return binary ? data.size() : text.size(); }
};

// What the server offers every WebSocket session, whatever its stream type.
class Peer {
 public:
  virtual ~Peer() = default;
  virtual void Enqueue(OutMessage message) = 0;
  virtual void CloseAfterDrain(std::uint16_t code) = 0;
  virtual void Resume() = 0;
  // True when the queue is full; the partner that filled it is then paused, and is resumed once
  // this queue has drained to half.
  virtual bool StallsPartner() = 0;
  virtual void Abort() = 0;
  // Periodic check: drops a connection whose write is stuck or that has gone silent, and pings
  // one that has been quiet for half the idle timeout.
  virtual void Check(Millis now, Millis idleTimeout, Millis writeTimeout) = 0;
};

}  // namespace detail
using detail::OutMessage;
using detail::Peer;

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

class Server::Impl {
 public:
  explicit Impl(ServerOptions options)
      : options_(std::move(options)),
        matcher_(options_.matcher, RandomRequestId,
                 [this](const std::string& line) { Log(line); }) {
    ValidateOptions(options_);
    if (!options_.tlsCert.empty()) {
      tls_ = std::make_unique<ssl::context>(ssl::context::tls_server);
      tls_->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                        ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                        ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
      tls_->use_certificate_chain_file(options_.tlsCert);
      tls_->use_private_key_file(options_.tlsKey, ssl::context::pem);
    }
    const tcp::endpoint endpoint(ListenAddress(options_.listenHost), options_.port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(net::socket_base::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(net::socket_base::max_listen_connections);
    port_ = acceptor_.local_endpoint().port();
  }

  ~Impl() {
    // Sessions hold references to this object; drop them before the io_context goes.
    peers_.clear();
  }

  std::uint16_t Port() const { return port_; }
  bool Secure() const { return tls_ != nullptr; }

  void Run() {
    const bool v6 = options_.listenHost.find(':') != std::string::npos;
    std::fprintf(stderr, "%s listening on %s://%s%s%s:%u%s\n", Timestamp().c_str(),
                 tls_ ? "https" : "http", v6 ? "[" : "", options_.listenHost.c_str(),
                 v6 ? "]" : "", unsigned{port_}, tls_ ? " (TLS)" : " (loopback, no TLS)");
    std::fflush(stderr);
    if (options_.handleSignals) {
      signals_.emplace(ioc_, SIGINT, SIGTERM);
      signals_->async_wait([this](const error_code& ec, int signal) {
        if (ec) return;
        Log(std::string("event=shutdown signal=") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
        DoStop();
      });
    }
    Accept();
    ScheduleTick();
    ioc_.run();
    std::fprintf(stderr, "%s stopped\n", Timestamp().c_str());
  }

  void Stop() {
    net::post(ioc_, [this] { DoStop(); });
  }

  // --- used by the sessions -------------------------------------------------------------------

  net::io_context& Context() { return ioc_; }
  const ServerOptions& Options() const { return options_; }
  ssl::context* Tls() { return tls_.get(); }
  bool Stopping() const { return stopping_; }

  void Log(const std::string& line) {
    if (options_.quiet) return;
    std::fprintf(stderr, "%s %s\n", Timestamp().c_str(), line.c_str());
  }

  ConnId NextId() { return ++lastId_; }

  void HttpStarted() { ++openHttp_; }
  void HttpEnded() {
    --openHttp_;
    MaybeFinishStop();
  }
  void CountHttp(unsigned status) { ++httpResponses_[status]; }

  void PeerOpened(ConnId id, std::shared_ptr<Peer> peer, const std::string& address) {
    peers_.emplace(id, std::move(peer));
    Apply(matcher_.Open(id, address, NowMs()));
    if (stopping_) {
      auto it = peers_.find(id);
      if (it != peers_.end()) it->second->CloseAfterDrain(websocket::close_code::going_away);
    }
  }

  void PeerText(ConnId id, std::string_view text) { Apply(matcher_.Text(id, text, NowMs())); }

  void PeerOversize(ConnId id, bool text) { Apply(matcher_.Oversize(id, text)); }

  // Forwards a binary message; returns true when the sender must pause reading until the
  // partner's queue drains.
  bool PeerBinary(ConnId id, beast::flat_buffer data) {
    Actions actions;
    const std::optional<ConnId> partner = matcher_.Binary(id, data.size(), actions);
    bool pause = false;
    if (partner) {
      auto it = peers_.find(*partner);
      if (it != peers_.end()) {
        OutMessage message;
        message.binary = true;
        message.data = std::move(data);
        it->second->Enqueue(std::move(message));
        pause = it->second->StallsPartner();
      }
    }
    Apply(std::move(actions));
    return pause;
  }

  // The partner of `id` may read again (the queue of `id` drained, or `id` is gone).
  void ResumePartner(ConnId id) {
    const std::optional<ConnId> partner = matcher_.PartnerOf(id);
    if (!partner) return;
    auto it = peers_.find(*partner);
    if (it != peers_.end()) it->second->Resume();
  }

  void PeerEnded(ConnId id) {
    auto it = peers_.find(id);
    if (it == peers_.end()) return;
    const std::optional<ConnId> partner = matcher_.PartnerOf(id);
    std::shared_ptr<Peer> keep = std::move(it->second);
    peers_.erase(it);
    Apply(matcher_.Closed(id));
    if (partner) {
      auto p = peers_.find(*partner);
      if (p != peers_.end()) p->second->Resume();
    }
    MaybeFinishStop();
  }

  // --- HTTP ----------------------------------------------------------------------------------

  // Builds the answer to a plain HTTP request. Returns a file response when a download is
  // served, a string response otherwise (in `text`).
  struct Answer {
    http::response<http::string_body> text;
    std::optional<http::response<http::file_body>> file;
    bool headOnly = false;  // HEAD: the header alone is written
    std::optional<http::response_serializer<http::string_body>> textHeader;
    std::optional<http::response_serializer<http::file_body>> fileHeader;
  };

  Answer Respond(const http::request<http::empty_body>& request) {
    Answer answer;
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
      answer.text = plain(http::status::ok, "ok\n");
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
      res.set(http::field::cache_control, "no-cache");
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

  std::string Metrics() const {
    const MatcherStats s = matcher_.Stats();
    std::string out;
    auto line = [&out](const std::string& name, const std::string& type,
                       const std::string& help) {
      out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    line("kestrova_relay_connections", "gauge", "Open WebSocket connections.");
    out += "kestrova_relay_connections " + std::to_string(s.connections) + "\n";
    line("kestrova_relay_http_connections", "gauge", "Open connections not yet upgraded.");
    out += "kestrova_relay_http_connections " + std::to_string(openHttp_) + "\n";
    line("kestrova_relay_accepted_total", "counter", "Accepted TCP connections.");
    out += "kestrova_relay_accepted_total " + std::to_string(acceptedTotal_) + "\n";
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
           std::to_string(acceptOverflow_) + "\n";
    line("kestrova_relay_http_responses_total", "counter", "HTTP responses, by status.");
    for (const auto& [status, count] : httpResponses_) {
      out += "kestrova_relay_http_responses_total{status=\"" + std::to_string(status) + "\"} " +
             std::to_string(count) + "\n";
    }
    return out;
  }

 private:
  static std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch())
                        .count() %
                    1000;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buffer[80];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms));
    return buffer;
  }

  void Accept();
  void OnAccept(const error_code& ec, Socket socket);

  void ScheduleTick() {
    tick_.expires_after(kTickPeriod);
    tick_.async_wait([this](const error_code& ec) {
      if (ec || stopping_) return;
      const Millis now = NowMs();
      Apply(matcher_.Tick(now));
      std::vector<std::shared_ptr<Peer>> all;
      all.reserve(peers_.size());
      for (auto& [id, peer] : peers_) all.push_back(peer);
      for (auto& peer : all) peer->Check(now, options_.idleTimeout, options_.writeTimeout);
      ScheduleTick();
    });
  }

  void Apply(Actions actions) {
    for (Action& action : actions) {
      auto it = peers_.find(action.conn);
      if (it == peers_.end()) continue;
      if (action.kind == Action::Kind::kSendText) {
        OutMessage message;
        message.text = std::move(action.text);
        it->second->Enqueue(std::move(message));
      } else {
        it->second->CloseAfterDrain(action.closeCode);
      }
    }
  }

  void DoStop() {
    if (stopping_) return;
    stopping_ = true;
    Log("event=stopping connections=" + std::to_string(peers_.size()));
    error_code ignored;
    acceptor_.close(ignored);
    tick_.cancel();
    if (signals_) signals_->cancel(ignored);
    std::vector<std::shared_ptr<Peer>> all;
    for (auto& [id, peer] : peers_) all.push_back(peer);
    for (auto& peer : all) peer->CloseAfterDrain(websocket::close_code::going_away);
    // Closing handshakes and unfinished HTTP exchanges get a short grace period.
    grace_.expires_after(kStopGrace);
    grace_.async_wait([this](const error_code& ec) {
      if (!ec) ioc_.stop();
    });
    MaybeFinishStop();
  }

  void MaybeFinishStop() {
    if (stopping_ && peers_.empty() && openHttp_ == 0) grace_.cancel();
  }

  // Declared first: destroyed last, after every object that refers to it.
  net::io_context ioc_{1};
  ServerOptions options_;
  Matcher matcher_;
  std::unique_ptr<ssl::context> tls_;
  Acceptor acceptor_{ioc_};
  net::steady_timer tick_{ioc_};
  net::steady_timer grace_{ioc_};
  std::optional<net::signal_set> signals_;
  std::unordered_map<ConnId, std::shared_ptr<Peer>> peers_;
  std::map<unsigned, std::uint64_t> httpResponses_;
  std::uint16_t port_ = 0;
  ConnId lastId_ = 0;
  std::size_t openHttp_ = 0;
  std::uint64_t acceptedTotal_ = 0;
  std::uint64_t acceptOverflow_ = 0;
  bool stopping_ = false;
};

namespace {

// The HTTP phase reads with a deadline (a timed stream); an upgraded clear-text connection keeps
// just the socket, so that the hot path of relaying pays for no timer bookkeeping.
using PlainStream = beast::basic_stream<tcp, Executor>;
using TlsStream = beast::ssl_stream<PlainStream>;

template <class Stream>
Socket& TcpSocketOf(Stream& stream) {
  auto& lowest = beast::get_lowest_layer(stream);
  if constexpr (std::is_same_v<std::decay_t<decltype(lowest)>, Socket>) {
    return lowest;
  } else {
    return lowest.socket();
  }
}

// One upgraded connection. Reads whole messages within their limits, hands them to the server,
// and writes its queue one message at a time. Reading pauses while the partner's queue is full.
template <class Stream>
class WsSession final : public Peer, public std::enable_shared_from_this<WsSession<Stream>> {
 public:
  WsSession(Server::Impl& server, Stream&& stream, ConnId id)
      : server_(server), ws_(std::move(stream)), id_(id) {}

  void Start(http::request<http::empty_body> request, std::string address) {
    if constexpr (!std::is_same_v<Stream, Socket>) beast::get_lowest_layer(ws_).expires_never();
    // Beast's own idle timer would be re-armed on every read (a cancelled wait per message);
    // silence is detected by the server's periodic Check instead. The timer still bounds the
    // opening and closing handshakes.
    websocket::stream_base::timeout timeout{};
    timeout.handshake_timeout = std::chrono::seconds(10);
    timeout.idle_timeout = websocket::stream_base::none();
    timeout.keep_alive_pings = false;
    ws_.set_option(timeout);
    ws_.control_callback([this](websocket::frame_type, std::string_view) { Heard(); });
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
      res.set(http::field::server, kServerName);
    }));
    ws_.read_message_max(0);  // limits are enforced per message kind below
    ws_.auto_fragment(false);
    ws_.async_accept(request, [self = this->shared_from_this(),
                               address = std::move(address)](const error_code& ec) {
      self->OnAccepted(ec, address);
    });
  }

  void Enqueue(OutMessage message) override {
    if (ended_) return;
    queuedBytes_ += message.Size();
    queue_.push_back(std::move(message));
    Write();
  }

  void CloseAfterDrain(std::uint16_t code) override {
    if (closeRequested_ || ended_) return;
    closeRequested_ = true;
    closeCode_ = code;
    Write();
  }

  void Resume() override {
    if (!paused_) return;
    paused_ = false;
    Read();
  }

  bool StallsPartner() override {
    const ServerOptions& o = server_.Options();
    if (queue_.size() < o.queueMessages && queuedBytes_ < o.queueBytes) return false;
    partnerStalled_ = true;
    return true;
  }

  void Abort() override {
    server_.Log("conn=" + std::to_string(id_) + " event=abort");
    End();
  }

  void Check(Millis now, Millis idleTimeout, Millis writeTimeout) override {
    if (ended_) return;
    if (writing_ && now - writeStart_ > writeTimeout) {
      server_.Log("conn=" + std::to_string(id_) + " event=write-timeout");
      return Abort();
    }
    if (paused_ || !opened_) lastHeard_ = now;  // not reading: silence says nothing
    if (now - lastHeard_ >= idleTimeout) {
      server_.Log("conn=" + std::to_string(id_) + " event=idle-timeout");
      return Abort();
    }
    if (now - lastHeard_ >= idleTimeout / 2 && !pingSent_ && !pinging_ && !closeRequested_) {
      pingSent_ = true;
      pinging_ = true;
      ws_.async_ping({}, [self = this->shared_from_this()](const error_code&) {
        self->pinging_ = false;
        self->Write();  // a close may have waited for the ping
      });
    }
  }

 private:
  bool QueueLow() const {
    const ServerOptions& o = server_.Options();
    return queue_.size() <= o.queueMessages / 2 && queuedBytes_ <= o.queueBytes / 2;
  }

  void OnAccepted(const error_code& ec, const std::string& address) {
    server_.HttpEnded();
    if (ec) {
      server_.Log("conn=" + std::to_string(id_) + " addr=" + address +
                  " event=upgrade-failed error=" + ec.message());
      return;
    }
    opened_ = true;
    server_.PeerOpened(id_, this->shared_from_this(), address);
    Read();
  }

  void Read() {
    if (reading_ || paused_ || closeRequested_ || ended_) return;
    reading_ = true;
    // Before the first frame of a message its kind is unknown; Beast then reads at most one
    // frame buffer, after which the kind decides the limit.
    const std::size_t limit = (in_.size() > 0 && ws_.got_text()) ? kTextLimit : kBinaryLimit;
    ws_.async_read_some(in_, limit + 1 - in_.size(),
                        [self = this->shared_from_this()](const error_code& ec, std::size_t) {
                          self->OnRead(ec);
                        });
  }

  void Heard() {
    lastHeard_ = NowMs();
    pingSent_ = false;
  }

  void OnRead(const error_code& ec) {
    reading_ = false;
    Heard();
    if (ec) {
      if (ec != websocket::error::closed && ec != net::error::eof &&
          ec != net::error::operation_aborted) {
        server_.Log("conn=" + std::to_string(id_) + " event=read-error error=" + ec.message());
      }
      End();
      return;
    }
    if (closeRequested_ || ended_) {
      in_.clear();
      return;
    }
    const bool text = ws_.got_text();
    if (in_.size() > (text ? kTextLimit : kBinaryLimit)) {
      in_ = beast::flat_buffer();
      server_.PeerOversize(id_, text);
      return;
    }
    if (!ws_.is_message_done()) {
      Read();
      return;
    }
    if (text) {
      const auto bytes = in_.cdata();
      server_.PeerText(id_, std::string_view(static_cast<const char*>(bytes.data()), bytes.size()));
      in_ = beast::flat_buffer();  // idle connections keep no read buffer
    } else {
      beast::flat_buffer message = std::move(in_);
      in_ = beast::flat_buffer();
      if (server_.PeerBinary(id_, std::move(message))) paused_ = true;
    }
    Read();
  }

  void Write() {
    if (writing_ || ended_) return;
    if (queue_.empty()) {
      if (closeRequested_ && !closing_ && !pinging_) {
        closing_ = true;
        ws_.async_close(websocket::close_reason(closeCode_),
                        [self = this->shared_from_this()](const error_code&) { self->End(); });
      }
      return;
    }
    writing_ = true;
    writeStart_ = NowMs();
    OutMessage& front = queue_.front();
    ws_.binary(front.binary);
    auto handler = [self = this->shared_from_this()](const error_code& ec, std::size_t) {
      self->OnWrite(ec);
    };
    if (front.binary) {
      ws_.async_write(front.data.cdata(), std::move(handler));
    } else {
      ws_.async_write(net::buffer(front.text), std::move(handler));
    }
  }

  void OnWrite(const error_code& ec) {
    writing_ = false;
    if (ended_) {
      queue_.clear();
      return;
    }
    if (ec) {
      End();
      return;
    }
    queuedBytes_ -= queue_.front().Size();
    queue_.pop_front();
    if (partnerStalled_ && QueueLow()) {
      partnerStalled_ = false;
      server_.ResumePartner(id_);
    }
    Write();
  }

  void End() {
    if (ended_) return;
    ended_ = true;
    // A write in flight still points into the queue's front; OnWrite empties it instead.
    if (!writing_) queue_.clear();
    queuedBytes_ = 0;
    error_code ignored;
    TcpSocketOf(ws_).close(ignored);
    if (opened_) server_.PeerEnded(id_);
  }

  Server::Impl& server_;
  websocket::stream<Stream> ws_;
  const ConnId id_;
  beast::flat_buffer in_;
  std::deque<OutMessage> queue_;
  std::size_t queuedBytes_ = 0;
  Millis writeStart_ = 0;
  Millis lastHeard_ = NowMs();
  std::uint16_t closeCode_ = websocket::close_code::normal;
  bool opened_ = false;
  bool reading_ = false;
  bool writing_ = false;
  bool paused_ = false;
  bool partnerStalled_ = false;  // the partner is paused until this queue drains
  bool closeRequested_ = false;
  bool closing_ = false;
  bool ended_ = false;
  bool pingSent_ = false;  // a ping went out since the peer was last heard
  bool pinging_ = false;   // the ping write is in progress
};

// A freshly accepted connection until its first request: the TLS handshake, the HTTP request,
// then either the WebSocket upgrade or one HTTP response.
template <class Stream>
class HttpSession final : public std::enable_shared_from_this<HttpSession<Stream>> {
 public:
  HttpSession(Server::Impl& server, Stream&& stream, std::string address)
      : server_(server), stream_(std::move(stream)), address_(std::move(address)) {
    server_.HttpStarted();
  }

  void Start() {
    beast::get_lowest_layer(stream_).expires_after(
        std::chrono::milliseconds(server_.Options().httpTimeout));
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](const error_code& ec) {
                                if (ec) {
                                  self->server_.Log("addr=" + self->address_ +
                                                    " event=tls-failed error=" + ec.message());
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
      const ConnId id = server_.NextId();
      finished_ = true;  // the WebSocket session reports the end of the HTTP phase
      if constexpr (std::is_same_v<Stream, TlsStream>) {
        std::make_shared<WsSession<TlsStream>>(server_, std::move(stream_), id)
            ->Start(std::move(request), address_);
      } else {
        std::make_shared<WsSession<Socket>>(server_, stream_.release_socket(), id)
            ->Start(std::move(request), address_);
      }
      return;
    }
    auto answer = std::make_shared<Server::Impl::Answer>(server_.Respond(request));
    server_.Log("addr=" + address_ + " event=http method=" +
                std::string(request.method_string()) + " target=" + std::string(request.target()) +
                " status=" +
                std::to_string(answer->file ? 200u : answer->text.result_int()));
    auto done = [self = this->shared_from_this(), answer](const error_code&, std::size_t) {
      self->Shutdown();
    };
    if (answer->headOnly && answer->file) {
      answer->fileHeader.emplace(*answer->file);
      http::async_write_header(stream_, *answer->fileHeader, std::move(done));
    } else if (answer->headOnly) {
      answer->textHeader.emplace(answer->text);
      http::async_write_header(stream_, *answer->textHeader, std::move(done));
    } else if (answer->file) {
      http::async_write(stream_, *answer->file, std::move(done));
    } else {
      http::async_write(stream_, answer->text, std::move(done));
    }
  }

  void Shutdown() {
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(2));
      stream_.async_shutdown([self = this->shared_from_this()](const error_code&) {
        error_code ignored;
        beast::get_lowest_layer(self->stream_).socket().close(ignored);
        self->Finish();
      });
    } else {
      error_code ignored;
      stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
      stream_.socket().close(ignored);
      Finish();
    }
  }

  // Every path that ends this phase calls this once. (Not the destructor: handlers destroyed
  // while the server itself is being torn down must not call back into it.)
  void Finish() {
    if (finished_) return;
    finished_ = true;
    server_.HttpEnded();
  }

  Server::Impl& server_;
  Stream stream_;
  std::string address_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  bool finished_ = false;
};

}  // namespace

void Server::Impl::Accept() {
  acceptor_.async_accept([this](const error_code& ec, Socket socket) {
    OnAccept(ec, std::move(socket));
  });
}

void Server::Impl::OnAccept(const error_code& ec, Socket socket) {
  if (ec) {
    if (ec == net::error::operation_aborted || stopping_) return;
    Log(std::string("event=accept-error error=") + ec.message());
    // Out of descriptors and the like: try again shortly instead of spinning.
    auto retry = std::make_shared<net::steady_timer>(ioc_, std::chrono::milliseconds(100));
    retry->async_wait([this, retry](const error_code& e) {
      if (!e && !stopping_) Accept();
    });
    return;
  }
  ++acceptedTotal_;
  if (peers_.size() + openHttp_ >= options_.matcher.maxConnections + kRefusalHeadroom) {
    ++acceptOverflow_;
    error_code ignored;
    socket.close(ignored);
  } else {
    error_code addrEc;
    const std::string address = socket.remote_endpoint(addrEc).address().to_string();
    socket.set_option(tcp::no_delay(true), addrEc);
    if (tls_) {
      std::make_shared<HttpSession<TlsStream>>(*this, TlsStream(std::move(socket), *tls_), address)
          ->Start();
    } else {
      std::make_shared<HttpSession<PlainStream>>(*this, PlainStream(std::move(socket)), address)
          ->Start();
    }
  }
  Accept();
}

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Server::~Server() = default;
std::uint16_t Server::Port() const { return impl_->Port(); }
bool Server::Secure() const { return impl_->Secure(); }
void Server::Run() { impl_->Run(); }
void Server::Stop() { impl_->Stop(); }

}  // namespace ov::relay
