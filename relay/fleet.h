// A fleet of relay nodes sharing one service through NATS: the device-ID registry (a JetStream
// key-value bucket, one lease per registration), node membership (a bucket of node names plus a
// heartbeat subject), the fleet-wide per-address registration count, and the messages between
// the two nodes of a session that spans nodes (signalling and the data plane, on each node's
// inbox subject).
//
// Every message on NATS is sealed with a key derived from the fleet secret (fleet_wire.h): a node
// takes only messages a holder of the secret sent, each once, on the subject it was sent to.
// Heartbeats say how to reach a node and which instance of it runs; they carry nothing secret.
//
// Fleet owns the NATS connection and its threads and knows nothing of WebSocket sessions: it
// reports to FleetEvents, which the server implements. Every call is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "relay/matcher.h"

namespace ov::relay {

// --- The node-to-node wire form (pure) ---------------------------------------------------------

namespace fleet {

enum class Kind : std::uint8_t {
  kViewer = 1,   // viewer's node -> host's node: a viewer registered for a host there (JSON body)
  kText = 2,     // viewer's node -> host's node: a later text message of that viewer
  kClosed = 3,   // viewer's node -> host's node: the viewer's connection ended
  kSend = 4,     // host's node -> viewer's node: a text for the viewer
  kClose = 5,    // host's node -> viewer's node: close the viewer (body: 2-byte close code)
  kRequest = 6,  // host's node -> viewer's node: the request ID the viewer takes part in
  kData = 7,     // either way: one chunk of a binary message (flag kMore: more chunks follow)
  kCredit = 8,   // either way: messages and bytes the receiver has passed on (body: 2 x u64)
  kHeartbeat = 9,
  kBye = 10,     // a node stops: its sessions end now rather than after the heartbeat timeout
};
inline constexpr std::uint8_t kMore = 1;

// Every message names its sender, the session's key (random, chosen by the viewer's node; with
// the two nodes' instances it identifies the session on both nodes), and for data a sequence
// number per direction.
struct Message {
  Kind kind = Kind::kHeartbeat;
  std::string_view from;
  // The sender's instance, as its authenticated envelope or link says (not encoded).
  std::uint64_t instance = 0;
  ConnId conn = 0;
  std::uint64_t seq = 0;
  std::uint8_t flags = 0;
  std::span<const std::uint8_t> body;
};

inline constexpr std::size_t kMaxNodeName = 64;
inline constexpr std::size_t kHeaderMax = 1 + 1 + kMaxNodeName + 8 + 8 + 1;

// Letters, digits, '-' and '_', 1-64 characters (a NATS subject token and a bucket key).
bool IsNodeName(std::string_view name);
// Appends the encoded message to `out`.
void Encode(const Message& message, std::string& out);
// Nothing when `bytes` is not a well-formed message.
std::optional<Message> Decode(std::span<const std::uint8_t> bytes);

}  // namespace fleet

// --- The NATS link ---------------------------------------------------------------------------

class FleetEvents {
 public:
  virtual ~FleetEvents() = default;
  // A message on this node's inbox. On the link's delivery thread, in the order sent per sender.
  virtual void OnFleetMessage(const fleet::Message& message) = 0;
  // The answer to Claim (kOk, kTaken, kUnavailable).
  virtual void OnClaimed(ConnId conn, const std::string& id, FleetResult result) = 0;
  // The answer to Lookup (kOk with the host's node, kUnknown, kUnavailable).
  virtual void OnLocated(ConnId conn, FleetResult result, const std::string& node) = 0;
  // A claimed ID's lease could not be renewed and another node holds it now.
  virtual void OnLeaseLost(const std::string& id) = 0;
  // Another node counted a registration from `address`.
  virtual void OnRemoteRegistration(const std::string& address) = 0;
  // A node stopped or has not been heard within the node timeout.
  virtual void OnNodeLost(const std::string& node) = 0;
  // The NATS link went down (every session across nodes must end) or came back.
  virtual void OnLinkChanged(bool up) = 0;
};

struct FleetOptions {
  std::string url;       // nats://[user:pass@]host:port[,...], tls:// for TLS
  std::string nodeName;  // fleet::IsNodeName
  std::string secret;    // the fleet's shared secret (fleet::ReadSecretFile)
  std::uint64_t instance = 0;  // this run of the node (random; 0: one is drawn)
  // NATS credentials and TLS (each empty: not used).
  std::string natsCreds;     // a .creds file (user JWT and nkey seed)
  std::string natsUserFile;  // a file holding USER:PASSWORD
  std::string natsCa;        // CA certificates to verify the servers by (turns TLS on)
  std::string natsCert, natsKey;  // a client certificate and its key (turns TLS on)
  int kvReplicas = 1;        // the buckets' replicas when this node creates them
  Millis lease = 20000;  // registry lease; renewed every third of it
  Millis heartbeat = 1000;
  Millis nodeTimeout = 3500;  // a node unheard this long is gone
  Millis connectTimeout = 5000;
  std::size_t registryThreads = 4;
  // Tests only: the registry watch's pending limit in messages, to force it to drop changes (0:
  // none). The watch that follows a drop has none.
  int watchPendingLimit = 0;
  // The direct link address this node announces (IP:PORT); empty: sessions across nodes travel
  // through NATS.
  std::string advertise;
};

// What a live node announces.
struct FleetPeer {
  std::string advertise;  // empty: reached through NATS
  std::uint64_t instance = 0;
};

// Each field has its line on /metrics (metrics.cc).
struct FleetStats {
  bool connected = false;
  std::size_t nodes = 0;  // live nodes, this one included
  std::size_t ownedIds = 0;
  std::size_t knownIds = 0;  // in the local copy of the registry
  std::uint64_t takeovers = 0;   // IDs of runs that were over, claimed here
  std::uint64_t removedIds = 0;  // IDs of runs that were over, removed by this node
  std::uint64_t watchRevision = 0;  // the latest change of the registry the watch delivered
  std::size_t knownRemoved = 0;     // IDs whose latest change the copy saw was a removal
  // The copy read again from the start: after the watch dropped changes (a slow reader), stalled
  // behind the registry, or was found holding another number of entries than the registry.
  std::uint64_t watchReloads = 0;
  std::uint64_t watchDropped = 0;    // changes the watch's subscription dropped
  std::uint64_t watchSkipped = 0;    // revisions the watch skipped (superseded, or not sent)
  std::uint64_t copyMismatches = 0;  // audits that found the copy off
  // Restarts of the watch after a pass that failed (NATS slow or away, the registry gone), each
  // after a wait: 250 ms, doubling while passes keep failing, up to 10 s.
  std::uint64_t watchRetries = 0;
  std::uint64_t claims = 0, claimsTaken = 0, claimsUnavailable = 0;
  std::uint64_t lookups = 0, lookupsUnknown = 0, lookupsUnavailable = 0;
  std::uint64_t leasesLost = 0;
  std::uint64_t sentMessages = 0, sentBytes = 0, receivedMessages = 0, receivedBytes = 0;
  std::uint64_t sendFailures = 0;
  std::uint64_t refused = 0;  // messages on NATS not sealed with the secret, replayed or malformed
};

class Fleet {
 public:
  // Connects, creates or binds the buckets and claims the node name. Throws std::runtime_error
  // with a readable reason (NATS unreachable, no JetStream, the node name in use).
  Fleet(FleetOptions options, FleetEvents& events);
  ~Fleet();
  Fleet(const Fleet&) = delete;
  Fleet& operator=(const Fleet&) = delete;

  const std::string& Node() const;
  std::uint64_t Instance() const;
  // The registry lease in force (the bucket's, which the first node of the fleet set).
  Millis Lease() const;
  bool Connected() const;
  // A direct link to or from `node` failed: it counts as gone until its next heartbeat.
  void Suspect(const std::string& node);
  // What a live node announces, nothing when it is not live.
  std::optional<FleetPeer> Peer(const std::string& node) const;
  // The largest encoded message Send takes (the NATS servers' limit less the seal).
  std::size_t MaxPayload() const;

  // Seals and publishes one encoded message to `node`'s inbox. False when the link refused it.
  bool Send(const std::string& node, std::string_view bytes);
  void BroadcastRegistration(const std::string& address);

  // Registry operations, answered through FleetEvents; the operations on one ID run in order.
  void Claim(ConnId conn, const std::string& id);
  void Release(const std::string& id);
  void Lookup(ConnId conn, const std::string& id);

  // Says goodbye, lets queued releases finish (bounded), and closes the link. Idempotent; no event
  // is reported once it returns.
  void Shutdown();

  FleetStats Stats() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace ov::relay
