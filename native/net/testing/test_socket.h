// Minimal blocking TCP sockets on 127.0.0.1 for the test WebSocket server.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ov::testing {

using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

// Starts the socket library (Winsock) once per process; no-op elsewhere.
void InitSockets();

// Listens on 127.0.0.1 at an ephemeral port; returns kNoSocket on failure.
SocketHandle ListenLoopback(std::uint16_t& port);

// Waits up to `timeoutMs` for a connection; kNoSocket when none arrived or on error.
SocketHandle AcceptWithTimeout(SocketHandle listener, int timeoutMs);

// Returns the bytes read (0 at end of stream), or -1 on error.
long RecvSome(SocketHandle s, void* buffer, std::size_t size);
bool SendAll(SocketHandle s, const void* data, std::size_t size);

// Ends both directions (wakes a blocked receive) without releasing the handle.
void ShutdownSocket(SocketHandle s);
void CloseSocket(SocketHandle s);

// True when the process runs under Wine rather than on Windows itself (always false on POSIX).
bool RunningUnderWine();

// The descriptor number BoringSSL's socket BIO expects.
int SocketFd(SocketHandle s);

}  // namespace ov::testing
