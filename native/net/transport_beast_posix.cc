// The transport over Boost.Beast with BoringSSL TLS. One io_context and one I/O thread per
// connection play the part of the platform's completion threads: every socket operation runs on
// that thread, and the threads of the transport (connect, receive, send, close) start operations
// by posting to it and wait for the completion flags it sets, with the same bounded waits as the
// Windows transport.

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "net/transport.h"
#include "net/transport_internal.h"
#include "net/tls_trust_posix.h"

namespace ov {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using net_internal::IsIpAddress;
using net_internal::LoadSystemTrust;
using net_internal::ReceivedPiece;

constexpr char kUserAgent[] = "Orvantis-Native/1.0";
constexpr auto kResolveTimeout = std::chrono::seconds(10);
constexpr auto kConnectTimeout = std::chrono::seconds(15);
constexpr auto kStepWait = std::chrono::seconds(20);
constexpr auto kSendWait = std::chrono::seconds(20);
constexpr auto kCloseWait = std::chrono::milliseconds(200);
// Pings go out after half of this idle time; a peer silent for all of it is dropped.
constexpr auto kIdleTimeout = std::chrono::seconds(60);
// A client masks what it sends through this buffer, and each buffer's worth is one write to the
// layer below (one TLS record, one system call): at Beast's default of 4 KiB a 50 KB frame took
// thirteen of each.
constexpr std::size_t kWriteBufferBytes = 65536;

// Windows error codes for the failures that have one, so both transports describe a failure alike.
constexpr std::uint32_t kErrTimeout = 12002;          // ERROR_WINHTTP_TIMEOUT
constexpr std::uint32_t kErrNameNotResolved = 12007;  // ERROR_WINHTTP_NAME_NOT_RESOLVED
constexpr std::uint32_t kErrCancelled = 12017;        // ERROR_WINHTTP_OPERATION_CANCELLED
constexpr std::uint32_t kErrCannotConnect = 12029;    // ERROR_WINHTTP_CANNOT_CONNECT
constexpr std::uint32_t kErrConnectionError = 12030;  // ERROR_WINHTTP_CONNECTION_ERROR
constexpr std::uint32_t kErrSecureFailure = 12175;    // ERROR_WINHTTP_SECURE_FAILURE

// Maps an error to the Windows code of the same failure; errors without one keep the system's
// own code (errno, or the library's reason code).
std::uint32_t ErrorCode(const beast::error_code& ec) {
  if (ec == asio::error::operation_aborted) return kErrCancelled;
  if (ec == beast::error::timeout || ec == asio::error::timed_out) return kErrTimeout;
  if (ec.category() == asio::error::get_netdb_category() || ec == asio::error::host_not_found ||
      ec == asio::error::host_not_found_try_again || ec == asio::error::no_data) {
    return kErrNameNotResolved;
  }
  if (ec == asio::error::connection_refused || ec == asio::error::network_unreachable ||
      ec == asio::error::host_unreachable) {
    return kErrCannotConnect;
  }
  if (ec.category() == asio::error::get_ssl_category()) return kErrSecureFailure;
  if (ec == asio::error::eof || ec == asio::error::connection_reset || ec == asio::error::connection_aborted ||
      ec == asio::error::broken_pipe || ec == asio::ssl::error::stream_truncated || ec == http::error::end_of_stream) {
    return kErrConnectionError;
  }
  return static_cast<std::uint32_t>(ec.value());
}

std::string Narrow(const std::wstring& s) {
  std::string out;
  out.reserve(s.size());
  for (wchar_t c : s) out.push_back(static_cast<char>(c));  // validated as printable ASCII
  return out;
}

using Completion = std::function<void(beast::error_code)>;
using IoCompletion = std::function<void(beast::error_code, std::size_t)>;

// The WebSocket stream, plain or over TLS, behind one interface. Used on the I/O thread only.
class WsIo {
 public:
  virtual ~WsIo() = default;
  virtual void AsyncConnect(const tcp::resolver::results_type& endpoints, Completion done) = 0;
  virtual void AsyncTlsHandshake(Completion done) = 0;
  virtual void AsyncUpgrade(const std::string& host, const std::string& target, websocket::response_type& response,
                            Completion done) = 0;
  virtual void AsyncRead(asio::mutable_buffer buffer, IoCompletion done) = 0;
  virtual void AsyncWrite(bool text, asio::const_buffer buffer, IoCompletion done) = 0;
  virtual void AsyncClose(Completion done) = 0;
  virtual bool GotText() const = 0;
  virtual bool MessageDone() const = 0;
  virtual void CloseSocket() = 0;
};

template <class NextLayer>
class WsIoImpl final : public WsIo {
 public:
  template <class... Args>
  explicit WsIoImpl(Args&&... args) : ws_(std::forward<Args>(args)...) {
    ws_.read_message_max(kMaxRelayMessageBytes);
    ws_.auto_fragment(false);
    ws_.write_buffer_bytes(kWriteBufferBytes);
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = kStepWait;
    timeouts.idle_timeout = kIdleTimeout;
    timeouts.keep_alive_pings = true;
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::request_type& request) { request.set(http::field::user_agent, kUserAgent); }));
  }

  NextLayer& next() { return ws_.next_layer(); }

  void AsyncConnect(const tcp::resolver::results_type& endpoints, Completion done) override {
    auto& stream = beast::get_lowest_layer(ws_);
    stream.async_connect(endpoints, [&stream, done = std::move(done)](beast::error_code ec,
                                                                      const tcp::endpoint&) {
      // Small relay messages (pairing, acknowledgements, pings) must not wait for Nagle's
      // algorithm to meet a delayed acknowledgement (about 40 ms a round trip).
      if (!ec) {
        beast::error_code ignored;
        stream.socket().set_option(tcp::no_delay(true), ignored);
      }
      done(ec);
    });
  }
  void AsyncTlsHandshake(Completion done) override {
    if constexpr (std::is_same_v<NextLayer, beast::tcp_stream>) {
      done({});
    } else {
      ws_.next_layer().async_handshake(asio::ssl::stream_base::client,
                                       [done = std::move(done)](beast::error_code ec) { done(ec); });
    }
  }
  void AsyncUpgrade(const std::string& host, const std::string& target, websocket::response_type& response,
                    Completion done) override {
    ws_.async_handshake(response, host, target, [done = std::move(done)](beast::error_code ec) { done(ec); });
  }
  void AsyncRead(asio::mutable_buffer buffer, IoCompletion done) override {
    ws_.async_read_some(buffer, [done = std::move(done)](beast::error_code ec, std::size_t n) { done(ec, n); });
  }
  void AsyncWrite(bool text, asio::const_buffer buffer, IoCompletion done) override {
    ws_.text(text);
    ws_.async_write(buffer, [done = std::move(done)](beast::error_code ec, std::size_t n) { done(ec, n); });
  }
  void AsyncClose(Completion done) override {
    ws_.async_close(websocket::close_code::normal, [done = std::move(done)](beast::error_code ec) { done(ec); });
  }
  bool GotText() const override { return ws_.got_text(); }
  bool MessageDone() const override { return ws_.is_message_done(); }
  void CloseSocket() override {
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }

 private:
  websocket::stream<NextLayer> ws_;
};

using TlsWs = WsIoImpl<beast::ssl_stream<beast::tcp_stream>>;
using PlainWs = WsIoImpl<beast::tcp_stream>;

class BeastConnection final : public net_internal::Connection {
 public:
  explicit BeastConnection(TransportOptions options) : options_(std::move(options)) {}
  ~BeastConnection() override { Abort(); }

  bool Handshake(const RelayUrl& url, std::string& error) override;
  ReceivedPiece Receive() override;
  bool Send(bool text, const std::uint8_t* data, std::size_t size) override;
  void GracefulClose() override;
  void Abort() override;

 private:
  enum class Wait { Done, TimedOut, Stopped };

  // Posts `start` to the I/O thread and waits up to `limit` for StepComplete.
  Wait RunStep(std::function<void()> start, Clock::duration limit);
  void StepComplete(beast::error_code ec);
  // I/O thread: reads the next piece into the receive buffer after the `have` bytes already
  // there, and completes the receive.
  void ReadPiece(std::size_t have);
  bool SetupTls(const std::string& host, std::string& error);

  const TransportOptions options_;

  // Destroyed in reverse order: the stream before the TLS context, everything before the io_context.
  asio::io_context ioc_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::optional<asio::ssl::context> tls_;
  tcp::resolver resolver_{ioc_};
  tcp::resolver::results_type endpoints_;
  websocket::response_type response_;
  std::unique_ptr<WsIo> ws_;
  std::vector<std::uint8_t> receiveBuffer_ = std::vector<std::uint8_t>(net_internal::kReceiveBufferBytes);

  std::mutex abortMutex_;  // guards the I/O thread's start and join
  std::thread ioThread_;

  std::mutex sendMutex_;   // one send at a time
  std::mutex stateMutex_;  // guards the flags below
  std::condition_variable cv_;
  bool ioFinished_ = false;  // the I/O thread was stopped and joined: nothing completes any more
  bool wsOpen_ = false;      // the upgrade completed
  bool stepDone_ = false;
  beast::error_code stepError_;
  bool receiveDone_ = false;
  beast::error_code receiveError_;
  std::size_t receivedBytes_ = 0;
  bool receivedText_ = false;
  bool receivedFinal_ = false;
  bool sendIdle_ = true;
  beast::error_code sendError_;
  bool shutdownSent_ = false;
  bool closeDone_ = false;
};

BeastConnection::Wait BeastConnection::RunStep(std::function<void()> start, Clock::duration limit) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    stepDone_ = false;
    stepError_ = {};
  }
  asio::post(ioc_, std::move(start));
  std::unique_lock<std::mutex> lock(stateMutex_);
  if (!cv_.wait_for(lock, limit, [this] { return stepDone_ || ioFinished_; })) return Wait::TimedOut;
  return stepDone_ ? Wait::Done : Wait::Stopped;
}

void BeastConnection::StepComplete(beast::error_code ec) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  stepDone_ = true;
  stepError_ = ec;
  cv_.notify_all();
}

bool BeastConnection::SetupTls(const std::string& host, std::string& error) {
  tls_.emplace(asio::ssl::context::tls_client);
  SSL_CTX* ctx = tls_->native_handle();
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1) {
    error = StepErrorText("Set TLS protocols", ERR_GET_REASON(ERR_get_error()));
    return false;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  LoadSystemTrust(ctx);
  if (!options_.extraCaFile.empty() &&
      SSL_CTX_load_verify_locations(ctx, options_.extraCaFile.c_str(), nullptr) != 1) {
    error = StepErrorText("Load trusted certificates", ERR_GET_REASON(ERR_get_error()));
    ERR_clear_error();
    return false;
  }

  auto ws = std::make_unique<TlsWs>(ioc_, *tls_);
  SSL* ssl = ws->next().native_handle();
  const bool isIp = IsIpAddress(host);
  // Server name indication for names only; the certificate must match the name or the address.
  const bool ok = isIp ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1
                       : SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 && SSL_set1_host(ssl, host.c_str()) == 1;
  if (!ok) {
    error = StepErrorText("Create connection", ERR_GET_REASON(ERR_get_error()));
    ERR_clear_error();
    return false;
  }
  ws_ = std::move(ws);
  return true;
}

bool BeastConnection::Handshake(const RelayUrl& url, std::string& error) {
  if (cancelled) {
    error = kCancelledText;
    return false;
  }
  std::string host = Narrow(url.host);
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  const std::string target = Narrow(url.path);
  const std::uint16_t defaultPort = url.secure ? 443 : 80;
  const std::string hostHeader =
      Narrow(url.host) + (url.port == defaultPort ? std::string() : ":" + std::to_string(url.port));

  if (url.secure) {
    if (!SetupTls(host, error)) return false;
  } else {
    ws_ = std::make_unique<PlainWs>(ioc_);
  }

  {
    std::lock_guard<std::mutex> lock(abortMutex_);
    if (cancelled) {
      error = kCancelledText;
      return false;
    }
    try {
      work_.emplace(ioc_.get_executor());
      ioThread_ = std::thread([this] { ioc_.run(); });
    } catch (const std::system_error& e) {
      error = StepErrorText("Open network session", static_cast<std::uint32_t>(e.code().value()));
      return false;
    }
  }

  // Name resolution, TCP connection and TLS: the request's send step.
  const Clock::time_point sendDeadline = Clock::now() + kStepWait;
  auto remaining = [](Clock::time_point deadline, Clock::duration cap) {
    const Clock::duration left = deadline - Clock::now();
    return left < cap ? left : cap;
  };
  auto fail = [&](const char* step, Wait wait) {
    if (cancelled) return false;  // reported as the cancellation by the caller
    if (wait == Wait::TimedOut) {
      error = StepErrorText(step, kErrTimeout);
    } else if (wait == Wait::Stopped) {
      error = StepErrorText(step, kErrCancelled);
    } else {
      std::lock_guard<std::mutex> lock(stateMutex_);
      error = StepErrorText(step, ErrorCode(stepError_));
    }
    return false;
  };
  auto ok = [this](Wait wait) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return wait == Wait::Done && !stepError_ && !cancelled;
  };

  Wait wait = RunStep(
      [this, host, port = url.port] {
        resolver_.async_resolve(host, std::to_string(port),
                                [this](beast::error_code ec, tcp::resolver::results_type results) {
                                  endpoints_ = std::move(results);
                                  StepComplete(ec);
                                });
      },
      remaining(sendDeadline, kResolveTimeout));
  if (!ok(wait)) return fail("Send handshake", wait);

  wait = RunStep([this] { ws_->AsyncConnect(endpoints_, [this](beast::error_code ec) { StepComplete(ec); }); },
                 remaining(sendDeadline, kConnectTimeout));
  if (!ok(wait)) return fail("Send handshake", wait);

  wait = RunStep([this] { ws_->AsyncTlsHandshake([this](beast::error_code ec) { StepComplete(ec); }); },
                 remaining(sendDeadline, kStepWait));
  if (!ok(wait)) return fail("Send handshake", wait);

  // The upgrade request and its response.
  wait = RunStep(
      [this, hostHeader, target] {
        ws_->AsyncUpgrade(hostHeader, target, response_, [this](beast::error_code ec) { StepComplete(ec); });
      },
      kStepWait);
  if (wait == Wait::Done && !cancelled) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (stepError_ == websocket::error::upgrade_declined || (!stepError_ && response_.result_int() != 101)) {
      error = "Relay refused WebSocket upgrade (HTTP " + std::to_string(response_.result_int()) + ")";
      return false;
    }
  }
  if (!ok(wait)) return fail("Receive handshake", wait);

  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    wsOpen_ = true;
  }
  open = true;
  return !cancelled;
}

ReceivedPiece BeastConnection::Receive() {
  ReceivedPiece piece;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (cancelled || ioFinished_ || !wsOpen_) return piece;
    receiveDone_ = false;
    receiveError_ = {};
    receivedBytes_ = 0;
  }
  asio::post(ioc_, [this] { ReadPiece(0); });
  std::unique_lock<std::mutex> lock(stateMutex_);
  cv_.wait(lock, [this] { return receiveDone_ || ioFinished_; });
  if (cancelled || !receiveDone_) return piece;
  if (receiveError_ == websocket::error::closed) {
    piece.status = ReceivedPiece::Status::Closed;
  } else if (receiveError_ == websocket::error::message_too_big) {
    piece.status = ReceivedPiece::Status::Failed;
    piece.error = kMessageTooLargeText;
  } else if (receiveError_ == websocket::error::bad_data_frame) {
    // A new text or binary frame while a fragmented message was in progress.
    piece.status = ReceivedPiece::Status::Failed;
    piece.error = kMixedFragmentsText;
  } else if (receiveError_) {
    piece.status = ReceivedPiece::Status::Failed;
    piece.error = StepErrorText("Receive WebSocket", ErrorCode(receiveError_));
  } else {
    piece.status = ReceivedPiece::Status::Data;
    piece.data = receiveBuffer_.data();
    piece.size = receivedBytes_;
    piece.text = receivedText_;
    piece.final = receivedFinal_;
  }
  return piece;
}

void BeastConnection::ReadPiece(std::size_t have) {
  ws_->AsyncRead(asio::buffer(receiveBuffer_.data() + have, receiveBuffer_.size() - have),
                 [this, have](beast::error_code ec, std::size_t n) {
    const std::size_t total = have + n;
    // The rest of a message goes into the same piece while it fits: the receive thread has
    // nothing to deliver before the message's end, and waking it for every frame or TLS record
    // of a frame only put a thread switch on the way of each.
    if (!ec && !ws_->MessageDone() && total < receiveBuffer_.size()) return ReadPiece(total);
    std::lock_guard<std::mutex> lock(stateMutex_);
    receiveDone_ = true;
    receiveError_ = ec;
    receivedBytes_ = total;
    receivedText_ = ws_->GotText();
    receivedFinal_ = ws_->MessageDone();
    cv_.notify_all();
  });
}

bool BeastConnection::Send(bool text, const std::uint8_t* data, std::size_t size) {
  std::lock_guard<std::mutex> sendLock(sendMutex_);
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (cancelled || !open || ioFinished_ || shutdownSent_) return false;
    sendIdle_ = false;
    sendError_ = {};
  }
  // `data` stays valid until this function returns, and it returns only once the write has
  // completed or the I/O thread has been joined.
  asio::post(ioc_, [this, text, data, size] {
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      if (shutdownSent_) {
        sendIdle_ = true;
        sendError_ = asio::error::operation_aborted;
        cv_.notify_all();
        return;
      }
    }
    ws_->AsyncWrite(text, asio::const_buffer(data, size), [this](beast::error_code ec, std::size_t) {
      std::lock_guard<std::mutex> lock(stateMutex_);
      sendIdle_ = true;
      sendError_ = ec;
      cv_.notify_all();
    });
  });
  bool success = false;
  {
    std::unique_lock<std::mutex> lock(stateMutex_);
    const bool finished = cv_.wait_for(lock, kSendWait, [this] { return sendIdle_ || ioFinished_; });
    success = finished && sendIdle_ && !sendError_ && !cancelled;
  }
  if (!success) Abort();
  return success;
}

void BeastConnection::GracefulClose() {
  cancelled = true;
  open = false;
  bool start = false;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (wsOpen_ && !ioFinished_ && sendIdle_ && !shutdownSent_) {
      shutdownSent_ = true;
      start = true;
    }
  }
  if (start) {
    asio::post(ioc_, [this] {
      {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (!sendIdle_) {  // a write is in flight: no close frame may interleave with it
          closeDone_ = true;
          cv_.notify_all();
          return;
        }
      }
      ws_->AsyncClose([this](beast::error_code) {
        std::lock_guard<std::mutex> lock(stateMutex_);
        closeDone_ = true;
        cv_.notify_all();
      });
    });
    std::unique_lock<std::mutex> lock(stateMutex_);
    cv_.wait_for(lock, kCloseWait, [this] { return closeDone_ || ioFinished_; });
  }
  Abort();
}

void BeastConnection::Abort() {
  cancelled = true;
  open = false;
  {
    std::lock_guard<std::mutex> lock(abortMutex_);
    if (ioThread_.joinable()) {
      // Close the socket, then stop: pending operations are abandoned, not completed, and the
      // waits below are released through ioFinished_.
      asio::post(ioc_, [this] {
        beast::error_code ignored;
        resolver_.cancel();
        if (ws_) ws_->CloseSocket();
        work_.reset();
        ioc_.stop();
      });
      ioThread_.join();
    }
  }
  std::lock_guard<std::mutex> lock(stateMutex_);
  ioFinished_ = true;
  cv_.notify_all();
}

class BeastTransport final : public net_internal::TransportCore {
 public:
  explicit BeastTransport(TransportOptions options) : options_(std::move(options)) {}
  ~BeastTransport() override { Close(); }

 protected:
  std::shared_ptr<net_internal::Connection> NewConnection() override {
    return std::make_shared<BeastConnection>(options_);
  }

 private:
  const TransportOptions options_;
};

}  // namespace

std::shared_ptr<Transport> CreateTransport(const TransportOptions& options) {
  return std::make_shared<BeastTransport>(options);
}

}  // namespace ov
