// The stream's clock on Windows. A condition variable's timed wait sleeps in whole periods of the
// system timer (15.6 ms unless something raised its resolution), which would stretch the 50, 33
// and 16 ms frame budgets; the sleep here waits on a high-resolution waitable timer where the
// system has one (Windows 10 1803 and later), else on an ordinary one with the timer resolution
// raised to 1 ms for the clock's life. Time is the performance counter; the status tick is the
// system's millisecond tick count.
#include <windows.h>

#include <timeapi.h>

#include <memory>

#include "screen/stream_thread.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace ov {
namespace {

constexpr std::uint64_t kNsPerSecond = 1000000000;
constexpr std::uint64_t kNsPerMs = 1000000;

class WaitableTimerStreamClock final : public StreamClock {
 public:
  WaitableTimerStreamClock() {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    frequency_ = frequency.QuadPart > 0 ? static_cast<std::uint64_t>(frequency.QuadPart) : 1;
    interrupt_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    timer_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                    TIMER_ALL_ACCESS);
    if (timer_ == nullptr) {
      timer_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
      raisedResolution_ = timeBeginPeriod(1) == TIMERR_NOERROR;
    }
  }
  ~WaitableTimerStreamClock() override {
    if (raisedResolution_) timeEndPeriod(1);
    if (timer_ != nullptr) CloseHandle(timer_);
    if (interrupt_ != nullptr) CloseHandle(interrupt_);
  }
  WaitableTimerStreamClock(const WaitableTimerStreamClock&) = delete;
  WaitableTimerStreamClock& operator=(const WaitableTimerStreamClock&) = delete;

  std::uint64_t NowNs() override {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const auto ticks = static_cast<std::uint64_t>(counter.QuadPart);
    return ticks / frequency_ * kNsPerSecond + ticks % frequency_ * kNsPerSecond / frequency_;
  }

  std::uint64_t TickMs() override { return GetTickCount64(); }

  // A timer may fire a little before the counter reaches the deadline: the wait goes on until
  // it has.
  void SleepUntil(std::uint64_t deadlineNs) override {
    for (;;) {
      const std::uint64_t now = NowNs();
      if (now >= deadlineNs || WaitForSingleObject(interrupt_, 0) == WAIT_OBJECT_0) return;
      const std::uint64_t remaining = deadlineNs - now;
      if (timer_ == nullptr) {
        const auto ms = static_cast<DWORD>((remaining + kNsPerMs - 1) / kNsPerMs);
        if (WaitForSingleObject(interrupt_, ms) == WAIT_OBJECT_0) return;
        continue;
      }
      LARGE_INTEGER due{};
      due.QuadPart = -static_cast<LONGLONG>((remaining + 99) / 100);  // relative, 100 ns units
      if (!SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
        CloseHandle(timer_);
        timer_ = nullptr;
        continue;
      }
      const HANDLE handles[2] = {interrupt_, timer_};
      if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0) return;
    }
  }

  void Interrupt() override { SetEvent(interrupt_); }

 private:
  std::uint64_t frequency_ = 1;
  HANDLE interrupt_ = nullptr;
  HANDLE timer_ = nullptr;
  bool raisedResolution_ = false;
};

}  // namespace

std::unique_ptr<StreamClock> CreateSteadyStreamClock() {
  return std::make_unique<WaitableTimerStreamClock>();
}

}  // namespace ov
