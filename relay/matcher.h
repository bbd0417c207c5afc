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
// A fleet node cannot reach the fleet's registry (its NATS link is down) to register or find a host.
inline constexpr std::string_view kUnavailable = "unavailable";
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
  // Per address (the server's AddressKey). The server already closes a connection beyond it at
  // accept, counting the connections not yet upgraded too; Open refuses one beyond it as well.
  std::size_t maxConnectionsPerAddress = 1024;
  std::size_t registrationsPerMinute = 60;  // per address, hosts and viewers together
  Millis registerTimeout = 10000;           // from the WebSocket opening to a valid "register"
  Millis pairingTimeout = 60000;            // from the viewer's "register" to "connected"
  // Requests to one host within a minute: as many as the host itself takes (it refuses more as
  // too many attempts), so that guesses beyond them never reach it and never lock it out.
  std::size_t requestsPerHostPerMinute = 6;
  // Requests that end unpaired (a wrong password, a refusal, a timeout) within
  // failedPairingWindow, counted per viewer address prefix and per target ID; a viewer from a
  // prefix, or for an ID, at its bound is refused with "rateLimited" until the window lets go.
  // Per address (an IPv4 address or an IPv6 /64): failedPairingsPerAddress. An IPv6 /56 and /48
  // allow two and four times that, as the connection budgets do: a subscriber takes any of its
  // 256 or 65536 /64s at will, so a wider prefix must not get a budget per /64 it holds.
  std::size_t failedPairingsPerAddress = 10;
  // Per target ID, from every address (and, in a fleet, every node: the host's node counts):
  // a guesser spread over many prefixes gets no more wrong answers from one host than this.
  std::size_t failedPairingsPerId = 30;
  Millis failedPairingWindow = 600000;
  // One node of a fleet: a host's ID is claimed in the fleet's registry before "registered", a
  // viewer whose host is not on this node is handed to the host's node, and every counted
  // registration is announced to the other nodes.
  bool fleet = false;
};

// The fleet registry's answers (claims and lookups).
enum class FleetResult { kOk, kTaken, kUnknown, kUnavailable };

// What becomes of a binary message whose first frame header has arrived, before its payload is
// read: kRead, it goes to the partner; kSkip, it is dropped unread; kRefused, the sender was told
// why and is being closed.
enum class BinaryStart { kRead, kSkip, kRefused };

// Parses "X.Y.Z" (each part 1-5 digits, no leading zero, at most 65535). False when invalid.
bool ParseVersion(std::string_view text, std::uint32_t out[3]);

struct Action {
  enum class Kind {
    kSendText,  // append `text` to the outgoing queue of `conn`
    kClose,     // send what is queued for `conn`, then close it with `closeCode`
    kRoute,     // binary messages of `conn` go straight to `partner` from now on (0: to nobody;
                // the shell asks Binary again). Comes before any text that tells `conn` of it.
    // Fleet only:
    kClaim,         // claim device ID `text` for host `conn` in the registry; answer: Claimed
    kRelease,       // device ID `text` is no longer this node's
    kLookup,        // find the node of host `text` for viewer `conn`; answer: Located
    kHandOff,       // viewer `conn` now belongs to the session on node `node`; `text` is its
                    // registration for that node (JSON: address, sessionId, password)
    kRegistration,  // a registration from address `text` was counted: tell the other nodes
  };
  Kind kind;
  ConnId conn;
  std::string text;
  std::uint16_t closeCode = 1000;
  ConnId partner = 0;
  std::string node{};
};
using Actions = std::vector<Action>;

// A text message parsed ahead of the matching (outside any lock): its JSON object and "type", or
// the error code it is refused with.
struct ParsedText {
  Json message;
  std::string type;
  std::string_view refusal;  // empty when the text is a known message
};

// Replies of a host to requests that have ended are dropped without a word, since they cross the
// relay's notice on the wire: each request sent to a host allows this many, and a host that sends
// more (texts the relay has no use for) is refused.
inline constexpr int kStaleRepliesPerRequest = 2;
inline constexpr int kStaleRepliesMax = 4;

struct MatcherStats {
  std::size_t connections = 0;
  std::size_t registeredHosts = 0;
  std::size_t liveSessions = 0;
  std::size_t remoteViewers = 0;  // viewers of this node's hosts connected to other nodes
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
  // Bounds and parses one text message; needs no matcher state (the shell calls it before it
  // takes the lock around the matcher).
  static ParsedText Parse(std::string_view text);
  // One whole text message, parsed by Parse.
  Actions Text(ConnId conn, const ParsedText& text, Millis now);
  Actions Text(ConnId conn, std::string_view text, Millis now) { return Text(conn, Parse(text), now); }
  // A message that exceeded its limit while being read (the shell stops reading it).
  Actions Oversize(ConnId conn, bool text);
  // A whole binary message of `size` bytes. Returns the partner it goes to, or nothing and the
  // refusal in `actions`.
  std::optional<ConnId> Binary(ConnId conn, std::size_t size, Actions& actions);
  // The first frame header of a binary message of `conn` arrived while the shell has no route
  // for it. Decides as Binary would for the whole message (the same refusal, in `actions`), but
  // before any of it is stored and without counting it.
  BinaryStart BinaryHeader(ConnId conn, Actions& actions);
  // The connection is gone (socket closed, or the shell finished a close this class asked for).
  Actions Closed(ConnId conn);
  // Deadlines: registration and pairing.
  Actions Tick(Millis now);

  // --- fleet ---
  // The registry's answer to kClaim.
  Actions Claimed(ConnId conn, const std::string& id, FleetResult result);
  // The registry's answer to kLookup: kOk with the host's node, kUnknown or kUnavailable.
  Actions Located(ConnId conn, FleetResult result, const std::string& node);
  // A viewer registered on another node for a host of this one: `conn` stands for it here (its
  // texts come through Text, its end through Closed, and the actions for it go to its node). Its
  // registration was checked and counted there.
  Actions OpenRemote(ConnId conn, const std::string& address, const std::string& sessionId,
                     const std::string& pairing, Millis now);
  // Another node counted a registration from `address`.
  void NoteRegistration(const std::string& address, Millis now);
  // Another node holds the ID of host `id` now: the host is told and let go.
  Actions LeaseLost(const std::string& id);
  // The connection of the host registered as `id`, if any.
  std::optional<ConnId> HostOf(const std::string& id) const;
  // The request `conn` takes part in, empty when none.
  std::string RequestOf(ConnId conn) const;

  // The paired partner of `conn`, if any.
  std::optional<ConnId> PartnerOf(ConnId conn) const;
  MatcherStats Stats() const;
  // Earliest pending deadline, or nothing.
  std::optional<Millis> NextDeadline() const;

 private:
  // kRemoteViewer: this node's end of a viewer handed to another node (nothing more to decide).
  enum class Role { kNone, kHost, kViewer, kRemoteViewer };
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
    bool remote = false;     // stands for a viewer connected to another node
    bool claiming = false;   // host: its ID is being claimed in the fleet registry
    bool locating = false;   // viewer: its host is being looked up in the fleet registry
    std::string pairing;     // viewer, while locating: its pairing string
    int staleAllowance = kStaleRepliesPerRequest;  // host: replies to ended requests still allowed
    std::vector<Millis> requestTimes;  // host: its requests within the last minute, oldest first
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
    std::vector<Millis> failures;      // unpaired ends of its viewers' requests, oldest first
    bool Idle() const { return connections == 0 && registrations.empty() && failures.empty(); }
  };

  void Refuse(ConnId conn, std::string_view errorCode, Actions& out);
  void Detach(ConnId conn, Conn& c, Actions& out);
  void EndRequest(const std::string& requestId, ConnId leaving, Actions& out);
  void HandleRegister(ConnId conn, Conn& c, const Json& message, Millis now, Actions& out);
  void HandleHostMessage(ConnId conn, Conn& c, std::string_view type, const Json& message,
                         Actions& out);
  void HandleViewerMessage(ConnId conn, Conn& c, std::string_view type, const Json& message,
                           Actions& out);
  void StartRequest(ConnId conn, Conn& c, ConnId hostConn, const std::string& pairing, Millis now,
                    Actions& out);
  void Log(const std::string& line) const;
  std::string NewRequestId();
  // The failures within the window, the old ones dropped.
  std::size_t RecentFailures(std::vector<Millis>& failures) const;
  // Whether a viewer from `address` is held for failed pairings: its own key's, or its /56's or
  // /48's (IPv6), at their bounds.
  bool PrefixFailedTooOften(const std::string& address);
  // Keeps a failed pairing of a viewer from `address` for target `id` (empty: not counted per ID).
  void NoteFailure(const std::string& address, bool countAddress, const std::string& id);

  MatcherConfig config_;
  IdSource ids_;
  LogSink log_;
  std::unordered_map<ConnId, Conn> conns_;
  std::unordered_map<std::string, ConnId> hosts_;  // device ID -> host connection
  std::unordered_map<std::string, ConnId> claims_;  // device ID -> host claiming it
  std::unordered_map<std::string, Request> requests_;
  std::unordered_map<std::string, Address> addresses_;
  // Failed pairings (times, oldest first) of the wider IPv6 prefixes ("2001:db8:1::/56",
  // "2001:db8:1::/48") and of target IDs: kept only while one is within the window.
  std::unordered_map<std::string, std::vector<Millis>> prefixFailures_;
  std::unordered_map<std::string, std::vector<Millis>> idFailures_;
  std::set<std::pair<Millis, ConnId>> registerDeadlines_;
  std::set<std::pair<Millis, std::string>> pairingDeadlines_;
  MatcherStats stats_;
  std::size_t remoteConns_ = 0;
  Millis lastPrune_ = 0;
  Millis now_ = 0;  // the latest time any call was given
};

}  // namespace ov::relay
