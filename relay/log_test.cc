#include "relay/log.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ov::relay {
namespace {

// A memory FILE* for the log; Lines() checks each line's timestamp and returns the lines without
// it. Read only after Flush or after the log is gone (the writer is idle then).
class Capture {
 public:
  Capture() : file_(open_memstream(&buffer_, &size_)) {}
  ~Capture() {
    std::fclose(file_);
    std::free(buffer_);
  }
  std::FILE* file() { return file_; }
  std::vector<std::string> Lines() {
    static const std::regex kStamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )");
    std::vector<std::string> lines;
    std::istringstream in(std::string(buffer_, size_));
    for (std::string line; std::getline(in, line);) {
      EXPECT_TRUE(std::regex_search(line, kStamp)) << line;
      lines.push_back(line.size() >= 25 ? line.substr(25) : line);
    }
    return lines;
  }

 private:
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

TEST(LogField, EscapesAndCuts) {
  struct Case {
    std::string in;
    std::size_t limit;
    std::string want;
  };
  const Case cases[] = {
      {"GET /ws?a=b HTTP/1.1", 64, "GET /ws?a=b HTTP/1.1"},
      {"say \"hi\"\\", 64, "say \\x22hi\\x22\\x5c"},
      {std::string("\n\r\t\x7f\x80\xff", 6), 64, "\\x0a\\x0d\\x09\\x7f\\x80\\xff"},
      {std::string("a\0b", 3), 64, "a\\x00b"},
      {"\xc3\xa9", 64, "\\xc3\\xa9"},
      {"abcdef", 3, "abc..."},
      {"abc", 3, "abc"},
      {"ab\n", 4, "ab..."},  // the escape would not fit whole
      {"ab\n", 6, "ab\\x0a"},
      {"", 0, ""},
      {"x", 0, "..."},
      {std::string(100, 'a'), 64, std::string(64, 'a') + "..."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LogField(c.in, c.limit), c.want) << c.in << " / " << c.limit;
  }
}

// The writer times an event when it takes it from the queue, so these tests flush before they
// move the clock.
TEST(AsyncLog, BurstThenOneAggregatePerWindow) {
  Capture capture;
  std::atomic<std::int64_t> now{1000};
  AsyncLogOptions options;
  options.out = capture.file();
  options.perKindBurst = 3;
  options.clock = [&now] { return now.load(); };
  AsyncLog log(options);

  for (int i = 0; i < 10; ++i) log.Event("refusal.rateLimited", "flood " + std::to_string(i));
  log.Event("protocol-error", "pe 0");
  log.Event("protocol-error", "pe 1");
  for (int i = 0; i < 8; ++i) log.Notice("notice " + std::to_string(i));
  log.Flush();
  std::vector<std::string> want = {"flood 0", "flood 1", "flood 2", "pe 0", "pe 1"};
  for (int i = 0; i < 8; ++i) want.push_back("notice " + std::to_string(i));
  EXPECT_EQ(capture.Lines(), want);

  now = 1000 + 9999;  // the window is not over yet
  log.Event("refusal.rateLimited", "flood 10");
  log.Flush();
  EXPECT_EQ(capture.Lines(), want);

  now = 1000 + 10000;
  log.Flush();
  want.push_back("event=aggregate kind=refusal.rateLimited count=8 window=10s");
  EXPECT_EQ(capture.Lines(), want);

  // A new window opens with the next event the writer sees (here at 15000) and has its own burst.
  now = 15000;
  for (int i = 0; i < 5; ++i) log.Event("refusal.rateLimited", "again " + std::to_string(i));
  log.Flush();
  now = 24999;
  log.Flush();
  want.insert(want.end(), {"again 0", "again 1", "again 2"});
  EXPECT_EQ(capture.Lines(), want);
  now = 25000;
  log.Flush();
  want.push_back("event=aggregate kind=refusal.rateLimited count=2 window=10s");
  EXPECT_EQ(capture.Lines(), want);

  using Counts = std::vector<std::pair<std::string, std::uint64_t>>;
  EXPECT_EQ(log.EventCounts(), (Counts{{"refusal.rateLimited", 16}, {"protocol-error", 2}}));
  EXPECT_EQ(log.Dropped(), 0u);
}

TEST(AsyncLog, DetailsOnlyWhenVerboseUnderTheSameBurst) {
  for (const bool verbose : {false, true}) {
    Capture capture;
    std::atomic<std::int64_t> now{0};
    AsyncLogOptions options;
    options.out = capture.file();
    options.perKindBurst = 2;
    options.aggregateMs = 1500;
    options.verbose = verbose;
    options.clock = [&now] { return now.load(); };
    AsyncLog log(options);
    for (int i = 0; i < 5; ++i) log.Detail("open", "open " + std::to_string(i));
    log.Event("write-timeout", "wt");
    log.Flush();  // the writer has seen them at 0
    now = 1500;
    log.Flush();
    const std::vector<std::string> want =
        verbose ? std::vector<std::string>{"open 0", "open 1", "wt",
                                           "event=aggregate kind=open count=3 window=1500ms"}
                : std::vector<std::string>{"wt"};
    EXPECT_EQ(capture.Lines(), want) << "verbose " << verbose;
    using Counts = std::vector<std::pair<std::string, std::uint64_t>>;
    EXPECT_EQ(log.EventCounts(), (Counts{{"open", 5}, {"write-timeout", 1}}));
  }
}

TEST(AsyncLog, StopWritesEverythingQueuedAndOpenWindows) {
  Capture capture;
  {
    AsyncLogOptions options;
    options.out = capture.file();
    options.perKindBurst = 1;
    options.clock = [] { return std::int64_t{0}; };  // the window never ends by itself
    AsyncLog log(options);
    log.Notice("start");
    for (int i = 0; i < 4; ++i) log.Event("close-timeout", "ct " + std::to_string(i));
    log.Notice("stop");
  }
  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{"start", "ct 0", "stop",
                                      "event=aggregate kind=close-timeout count=3 window=10s"}));
}

TEST(AsyncLog, FullQueueDropsAndCountsWithoutBlocking) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::FILE* out = fdopen(fds[1], "w");
  ASSERT_NE(out, nullptr);
  const std::string big(1 << 20, 'x');
  std::string got;
  std::thread reader;
  {
    AsyncLogOptions options;
    options.out = out;
    options.capacity = 2;
    AsyncLog log(options);
    // A line far larger than the pipe's buffer: the writer blocks inside it until the pipe is read.
    log.Notice(big);
    pollfd readable{fds[0], POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, -1), 1);  // the writer has taken the line and is writing it

    log.Notice("kept 1");
    log.Event("protocol-error", "kept 2");
    log.Notice("dropped 1");
    log.Event("protocol-error", "dropped 2");
    log.Notice("dropped 3");
    EXPECT_EQ(log.Dropped(), 3u);
    using Counts = std::vector<std::pair<std::string, std::uint64_t>>;
    EXPECT_EQ(log.EventCounts(), (Counts{{"protocol-error", 2}}));

    reader = std::thread([&got, fd = fds[0]] {
      char chunk[65536];
      for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) {
        got.append(chunk, static_cast<std::size_t>(n));
      }
    });
  }  // the log writes what it kept and stops
  std::fclose(out);
  reader.join();
  close(fds[0]);
  EXPECT_EQ(got.substr(25, big.size() + 1), big + "\n");
  EXPECT_NE(got.find(" kept 1\n"), std::string::npos);
  EXPECT_NE(got.find(" kept 2\n"), std::string::npos);
  EXPECT_EQ(got.find("dropped"), std::string::npos);
}

TEST(AsyncLog, KindsBeyondTheBoundCountAsOther) {
  Capture capture;
  AsyncLogOptions options;
  options.out = capture.file();
  AsyncLog log(options);
  for (std::size_t i = 0; i < AsyncLog::kMaxKinds + 6; ++i) log.Event("k" + std::to_string(i), "x");
  const auto counts = log.EventCounts();
  ASSERT_EQ(counts.size(), AsyncLog::kMaxKinds + 1);
  EXPECT_EQ(counts.back(), (std::pair<std::string, std::uint64_t>{"other", 6}));
  EXPECT_EQ(counts[AsyncLog::kMaxKinds - 1].first, "k" + std::to_string(AsyncLog::kMaxKinds - 1));
}

TEST(AsyncLog, RefusesOptionsThatCannotWork) {
  EXPECT_THROW(AsyncLog(AsyncLogOptions{.out = nullptr}), std::invalid_argument);
  EXPECT_THROW(AsyncLog(AsyncLogOptions{.aggregateMs = 0}), std::invalid_argument);
}

TEST(AsyncLog, ManyThreadsLoseNothingWithinCapacity) {
  Capture capture;
  AsyncLogOptions options;
  options.out = capture.file();
  options.capacity = 100000;
  options.perKindBurst = 1000000;
  AsyncLog log(options);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 2000; ++i) log.Event("e" + std::to_string(t), "t" + std::to_string(t));
    });
  }
  for (std::thread& t : threads) t.join();
  log.Flush();
  EXPECT_EQ(capture.Lines().size(), 8000u);
  for (const auto& [kind, count] : log.EventCounts()) EXPECT_EQ(count, 2000u) << kind;
  EXPECT_EQ(log.Dropped(), 0u);
}

}  // namespace
}  // namespace ov::relay
