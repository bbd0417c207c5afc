#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "net/testing/test_trust.h"

namespace ov::testing {

TrustedCertificate::TrustedCertificate(const TestCertificate& certificate) {
  char path[] = "/tmp/ov_net_test_ca_XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return;
  file_ = path;
  const std::string& pem = certificate.certPem;
  ok_ = ::write(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size());
  ::close(fd);
  options_.extraCaFile = file_;
}

TrustedCertificate::~TrustedCertificate() {
  if (!file_.empty()) ::unlink(file_.c_str());
}

}  // namespace ov::testing
