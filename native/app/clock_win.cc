#include <windows.h>

#include "app/clock.h"

namespace ov {

std::uint64_t SystemClock::NowMs() { return GetTickCount64(); }

}  // namespace ov
