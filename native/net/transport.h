// Relay WebSocket transport: whole text and binary messages to and from the relay, delivered to
// an event sink as NetEvents by one receive thread per connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ov {

// One event of a connection, moved by value from the transport to its consumer.
struct NetEvent {
  enum class Kind : std::int32_t { Text = 0, Binary = 1, Closed = 2, Error = 3 };

  Kind kind = Kind::Closed;
  // Text: the message's UTF-8 bytes. Binary: the message bytes. Empty otherwise.
  std::vector<std::uint8_t> data;
  // Text: a copy of `data`. Closed: "Relay connection closed", or "Connection closed" when the
  // connection was closed locally. Error: the failure description. Empty for Binary.
  std::string text;
};

// Receives every event of one connection, on that connection's receive thread, one at a time.
// The sink may call Transport::Close (the receive thread then ends after the sink returns). An
// exception thrown by the sink aborts the connection; the event is dropped.
using NetEventSink = std::function<void(NetEvent)>;

// Largest message accepted or sent, in bytes (8 MiB).
inline constexpr std::size_t kMaxRelayMessageBytes = 8u * 1024u * 1024u;

// Fixed failure texts.
inline constexpr char kMessageTooLargeText[] = "Relay message exceeded the 8 MiB limit";
inline constexpr char kMixedFragmentsText[] = "Invalid mixed WebSocket fragments";
inline constexpr char kCancelledText[] = "Connection cancelled";
inline constexpr char kRelayClosedText[] = "Relay connection closed";
inline constexpr char kLocallyClosedText[] = "Connection closed";

// "<step> (Windows error <code>)": the one format of every operating-system failure.
std::string StepErrorText(const char* step, std::uint32_t code);

struct TransportOptions {
  // A PEM file of extra trusted certificates, added to the system's trust store. Used by the
  // POSIX transport only (tests name their own authority); the Windows transport always uses
  // the system's certificate stores.
  std::string extraCaFile;
};

// A client connection to the relay. Shared (std::shared_ptr) between the owner and the threads
// that send through it. All members may be called from any thread.
//
// Contract:
// - Connect is blocking. On true the receive thread runs and delivers events to the sink until
//   the connection ends; its last event is always exactly one Closed event (after an Error event
//   when the connection failed). On false nothing is delivered and `error` says why.
// - SendText / SendBinary send one whole message, at most one at a time per connection; they block
//   until the message is handed to the network or 20 s pass. A failed send aborts the connection.
// - Close ends the current connection (closing handshake bounded to 200 ms) and waits for its
//   receive thread, unless called on that thread (from the sink), which is then left to finish on
//   its own. A Close from another thread cancels a Connect in progress ("Connection cancelled").
//   Once Close returns on a thread other than the receive thread, the sink of the closed
//   connection is never called again. Close may be called repeatedly.
// - Destruction closes first.
class Transport {
 public:
  virtual ~Transport() = default;
  Transport() = default;
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  virtual bool Connect(const std::wstring& url, NetEventSink sink, std::string& error) = 0;
  virtual bool SendText(const std::string& text) = 0;
  virtual bool SendBinary(const std::vector<std::uint8_t>& bytes) = 0;
  virtual void Close() = 0;
};

// The platform's transport: WinHTTP on Windows, Boost.Beast with BoringSSL elsewhere.
std::shared_ptr<Transport> CreateTransport(const TransportOptions& options = {});

}  // namespace ov
