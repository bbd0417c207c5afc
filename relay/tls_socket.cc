#include "relay/tls_socket.h"

#include <openssl/err.h>
#include <sys/socket.h>

#include <boost/asio/ssl/error.hpp>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

namespace ov::relay {
namespace {

// A source/sink BIO on a non-blocking socket descriptor, its TlsSocket::Sink kept in the BIO's
// data pointer. Unlike OpenSSL's socket BIO it sends with MSG_NOSIGNAL: a peer that vanished must
// not raise SIGPIPE.
using Sink = TlsSocket::Sink;
Sink& SinkOf(BIO* bio) { return *static_cast<Sink*>(BIO_get_data(bio)); }

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// Four full records with their headers and tags.
constexpr std::size_t kGatherCapacity = 4 * (16384 + 256);

int SocketWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  Sink& sink = SinkOf(bio);
  const auto length = static_cast<std::size_t>(size);
  // Whatever a write gathered leaves before anything else, to keep the records in order.
  if (sink.end > sink.begin && (!sink.gathering || kGatherCapacity - sink.end < length)) {
    if (!sink.Flush()) {
      if (WouldBlock(errno)) BIO_set_retry_write(bio);
      return -1;
    }
  }
  if (sink.gathering && length <= kGatherCapacity - sink.end) {
    if (!sink.pending) sink.pending.reset(new (std::nothrow) unsigned char[kGatherCapacity]);
    if (sink.pending) {
      std::memcpy(sink.pending.get() + sink.end, data, length);
      sink.end += length;
      return size;
    }
  }
  const ssize_t n = ::send(sink.descriptor, data, length, MSG_NOSIGNAL);
  if (n < 0 && WouldBlock(errno)) BIO_set_retry_write(bio);
  return n < 0 ? -1 : static_cast<int>(n);
}

int SocketRead(BIO* bio, char* data, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::recv(SinkOf(bio).descriptor, data, static_cast<std::size_t>(size), 0);
  if (n < 0 && WouldBlock(errno)) BIO_set_retry_read(bio);
  return n < 0 ? -1 : static_cast<int>(n);
}

long SocketControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int SocketCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* SocketMethod() {
  static const BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "relay socket");
    if (m == nullptr || BIO_meth_set_write(m, SocketWrite) != 1 ||
        BIO_meth_set_read(m, SocketRead) != 1 || BIO_meth_set_ctrl(m, SocketControl) != 1 ||
        BIO_meth_set_create(m, SocketCreate) != 1) {
      throw std::bad_alloc();
    }
    return m;
  }();
  return method;
}

}  // namespace

bool TlsSocket::Sink::Flush() {
  while (begin < end) {
    const ssize_t n = ::send(descriptor, pending.get() + begin, end - begin, MSG_NOSIGNAL);
    if (n < 0) return false;
    begin += static_cast<std::size_t>(n);
  }
  begin = end = 0;
  pending.reset();
  return true;
}

TlsSocket::Wait TlsSocket::FlushGathered(error_code& ec) {
  if (sink_->Flush()) return Wait::kNone;
  if (WouldBlock(errno)) return Wait::kWritable;
  ec = error_code(errno, boost::system::system_category());
  return Wait::kNone;
}

TlsSocket::TlsSocket(next_layer_type socket, SSL_CTX* context)
    : socket_(std::move(socket)), sink_(std::make_unique<Sink>()) {
  socket_.non_blocking(true);
  sink_->descriptor = socket_.native_handle();
  ssl_ = SSL_new(context);
  BIO* bio = ssl_ != nullptr ? BIO_new(SocketMethod()) : nullptr;
  if (bio == nullptr) {
    SSL_free(ssl_);
    throw std::bad_alloc();
  }
  BIO_set_data(bio, sink_.get());
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_accept_state(ssl_);
  // Record buffers exist only while a record is in flight; whole records are read at once.
  SSL_set_mode(ssl_, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE |
                         SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_set_read_ahead(ssl_, 1);
}

TlsSocket::TlsSocket(TlsSocket&& other) noexcept
    : socket_(std::move(other.socket_)),
      sink_(std::move(other.sink_)),
      ssl_(std::exchange(other.ssl_, nullptr)) {}

TlsSocket::~TlsSocket() { SSL_free(ssl_); }

TlsSocket::Wait TlsSocket::Failure(int result, error_code& ec) {
  const int error = SSL_get_error(ssl_, result);
  switch (error) {
    case SSL_ERROR_WANT_READ:
      return Wait::kReadable;
    case SSL_ERROR_WANT_WRITE:
      return Wait::kWritable;
    case SSL_ERROR_ZERO_RETURN:
      ec = boost::asio::error::eof;  // the peer's close_notify
      break;
    case SSL_ERROR_SYSCALL:
      if (errno != 0) {
        ec = error_code(errno, boost::system::system_category());
      } else {
        ec = boost::asio::ssl::error::stream_truncated;
      }
      break;
    default: {
      const unsigned long code = ERR_get_error();
      if (ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ec = boost::asio::ssl::error::stream_truncated;
      } else {
        ec = error_code(static_cast<int>(code), boost::asio::error::get_ssl_category());
      }
      if (!ec) ec = boost::asio::ssl::error::stream_truncated;
    }
  }
  ERR_clear_error();
  return Wait::kNone;
}

TlsSocket::Wait TlsSocket::Handshake(error_code& ec) {
  ERR_clear_error();
  errno = 0;
  const int result = SSL_do_handshake(ssl_);
  return result == 1 ? Wait::kNone : Failure(result, ec);
}

TlsSocket::Wait TlsSocket::Shutdown(error_code& ec) {
  ERR_clear_error();
  errno = 0;
  const int result = SSL_shutdown(ssl_);
  if (result >= 0) return Wait::kNone;  // close_notify is out
  return Failure(result, ec);
}

TlsSocket::Wait TlsSocket::ReadInto(unsigned char* data, std::size_t size, std::size_t& done,
                                    error_code& ec) {
  while (done < size) {
    ERR_clear_error();
    errno = 0;
    std::size_t n = 0;
    const int result = SSL_read_ex(ssl_, data + done, size - done, &n);
    if (result != 1) {
      if (done > 0) {
        // What was read is reported now; the next call finds the condition again.
        ERR_clear_error();
        return Wait::kNone;
      }
      return Failure(result, ec);
    }
    done += n;
    // Another round only while OpenSSL holds data already: asking the socket again would
    // usually cost a system call that finds nothing.
    if (SSL_has_pending(ssl_) == 0) break;
  }
  return Wait::kNone;
}

TlsSocket::Wait TlsSocket::WriteFrom(const unsigned char* data, std::size_t size,
                                     std::size_t& done, error_code& ec) {
  ERR_clear_error();
  errno = 0;
  std::size_t n = 0;
  const int result = SSL_write_ex(ssl_, data, size, &n);
  if (result == 1) {
    done = n;
    return Wait::kNone;
  }
  return Failure(result, ec);
}

void teardown(boost::beast::role_type role, TlsSocket& socket, boost::beast::error_code& ec) {
  if (socket.next_layer().is_open()) socket.Shutdown(ec);
  ec = {};
  boost::beast::websocket::teardown(role, socket.next_layer(), ec);
}

}  // namespace ov::relay
