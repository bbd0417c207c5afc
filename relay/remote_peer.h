// One end of a session whose two ends are connected to different nodes.
#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/post.hpp>

#include "base/json_codec.h"
#include "relay/connection.h"
#include "relay/fleet.h"
#include "relay/ws_frame.h"

namespace ov::relay::detail {

// One end of a session whose two ends are connected to different nodes: it stands for the far end
// here. On the host's node it stands for the viewer (it is a connection of the matcher, and the
// matcher's actions for it travel to the viewer's node); on the viewer's node it stands for the
// host (the viewer's texts travel to the host's node, whose matcher decides them).
//
// Binary messages travel as chunks that fit the NATS servers' payload limit, numbered per
// direction. Flow control is by credit: the sender reserves room here as it would in a local
// partner's queue and pauses when the window (the queue bounds) is full; the receiving node passes
// each message into its local partner's queue and returns credit, withheld while that queue is
// full. So backpressure crosses the hop and nothing is dropped: a missing chunk or a refused
// publish ends the session instead.
class RemotePeer final : public Peer, public std::enable_shared_from_this<RemotePeer> {
 public:
  // `instance`: the other node's; `wire`: the session's random key, the same on both nodes.
  RemotePeer(SessionOwner& server, Worker& worker, ConnId id, std::string node,
             std::uint64_t instance, std::uint64_t wire, bool hostSide)
      : Peer(id, worker.ioc.get_executor()),
        server_(server),
        worker_(worker),
        o_(server.Options()),
        node_(std::move(node)),
        instance_(instance),
        wire_(wire),
        hostSide_(hostSide) {}

  const std::string& Node() const { return node_; }
  std::string Key() const {
    return node_ + "/" + std::to_string(instance_) + "/" + std::to_string(wire_);
  }

  // --- Peer: the local side's calls ---

  // Host's node: a text of the matcher for the viewer.
  void Enqueue(OutMessage message) override {
    if (ended_) return;
    SendControl(fleet::Kind::kSend, message.text);
  }

  // The local partner's message (its room was reserved here): to the other node.
  void Deliver(ws::Bytes data) override {
    if (ended_) return;
    const std::size_t chunk = server_.ChunkFor(node_);
    std::size_t offset = 0;
    do {
      const std::size_t n = std::min(chunk, data.size() - offset);
      fleet::Message m;
      m.kind = fleet::Kind::kData;
      m.seq = outSeq_++;
      m.flags = offset + n < data.size() ? fleet::kMore : 0;
      m.body = {data.data() + offset, n};
      if (!Send(m)) return Fail();
      offset += n;
    } while (offset < data.size());
  }

  // Host's node: the matcher closes the viewer. Its node carries the close out; here the
  // connection is over.
  void CloseAfterDrain(std::uint16_t code) override {
    if (ended_) return;
    const std::string body{static_cast<char>(code >> 8), static_cast<char>(code & 0xff)};
    SendControl(fleet::Kind::kClose, body);
    End();
  }

  void Route(std::shared_ptr<Peer> partner) override {
    if (ended_) return;
    local_ = std::move(partner);
    if (!local_) withholding_ = false;
  }

  void WatchLow(Waiter waiter) override {
    if (ended_ || Low(o_)) return Wake(waiter);
    waiter_ = waiter;
  }

  // The local partner's queue drained: the credit held back goes out.
  void Resume(ConnId from) override {
    if (!local_ || local_->Id() != from) return;
    withholding_ = false;
    FlushCredit(true);
  }

  void Abort() override { Fail(); }

  void Check(Millis, Millis, Millis) override {
    if (!ended_ && !withholding_) FlushCredit(true);
  }

  void Release() override {
    local_.reset();
    waiter_.reset();
  }

  // --- from the other node (on this executor, in the order sent) ---

  void Receive(fleet::Kind kind, std::uint64_t seq, std::uint8_t flags, ws::Bytes bytes) {
    if (ended_) return;
    if (kind == fleet::Kind::kData) return ReceiveData(seq, flags, std::move(bytes));
    std::string body(bytes.view());
    switch (kind) {
      case fleet::Kind::kCredit: {
        if (body.size() != 16) return Fail();
        std::uint64_t messages = 0, credited = 0;
        for (std::size_t i = 8; i-- > 0;) {
          messages = (messages << 8) | static_cast<std::uint8_t>(body[i]);
          credited = (credited << 8) | static_cast<std::uint8_t>(body[8 + i]);
        }
        // Credit for more than is on its way is a broken or forged message: the session ends.
        if (!ReleaseHeld(credited, messages)) return Fail();
        if (waiter_ && Low(o_)) {
          Wake(*waiter_);
          waiter_.reset();
        }
        return;
      }
      case fleet::Kind::kText:  // host's node: the viewer's text, for the matcher
        if (hostSide_ && body.size() <= kTextLimit) server_.PeerText(Id(), body);
        return;
      case fleet::Kind::kClosed:  // host's node: the viewer is gone
        if (hostSide_) End();
        return;
      case fleet::Kind::kSend:  // viewer's node: a text for the viewer
        if (!hostSide_ && local_) {
          OutMessage message;
          message.text = std::move(body);
          local_->Enqueue(std::move(message));
        }
        return;
      case fleet::Kind::kClose:  // viewer's node: the host's node closed the viewer
        if (!hostSide_ && local_ && body.size() == 2) {
          local_->CloseAfterDrain(static_cast<std::uint16_t>(
              (static_cast<std::uint8_t>(body[0]) << 8) | static_cast<std::uint8_t>(body[1])));
        }
        if (!hostSide_) End();
        return;
      case fleet::Kind::kRequest:
        if (!hostSide_ && body.size() <= 64) requestId_ = std::move(body);
        return;
      default:
        return;
    }
  }

  // Viewer's node: the viewer's text message, for the host's node.
  void SendText(std::string_view text) { SendControl(fleet::Kind::kText, text); }

  // Viewer's node: the viewer's connection ended.
  void LocalEnded() {
    if (ended_) return;
    SendControl(fleet::Kind::kClosed, {});
    End();
  }

  // The other node or the NATS link is gone: the session ends as if the far end had left. The
  // viewer hears "peerDisconnected" and is closed; the host hears it from the matcher.
  void Lost() {
    if (ended_) return;
    if (!hostSide_ && local_) {
      OutMessage notice;
      notice.text = requestId_.empty()
                        ? std::string(R"({"type":"error","code":"unavailable"})")
                        : SerializeMessage(Json{{"type", "peerDisconnected"},
                                                {"requestId", requestId_}});
      local_->Enqueue(std::move(notice));
      local_->CloseAfterDrain(requestId_.empty() ? ws::close_code::kPolicy
                                                 : ws::close_code::kNormal);
    }
    End();
  }

 private:
  bool Send(fleet::Message& m) {
    m.from = server_.NodeName();
    m.conn = wire_;
    std::string bytes;
    bytes.reserve(fleet::kHeaderMax + m.body.size());
    fleet::Encode(m, bytes);
    return server_.SendToNode(node_, std::move(bytes));
  }

  void SendControl(fleet::Kind kind, std::string_view body) {
    fleet::Message m;
    m.kind = kind;
    m.body = {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()};
    if (!Send(m)) Fail();
  }

  void ReceiveData(std::uint64_t seq, std::uint8_t flags, ws::Bytes chunk) {
    if (seq != inSeq_++ || assembling_.size() + chunk.size() > kBinaryLimit) return Fail();
    if (assembling_.size() == 0) {
      assembling_ = std::move(chunk);  // a whole message in one chunk is passed on as it came
    } else {
      assembling_.Append(chunk.data(), chunk.size());
    }
    if ((flags & fleet::kMore) != 0) return;
    ws::Bytes data = std::move(assembling_);
    const std::size_t size = data.size();
    owedMessages_ += 1;
    owedBytes_ += size;
    std::shared_ptr<Peer> to = local_;
    if (!to && hostSide_) {
      // Not routed (yet, or any more): the matcher decides, as for a local connection.
      bool open = true;
      to = server_.PeerBinary(Id(), size, open);
    }
    if (!to) return FlushCredit(false);  // dropped: its room is given back
    const bool full = to->Reserve(size, o_);
    if (to->GetExecutor() == GetExecutor()) {
      to->Deliver(std::move(data));
    } else {
      net::post(to->GetExecutor(), [to, data = std::move(data)]() mutable {
        to->Deliver(std::move(data));
      });
    }
    if (full) {
      withholding_ = true;
      net::post(to->GetExecutor(), [to, waiter = Waiter{&worker_, Id()}] { to->WatchLow(waiter); });
      return;
    }
    FlushCredit(false);
  }

  // Credit goes back in batches of a quarter of the window (all of it when `all`), so that a
  // stream of small messages does not double the messages between the nodes.
  void FlushCredit(bool all) {
    if (owedMessages_ == 0 || withholding_) return;
    if (!all && owedMessages_ < std::max<std::size_t>(1, o_.queueMessages / 4) &&
        owedBytes_ < o_.queueBytes / 4) {
      return;
    }
    std::string body(16, '\0');
    for (std::size_t i = 0; i < 8; ++i) {
      body[i] = static_cast<char>((owedMessages_ >> (8 * i)) & 0xff);
      body[8 + i] = static_cast<char>((owedBytes_ >> (8 * i)) & 0xff);
    }
    owedMessages_ = 0;
    owedBytes_ = 0;
    SendControl(fleet::Kind::kCredit, body);
  }

  void Wake(Waiter waiter) {
    net::post(waiter.worker->ioc, [worker = waiter.worker, id = waiter.id, from = Id()] {
      const auto it = worker->sessions.find(id);
      if (it != worker->sessions.end()) it->second->Resume(from);
    });
  }

  // The link failed (a publish refused, a chunk missing): both nodes end the session.
  void Fail() {
    if (ended_) return;
    server_.Log("conn=" + std::to_string(Id()) + " node=" + node_ + " event=link-failed");
    if (hostSide_) {
      const std::string body{static_cast<char>(ws::close_code::kInternalError >> 8),
                             static_cast<char>(ws::close_code::kInternalError & 0xff)};
      fleet::Message m;
      m.kind = fleet::Kind::kClose;
      m.body = {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()};
      Send(m);
    } else {
      fleet::Message m;
      m.kind = fleet::Kind::kClosed;
      Send(m);
    }
    Lost();
  }

  void End() {
    if (ended_) return;
    const auto keep = shared_from_this();
    ended_ = true;
    assembling_.Clear();
    if (waiter_) {
      Wake(*waiter_);
      waiter_.reset();
    }
    worker_.sessions.erase(Id());
    server_.LinkEnded(Key());
    if (hostSide_) server_.PeerEnded(Id());
    // The local partner is let go on its own thread.
    if (local_ && local_->GetExecutor() != GetExecutor()) {
      net::post(local_->GetExecutor(), [gone = std::move(local_)] {});
    }
    local_.reset();
  }

  SessionOwner& server_;
  Worker& worker_;
  const ServerOptions& o_;
  const std::string node_;  // the other node
  const std::uint64_t instance_;  // the other node's instance
  const std::uint64_t wire_;      // the session's key
  const bool hostSide_;     // stands for the viewer (on the host's node)
  std::shared_ptr<Peer> local_;   // the local partner: the host, or the viewer
  std::optional<Waiter> waiter_;  // the local partner paused on the window
  std::string requestId_;         // viewer's node: the request, once the host's node named it
  ws::Bytes assembling_;          // chunks of the message being received
  std::uint64_t outSeq_ = 0;
  std::uint64_t inSeq_ = 0;
  std::size_t owedMessages_ = 0;  // passed on and not yet credited
  std::size_t owedBytes_ = 0;
  bool withholding_ = false;      // the local partner's queue is full: no credit until it drains
  bool ended_ = false;
};

}  // namespace ov::relay::detail
