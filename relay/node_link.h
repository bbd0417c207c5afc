// Direct links between the nodes of a fleet, for the messages of sessions whose two ends are on
// different nodes: one connection per ordered pair of nodes (a node sends on the link it dialled
// and receives on the links it accepted), each carrying the fleet's wire messages of many
// sessions, length-prefixed, in the order sent.
//
// A link is TLS 1.3 with a key pre-shared by the fleet (derived from its secret; no certificates):
// only a holder of the secret completes the handshake, on either side, and what crosses is
// private. Then the accepting node sends a fresh random challenge, and the dialling node's first
// message, its hello, names it and its instance and proves the secret over that challenge and the
// TLS channel (fleet::HelloProof); the accepting node takes it only from the instance the node
// announces. A hello recorded on one link is worth nothing on another.
//
// Why a pre-shared key and not a fleet CA: the nodes already share one secret (it seals their
// NATS messages), a PSK handshake needs no certificate issuance, renewal or revocation, and with
// (EC)DHE it keeps forward secrecy. Replacing the secret on every node rotates both.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "relay/fleet.h"
#include "relay/fleet_wire.h"

struct ssl_ctx_st;

namespace ov::relay {

class NodeLinks {
 public:
  struct Events {
    virtual ~Events() = default;
    // True when `instance` is the running instance node `node` announces.
    virtual bool LinkPeerValid(const std::string& node, std::uint64_t instance) = 0;
    // A message on an accepted link (the link's thread, in the order sent; `instance` set).
    virtual void OnLinkMessage(const fleet::Message& message) = 0;
    // The link to or from `node` failed: what was on its way may be lost.
    virtual void OnLinkDown(const std::string& node) = 0;
  };

  // Listens on `listen` (IP:PORT, port 0 picks one). Throws std::runtime_error when it cannot.
  NodeLinks(const std::string& listen, std::string self, std::uint64_t instance,
            const fleet::Keys& keys, Events& events);
  ~NodeLinks();
  NodeLinks(const NodeLinks&) = delete;
  NodeLinks& operator=(const NodeLinks&) = delete;

  // The address bound, IP:PORT.
  std::string Address() const;
  // Queues one encoded message for `node`, reached at `address` (IP:PORT); connects on first use
  // and again after a failure. False when the link is known to be down and cannot take it.
  bool Send(const std::string& node, const std::string& address, std::string message);
  // Closes every link and joins the thread; no event is reported once it returns.
  void Stop();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Sets up `ctx` for the links: TLS 1.3 only, the fleet's pre-shared key `key` (which must outlive
// `ctx`), no certificates, no tickets. Throws std::runtime_error when OpenSSL refuses.
void ConfigureLinkTls(ssl_ctx_st* ctx, const fleet::Key& key, bool server);

}  // namespace ov::relay
