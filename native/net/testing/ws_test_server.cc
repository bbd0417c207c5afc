#include "net/testing/ws_test_server.h"

#include <openssl/base64.h>
#include <openssl/bytestring.h>
#include <openssl/bn.h>
#include <openssl/rsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>
#include <stdexcept>

namespace ov::testing {
namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string Trim(const std::string& s) {
  const std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  const std::size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

std::string AcceptKey(const std::string& key) {
  const std::string input = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  std::uint8_t digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const std::uint8_t*>(input.data()), input.size(), digest);
  std::uint8_t encoded[64];
  const std::size_t n = EVP_EncodeBlock(encoded, digest, sizeof(digest));
  return std::string(reinterpret_cast<const char*>(encoded), n);
}

std::string BioToString(BIO* bio) {
  const std::uint8_t* data = nullptr;
  std::size_t len = 0;
  BIO_mem_contents(bio, &data, &len);
  return std::string(reinterpret_cast<const char*>(data), len);
}

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// WsPeer

long WsPeer::ReadSome(void* data, std::size_t size) {
  if (ssl_ != nullptr) {
    const int n = SSL_read(ssl_, data, static_cast<int>(std::min<std::size_t>(size, 1u << 20)));
    return n > 0 ? n : (SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1);
  }
  return RecvSome(socket_, data, size);
}

bool WsPeer::ReadExact(void* data, std::size_t size) {
  auto* out = static_cast<std::uint8_t*>(data);
  const std::size_t fromPending = std::min(size, pending_.size());
  if (fromPending > 0) {
    std::memcpy(out, pending_.data(), fromPending);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(fromPending));
    out += fromPending;
    size -= fromPending;
  }
  while (size > 0) {
    const long n = ReadSome(out, size);
    if (n <= 0) return false;
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool WsPeer::WriteAll(const void* data, std::size_t size) {
  if (ssl_ == nullptr) return SendAll(socket_, data, size);
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const int n = SSL_write(ssl_, p, static_cast<int>(std::min<std::size_t>(size, 1u << 20)));
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool WsPeer::ReadRequest(HttpRequest& out) {
  std::string head;
  std::uint8_t buffer[4096];
  std::size_t end = std::string::npos;
  while ((end = head.find("\r\n\r\n")) == std::string::npos) {
    if (head.size() > 65536) return false;
    const long n = ReadSome(buffer, sizeof(buffer));
    if (n <= 0) return false;
    head.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
  }
  pending_.assign(head.begin() + static_cast<std::ptrdiff_t>(end + 4), head.end());
  head.resize(end + 2);

  HttpRequest request;
  std::size_t pos = head.find("\r\n");
  const std::string line = head.substr(0, pos);
  const std::size_t sp1 = line.find(' ');
  const std::size_t sp2 = line.rfind(' ');
  if (sp1 == std::string::npos || sp2 == sp1) return false;
  request.method = line.substr(0, sp1);
  request.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  pos += 2;
  while (pos < head.size()) {
    const std::size_t eol = head.find("\r\n", pos);
    const std::string field = head.substr(pos, eol - pos);
    pos = eol + 2;
    const std::size_t colon = field.find(':');
    if (colon == std::string::npos) continue;
    request.headers[Lower(field.substr(0, colon))] = Trim(field.substr(colon + 1));
  }
  {
    std::lock_guard<std::mutex> lock(server_->mutex_);
    server_->requests_.push_back(request);
  }
  out = std::move(request);
  return true;
}

bool WsPeer::AcceptUpgrade(const HttpRequest& request) {
  const auto key = request.headers.find("sec-websocket-key");
  if (key == request.headers.end()) return Refuse(400);
  const std::string response =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: " + AcceptKey(key->second) + "\r\n\r\n";
  return WriteAll(response.data(), response.size());
}

bool WsPeer::Handshake() {
  HttpRequest request;
  return ReadRequest(request) && AcceptUpgrade(request);
}

bool WsPeer::Refuse(int status) {
  const std::string response = "HTTP/1.1 " + std::to_string(status) +
                               " Refused\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  return WriteAll(response.data(), response.size());
}

bool WsPeer::SendFrame(bool fin, std::uint8_t opcode, const void* data, std::size_t size) {
  std::vector<std::uint8_t> frame;
  frame.reserve(size + 10);
  frame.push_back(static_cast<std::uint8_t>((fin ? 0x80 : 0) | (opcode & 0x0F)));
  if (size < 126) {
    frame.push_back(static_cast<std::uint8_t>(size));
  } else if (size <= 0xFFFF) {
    frame.push_back(126);
    frame.push_back(static_cast<std::uint8_t>(size >> 8));
    frame.push_back(static_cast<std::uint8_t>(size));
  } else {
    frame.push_back(127);
    for (int shift = 56; shift >= 0; shift -= 8) {
      frame.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(size) >> shift));
    }
  }
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (size > 0) frame.insert(frame.end(), bytes, bytes + size);
  return WriteAll(frame.data(), frame.size());
}

bool WsPeer::SendClose(std::uint16_t code) {
  const std::uint8_t payload[2] = {static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
  return SendFrame(true, kCloseFrame, payload, sizeof(payload));
}

bool WsPeer::ReadFrame(WsFrame& frame) {
  std::uint8_t header[2];
  if (!ReadExact(header, 2)) return false;
  frame.fin = (header[0] & 0x80) != 0;
  frame.opcode = header[0] & 0x0F;
  const bool masked = (header[1] & 0x80) != 0;
  std::uint64_t size = header[1] & 0x7F;
  if (size >= 126) {
    std::uint8_t ext[8];
    const std::size_t n = size == 126 ? 2 : 8;
    if (!ReadExact(ext, n)) return false;
    size = 0;
    for (std::size_t i = 0; i < n; ++i) size = (size << 8) | ext[i];
  }
  if (size > (64u << 20)) return false;
  std::uint8_t mask[4] = {0, 0, 0, 0};
  if (masked && !ReadExact(mask, 4)) return false;
  frame.payload.resize(static_cast<std::size_t>(size));
  if (size > 0 && !ReadExact(frame.payload.data(), frame.payload.size())) return false;
  for (std::size_t i = 0; i < frame.payload.size(); ++i) frame.payload[i] ^= mask[i % 4];
  return true;
}

bool WsPeer::ReadMessage(std::uint8_t& opcode, std::vector<std::uint8_t>& payload) {
  payload.clear();
  bool started = false;
  WsFrame frame;
  while (ReadFrame(frame)) {
    if (frame.opcode == kPingFrame) {
      if (!SendFrame(true, kPongFrame, frame.payload.data(), frame.payload.size())) return false;
      continue;
    }
    if (frame.opcode == kPongFrame) continue;
    if (frame.opcode == kCloseFrame) {
      receivedCloseCode_ = frame.payload.size() >= 2
                               ? static_cast<std::uint16_t>((frame.payload[0] << 8) | frame.payload[1])
                               : 1005;
      SendFrame(true, kCloseFrame, frame.payload.data(), std::min<std::size_t>(frame.payload.size(), 2));
      return false;
    }
    if (!started) {
      opcode = frame.opcode;
      started = true;
    }
    payload.insert(payload.end(), frame.payload.begin(), frame.payload.end());
    if (frame.fin) return true;
  }
  return false;
}

void WsPeer::EchoUntilClosed() {
  std::uint8_t opcode = 0;
  std::vector<std::uint8_t> payload;
  while (ReadMessage(opcode, payload)) {
    if (!SendFrame(true, opcode, payload.data(), payload.size())) return;
  }
}

void WsPeer::Drop() { ShutdownSocket(socket_); }

// ---------------------------------------------------------------------------------------------
// WsTestServer

WsTestServer::WsTestServer(Script script, const TestCertificate* certificate) : script_(std::move(script)) {
  InitSockets();
  if (certificate != nullptr) {
    tls_ = SSL_CTX_new(TLS_server_method());
    BIO* certBio = BIO_new_mem_buf(certificate->certPem.data(), static_cast<int>(certificate->certPem.size()));
    BIO* keyBio = BIO_new_mem_buf(certificate->keyPem.data(), static_cast<int>(certificate->keyPem.size()));
    X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    const bool ok = tls_ != nullptr && cert != nullptr && key != nullptr && SSL_CTX_use_certificate(tls_, cert) == 1 &&
                    SSL_CTX_use_PrivateKey(tls_, key) == 1;
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certBio);
    BIO_free(keyBio);
    if (!ok) {
      SSL_CTX_free(tls_);
      tls_ = nullptr;
      return;  // listening() stays false
    }
  }
  listener_ = ListenLoopback(port_);
  if (listener_ != kNoSocket) acceptThread_ = std::thread([this] { AcceptLoop(); });
}

WsTestServer::~WsTestServer() {
  stopping_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (SocketHandle s : sockets_) ShutdownSocket(s);
  }
  for (std::thread& t : peers_) t.join();
  for (SocketHandle s : sockets_) CloseSocket(s);
  if (listener_ != kNoSocket) CloseSocket(listener_);
  SSL_CTX_free(tls_);
}

std::vector<HttpRequest> WsTestServer::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void WsTestServer::AcceptLoop() {
  while (!stopping_) {
    const SocketHandle s = AcceptWithTimeout(listener_, 50);
    if (s == kNoSocket) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    ++accepted_;
    sockets_.push_back(s);
    peers_.emplace_back([this, s] { Serve(s); });
  }
}

void WsTestServer::Serve(SocketHandle socket) {
  SSL* ssl = nullptr;
  if (tls_ != nullptr) {
    ssl = SSL_new(tls_);
    SSL_set_fd(ssl, SocketFd(socket));
    if (SSL_accept(ssl) != 1) {
      SSL_free(ssl);
      ShutdownSocket(socket);
      return;
    }
  }
  WsPeer peer(this, socket, ssl);
  script_(peer);
  if (ssl != nullptr) {
    SSL_shutdown(ssl);
    SSL_free(ssl);
  }
  ShutdownSocket(socket);
}

// ---------------------------------------------------------------------------------------------
// Certificate

TestCertificate MakeTestCertificate(bool withLoopbackAddress) {
  TestCertificate result;
  // RSA rather than ECDSA: Wine's certificate chain engine verifies RSA signatures only.
  RSA* rsa = RSA_new();
  BIGNUM* exponent = BN_new();
  Check(rsa != nullptr && exponent != nullptr && BN_set_word(exponent, RSA_F4) == 1 &&
            RSA_generate_key_ex(rsa, 2048, exponent, nullptr) == 1,
        "key");
  BN_free(exponent);
  EVP_PKEY* key = EVP_PKEY_new();
  EVP_PKEY_assign_RSA(key, rsa);

  X509* cert = X509_new();
  X509_set_version(cert, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(std::random_device{}() & 0x7FFFFFFF) + 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 2 * 24 * 3600);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const std::uint8_t*>("localhost"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const std::uint8_t*>("Transport test"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_set_pubkey(cert, key);

  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  const char* extensions[][2] = {
      {"basicConstraints", "critical,CA:TRUE"},
      {"keyUsage", "critical,digitalSignature,keyCertSign"},
      {"extendedKeyUsage", "serverAuth"},
      {"subjectAltName", withLoopbackAddress ? "DNS:localhost,IP:127.0.0.1" : "DNS:localhost"},
      {"subjectKeyIdentifier", "hash"},
  };
  for (const auto& e : extensions) {
    X509_EXTENSION* ext = X509V3_EXT_nconf(nullptr, &ctx, e[0], e[1]);
    Check(ext != nullptr && X509_add_ext(cert, ext, -1) == 1, e[0]);
    X509_EXTENSION_free(ext);
  }
  Check(X509_sign(cert, key, EVP_sha256()) > 0, "sign");

  BIO* certBio = BIO_new(BIO_s_mem());
  BIO* keyBio = BIO_new(BIO_s_mem());
  Check(PEM_write_bio_X509(certBio, cert) == 1, "PEM certificate");
  Check(PEM_write_bio_PrivateKey(keyBio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "PEM key");
  result.certPem = BioToString(certBio);
  result.keyPem = BioToString(keyBio);
  std::uint8_t* der = nullptr;
  const int derLen = i2d_X509(cert, &der);
  Check(derLen > 0, "DER");
  result.certDer.assign(der, der + derLen);
  OPENSSL_free(der);
  BIO_free(certBio);
  BIO_free(keyBio);
  X509_free(cert);
  EVP_PKEY_free(key);
  return result;
}

TestCertificate CertificateFromPem(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509* cert = bio != nullptr ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  if (cert == nullptr) throw std::runtime_error("no PEM certificate");
  std::uint8_t* der = nullptr;
  const int derLen = i2d_X509(cert, &der);
  X509_free(cert);
  if (derLen <= 0) throw std::runtime_error("certificate does not encode");
  TestCertificate result;
  result.certPem = pem;
  result.certDer.assign(der, der + derLen);
  OPENSSL_free(der);
  return result;
}

}  // namespace ov::testing
