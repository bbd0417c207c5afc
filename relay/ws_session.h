// One upgraded connection: the relay's own WebSocket framing over a socket or the TLS layer,
// with its forwarding window (binary messages stream to the partner as they arrive) and its
// budget of texts. It reaches the server only through SessionOwner.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "relay/connection.h"
#include "relay/tls_socket.h"
#include "relay/ws_frame.h"

namespace ov::relay::detail {

// The clear-text transport of an upgraded connection, with the non-blocking calls of TlsSocket.
class PlainSocket {
 public:
  using executor_type = Executor;
  using Wait = TlsSocket::Wait;
  explicit PlainSocket(Socket socket) : socket_(std::move(socket)) {
    error_code ignored;
    socket_.non_blocking(true, ignored);
  }
  executor_type get_executor() { return socket_.get_executor(); }
  Socket& next_layer() { return socket_; }

  Wait TryRead(unsigned char* data, std::size_t size, std::size_t& n, error_code& ec) {
    n = socket_.read_some(net::buffer(data, size), ec);
    if (ec == net::error::would_block || ec == net::error::try_again) {
      ec = {};
      return Wait::kReadable;
    }
    return Wait::kNone;
  }
  template <class Handler>
  void async_wait(Wait wait, Handler&& handler) {
    socket_.async_wait(wait == Wait::kWritable ? Socket::wait_write : Socket::wait_read,
                       std::forward<Handler>(handler));
  }
  template <class Buffers, class Handler>
  auto async_write_some(const Buffers& buffers, Handler&& handler) {
    return socket_.async_write_some(buffers, std::forward<Handler>(handler));
  }
  void ShutdownSend() {
    error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
  }

 private:
  Socket socket_;
};

template <class Stream>
Socket& TcpSocketOf(Stream& stream) {
  return stream.next_layer();
}
inline Socket& TcpSocketOf(Socket& socket) { return socket; }

// Read buffer shared by the connections of one thread: bytes are read into it only when no frame
// payload is expected, and whatever a connection cannot use at once it copies out.
inline constexpr std::size_t kScratchSize = 16384;
// A payload at least this large is read straight into its message buffer.
inline constexpr std::size_t kDirectRead = 2048;
// Binary messages up to this size (in one frame) are forwarded whole rather than streamed.
inline constexpr std::uint64_t kStoreBelow = 65536;
// The most one system call of a large write is given.
inline constexpr std::size_t kWriteStep = std::size_t{1} << 20;
// Reads one connection does in a row before the other connections of its thread get a turn.
inline constexpr int kReadsPerTurn = 8;
// Texts a connection may send at once, and their rate after that.
inline constexpr std::uint16_t kTextBurst = 20;
inline constexpr Millis kTextsPerSecond = 2;
// The closing handshake (our close frame to the peer's, or to its end of the stream).
inline constexpr Millis kCloseTimeout = 10000;

inline std::uint8_t* Scratch() {
  thread_local std::uint8_t scratch[kScratchSize];
  return scratch;
}

// One upgraded connection: the relay's own RFC 6455 framing over the socket or the TLS layer.
// Reads whole messages within their limits, hands them to the server, and writes its queue one
// message at a time. Reading pauses while the partner's queue is full. An idle connection holds no
// buffer: bytes are read into the thread's scratch buffer, and a message gets a buffer of its own
// only while it is in flight. No timer: the worker's periodic Check watches silence, stuck
// writes and closing handshakes.
//
// A paired session forwards on its own: its route names the partner, a message goes straight
// into the partner's queue (run on the partner's thread, after everything handed over before),
// and the server's lock is not taken. Without a route the server decides each message.
template <class Stream>
class WsSession final : public Peer, public std::enable_shared_from_this<WsSession<Stream>> {
 public:
  using Wait = TlsSocket::Wait;
  WsSession(SessionOwner& server, Worker& worker, Stream&& stream, ConnId id)
      : Peer(id, worker.ioc.get_executor()),
        server_(server),
        worker_(worker),
        stream_(std::move(stream)),
        o_(server.Options()),
        reader_({kTextLimit, kBinaryLimit}) {
    GateBinary();
  }

  // The upgrade response has been written; `early` holds what the client sent after its request.
  // `address` (its AddressKey) counts this connection until End.
  void Start(const net::ip::address& ip, const std::string& address,
             std::span<const std::uint8_t> early) {
    opened_ = true;
    ip_ = ip;
    address_ = address;
    prefixQueue_ = server_.PrefixQueue(address);
    if (!early.empty()) held_.Append(early.data(), early.size());
    worker_.sessions.emplace(Id(), this->shared_from_this());
    if (!server_.PeerOpened(this->shared_from_this(), address)) refused_ = true;
    Read();
  }

  void Enqueue(OutMessage message) override {
    if (ended_ || Closed()) return;
    Reserve(message.Size(), o_);
    message.order = ++lastOrder_;
    Account(static_cast<std::ptrdiff_t>(message.Size()));
    queue_.push_back(std::move(message));
    Write();
  }

  void Deliver(ws::Bytes data) override {
    if (ended_ || Closed()) {
      // Reserved by the sender before the close: given back, so that the sender is not held.
      Released(data.size());
      WakeIfLow();
      return;
    }
    OutMessage message;
    message.kind = OutMessage::Kind::kBinary;
    message.data = std::move(data);
    message.order = ++lastOrder_;
    Account(static_cast<std::ptrdiff_t>(message.Size()));
    queue_.push_back(std::move(message));
    Write();
  }

  bool TakesPieces() const override { return true; }

  bool Saturated() const override {
    return prefixQueue_ &&
           prefixQueue_->load(std::memory_order_relaxed) >= server_.PrefixBudgetBytes();
  }

  void DeliverPiece(OutMessage piece) override {
    if (ended_ || Closed()) {
      Released(piece.Size());
      GiveChunk(std::move(piece.data));
      WakeIfLow();
      return;
    }
    piece.order = ++lastOrder_;
    Account(static_cast<std::ptrdiff_t>(piece.Size()));
    pieces_.push_back(std::move(piece));
    Write();
  }

  void BreakStream() override {
    if (ended_ || (!outMidMessage_ && pieces_.empty())) return;
    server_.Log("conn=" + std::to_string(Id()) + " event=partner-message-broken");
    End();
  }

  void CloseAfterDrain(std::uint16_t code) override {
    if (closeRequested_ || ended_) return;
    closeRequested_ = true;
    closeCode_ = code;
    Write();
  }

  void Route(std::shared_ptr<Peer> partner) override {
    DropRoute();
    if (ended_) return;
    route_ = std::move(partner);
    // A message on its way to another partner (or to one that has gone) goes no further.
    if (target_ && target_ != route_) {
      BreakTarget();
      reader_.SkipRest();
    }
    // A pause for the queue of a former partner ends with the route.
    if (paused_ && (!route_ || route_->Id() != stalledOn_)) ResumeReading();
  }

  void WatchLow(Waiter waiter) override {
    if (ended_ || Low(o_)) return Wake(waiter);
    waiter_ = waiter;
  }

  void Resume(ConnId from) override {
    if (paused_ && stalledOn_ == from) ResumeReading();
  }

  void ResumeForRoom() override {
    if (!paused_ || !heldForRoom_) return;
    if (route_ && route_->Id() == stalledOn_ &&
        (server_.OverBudget() || route_->Saturated())) {
      return server_.WaitForRoom(Waiter{&worker_, Id()});
    }
    heldForRoom_ = false;
    ResumeReading();
  }

  void Abort() override {
    server_.Log("conn=" + std::to_string(Id()) + " event=abort");
    End();
  }

  void Check(Millis now, Millis idleTimeout, Millis writeTimeout) override {
    if (ended_) return;
    // Minimum progress: while something waits to be written, each period of writeTimeout must
    // see at least minWriteRate bytes a second go out, or the reader is too slow to keep.
    const std::uint64_t written = written_ + writeProgress_;
    if (!writing_ && queue_.empty() && pieces_.empty()) {
      progressSince_ = now;
      progressMark_ = written;
    } else if (now - progressSince_ >= writeTimeout) {
      const std::uint64_t wanted =
          static_cast<std::uint64_t>(o_.minWriteRate) * static_cast<std::uint64_t>(writeTimeout) /
          1000;
      if (written - progressMark_ < wanted) {
        server_.Log("conn=" + std::to_string(Id()) + " event=write-stalled");
        return Abort();
      }
      progressSince_ = now;
      progressMark_ = written;
    }
    if ((closing_ || draining_) && now - closeStart_ > kCloseTimeout) {
      server_.Log("conn=" + std::to_string(Id()) + " event=close-timeout");
      return Abort();
    }
    // Not reading, or only waiting for the end: silence says nothing.
    if (paused_ || !opened_ || closing_ || draining_) lastHeard_ = now;
    if (now - lastHeard_ >= idleTimeout) {
      server_.Log("conn=" + std::to_string(Id()) + " event=idle-timeout");
      return Abort();
    }
    if (now - lastHeard_ >= idleTimeout / 2 && !pingSent_ && !closeRequested_) {
      pingSent_ = true;
      pingDue_ = true;
      Write();
    }
  }

  void Release() override {
    route_.reset();
    target_.reset();
    waiter_.reset();
  }

 private:
  // What the last write carried.
  enum class Out : std::uint8_t { kNone, kMessage, kPieces, kControl, kClose };
  // Pieces gathered into one write at most.
  static constexpr std::size_t kGather = 16;

  // Nothing more is written but the close: the peer closed first, a violation was read, or our
  // close is out. A message queued now would stand before the close for good.
  bool Closed() const { return peerClosed_ || failing_ || closeSent_; }

  void WakeIfLow() {
    if (waiter_ && Low(o_)) {
      Wake(*waiter_);
      waiter_.reset();
    }
  }

  // Each binary message is decided at its first header, before any of its payload is read: with
  // a route it goes to the partner; without one the server decides (one that would be refused
  // whole is refused there, one that would be dropped is skipped unread). A partner that takes
  // pieces gets the message streamed as it arrives; another (a link to another node) gets it
  // whole.
  void GateBinary() {
    reader_.SetBinaryGate([this] { return AdmitBinary(); });
  }
  ws::Reader::Admit AdmitBinary() {
    std::shared_ptr<Peer> to = route_;
    if (!to) {
      switch (server_.PeerBinaryHeader(Id(), to)) {
        case BinaryStart::kRead:
          break;
        case BinaryStart::kSkip:
          return ws::Reader::Admit::kSkip;
        case BinaryStart::kRefused:
          refused_ = true;
          refusedAtHeader_ = true;
          return ws::Reader::Admit::kSkip;
      }
      if (!to) return ws::Reader::Admit::kSkip;
    }
    target_ = std::move(to);
    // A message in one frame of at most kStoreBelow bytes is passed on whole: the partner never
    // holds part of it when this sender goes away in its middle (a viewer's input and file
    // chunks are all that small); larger ones stream.
    const bool small = reader_.FrameFinal() && reader_.FrameLength() <= kStoreBelow;
    return target_->TakesPieces() && !small ? ws::Reader::Admit::kStream
                                            : ws::Reader::Admit::kStore;
  }

  // Streaming: a buffer for the reader to write the next pieces into.
  void NewOutput() {
    outChunk_ = TakeChunk(reader_.OutputWanted());
    reader_.SetOutput({outChunk_.data(), outChunk_.capacity()});
  }

  // Streaming: what the reader has written goes to the partner as one piece (`end`: the last).
  void FlushPiece(bool end) {
    const std::size_t n = reader_.OutputUsed();
    if (n == 0) return;
    OutMessage piece;
    piece.kind = OutMessage::Kind::kPiece;
    piece.frameEnd = reader_.OutputAtFrameEnd();
    piece.messageEnd = end;
    outChunk_.Grow(n);
    piece.data = std::move(outChunk_);
    reader_.SetOutput({});
    if (!target_) return GiveChunk(std::move(piece.data));
    streamOpen_ = !end;
    HandOver(target_, std::move(piece));
  }

  // The message being streamed stops here: its partner, which has part of it, is told.
  void BreakTarget() {
    if (target_ && streamOpen_) {
      Post(target_, [to = target_] { to->BreakStream(); });
    }
    streamOpen_ = false;
    target_.reset();
    reader_.SetOutput({});
    outChunk_.Clear();
  }

  template <class Task>
  static void Post(const std::shared_ptr<Peer>& to, Task&& task) {
    net::post(to->GetExecutor(), std::forward<Task>(task));
  }

  bool CanRead() const {
    if (ended_) return false;
    // After a violation our side has ended too: the peer's end of the stream is still read, so
    // that the connection goes as soon as the peer has gone.
    if (draining_) return true;
    if (failing_) return false;
    if (closing_) return true;
    return !paused_ && !refused_ && !closeRequested_;
  }

  void Read() {
    if (reading_ || !CanRead()) return;
    Pump();
  }

  // Reads and handles what the socket has, up to kReadsPerTurn reads; then waits for more, or
  // lets the other connections of the thread go first. Messages are handled in the order read;
  // one that went through the matcher ends the turn.
  void Pump() {
    for (int round = 0; round < kReadsPerTurn; ++round) {
      if (!CanRead()) return;
      if (held_.size() > 0 && !draining_) {
        // Bytes read earlier and not yet used (kept across a pause, or sent with the request).
        ws::Bytes held = std::move(held_);
        std::span<const std::uint8_t> rest(held.data(), held.size());
        if (!Process(rest)) {
          if (!rest.empty() && CanKeep()) held_.Append(rest.data(), rest.size());
          if (yield_) break;
          return;
        }
        continue;
      }
      if (!closing_ && !draining_ && !PrepareOutput()) return;
      const std::span<std::uint8_t> room =
          closing_ || draining_ ? std::span<std::uint8_t>() : reader_.PayloadRoom();
      const bool direct = room.size() >= kDirectRead;
      std::uint8_t* target = direct ? room.data() : Scratch();
      const std::size_t capacity = direct ? room.size() : kScratchSize;
      std::size_t n = 0;
      error_code ec;
      // While draining, bytes are read (TLS: decrypted, so that the peer's close_notify ends the
      // stream) and dropped.
      const Wait wait = stream_.TryRead(target, capacity, n, ec);
      if (ec) return OnReadError(ec);
      if (n == 0) {
        // Nothing more for now: what arrived of a streamed message goes on at once.
        FlushPiece(false);
        if (!CanRead()) return;
        reading_ = true;
        return stream_.async_wait(wait, [self = this->shared_from_this()](const error_code& e) {
          self->reading_ = false;
          if (e) return self->OnReadError(e);
          self->Pump();
        });
      }
      Heard();
      if (draining_) continue;
      if (direct) {
        if (!Handle(reader_.CommitPayload(n))) {
          if (yield_) break;
          return;
        }
        continue;
      }
      std::span<const std::uint8_t> rest(target, n);
      if (!Process(rest)) {
        if (!rest.empty() && CanKeep()) held_.Append(rest.data(), rest.size());
        if (yield_) break;
        return;
      }
    }
    // The continuation is posted after whatever the matcher's actions posted, so they take
    // effect (a route, a "connected" ahead of the first forwarded message) before the next
    // message of this connection is read.
    yield_ = false;
    FlushPiece(false);
    if (!CanRead()) return;
    reading_ = true;
    net::post(GetExecutor(), [self = this->shared_from_this()] {
      self->reading_ = false;
      self->Pump();
    });
  }

  // Streaming: the output has room before the next read (a full one goes to the partner first).
  // False when that paused reading.
  bool PrepareOutput() {
    if (!reader_.Streaming()) return true;
    if (outChunk_.capacity() != 0 && reader_.OutputUsed() < outChunk_.capacity()) return true;
    FlushPiece(false);
    if (!CanRead()) return false;
    NewOutput();
    return true;
  }

  // Unused bytes are kept for later unless the connection is failing.
  bool CanKeep() const { return !ended_ && !failing_ && !draining_; }

  // Feeds `bytes` to the reader and handles its events; false when reading stops here (`bytes`
  // then starts with what was not used).
  bool Process(std::span<const std::uint8_t>& bytes) {
    while (!bytes.empty()) {
      if (!Handle(reader_.Consume(bytes))) return false;
      // Refused at a binary message's header: nothing more is read until the relay's close is
      // out; then, as after any refusal, the rest is read for the peer's close or end of stream.
      if (!CanRead()) return false;
    }
    return true;
  }

  // Carries out one event of the reader; false when reading stops for now.
  bool Handle(const ws::Reader::Event& event) {
    using Kind = ws::Reader::Kind;
    switch (event.kind) {
      case Kind::kNeedMore:
      case Kind::kPong:
        return true;
      case Kind::kText: {
        if (!TakeTextToken()) {
          // Over its budget of texts: refused here, without the matcher's lock.
          server_.Log("conn=" + std::to_string(Id()) + " event=text-rate");
          OutMessage refusal;
          refusal.text = R"({"code":"rateLimited","type":"error"})";
          Enqueue(std::move(refusal));
          CloseAfterDrain(ws::close_code::kPolicy);
          refused_ = true;
          reader_.TakeMessage();
          return false;
        }
        if (!server_.PeerText(Id(), reader_.Message())) refused_ = true;
        reader_.TakeMessage();  // an idle connection keeps no message buffer
        yield_ = true;
        return false;
      }
      case Kind::kBinary:
        if (!route_) yield_ = true;
        Forward(reader_.TakeMessage());
        return !yield_ && CanRead();
      case Kind::kOutputFull:
        FlushPiece(false);
        if (!CanRead()) return false;
        NewOutput();
        return true;
      case Kind::kStreamEnd:
        FlushPiece(true);
        worker_.forwardedMessages.fetch_add(1, std::memory_order_relaxed);
        worker_.forwardedBytes.fetch_add(reader_.StreamedSize(), std::memory_order_relaxed);
        target_.reset();
        if (!route_) yield_ = true;
        return !yield_ && CanRead();
      case Kind::kPing:
        if (closing_) return true;  // our close is out: nothing but the peer's close matters
        pong_.assign(reader_.Control());
        pongDue_ = true;
        Write();
        return CanRead();
      case Kind::kClose:
        if (closing_) {
          Teardown();
          return false;
        }
        // The peer closes first: its close is echoed once what is being written is out; the
        // rest of the queue is dropped. A close cannot follow a frame cut short: then the
        // connection just ends.
        BreakTarget();
        if (OutputMidFrame()) {
          End();
          return false;
        }
        peerClosed_ = true;
        closeRequested_ = true;
        closeCode_ = event.closeCode;
        closeReason_.assign(reader_.Control());
        DropQueue();
        Write();
        return false;
      case Kind::kTooLarge:
        // The matcher answers with its error and the close. The frame's payload (which may be
        // far larger than anything the peer will send) is not waited for: once the close is out
        // the connection ends as after a violation.
        refused_ = true;
        refusedAtHeader_ = true;
        BreakTarget();
        server_.PeerOversize(Id(), event.text);
        return false;
      case Kind::kError:
        server_.Log("conn=" + std::to_string(Id()) + " event=protocol-error error=" +
                    std::string(event.what));
        BreakTarget();
        if (closing_) {
          // Our close is already out and no second one follows: the handshake ends here, and
          // the peer's end of the stream is read as after any other violation.
          Teardown();
          return false;
        }
        if (OutputMidFrame()) {
          End();
          return false;
        }
        failing_ = true;
        closeRequested_ = true;
        closeCode_ = event.closeCode;
        closeReason_.clear();
        DropQueue();
        held_.Clear();
        Write();
        return false;
    }
    return false;
  }

  void OnReadError(const error_code& ec) {
    if (draining_ || closing_) return End();  // the peer's end of the stream, as expected
    if (ec != net::error::eof && ec != net::error::operation_aborted &&
        ec != net::error::bad_descriptor) {
      server_.Log("conn=" + std::to_string(Id()) + " event=read-error error=" + ec.message());
    }
    End();
  }

  // A token bucket of texts per connection: kTextBurst at once, kTextsPerSecond after that. A
  // device sends a handful of texts per pairing; the relay's answers never need more.
  bool TakeTextToken() {
    const Millis now = NowMs();
    if (textRefill_ == 0) textRefill_ = now;
    const Millis earned = (now - textRefill_) * kTextsPerSecond / 1000;
    if (earned > 0) {
      textTokens_ = static_cast<std::uint16_t>(
          std::min<Millis>(kTextBurst, textTokens_ + earned));
      textRefill_ += earned * 1000 / kTextsPerSecond;
    }
    if (textTokens_ >= kTextBurst) textRefill_ = now;
    if (textTokens_ == 0) return false;
    --textTokens_;
    return true;
  }

  void Heard() {
    lastHeard_ = NowMs();
    pingSent_ = false;
  }

  // A whole binary message goes to the partner decided at its header.
  void Forward(ws::Bytes data) {
    const std::shared_ptr<Peer> to = std::move(target_);
    if (!to) return;
    worker_.forwardedMessages.fetch_add(1, std::memory_order_relaxed);
    worker_.forwardedBytes.fetch_add(data.size(), std::memory_order_relaxed);
    OutMessage message;
    message.kind = OutMessage::Kind::kBinary;
    message.data = std::move(data);
    HandOver(to, std::move(message));
  }

  // One handoff of a message or a piece: it goes into the partner's queue on the partner's
  // thread (directly when that is this thread). Posts from one thread run in order, so the
  // partner's queue keeps the order in which this connection read them.
  void HandOver(const std::shared_ptr<Peer>& to, OutMessage message) {
    // The partner's window full: this sender waits until the partner's queue has drained to
    // half. The relay-wide budget or the share of the partner's address used up: it waits until
    // they have room again, however short the partner's own queue is.
    const bool full = to->Reserve(message.Size(), o_);
    const bool noRoom = !full && (server_.OverBudget() || to->Saturated());
    auto deliver = [](Peer& peer, OutMessage& m) {
      if (m.kind == OutMessage::Kind::kPiece) {
        peer.DeliverPiece(std::move(m));
      } else {
        peer.Deliver(std::move(m.data));
      }
    };
    if (to->GetExecutor() == GetExecutor()) {
      deliver(*to, message);
    } else {
      net::post(to->GetExecutor(), [to, deliver, message = std::move(message)]() mutable {
        deliver(*to, message);
      });
    }
    if (!full && !noRoom) return;
    paused_ = true;
    stalledOn_ = to->Id();
    if (noRoom) {
      heldForRoom_ = true;
      return server_.WaitForRoom(Waiter{&worker_, Id()});
    }
    // Backpressure: stop reading until the partner's queue has drained to half. The partner
    // learns of the waiter after the message that filled its queue.
    net::post(to->GetExecutor(), [to, waiter = Waiter{&worker_, Id()}] { to->WatchLow(waiter); });
  }

  void ResumeReading() {
    paused_ = false;
    heldForRoom_ = false;
    stalledOn_ = 0;
    Read();
  }

  // Resumes a paused partner on its own thread, if it is still there.
  void Wake(Waiter waiter) {
    net::post(waiter.worker->ioc, [worker = waiter.worker, id = waiter.id, from = Id()] {
      const auto it = worker->sessions.find(id);
      if (it != worker->sessions.end()) it->second->Resume(from);
    });
  }

  // A session is destroyed on its own thread: a route to another worker's session is let go
  // there.
  void DropRoute() {
    if (!route_) return;
    if (route_->GetExecutor() == GetExecutor()) {
      route_.reset();
    } else {
      const Executor there = route_->GetExecutor();
      net::post(there, [gone = std::move(route_)] {});
    }
  }

  // Messages not yet being written are given up (the connection is closing on the peer's word
  // or on a violation); the ones being written finish first.
  void DropQueue() {
    auto drop = [this](OutQueue& queue, std::size_t keep) {
      OutQueue kept;
      while (!queue.empty()) {
        if (keep > 0) {
          kept.push_back(std::move(queue.front()));
          --keep;
        } else {
          Released(queue.front().Size());
          Account(-static_cast<std::ptrdiff_t>(queue.front().Size()));
          if (queue.front().kind == OutMessage::Kind::kPiece) GiveChunk(std::move(queue.front().data));
        }
        queue.pop_front();
      }
      queue = std::move(kept);
    };
    drop(queue_, writing_ && out_ == Out::kMessage ? 1 : 0);
    drop(pieces_, writing_ && out_ == Out::kPieces ? inFlight_ : 0);
    WakeIfLow();
  }

  // Bytes queued here, counted relay-wide and for this connection's address.
  void Account(std::ptrdiff_t bytes) {
    server_.Queued(bytes);
    if (prefixQueue_) {
      prefixQueue_->fetch_add(static_cast<std::size_t>(bytes), std::memory_order_relaxed);
    }
  }

  // The connection has ended: what it still had queued leaves the relay-wide count.
  void DiscardQueues() {
    std::size_t bytes = 0;
    for (OutQueue* queue : {&queue_, &pieces_}) {
      for (std::size_t i = 0; i < queue->size(); ++i) bytes += (*queue)[i].Size();
      queue->clear();
    }
    Account(-static_cast<std::ptrdiff_t>(bytes));
  }

  // What has gone out, or is going out now, ends inside a frame: nothing else may follow.
  bool OutputMidFrame() const {
    if (writing_ && out_ == Out::kPieces) return !pieces_[inFlight_ - 1].frameEnd;
    return outMidFrame_;
  }

  // One control frame (payload at most 125 bytes) into control_.
  void BuildControl(ws::Opcode opcode, std::string_view payload) {
    std::uint8_t head[10];
    const std::size_t n = ws::WriteFrameHeader(head, opcode, payload.size());
    control_.assign(reinterpret_cast<const char*>(head), n);
    control_.append(payload);
  }

  void Write() {
    if (writing_ || ended_) return;
    auto handler = [self = this->shared_from_this()](const error_code& ec, std::size_t n) {
      self->OnWrite(ec, n);
    };
    if (closeSent_) return;
    // Control frames go between frames only, never inside one that is part-way out.
    if (pongDue_ && !failing_ && !outMidFrame_) {
      pongDue_ = false;
      BuildControl(ws::Opcode::kPong, pong_);
      pong_ = std::string();
      return StartWrite(Out::kControl, net::buffer(control_), std::move(handler));
    }
    if (pingDue_ && !closeRequested_ && !outMidFrame_) {
      pingDue_ = false;
      BuildControl(ws::Opcode::kPing, {});
      return StartWrite(Out::kControl, net::buffer(control_), std::move(handler));
    }
    if (!failing_ && !peerClosed_) {
      // A streamed message part-way out goes on before anything else; otherwise what was queued
      // first goes first.
      const bool piecesFirst =
          !pieces_.empty() &&
          (outMidMessage_ || queue_.empty() || pieces_.front().order < queue_.front().order);
      if (piecesFirst) return WritePieces(std::move(handler));
      if (!queue_.empty() && !outMidMessage_) {
        OutMessage& front = queue_.front();
        const bool binary = front.kind == OutMessage::Kind::kBinary;
        const std::size_t size = front.Size();
        const std::size_t n =
            ws::WriteFrameHeader(head_, binary ? ws::Opcode::kBinary : ws::Opcode::kText, size);
        const std::array<net::const_buffer, 2> buffers = {
            net::const_buffer(head_, n),
            binary ? net::const_buffer(front.data.data(), size) : net::buffer(front.text)};
        return StartWrite(Out::kMessage, buffers, std::move(handler));
      }
    }
    if (closeRequested_ && queue_.empty() && pieces_.empty() && !outMidFrame_ &&
        (!outMidMessage_ || failing_ || peerClosed_)) {
      std::string payload;
      if (closeCode_ != 0) {
        payload.push_back(static_cast<char>(closeCode_ >> 8));
        payload.push_back(static_cast<char>(closeCode_ & 0xff));
        payload += closeReason_;
      }
      closeReason_ = std::string();
      BuildControl(ws::Opcode::kClose, payload);
      return StartWrite(Out::kClose, net::buffer(control_), std::move(handler));
    }
  }

  // Consecutive pieces in one write, up to the end of a message where a text queued before the
  // next message waits.
  template <class Handler>
  void WritePieces(Handler&& handler) {
    std::array<net::const_buffer, kGather> buffers{};
    std::size_t k = 0;
    while (k < pieces_.size() && k < kGather) {
      const OutMessage& piece = pieces_[k];
      if (k > 0 && pieces_[k - 1].messageEnd && !queue_.empty() &&
          queue_.front().order < piece.order) {
        break;
      }
      buffers[k] = net::const_buffer(piece.data.data(), piece.data.size());
      ++k;
    }
    inFlight_ = k;
    StartWrite(Out::kPieces, buffers, std::forward<Handler>(handler));
  }

  template <class Buffers, class Handler>
  void StartWrite(Out what, const Buffers& buffers, Handler&& handler) {
    writing_ = true;
    out_ = what;
    writeProgress_ = 0;
    // Large writes go out in large system calls; the progress of each one is noted for the
    // minimum-progress rule.
    net::async_write(
        stream_, buffers,
        [this](const error_code& ec, std::size_t done) -> std::size_t {
          writeProgress_ = done;
          return ec ? 0 : kWriteStep;
        },
        std::forward<Handler>(handler));
  }

  void OnWrite(const error_code& ec, std::size_t n) {
    writing_ = false;
    writeProgress_ = 0;
    written_ += n;
    const Out what = std::exchange(out_, Out::kNone);
    if (ended_) {
      DiscardQueues();
      return;
    }
    if (ec) {
      End();
      return;
    }
    switch (what) {
      case Out::kMessage:
        Released(queue_.front().Size());
        Account(-static_cast<std::ptrdiff_t>(queue_.front().Size()));
        queue_.pop_front();
        WakeIfLow();
        break;
      case Out::kPieces:
        for (std::size_t i = 0; i < inFlight_; ++i) {
          OutMessage& piece = pieces_.front();
          outMidFrame_ = !piece.frameEnd;
          outMidMessage_ = !piece.messageEnd;
          Released(piece.Size());
          Account(-static_cast<std::ptrdiff_t>(piece.Size()));
          GiveChunk(std::move(piece.data));
          pieces_.pop_front();
        }
        inFlight_ = 0;
        WakeIfLow();
        break;
      case Out::kControl:
        control_ = std::string();
        break;
      case Out::kClose:
        control_ = std::string();
        closeSent_ = true;
        if (peerClosed_ || failing_ || refusedAtHeader_) {
          Teardown();
        } else {
          // Our close goes first: what the peer still sends is skipped until its close.
          closing_ = true;
          closeStart_ = NowMs();
          BreakTarget();
          reader_.Discard();
          Read();
        }
        return;
      case Out::kNone:
        break;
    }
    Write();
  }

  // The closing handshake is over or given up: our side of the stream ends, and the peer's
  // bytes are read and dropped until its end (so that nothing unread turns our close into a
  // reset), bounded by the close deadline.
  void Teardown() {
    if (draining_ || ended_) return;
    closing_ = false;
    draining_ = true;
    closeStart_ = NowMs();
    held_.Clear();
    stream_.ShutdownSend();
    Read();
  }

  void End() {
    if (ended_) return;
    const auto keep = this->shared_from_this();
    ended_ = true;
    // A write in flight still points into the queues' fronts; OnWrite empties them instead.
    if (!writing_) DiscardQueues();
    held_.Clear();
    BreakTarget();
    error_code ignored;
    TcpSocketOf(stream_).close(ignored);
    DropRoute();
    if (waiter_) {
      Wake(*waiter_);
      waiter_.reset();
    }
    if (opened_) {
      worker_.sessions.erase(Id());
      server_.PeerEnded(Id());
      server_.AddressEnded(ip_);
    }
  }

  SessionOwner& server_;
  Worker& worker_;
  Stream stream_;
  const ServerOptions& o_;
  net::ip::address ip_;
  std::string address_;  // AddressKey of the peer
  std::shared_ptr<std::atomic<std::size_t>> prefixQueue_;  // bytes queued for its address
  ws::Reader reader_;
  ws::Bytes held_;  // bytes read and not yet handed to the reader
  OutQueue queue_;   // texts and whole messages
  OutQueue pieces_;  // pieces of messages streamed by the partner
  std::string control_;      // the control frame being written
  std::string pong_;         // payload of the ping to answer
  std::string closeReason_;  // the peer's reason, echoed with its code
  std::shared_ptr<Peer> route_;   // the partner while paired and known to be
  std::shared_ptr<Peer> target_;  // where the binary message being read goes
  ws::Bytes outChunk_;            // streaming: the buffer the reader writes the next piece into
  std::optional<Waiter> waiter_;  // the partner paused until this queue drains to half
  ConnId stalledOn_ = 0;          // while paused: the session whose queue is full
  std::uint64_t lastOrder_ = 0;     // the order of the last message or piece queued
  std::uint64_t written_ = 0;       // bytes written, all writes finished
  std::size_t writeProgress_ = 0;   // bytes of the write under way already out
  std::uint64_t progressMark_ = 0;  // written_ when the current progress period began
  Millis progressSince_ = NowMs();
  std::size_t inFlight_ = 0;        // pieces in the write under way
  Millis closeStart_ = 0;
  Millis lastHeard_ = NowMs();
  Millis textRefill_ = 0;  // when the text bucket was last topped up (0: never used)
  std::uint16_t textTokens_ = kTextBurst;
  std::uint16_t closeCode_ = ws::close_code::kNormal;
  std::uint8_t head_[10];  // header of the message being written
  Out out_ = Out::kNone;
  bool opened_ = false;
  bool reading_ = false;  // a wait or a continuation of Pump is pending
  bool writing_ = false;
  bool paused_ = false;
  bool heldForRoom_ = false;  // paused_ by the relay-wide budget or an address share
  bool refused_ = false;  // told to close: nothing more is read; the close is on its way
  bool closeRequested_ = false;
  bool closeSent_ = false;
  bool closing_ = false;     // our close is out; waiting for the peer's
  bool draining_ = false;    // our side has ended; waiting for the peer's end
  bool peerClosed_ = false;  // the peer's close came first
  bool failing_ = false;     // a violation: our close goes out, then the connection ends
  // A message refused at its header (over its limit, or binary before pairing): likewise, after
  // the relay's error, without waiting for the payload.
  bool refusedAtHeader_ = false;
  bool ended_ = false;
  bool streamOpen_ = false;     // pieces of a message went to target_, its last one has not
  bool outMidMessage_ = false;  // what went out ends inside a streamed message
  bool outMidFrame_ = false;    // ... inside one of its frames
  bool pingSent_ = false;  // a ping went out since the peer was last heard
  bool pingDue_ = false;
  bool yield_ = false;  // a message went through the matcher: Pump lets its actions run first
  bool pongDue_ = false;
};

}  // namespace ov::relay::detail
