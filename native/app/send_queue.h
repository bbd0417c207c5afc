// The bounded queue that carries outgoing messages from the UI and capture threads to the send
// thread. Relay messages (kind 0) are sent as text; every other kind is sealed on the send thread
// with the channel the item carries. At most one unsent screen frame waits at the tail: a newer
// frame replaces it, so a slow link drops intermediate frames instead of queueing them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/secure_memory.h"
#include "crypto/crypto_session.h"

namespace ov {

inline constexpr std::uint8_t kRelayItemKind = 0;
inline constexpr std::uint8_t kFrameItemKind = static_cast<std::uint8_t>(SealedKind::Frame);
inline constexpr std::size_t kSendItemLimit = 8388608;    // payload + text of one item
inline constexpr std::size_t kSendCountLimit = 128;       // queued items
inline constexpr std::size_t kSendBytesLimit = 16777216;  // payload + text of all queued items

// Relay texts carry pairing confirmations, so an item wipes its text whenever it lets go of it:
// when destroyed (sent, refused, dropped) and when overwritten.
struct SendItem {
  std::uint8_t kind = kRelayItemKind;      // 0: relay JSON text; otherwise a sealed kind
  std::vector<std::uint8_t> payload;       // plaintext to seal (kind != 0)
  std::string text;                        // serialised relay message (kind 0)
  std::shared_ptr<CryptoSession> channel;  // seals `payload`; empty for kind 0

  SendItem() = default;
  ~SendItem() { SecureClear(text); }
  SendItem(SendItem&& other) noexcept
      : kind(other.kind), payload(std::move(other.payload)), channel(std::move(other.channel)) {
    MoveSecret(text, other.text);  // a short text's characters would stay in `other`
  }
  SendItem& operator=(SendItem&& other) noexcept {
    if (this != &other) {
      kind = other.kind;
      payload = std::move(other.payload);
      channel = std::move(other.channel);
      MoveSecret(text, other.text);
    }
    return *this;
  }
  SendItem(const SendItem&) = delete;
  SendItem& operator=(const SendItem&) = delete;
};

class SendQueue {
 public:
  SendQueue() = default;
  SendQueue(const SendQueue&) = delete;
  SendQueue& operator=(const SendQueue&) = delete;

  // Any thread. True when the item was queued or replaced the unsent frame at the tail; false
  // when it is too large, the queue is full or sending is not enabled.
  bool Enqueue(SendItem item);

  // The send thread: waits for an item while sending is enabled. Nothing once sending has been
  // disabled (the thread then ends).
  std::optional<SendItem> WaitPop();

  // Enables sending (a new connection) / disables it and wakes every waiter.
  void Start();
  void Stop();
  bool Sending() const noexcept { return sending_.load(); }

  // Erases every queued frame (kind 1); the other items keep their order.
  void RemoveQueuedFrames();
  // Drops everything queued.
  void Clear();

  std::size_t Size() const;
  std::size_t Bytes() const;

 private:
  static std::size_t SizeOf(const SendItem& item) { return item.payload.size() + item.text.size(); }

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<SendItem> items_;
  std::size_t bytes_ = 0;
  std::atomic<bool> sending_{false};
};

}  // namespace ov
