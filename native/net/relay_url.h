// Validation of the relay URL: the checks every transport applies before opening anything.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ov {

// A relay URL that passed validation.
struct RelayUrl {
  std::wstring host;  // as written (an IPv6 literal keeps its brackets); "127.0.0.1" for ws://localhost
  std::wstring path;  // path ("/" when empty) followed by the query, if any
  std::uint16_t port = 0;
  bool secure = false;    // wss://
  bool loopback = false;  // localhost, 127.0.0.1, ::1 or [::1]
};

// Fixed texts of the validation failures.
inline constexpr char kInvalidUrlText[] = "Invalid relay URL";
inline constexpr char kBadSchemeText[] = "Relay URL must start with wss://";
inline constexpr char kBadAuthorityText[] = "Invalid relay URL or embedded credentials";
inline constexpr char kPlainNotLoopbackText[] =
    "Unencrypted WebSocket connections are permitted only on loopback";

// Longest relay URL accepted, in characters.
inline constexpr std::size_t kMaxRelayUrlChars = 4096;

// Validates `url`. On success fills `out` and returns true; otherwise sets `error` to one of the
// texts above and returns false. Only wss:// is accepted, except ws:// to a loopback host.
// Host and path are restricted to printable ASCII (a host name, an IPv4 address or a bracketed
// IPv6 address; no spaces or control characters anywhere); user information and fragments are
// refused.
bool ParseRelayUrl(std::wstring_view url, RelayUrl& out, std::string& error);

}  // namespace ov
