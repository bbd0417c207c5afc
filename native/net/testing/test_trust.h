// Makes a test certificate trusted by the platform's transport for the lifetime of this object:
// an extra CA file on POSIX, a root store in the registry on Windows (the machine's when allowed,
// else the current user's).
#pragma once

#include <string>

#include "net/testing/ws_test_server.h"
#include "net/transport.h"

namespace ov::testing {

class TrustedCertificate {
 public:
  explicit TrustedCertificate(const TestCertificate& certificate);
  ~TrustedCertificate();
  TrustedCertificate(const TrustedCertificate&) = delete;
  TrustedCertificate& operator=(const TrustedCertificate&) = delete;

  bool ok() const { return ok_; }
  // Options for CreateTransport that make the certificate trusted.
  TransportOptions options() const { return options_; }

 private:
  bool ok_ = false;
  TransportOptions options_;
  std::string file_;
  const void* context_ = nullptr;
  unsigned long location_ = 0;  // Windows: the system store location that holds the certificate
};

}  // namespace ov::testing
