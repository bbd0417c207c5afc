// The byte budgets of Server::Impl: what the connections' queues hold relay-wide and per address,
// and the senders held until there is room again.

#include "relay/server_impl.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ov::relay {

std::size_t DefaultMemoryBudget() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGE_SIZE);
  constexpr std::size_t kMost = std::size_t{1} << 30;
  if (pages <= 0 || pageSize <= 0) return kMost / 4;
  return std::min(kMost, static_cast<std::size_t>(pages) * static_cast<std::size_t>(pageSize) / 4);
}

void Server::Impl::Queued(std::ptrdiff_t bytes) {
  const std::size_t before =
      queuedBytes_.fetch_add(static_cast<std::size_t>(bytes), std::memory_order_relaxed);
  // Crossing under three quarters of the budget frees the senders it held.
  const std::size_t mark = memoryBudget_ / 4 * 3;
  if (bytes < 0 && before >= mark && before - static_cast<std::size_t>(-bytes) < mark &&
      roomWaiting_.load(std::memory_order_relaxed)) {
    WakeRoomWaiters();
  }
}

std::shared_ptr<std::atomic<std::size_t>> Server::Impl::PrefixQueue(const std::string& address) {
  std::lock_guard lock(prefixQueuesMutex_);
  auto& slot = prefixQueues_[address];
  auto counter = slot.lock();
  if (!counter) {
    counter = std::make_shared<std::atomic<std::size_t>>(0);
    slot = counter;
  }
  return counter;
}

void Server::Impl::PrunePrefixQueues() {
  std::lock_guard lock(prefixQueuesMutex_);
  std::erase_if(prefixQueues_, [](const auto& entry) { return entry.second.expired(); });
}

void Server::Impl::WaitForRoom(Waiter waiter) {
  std::lock_guard lock(roomMutex_);
  roomWaiters_.push_back(waiter);
  roomWaiting_.store(true, std::memory_order_relaxed);
}

void Server::Impl::WakeRoomWaiters() {
  std::vector<Waiter> waiters;
  {
    std::lock_guard lock(roomMutex_);
    waiters.swap(roomWaiters_);
    roomWaiting_.store(false, std::memory_order_relaxed);
  }
  for (const Waiter& waiter : waiters) {
    net::post(waiter.worker->ioc, [worker = waiter.worker, id = waiter.id] {
      const auto it = worker->sessions.find(id);
      if (it != worker->sessions.end()) it->second->ResumeForRoom();
    });
  }
}

bool Server::Impl::OverBudget() const {
  return queuedBytes_.load(std::memory_order_relaxed) >= memoryBudget_;
}

}  // namespace ov::relay
