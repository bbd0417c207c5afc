#include "relay/ws_session.h"

#include <algorithm>
#include <array>

#include <boost/asio/write.hpp>

namespace ov::relay::detail {

namespace {

std::uint8_t* Scratch() {
  thread_local std::uint8_t scratch[kScratchSize];
  return scratch;
}

}  // namespace

PlainSocket::PlainSocket(Socket socket) : socket_(std::move(socket)) {
  error_code ignored;
  socket_.non_blocking(true, ignored);
}

PlainSocket::Wait PlainSocket::TryRead(unsigned char* data, std::size_t size, std::size_t& n,
                                       error_code& ec) {
  n = socket_.read_some(net::buffer(data, size), ec);
  if (ec == net::error::would_block || ec == net::error::try_again) {
    ec = {};
    return Wait::kReadable;
  }
  return Wait::kNone;
}

void PlainSocket::ShutdownSend() {
  error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_send, ignored);
}

template <class Stream>
WsSession<Stream>::WsSession(SessionOwner& server, Worker& worker, Stream&& stream, ConnId id)
    : Peer(id, worker.ioc.get_executor()),
      server_(server),
      worker_(worker),
      stream_(std::move(stream)),
      o_(server.Options()),
      reader_({kTextLimit, kBinaryLimit}) {
  GateBinary();
}

template <class Stream>
void WsSession<Stream>::Start(const net::ip::address& ip, const std::string& address,
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

template <class Stream>
void WsSession<Stream>::Enqueue(OutMessage message) {
  if (ended_ || Closed()) return;
  Reserve(message.Size(), o_);
  message.order = ++lastOrder_;
  Account(static_cast<std::ptrdiff_t>(message.Size()));
  queue_.push_back(std::move(message));
  Write();
}

template <class Stream>
void WsSession<Stream>::Deliver(ws::Bytes data) {
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

template <class Stream>
bool WsSession<Stream>::Saturated() const {
  return prefixQueue_ &&
         prefixQueue_->load(std::memory_order_relaxed) >= server_.PrefixBudgetBytes();
}

template <class Stream>
void WsSession<Stream>::DeliverPiece(OutMessage piece) {
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

template <class Stream>
void WsSession<Stream>::BreakStream() {
  if (ended_ || (!outMidMessage_ && pieces_.empty())) return;
  server_.Log("conn=" + std::to_string(Id()) + " event=partner-message-broken");
  End();
}

template <class Stream>
void WsSession<Stream>::CloseAfterDrain(std::uint16_t code) {
  if (closeRequested_ || ended_) return;
  closeRequested_ = true;
  closeCode_ = code;
  Write();
}

template <class Stream>
void WsSession<Stream>::Route(std::shared_ptr<Peer> partner) {
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

template <class Stream>
void WsSession<Stream>::WatchLow(Waiter waiter) {
  if (ended_ || Low(o_)) return Wake(waiter);
  waiter_ = waiter;
}

template <class Stream>
void WsSession<Stream>::Resume(ConnId from) {
  if (paused_ && stalledOn_ == from) ResumeReading();
}

template <class Stream>
void WsSession<Stream>::ResumeForRoom() {
  if (!paused_ || !heldForRoom_) return;
  if (route_ && route_->Id() == stalledOn_ &&
      (server_.OverBudget() || route_->Saturated())) {
    return server_.WaitForRoom(Waiter{&worker_, Id()});
  }
  heldForRoom_ = false;
  ResumeReading();
}

template <class Stream>
void WsSession<Stream>::Abort() {
  server_.Log("conn=" + std::to_string(Id()) + " event=abort");
  End();
}

template <class Stream>
void WsSession<Stream>::Check(Millis now, Millis idleTimeout, Millis writeTimeout) {
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

template <class Stream>
void WsSession<Stream>::Release() {
  route_.reset();
  target_.reset();
  waiter_.reset();
}

template <class Stream>
void WsSession<Stream>::WakeIfLow() {
  if (waiter_ && Low(o_)) {
    Wake(*waiter_);
    waiter_.reset();
  }
}

template <class Stream>
ws::Reader::Admit WsSession<Stream>::AdmitBinary() {
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

template <class Stream>
void WsSession<Stream>::NewOutput() {
  outChunk_ = TakeChunk(reader_.OutputWanted());
  reader_.SetOutput({outChunk_.data(), outChunk_.capacity()});
}

template <class Stream>
void WsSession<Stream>::FlushPiece(bool end) {
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

template <class Stream>
void WsSession<Stream>::BreakTarget() {
  if (target_ && streamOpen_) {
    Post(target_, [to = target_] { to->BreakStream(); });
  }
  streamOpen_ = false;
  target_.reset();
  reader_.SetOutput({});
  outChunk_.Clear();
}

template <class Stream>
bool WsSession<Stream>::CanRead() const {
  if (ended_) return false;
  // After a violation our side has ended too: the peer's end of the stream is still read, so
  // that the connection goes as soon as the peer has gone.
  if (draining_) return true;
  if (failing_) return false;
  if (closing_) return true;
  return !paused_ && !refused_ && !closeRequested_;
}

template <class Stream>
void WsSession<Stream>::Read() {
  if (reading_ || !CanRead()) return;
  Pump();
}

template <class Stream>
void WsSession<Stream>::Pump() {
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

template <class Stream>
bool WsSession<Stream>::PrepareOutput() {
  if (!reader_.Streaming()) return true;
  if (outChunk_.capacity() != 0 && reader_.OutputUsed() < outChunk_.capacity()) return true;
  FlushPiece(false);
  if (!CanRead()) return false;
  NewOutput();
  return true;
}

template <class Stream>
bool WsSession<Stream>::Process(std::span<const std::uint8_t>& bytes) {
  while (!bytes.empty()) {
    if (!Handle(reader_.Consume(bytes))) return false;
    // Refused at a binary message's header: nothing more is read until the relay's close is
    // out; then, as after any refusal, the rest is read for the peer's close or end of stream.
    if (!CanRead()) return false;
  }
  return true;
}

template <class Stream>
bool WsSession<Stream>::Handle(const ws::Reader::Event& event) {
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

template <class Stream>
void WsSession<Stream>::OnReadError(const error_code& ec) {
  if (draining_ || closing_) return End();  // the peer's end of the stream, as expected
  if (ec != net::error::eof && ec != net::error::operation_aborted &&
      ec != net::error::bad_descriptor) {
    server_.Log("conn=" + std::to_string(Id()) + " event=read-error error=" + ec.message());
  }
  End();
}

template <class Stream>
bool WsSession<Stream>::TakeTextToken() {
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

template <class Stream>
void WsSession<Stream>::Heard() {
  lastHeard_ = NowMs();
  pingSent_ = false;
}

template <class Stream>
void WsSession<Stream>::Forward(ws::Bytes data) {
  const std::shared_ptr<Peer> to = std::move(target_);
  if (!to) return;
  worker_.forwardedMessages.fetch_add(1, std::memory_order_relaxed);
  worker_.forwardedBytes.fetch_add(data.size(), std::memory_order_relaxed);
  OutMessage message;
  message.kind = OutMessage::Kind::kBinary;
  message.data = std::move(data);
  HandOver(to, std::move(message));
}

template <class Stream>
void WsSession<Stream>::HandOver(const std::shared_ptr<Peer>& to, OutMessage message) {
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

template <class Stream>
void WsSession<Stream>::ResumeReading() {
  paused_ = false;
  heldForRoom_ = false;
  stalledOn_ = 0;
  Read();
}

template <class Stream>
void WsSession<Stream>::Wake(Waiter waiter) {
  net::post(waiter.worker->ioc, [worker = waiter.worker, id = waiter.id, from = Id()] {
    const auto it = worker->sessions.find(id);
    if (it != worker->sessions.end()) it->second->Resume(from);
  });
}

template <class Stream>
void WsSession<Stream>::DropRoute() {
  if (!route_) return;
  if (route_->GetExecutor() == GetExecutor()) {
    route_.reset();
  } else {
    const Executor there = route_->GetExecutor();
    net::post(there, [gone = std::move(route_)] {});
  }
}

template <class Stream>
void WsSession<Stream>::DropQueue() {
  auto drop = [this](OutQueue& queue, std::size_t keep) {
    OutQueue kept;
    while (!queue.empty()) {
      if (keep > 0) {
        kept.push_back(std::move(queue.front()));
        --keep;
      } else {
        Released(queue.front().Size());
        Account(-static_cast<std::ptrdiff_t>(queue.front().Size()));
        if (queue.front().kind == OutMessage::Kind::kPiece) {
          GiveChunk(std::move(queue.front().data));
        }
      }
      queue.pop_front();
    }
    queue = std::move(kept);
  };
  drop(queue_, writing_ && out_ == Out::kMessage ? 1 : 0);
  drop(pieces_, writing_ && out_ == Out::kPieces ? inFlight_ : 0);
  WakeIfLow();
}

template <class Stream>
void WsSession<Stream>::Account(std::ptrdiff_t bytes) {
  server_.Queued(bytes);
  if (prefixQueue_) {
    prefixQueue_->fetch_add(static_cast<std::size_t>(bytes), std::memory_order_relaxed);
  }
}

template <class Stream>
void WsSession<Stream>::DiscardQueues() {
  std::size_t bytes = 0;
  for (OutQueue* queue : {&queue_, &pieces_}) {
    for (std::size_t i = 0; i < queue->size(); ++i) bytes += (*queue)[i].Size();
    queue->clear();
  }
  Account(-static_cast<std::ptrdiff_t>(bytes));
}

template <class Stream>
bool WsSession<Stream>::OutputMidFrame() const {
  if (writing_ && out_ == Out::kPieces) return !pieces_[inFlight_ - 1].frameEnd;
  return outMidFrame_;
}

template <class Stream>
void WsSession<Stream>::BuildControl(ws::Opcode opcode, std::string_view payload) {
  std::uint8_t head[10];
  const std::size_t n = ws::WriteFrameHeader(head, opcode, payload.size());
  control_.assign(reinterpret_cast<const char*>(head), n);
  control_.append(payload);
}

template <class Stream>
void WsSession<Stream>::Write() {
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

template <class Stream>
template <class Handler>
void WsSession<Stream>::WritePieces(Handler&& handler) {
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

template <class Stream>
template <class Buffers, class Handler>
void WsSession<Stream>::StartWrite(Out what, const Buffers& buffers, Handler&& handler) {
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

template <class Stream>
void WsSession<Stream>::OnWrite(const error_code& ec, std::size_t n) {
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

template <class Stream>
void WsSession<Stream>::Teardown() {
  if (draining_ || ended_) return;
  closing_ = false;
  draining_ = true;
  closeStart_ = NowMs();
  held_.Clear();
  stream_.ShutdownSend();
  Read();
}

template <class Stream>
void WsSession<Stream>::End() {
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

template class WsSession<PlainSocket>;
template class WsSession<TlsSocket>;

}  // namespace ov::relay::detail
