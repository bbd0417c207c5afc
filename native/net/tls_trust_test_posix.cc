#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <unistd.h>

#include "net/tls_trust_posix.h"

namespace ov::net_internal {
namespace {

size_t Held(SSL_CTX* ctx) { return sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(ctx))); }

// The certificates are parsed once per process, yet every context must hold all of them: exactly
// what loading the default file and the bundle into the context itself gives.
TEST(SystemTrust, EveryContextHoldsWhatTheFilesList) {
  const char* bundle = "/etc/ssl/certs/ca-certificates.crt";
  if (::access(bundle, R_OK) != 0) GTEST_SKIP() << "no distribution bundle at " << bundle;
  bssl::UniquePtr<SSL_CTX> reference(SSL_CTX_new(TLS_method()));
  SSL_CTX_load_verify_locations(reference.get(), X509_get_default_cert_file(), nullptr);
  ASSERT_EQ(SSL_CTX_load_verify_locations(reference.get(), bundle, nullptr), 1);
  ERR_clear_error();
  const size_t expected = Held(reference.get());
  ASSERT_GT(expected, 0u);

  for (int round = 0; round < 3; ++round) {
    bssl::UniquePtr<SSL_CTX> ctx(SSL_CTX_new(TLS_method()));
    LoadSystemTrust(ctx.get());
    EXPECT_EQ(Held(ctx.get()), expected) << "round " << round;
    EXPECT_EQ(ERR_peek_error(), 0u) << "round " << round;
  }
}

TEST(SystemTrust, AddressesAreToldFromNames) {
  struct Case {
    const char* host;
    bool ip;
  };
  for (const Case& c : {Case{"127.0.0.1", true}, Case{"::1", true}, Case{"fe80::1", true},
                        Case{"relay.example", false}, Case{"1.2.3", false}, Case{"", false},
                        Case{"[::1]", false}, Case{"256.0.0.1", false}}) {
    EXPECT_EQ(IsIpAddress(c.host), c.ip) << c.host;
  }
}

}  // namespace
}  // namespace ov::net_internal
