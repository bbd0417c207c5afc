// The platform-independent half of the transport: message reassembly, the receive loop and the
// bookkeeping of connections and their receive threads. Each platform supplies a Connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/relay_url.h"
#include "net/transport.h"

namespace ov::net_internal {

// Size of the one receive buffer of a connection; no single receive delivers more.
inline constexpr std::size_t kReceiveBufferBytes = 65536;

// Joins received pieces into whole messages, enforcing the message limit and refusing a
// fragmented message whose pieces change between text and binary.
class MessageAssembler {
 public:
  // Adds one received piece. `final` marks the last piece of a message. Returns false with
  // `error` set when the piece breaks a rule; nothing partial is ever delivered.
  bool Add(const std::uint8_t* data, std::size_t size, bool text, bool final, std::string& error);
  // True after Add completed a message; TakeMessage then hands it out and starts the next one.
  bool HasMessage() const { return complete_; }
  NetEvent TakeMessage();

 private:
  std::vector<std::uint8_t> buffer_;
  bool inProgress_ = false;
  bool text_ = false;
  bool complete_ = false;
};

// One received piece, or why receiving stopped.
struct ReceivedPiece {
  enum class Status { Data, Closed, Stopped, Failed };
  Status status = Status::Stopped;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  bool text = false;
  bool final = false;
  std::string error;  // Failed: the failure text
};

// One connection attempt. Created per Connect and never reopened.
class Connection {
 public:
  virtual ~Connection() = default;
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Blocking upgrade handshake. On false `error` holds the failure text (possibly empty when the
  // attempt was cancelled); the caller then aborts the connection.
  virtual bool Handshake(const RelayUrl& url, std::string& error) = 0;
  // Receive thread only: waits for the next piece of a message.
  virtual ReceivedPiece Receive() = 0;
  // One whole message; one at a time; false (and the connection aborted) on failure.
  virtual bool Send(bool text, const std::uint8_t* data, std::size_t size) = 0;
  // Starts the closing handshake (bounded wait), then aborts.
  virtual void GracefulClose() = 0;
  // Tears everything down and waits until no network completion can reach this object.
  virtual void Abort() = 0;

  bool SendChecked(bool text, const std::uint8_t* data, std::size_t size);

  // The receive thread's body: reassembles and delivers messages, then the final events.
  void RunReceiveLoop();
  // Blocks until RunReceiveLoop made its last call to the sink.
  void WaitReceiveFinished();

  std::atomic<bool> cancelled{false};
  std::atomic<bool> open{false};
  NetEventSink sink;

 private:
  void Deliver(NetEvent event);

  std::mutex finishMutex_;
  std::condition_variable finishCv_;
  bool receiveFinished_ = false;
};

// The Transport on top of a platform Connection.
class TransportCore : public Transport {
 public:
  ~TransportCore() override;

  bool Connect(const std::wstring& url, NetEventSink sink, std::string& error) override;
  bool SendText(const std::string& text) override;
  bool SendBinary(const std::vector<std::uint8_t>& bytes) override;
  void Close() override;

 protected:
  virtual std::shared_ptr<Connection> NewConnection() = 0;

 private:
  std::shared_ptr<Connection> Current();

  std::mutex mutex_;
  std::shared_ptr<Connection> current_;
  std::thread receiveThread_;
  // Connections closed from their own receive thread: that thread was detached and is waited
  // for (through the connection) by the next Close made on any other thread.
  std::vector<std::shared_ptr<Connection>> draining_;
};

}  // namespace ov::net_internal
