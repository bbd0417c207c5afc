#include "app/send_queue.h"

#include <algorithm>
#include <utility>

namespace ov {

bool SendQueue::Enqueue(SendItem item) {
  const std::size_t size = SizeOf(item);
  if (size > kSendItemLimit) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!sending_.load()) return false;
    if (item.kind == kFrameItemKind && !items_.empty() && items_.back().kind == kFrameItemKind) {
      const std::size_t without = bytes_ - SizeOf(items_.back());
      if (without + size > kSendBytesLimit) return false;
      bytes_ = without + size;
      items_.back() = std::move(item);
    } else {
      if (items_.size() >= kSendCountLimit || bytes_ + size > kSendBytesLimit) return false;
      bytes_ += size;
      items_.push_back(std::move(item));
    }
  }
  wake_.notify_one();
  return true;
}

std::optional<SendItem> SendQueue::WaitPop() {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] { return !sending_.load() || !items_.empty(); });
  if (!sending_.load()) return std::nullopt;
  SendItem item = std::move(items_.front());
  items_.pop_front();
  bytes_ -= SizeOf(item);
  return item;
}

void SendQueue::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  sending_.store(true);
}

void SendQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sending_.store(false);
  }
  wake_.notify_all();
}

void SendQueue::RemoveQueuedFrames() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto end = std::remove_if(items_.begin(), items_.end(), [this](const SendItem& item) {
    if (item.kind != kFrameItemKind) return false;
    bytes_ -= SizeOf(item);
    return true;
  });
  items_.erase(end, items_.end());
}

void SendQueue::Clear() {
  std::deque<SendItem> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  dropped.swap(items_);
  bytes_ = 0;
}

std::size_t SendQueue::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_.size();
}

std::size_t SendQueue::Bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

}  // namespace ov
