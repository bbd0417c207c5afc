// The updater's HTTPS GET (Beast over BoringSSL) fed the update service's whole response: a TLS
// server on 127.0.0.1 with a certificate made for the run (trusted through the request's extra
// authority file) reads each request and answers with the fuzzer's bytes, then closes.
//
//   byte 0       the body limit: 0, 1, 64, 16384, 16385 or 65536 (byte % 6)
//   the rest     the raw response: status line, headers, body
//
// Every GET returns a body or throws one of the two fixed texts ("Update check failed", "Update
// verification failed"), within the fuzzer's timeout. A body is returned only for status 200, is
// never longer than the limit, is what follows the header when the response is not chunked, and
// the last progress report is its size, after reports that never went down.
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "net/https_get.h"
#include "net/testing/test_socket.h"
#include "net/testing/test_trust.h"
#include "net/testing/ws_test_server.h"

namespace {

using ov::testing::SocketHandle;

// One connection at a time: the TLS handshake, the request head, the response, the close.
class ResponseServer {
 public:
  ResponseServer() {
    ov::testing::InitSockets();
    std::signal(SIGPIPE, SIG_IGN);  // the client may close before the whole response is written
    certificate_ = ov::testing::MakeTestCertificate();
    trusted_ = std::make_unique<ov::testing::TrustedCertificate>(certificate_);
    OV_FUZZ_CHECK(trusted_->ok());
    // BoringSSL's default authorities file is the run's own certificate, so each GET loads the
    // system bundle once (its fixed paths) instead of twice: about half of a GET's time here.
    ::setenv("SSL_CERT_FILE", trusted_->options().extraCaFile.c_str(), 1);
    tls_ = SSL_CTX_new(TLS_server_method());
    BIO* certBio =
        BIO_new_mem_buf(certificate_.certPem.data(), static_cast<int>(certificate_.certPem.size()));
    BIO* keyBio =
        BIO_new_mem_buf(certificate_.keyPem.data(), static_cast<int>(certificate_.keyPem.size()));
    X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    OV_FUZZ_CHECK(tls_ != nullptr && cert != nullptr && key != nullptr &&
                  SSL_CTX_use_certificate(tls_, cert) == 1 &&
                  SSL_CTX_use_PrivateKey(tls_, key) == 1);
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certBio);
    BIO_free(keyBio);
    listener_ = ov::testing::ListenLoopback(port_);
    OV_FUZZ_CHECK(listener_ != ov::testing::kNoSocket);
    std::thread([this] { Serve(); }).detach();  // lives as long as the process
  }

  std::uint16_t port() const { return port_; }
  std::string caFile() const { return trusted_->options().extraCaFile; }
  void SetResponse(std::string response) {
    std::lock_guard<std::mutex> lock(mutex_);
    response_ = std::move(response);
  }

 private:
  void Serve() {
    for (;;) {
      const SocketHandle s = ov::testing::AcceptWithTimeout(listener_, 1000);
      if (s == ov::testing::kNoSocket) continue;
      SSL* ssl = SSL_new(tls_);
      SSL_set_fd(ssl, ov::testing::SocketFd(s));
      if (SSL_accept(ssl) == 1 && ReadHead(ssl)) {
        std::string response;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          response = response_;
        }
        for (std::size_t at = 0; at < response.size();) {
          const int n =
              SSL_write(ssl, response.data() + at,
                        static_cast<int>(std::min<std::size_t>(response.size() - at, 16384)));
          if (n <= 0) break;
          at += static_cast<std::size_t>(n);
        }
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
      ov::testing::ShutdownSocket(s);
      ov::testing::CloseSocket(s);
    }
  }

  static bool ReadHead(SSL* ssl) {
    std::string head;
    char buffer[1024];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384) {
      const int n = SSL_read(ssl, buffer, sizeof buffer);
      if (n <= 0) return false;
      head.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }

  ov::testing::TestCertificate certificate_;
  std::unique_ptr<ov::testing::TrustedCertificate> trusted_;
  SSL_CTX* tls_ = nullptr;
  SocketHandle listener_ = ov::testing::kNoSocket;
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  std::string response_;
};

ResponseServer& Server() {
  static ResponseServer* server = new ResponseServer();  // never destroyed: its thread runs on
  return *server;
}

// "HTTP/<digit>.<digit> 200": the status line of a success, whatever the version.
bool IsStatus200(std::string_view response) {
  auto digit = [&](std::size_t i) {
    return i < response.size() && response[i] >= '0' && response[i] <= '9';
  };
  return response.starts_with("HTTP/") && digit(5) && response.size() > 6 && response[6] == '.' &&
         digit(7) && response.substr(8).starts_with(" 200");
}

bool ContainsChunked(std::string_view head) {
  std::string lower(head);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("chunked") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static constexpr std::uint64_t kLimits[] = {0, 1, 64, 16384, 16385, 65536};
  const std::uint64_t limit = kLimits[data[0] % 6];
  const std::string response(reinterpret_cast<const char*>(data + 1), size - 1);
  ResponseServer& server = Server();
  server.SetResponse(response);

  ov::HttpsGetRequest request;
  request.host = "127.0.0.1";
  request.port = server.port();
  request.path = "/download/update.json?check=1";
  request.limit = limit;
  request.extraCaFile = server.caFile();
  std::vector<std::uint64_t> progress;
  request.progress = [&progress](std::uint64_t total) { progress.push_back(total); };
  std::vector<std::uint8_t> body;
  try {
    body = ov::HttpsGet(request);
  } catch (const std::runtime_error& error) {
    OV_FUZZ_CHECK(std::strcmp(error.what(), ov::kUpdateCheckFailedText) == 0 ||
                  std::strcmp(error.what(), ov::kUpdateVerificationFailedText) == 0);
    return 0;
  }
  OV_FUZZ_CHECK(IsStatus200(response));
  OV_FUZZ_CHECK(body.size() <= limit);
  for (std::size_t i = 1; i < progress.size(); ++i) OV_FUZZ_CHECK(progress[i - 1] <= progress[i]);
  OV_FUZZ_CHECK(progress.empty() ? body.empty() : progress.back() == body.size());
  const std::size_t end = response.find("\r\n\r\n");
  OV_FUZZ_CHECK(end != std::string::npos);
  const std::string_view head = std::string_view(response).substr(0, end);
  if (!ContainsChunked(head)) {
    const std::string_view after = std::string_view(response).substr(end + 4);
    OV_FUZZ_CHECK(after.starts_with(
        std::string_view(reinterpret_cast<const char*>(body.data()), body.size())));
  }
  return 0;
}
