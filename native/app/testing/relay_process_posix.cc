#include "app/testing/relay_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>

namespace ov::testing {

RelayProcess::RelayProcess(const std::string& binary,
                           const std::vector<std::string>& extraArguments) {
  int fds[2];
  if (pipe(fds) != 0) {
    error_ = "pipe failed";
    return;
  }
  std::vector<std::string> arguments = {binary, "--listen", "127.0.0.1:0"};
  arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    close(fds[1]);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  stderrFd_ = fds[0];
  if (pid_ < 0) {
    error_ = "fork failed";
    return;
  }
  // "<time> listening on http://127.0.0.1:<port> (loopback, no TLS)"
  std::string output;
  const std::regex listening("listening on https?://127\\.0\\.0\\.1:([0-9]+)");
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    pollfd pfd{stderrFd_, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) continue;
    char buffer[512];
    const ssize_t n = read(stderrFd_, buffer, sizeof buffer);
    if (n <= 0) break;
    output.append(buffer, static_cast<std::size_t>(n));
    std::smatch match;
    if (std::regex_search(output, match, listening)) {
      port_ = static_cast<unsigned>(std::strtoul(match[1].str().c_str(), nullptr, 10));
      break;
    }
  }
  if (port_ == 0) {
    error_ = "relay did not report its port: " + output;
    return;
  }
  // Keep reading its log so that it never blocks on a full pipe.
  drain_ = std::thread([fd = stderrFd_] {
    char buffer[4096];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
  });
}

RelayProcess::~RelayProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    bool reaped = false;
    for (int i = 0; i < 500 && !reaped; ++i) {
      reaped = waitpid(pid_, &status, WNOHANG) == pid_;
      if (!reaped) usleep(10000);
    }
    if (!reaped) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
  if (drain_.joinable()) drain_.join();
  if (stderrFd_ >= 0) close(stderrFd_);
}

std::wstring RelayProcess::url() const {
  return L"ws://127.0.0.1:" + std::to_wstring(port_) + L"/ws";
}

}  // namespace ov::testing
