// What the relay's connections share: the messages and pieces queued for writing, the buffers
// pieces are read into, the worker threads, and Peer, the face one connection shows the others
// and the server. A connection reaches the server only through SessionOwner.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/error.hpp>

#include "relay/server_options.h"
#include "relay/ws_frame.h"

namespace ov::relay::detail {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using error_code = boost::beast::error_code;
// Each worker thread runs one io_context: its own executor type, not the type-erased default,
// keeps the per-operation cost of every socket down.
using Executor = net::io_context::executor_type;
using Socket = net::basic_stream_socket<tcp, Executor>;

inline Millis NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// One message waiting to be written: text made by the relay, a peer's message moved in whole, or
// a piece of a peer's message streamed as it arrives (the server's frames, header and payload).
struct OutMessage {
  enum class Kind : std::uint8_t { kText, kBinary, kPiece };
  Kind kind = Kind::kText;
  bool frameEnd = true;    // kPiece: its last byte ends a frame
  bool messageEnd = true;  // kPiece: its last byte ends the message
  std::uint64_t order = 0;  // when it was queued, among the messages of its connection
  std::string text;
  ws::Bytes data;
  std::size_t Size() const { return kind == Kind::kText ? text.size() : data.size(); }
};

// The buffers streamed pieces are read into: kChunkSize each, kept per thread for reuse (a
// piece is freed on its receiver's thread) so that forwarding a large message costs no
// allocation and no fresh pages once the pool is warm. A small message gets a buffer of its size.
inline constexpr std::size_t kChunkSize = 65536;
inline constexpr std::size_t kChunkPool = 16;

// A buffer for `wanted` bytes of a streamed piece (kChunkSize at most, from this thread's pool
// when that large), and its return to the pool of the thread that wrote it out.
ws::Bytes TakeChunk(std::size_t wanted);
void GiveChunk(ws::Bytes chunk);

// The outgoing queue of a session. While empty it holds no memory (a std::deque allocates its
// first block when constructed), since most connections are idle most of the time.
class OutQueue {
 public:
  bool empty() const { return !messages_; }
  std::size_t size() const { return messages_ ? messages_->size() : 0; }
  OutMessage& front() { return messages_->front(); }
  OutMessage& operator[](std::size_t i) { return (*messages_)[i]; }
  const OutMessage& operator[](std::size_t i) const { return (*messages_)[i]; }
  void push_back(OutMessage message) {
    if (!messages_) messages_ = std::make_unique<std::deque<OutMessage>>();
    messages_->push_back(std::move(message));
  }
  void pop_front() {
    messages_->pop_front();
    if (messages_->empty()) messages_.reset();
  }
  void clear() { messages_.reset(); }

 private:
  std::unique_ptr<std::deque<OutMessage>> messages_;  // never holds an empty deque
};

class Peer;

// One thread of the server: its io_context, the WebSocket sessions it serves, its periodic
// check and its share of the forwarding counters.
struct Worker {
  Worker(std::size_t position, int concurrencyHint) : index(position), ioc(concurrencyHint) {}
  const std::size_t index;
  net::io_context ioc;
  net::steady_timer tick{ioc};
  std::unordered_map<ConnId, std::shared_ptr<Peer>> sessions;  // touched by this thread only
  std::atomic<std::uint64_t> forwardedMessages{0};
  std::atomic<std::uint64_t> forwardedBytes{0};
  std::thread thread;  // none for the first worker: it runs on the thread that calls Run
};

// A session paused by a full queue, to be resumed by the queue's owner. Found by its ID in its
// worker's table, so that no session keeps another one alive from a foreign thread.
struct Waiter {
  Worker* worker = nullptr;
  ConnId id = 0;
};

// What the server and the other sessions may ask of one WebSocket session, whatever its
// stream type. Unless said otherwise, a call is made on the session's own executor.
class Peer {
 public:
  Peer(ConnId id, Executor executor) : id_(id), executor_(executor) {}
  virtual ~Peer() = default;
  ConnId Id() const { return id_; }
  Executor GetExecutor() const { return executor_; }

  virtual void Enqueue(OutMessage message) = 0;
  // A message of the partner, whose space in the queue was reserved with Reserve.
  virtual void Deliver(ws::Bytes data) = 0;
  // True when the partner may stream its messages here as pieces (DeliverPiece) instead of
  // handing each one over whole.
  virtual bool TakesPieces() const { return false; }
  // A piece of a message streamed by the partner (reserved like a message).
  virtual void DeliverPiece(OutMessage) {}
  // The partner's message being streamed here ends without its last piece (the partner broke a
  // rule or went away mid-message): what has gone out of it cannot be finished, so this
  // connection ends too.
  virtual void BreakStream() {}
  // From any thread: the address this connection reads for has used up its share of the
  // relay's memory; whoever sends here waits, as on a full queue.
  virtual bool Saturated() const { return false; }
  virtual void CloseAfterDrain(std::uint16_t code) = 0;
  // Binary messages go straight to `partner` from now on (null: the server decides each one).
  virtual void Route(std::shared_ptr<Peer> partner) = 0;
  // `waiter` is paused until this queue has drained to half; resumes it at once if it has.
  virtual void WatchLow(Waiter waiter) = 0;
  // The queue of session `from` drained: reading goes on if it was paused for that queue.
  virtual void Resume(ConnId from) = 0;
  // The relay's memory may have room again: a session held by the relay-wide budget or by its
  // partner's address share reads on if both allow it, or waits again (SessionOwner::WaitForRoom).
  virtual void ResumeForRoom() {}
  virtual void Abort() = 0;
  // Periodic check: drops a connection whose write is stuck or that has gone silent, and pings
  // one that has been quiet for half the idle timeout.
  virtual void Check(Millis now, Millis idleTimeout, Millis writeTimeout) = 0;
  // Drops every reference to other sessions. Only while no worker runs (the server's end).
  virtual void Release() = 0;

  // From any thread: takes room in the outgoing queue for one message (the partner does so
  // before it hands the message over). True when the queue is full with it: the sender pauses.
  bool Reserve(std::size_t bytes, const ServerOptions& o) {
    const std::size_t messages = pendingMessages_.fetch_add(1, std::memory_order_relaxed) + 1;
    const std::size_t total = pendingBytes_.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    return messages >= o.queueMessages || total >= o.queueBytes;
  }

 protected:
  void Released(std::size_t bytes, std::size_t messages = 1) {
    pendingMessages_.fetch_sub(messages, std::memory_order_relaxed);
    pendingBytes_.fetch_sub(bytes, std::memory_order_relaxed);
  }
  // Credit the far end returned: false, and nothing released, when it is more than is held.
  // Only for a peer whose room nothing else releases (the check and the release are not one
  // step; reservations, which only add, may come in between).
  bool ReleaseHeld(std::size_t bytes, std::size_t messages) {
    if (messages > pendingMessages_.load(std::memory_order_relaxed) ||
        bytes > pendingBytes_.load(std::memory_order_relaxed)) {
      return false;
    }
    Released(bytes, messages);
    return true;
  }
  bool Low(const ServerOptions& o) const {
    return pendingMessages_.load(std::memory_order_relaxed) <= o.queueMessages / 2 &&
           pendingBytes_.load(std::memory_order_relaxed) <= o.queueBytes / 2;
  }

 private:
  const ConnId id_;
  const Executor executor_;
  // Messages handed over or queued and not yet written.
  std::atomic<std::size_t> pendingMessages_{0};
  std::atomic<std::size_t> pendingBytes_{0};
};

// What a connection may ask of the server (any thread unless said otherwise).
class SessionOwner {
 public:
  virtual const ServerOptions& Options() const = 0;
  // A per-connection log line "... event=KIND ...".
  virtual void Log(const std::string& line) = 0;
  virtual ConnId NextId() = 0;
  virtual bool Stopping() const = 0;
  virtual bool Draining() const = 0;
  // A connection counted against `address` at accept has ended.
  virtual void AddressEnded(const net::ip::address& address) = 0;

  // The matching calls return false when the calling connection was just told to close.
  virtual bool PeerOpened(const std::shared_ptr<Peer>& peer, const std::string& address) = 0;
  virtual bool PeerText(ConnId id, std::string_view text) = 0;
  virtual void PeerOversize(ConnId id, bool text) = 0;
  // The first header of a binary message of a connection without a route: read it (to
  // `partner`), skip it, or stop reading (refused).
  virtual BinaryStart PeerBinaryHeader(ConnId id, std::shared_ptr<Peer>& partner) = 0;
  // A whole binary message of a link without a route: where it goes, if anywhere.
  virtual std::shared_ptr<Peer> PeerBinary(ConnId id, std::size_t size, bool& open) = 0;
  virtual void PeerEnded(ConnId id) = 0;

  // Bytes queued for writing, relay-wide, and the budgets they are held to.
  virtual void Queued(std::ptrdiff_t bytes) = 0;
  virtual bool OverBudget() const = 0;
  virtual std::shared_ptr<std::atomic<std::size_t>> PrefixQueue(const std::string& address) = 0;
  virtual std::size_t PrefixBudgetBytes() const = 0;
  // `waiter` paused because the relay-wide budget or its partner's address share is used up: it
  // gets ResumeForRoom on its own thread once the relay-wide count is back under three quarters
  // of the budget, and on every tick while it waits (address shares drain without notice).
  virtual void WaitForRoom(Waiter waiter) = 0;

  // Sessions across nodes.
  virtual std::size_t ChunkFor(const std::string& node) const = 0;
  virtual bool SendToNode(const std::string& node, std::string message) = 0;
  virtual const std::string& NodeName() const = 0;
  virtual void LinkEnded(const std::string& key) = 0;

 protected:
  ~SessionOwner() = default;
};

}  // namespace ov::relay::detail
