#include <chrono>

#include "app/clock.h"

namespace ov {

std::uint64_t SystemClock::NowMs() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  // Offset so that a freshly booted system never reads near 0 ("no deadline").
  return static_cast<std::uint64_t>(
             std::chrono::duration_cast<std::chrono::milliseconds>(since).count()) +
         1000000u;
}

}  // namespace ov
