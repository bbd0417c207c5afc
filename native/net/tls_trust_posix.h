// What the POSIX TLS clients (the relay transport and the HTTPS GET) share: the system's trusted
// authorities, and the test that picks an address check instead of a host name check.
#pragma once

#include <openssl/ssl.h>

#include <string>

namespace ov::net_internal {

// Adds the system's trusted authorities to `ctx`: the certificates of the default file
// (SSL_CERT_FILE or BoringSSL's own) and of the first distribution bundle found, and the hashed
// folders (SSL_CERT_DIR or BoringSSL's own, and /etc/ssl/certs). The files are parsed once per
// process, on first use: a connection no longer pays for parsing them, and a bundle changed while
// the process runs is seen from its next start. Leaves no error queued.
void LoadSystemTrust(SSL_CTX* ctx);

// True when `host` is an IPv4 or IPv6 literal (its certificate is checked for the address).
bool IsIpAddress(const std::string& host);

}  // namespace ov::net_internal
