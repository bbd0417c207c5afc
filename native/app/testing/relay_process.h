// Runs kestrova-relay as a separate process on a free loopback port for the duration of a test.
#pragma once

#include <string>
#include <thread>
#include <vector>

namespace ov::testing {

class RelayProcess {
 public:
  // Starts `binary` with --listen 127.0.0.1:0 and the extra arguments, and reads the bound port
  // from its start-up line. ok() tells whether that worked; error() says why not.
  RelayProcess(const std::string& binary, const std::vector<std::string>& extraArguments);
  // Stops the relay (SIGTERM, then SIGKILL after 5 s) and reaps it.
  ~RelayProcess();
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;

  bool ok() const noexcept { return port_ != 0; }
  const std::string& error() const noexcept { return error_; }
  unsigned port() const noexcept { return port_; }
  std::wstring url() const;

 private:
  int pid_ = -1;
  int stderrFd_ = -1;
  unsigned port_ = 0;
  std::string error_;
  std::thread drain_;
};

}  // namespace ov::testing
