#include "screen/stream_thread.h"

#include <algorithm>
#include <limits>
#include <mutex>

#include "base/json_codec.h"
#include "screen/com_apartment.h"

namespace ov {
namespace {

constexpr std::uint8_t kFrameKind = 1;
constexpr std::uint8_t kControlKind = 4;
constexpr std::uint64_t kNsPerMs = 1000000;

StreamProfile ProfileOf(std::int32_t profile) noexcept {
  if (profile < 0 || profile > 3) return StreamProfile::Balanced;
  return static_cast<StreamProfile>(profile);
}

int StartRate(StreamProfile profile) noexcept {
  switch (profile) {
    case StreamProfile::Automatic:
    case StreamProfile::Balanced:
      return 20;
    case StreamProfile::DataSaver:
      return 12;
    case StreamProfile::HighQuality:
      return 30;
  }
  return 20;
}


}  // namespace

// ---- StreamRate -------------------------------------------------------------------------------

StreamRate::StreamRate(std::int32_t profile, std::int32_t refreshHz)
    : profile_(ProfileOf(profile)), rate_(StartRate(profile_)), highest_(rate_) {
  if (profile_ == StreamProfile::Automatic) {
    const int hz = refreshHz < 2 ? 60 : refreshHz;
    highest_ = std::min(hz, kMaxAutomaticRate);
  }
}

int StreamRate::quality() const noexcept {
  switch (profile_) {
    case StreamProfile::Automatic:
      return rate_ >= 12 ? 70 : 50;
    case StreamProfile::DataSaver:
      return 45;
    case StreamProfile::Balanced:
      return 70;
    case StreamProfile::HighQuality:
      return 85;
  }
  return 70;
}

int StreamRate::maxWidth() const noexcept {
  switch (profile_) {
    case StreamProfile::Automatic:
      return rate_ >= 12 ? 1920 : 1280;
    case StreamProfile::DataSaver:
      return 1280;
    case StreamProfile::Balanced:
      return 1920;
    case StreamProfile::HighQuality:
      return 2560;
  }
  return 1920;
}

void StreamRate::WindowFull() noexcept {
  rate_ = std::max(rate_ - 1, kMinStreamRate);
  raiseCount_ = 0;
}

void StreamRate::IterationTook(std::uint64_t elapsedMs) noexcept {
  if (profile_ != StreamProfile::Automatic) return;
  if (elapsedMs > BudgetMs()) {
    rate_ = std::max(rate_ - 2, kMinStreamRate);
    raiseCount_ = 0;
    return;
  }
  if (++raiseCount_ < kRaiseAfterIterations) return;
  raiseCount_ = 0;
  // A display slower than the starting rate keeps the starting rate rather than dropping to it.
  rate_ = std::max(rate_, std::min(rate_ + 2, highest_));
}

// ---- StreamLoop -------------------------------------------------------------------------------

StreamLoop::StreamLoop(const StreamParams& params, ScreenCapturer& capturer, StreamClock& clock,
                       StreamSink& sink, StreamCounters counters)
    : params_(params),
      capturer_(capturer),
      clock_(clock),
      sink_(sink),
      counters_(counters),
      rate_(params.profile, params.display.hz) {
  if (params_.regionFrames) {
    regions_ = std::make_unique<RegionEncoder>();
    // A whole picture is kept as the last one sent after its frame is queued (Step), so that the
    // copy of the screen is not between the capture and the viewer.
    regions_->DeferKeeping(true);
    if (!capturer_.UseEncoder(regions_.get())) regions_.reset();
  }
}

StreamLoop::~StreamLoop() {
  if (regions_) capturer_.UseEncoder(nullptr);
}

bool StreamLoop::End(const char* reason) {
  sink_.StreamEnded(reason);
  return false;
}

bool StreamLoop::Step() {
  const std::uint64_t start = clock_.NowNs();
  const auto sent = static_cast<std::uint32_t>(counters_.framesSent.load());
  const auto acked = static_cast<std::uint32_t>(counters_.framesAcked.load());
  if (sent - acked >= kUnackedFrameWindow) {
    rate_.WindowFull();
    clock_.SleepUntil(start + kFullWindowPollMs * kNsPerMs);
    return true;
  }

  if (regions_) {
    regions_->SetNow(clock_.TickMs());
    // The viewer has no picture to compose onto: after a decode it could not place, and after
    // the desktop was away (it dropped its picture then).
    const bool asked = counters_.wholePictureRequested != nullptr &&
                       counters_.wholePictureRequested->exchange(false);
    if (asked || desktopAway_) regions_->RequestFull();
  }

  CaptureStatus status;
  CaptureResult result =
      capturer_.CaptureFrame(params_.display, rate_.maxWidth(), rate_.quality(), status);

  if (params_.statusEnabled) {
    const std::uint64_t now = clock_.TickMs();
    // A change of the desktop's reachability is reported at once: the viewer drops its picture
    // and says why while the desktop is away, and learns at once that it is back.
    if (!statusSent_ || now - lastStatusMs_ >= kCaptureStatusPeriodMs ||
        status.desktop != desktopReported_) {
      if (!SendStatus(status)) return End(kStreamStatusStopped);
      statusSent_ = true;
      lastStatusMs_ = now;
      desktopReported_ = status.desktop;
    }
  }

  if (!status.desktop) {
    // A lock screen, an elevation prompt, Ctrl+Alt+Del or another user's session: the stream
    // waits for the desktop to come back instead of counting toward its end.
    desktopAway_ = true;
  } else if (desktopAway_ && result.next != CaptureResult::Next::TryAgain &&
             result.next != CaptureResult::Next::GiveUp) {
    // The viewer dropped its picture when the desktop went away: the next one goes out even
    // when it equals the last one sent.
    desktopAway_ = false;
    repeats_ = std::max(repeats_, rate_.rate() - 1);
  }

  switch (result.next) {
    case CaptureResult::Next::GiveUp:
      // The display can never be captured as asked: waiting out the failure count would only
      // delay the same end.
      return End(kStreamCaptureUnavailable);
    case CaptureResult::Next::TryAgain:
      if (!status.desktop) break;
      if (++failures_ >= kCaptureFailureLimit) return End(kStreamCaptureUnavailable);
      break;
    case CaptureResult::Next::Unchanged:
      // The capturer's last picture, which is the last one sent (a picture is only ever kept
      // back for being equal to that). Without one it is no picture at all.
      if (lastSent_.empty()) {
        if (++failures_ >= kCaptureFailureLimit) return End(kStreamCaptureUnavailable);
        break;
      }
      failures_ = 0;
      if (!(regions_ ? RegionsAtRest() : Repeat())) return false;
      break;
    case CaptureResult::Next::Picture:
      // A picture the encoder took but the send path would refuse with its header (the last 35
      // sizes up to the JPEG limit) is a failed capture like one over the limit, not the end of
      // the session.
      if (kFrameHeaderBytes + result.jpeg.size() > kMaxFrameMessageBytes) {
        if (++failures_ >= kCaptureFailureLimit) return End(kStreamCaptureUnavailable);
        break;
      }
      failures_ = 0;
      // Region frames are changes against the viewer's picture: equal bytes twice are two
      // changes (a caret that blinks back), never a repeat.
      if (!regions_ && result.jpeg == lastSent_) {
        if (!Repeat()) return false;
      } else if (!SendFrame(result.jpeg)) {
        return false;
      }
      break;
  }

  // The capturer's picture is as it was until its next capture.
  if (regions_) regions_->Keep();
  const std::uint64_t now = clock_.NowNs();
  rate_.IterationTook(now > start ? (now - start) / kNsPerMs : 0);
  clock_.SleepUntil(start + rate_.BudgetMs() * kNsPerMs);
  return true;
}

bool StreamLoop::SendStatus(const CaptureStatus& status) {
  const Json message = {{"op", "captureStatus"},     {"epoch", params_.epoch},
                        {"backend", status.backend}, {"black", status.black},
                        {"desktop", status.desktop}, {"error", status.error}};
  const std::string text = SerializeMessage(message);
  return sink_.SendSealed(kControlKind, std::vector<std::uint8_t>(text.begin(), text.end()));
}

bool StreamLoop::Repeat() {
  if (++repeats_ < rate_.rate()) return true;
  return SendFrame(lastSent_);
}

bool StreamLoop::RegionsAtRest() {
  const PictureEncoder::Outcome refined = regions_->Refine();
  if (refined == PictureEncoder::Outcome::Encoded) return SendFrame(regions_->output());
  if (++repeats_ < rate_.rate()) return true;
  const std::vector<std::uint8_t>& unchanged = regions_->Unchanged();
  if (unchanged.empty()) return true;
  return SendFrame(unchanged);
}

bool StreamLoop::SendFrame(std::span<const std::uint8_t> jpeg) {
  // Sequence numbers are positive 32-bit values; a stream that has used them all ends.
  if (counters_.framesSent.load() == std::numeric_limits<std::int32_t>::max()) {
    return End(kStreamStopped);
  }
  const std::int32_t seq = counters_.framesSent.fetch_add(1) + 1;
  std::vector<std::uint8_t> message;
  BuildFrameMessage(FrameHeader{params_.epoch, static_cast<std::uint32_t>(seq)}, jpeg, message);
  if (!sink_.SendSealed(kFrameKind, std::move(message))) return End(kStreamStopped);
  if (jpeg.data() != lastSent_.data()) lastSent_.assign(jpeg.begin(), jpeg.end());
  repeats_ = 0;
  return true;
}

// ---- StreamThread -----------------------------------------------------------------------------

StreamThread::StreamThread(StreamParams params, CapturerFactory makeCapturer,
                           std::unique_ptr<StreamClock> clock, StreamSink& sink,
                           StreamCounters counters)
    : params_(std::move(params)),
      makeCapturer_(std::move(makeCapturer)),
      clock_(std::move(clock)),
      sink_(sink),
      counters_(counters) {
  thread_ = std::thread(&StreamThread::Run, this);
}

StreamThread::~StreamThread() { Stop(); }

void StreamThread::GuardedSink::StreamEnded(const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!stopped_) sink_.StreamEnded(reason);
}

void StreamThread::GuardedSink::StopReports() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
}

void StreamThread::Stop() {
  sink_.StopReports();
  running_.store(false);
  clock_->Interrupt();
  if (thread_.joinable()) thread_.join();
}

void StreamThread::Run() {
  try {
    const ComApartment apartment;
    std::unique_ptr<ScreenCapturer> capturer = makeCapturer_ ? makeCapturer_() : nullptr;
    if (!capturer) {
      sink_.StreamEnded(kStreamCaptureUnavailable);
    } else {
      StreamLoop loop(params_, *capturer, *clock_, sink_, counters_);
      while (running_.load() && loop.Step()) {
      }
    }
  } catch (...) {
    // Out of memory while building a message: the stream cannot go on.
    sink_.StreamEnded(kStreamStopped);
  }
  running_.store(false);
}

}  // namespace ov
