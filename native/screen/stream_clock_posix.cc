// The stream's clock elsewhere than on Windows: std::chrono::steady_clock, and a sleep on a
// condition variable that an interrupt ends.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "screen/stream_thread.h"

namespace ov {
namespace {

constexpr std::uint64_t kNsPerMs = 1000000;

class SteadyStreamClock final : public StreamClock {
 public:
  std::uint64_t NowNs() override {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch())
            .count());
  }
  std::uint64_t TickMs() override { return NowNs() / kNsPerMs; }
  void SleepUntil(std::uint64_t deadlineNs) override {
    const auto deadline = std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(deadlineNs)));
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_until(lock, deadline, [this] { return interrupted_; });
  }
  void Interrupt() override {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool interrupted_ = false;
};

}  // namespace

std::unique_ptr<StreamClock> CreateSteadyStreamClock() {
  return std::make_unique<SteadyStreamClock>();
}

}  // namespace ov
