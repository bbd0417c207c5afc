// The fleet glue of Server::Impl: messages between nodes, the links that stand for a session across
// nodes, and the registry's answers handed to the matcher.

#include "relay/server_impl.h"

#include <functional>
#include <memory>
#include <string>

#include "relay/fleet_wire.h"

namespace ov::relay {

// --- fleet events ----------------------------------------------------------------------------

bool Server::Impl::SendToNode(const std::string& node, std::string message) {
  if (nodeLinks_) {
    const auto peer = fleet_->Peer(node);
    if (!peer) return false;
    if (!peer->advertise.empty()) return nodeLinks_->Send(node, peer->advertise, std::move(message));
  }
  return fleet_->Send(node, message);
}

bool Server::Impl::LinkPeerValid(const std::string& node, std::uint64_t instance) {
  const auto peer = fleet_ ? fleet_->Peer(node) : std::nullopt;
  return peer && instance != 0 && peer->instance == instance;
}

void Server::Impl::OnLinkDown(const std::string& node) {
  Log("event=node-link-down node=" + node);
  if (fleet_) fleet_->Suspect(node);
  const std::string prefix = node + "/";
  EndLinks([&prefix](const std::string& key) { return key.starts_with(prefix); });
}

Worker& Server::Impl::WorkerOf(const Executor& executor) {
  for (auto& worker : workers_) {
    if (&worker->ioc == &executor.context()) return *worker;
  }
  return *workers_[0];
}

void Server::Impl::LinkEnded(const std::string& key) {
  std::lock_guard lock(linksMutex_);
  links_.erase(key);
}

void Server::Impl::HandOff(const std::shared_ptr<Peer>& viewer, const std::string& node,
                           const std::string& registration) {
  Worker& worker = WorkerOf(viewer->GetExecutor());
  // The session's key on both nodes is random: nobody can name a session without having seen
  // its messages.
  const auto peer = fleet_->Peer(node);
  const std::uint64_t instance = peer ? peer->instance : 0;
  const std::uint64_t key = fleet::RandomU64();
  auto link = std::make_shared<RemotePeer>(*this, worker, NextId(), node, instance, key, false);
  remote_.emplace(viewer->Id(), link);
  {
    std::lock_guard lock(linksMutex_);
    links_[link->Key()] = link;
  }
  // On the viewer's thread: the routes first, then the registration, so that it goes out before
  // anything the viewer sends through the link and a failing link finds the viewer to tell.
  fleet::Message m;
  m.kind = fleet::Kind::kViewer;
  m.from = fleet_->Node();
  m.conn = key;
  m.body = {reinterpret_cast<const std::uint8_t*>(registration.data()), registration.size()};
  std::string bytes;
  fleet::Encode(m, bytes);
  Post(*viewer, [this, viewer, link, node, instance, bytes = std::move(bytes), &worker]() mutable {
    worker.sessions.emplace(link->Id(), link);
    link->Route(viewer);
    viewer->Route(link);
    if (instance == 0 || !SendToNode(node, std::move(bytes))) link->Lost();
  });
}

void Server::Impl::ForwardText(RemotePeer& link, std::string_view text) {
  Post(link, [link = link.shared_from_this(), text = std::string(text)] { link->SendText(text); });
}

void Server::Impl::ViewerEnded(const std::shared_ptr<RemotePeer>& link) {
  Post(*link, [link] { link->LocalEnded(); });
}

std::shared_ptr<Peer> Server::Impl::RemoteAsPeer(ConnId viewer) {
  const auto it = remote_.find(viewer);
  return it == remote_.end() ? nullptr : std::static_pointer_cast<Peer>(it->second);
}

void Server::Impl::OnFleetMessage(const fleet::Message& message) {
  if (message.kind == fleet::Kind::kViewer) return OpenRemoteViewer(message);
  std::shared_ptr<RemotePeer> link;
  {
    std::lock_guard lock(linksMutex_);
    const auto it = links_.find(LinkKey(message.from, message.instance, message.conn));
    if (it != links_.end()) link = it->second;
  }
  // A message for a session that has ended here: nobody to give it to.
  if (!link) return;
  ws::Bytes body;
  body.Append(message.body.data(), message.body.size());
  Post(*link, [link, kind = message.kind, seq = message.seq, flags = message.flags,
               body = std::move(body)]() mutable {
    link->Receive(kind, seq, flags, std::move(body));
  });
}

// Host's node: a viewer registered on another node for one of this node's hosts.
void Server::Impl::OpenRemoteViewer(const fleet::Message& message) {
  Json registration;
  try {
    registration = ParseMessage(std::string_view(
        reinterpret_cast<const char*>(message.body.data()), message.body.size()));
  } catch (const std::exception&) {
    return;
  }
  auto text = [&registration](const char* name) -> std::string {
    const auto it = registration.find(name);
    return it != registration.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  const std::string address = text("address");
  const std::string sessionId = text("sessionId");
  const std::string pairing = text("password");
  if (address.empty() || sessionId.empty() || pairing.empty() ||
      pairing.size() > kPairingStringLimit) {
    return;
  }
  const std::string key = LinkKey(message.from, message.instance, message.conn);
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  {
    std::lock_guard links(linksMutex_);
    if (links_.contains(key)) return;
  }
  // The link lives on its host's thread, so that the data between them is handed over directly.
  Worker* worker = workers_[0].get();
  if (const auto host = matcher_.HostOf(sessionId)) {
    if (const auto it = peers_.find(*host); it != peers_.end()) {
      worker = &WorkerOf(it->second->GetExecutor());
    }
  }
  const ConnId id = NextId();
  auto link = std::make_shared<RemotePeer>(*this, *worker, id, std::string(message.from),
                                           message.instance, message.conn, true);
  {
    std::lock_guard links(linksMutex_);
    links_[key] = link;
  }
  peers_.emplace(id, link);
  Post(*link, [link, worker] { worker->sessions.emplace(link->Id(), link); });
  Apply(matcher_.OpenRemote(id, address, sessionId, pairing, NowMs()), 0);
  const std::string requestId = matcher_.RequestOf(id);
  if (!requestId.empty()) {
    fleet::Message m;
    m.kind = fleet::Kind::kRequest;
    m.from = fleet_->Node();
    m.conn = message.conn;
    m.body = {reinterpret_cast<const std::uint8_t*>(requestId.data()), requestId.size()};
    std::string bytes;
    fleet::Encode(m, bytes);
    SendToNode(std::string(message.from), std::move(bytes));
  }
}

void Server::Impl::OnClaimed(ConnId conn, const std::string& id, FleetResult result) {
  std::lock_guard lock(mutex_);
  Apply(matcher_.Claimed(conn, id, result), 0);
}

void Server::Impl::OnLocated(ConnId conn, FleetResult result, const std::string& node) {
  std::lock_guard lock(mutex_);
  Apply(matcher_.Located(conn, result, node), 0);
}

void Server::Impl::OnLeaseLost(const std::string& id) {
  std::lock_guard lock(mutex_);
  Apply(matcher_.LeaseLost(id), 0);
}

void Server::Impl::OnRemoteRegistration(const std::string& address) {
  std::lock_guard lock(mutex_);
  matcher_.NoteRegistration(address, NowMs());
}

void Server::Impl::EndLinks(const std::function<bool(const std::string& key)>& which) {
  std::vector<std::shared_ptr<RemotePeer>> ending;
  {
    std::lock_guard lock(linksMutex_);
    for (const auto& [key, link] : links_) {
      if (which(key)) ending.push_back(link);
    }
  }
  for (auto& link : ending) Post(*link, [link] { link->Lost(); });
}

void Server::Impl::OnNodeLost(const std::string& node) {
  Log("event=node-lost node=" + node);
  const std::string prefix = node + "/";
  EndLinks([&prefix](const std::string& key) { return key.starts_with(prefix); });
}

void Server::Impl::OnLinkChanged(bool up) {
  Log(std::string("event=nats-") + (up ? "reconnected" : "disconnected"));
  // What was on its way between the nodes may be lost: every session across nodes ends.
  if (!up) EndLinks([](const std::string&) { return true; });
}

}  // namespace ov::relay
