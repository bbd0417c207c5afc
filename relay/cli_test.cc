#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <filesystem>
#include <fstream>

#include "relay/options.h"
#include "relay/test_client.h"
#include "relay/test_pairing.h"

namespace ov::relay {
namespace {

std::optional<int> Parse(std::vector<const char*> args, ServerOptions& options) {
  args.insert(args.begin(), "kestrova-relay");
  return ParseCommandLine(static_cast<int>(args.size()), args.data(), options);
}

TEST(CommandLineTest, NoArgumentsMeansLoopbackPlainOnPort8080) {
  ServerOptions o;
  EXPECT_FALSE(Parse({}, o));
  EXPECT_EQ(o.listenHost, "127.0.0.1");
  EXPECT_EQ(o.port, 8080);
  EXPECT_TRUE(o.tlsCert.empty());
  EXPECT_EQ(o.threads, std::max(1u, std::thread::hardware_concurrency()));
  EXPECT_NO_THROW(ValidateOptions(o));
}

TEST(CommandLineTest, FlagsReachTheOptions) {
  ServerOptions o;
  EXPECT_FALSE(Parse({"--listen", "[::1]:9443", "--min-build", "0.3.9", "--max-connections", "500",
                      "--max-connections-per-ip", "7", "--registrations-per-minute", "9",
                      "--register-timeout", "3", "--pairing-timeout", "45", "--idle-timeout", "30",
                      "--write-timeout", "20", "--queue-messages", "16", "--window-kib", "4096",
                      "--min-write-rate", "512", "--failed-pairings-per-address", "12",
                      "--failed-pairings-per-id", "45", "--threads", "6", "--quiet"},
                     o));
  EXPECT_EQ(o.listenHost, "::1");
  EXPECT_EQ(o.port, 9443);
  EXPECT_EQ(o.matcher.minBuild[1], 3u);
  EXPECT_EQ(o.matcher.minBuild[2], 9u);
  EXPECT_EQ(o.matcher.maxConnections, 500u);
  EXPECT_EQ(o.matcher.maxConnectionsPerAddress, 7u);
  EXPECT_EQ(o.matcher.registrationsPerMinute, 9u);
  EXPECT_EQ(o.matcher.registerTimeout, 3000);
  EXPECT_EQ(o.matcher.pairingTimeout, 45000);
  EXPECT_EQ(o.idleTimeout, 30000);
  EXPECT_EQ(o.writeTimeout, 20000);
  EXPECT_EQ(o.queueMessages, 16u);
  EXPECT_EQ(o.queueBytes, 4u << 20);
  EXPECT_EQ(o.minWriteRate, 512u);
  EXPECT_EQ(o.matcher.failedPairingsPerAddress, 12u);
  EXPECT_EQ(o.matcher.failedPairingsPerId, 45u);
  EXPECT_EQ(o.threads, 6u);
  EXPECT_TRUE(o.quiet);
}

TEST(CommandLineTest, BadValuesAreUsageErrors) {
  for (std::vector<const char*> args : std::vector<std::vector<const char*>>{
           {"--listen", "127.0.0.1"}, {"--listen", "127.0.0.1:65536"}, {"--listen", ":80"},
           {"--listen", "::1:80"}, {"--min-build", "1.2"}, {"--min-build", "01.2.3"},
           {"--max-connections", "0"}, {"--threads", "0"}, {"--register-timeout", "-1"}, {"--tls-cert", "/nonexistent"},
           {"--update-dir", "/nonexistent/kestrova"}, {"--no-such-flag"},
           {"--failed-pairings-per-address", "0"}, {"--failed-pairings-per-id", "0"},
           {"--failed-pairings-per-id", "1000001"}, {"--failed-pairings-per-id", "many"}}) {
    ServerOptions o;
    ::testing::internal::CaptureStderr();
    const auto code = Parse(args, o);
    ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(code) << args[0];
    EXPECT_NE(*code, 0) << args[0];
  }
}

// The real binary as a child process.
class Child : public testing::Child {
 public:
  explicit Child(std::vector<std::string> args) : testing::Child(OV_RELAY_BINARY, std::move(args)) {}
};

TEST(RelayBinaryTest, HelpDocumentsEveryFlag) {
  Child child({"--help"});
  EXPECT_EQ(child.Wait(), 0);
  for (const char* flag : {"--listen", "--tls-cert", "--tls-key", "--update-dir", "--min-build",
                           "--max-connections", "--max-connections-per-ip",
                           "--registrations-per-minute", "--register-timeout", "--pairing-timeout",
                           "--idle-timeout", "--write-timeout", "--queue-messages", "--window-kib",
                           "--failed-pairings-per-address", "--failed-pairings-per-id",
                           "--threads", "--quiet", "127.0.0.1:8080"}) {
    EXPECT_NE(child.Output().find(flag), std::string::npos) << flag;
  }
}

TEST(RelayBinaryTest, RefusesClearTextOnAPublicAddress) {
  Child child({"--listen", "0.0.0.0:0"});
  EXPECT_EQ(child.Wait(), 2);
  EXPECT_NE(child.Output().find("non-loopback"), std::string::npos) << child.Output();
}

TEST(RelayBinaryTest, ServesAndShutsDownCleanlyOnSigterm) {
  Child child({"--listen", "127.0.0.1:0"});
  const std::uint16_t port = child.ListeningPort();
  ASSERT_NE(port, 0) << child.Output();
  testing::WsClient host(port);
  host.SendJson({{"type", "register"}, {"role", "host"}, {"protocol", 3},
                 {"sessionId", "123456789"}, {"build", "0.3.9"}});
  EXPECT_EQ(host.ReadJson().at("type"), "registered");
  child.Signal(SIGTERM);
  EXPECT_EQ(host.WaitClosed(), 1001);
  EXPECT_EQ(child.Wait(), 0);
  // One line per connection event, and no secret in any of them.
  EXPECT_NE(child.Output().find("event=registered role=host id=123456789"), std::string::npos)
      << child.Output();
  EXPECT_NE(child.Output().find("signal=SIGTERM"), std::string::npos);
}

// SIGTERM drains: connections outside a session go at once, new sessions are refused and the
// health check says so, the live session goes on, and the relay exits once it has ended.
TEST(RelayBinaryTest, SigtermLetsTheLiveSessionFinishAndTakesNoNewOnes) {
  Child child({"--listen", "127.0.0.1:0", "--drain-seconds", "30"});
  const std::uint16_t port = child.ListeningPort();
  ASSERT_NE(port, 0) << child.Output();
  testing::Pair pair = testing::MakePair(port);
  auto idle = testing::RegisteredHost(port, {}, "222222222");
  child.Signal(SIGTERM);
  EXPECT_EQ(idle->WaitClosed(), 1001);
  const auto health = testing::HttpRequest(port, "/healthz");
  EXPECT_EQ(health.status, 503u);
  EXPECT_EQ(health.body, "draining\n");
  EXPECT_ANY_THROW(testing::WsClient late(port)) << "a new session during the drain";
  pair.host->SendBinary("still here");
  EXPECT_EQ(pair.viewer->Read().data, "still here");
  const auto started = std::chrono::steady_clock::now();
  pair.viewer->Close();
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10))
      << "the relay stops when the last session ends, not at the end of the drain period";
  EXPECT_NE(child.Output().find("event=drained"), std::string::npos) << child.Output();
}

// SIGHUP reads the certificate and key again for new handshakes; a file that cannot be used
// leaves the pair in use, and the log says why.
TEST(RelayBinaryTest, SighupReloadsTheCertificateAndKeepsItOnABadFile) {
  testing::TempCertificate first, second;
  testing::TempDir dir;
  const std::string cert = dir.Path() + "/cert.pem", key = dir.Path() + "/key.pem";
  auto install = [&](const testing::TempCertificate& from) {
    std::filesystem::copy_file(from.CertPath(), cert,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(from.KeyPath(), key,
                               std::filesystem::copy_options::overwrite_existing);
  };
  install(first);
  Child child({"--listen", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", key});
  const std::uint16_t port = child.ListeningPort();
  ASSERT_NE(port, 0) << child.Output();
  EXPECT_EQ(testing::HttpRequest(port, "/healthz", "GET", first.CertPath()).status, 200u);
  install(second);
  child.Signal(SIGHUP);
  EXPECT_NE(child.ReadUntil("event=tls-reloaded").find("event=tls-reloaded"), std::string::npos);
  EXPECT_EQ(testing::HttpRequest(port, "/healthz", "GET", second.CertPath()).status, 200u);
  EXPECT_ANY_THROW(testing::HttpRequest(port, "/healthz", "GET", first.CertPath()));
  std::ofstream(cert, std::ios::trunc) << "not a certificate\n";
  child.Signal(SIGHUP);
  EXPECT_NE(child.ReadUntil("event=tls-reload-failed").find("event=tls-reload-failed"),
            std::string::npos);
  EXPECT_EQ(testing::HttpRequest(port, "/healthz", "GET", second.CertPath()).status, 200u);
  child.Signal(SIGINT);
  EXPECT_EQ(child.Wait(), 0);
}

TEST(RelayBinaryTest, ServesTlsAndStopsOnSigint) {
  testing::TempCertificate cert;
  Child child({"--listen", "127.0.0.1:0", "--tls-cert", cert.CertPath(), "--tls-key",
               cert.KeyPath()});
  const std::uint16_t port = child.ListeningPort();
  ASSERT_NE(port, 0) << child.Output();
  const auto r = testing::HttpRequest(port, "/healthz", "GET", cert.CertPath());
  EXPECT_EQ(r.status, 200u);
  testing::WsClient viewer(port, cert.CertPath());
  viewer.SendJson({{"type", "register"}, {"role", "viewer"}, {"protocol", 3},
                   {"sessionId", "123456789"}, {"password", "p3:secret-pairing-string"},
                   {"build", "0.3.9"}});
  EXPECT_EQ(viewer.ReadJson().at("code"), "unknownHost");
  child.Signal(SIGINT);
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(child.Output().find("secret-pairing-string"), std::string::npos);
}

}  // namespace
}  // namespace ov::relay
