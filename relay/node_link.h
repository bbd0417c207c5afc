// Direct links between the nodes of a fleet, for the messages of sessions whose two ends are on
// different nodes: one TCP connection per ordered pair of nodes (a node sends on the link it
// dialled and receives on the links it accepted), each carrying the fleet's wire messages of many
// sessions, length-prefixed, in the order sent. The first message on a link is a hello naming the
// dialling node and the token it announces through NATS; the accepting node checks both, so only a
// member of the fleet can speak on a link.
//
// The links carry what the relay itself sees (the peers' messages are sealed end to end); they are
// meant for the network between the nodes, not for the internet.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "relay/fleet.h"

namespace ov::relay {

class NodeLinks {
 public:
  struct Events {
    virtual ~Events() = default;
    // True when `token` is what node `node` announces.
    virtual bool LinkPeerValid(const std::string& node, const std::string& token) = 0;
    // A message on an accepted link (the link's thread, in the order sent).
    virtual void OnLinkMessage(const fleet::Message& message) = 0;
    // The link to or from `node` failed: what was on its way may be lost.
    virtual void OnLinkDown(const std::string& node) = 0;
  };

  // Listens on `listen` (IP:PORT, port 0 picks one). Throws std::runtime_error when it cannot.
  NodeLinks(const std::string& listen, std::string self, std::string token, Events& events);
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

}  // namespace ov::relay
