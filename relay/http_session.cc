#include "relay/http_session.h"

#include <openssl/evp.h>

#include <algorithm>
#include <stdexcept>

namespace ov::relay::detail {
namespace {

// Sec-WebSocket-Accept for a client's Sec-WebSocket-Key.
std::string AcceptKey(std::string_view key) {
  static constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  std::string input(key);
  input += kGuid;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(input.data(), input.size(), digest, &size, EVP_sha1(), nullptr) != 1) {
    throw std::runtime_error("SHA-1 failed");
  }
  unsigned char out[64];
  const int n = EVP_EncodeBlock(out, digest, static_cast<int>(size));
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

bool HasToken(std::string_view list, std::string_view token) {
  return http::token_list{list}.exists(token);
}

// A Sec-WebSocket-Key is the base64 form of 16 bytes: 22 characters of the base64 alphabet
// followed by "==".
bool IsWebSocketKey(std::string_view key) {
  if (key.size() != 24 || key.substr(22) != "==") return false;
  for (const char ch : key.substr(0, 22)) {
    const bool ok = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                    (ch >= '0' && ch <= '9') || ch == '+' || ch == '/';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

http::response<http::string_body> UpgradeResponse(const http::request<http::empty_body>& request,
                                                  const std::vector<std::string>& origins,
                                                  bool ownOrigin, bool tls) {
  http::response<http::string_body> res;
  res.version(request.version());
  res.set(http::field::server, kServerName);
  auto refuse = [&res](http::status status, std::string text) {
    res.result(status);
    res.set(http::field::content_type, "text/plain; charset=utf-8");
    res.body() = std::move(text);
    res.keep_alive(false);
    res.prepare_payload();
    return res;
  };
  if (request.version() != 11) return refuse(http::status::bad_request, "bad HTTP version");
  if (request.method() != http::verb::get) return refuse(http::status::bad_request, "bad method");
  if (request.count(http::field::host) == 0) return refuse(http::status::bad_request, "no Host");
  // A web page's upgrade names its origin: only the listed ones may use the relay through their
  // visitors' browsers.
  if (const auto origin = request.find(http::field::origin); origin != request.end()) {
    const std::string_view value = origin->value();
    // The relay's own page (when it serves one) is of its own origin.
    const auto host = request.find(http::field::host);
    const bool own = ownOrigin && IsOwnOrigin(value, host->value(), tls);
    if (!own && std::find(origins.begin(), origins.end(), value) == origins.end()) {
      return refuse(http::status::forbidden, "origin not allowed");
    }
  }
  const auto connection = request.find(http::field::connection);
  if (connection == request.end() || !HasToken(connection->value(), "upgrade")) {
    return refuse(http::status::bad_request, "missing or bad Connection");
  }
  const auto upgrade = request.find(http::field::upgrade);
  if (upgrade == request.end() || !HasToken(upgrade->value(), "websocket")) {
    return refuse(http::status::bad_request, "missing or bad Upgrade");
  }
  const auto key = request.find(http::field::sec_websocket_key);
  if (key == request.end()) return refuse(http::status::bad_request, "no Sec-WebSocket-Key");
  if (!IsWebSocketKey(key->value())) {
    return refuse(http::status::bad_request, "bad Sec-WebSocket-Key");
  }
  const auto version = request.find(http::field::sec_websocket_version);
  if (version == request.end()) {
    return refuse(http::status::bad_request, "no Sec-WebSocket-Version");
  }
  if (version->value() != "13") {
    res.set(http::field::sec_websocket_version, "13");
    return refuse(http::status::upgrade_required, "unsupported Sec-WebSocket-Version");
  }
  res.result(http::status::switching_protocols);
  res.set(http::field::upgrade, "websocket");
  res.set(http::field::connection, "upgrade");
  res.set(http::field::sec_websocket_accept, AcceptKey(key->value()));
  return res;
}

}  // namespace ov::relay::detail
