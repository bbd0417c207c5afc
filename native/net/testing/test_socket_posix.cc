#include "net/testing/test_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace ov::testing {

// The TLS layer of the test server writes through BoringSSL's socket BIO, which does not ask the
// kernel to suppress SIGPIPE; a client that goes away must not kill the test process.
void InitSockets() { ::signal(SIGPIPE, SIG_IGN); }

SocketHandle ListenLoopback(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kNoSocket;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return kNoSocket;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

SocketHandle AcceptWithTimeout(SocketHandle listener, int timeoutMs) {
  pollfd p{static_cast<int>(listener), POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return kNoSocket;
  const int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return kNoSocket;
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

long RecvSome(SocketHandle s, void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(static_cast<int>(s), buffer, size, 0);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

bool SendAll(SocketHandle s, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(static_cast<int>(s), p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void ShutdownSocket(SocketHandle s) { ::shutdown(static_cast<int>(s), SHUT_RDWR); }
void CloseSocket(SocketHandle s) { ::close(static_cast<int>(s)); }
bool RunningUnderWine() { return false; }
int SocketFd(SocketHandle s) { return static_cast<int>(s); }

}  // namespace ov::testing
