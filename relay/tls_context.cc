// The relay's TLS settings (see tls_context.h).
#include "relay/tls_context.h"

#include <openssl/ssl.h>

#include <cstddef>
#include <stdexcept>

#include <boost/asio/ssl.hpp>

namespace ov::relay {

namespace {

namespace ssl = boost::asio::ssl;

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

}  // namespace

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

}  // namespace ov::relay
