// The Files page's progress figures for a running transfer: the percentage, the rate measured
// over the last few seconds of observations, and the time left at that rate.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace ov {

class TransferMeter {
 public:
  // The rate is measured over observations at most this far apart, and only once they span at
  // least kMinSpanMs.
  static constexpr std::uint64_t kWindowMs = 4000;
  static constexpr std::uint64_t kMinSpanMs = 1000;

  // One observation of the running transfer (`now` in ms). A different transfer (another size),
  // or progress going backwards, or time going backwards starts the measurement again.
  void Observe(std::uint64_t now, std::uint64_t done, std::uint64_t size);
  // No transfer is running.
  void Reset() noexcept { samples_.clear(); }
  // Bytes per second, or a negative value while not yet measurable.
  double BytesPerSecond() const noexcept;

 private:
  struct Sample {
    std::uint64_t at = 0;
    std::uint64_t done = 0;
  };
  std::deque<Sample> samples_;
  std::uint64_t size_ = 0;
};

// "57%", then, when the rate is known, "  ·  1.2 MiB/s" and, while bytes remain and the rate is
// above zero, "  ·  0:42" (minutes and seconds left; hours first from one hour on). A size of 0
// shows 100%; `done` beyond `size` counts as `size`.
std::wstring TransferProgressText(std::uint64_t done, std::uint64_t size, double bytesPerSecond);
// The whole percentage of `done` in `size`, 0 to 100 (rounded down, so 100 only when complete).
int TransferPercent(std::uint64_t done, std::uint64_t size) noexcept;

}  // namespace ov
