// Monotonic millisecond time for the controller's deadlines, pings and statistics.
#pragma once

#include <atomic>
#include <cstdint>

namespace ov {

// A monotonic clock in milliseconds. 0 is never a valid reading for a deadline (0 means "none"),
// so implementations start well above it.
class Clock {
 public:
  Clock() = default;
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;
  virtual ~Clock() = default;

  virtual std::uint64_t NowMs() = 0;
};

// The platform's tick: GetTickCount64 on Windows, std::chrono::steady_clock elsewhere.
class SystemClock final : public Clock {
 public:
  std::uint64_t NowMs() override;
};

// A clock that moves only when told to; any thread may read it.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::uint64_t start = 1000000) : now_(start) {}
  std::uint64_t NowMs() override { return now_.load(); }
  void Advance(std::uint64_t ms) { now_.fetch_add(ms); }
  void Set(std::uint64_t ms) { now_.store(ms); }

 private:
  std::atomic<std::uint64_t> now_;
};

}  // namespace ov
