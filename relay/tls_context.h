// The TLS settings of the relay's server side: the protocol versions, suites and groups it offers,
// and a context made from a certificate chain and key.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/ssl/context.hpp>

namespace ov::relay {

// A server context with the certificate chain and key of these files: TLS 1.3, and TLS 1.2 with
// ECDHE and AEAD suites only. Throws on any failure (a missing or unreadable file, a key that does
// not belong to the certificate).
std::shared_ptr<boost::asio::ssl::context> MakeTlsContext(const std::string& cert,
                                                          const std::string& key);

}  // namespace ov::relay
