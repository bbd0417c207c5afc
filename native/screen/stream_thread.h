// The host's capture-and-stream thread: one per stream (one display, one epoch, one profile). It
// captures the display, numbers the pictures that differ from the last one sent, queues them as
// frame messages, keeps at most two frames unacknowledged, paces itself to the profile's rate
// (adapting it in "Automatic") and reports the capture status about once a second and whenever
// the input desktop comes or goes. Captures of an unreachable desktop (locked, a secure desktop,
// another session) never end the stream; 15 other empty captures in a row do.
//
// The rules live in StreamLoop, one iteration per call, so that tests drive them synchronously
// with a manual clock; StreamThread runs a loop on its own thread until it is stopped or the
// stream ends by itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "screen/frame_message.h"
#include "screen/region_encoder.h"
#include "screen/screen_capturer.h"
#include "session/display_info.h"

namespace ov {

enum class StreamProfile : std::int32_t { Automatic = 0, DataSaver = 1, Balanced = 2, HighQuality = 3 };

inline constexpr int kMinStreamRate = 5;
inline constexpr int kMaxAutomaticRate = 60;
inline constexpr std::uint32_t kUnackedFrameWindow = 2;
inline constexpr int kCaptureFailureLimit = 15;
inline constexpr std::uint64_t kCaptureStatusPeriodMs = 1000;
inline constexpr std::uint64_t kFullWindowPollMs = 10;
inline constexpr int kRaiseAfterIterations = 20;

// Why a stream ended by itself (the text of the end event the owner receives).
inline constexpr char kStreamCaptureUnavailable[] = "Screen capture unavailable";
inline constexpr char kStreamStopped[] = "Screen stream stopped";
inline constexpr char kStreamStatusStopped[] = "Capture status stopped";

// The frame rate of one stream and what the profile derives from it.
class StreamRate {
 public:
  // `profile` 0..3 (anything else is taken as "Balanced"); `refreshHz` of the display (below 2
  // counts as 60).
  StreamRate(std::int32_t profile, std::int32_t refreshHz);

  int rate() const noexcept { return rate_; }
  int highest() const noexcept { return highest_; }
  int quality() const noexcept;
  int maxWidth() const noexcept;
  // Whole milliseconds one iteration may take at the current rate.
  std::uint64_t BudgetMs() const noexcept { return 1000 / static_cast<std::uint64_t>(rate_ < 1 ? 1 : rate_); }

  // The window of unacknowledged frames is full: one step slower, for every profile.
  void WindowFull() noexcept;
  // An iteration that captured took `elapsedMs`: "Automatic" slows down by two when it was over
  // budget, and speeds up by two after 20 iterations in a row within it. Other profiles keep
  // their rate.
  void IterationTook(std::uint64_t elapsedMs) noexcept;

 private:
  StreamProfile profile_;
  int rate_;
  int highest_;
  int raiseCount_ = 0;
};

// Time for one stream: pacing on a monotonic nanosecond clock, status timing in milliseconds, and
// an interruptible sleep.
class StreamClock {
 public:
  StreamClock() = default;
  StreamClock(const StreamClock&) = delete;
  StreamClock& operator=(const StreamClock&) = delete;
  virtual ~StreamClock() = default;

  virtual std::uint64_t NowNs() = 0;
  virtual std::uint64_t TickMs() = 0;
  // Returns once NowNs() has reached `deadlineNs`, or at once after Interrupt.
  virtual void SleepUntil(std::uint64_t deadlineNs) = 0;
  // Any thread: ends the current sleep and makes every later one return at once.
  virtual void Interrupt() = 0;
};

// This system's clock for a stream: on Windows the performance counter and a high-resolution
// waitable timer (else an ordinary one with the timer resolution raised while the clock lives),
// elsewhere std::chrono::steady_clock and a condition variable.
std::unique_ptr<StreamClock> CreateSteadyStreamClock();

// Where a stream's output goes. Called on the stream's thread only.
class StreamSink {
 public:
  StreamSink() = default;
  StreamSink(const StreamSink&) = delete;
  StreamSink& operator=(const StreamSink&) = delete;
  virtual ~StreamSink() = default;

  // Queues one sealed message (kind 1 for a frame, 4 for a control message); false when refused.
  virtual bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) = 0;
  // The stream ended by itself; `reason` is one of the kStream... texts. Called at most once, as
  // the stream's last act.
  virtual void StreamEnded(const std::string& reason) = 0;
};

struct StreamParams {
  DisplayInfo display;
  std::uint32_t epoch = 1;
  std::int32_t profile = 0;
  bool statusEnabled = false;  // the viewer negotiated capture-status reporting
  bool regionFrames = false;   // both ends announced changed-region frames
};

// The two counters of the epoch, shared with the protocol on the UI thread: the sequence number
// of the last frame queued (raised here only) and the highest one acknowledged (raised there).
// With region frames, the viewer's request for a whole picture (set there, taken here).
struct StreamCounters {
  std::atomic<std::int32_t>& framesSent;
  std::atomic<std::int32_t>& framesAcked;
  std::atomic<bool>* wholePictureRequested = nullptr;
};

class StreamLoop {
 public:
  // Every reference must outlive the loop.
  // With params.regionFrames the loop lends the capturer a RegionEncoder and sends region
  // frames (whole frames when the capturer cannot take it).
  StreamLoop(const StreamParams& params, ScreenCapturer& capturer, StreamClock& clock,
             StreamSink& sink, StreamCounters counters);
  ~StreamLoop();
  StreamLoop(const StreamLoop&) = delete;
  StreamLoop& operator=(const StreamLoop&) = delete;

  // One iteration, sleep included. False when the stream has ended by itself (the sink has been
  // told why); the loop must not be stepped again then.
  bool Step();

  const StreamRate& rate() const noexcept { return rate_; }
  int repeats() const noexcept { return repeats_; }
  int failures() const noexcept { return failures_; }
  // The region encoder in use, or null when the stream sends whole frames.
  const RegionEncoder* regions() const noexcept { return regions_.get(); }

 private:
  bool End(const char* reason);
  bool SendStatus(const CaptureStatus& status);
  // A picture equal to the last one sent: counted, and sent again once per rate's worth.
  bool Repeat();
  // A region stream's capture that changed nothing: a resting area's refinement, or the repeat.
  bool RegionsAtRest();
  // Queues `jpeg` as the next frame; the stored picture becomes it.
  bool SendFrame(std::span<const std::uint8_t> jpeg);

  const StreamParams& params_;
  ScreenCapturer& capturer_;
  StreamClock& clock_;
  StreamSink& sink_;
  StreamCounters counters_;
  StreamRate rate_;
  std::vector<std::uint8_t> lastSent_;  // the JPEG of the last frame queued
  int repeats_ = 0;
  int failures_ = 0;
  bool statusSent_ = false;
  bool desktopReported_ = true;  // the "desktop" of the last status report
  bool desktopAway_ = false;     // a capture found the input desktop unreachable since the last picture
  std::uint64_t lastStatusMs_ = 0;
  std::unique_ptr<RegionEncoder> regions_;
};

// Runs one StreamLoop on its own thread, from construction until Stop or the stream's own end.
// The thread joins the multithreaded COM apartment and makes its capturer itself.
class StreamThread {
 public:
  using CapturerFactory = std::function<std::unique_ptr<ScreenCapturer>()>;

  // Starts the thread. `sink` and the counters must outlive the StreamThread; `makeCapturer` is
  // called on the new thread.
  StreamThread(StreamParams params, CapturerFactory makeCapturer,
               std::unique_ptr<StreamClock> clock, StreamSink& sink, StreamCounters counters);
  // Stops and joins.
  ~StreamThread();
  StreamThread(const StreamThread&) = delete;
  StreamThread& operator=(const StreamThread&) = delete;

  // Ends the loop (interrupting its sleep) and joins the thread. Idempotent. From its start on,
  // an end the stream runs into is no longer reported (the stream is being stopped on purpose);
  // after it returns the sink is never called again.
  void Stop();
  // False once the stream has ended, by itself or by Stop.
  bool running() const noexcept { return running_.load(); }

 private:
  // The sink as the loop sees it: ends are dropped once Stop has begun.
  class GuardedSink final : public StreamSink {
   public:
    explicit GuardedSink(StreamSink& sink) : sink_(sink) {}
    bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) override {
      return sink_.SendSealed(kind, std::move(plaintext));
    }
    void StreamEnded(const std::string& reason) override;
    void StopReports();

   private:
    StreamSink& sink_;
    std::mutex mutex_;
    bool stopped_ = false;
  };

  void Run();

  StreamParams params_;
  CapturerFactory makeCapturer_;
  std::unique_ptr<StreamClock> clock_;
  GuardedSink sink_;
  StreamCounters counters_;
  std::atomic<bool> running_{true};
  std::thread thread_;
};

}  // namespace ov
