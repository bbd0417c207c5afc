// A server measured in a child process, so that its resident memory is its own: fork, the port
// reported back through a pipe, VmRSS readings once the allocator has settled, SIGTERM to end.
// Also raises the open-file limit, which thousands of connections on both ends need.
#pragma once

#include <malloc.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>

namespace ov::bench {

struct FileLimit {
  rlim_t softBefore = 0, soft = 0, hard = 0;
};

// Raises this process's soft limit of open files to its hard limit (children inherit it).
inline FileLimit RaiseFileLimit() {
  FileLimit result;
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  result.softBefore = limit.rlim_cur;
  result.hard = limit.rlim_max;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  getrlimit(RLIMIT_NOFILE, &limit);
  result.soft = limit.rlim_cur;
  return result;
}

// The resident memory of `pid` in KiB, -1 when it cannot be read.
inline long long RssKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  }
  return -1;
}

// Forks a child that runs `serve(fd)`, where it writes its 16-bit port to `fd`; returns the
// child's pid and that port (0 when the child reported none).
template <class Serve>
std::pair<pid_t, std::uint16_t> Spawn(Serve serve) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    // The child inherits the parent's heap, free chunks included, as resident pages: returned
    // here, so that what the server allocates shows in its VmRSS instead of filling them.
    malloc_trim(0);
    serve(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  std::uint16_t port = 0;
  if (read(fds[0], &port, sizeof port) != sizeof port) port = 0;
  close(fds[0]);
  return {pid, port};
}

inline void Finish(pid_t pid) {
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

// Settles the child's allocator before a reading: waits until its RSS stops changing (at most
// 5 s, in 100 ms steps).
inline long long SettledRss(pid_t pid) {
  long long last = -1;
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long long now = RssKib(pid);
    if (now == last) return now;
    last = now;
  }
  return last;
}

}  // namespace ov::bench
