// The relay's log: lines go through a bounded queue to one writer thread, so a worker thread never
// waits on the log's file. Per-connection events are counted by kind and written in bursts: a
// flood of one kind (refusals from one address, protocol errors) costs a few lines and one count
// per window, never a line per connection.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace ov::relay {

// Text a client chose (a path, a header, an error it caused) made safe for one `key=value` field:
// printable ASCII is kept except backslash and double quote; every other byte becomes \xNN
// (lower-case hex). The result is cut before `limit` bytes would be exceeded, never inside an
// escape, and then ends in "..." (so it is at most limit + 3 bytes long).
std::string LogField(std::string_view clientText, std::size_t limit = 64);

struct AsyncLogOptions {
  std::FILE* out = stderr;      // not closed by the log
  std::size_t capacity = 4096;  // lines waiting for the writer; more are dropped and counted
  std::int64_t aggregateMs = 10000;
  std::size_t perKindBurst = 5;  // events of one kind written per window
  bool verbose = false;          // Detail lines are written (under the same burst rule)
  // Monotonic milliseconds for the aggregation windows, read on the writer thread only.
  // Empty: steady_clock.
  std::function<std::int64_t()> clock = nullptr;
};

class AsyncLog {
 public:
  // Kinds beyond this many distinct ones are counted and aggregated together as "other". Kinds
  // are the code's own identifiers; the bound only keeps a mistaken caller from growing the table.
  static constexpr std::size_t kMaxKinds = 64;

  // Throws std::invalid_argument without an output or with a window of 0 ms or less.
  explicit AsyncLog(AsyncLogOptions options = {});
  // Writes everything queued (and the counts of windows still open), then joins the writer.
  ~AsyncLog();
  AsyncLog(const AsyncLog&) = delete;
  AsyncLog& operator=(const AsyncLog&) = delete;

  // All calls below are safe from any thread and never wait on the output: they take one short
  // lock to queue the line (or drop it when `capacity` lines are waiting). A line is written as
  // given, after its timestamp: it is the caller's own text, one line, with any text a client
  // chose passed through LogField.

  // Start, stop, reload, drain, errors of the server itself: always written.
  void Notice(std::string line);
  // A per-connection event worth an operator's eye (a refusal, a protocol error, a timeout).
  // Always counted under `kind`. Within a window of aggregateMs (starting at the kind's first
  // event with no window open), the first perKindBurst are written; the rest are counted, and when
  // the window ends one line "event=aggregate kind=<kind> count=<N> window=<aggregateMs>" gives
  // their number.
  void Event(std::string_view kind, std::string line);
  // A routine per-connection line (opened, closed, an HTTP request): counted under `kind` like an
  // Event; written, under the same burst rule, only when the log is verbose.
  void Detail(std::string_view kind, std::string line);

  // Lines dropped because the queue was full.
  std::uint64_t Dropped() const;
  // Every kind seen with its count (Events and Details, dropped or not), in order of first use.
  std::vector<std::pair<std::string, std::uint64_t>> EventCounts() const;
  // Returns once every line queued before the call has been written and flushed, and the writer
  // has looked at the clock for ended windows after the call.
  void Flush();

 private:
  enum class Type : std::uint8_t { kNotice, kEvent, kDetail };
  struct Item {
    Type type;
    std::uint32_t kind;   // index into kinds_ (events and details)
    std::int64_t wallMs;  // system_clock milliseconds at the call, for the timestamp
    std::string line;
  };
  struct Kind {
    std::string name;
    std::uint64_t count = 0;
  };
  // The writer's state of one kind's aggregation window.
  struct Window {
    bool open = false;
    std::int64_t startMs = 0;
    std::size_t written = 0;
    std::uint64_t suppressed = 0;
  };

  void Push(Type type, std::string_view kind, std::string line);
  std::uint32_t KindIndex(std::string_view kind);  // with mutex_ held
  void WriterLoop();
  // Writer thread: the aggregate lines of windows that have ended by `nowMs` (all, if `all`).
  void CloseWindows(std::int64_t nowMs, bool all, std::string& out);
  void Handle(Item& item, std::int64_t nowMs, std::string& out);

  const AsyncLogOptions options_;
  std::function<std::int64_t()> clock_;
  std::string windowText_;  // "10s" or "1500ms"

  mutable std::mutex mutex_;
  std::condition_variable wake_;     // the writer: a push, a flush or the stop
  std::condition_variable flushed_;  // Flush callers: a pass has ended
  std::vector<Item> queue_;
  std::uint64_t dropped_ = 0;
  std::unique_ptr<Kind[]> kinds_;  // kMaxKinds + 1 slots, the last for "other"; never moved
  std::size_t kindCount_ = 0;
  bool flushWanted_ = false;
  bool stop_ = false;
  std::uint64_t passesStarted_ = 0;
  std::uint64_t passesDone_ = 0;

  std::vector<Window> windows_;  // writer thread only, by kind index
  std::thread writer_;
};

}  // namespace ov::relay
