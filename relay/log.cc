#include "relay/log.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <stdexcept>

namespace ov::relay {
namespace {

constexpr auto kWriterWake = std::chrono::milliseconds(200);
constexpr std::string_view kOtherKind = "other";

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// ISO-8601 UTC with milliseconds and a space after it: "2026-12-09T16:37:22.123Z ".
void AppendTimestamp(std::int64_t wallMs, std::string& out) {
  const std::time_t seconds = static_cast<std::time_t>(wallMs / 1000);
  const int ms = static_cast<int>(wallMs % 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buffer[80];
  const int n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ",
                              tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                              tm.tm_sec, ms);
  if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
}

std::string WindowText(std::int64_t ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + "s" : std::to_string(ms) + "ms";
}

}  // namespace

std::string LogField(std::string_view clientText, std::size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(std::min(clientText.size(), limit) + 3);
  for (const char ch : clientText) {
    const auto byte = static_cast<unsigned char>(ch);
    const bool plain = byte >= 0x20 && byte < 0x7f && ch != '\\' && ch != '"';
    const std::size_t width = plain ? 1 : 4;
    if (out.size() + width > limit) {
      out += "...";
      return out;
    }
    if (plain) {
      out += ch;
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

AsyncLog::AsyncLog(AsyncLogOptions options)
    : options_(std::move(options)),
      clock_(options_.clock ? options_.clock : std::function<std::int64_t()>(SteadyMs)),
      windowText_(WindowText(options_.aggregateMs)),
      kinds_(std::make_unique<Kind[]>(kMaxKinds + 1)) {
  if (options_.out == nullptr) throw std::invalid_argument("log: no output");
  if (options_.aggregateMs <= 0) throw std::invalid_argument("log: the window must be positive");
  queue_.reserve(std::min<std::size_t>(options_.capacity, 1024));
  writer_ = std::thread([this] { WriterLoop(); });
}

AsyncLog::~AsyncLog() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  writer_.join();
}

void AsyncLog::Notice(std::string line) { Push(Type::kNotice, {}, std::move(line)); }

void AsyncLog::Event(std::string_view kind, std::string line) {
  Push(Type::kEvent, kind, std::move(line));
}

void AsyncLog::Detail(std::string_view kind, std::string line) {
  Push(Type::kDetail, kind, std::move(line));
}

std::uint32_t AsyncLog::KindIndex(std::string_view kind) {
  for (std::size_t i = 0; i < kindCount_; ++i) {
    if (kinds_[i].name == kind) return static_cast<std::uint32_t>(i);
  }
  if (kindCount_ < kMaxKinds) {
    kinds_[kindCount_].name = std::string(kind);
    return static_cast<std::uint32_t>(kindCount_++);
  }
  Kind& other = kinds_[kMaxKinds];
  if (other.name.empty()) other.name = std::string(kOtherKind);
  return static_cast<std::uint32_t>(kMaxKinds);
}

void AsyncLog::Push(Type type, std::string_view kind, std::string line) {
  const std::int64_t wall = WallMs();
  bool wasEmpty = false;
  {
    std::lock_guard lock(mutex_);
    std::uint32_t index = 0;
    if (type != Type::kNotice) {
      index = KindIndex(kind);
      ++kinds_[index].count;
      if (type == Type::kDetail && !options_.verbose) return;  // counted, never written
    }
    if (queue_.size() >= options_.capacity) {
      ++dropped_;
      return;
    }
    wasEmpty = queue_.empty();
    queue_.push_back(Item{type, index, wall, std::move(line)});
  }
  if (wasEmpty) wake_.notify_one();
}

std::uint64_t AsyncLog::Dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

std::vector<std::pair<std::string, std::uint64_t>> AsyncLog::EventCounts() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::string, std::uint64_t>> out;
  out.reserve(kindCount_ + 1);
  for (std::size_t i = 0; i < kindCount_; ++i) out.emplace_back(kinds_[i].name, kinds_[i].count);
  const Kind& other = kinds_[kMaxKinds];
  if (other.count != 0) out.emplace_back(other.name, other.count);
  return out;
}

void AsyncLog::Flush() {
  std::unique_lock lock(mutex_);
  // The next pass to start takes everything queued so far and looks at the clock after now.
  const std::uint64_t target = passesStarted_ + 1;
  flushWanted_ = true;
  wake_.notify_one();
  flushed_.wait(lock, [&] { return passesDone_ >= target; });
}

void AsyncLog::CloseWindows(std::int64_t nowMs, bool all, std::string& out) {
  for (std::size_t i = 0; i < windows_.size(); ++i) {
    Window& w = windows_[i];
    if (!w.open || (!all && nowMs - w.startMs < options_.aggregateMs)) continue;
    if (w.suppressed != 0) {
      std::string name;
      {
        std::lock_guard lock(mutex_);
        name = kinds_[i].name;
      }
      AppendTimestamp(WallMs(), out);
      out += "event=aggregate kind=";
      out += name;
      out += " count=";
      out += std::to_string(w.suppressed);
      out += " window=";
      out += windowText_;
      out += '\n';
    }
    w = Window{};
  }
}

void AsyncLog::Handle(Item& item, std::int64_t nowMs, std::string& out) {
  if (item.type != Type::kNotice) {
    if (windows_.size() <= item.kind) windows_.resize(item.kind + 1);
    Window& w = windows_[item.kind];
    if (!w.open) w = Window{true, nowMs, 0, 0};
    if (w.written >= options_.perKindBurst) {
      ++w.suppressed;
      return;
    }
    ++w.written;
  }
  AppendTimestamp(item.wallMs, out);
  out += item.line;
  out += '\n';
}

void AsyncLog::WriterLoop() {
  std::vector<Item> batch;
  std::string out;
  for (;;) {
    bool stopping = false;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, kWriterWake, [&] { return !queue_.empty() || flushWanted_ || stop_; });
      batch.swap(queue_);
      flushWanted_ = false;
      stopping = stop_;
      ++passesStarted_;
    }
    out.clear();
    for (Item& item : batch) {
      const std::int64_t now = clock_();
      CloseWindows(now, false, out);
      Handle(item, now, out);
    }
    batch.clear();
    CloseWindows(clock_(), false, out);
    // The stop has been asked and everything queued before it is in this pass: the counts of the
    // windows still open are written too, and this pass is the last.
    bool last = false;
    if (stopping) {
      std::lock_guard lock(mutex_);
      last = queue_.empty();
    }
    if (last) CloseWindows(0, true, out);
    if (!out.empty()) {
      std::fwrite(out.data(), 1, out.size(), options_.out);
      std::fflush(options_.out);
      if (std::ferror(options_.out)) std::clearerr(options_.out);
    }
    {
      std::lock_guard lock(mutex_);
      passesDone_ = passesStarted_;
    }
    flushed_.notify_all();
    if (last) return;
  }
}

}  // namespace ov::relay
