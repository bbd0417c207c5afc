// What the POSIX TLS clients (the relay transport and the HTTPS GET) share: the system's trusted
// authorities, and the test that picks an address check instead of a host name check.
#pragma once

#include <openssl/ssl.h>

#include <string>

namespace ov::net_internal {

// Adds the system's trusted authorities to `ctx`: BoringSSL's default paths, the first
// distribution bundle found, and the hashed folder /etc/ssl/certs. Leaves no error queued.
void LoadSystemTrust(SSL_CTX* ctx);

// True when `host` is an IPv4 or IPv6 literal (its certificate is checked for the address).
bool IsIpAddress(const std::string& host);

}  // namespace ov::net_internal
