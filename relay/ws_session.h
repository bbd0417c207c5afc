// One upgraded connection: the relay's own WebSocket framing over a socket or the TLS layer,
// with its forwarding window (binary messages stream to the partner as they arrive) and its
// budget of texts. It reaches the server only through SessionOwner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include <boost/asio/post.hpp>

#include "relay/connection.h"
#include "relay/tls_socket.h"
#include "relay/ws_frame.h"

namespace ov::relay::detail {

// The clear-text transport of an upgraded connection, with the non-blocking calls of TlsSocket.
class PlainSocket {
 public:
  using executor_type = Executor;
  using Wait = TlsSocket::Wait;
  explicit PlainSocket(Socket socket);
  executor_type get_executor() { return socket_.get_executor(); }
  Socket& next_layer() { return socket_; }

  Wait TryRead(unsigned char* data, std::size_t size, std::size_t& n, error_code& ec);
  template <class Handler>
  void async_wait(Wait wait, Handler&& handler) {
    socket_.async_wait(wait == Wait::kWritable ? Socket::wait_write : Socket::wait_read,
                       std::forward<Handler>(handler));
  }
  template <class Buffers, class Handler>
  auto async_write_some(const Buffers& buffers, Handler&& handler) {
    return socket_.async_write_some(buffers, std::forward<Handler>(handler));
  }
  void ShutdownSend();

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
  WsSession(SessionOwner& server, Worker& worker, Stream&& stream, ConnId id);

  // The upgrade response has been written; `early` holds what the client sent after its request.
  // `address` (its AddressKey) counts this connection until End.
  void Start(const net::ip::address& ip, const std::string& address,
             std::span<const std::uint8_t> early);

  void Enqueue(OutMessage message) override;
  void Deliver(ws::Bytes data) override;
  bool TakesPieces() const override { return true; }
  bool Saturated() const override;
  void DeliverPiece(OutMessage piece) override;
  void BreakStream() override;
  void CloseAfterDrain(std::uint16_t code) override;
  void Route(std::shared_ptr<Peer> partner) override;
  void WatchLow(Waiter waiter) override;
  void Resume(ConnId from) override;
  void ResumeForRoom() override;
  void Abort() override;
  void Check(Millis now, Millis idleTimeout, Millis writeTimeout) override;
  void Release() override;

 private:
  // What the last write carried.
  enum class Out : std::uint8_t { kNone, kMessage, kPieces, kControl, kClose };
  // Pieces gathered into one write at most.
  static constexpr std::size_t kGather = 16;

  // Nothing more is written but the close: the peer closed first, a violation was read, or our
  // close is out. A message queued now would stand before the close for good.
  bool Closed() const { return peerClosed_ || failing_ || closeSent_; }

  void WakeIfLow();

  // Each binary message is decided at its first header, before any of its payload is read: with
  // a route it goes to the partner; without one the server decides (one that would be refused
  // whole is refused there, one that would be dropped is skipped unread). A partner that takes
  // pieces gets the message streamed as it arrives; another (a link to another node) gets it
  // whole.
  void GateBinary() {
    reader_.SetBinaryGate([this] { return AdmitBinary(); });
  }
  ws::Reader::Admit AdmitBinary();

  // Streaming: a buffer for the reader to write the next pieces into.
  void NewOutput();

  // Streaming: what the reader has written goes to the partner as one piece (`end`: the last).
  void FlushPiece(bool end);

  // The message being streamed stops here: its partner, which has part of it, is told.
  void BreakTarget();

  template <class Task>
  static void Post(const std::shared_ptr<Peer>& to, Task&& task) {
    net::post(to->GetExecutor(), std::forward<Task>(task));
  }

  bool CanRead() const;

  void Read();

  // Reads and handles what the socket has, up to kReadsPerTurn reads; then waits for more, or
  // lets the other connections of the thread go first. Messages are handled in the order read;
  // one that went through the matcher ends the turn.
  void Pump();

  // Streaming: the output has room before the next read (a full one goes to the partner first).
  // False when that paused reading.
  bool PrepareOutput();

  // Unused bytes are kept for later unless the connection is failing.
  bool CanKeep() const { return !ended_ && !failing_ && !draining_; }

  // Feeds `bytes` to the reader and handles its events; false when reading stops here (`bytes`
  // then starts with what was not used).
  bool Process(std::span<const std::uint8_t>& bytes);

  // Carries out one event of the reader; false when reading stops for now.
  bool Handle(const ws::Reader::Event& event);

  void OnReadError(const error_code& ec);

  // A token bucket of texts per connection: kTextBurst at once, kTextsPerSecond after that. A
  // device sends a handful of texts per pairing; the relay's answers never need more.
  bool TakeTextToken();

  void Heard();

  // A whole binary message goes to the partner decided at its header.
  void Forward(ws::Bytes data);

  // One handoff of a message or a piece: it goes into the partner's queue on the partner's
  // thread (directly when that is this thread). Posts from one thread run in order, so the
  // partner's queue keeps the order in which this connection read them.
  void HandOver(const std::shared_ptr<Peer>& to, OutMessage message);

  void ResumeReading();

  // Resumes a paused partner on its own thread, if it is still there.
  void Wake(Waiter waiter);

  // A session is destroyed on its own thread: a route to another worker's session is let go
  // there.
  void DropRoute();

  // Messages not yet being written are given up (the connection is closing on the peer's word
  // or on a violation); the ones being written finish first.
  void DropQueue();

  // Bytes queued here, counted relay-wide and for this connection's address.
  void Account(std::ptrdiff_t bytes);

  // The connection has ended: what it still had queued leaves the relay-wide count.
  void DiscardQueues();

  // What has gone out, or is going out now, ends inside a frame: nothing else may follow.
  bool OutputMidFrame() const;

  // One control frame (payload at most 125 bytes) into control_.
  void BuildControl(ws::Opcode opcode, std::string_view payload);

  void Write();

  // Consecutive pieces in one write, up to the end of a message where a text queued before the
  // next message waits.
  template <class Handler>
  void WritePieces(Handler&& handler);

  template <class Buffers, class Handler>
  void StartWrite(Out what, const Buffers& buffers, Handler&& handler);

  void OnWrite(const error_code& ec, std::size_t n);

  // The closing handshake is over or given up: our side of the stream ends, and the peer's
  // bytes are read and dropped until its end (so that nothing unread turns our close into a
  // reset), bounded by the close deadline.
  void Teardown();

  void End();

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

// Both transports are instantiated once, in ws_session.cc.
extern template class WsSession<PlainSocket>;
extern template class WsSession<TlsSocket>;

}  // namespace ov::relay::detail
