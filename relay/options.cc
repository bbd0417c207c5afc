#include "relay/options.h"

#include "relay/fleet_wire.h"

#include "relay/proxy_protocol.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include <unistd.h>

namespace ov::relay {
namespace {

// The machine's name (its characters that a node name cannot hold become '-') and the port.
std::string DefaultNodeName(std::uint16_t port) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::strcpy(host, "relay");
  std::string name;
  for (const char* p = host; *p != '\0' && name.size() < 50; ++p) {
    const char ch = *p;
    const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                    (ch >= '0' && ch <= '9') || ch == '-' || ch == '_';
    name.push_back(ok ? ch : '-');
  }
  return name + "-" + std::to_string(port);
}

}  // namespace

namespace {

// "HOST:PORT" with HOST an IPv4 literal, "localhost" or a bracketed IPv6 literal.
bool SplitListen(const std::string& text, std::string& host, std::uint16_t& port) {
  std::string portText;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return false;
    }
    host = text.substr(1, close - 1);
    portText = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = text.substr(0, colon);
    portText = text.substr(colon + 1);
    if (host.find(':') != std::string::npos) return false;
  }
  if (portText.empty() || portText.size() > 5) return false;
  unsigned long value = 0;
  for (char ch : portText) {
    if (ch < '0' || ch > '9') return false;
    value = value * 10 + static_cast<unsigned long>(ch - '0');
  }
  if (value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

std::optional<int> ParseCommandLine(int argc, const char* const* argv, ServerOptions& options) {
  CLI::App app{
      "kestrova-relay: the Kestrova relay (/ws) and update service (/download/) on one port.\n"
      "Without arguments it listens on 127.0.0.1:8080 with plain ws:// and http://, for local use.\n"
      "Plain listening is refused on any non-loopback address: give --tls-cert and --tls-key."};
  app.get_formatter()->column_width(36);

  std::string listen = "127.0.0.1:8080";
  std::string minBuild = "0.0.0";
  std::size_t maxConnections = options.matcher.maxConnections;
  std::size_t maxPerAddress = options.matcher.maxConnectionsPerAddress;
  std::size_t registrations = options.matcher.registrationsPerMinute;
  long long registerTimeout = options.matcher.registerTimeout / 1000;
  long long pairingTimeout = options.matcher.pairingTimeout / 1000;
  long long idleTimeout = options.idleTimeout / 1000;
  long long writeTimeout = options.writeTimeout / 1000;
  std::size_t queueMessages = options.queueMessages;
  std::size_t windowKiB = options.queueBytes >> 10;
  std::size_t minWriteRate = options.minWriteRate;
  std::size_t threads = std::max(1u, std::thread::hardware_concurrency());
  std::size_t per56 = options.prefixes.per56;
  std::size_t requestsPerHost = options.matcher.requestsPerHostPerMinute;
  std::size_t failedPairings = options.matcher.failedPairingsPerAddress;
  std::size_t failedPairingsPerId = options.matcher.failedPairingsPerId;
  std::size_t per48 = options.prefixes.per48;
  double acceptsPerSecond = options.prefixes.acceptsPerSecond;
  std::size_t memoryBudgetMiB = options.memoryBudget >> 20;
  std::size_t prefixBudgetMiB = options.prefixMemoryBudget >> 20;
  long long drain = options.drain / 1000;
  std::vector<std::string> proxyFrom;

  app.add_option("--listen", listen, "Address and port to listen on, ADDR:PORT or [V6]:PORT")
      ->capture_default_str();
  app.add_option("--tls-cert", options.tlsCert, "PEM certificate chain file; enables wss:// and https://")
      ->check(CLI::ExistingFile);
  app.add_option("--tls-key", options.tlsKey, "PEM private key file for --tls-cert")
      ->check(CLI::ExistingFile);
  app.add_option("--update-dir", options.updateDir,
                 "Folder served under /download/: update.json and releases/X.Y.Z/Orvantis.exe")
      ->check(CLI::ExistingDirectory);
  app.add_option("--web-dir", options.webDir,
                 "Folder of the web viewer's built files (with their manifest.txt), served at /")
      ->check(CLI::ExistingDirectory);
  app.add_option("--min-build", minBuild,
                 "Devices registering with an older build get the error \"updateRequired\"")
      ->capture_default_str();
  app.add_option("--max-connections", maxConnections, "Bound on open WebSocket connections")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}));
  app.add_option("--max-connections-per-ip", maxPerAddress,
                 "Open connections (HTTP and WebSocket) allowed from one IPv4 address or IPv6 /64; "
                 "one more is closed at once")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}));
  app.add_option("--max-connections-per-56", per56, "The same for one IPv6 /56")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}));
  app.add_option("--max-connections-per-48", per48, "The same for one IPv6 /48")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}));
  app.add_option("--requests-per-host-per-minute", requestsPerHost,
                 "Viewers let through to one host per minute (the program itself takes 6)")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}));
  app.add_option("--failed-pairings-per-address", failedPairings,
                 "Unfinished pairings per viewer address within 10 minutes before its viewers are "
                 "refused")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}));
  app.add_option("--failed-pairings-per-id", failedPairingsPerId,
                 "Unfinished pairings per host ID (from every address) within 10 minutes before "
                 "viewers asking for it are refused")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}));
  app.add_option("--accepts-per-second", acceptsPerSecond,
                 "New connections per second from one IPv4 address or IPv6 /64 (bursts of ten "
                 "times as many; a /56 twice and a /48 four times the rate)")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 100000.0));
  app.add_option("--memory-budget-mib", memoryBudgetMiB,
                 "MiB on their way between connections relay-wide before senders wait (default: a "
                 "quarter of the memory, at most 1024)")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));
  app.add_option("--prefix-budget-mib", prefixBudgetMiB,
                 "MiB one IPv4 address or IPv6 /64 may have queued for its connections (default: "
                 "a sixteenth of the memory budget)")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));
  app.add_option("--drain-seconds", drain,
                 "On SIGTERM: seconds the live sessions may go on (no new ones) before the relay "
                 "closes everything and exits")
      ->capture_default_str()
      ->check(CLI::Range(0, 86400));
  app.add_option("--allow-origin", options.allowedOrigins,
                 "An origin (scheme://host[:port]) whose web pages may open WebSocket sessions; "
                 "an upgrade with any other Origin header is refused (repeatable)");
  app.add_option("--proxy-from", proxyFrom,
                 "A load balancer's address or CIDR whose connections start with a PROXY protocol "
                 "v2 header naming the client (repeatable)");
  app.add_option("--registrations-per-minute", registrations,
                 "Registrations (hosts and viewers) allowed per address per minute")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}));
  app.add_option("--register-timeout", registerTimeout,
                 "Seconds a new connection has to send a valid registration")
      ->capture_default_str()
      ->check(CLI::Range(1, 3600));
  app.add_option("--pairing-timeout", pairingTimeout,
                 "Seconds from a viewer's registration until the pair must be connected")
      ->capture_default_str()
      ->check(CLI::Range(1, 3600));
  app.add_option("--idle-timeout", idleTimeout,
                 "Seconds of WebSocket silence before closing (a ping is sent halfway)")
      ->capture_default_str()
      ->check(CLI::Range(2, 86400));
  app.add_option("--write-timeout", writeTimeout,
                 "Period of the minimum-progress rule: while data waits for a connection, each "
                 "such period must see --min-write-rate go out, or it is dropped")
      ->capture_default_str()
      ->check(CLI::Range(1, 86400));
  app.add_option("--min-write-rate", minWriteRate,
                 "Bytes per second a connection with data waiting must take at least")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{0}, std::size_t{1} << 30));
  app.add_option("--queue-messages", queueMessages,
                 "Outgoing messages queued per connection before its partner stops being read")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{100000}));
  app.add_option("--window-kib", windowKiB,
                 "Forwarding window: KiB on their way to one connection before its partner stops "
                 "being read (a message forwarded whole counts in full)")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{16}, std::size_t{1} << 22));
  app.add_option("--threads", threads,
                 "Worker threads, each serving its share of the connections (default: the cores)")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1024}));
  std::string nodeName;
  long long lease = options.fleet.lease / 1000;
  app.add_option("--nats", options.fleet.url,
                 "NATS server(s) of a fleet, nats://[USER:PASS@]HOST:PORT[,...] (JetStream on); "
                 "absent: a single node");
  app.add_option("--node-name", nodeName,
                 "This node's name in the fleet: letters, digits, '-' and '_' (default: the host "
                 "name and the port)");
  app.add_option("--advertise", options.fleet.advertise,
                 "IP:PORT this node listens on for direct links from the other nodes, which carry "
                 "the sessions between nodes (port 0: any); absent: they travel through NATS");
  app.add_option("--lease", lease,
                 "Seconds a device ID stays registered in the fleet without renewal (set by the "
                 "fleet's first node)")
      ->capture_default_str()
      ->check(CLI::Range(2, 3600));
  std::string secretFile;
  app.add_option("--fleet-secret-file", secretFile,
                 "File holding the fleet's shared secret (at least 16 bytes, readable by its owner "
                 "only; the same on every node): it seals the messages between the nodes and keys "
                 "their direct links. Required with --nats");
  app.add_option("--nats-creds", options.fleet.natsCreds,
                 "NATS credentials file (.creds: user JWT and nkey seed)");
  app.add_option("--nats-user-file", options.fleet.natsUserFile,
                 "File whose first line is the NATS USER:PASSWORD");
  app.add_option("--nats-ca", options.fleet.natsCa,
                 "CA certificates (PEM) the NATS servers are verified by; turns TLS on (as does "
                 "a tls:// URL)");
  app.add_option("--nats-cert", options.fleet.natsCert,
                 "Client certificate (PEM) for NATS servers that ask for one (with --nats-key)");
  app.add_option("--nats-key", options.fleet.natsKey, "The key of --nats-cert (PEM)");
  app.add_option("--kv-replicas", options.fleet.kvReplicas,
                 "Replicas of the fleet's key-value buckets when this node creates them (3 on a "
                 "NATS cluster of three)")
      ->capture_default_str()
      ->check(CLI::Range(1, 5));
  app.add_flag("--quiet", options.quiet, "No log line per connection event (start and stop only)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  if (!SplitListen(listen, options.listenHost, options.port)) {
    std::fprintf(stderr, "--listen: expected ADDR:PORT, got \"%s\"\n", listen.c_str());
    return 2;
  }
  if (!ParseVersion(minBuild, options.matcher.minBuild)) {
    std::fprintf(stderr, "--min-build: expected a version X.Y.Z, got \"%s\"\n", minBuild.c_str());
    return 2;
  }
  options.matcher.maxConnections = maxConnections;
  options.matcher.maxConnectionsPerAddress = maxPerAddress;
  options.matcher.registrationsPerMinute = registrations;
  options.matcher.registerTimeout = registerTimeout * 1000;
  options.matcher.pairingTimeout = pairingTimeout * 1000;
  options.idleTimeout = idleTimeout * 1000;
  options.writeTimeout = writeTimeout * 1000;
  options.queueMessages = queueMessages;
  options.queueBytes = windowKiB << 10;
  options.minWriteRate = minWriteRate;
  options.prefixes.per56 = per56;
  options.matcher.requestsPerHostPerMinute = requestsPerHost;
  options.matcher.failedPairingsPerAddress = failedPairings;
  options.matcher.failedPairingsPerId = failedPairingsPerId;
  options.prefixes.per48 = per48;
  options.prefixes.acceptsPerSecond = acceptsPerSecond;
  options.prefixes.acceptBurst = acceptsPerSecond * 10;
  options.memoryBudget = memoryBudgetMiB << 20;
  options.prefixMemoryBudget = prefixBudgetMiB << 20;
  options.drain = drain * 1000;
  for (const std::string& range : proxyFrom) {
    const auto cidr = ParseCidr(range);
    if (!cidr) {
      std::fprintf(stderr, "--proxy-from: expected an address or CIDR, got \"%s\"\n",
                   range.c_str());
      return 2;
    }
    options.proxyFrom.push_back(*cidr);
  }
  for (const std::string& origin : options.allowedOrigins) {
    if (origin.find("://") == std::string::npos || origin.back() == '/') {
      std::fprintf(stderr, "--allow-origin: expected scheme://host[:port], got \"%s\"\n",
                   origin.c_str());
      return 2;
    }
  }
  options.threads = threads;
  const bool natsDetail = !secretFile.empty() || !options.fleet.natsCreds.empty() ||
                          !options.fleet.natsUserFile.empty() || !options.fleet.natsCa.empty() ||
                          !options.fleet.natsCert.empty() || !options.fleet.natsKey.empty();
  if ((!nodeName.empty() || !options.fleet.advertise.empty() || natsDetail) &&
      options.fleet.url.empty()) {
    std::fprintf(stderr,
                 "--node-name, --advertise, --fleet-secret-file and --nats-*: only with --nats\n");
    return 2;
  }
  if (options.fleet.natsCert.empty() != options.fleet.natsKey.empty()) {
    std::fprintf(stderr, "--nats-cert and --nats-key go together\n");
    return 2;
  }
  if (!options.fleet.url.empty()) {
    if (nodeName.empty()) nodeName = DefaultNodeName(options.port);
    if (!fleet::IsNodeName(nodeName)) {
      std::fprintf(stderr, "--node-name: expected 1-64 letters, digits, '-' or '_', got \"%s\"\n",
                   nodeName.c_str());
      return 2;
    }
    options.fleet.nodeName = nodeName;
    options.fleet.lease = lease * 1000;
    if (secretFile.empty()) {
      std::fprintf(stderr, "--nats needs --fleet-secret-file: the nodes of a fleet trust only "
                           "each other's sealed messages\n");
      return 2;
    }
    try {
      options.fleet.secret = fleet::ReadSecretFile(secretFile);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "--fleet-secret-file: %s\n", e.what());
      return 2;
    }
  }
  return std::nullopt;
}

}  // namespace ov::relay
