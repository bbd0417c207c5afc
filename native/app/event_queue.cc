#include "app/event_queue.h"

namespace ov {

EventQueue::EventQueue(std::function<void()> wake) : wake_(std::move(wake)) {}

void EventQueue::Post(std::uint32_t generation, NetEvent event) {
  if (generation != generation_.load()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  // Tested again under the lock: a reset publishes the new generation before it empties the
  // queue under this mutex, so an event that passes here is either removed by that reset or is
  // current.
  if (generation != generation_.load()) return;
  const std::size_t size = event.data.size() + event.text.size();
  const bool overflow = event.data.size() > kEventDataLimit ||
                        event.text.size() > kEventTextLimit ||
                        (event.kind == NetEvent::Kind::Text && event.data.size() > kEventTextLimit) ||
                        entries_.size() >= kEventCountLimit || kEventBytesLimit - bytes_ < size;
  if (overflow) {
    overflow_.exchange(true);
  } else {
    bytes_ += size;
    entries_.push_back(Entry{generation, std::move(event)});
  }
  if (!postPending_) {
    postPending_ = true;
    if (wake_) wake_();
  }
}

std::deque<EventQueue::Entry> EventQueue::TakeAll() {
  std::deque<Entry> taken;
  std::lock_guard<std::mutex> lock(mutex_);
  taken.swap(entries_);
  bytes_ = 0;
  postPending_ = false;
  return taken;
}

void EventQueue::Clear() {
  std::deque<Entry> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(entries_);
    bytes_ = 0;
    postPending_ = false;
  }
  overflow_.store(false);
}

std::size_t EventQueue::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

std::size_t EventQueue::Bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

bool EventQueue::WakePending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return postPending_;
}

}  // namespace ov
