// The bounded queue that carries transport events from the network threads to the UI thread.
//
// Producers (receive threads, the network and send threads) call Post from any thread; the UI
// thread drains the whole queue at once when woken. At most one wake-up is outstanding at a time,
// so a burst of events costs one window message. Every entry carries the generation of the
// connection that produced it; entries of an older generation are dropped when posted and again
// when drained. An event that does not fit is dropped and remembered in an overflow flag, which
// the UI thread treats as a failure of the whole connection.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

#include "net/transport.h"

namespace ov {

inline constexpr std::size_t kEventDataLimit = 8388608;   // data of any event
inline constexpr std::size_t kEventTextLimit = 16384;     // text of any event, data of a Text event
inline constexpr std::size_t kEventCountLimit = 32;       // queued events
inline constexpr std::size_t kEventBytesLimit = 25165824; // data + text of all queued events

class EventQueue {
 public:
  struct Entry {
    std::uint32_t generation = 0;
    NetEvent event;
  };

  // `wake` posts the UI thread's wake-up message; it is called with the queue's mutex held and
  // must not call back into the queue (posting a window message is the intended use).
  explicit EventQueue(std::function<void()> wake);
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  // Any thread. Takes ownership of `event`; never blocks except on the queue's mutex.
  void Post(std::uint32_t generation, NetEvent event);

  // UI thread: publishes the generation that producers compare against.
  void PublishGeneration(std::uint32_t generation) noexcept { generation_.store(generation); }
  std::uint32_t PublishedGeneration() const noexcept { return generation_.load(); }

  // UI thread: reads and clears the overflow flag.
  bool TakeOverflow() noexcept { return overflow_.exchange(false); }
  bool Overflowed() const noexcept { return overflow_.load(); }

  // UI thread: moves every queued entry out and clears the pending wake-up.
  std::deque<Entry> TakeAll();

  // UI thread (session reset): drops every entry, clears the pending wake-up, then the overflow.
  void Clear();

  std::size_t Size() const;
  std::size_t Bytes() const;
  bool WakePending() const;

 private:
  std::function<void()> wake_;
  std::atomic<std::uint32_t> generation_{0};
  std::atomic<bool> overflow_{false};
  mutable std::mutex mutex_;
  std::deque<Entry> entries_;
  std::size_t bytes_ = 0;
  bool postPending_ = false;
};

}  // namespace ov
