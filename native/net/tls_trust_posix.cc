#include "net/tls_trust_posix.h"

#include <openssl/err.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>

namespace ov::net_internal {

void LoadSystemTrust(SSL_CTX* ctx) {
  SSL_CTX_set_default_verify_paths(ctx);
  static const char* const kBundles[] = {"/etc/ssl/certs/ca-certificates.crt",
                                         "/etc/pki/tls/certs/ca-bundle.crt", "/etc/ssl/cert.pem"};
  for (const char* bundle : kBundles) {
    if (::access(bundle, R_OK) == 0 && SSL_CTX_load_verify_locations(ctx, bundle, nullptr) == 1) {
      break;
    }
  }
  if (::access("/etc/ssl/certs", R_OK) == 0) {
    SSL_CTX_load_verify_locations(ctx, nullptr, "/etc/ssl/certs");
  }
  ERR_clear_error();
}

bool IsIpAddress(const std::string& host) {
  boost::system::error_code ec;
  boost::asio::ip::make_address(host, ec);
  return !ec;
}

}  // namespace ov::net_internal
