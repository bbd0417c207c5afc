// Frame pacing: how many stream iterations per second each profile achieves with this system's
// stream clock, against the profile's rate and against a clock that sleeps on a condition
// variable (what the stream used before; under mingw's POSIX threads on Windows its timed wait
// is bound to the system timer's period). Run under Wine:
//   scripts/wine-run build/windows/wine build/windows/bench/stream_pacing_bench.exe
// Each profile runs for `--seconds=N` (default 3) with a static 320 x 180 picture, so that the
// iterations cost little and the pacing shows; every frame is acknowledged at once. "Automatic"
// starts at 20 and rises to its highest rate within budget; its last second is reported.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "screen/stream_thread.h"
#include "screen/synthetic_capturer.h"

namespace {

using ov::StreamClock;

class ConditionVariableClock final : public StreamClock {
 public:
  std::uint64_t NowNs() override {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }
  std::uint64_t TickMs() override { return NowNs() / 1000000; }
  void SleepUntil(std::uint64_t deadlineNs) override {
    const auto deadline = std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(deadlineNs)));
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_until(lock, deadline, [] { return false; });
  }
  void Interrupt() override {}

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
};

// Acknowledges every frame as it is queued.
class AckingSink final : public ov::StreamSink {
 public:
  explicit AckingSink(std::atomic<std::int32_t>& acked) : acked_(acked) {}
  bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t>) override {
    if (kind == 1) acked_.store(acked_.load() + 1);
    return true;
  }
  void StreamEnded(const std::string&) override {}

 private:
  std::atomic<std::int32_t>& acked_;
};

struct Result {
  int rate = 0;             // the profile's rate at the end
  double achieved = 0;      // iterations per second over the measured span
};

Result Run(std::int32_t profile, StreamClock& clock, double seconds) {
  ov::StreamParams params;
  params.display = ov::DisplayInfo{L"", ov::ScreenRect{0, 0, 320, 180}, true, 60};
  params.profile = profile;
  ov::SyntheticCapturer capturer(ov::SyntheticScene::Static);
  std::atomic<std::int32_t> sent{0};
  std::atomic<std::int32_t> acked{0};
  AckingSink sink(acked);
  ov::StreamLoop loop(params, capturer, clock, sink, ov::StreamCounters{sent, acked});
  const std::uint64_t total = static_cast<std::uint64_t>(seconds * 1e9);
  // "Automatic" settles first; the others are measured from the start.
  const std::uint64_t measureFrom = profile == 0 && total > 1000000000 ? total - 1000000000 : 0;
  const std::uint64_t start = clock.NowNs();
  std::uint64_t measuredStart = 0;
  int iterations = 0;
  for (;;) {
    const std::uint64_t elapsed = clock.NowNs() - start;
    if (elapsed >= total) break;
    if (elapsed >= measureFrom) {
      if (measuredStart == 0) measuredStart = clock.NowNs();
      ++iterations;
    }
    if (!loop.Step()) break;
  }
  const double span = static_cast<double>(clock.NowNs() - measuredStart) / 1e9;
  return Result{loop.rate().rate(), span > 0 ? iterations / span : 0};
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--seconds=", 10) == 0) seconds = std::atof(argv[i] + 10);
  }
  const char* names[] = {"Automatic", "Data saver", "Balanced", "High quality"};
  std::printf("%-13s %6s %22s %22s\n", "profile", "rate", "stream clock (fps, x)",
              "condition var (fps, x)");
  for (std::int32_t profile = 0; profile < 4; ++profile) {
    const std::unique_ptr<StreamClock> system = ov::CreateSteadyStreamClock();
    const Result measured = Run(profile, *system, seconds);
    ConditionVariableClock plain;
    const Result baseline = Run(profile, plain, seconds);
    std::printf("%-13s %6d %14.1f %6.2fx %14.1f %6.2fx\n", names[profile], measured.rate,
                measured.achieved, measured.achieved / measured.rate, baseline.achieved,
                baseline.achieved / baseline.rate);
  }
  return 0;
}
