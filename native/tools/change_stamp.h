// Orders the changes of what the session tools show. The chat-and-clipboard state and the file
// transfers each keep a status text of their own, and the Files page shows whichever was set
// last, even when it repeats the text it had before; the chat box is rewritten when the log
// changed, even when it changed into a log that looks the same length and ends the same way.
#pragma once

#include <atomic>
#include <cstdint>

namespace ov {

// A stamp later than every one handed out before in this process (never 0), so stamps of
// different sessions never collide. Atomic so that tests running sessions on several threads
// stay well defined.
inline std::uint64_t NextChangeStamp() noexcept {
  static std::atomic<std::uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace ov
