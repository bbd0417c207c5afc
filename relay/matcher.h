// The relay's matching and forwarding rules, free of sockets: registrations, connect requests,
// pairs, deadlines, per-address limits and the error codes. The network shell feeds it the events
// of each connection and carries out the actions it returns, in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/json_codec.h"

namespace ov::relay {

using ConnId = std::uint64_t;
using Millis = std::int64_t;  // monotonic milliseconds

// Error codes sent in {"type":"error","code":...}; the connection is closed after each one.
namespace code {
inline constexpr std::string_view kUpdateRequired = "updateRequired";
inline constexpr std::string_view kUnknownHost = "unknownHost";
inline constexpr std::string_view kHostBusy = "hostBusy";
inline constexpr std::string_view kRefused = "refused";
inline constexpr std::string_view kIdInUse = "idInUse";
inline constexpr std::string_view kRateLimited = "rateLimited";
inline constexpr std::string_view kTooManyConnections = "tooManyConnections";
inline constexpr std::string_view kServerFull = "serverFull";
inline constexpr std::string_view kRegisterTimeout = "registerTimeout";
inline constexpr std::string_view kPairingTimeout = "pairingTimeout";
inline constexpr std::string_view kTextTooLarge = "textTooLarge";
inline constexpr std::string_view kBinaryTooLarge = "binaryTooLarge";
inline constexpr std::string_view kBadJson = "badJson";
inline constexpr std::string_view kUnknownType = "unknownType";
inline constexpr std::string_view kBadMessage = "badMessage";
inline constexpr std::string_view kUnexpectedMessage = "unexpectedMessage";
inline constexpr std::string_view kNotPaired = "notPaired";
inline constexpr std::string_view kAlreadyRegistered = "alreadyRegistered";
inline constexpr std::string_view kBadRegister = "badRegister";
}  // namespace code

inline constexpr std::size_t kTextLimit = 16384;
inline constexpr std::size_t kBinaryLimit = 8388608;
// The viewer's pairing string is opaque to the relay; only its type and length are bounded.
inline constexpr std::size_t kPairingStringLimit = 256;
// Members of authChallenge/authResponse that are forwarded verbatim are bounded the same way.
inline constexpr std::size_t kForwardedMemberLimit = 1024;

struct MatcherConfig {
  // Lowest accepted "build" of a registering device, as three numbers (major, minor, patch).
  std::uint32_t minBuild[3] = {0, 0, 0};
  std::size_t maxConnections = 20000;
  std::size_t maxConnectionsPerAddress = 64;
  std::size_t registrationsPerMinute = 60;  // per address, hosts and viewers together
  Millis registerTimeout = 10000;           // from the WebSocket opening to a valid "register"
  Millis pairingTimeout = 60000;            // from the viewer's "register" to "connected"
};

// Parses "X.Y.Z" (each part 1-5 digits, no leading zero, at most 65535). False when invalid.
bool ParseVersion(std::string_view text, std::uint32_t out[3]);

struct Action {
  enum class Kind {
    kSendText,  // append `text` to the outgoing queue of `conn`
    kClose,     // send what is queued for `conn`, then close it with `closeCode`
    kRoute,     // binary messages of `conn` go straight to `partner` from now on (0: to nobody;
                // the shell asks Binary again). Comes before any text that tells `conn` of it.
  };
  Kind kind;
  ConnId conn;
  std::string text;
  std::uint16_t closeCode = 1000;
  ConnId partner = 0;
};
using Actions = std::vector<Action>;

struct MatcherStats {
  std::size_t connections = 0;
  std::size_t registeredHosts = 0;
  std::size_t liveSessions = 0;
  std::size_t pendingRequests = 0;
  std::uint64_t pairingsTotal = 0;
  std::uint64_t forwardedMessages = 0;
  std::uint64_t forwardedBytes = 0;
  std::map<std::string, std::uint64_t, std::less<>> refusals;  // by error code
};

class Matcher {
 public:
  using IdSource = std::function<std::string()>;    // 32 lowercase hex characters
  using LogSink = std::function<void(const std::string&)>;

  Matcher(MatcherConfig config, IdSource ids, LogSink log);
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;

  // A WebSocket connection from `address` is open. Connections over the total or per-address
  // bound are told so and closed.
  Actions Open(ConnId conn, const std::string& address, Millis now);
  // One whole text message. Oversized messages are refused before parsing.
  Actions Text(ConnId conn, std::string_view text, Millis now);
  // A message that exceeded its limit while being read (the shell stops reading it).
  Actions Oversize(ConnId conn, bool text);
  // A whole binary message of `size` bytes. Returns the partner it goes to, or nothing and the
  // refusal in `actions`.
  std::optional<ConnId> Binary(ConnId conn, std::size_t size, Actions& actions);
  // The connection is gone (socket closed, or the shell finished a close this class asked for).
  Actions Closed(ConnId conn);
  // Deadlines: registration and pairing.
  Actions Tick(Millis now);

  // The paired partner of `conn`, if any.
  std::optional<ConnId> PartnerOf(ConnId conn) const;
  MatcherStats Stats() const;
  // Earliest pending deadline, or nothing.
  std::optional<Millis> NextDeadline() const;

 private:
  enum class Role { kNone, kHost, kViewer };
  enum class Stage { kRequested, kChallenged, kAnswered, kPaired };
  struct Conn {
    std::string address;
    Role role = Role::kNone;
    bool closing = false;  // refused or asked to close: later events are ignored
    bool sessionEnded = false;  // its partner left a live session
    std::string sessionId;  // host: its own ID; viewer: the host it asked for
    std::string requestId;  // the request this connection takes part in, empty when none
    ConnId partner = 0;     // the other end of a live session, 0 when none
    Millis registerDeadline = 0;
  };
  struct Request {
    ConnId host = 0;
    ConnId viewer = 0;
    Stage stage = Stage::kRequested;
    Millis deadline = 0;
  };
  struct Address {
    std::size_t connections = 0;
    std::deque<Millis> registrations;  // times within the last minute, oldest first
  };

  void Refuse(ConnId conn, std::string_view errorCode, Actions& out);
  void Detach(ConnId conn, Conn& c, Actions& out);
  void EndRequest(const std::string& requestId, ConnId leaving, Actions& out);
  void HandleRegister(ConnId conn, Conn& c, const Json& message, Millis now, Actions& out);
  void HandleHostMessage(ConnId conn, Conn& c, std::string_view type, const Json& message,
                         Actions& out);
  void HandleViewerMessage(ConnId conn, Conn& c, std::string_view type, const Json& message,
                           Actions& out);
  void Log(const std::string& line) const;
  std::string NewRequestId();

  MatcherConfig config_;
  IdSource ids_;
  LogSink log_;
  std::unordered_map<ConnId, Conn> conns_;
  std::unordered_map<std::string, ConnId> hosts_;  // device ID -> host connection
  std::unordered_map<std::string, Request> requests_;
  std::unordered_map<std::string, Address> addresses_;
  std::set<std::pair<Millis, ConnId>> registerDeadlines_;
  std::set<std::pair<Millis, std::string>> pairingDeadlines_;
  MatcherStats stats_;
  Millis lastPrune_ = 0;
};

}  // namespace ov::relay
