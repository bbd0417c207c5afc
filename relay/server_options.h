// kestrova-relay's settings, and the address keys its limits count by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "relay/fleet.h"
#include "relay/matcher.h"
#include "relay/prefix_budget.h"
#include "relay/proxy_protocol.h"

namespace ov::relay {

struct ServerOptions {
  std::string listenHost = "127.0.0.1";  // an IP literal or "localhost"
  std::uint16_t port = 8080;              // 0 picks a free port (see Server::Port)
  std::string tlsCert;                    // PEM certificate chain; with tlsKey enables TLS
  std::string tlsKey;                     // PEM private key
  std::string updateDir;                  // empty: every /download/ path is 404
  std::string webDir;                     // the web viewer's built files, served at /
  MatcherConfig matcher;
  // Per connection: outgoing messages and bytes before backpressure. A partner's message streams
  // through this window as it arrives (a message that is forwarded whole counts in full).
  std::size_t queueMessages = 64;
  std::size_t queueBytes = 256u << 10;
  Millis idleTimeout = 60000;             // WebSocket silence (a ping is sent halfway)
  // While anything waits to be written, each period of writeTimeout must see minWriteRate bytes
  // a second go out, or the connection is dropped (a reader too slow to keep).
  Millis writeTimeout = 30000;
  std::size_t minWriteRate = 1024;
  // TLS handshake plus the HTTP request; then, while an answer is written, the longest time
  // without any of it going out.
  Millis httpTimeout = 10000;
  std::size_t threads = 1;                // worker threads (0 counts as 1)
  bool quiet = false;                     // no per-connection log lines
  // SIGINT stops the server, SIGTERM drains it (see drain), SIGHUP reloads the TLS files.
  bool handleSignals = false;
  FleetOptions fleet;                     // url empty: a single node, no NATS
  // A WebSocket upgrade that carries an Origin header (a web page's) is refused with 403 unless
  // its origin is listed here. The program sends none.
  std::vector<std::string> allowedOrigins;
  // Load balancers whose connections begin with a PROXY protocol v2 header naming the client:
  // every budget then sees the client's address. Others' connections never may.
  std::vector<Cidr> proxyFrom;
  // Bytes on their way between connections, relay-wide: beyond it, senders wait (0: the default,
  // a quarter of the machine's memory and at most 1 GiB).
  std::size_t memoryBudget = 0;
  // The share of it the connections of one IPv4 address or IPv6 /64 may have queued for them (0:
  // a sixteenth of the budget, at least four windows).
  std::size_t prefixMemoryBudget = 0;
  // SIGTERM: live sessions may go on this long before everything closes.
  Millis drain = 30000;
  // Connection and accept budgets per address prefix; perAddress is matcher.maxConnectionsPerAddress.
  PrefixLimits prefixes;
};

// The process-wide budget used when ServerOptions::memoryBudget is 0.
std::size_t DefaultMemoryBudget();

// The unit of the per-address limits (connections, registrations) that a connection from
// `address` counts against: an IPv4 address as itself, also when it arrives mapped into IPv6;
// any other IPv6 address as its /64 prefix ("2001:db8:1:2::/64"), which one subscriber holds.
std::string AddressKey(const boost::asio::ip::address& address);

// Throws std::invalid_argument when the options are inconsistent (TLS half given, clear text on a
// non-loopback address, an update folder that does not exist).
void ValidateOptions(const ServerOptions& options);

}  // namespace ov::relay
