// A lean server-side TLS layer for one TCP socket, in the shape Beast's WebSocket and HTTP code
// expect of a stream (async_read_some, async_write_some, next_layer, teardown).
//
// Asio's ssl::stream keeps two 17 KiB staging buffers and a BIO pair of two more per connection,
// whether the connection is busy or idle. This layer has none: OpenSSL reads from and writes to
// the socket itself (through a BIO that never raises SIGPIPE), and with SSL_MODE_RELEASE_BUFFERS
// it frees its record buffers whenever nothing is in flight, so an idle connection costs the SSL
// object alone. A write gathers its records (up to four) in a buffer that exists only while the
// write is in flight and sends them with one system call: a 16 KiB record per send() made a
// large message cost four times the calls of a plain socket.
//
// Contract: one read and one write operation may be outstanding at a time (as with a socket);
// every operation runs on the socket's executor, which must be served by one thread. Handlers
// are never called from within the initiating function.
#pragma once

#include <openssl/ssl.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_suffix.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <cstddef>
#include <memory>
#include <utility>

namespace ov::relay {

class TlsSocket {
 public:
  using executor_type = boost::asio::io_context::executor_type;
  using next_layer_type = boost::asio::basic_stream_socket<boost::asio::ip::tcp, executor_type>;
  using error_code = boost::beast::error_code;

  // Takes the accepted socket; throws std::bad_alloc when OpenSSL cannot allocate.
  TlsSocket(next_layer_type socket, SSL_CTX* context);
  TlsSocket(TlsSocket&& other) noexcept;
  TlsSocket& operator=(TlsSocket&&) = delete;
  TlsSocket(const TlsSocket&) = delete;
  ~TlsSocket();

  executor_type get_executor() { return socket_.get_executor(); }
  next_layer_type& next_layer() { return socket_; }

  // The server side of the handshake. Handler: void(error_code).
  template <class Handler>
  auto async_handshake(Handler&& handler) {
    return Start<void(error_code)>(Op<kHandshake, boost::asio::mutable_buffer>{*this, {}},
                                   std::forward<Handler>(handler));
  }
  // Handler: void(error_code, std::size_t).
  template <class Buffers, class Handler>
  auto async_read_some(const Buffers& buffers, Handler&& handler) {
    return Start<void(error_code, std::size_t)>(Op<kRead, Buffers>{*this, buffers},
                                                std::forward<Handler>(handler));
  }
  template <class Buffers, class Handler>
  auto async_write_some(const Buffers& buffers, Handler&& handler) {
    return Start<void(error_code, std::size_t)>(Op<kWrite, Buffers>{*this, buffers},
                                                std::forward<Handler>(handler));
  }
  // Sends close_notify (without waiting for the peer's). Handler: void(error_code).
  template <class Handler>
  auto async_shutdown(Handler&& handler) {
    return Start<void(error_code)>(Op<kShutdown, boost::asio::mutable_buffer>{*this, {}},
                                   std::forward<Handler>(handler));
  }

  // What one attempt needs before it can go on.
  enum class Wait { kNone, kReadable, kWritable };

  // Reads what is available now, without blocking, into `data` (at most `size` bytes): `n` bytes
  // read, or none and what to wait for (then async_wait before trying again), or `ec` set. Must
  // not be called while an async_read_some is outstanding.
  Wait TryRead(unsigned char* data, std::size_t size, std::size_t& n, error_code& ec) {
    n = 0;
    if (!socket_.is_open()) {
      ec = boost::asio::error::bad_descriptor;
      return Wait::kNone;
    }
    const Wait wait = ReadInto(data, size, n, ec);
    return n > 0 ? Wait::kNone : wait;
  }
  // Waits until the socket is readable or writable, as TryRead asked. Handler: void(error_code).
  template <class Handler>
  void async_wait(Wait wait, Handler&& handler) {
    socket_.async_wait(wait == Wait::kWritable ? next_layer_type::wait_write
                                               : next_layer_type::wait_read,
                       std::forward<Handler>(handler));
  }
  // Sends close_notify if the socket takes it at once, then ends the TCP send direction.
  void ShutdownSend() {
    error_code ec;
    if (!socket_.is_open()) return;
    Shutdown(ec);
    socket_.shutdown(next_layer_type::shutdown_send, ec);
  }

  // The socket's end of the BIO: the descriptor, and the records of a write not yet sent.
  struct Sink {
    int descriptor = -1;
    bool gathering = false;  // inside a write's attempt: records collect in `pending`
    std::unique_ptr<unsigned char[]> pending;
    std::size_t begin = 0, end = 0;  // the unsent bytes of `pending`
    // Sends what is pending: true when all of it is out, false when the socket is full (errno
    // EAGAIN) or failed (errno set). The buffer is freed once empty.
    bool Flush();
  };

 private:
  enum Kind { kHandshake, kRead, kWrite, kShutdown };

  // One attempt of each operation, without blocking: fills `done`/`ec` and says what to wait
  // for (kNone: finished, with `ec` set on failure).
  Wait Handshake(error_code& ec);
  Wait Shutdown(error_code& ec);
  Wait ReadInto(unsigned char* data, std::size_t size, std::size_t& done, error_code& ec);
  // `data` is at most one record (16 KiB); a retry after kWritable must pass the same bytes.
  Wait WriteFrom(const unsigned char* data, std::size_t size, std::size_t& done, error_code& ec);
  // Sends the records a write gathered: kNone when all are out (or `ec` set), else kWritable.
  Wait FlushGathered(error_code& ec);
  Wait Failure(int result, error_code& ec);

  template <Kind K, class Buffers>
  struct Op {
    TlsSocket& tls;
    Buffers buffers;
    error_code result{};
    std::size_t transferred = 0;
    int stage = 0;  // 0: first attempt (inside the initiating call), 1: later, 2: deliver

    template <class Self>
    void operator()(Self& self, error_code ec = {}) {
      if (stage == 2) return Finish(self);
      if (ec) {
        result = ec;
        return Finish(self);
      }
      // OpenSSL knows the descriptor by number: once the socket is closed, that number may
      // already belong to another connection.
      const Wait wait = tls.socket_.is_open() ? Attempt() : Closed();
      if (wait != Wait::kNone) {
        stage = 1;
        return tls.socket_.async_wait(wait == Wait::kReadable ? next_layer_type::wait_read
                                                              : next_layer_type::wait_write,
                                      std::move(self));
      }
      if (stage == 0) {
        stage = 2;
        return boost::asio::post(tls.socket_.get_executor(), std::move(self));
      }
      Finish(self);
    }

    template <class Self>
    void Finish(Self& self) {
      if constexpr (K == kRead || K == kWrite) {
        self.complete(result, transferred);
      } else {
        self.complete(result);
      }
    }

    Wait Attempt();
    Wait Closed() {
      result = boost::asio::error::bad_descriptor;
      return Wait::kNone;
    }
  };

  template <class Signature, class OpType, class Handler>
  auto Start(OpType op, Handler&& handler) {
    // Asio takes the token by reference and moves from it.
    return boost::asio::async_compose<Handler, Signature>(std::move(op), handler, socket_);
  }

  friend void teardown(boost::beast::role_type role, TlsSocket& socket, error_code& ec);

  next_layer_type socket_;
  std::unique_ptr<Sink> sink_;  // on the heap: the BIO keeps its address across moves
  SSL* ssl_ = nullptr;
};

template <TlsSocket::Kind K, class Buffers>
TlsSocket::Wait TlsSocket::Op<K, Buffers>::Attempt() {
  if constexpr (K == kHandshake) {
    return tls.Handshake(result);
  } else if constexpr (K == kShutdown) {
    return tls.Shutdown(result);
  } else if constexpr (K == kRead) {
    // Fills the first non-empty buffer; a message in flight gets more records in one go while
    // OpenSSL holds them already.
    for (auto it = boost::asio::buffer_sequence_begin(buffers);
         it != boost::asio::buffer_sequence_end(buffers); ++it) {
      const boost::asio::mutable_buffer b(*it);
      if (b.size() == 0) continue;
      return tls.ReadInto(static_cast<unsigned char*>(b.data()), b.size(), transferred, result);
    }
    return Wait::kNone;
  } else {
    // Records of an earlier write that are still waiting go first.
    if (const Wait wait = tls.FlushGathered(result); wait != Wait::kNone || result) return wait;
    // Record by record: a contiguous piece of at least a record is written in place, smaller
    // pieces (a frame header and the start of its payload) are gathered into one record first.
    // The records collect in the sink and leave together.
    constexpr std::size_t kRecord = 16384;
    thread_local unsigned char gather[kRecord];
    const std::size_t total = boost::asio::buffer_size(buffers);
    struct Gathering {
      Sink& sink;
      explicit Gathering(Sink& s) : sink(s) { sink.gathering = true; }
      ~Gathering() { sink.gathering = false; }
    } gathering(*tls.sink_);
    while (transferred < total) {
      auto rest = boost::beast::buffers_suffix<Buffers>(buffers);
      rest.consume(transferred);
      const boost::asio::const_buffer front = *rest.begin();
      const unsigned char* data;
      std::size_t size;
      if (front.size() >= kRecord) {
        data = static_cast<const unsigned char*>(front.data());
        size = kRecord;
      } else {
        size = boost::asio::buffer_copy(boost::asio::buffer(gather), rest);
        data = gather;
      }
      std::size_t written = 0;
      const Wait wait = tls.WriteFrom(data, size, written, result);
      transferred += written;
      if (result) return Wait::kNone;
      // Bytes already written are reported first; the pending record goes out on the next call
      // (which sends what this one gathered before anything else).
      if (wait != Wait::kNone) return transferred > 0 ? Wait::kNone : wait;
    }
    // A write that took all its bytes ends only once its records are on the socket.
    return tls.FlushGathered(result);
  }
}

// Beast's WebSocket close: close_notify, then the TCP teardown of the role.
void teardown(boost::beast::role_type role, TlsSocket& socket, boost::beast::error_code& ec);

template <class Handler>
void async_teardown(boost::beast::role_type role, TlsSocket& socket, Handler&& handler) {
  socket.async_shutdown(
      [role, &socket, handler = std::forward<Handler>(handler)](
          const boost::beast::error_code&) mutable {
        boost::beast::websocket::async_teardown(role, socket.next_layer(), std::move(handler));
      });
}

}  // namespace ov::relay
