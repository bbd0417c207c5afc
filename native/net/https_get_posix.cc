// HTTPS GET over Boost.Beast and BoringSSL. Every operation is asynchronous on a private
// io_context that the calling thread runs in short slices, so a cancellation or a deadline is
// noticed within a slice; an abandoned operation is closed and drained before returning.

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "net/https_get.h"
#include "net/tls_trust_posix.h"

namespace ov {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using net_internal::IsIpAddress;
using net_internal::LoadSystemTrust;

constexpr auto kResolveTimeout = std::chrono::milliseconds(3000);
constexpr auto kConnectTimeout = std::chrono::milliseconds(5000);
constexpr auto kSendTimeout = std::chrono::milliseconds(5000);
constexpr auto kReceiveTimeout = std::chrono::milliseconds(5000);
constexpr auto kSlice = std::chrono::milliseconds(20);

[[noreturn]] void CheckFailed() { throw std::runtime_error(kUpdateCheckFailedText); }
[[noreturn]] void VerificationFailed() { throw std::runtime_error(kUpdateVerificationFailedText); }

class Fetch {
 public:
  explicit Fetch(const HttpsGetRequest& request) : request_(request) {}
  ~Fetch() { Abandon(); }
  Fetch(const Fetch&) = delete;
  Fetch& operator=(const Fetch&) = delete;

  std::vector<std::uint8_t> Run();

 private:
  bool Cancelled() const { return request_.cancel != nullptr && request_.cancel->load(); }
  // Runs the io_context until `done` is set. Fails when the request is cancelled or `deadline`
  // passes first; the pending operation is then closed and drained.
  void Await(const bool& done, Clock::time_point deadline);
  // Closes the socket and completes every pending handler (with operation_aborted).
  void Abandon() noexcept;

  const HttpsGetRequest& request_;
  asio::io_context ioc_;
  asio::ssl::context tls_{asio::ssl::context::tls_client};
  tcp::resolver resolver_{ioc_};
  // Made once the TLS context is configured: a TLS connection copies the context's verification
  // mode and protocol versions when it is created.
  std::optional<beast::ssl_stream<beast::tcp_stream>> stream_;
};

void Fetch::Await(const bool& done, Clock::time_point deadline) {
  while (!done) {
    const Clock::time_point now = Clock::now();
    if (Cancelled() || now >= deadline) {
      Abandon();
      CheckFailed();
    }
    ioc_.restart();
    ioc_.run_for(std::min<Clock::duration>(kSlice, deadline - now));
  }
}

void Fetch::Abandon() noexcept {
  beast::error_code ignored;
  resolver_.cancel();
  if (stream_) beast::get_lowest_layer(*stream_).socket().close(ignored);
  try {
    ioc_.restart();
    ioc_.run();
  } catch (...) {
  }
}

std::vector<std::uint8_t> Fetch::Run() {
  if (!IsValidUpdatePath(request_.path)) VerificationFailed();
  const std::string& host = request_.host;

  SSL_CTX* ctx = tls_.native_handle();
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) CheckFailed();
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  LoadSystemTrust(ctx);
  if (!request_.extraCaFile.empty() &&
      SSL_CTX_load_verify_locations(ctx, request_.extraCaFile.c_str(), nullptr) != 1) {
    ERR_clear_error();
    CheckFailed();
  }
  stream_.emplace(ioc_, tls_);
  auto& stream = *stream_;
  SSL* ssl = stream.native_handle();
  const bool named = IsIpAddress(host)
                         ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1
                         : SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 &&
                               SSL_set1_host(ssl, host.c_str()) == 1;
  if (!named) {
    ERR_clear_error();
    CheckFailed();
  }

  bool done = false;
  beast::error_code error;
  auto complete = [&](beast::error_code ec) {
    error = ec;
    done = true;
  };
  auto step = [&](Clock::duration timeout, auto start) {
    done = false;
    error = {};
    start();
    Await(done, Clock::now() + timeout);
    if (error) CheckFailed();
  };

  tcp::resolver::results_type endpoints;
  step(kResolveTimeout, [&] {
    resolver_.async_resolve(host, std::to_string(request_.port),
                            [&](beast::error_code ec, tcp::resolver::results_type results) {
                              endpoints = std::move(results);
                              complete(ec);
                            });
  });
  step(kConnectTimeout, [&] {
    asio::async_connect(beast::get_lowest_layer(stream).socket(), endpoints,
                        [&](beast::error_code ec, const tcp::endpoint&) { complete(ec); });
  });
  // The handshake's last flight and the request are small writes in a row: with Nagle's algorithm
  // the request would wait for the server's delayed acknowledgement of the first (40 ms or more).
  beast::error_code noDelayError;
  beast::get_lowest_layer(stream).socket().set_option(tcp::no_delay(true), noDelayError);
  step(kConnectTimeout, [&] {
    stream.async_handshake(asio::ssl::stream_base::client, [&](beast::error_code ec) { complete(ec); });
  });

  http::request<http::empty_body> get{http::verb::get, request_.path, 11};
  get.set(http::field::host, request_.port == 443 ? host : host + ":" + std::to_string(request_.port));
  get.set(http::field::user_agent, kUpdateUserAgent);
  get.set(http::field::cache_control, "no-cache");
  get.keep_alive(false);
  if (Cancelled()) CheckFailed();
  step(kSendTimeout, [&] {
    http::async_write(stream, get, [&](beast::error_code ec, std::size_t) { complete(ec); });
  });

  beast::flat_buffer buffer;
  http::response_parser<http::buffer_body> parser;
  // The limit is checked below, after the status. (Beast 1.74 compares the announced length with
  // an empty limit as if it were exceeded, so "no limit" is the largest value.)
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  step(kReceiveTimeout, [&] {
    http::async_read_header(stream, buffer, parser, [&](beast::error_code ec, std::size_t) { complete(ec); });
  });
  if (parser.get().result_int() != 200) CheckFailed();
  const Clock::time_point bodyDeadline =
      Clock::now() + std::chrono::milliseconds(request_.limit <= kHttpsShortBodyLimit ? kHttpsShortBodyDeadlineMs
                                                                                       : kHttpsLongBodyDeadlineMs);
  if (const auto announced = parser.content_length(); announced && *announced > request_.limit) {
    VerificationFailed();
  }

  std::vector<std::uint8_t> body;
  std::vector<std::uint8_t> piece(kHttpsPieceBytes);
  while (!parser.is_done()) {
    if (Cancelled() || Clock::now() >= bodyDeadline) CheckFailed();
    parser.get().body().data = piece.data();
    parser.get().body().size = piece.size();
    parser.get().body().more = true;
    done = false;
    error = {};
    http::async_read_some(stream, buffer, parser, [&](beast::error_code ec, std::size_t) { complete(ec); });
    Await(done, std::min(bodyDeadline, Clock::now() + kReceiveTimeout));
    if (error && error != http::error::need_buffer) CheckFailed();
    const std::size_t received = piece.size() - parser.get().body().size;
    if (received == 0) continue;
    if (received > request_.limit - body.size()) VerificationFailed();
    body.insert(body.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(received));
    if (request_.progress) request_.progress(body.size());
  }
  return body;
}

}  // namespace

std::vector<std::uint8_t> HttpsGet(const HttpsGetRequest& request) {
  try {
    Fetch fetch(request);
    return fetch.Run();
  } catch (const boost::system::system_error&) {
    CheckFailed();
  } catch (const std::system_error&) {
    CheckFailed();
  } catch (const std::runtime_error&) {
    throw;  // the two texts above, or the progress callback's own failure
  } catch (const std::exception&) {
    CheckFailed();  // allocation and system errors of the I/O layer
  }
}

}  // namespace ov
