#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "relay/options.h"
#include "relay/test_client.h"

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
                      "--write-timeout", "20", "--queue-messages", "16", "--queue-mib", "4",
                      "--threads", "6", "--quiet"},
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
  EXPECT_EQ(o.threads, 6u);
  EXPECT_TRUE(o.quiet);
}

TEST(CommandLineTest, BadValuesAreUsageErrors) {
  for (std::vector<const char*> args : std::vector<std::vector<const char*>>{
           {"--listen", "127.0.0.1"}, {"--listen", "127.0.0.1:65536"}, {"--listen", ":80"},
           {"--listen", "::1:80"}, {"--min-build", "1.2"}, {"--min-build", "01.2.3"},
           {"--max-connections", "0"}, {"--threads", "0"}, {"--register-timeout", "-1"}, {"--tls-cert", "/nonexistent"},
           {"--update-dir", "/nonexistent/kestrova"}, {"--no-such-flag"}}) {
    ServerOptions o;
    ::testing::internal::CaptureStderr();
    const auto code = Parse(args, o);
    ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(code) << args[0];
    EXPECT_NE(*code, 0) << args[0];
  }
}

// The real binary as a child process with its stderr on a pipe.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 2);
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      std::vector<char*> argv;
      std::string binary = OV_RELAY_BINARY;
      argv.push_back(binary.data());
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(binary.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    fd_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(fd_);
  }

  // Output until `needle` appears (or the pipe closes / 10 s pass).
  std::string ReadUntil(const std::string& needle) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (output_.find(needle) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      output_.append(buffer, static_cast<std::size_t>(n));
    }
    return output_;
  }

  // Exit status, or -1 if the child did not end within 10 s.
  int Wait() {
    for (int i = 0; i < 1000; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        ReadUntil("\x01");  // whatever is left
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  void Signal(int sig) { ::kill(pid_, sig); }
  const std::string& Output() const { return output_; }

  std::uint16_t ListeningPort() {
    const std::string out = ReadUntil("listening on ");
    const auto at = out.find("127.0.0.1:");
    if (at == std::string::npos) return 0;
    return static_cast<std::uint16_t>(std::stoi(out.substr(at + 10)));
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  bool exited_ = false;
  std::string output_;
};

TEST(RelayBinaryTest, HelpDocumentsEveryFlag) {
  Child child({"--help"});
  EXPECT_EQ(child.Wait(), 0);
  for (const char* flag : {"--listen", "--tls-cert", "--tls-key", "--update-dir", "--min-build",
                           "--max-connections", "--max-connections-per-ip",
                           "--registrations-per-minute", "--register-timeout", "--pairing-timeout",
                           "--idle-timeout", "--write-timeout", "--queue-messages", "--queue-mib",
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
