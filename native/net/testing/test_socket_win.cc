#include "net/testing/test_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

namespace ov::testing {
namespace {
SOCKET S(SocketHandle s) { return static_cast<SOCKET>(s); }
}  // namespace

void InitSockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

SocketHandle ListenLoopback(std::uint16_t& port) {
  InitSockets();
  const SOCKET fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd == INVALID_SOCKET) return kNoSocket;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof(addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::closesocket(fd);
    return kNoSocket;
  }
  port = ntohs(addr.sin_port);
  return static_cast<SocketHandle>(fd);
}

SocketHandle AcceptWithTimeout(SocketHandle listener, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(S(listener), &set);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (::select(0, &set, nullptr, nullptr, &tv) <= 0) return kNoSocket;
  const SOCKET fd = ::accept(S(listener), nullptr, nullptr);
  if (fd == INVALID_SOCKET) return kNoSocket;
  BOOL one = TRUE;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
  return static_cast<SocketHandle>(fd);
}

long RecvSome(SocketHandle s, void* buffer, std::size_t size) {
  const int chunk = size > 1u << 20 ? 1 << 20 : static_cast<int>(size);
  const int n = ::recv(S(s), static_cast<char*>(buffer), chunk, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

bool SendAll(SocketHandle s, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const int chunk = size > 1u << 20 ? 1 << 20 : static_cast<int>(size);
    const int n = ::send(S(s), p, chunk, 0);
    if (n == SOCKET_ERROR || n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void ShutdownSocket(SocketHandle s) { ::shutdown(S(s), SD_BOTH); }
void CloseSocket(SocketHandle s) { ::closesocket(S(s)); }
bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
int SocketFd(SocketHandle s) { return static_cast<int>(s); }

}  // namespace ov::testing
