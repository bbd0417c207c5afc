// A freshly accepted connection until its first request (HTTP answers, or the WebSocket upgrade
// that makes it a WsSession). It reaches the server only through HttpOwner.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "relay/connection.h"
#include "relay/log.h"
#include "relay/tls_socket.h"
#include "relay/web_files.h"
#include "relay/ws_session.h"

namespace ov::relay::detail {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

inline constexpr std::string_view kServerName = "kestrova-relay";
inline constexpr std::size_t kHeaderLimit = 8192;

// The answer to an upgrade request at /ws: 101 with the accept key, or why not (400; 403 for an
// origin that may not; 426 for a protocol version other than 13). No extension or subprotocol is
// ever agreed. `ownOrigin`: the relay serves a page whose origin (by `tls`) may upgrade.
http::response<http::string_body> UpgradeResponse(const http::request<http::empty_body>& request,
                                                  const std::vector<std::string>& origins,
                                                  bool ownOrigin, bool tls);

// The answer to one plain HTTP request: a file or a string response.
struct HttpAnswer {
  http::response<http::string_body> text;
  std::optional<http::response<http::file_body>> file;
  bool headOnly = false;  // HEAD: the header alone is written
  // The writer of `file` or `text`, whichever is the answer.
  std::optional<http::response_serializer<http::string_body>> textWriter;
  std::optional<http::response_serializer<http::file_body>> fileWriter;
};

// What the HTTP phase asks of the server, beyond what a connection asks.
class HttpOwner : public SessionOwner {
 public:
  virtual HttpAnswer Respond(const http::request<http::empty_body>& request) = 0;
  virtual void HttpStarted() = 0;
  virtual void HttpEnded() = 0;
  virtual bool ServesWeb() const = 0;
  virtual bool Secure() const = 0;

 protected:
  ~HttpOwner() = default;
};

// A freshly accepted connection until its first request: the TLS handshake, the HTTP request and
// the WebSocket upgrade within one deadline, or the handshake and the request within it and then
// one HTTP response, which may take as long as it keeps going out: it is cut only when none of it
// has been written for that long (a slow client still gets a large download whole).
template <class Stream>
class HttpSession final : public std::enable_shared_from_this<HttpSession<Stream>> {
 public:
  HttpSession(HttpOwner& server, Worker& worker, Stream&& stream, net::ip::address ip)
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
    auto answer = std::make_shared<HttpAnswer>(server_.Respond(request));
    server_.Log("addr=" + address_ + " event=http method=" +
                LogField(request.method_string()) + " target=" + LogField(request.target()) +
                " status=" +
                std::to_string(answer->file ? 200u : answer->text.result_int()));
    // From here on the bound is on the answer's progress, counted afresh.
    answering_ = true;
    lastProgress_ = Clock::now();
    Expire(Bound());
    if (answer->file) {
      // Progress is seen where the answer leaves this process. With the kernel's own send
      // buffer (megabytes once tuned up) a steady but slow reader would free room, and so let a
      // write complete, only in steps of half that buffer; a bound on unsent bytes makes every
      // piece the reader takes visible here, while what is in flight is left to the kernel.
      const int unsent = 128 * 1024;
      ::setsockopt(TcpSocketOf(stream_).native_handle(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsent,
                   sizeof unsent);
      WriteAnswer(answer, answer->fileWriter.emplace(*answer->file));
    } else {
      WriteAnswer(answer, answer->textWriter.emplace(answer->text));
    }
  }

  // Writes the answer piece by piece (the header alone for HEAD), noting each piece that went
  // out, then shuts the connection down.
  template <class Serializer>
  void WriteAnswer(const std::shared_ptr<HttpAnswer>& answer, Serializer& writer) {
    if (answer->headOnly) writer.split(true);
    WriteSome(answer, writer);
  }
  template <class Serializer>
  void WriteSome(std::shared_ptr<HttpAnswer> answer, Serializer& writer) {
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

  HttpOwner& server_;
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

}  // namespace ov::relay::detail
