// The stream's rules, one iteration at a time, on a manual clock: rates, the window of
// unacknowledged frames, repeats, status reports and the ends of a stream.
#include "screen/stream_thread.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "base/json_codec.h"
#include "screen/synthetic_capturer.h"

namespace ov {
namespace {

constexpr std::uint64_t kMs = 1000000;
const DisplayInfo kDisplay{L"", ScreenRect{0, 0, 320, 180}, true, 60};

class ManualStreamClock final : public StreamClock {
 public:
  std::uint64_t NowNs() override { return now; }
  std::uint64_t TickMs() override { return now / kMs; }
  void SleepUntil(std::uint64_t deadline) override {
    sleeps.push_back(deadline > now ? (deadline - now) / kMs : 0);
    if (deadline > now) now = deadline;
  }
  void Interrupt() override {}

  std::uint64_t now = 5000 * kMs;
  std::vector<std::uint64_t> sleeps;  // ms asked for by each sleep
};

// The synthetic desktop, with each capture taking `costMs` of the manual clock and a record of
// what each call asked for.
class TimedCapturer final : public ScreenCapturer {
 public:
  TimedCapturer(ManualStreamClock& clock, SyntheticScene scene) : clock_(clock), inner(scene) {}
  CaptureResult CaptureFrame(const DisplayInfo& display, int maxWidth, int quality,
                             CaptureStatus& status) override {
    clock_.now += costMs * kMs;
    asked.push_back({maxWidth, quality});
    if (pictureBytes != 0) {
      (void)inner.CaptureFrame(display, maxWidth, quality, status);
      CaptureResult large;
      large.next = CaptureResult::Next::Picture;
      large.jpeg.assign(pictureBytes, 0xAB);
      return large;
    }
    return inner.CaptureFrame(display, maxWidth, quality, status);
  }

  struct Ask {
    int maxWidth;
    int quality;
  };
  std::uint64_t costMs = 0;
  std::size_t pictureBytes = 0;  // when set, every capture is a "JPEG" of this many bytes
  std::vector<Ask> asked;

 private:
  ManualStreamClock& clock_;

 public:
  SyntheticCapturer inner;
};

class RecordingSink final : public StreamSink {
 public:
  bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) override {
    if (kind == 1) {
      if (refuseFrames) return false;
      frames.push_back(std::move(plaintext));
      if (autoAck != nullptr) autoAck->store(static_cast<std::int32_t>(frames.size()) + ackBase);
    } else {
      if (refuseStatus) return false;
      EXPECT_EQ(kind, 4);
      status.push_back(ParseMessage(std::span<const std::uint8_t>(plaintext)));
    }
    return true;
  }
  void StreamEnded(const std::string& reason) override { ended.push_back(reason); }

  std::atomic<std::int32_t>* autoAck = nullptr;  // acknowledges every frame as it is queued
  std::int32_t ackBase = 0;
  bool refuseFrames = false;
  bool refuseStatus = false;
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<Json> status;
  std::vector<std::string> ended;
};

struct Rig {
  explicit Rig(std::int32_t profile, SyntheticScene scene = SyntheticScene::MovingPattern,
               std::int32_t hz = 60, bool statusEnabled = false)
      : capturer(clock, scene) {
    params.display = kDisplay;
    params.display.hz = hz;
    params.epoch = 7;
    params.profile = profile;
    params.statusEnabled = statusEnabled;
    loop = std::make_unique<StreamLoop>(params, capturer, clock, sink,
                                        StreamCounters{framesSent, framesAcked});
  }
  void AckEverything() { sink.autoAck = &framesAcked; }

  ManualStreamClock clock;
  TimedCapturer capturer;
  RecordingSink sink;
  std::atomic<std::int32_t> framesSent{0};
  std::atomic<std::int32_t> framesAcked{0};
  StreamParams params;
  std::unique_ptr<StreamLoop> loop;
};

FrameHeader HeaderOf(const std::vector<std::uint8_t>& frame) { return ReadFrameHeader(frame); }

TEST(StreamRate, ProfileTable) {
  struct Row {
    std::int32_t profile;
    int rate, highest, quality, maxWidth;
  };
  for (const Row& row : {Row{0, 20, 60, 70, 1920}, Row{1, 12, 12, 45, 1280}, Row{2, 20, 20, 70, 1920},
                         Row{3, 30, 30, 85, 2560}}) {
    const StreamRate rate(row.profile, 75);
    EXPECT_EQ(rate.rate(), row.rate) << row.profile;
    EXPECT_EQ(rate.highest(), row.highest) << row.profile;
    EXPECT_EQ(rate.quality(), row.quality) << row.profile;
    EXPECT_EQ(rate.maxWidth(), row.maxWidth) << row.profile;
    EXPECT_EQ(rate.BudgetMs(), 1000u / static_cast<unsigned>(row.rate));
  }
}

// "Automatic" with every iteration over budget slows by two down to the floor; from below 12
// frames/s it asks for quality 50 and 1280 pixels.
TEST(StreamLoop, AutomaticOverBudgetWalksDownToFive) {
  Rig rig(0);
  rig.AckEverything();
  rig.capturer.costMs = 300;
  const int expected[] = {18, 16, 14, 12, 10, 8, 6, 5, 5};
  for (int rate : expected) {
    ASSERT_TRUE(rig.loop->Step());
    EXPECT_EQ(rig.loop->rate().rate(), rate);
  }
  const std::vector<TimedCapturer::Ask>& asked = rig.capturer.asked;
  ASSERT_EQ(asked.size(), 9u);
  // Each capture used the settings of the rate before it: 20, 18, 16, 14, 12, then 10 and below.
  for (std::size_t i = 0; i < asked.size(); ++i) {
    const bool fast = i < 5;
    EXPECT_EQ(asked[i].quality, fast ? 70 : 50) << i;
    EXPECT_EQ(asked[i].maxWidth, fast ? 1920 : 1280) << i;
  }
  // Over budget, the sleep to the deadline is already past.
  EXPECT_EQ(rig.clock.sleeps.back(), 0u);
}

// Within budget, "Automatic" climbs by two every 20 iterations up to the display's refresh rate,
// never above 60; the fixed profiles never climb.
TEST(StreamLoop, RatesNeverExceedTheirCaps) {
  struct Row {
    std::int32_t profile;
    std::int32_t hz;
    int cap;
  };
  for (const Row& row : {Row{0, 144, 60}, Row{0, 50, 50}, Row{0, 0, 60}, Row{0, 1, 60},
                         Row{2, 144, 20}, Row{3, 144, 30}}) {
    Rig rig(row.profile, SyntheticScene::Static, row.hz);
    rig.AckEverything();
    int highest = 0;
    for (int i = 0; i < 800; ++i) {
      ASSERT_TRUE(rig.loop->Step());
      highest = std::max(highest, rig.loop->rate().rate());
    }
    EXPECT_EQ(highest, row.cap) << "profile " << row.profile << " at " << row.hz << " Hz";
    EXPECT_EQ(rig.loop->rate().rate(), row.cap);
    // Pacing: each iteration sleeps out the rest of its budget.
    EXPECT_EQ(rig.clock.sleeps.back(), 1000u / static_cast<unsigned>(row.cap));
  }
  // 20 good iterations raise "Automatic" by two, not 19.
  Rig rig(0);
  rig.AckEverything();
  for (int i = 0; i < 19; ++i) ASSERT_TRUE(rig.loop->Step());
  EXPECT_EQ(rig.loop->rate().rate(), 20);
  ASSERT_TRUE(rig.loop->Step());
  EXPECT_EQ(rig.loop->rate().rate(), 22);
}

// Two unacknowledged frames stop the capture: the loop polls every 10 ms, one frame per second
// slower each time, until an acknowledgement opens the window again. Acknowledgements are
// cumulative and the first frame of the epoch is seq 1.
TEST(StreamLoop, WindowOfTwoUnacknowledgedFrames) {
  Rig rig(1);  // "Data saver": 12 frames/s
  ASSERT_TRUE(rig.loop->Step());
  ASSERT_TRUE(rig.loop->Step());
  ASSERT_EQ(rig.sink.frames.size(), 2u);
  EXPECT_EQ(HeaderOf(rig.sink.frames[0]), (FrameHeader{7, 1}));
  EXPECT_EQ(HeaderOf(rig.sink.frames[1]), (FrameHeader{7, 2}));
  const std::size_t captures = rig.capturer.asked.size();
  ASSERT_TRUE(rig.loop->Step());
  EXPECT_EQ(rig.capturer.asked.size(), captures) << "a full window does not capture";
  EXPECT_EQ(rig.clock.sleeps.back(), 10u);
  EXPECT_EQ(rig.loop->rate().rate(), 11);

  // framesSent 7, framesAcked 5: no capture; seq 6 acknowledged: capture, seq 8 queued.
  rig.framesSent = 7;
  rig.framesAcked = 5;
  ASSERT_TRUE(rig.loop->Step());
  EXPECT_EQ(rig.capturer.asked.size(), captures);
  rig.framesAcked = 6;
  ASSERT_TRUE(rig.loop->Step());
  EXPECT_EQ(rig.capturer.asked.size(), captures + 1);
  EXPECT_EQ(HeaderOf(rig.sink.frames.back()), (FrameHeader{7, 8}));
  EXPECT_EQ(rig.framesSent.load(), 8);

  // A congested "Data saver" drifts down to 5 and stays there.
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(rig.loop->Step());
  EXPECT_EQ(rig.loop->rate().rate(), 5);
  EXPECT_EQ(rig.sink.frames.size(), 3u);
}

// A static screen is sent once, skipped rate - 1 times, and sent again on the rate-th identical
// capture, whether the capturer spots the repeat (Unchanged) or the loop compares the bytes.
TEST(StreamLoop, StaticScreenIsResentOncePerRatesWorth) {
  for (const bool capturerChecks : {true, false}) {
    Rig rig(2, SyntheticScene::Static);  // "Balanced": 20 frames/s
    rig.capturer.inner.SetRepeatCheck(capturerChecks);
    rig.AckEverything();
    std::vector<int> sentAt;
    for (int capture = 1; capture <= 61; ++capture) {
      const std::size_t before = rig.sink.frames.size();
      ASSERT_TRUE(rig.loop->Step());
      if (rig.sink.frames.size() != before) sentAt.push_back(capture);
    }
    EXPECT_EQ(sentAt, (std::vector<int>{1, 21, 41, 61})) << capturerChecks;
    ASSERT_EQ(rig.sink.frames.size(), 4u);
    // The resent frames carry the same picture under the next sequence numbers.
    for (std::size_t i = 1; i < 4; ++i) {
      EXPECT_EQ(HeaderOf(rig.sink.frames[i]).seq, i + 1);
      EXPECT_TRUE(std::equal(rig.sink.frames[i].begin() + 8, rig.sink.frames[i].end(),
                             rig.sink.frames[0].begin() + 8, rig.sink.frames[0].end()));
    }
    EXPECT_EQ(rig.capturer.inner.encodes(), capturerChecks ? 1u : 61u);
  }
}

// Status reports: with the capability, one with the first capture and then one per second of
// the millisecond tick, carrying the capture's own status; without it, none and frames still
// flow.
TEST(StreamLoop, CaptureStatusAboutOnceASecondWhenNegotiated) {
  Rig rig(2, SyntheticScene::MovingPattern, 60, /*statusEnabled=*/true);
  rig.AckEverything();
  for (int i = 0; i < 41; ++i) ASSERT_TRUE(rig.loop->Step());  // 50 ms each: 2 s
  ASSERT_EQ(rig.sink.status.size(), 3u);
  const Json expected = {{"op", "captureStatus"}, {"epoch", 7},       {"backend", 1},
                         {"black", false},        {"desktop", true}, {"error", 0}};
  EXPECT_EQ(rig.sink.status[0], expected);
  rig.capturer.inner.SetScene(SyntheticScene::Black);
  ASSERT_TRUE(rig.loop->Step());
  EXPECT_EQ(rig.sink.status.size(), 3u) << "50 ms after the last report";
  rig.clock.now += 1000 * kMs;
  ASSERT_TRUE(rig.loop->Step());
  ASSERT_EQ(rig.sink.status.size(), 4u);
  EXPECT_EQ(rig.sink.status[3].at("black"), true);

  Rig quiet(2);
  quiet.AckEverything();
  for (int i = 0; i < 41; ++i) ASSERT_TRUE(quiet.loop->Step());
  EXPECT_TRUE(quiet.sink.status.empty());
  EXPECT_EQ(quiet.sink.frames.size(), 41u);
}

// The three ends of a stream, each told to the sink once, as the last act.
TEST(StreamLoop, EndsOfAStream) {
  struct Row {
    const char* name;
    std::function<void(Rig&)> arrange;
    int stepsBeforeEnd;  // iterations that go on before the one that ends
    const char* reason;
  };
  const std::vector<Row> rows = {
      {"15 empty captures", [](Rig& r) { r.capturer.inner.FailNext(100); }, 14,
       kStreamCaptureUnavailable},
      {"give up", [](Rig& r) { r.capturer.inner.SetGiveUp(true); }, 0, kStreamCaptureUnavailable},
      {"pictures one byte too large for the send path with their header",
       [](Rig& r) { r.capturer.pictureBytes = kMaxFrameMessageBytes - kFrameHeaderBytes + 1; }, 14,
       kStreamCaptureUnavailable},
      {"frame refused", [](Rig& r) { r.sink.refuseFrames = true; }, 0, kStreamStopped},
      {"status refused", [](Rig& r) { r.sink.refuseStatus = true; }, 0, kStreamStatusStopped},
      {"sequence numbers used up",
       [](Rig& r) {
         r.framesSent = 2147483647;
         r.framesAcked = 2147483647;
       },
       0, kStreamStopped},
  };
  for (const Row& row : rows) {
    Rig rig(2, SyntheticScene::MovingPattern, 60, /*statusEnabled=*/true);
    row.arrange(rig);
    for (int i = 0; i < row.stepsBeforeEnd; ++i) ASSERT_TRUE(rig.loop->Step()) << row.name << " " << i;
    EXPECT_TRUE(rig.sink.ended.empty()) << row.name;
    EXPECT_FALSE(rig.loop->Step()) << row.name;
    EXPECT_EQ(rig.sink.ended, std::vector<std::string>{row.reason}) << row.name;
    if (std::string(row.reason) == kStreamCaptureUnavailable) {
      EXPECT_TRUE(rig.sink.frames.empty()) << row.name;
    }
  }
  // The largest picture the send path takes goes out.
  Rig largest(2);
  largest.capturer.pictureBytes = kMaxFrameMessageBytes - kFrameHeaderBytes;
  ASSERT_TRUE(largest.loop->Step());
  ASSERT_EQ(largest.sink.frames.size(), 1u);
  EXPECT_EQ(largest.sink.frames[0].size(), kMaxFrameMessageBytes);
  // A picture between empty captures starts the count again.
  Rig rig(2);
  rig.AckEverything();
  rig.capturer.inner.FailNext(14);
  for (int i = 0; i < 15; ++i) ASSERT_TRUE(rig.loop->Step());
  rig.capturer.inner.FailNext(14);
  for (int i = 0; i < 14; ++i) ASSERT_TRUE(rig.loop->Step());
  EXPECT_EQ(rig.loop->failures(), 14);
  EXPECT_TRUE(rig.sink.ended.empty());
}

// A lock screen, an elevation prompt or another user's session on the host: the captures find
// the desktop unreachable, which is reported at once and never ends the stream; when the desktop
// comes back that is reported at once too, and the picture goes out again at once even when it
// is the one sent before (the viewer dropped its picture meanwhile).
TEST(StreamLoop, AnUnreachableDesktopHoldsTheStreamUntilItReturns) {
  for (SyntheticScene scene : {SyntheticScene::MovingPattern, SyntheticScene::Static}) {
    SCOPED_TRACE(static_cast<int>(scene));
    Rig rig(2, scene, 60, /*statusEnabled=*/true);
    rig.AckEverything();
    ASSERT_TRUE(rig.loop->Step());
    ASSERT_EQ(rig.sink.frames.size(), 1u);
    ASSERT_EQ(rig.sink.status.size(), 1u);

    rig.capturer.inner.SetDesktopReachable(false);
    ASSERT_TRUE(rig.loop->Step());
    ASSERT_EQ(rig.sink.status.size(), 2u) << "reported with the capture that found it";
    EXPECT_EQ(rig.sink.status[1].at("desktop"), false);
    for (int i = 0; i < 10 * kCaptureFailureLimit; ++i) ASSERT_TRUE(rig.loop->Step()) << i;
    EXPECT_TRUE(rig.sink.ended.empty());
    EXPECT_EQ(rig.loop->failures(), 0);
    EXPECT_EQ(rig.sink.frames.size(), 1u);
    for (std::size_t i = 1; i < rig.sink.status.size(); ++i) {
      EXPECT_EQ(rig.sink.status[i].at("desktop"), false);
    }

    const std::size_t reports = rig.sink.status.size();
    rig.capturer.inner.SetDesktopReachable(true);
    ASSERT_TRUE(rig.loop->Step());
    ASSERT_EQ(rig.sink.status.size(), reports + 1);
    EXPECT_EQ(rig.sink.status.back().at("desktop"), true);
    ASSERT_EQ(rig.sink.frames.size(), 2u) << "the picture is sent again at once";
    EXPECT_EQ(HeaderOf(rig.sink.frames[1]).seq, 2u);
    // Other empty captures still end the stream.
    rig.capturer.inner.FailNext(100);
    for (int i = 0; i < kCaptureFailureLimit - 1; ++i) ASSERT_TRUE(rig.loop->Step());
    EXPECT_FALSE(rig.loop->Step());
    EXPECT_EQ(rig.sink.ended, std::vector<std::string>{kStreamCaptureUnavailable});
  }
}

// The thread: it makes its capturer on its own thread, streams until stopped, and Stop returns
// promptly even from the middle of a long sleep; a capturer that cannot be made ends the stream.
class ThreadSink final : public StreamSink {
 public:
  bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t>) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (kind == 1) ++frames_;
    cv_.notify_all();
    return true;
  }
  void StreamEnded(const std::string& reason) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_.push_back(reason);
    cv_.notify_all();
  }
  bool WaitFor(const std::function<bool(int, const std::vector<std::string>&)>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return done(frames_, ended_); });
  }
  std::vector<std::string> ended() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int frames_ = 0;
  std::vector<std::string> ended_;
};

TEST(StreamThread, StreamsUntilStoppedAndStopsPromptly) {
  ThreadSink sink;
  std::atomic<std::int32_t> sent{0};
  std::atomic<std::int32_t> acked{0};
  StreamParams params;
  params.display = kDisplay;
  params.profile = 1;
  std::thread::id madeOn;
  StreamThread stream(
      params,
      [&madeOn] {
        madeOn = std::this_thread::get_id();
        return std::make_unique<SyntheticCapturer>(SyntheticScene::MovingPattern);
      },
      CreateSteadyStreamClock(), sink, StreamCounters{sent, acked});
  ASSERT_TRUE(sink.WaitFor([](int frames, const auto&) { return frames >= 2; }));
  // Window full now: the thread polls. Stop ends it from there.
  stream.Stop();
  EXPECT_FALSE(stream.running());
  EXPECT_NE(madeOn, std::this_thread::get_id());
  EXPECT_EQ(sent.load(), 2);
  EXPECT_TRUE(sink.ended().empty()) << "a stopped stream does not report an end";

  ThreadSink failing;
  StreamThread broken(params, [] { return std::unique_ptr<ScreenCapturer>(); },
                      CreateSteadyStreamClock(), failing, StreamCounters{sent, acked});
  ASSERT_TRUE(failing.WaitFor([](int, const auto& ended) { return !ended.empty(); }));
  EXPECT_EQ(failing.ended(), std::vector<std::string>{kStreamCaptureUnavailable});
}

// A capture that waits for the test, then gives up.
class GateCapturer final : public ScreenCapturer {
 public:
  CaptureResult CaptureFrame(const DisplayInfo&, int, int, CaptureStatus&) override {
    std::unique_lock<std::mutex> lock(mutex);
    entered = true;
    cv.notify_all();
    cv.wait(lock, [this] { return released; });
    return CaptureResult::GiveUp();
  }
  std::mutex mutex;
  std::condition_variable cv;
  bool entered = false;
  bool released = false;
};

// A stream being stopped on purpose does not report the end it runs into meanwhile (the owner
// would otherwise end a session whose viewer had just chosen another display); one that is not
// being stopped does.
TEST(StreamThread, AnEndRunIntoWhileStoppingIsNotReported) {
  for (const bool stopping : {true, false}) {
    ThreadSink sink;
    std::atomic<std::int32_t> sent{0};
    std::atomic<std::int32_t> acked{0};
    StreamParams params;
    params.display = kDisplay;
    GateCapturer* gate = nullptr;
    std::mutex made;
    std::condition_variable madeCv;
    StreamThread stream(
        params,
        [&] {
          auto capturer = std::make_unique<GateCapturer>();
          std::lock_guard<std::mutex> lock(made);
          gate = capturer.get();
          madeCv.notify_all();
          return capturer;
        },
        CreateSteadyStreamClock(), sink, StreamCounters{sent, acked});
    {
      std::unique_lock<std::mutex> lock(made);
      ASSERT_TRUE(madeCv.wait_for(lock, std::chrono::seconds(20), [&] { return gate != nullptr; }));
    }
    {
      std::unique_lock<std::mutex> lock(gate->mutex);
      ASSERT_TRUE(gate->cv.wait_for(lock, std::chrono::seconds(20), [&] { return gate->entered; }));
    }
    std::thread stopper;
    if (stopping) {
      stopper = std::thread([&] { stream.Stop(); });
      while (stream.running()) std::this_thread::yield();  // Stop has begun
    }
    {
      std::lock_guard<std::mutex> lock(gate->mutex);
      gate->released = true;
      gate->cv.notify_all();
    }
    if (stopping) {
      stopper.join();
      EXPECT_TRUE(sink.ended().empty());
    } else {
      ASSERT_TRUE(sink.WaitFor([](int, const auto& ended) { return !ended.empty(); }));
      EXPECT_EQ(sink.ended(), std::vector<std::string>{kStreamCaptureUnavailable});
    }
  }
}

// Runs an hour's sleep on its own thread; true when it ended within 20 s. A sleep that does not
// end fails the test instead of holding it for the hour: the thread is left to finish on its
// own, keeping the clock alive.
bool HourSleepEnds(const std::shared_ptr<StreamClock>& clock) {
  auto woke = std::make_shared<std::promise<void>>();
  std::future<void> ended = woke->get_future();
  std::thread sleeper([clock, woke] {
    clock->SleepUntil(clock->NowNs() + 3600ull * 1000 * kMs);
    woke->set_value();
  });
  if (ended.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    sleeper.detach();
    return false;
  }
  sleeper.join();
  return true;
}

// A sleep returns only once the clock has reached its deadline, however short (a timer that
// fires a little early on its own time base must not end it before).
TEST(StreamClock, ASleepEndsAtItsDeadline) {
  const std::unique_ptr<StreamClock> clock = CreateSteadyStreamClock();
  for (const std::uint64_t ms : {0u, 1u, 5u, 16u, 33u}) {
    const std::uint64_t deadline = clock->NowNs() + ms * kMs;
    clock->SleepUntil(deadline);
    EXPECT_GE(clock->NowNs(), deadline) << ms << " ms";
  }
  const std::uint64_t tick = clock->TickMs();
  clock->SleepUntil(clock->NowNs() + 20 * kMs);
  EXPECT_GE(clock->TickMs(), tick) << "the status tick does not go back";
}

// An interrupt ends the sleep in progress, and every later one returns at once.
TEST(StreamClock, InterruptEndsASleepAtOnce) {
  const std::shared_ptr<StreamClock> clock = CreateSteadyStreamClock();
  std::thread interrupter([&clock] { clock->Interrupt(); });
  EXPECT_TRUE(HourSleepEnds(clock)) << "the sleep outlived the interrupt";
  interrupter.join();
  EXPECT_TRUE(HourSleepEnds(clock)) << "a sleep after the interrupt waited";
}

}  // namespace
}  // namespace ov
