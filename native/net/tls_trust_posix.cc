#include "net/tls_trust_posix.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>
#include <cstdlib>
#include <string>
#include <vector>

namespace ov::net_internal {
namespace {

// The trusted files: SSL_CERT_FILE or BoringSSL's default file, and the first distribution bundle.
// Debian's default file is a link to its bundle, so a file is read once however it is reached.
std::vector<std::string> TrustFiles() {
  std::vector<std::string> files;
  auto add = [&files](const char* path) {
    if (path == nullptr || *path == '\0' || ::access(path, R_OK) != 0) return false;
    char* real = ::realpath(path, nullptr);
    std::string resolved = real != nullptr ? real : path;
    std::free(real);
    for (const std::string& seen : files) {
      if (seen == resolved) return true;
    }
    files.push_back(std::move(resolved));
    return true;
  };
  const char* envFile = std::getenv(X509_get_default_cert_file_env());
  add(envFile != nullptr ? envFile : X509_get_default_cert_file());
  static const char* const kBundles[] = {"/etc/ssl/certs/ca-certificates.crt",
                                         "/etc/pki/tls/certs/ca-bundle.crt", "/etc/ssl/cert.pem"};
  for (const char* bundle : kBundles) {
    if (add(bundle)) break;
  }
  return files;
}

// Every certificate of the trusted files, parsed on first use and kept for the process. A file that
// does not parse as a whole adds nothing, as when the context loads it itself.
const std::vector<bssl::UniquePtr<X509>>& SystemCertificates() {
  static const auto* const certs = [] {
    auto* out = new std::vector<bssl::UniquePtr<X509>>;
    for (const std::string& file : TrustFiles()) {
      bssl::UniquePtr<BIO> bio(BIO_new_file(file.c_str(), "r"));
      if (!bio) continue;
      bssl::UniquePtr<STACK_OF(X509_INFO)> infos(
          PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr));
      if (!infos) continue;
      for (X509_INFO* info : infos.get()) {
        if (info->x509 != nullptr) {
          X509_up_ref(info->x509);
          out->emplace_back(info->x509);
        }
      }
    }
    ERR_clear_error();
    return out;
  }();
  return *certs;
}

}  // namespace

void LoadSystemTrust(SSL_CTX* ctx) {
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  for (const bssl::UniquePtr<X509>& cert : SystemCertificates()) {
    X509_STORE_add_cert(store, cert.get());  // the store ignores a certificate it holds
  }
  // The hashed folder is looked up per issuer when a chain is built, so it costs nothing here.
  const char* envDir = std::getenv(X509_get_default_cert_dir_env());
  const char* dir = envDir != nullptr ? envDir : X509_get_default_cert_dir();
  if (::access(dir, R_OK) == 0) SSL_CTX_load_verify_locations(ctx, nullptr, dir);
  if (std::string(dir) != "/etc/ssl/certs" && ::access("/etc/ssl/certs", R_OK) == 0) {
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
