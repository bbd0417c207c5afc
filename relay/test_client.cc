#include "relay/test_client.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

namespace ov::relay::testing {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using error_code = beast::error_code;

std::string MakeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrova-relay-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

// SNI "localhost" (the OpenSSL macro for this hides a C cast).
void SetServerName(SSL* ssl) {
  static char name[] = "localhost";
  SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, name);
}

void CheckSsl(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("OpenSSL: ") + what);
}

std::unique_ptr<ssl::context> ClientContext(const std::string& caFile) {
  auto ctx = std::make_unique<ssl::context>(ssl::context::tls_client);
  ctx->load_verify_file(caFile);
  ctx->set_verify_mode(ssl::verify_peer);
  ctx->set_verify_callback(ssl::host_name_verification("localhost"));
  return ctx;
}

// Runs the io_context until `done` or the deadline; on the deadline the socket is closed, the
// pending operation drains, and TimeoutError is thrown.
template <class Lowest>
void RunUntil(net::io_context& ioc, Lowest& lowest, const bool& done,
              std::chrono::milliseconds timeout) {
  ioc.restart();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done && std::chrono::steady_clock::now() < deadline) {
    ioc.run_one_until(deadline);
  }
  if (!done) {
    lowest.close();
    ioc.restart();
    while (!done) ioc.run_one();
    throw TimeoutError();
  }
}

}  // namespace

TempDir::TempDir() : path_(MakeTempDir()) {}
TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

TempCertificate::TempCertificate() : dir_(MakeTempDir()) {
  cert_ = dir_ + "/cert.pem";
  key_ = dir_ + "/key.pem";
  EVP_PKEY* key = EVP_EC_gen("P-256");
  CheckSsl(key != nullptr, "key generation");
  X509* x509 = X509_new();
  CheckSsl(x509 != nullptr, "X509_new");
  X509_set_version(x509, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
  X509_gmtime_adj(X509_getm_notBefore(x509), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x509), 24 * 3600);
  X509_set_pubkey(x509, key);
  X509_NAME* name = X509_get_subject_name(x509);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(x509, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, x509, x509, nullptr, nullptr, 0);
  X509_EXTENSION* san =
      X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
  CheckSsl(san != nullptr, "subjectAltName");
  X509_add_ext(x509, san, -1);
  X509_EXTENSION_free(san);
  CheckSsl(X509_sign(x509, key, EVP_sha256()) > 0, "X509_sign");

  FILE* f = std::fopen(key_.c_str(), "wb");
  CheckSsl(f != nullptr, "open key file");
  PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
  f = std::fopen(cert_.c_str(), "wb");
  CheckSsl(f != nullptr, "open certificate file");
  PEM_write_X509(f, x509);
  std::fclose(f);
  X509_free(x509);
  EVP_PKEY_free(key);
}

TempCertificate::~TempCertificate() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

struct WsClient::Impl {
  net::io_context ioc;
  std::unique_ptr<ssl::context> tls;
  std::optional<websocket::stream<beast::tcp_stream>> plain;
  std::optional<websocket::stream<beast::ssl_stream<beast::tcp_stream>>> secure;
  beast::flat_buffer buffer;
  Duration timeout;

  template <class F>
  void With(F&& f) {
    if (plain) {
      f(*plain);
    } else {
      f(*secure);
    }
  }

  template <class Ws>
  void Wait(Ws& ws, const bool& done) {
    RunUntil(ioc, beast::get_lowest_layer(ws), done, timeout);
  }
};

WsClient::WsClient(std::uint16_t port, const std::string& caFile, Duration timeout)
    : impl_(std::make_unique<Impl>()) {
  impl_->timeout = timeout;
  const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), port);
  if (caFile.empty()) {
    impl_->plain.emplace(impl_->ioc);
  } else {
    impl_->tls = ClientContext(caFile);
    impl_->secure.emplace(impl_->ioc, *impl_->tls);
  }
  impl_->With([&](auto& ws) {
    bool done = false;
    error_code ec;
    beast::get_lowest_layer(ws).async_connect(endpoint, [&](const error_code& e) {
      ec = e;
      done = true;
    });
    impl_->Wait(ws, done);
    if (ec) throw std::runtime_error("connect: " + ec.message());
    beast::get_lowest_layer(ws).socket().set_option(tcp::no_delay(true));
    if constexpr (!std::is_same_v<std::decay_t<decltype(ws)>,
                                  websocket::stream<beast::tcp_stream>>) {
      SetServerName(ws.next_layer().native_handle());
      done = false;
      ws.next_layer().async_handshake(ssl::stream_base::client, [&](const error_code& e) {
        ec = e;
        done = true;
      });
      impl_->Wait(ws, done);
      if (ec) throw std::runtime_error("TLS handshake: " + ec.message());
    }
    ws.read_message_max(0);
    ws.auto_fragment(false);
    // Client frames are masked through this buffer; Beast's 4 KiB default would turn a 1 MiB
    // message into 256 socket writes.
    ws.write_buffer_bytes(256 * 1024);
    done = false;
    ws.async_handshake("localhost", "/ws", [&](const error_code& e) {
      ec = e;
      done = true;
    });
    impl_->Wait(ws, done);
    if (ec) throw std::runtime_error("WebSocket handshake: " + ec.message());
  });
}

WsClient::~WsClient() = default;

void WsClient::SetTimeout(Duration timeout) { impl_->timeout = timeout; }

void WsClient::Send(const std::string& bytes, bool binary) {
  impl_->With([&](auto& ws) {
    bool done = false;
    error_code ec;
    ws.binary(binary);
    ws.async_write(net::buffer(bytes), [&](const error_code& e, std::size_t) {
      ec = e;
      done = true;
    });
    impl_->Wait(ws, done);
    if (ec) throw std::runtime_error("write: " + ec.message());
  });
}

WsClient::Message WsClient::Read() {
  Message message;
  impl_->With([&](auto& ws) {
    bool done = false;
    error_code ec;
    impl_->buffer.clear();
    ws.async_read(impl_->buffer, [&](const error_code& e, std::size_t) {
      ec = e;
      done = true;
    });
    impl_->Wait(ws, done);
    if (ec == websocket::error::closed) throw ClosedError(ws.reason().code);
    if (ec) throw ClosedError(-1);
    message.binary = ws.got_binary();
    message.data = beast::buffers_to_string(impl_->buffer.cdata());
  });
  return message;
}

std::size_t WsClient::ReadSize() {
  std::size_t size = 0;
  impl_->With([&](auto& ws) {
    bool done = false;
    error_code ec;
    impl_->buffer.consume(impl_->buffer.size());
    ws.async_read(impl_->buffer, [&](const error_code& e, std::size_t) {
      ec = e;
      done = true;
    });
    impl_->Wait(ws, done);
    if (ec == websocket::error::closed) throw ClosedError(ws.reason().code);
    if (ec) throw ClosedError(-1);
    size = impl_->buffer.size();
  });
  return size;
}

Json WsClient::ReadJson() {
  const Message m = Read();
  if (m.binary) throw std::runtime_error("expected text, got binary");
  return ParseMessage(m.data);
}

int WsClient::WaitClosed(std::vector<Message>* skipped) {
  for (;;) {
    try {
      Message m = Read();
      if (skipped) skipped->push_back(std::move(m));
    } catch (const ClosedError& e) {
      return e.code;
    }
  }
}

void WsClient::Drop() {
  impl_->With([](auto& ws) { beast::get_lowest_layer(ws).close(); });
}

void WsClient::Close() {
  impl_->With([&](auto& ws) {
    bool done = false;
    ws.async_close(websocket::close_code::normal, [&](const error_code&) { done = true; });
    impl_->Wait(ws, done);
  });
}

HttpResult HttpRequest(std::uint16_t port, const std::string& target, const std::string& method,
                       const std::string& caFile) {
  net::io_context ioc;
  const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), port);
  http::request<http::empty_body> request{http::string_to_verb(method), target, 11};
  request.set(http::field::host, "localhost");
  HttpResult result;
  auto exchange = [&](auto& stream) {
    bool done = false;
    error_code ec;
    http::async_write(stream, request, [&](const error_code& e, std::size_t) {
      ec = e;
      done = true;
    });
    RunUntil(ioc, beast::get_lowest_layer(stream), done, std::chrono::milliseconds(5000));
    if (ec) throw std::runtime_error("HTTP write: " + ec.message());
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64u << 20);
    if (method == "HEAD") parser.skip(true);
    done = false;
    http::async_read(stream, buffer, parser, [&](const error_code& e, std::size_t) {
      ec = e;
      done = true;
    });
    RunUntil(ioc, beast::get_lowest_layer(stream), done, std::chrono::milliseconds(5000));
    if (ec) throw std::runtime_error("HTTP read: " + ec.message());
    const auto& res = parser.get();
    result.status = res.result_int();
    for (const auto& field : res) {
      std::string name(field.name_string());
      for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      result.headers[name] = std::string(field.value());
    }
    result.body = res.body();
  };
  if (caFile.empty()) {
    beast::tcp_stream stream(ioc);
    stream.connect(endpoint);
    exchange(stream);
  } else {
    auto ctx = ClientContext(caFile);
    beast::ssl_stream<beast::tcp_stream> stream(ioc, *ctx);
    beast::get_lowest_layer(stream).connect(endpoint);
    SetServerName(stream.native_handle());
    stream.handshake(ssl::stream_base::client);
    exchange(stream);
  }
  return result;
}

Child::Child(const std::string& binary, std::vector<std::string> args) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe");
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    ::dup2(fds[1], 2);
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    ::close(fds[1]);
    std::vector<char*> argv;
    std::string path = binary;
    argv.push_back(path.data());
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  fd_ = fds[0];
}

Child::~Child() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::close(fd_);
}

std::string Child::ReadUntil(const std::string& needle, Duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (output_.find(needle) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    output_.append(buffer, static_cast<std::size_t>(n));
  }
  return output_;
}

int Child::Wait() {
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      ReadUntil("\x01", Duration(200));  // whatever is left
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

void Child::Signal(int sig) { ::kill(pid_, sig); }

std::uint16_t Child::ListeningPort() {
  const std::string out = ReadUntil("listening on ");
  const auto line = out.find("listening on ");
  if (line == std::string::npos) return 0;
  ReadUntil("\n");
  const auto at = output_.find("127.0.0.1:", line);
  if (at == std::string::npos) return 0;
  return static_cast<std::uint16_t>(std::stoi(output_.substr(at + 10)));
}

}  // namespace ov::relay::testing
