// One relay connection at a time: its generation number, the transport, the network and send
// threads, and the two bounded queues between them and the UI thread.
//
// Open starts a connection; Stop ends it and drops everything of it: the generation moves on
// first, so events and sends of the old connection are ignored wherever they are found, then the
// transport is closed before each join so that every join ends promptly. Stop runs on every path
// before the next Open, so no thread of an old connection outlives it.
//
// Open, Stop, SetChannel, TakeEvents, TakeOverflow and the observers run on the UI thread; Post,
// Enqueue and EnqueueSealed on any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/event_queue.h"
#include "app/send_queue.h"
#include "crypto/crypto_session.h"
#include "net/transport.h"

namespace ov {

class RelayLink {
 public:
  using TransportFactory = std::function<std::shared_ptr<Transport>()>;

  // `wake` posts the UI thread's wake-up (see EventQueue); `createTransport` makes a new,
  // unconnected transport for each connection; `url` is the relay's WebSocket URL.
  RelayLink(std::function<void()> wake, TransportFactory createTransport, std::wstring url);
  ~RelayLink();  // Stop
  RelayLink(const RelayLink&) = delete;
  RelayLink& operator=(const RelayLink&) = delete;

  // Starts a connection: the send thread, then the network thread, which connects and sends
  // `firstMessage` (serialised relay JSON). Requires that no connection is open (Stop first).
  // A thread that cannot be started raises std::system_error after everything is stopped again.
  void Open(std::string firstMessage);
  // Ends the connection (if any) as described above and empties both queues.
  void Stop();

  bool open() const noexcept { return transport_ != nullptr; }
  std::uint32_t generation() const noexcept { return generation_; }

  // Any thread: queues one event of connection `generation` (a stale one is dropped).
  void Post(std::uint32_t generation, NetEvent event);
  // The drain: the overflow flag (read and cleared), then every queued entry.
  bool TakeOverflow() noexcept { return events_.TakeOverflow(); }
  std::deque<EventQueue::Entry> TakeEvents() { return events_.TakeAll(); }

  // Any thread: true when the item was queued (or replaced the unsent frame at the tail).
  bool Enqueue(SendItem item) { return sends_.Enqueue(std::move(item)); }
  // UI thread: the channel this connection's sealed messages go out on (null: none yet, or no
  // longer). Stop forgets it, so nothing is sealed for a connection that has ended.
  void SetChannel(std::shared_ptr<CryptoSession> channel);
  // Any thread: queues `plaintext` to be sealed as `kind` on the connection's channel; false
  // without a channel or when the queue refuses it.
  bool EnqueueSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext);
  void RemoveQueuedFrames() { sends_.RemoveQueuedFrames(); }

  // For tests and figures.
  std::size_t queuedEvents() const { return events_.Size(); }
  std::size_t queuedSends() const { return sends_.Size(); }
  bool sending() const noexcept { return sends_.Sending(); }

 private:
  void NetworkThread(std::shared_ptr<Transport> transport, std::uint32_t generation,
                     std::string firstMessage, std::shared_ptr<std::atomic<bool>> cancel,
                     std::shared_ptr<std::atomic<bool>> done);
  void SendThread(std::shared_ptr<Transport> transport, std::uint32_t generation);

  const TransportFactory createTransport_;
  const std::wstring url_;
  std::uint32_t generation_ = 0;
  EventQueue events_;
  SendQueue sends_;
  mutable std::mutex channelMutex_;
  std::shared_ptr<CryptoSession> channel_;  // guarded by channelMutex_
  std::shared_ptr<Transport> transport_;
  std::shared_ptr<std::atomic<bool>> cancel_;
  std::shared_ptr<std::atomic<bool>> networkDone_;
  std::thread networkThread_;
  std::thread sendThread_;
};

}  // namespace ov
