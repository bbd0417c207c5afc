// A stream of changed-region frames from capture to the viewer's picture: the whole-frame stream
// an old peer gets, the region stream's whole pictures, changes, rest and repeats, on a manual
// clock.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "screen/jpeg_codec.h"
#include "screen/repeat_encoder.h"
#include "screen/stream_thread.h"
#include "screen/synthetic_capturer.h"
#include "screen/viewer_display.h"

namespace ov {
namespace {

constexpr std::uint64_t kMs = 1000000;

class Clock final : public StreamClock {
 public:
  std::uint64_t NowNs() override { return now; }
  std::uint64_t TickMs() override { return now / kMs; }
  void SleepUntil(std::uint64_t deadline) override {
    if (deadline > now) now = deadline;
  }
  void Interrupt() override {}
  std::uint64_t now = 5000 * kMs;
};

// Hands out `picture` as the screen, through a lent encoder when it has one.
class ScriptedCapturer final : public ScreenCapturer {
 public:
  CaptureResult CaptureFrame(const DisplayInfo&, int maxWidth, int quality,
                             CaptureStatus& status) override {
    status = CaptureStatus{};
    if (away) {
      status.desktop = false;
      return CaptureResult::TryAgain();
    }
    PictureEncoder& encoder = lent != nullptr ? *lent : own;
    const auto outcome =
        encoder.Encode(PixelView{picture.bytes.data(), picture.width, picture.height}, maxWidth, quality);
    if (outcome == PictureEncoder::Outcome::Failed) return CaptureResult::TryAgain();
    if (outcome == PictureEncoder::Outcome::Same) return CaptureResult::Unchanged();
    return CaptureResult::Picture(encoder.output());
  }
  bool UseEncoder(PictureEncoder* encoder) override {
    lent = encoder;
    return true;
  }

  PixelBuffer picture = PaintSyntheticPicture(SyntheticScene::Static, 320, 180, 0);
  bool away = false;
  PictureEncoder* lent = nullptr;
  RepeatEncoder own;
};

class Sink final : public StreamSink {
 public:
  bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) override {
    if (kind == 1) frames.push_back(std::move(plaintext));
    return true;
  }
  void StreamEnded(const std::string& reason) override { ended.push_back(reason); }
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<std::string> ended;
};

struct Rig {
  explicit Rig(bool regions) {
    params.display = DisplayInfo{L"", ScreenRect{0, 0, 320, 180}, true, 60};
    params.epoch = 7;
    params.profile = 2;  // "Balanced": 20 frames/s, quality 70
    params.regionFrames = regions;
    loop = std::make_unique<StreamLoop>(params, capturer, clock, sink,
                                        StreamCounters{sent, acked, &requested});
  }
  // One iteration with everything acknowledged; returns the frames it queued.
  std::size_t Step() {
    const std::size_t before = sink.frames.size();
    EXPECT_TRUE(loop->Step());
    acked.store(sent.load());
    return sink.frames.size() - before;
  }
  // Delivers every frame not yet delivered to the viewer; "whole", "full", "n rects" or "empty"
  // per frame.
  std::vector<std::string> Deliver() {
    std::vector<std::string> kinds;
    for (; delivered < sink.frames.size(); ++delivered) {
      const auto& frame = sink.frames[delivered];
      if (!IsRegionFrameMessage(frame)) {
        EXPECT_TRUE(display.Receive(frame, 7).has_value());
        kinds.push_back("whole");
        continue;
      }
      const RegionFrame parsed = ParseRegionFrame(frame);
      const auto receipt = display.ReceiveRegions(frame, 7);
      EXPECT_TRUE(receipt.has_value());
      kinds.push_back(parsed.full ? "full"
                                  : parsed.parts.empty() ? "empty"
                                                         : std::to_string(parsed.parts.size()) + " rects");
    }
    return kinds;
  }

  Clock clock;
  ScriptedCapturer capturer;
  Sink sink;
  std::atomic<std::int32_t> sent{0};
  std::atomic<std::int32_t> acked{0};
  std::atomic<bool> requested{false};
  StreamParams params;
  std::unique_ptr<StreamLoop> loop;
  ViewerDisplay display{0};
  std::size_t delivered = 0;
};

void Scribble(PixelBuffer& p, int x, int y, std::uint8_t value) {
  for (int yy = y; yy < y + 6; ++yy) {
    for (int xx = x; xx < x + 5; ++xx) {
      std::uint8_t* px = p.bytes.data() + (static_cast<std::size_t>(yy) * 320 + static_cast<std::size_t>(xx)) * 4;
      px[0] = px[1] = px[2] = value;
    }
  }
}

// Without the capability on both ends the frames are the whole-frame messages of a program that
// predates region frames: the header and the JPEG of the whole picture, nothing else.
TEST(RegionStream, WithoutTheCapabilityFramesAreWholeJpegsByteForByte) {
  Rig rig(false);
  EXPECT_EQ(rig.loop->regions(), nullptr);
  ASSERT_EQ(rig.Step(), 1u);
  const PixelBuffer& p = rig.capturer.picture;
  const auto jpeg = ScaleAndEncode(p.bytes.data(), 320, 180, 1920, 70);
  std::vector<std::uint8_t> expected;
  BuildFrameMessage(FrameHeader{7, 1}, jpeg, expected);
  EXPECT_EQ(rig.sink.frames[0], expected);
  Scribble(rig.capturer.picture, 10, 10, 200);
  ASSERT_EQ(rig.Step(), 1u);
  const auto second = ScaleAndEncode(rig.capturer.picture.bytes.data(), 320, 180, 1920, 70);
  BuildFrameMessage(FrameHeader{7, 2}, second, expected);
  EXPECT_EQ(rig.sink.frames[1], expected);

  // With it, the first frame is the same JPEG as the one rectangle of a whole picture.
  Rig regions(true);
  ASSERT_NE(regions.loop->regions(), nullptr);
  ASSERT_EQ(regions.Step(), 1u);
  const RegionFrame frame = ParseRegionFrame(regions.sink.frames[0]);
  EXPECT_TRUE(frame.full);
  ASSERT_EQ(frame.parts.size(), 1u);
  EXPECT_EQ(std::vector<std::uint8_t>(frame.parts[0].jpeg.begin(), frame.parts[0].jpeg.end()), jpeg);
}

// A capturer that cannot take an encoder keeps the stream on whole frames.
TEST(RegionStream, ACapturerWithoutEncoderSeamSendsWholeFrames) {
  class Plain final : public ScreenCapturer {
   public:
    CaptureResult CaptureFrame(const DisplayInfo& d, int w, int q, CaptureStatus& s) override {
      return inner.CaptureFrame(d, w, q, s);
    }
    SyntheticCapturer inner{SyntheticScene::Static};
  } plain;
  Clock clock;
  Sink sink;
  std::atomic<std::int32_t> sent{0}, acked{0};
  StreamParams params;
  params.display = DisplayInfo{L"", ScreenRect{0, 0, 64, 32}, true, 60};
  params.regionFrames = true;
  StreamLoop loop(params, plain, clock, sink, StreamCounters{sent, acked});
  EXPECT_EQ(loop.regions(), nullptr);
  ASSERT_TRUE(loop.Step());
  ASSERT_EQ(sink.frames.size(), 1u);
  EXPECT_FALSE(IsRegionFrameMessage(sink.frames[0]));
}

TEST(RegionStream, WholePicturesChangesRestAndRepeats) {
  Rig rig(true);
  using Kinds = std::vector<std::string>;
  ASSERT_EQ(rig.Step(), 1u);
  EXPECT_EQ(rig.Deliver(), (Kinds{"full"}));

  // A typed character: one rectangle.
  Scribble(rig.capturer.picture, 100, 40, 30);
  ASSERT_EQ(rig.Step(), 1u);
  EXPECT_EQ(rig.Deliver(), (Kinds{"1 rects"}));

  // Then the screen rests: nothing for a second (20 frames at 50 ms), then the refinement of
  // what rested, then, a rate's worth of unchanged captures later, the empty repeat.
  std::size_t quiet = 0;
  while (rig.Step() == 0) ++quiet;
  EXPECT_EQ(quiet, 18u);  // the whole picture of 5000 ms has rested at 6000 ms
  Kinds kinds = rig.Deliver();
  ASSERT_EQ(kinds.size(), 1u);
  EXPECT_NE(kinds[0], "full");
  EXPECT_NE(kinds[0], "empty");
  quiet = 0;
  while (rig.Step() == 0) ++quiet;
  EXPECT_EQ(quiet, 19u);
  EXPECT_EQ(rig.Deliver(), (Kinds{"empty"}));

  // The viewer asked for a whole picture: the next one is whole though nothing changed.
  rig.requested = true;
  ASSERT_EQ(rig.Step(), 1u);
  EXPECT_EQ(rig.Deliver(), (Kinds{"full"}));
  EXPECT_FALSE(rig.requested.load());

  // The desktop goes away (the viewer drops its picture) and comes back unchanged: whole again.
  rig.capturer.away = true;
  EXPECT_EQ(rig.Step(), 0u);
  rig.display.DropPicture();
  rig.capturer.away = false;
  ASSERT_EQ(rig.Step(), 1u);
  EXPECT_EQ(rig.Deliver(), (Kinds{"full"}));

  // Most of the screen changed: whole.
  rig.capturer.picture = PaintSyntheticPicture(SyntheticScene::MovingPattern, 320, 180, 3);
  ASSERT_EQ(rig.Step(), 1u);
  EXPECT_EQ(rig.Deliver(), (Kinds{"full"}));
  // The same bytes of change twice (a caret blinking back) are two frames, not a repeat.
  PixelBuffer before = rig.capturer.picture;
  Scribble(rig.capturer.picture, 200, 100, 255);
  PixelBuffer after = rig.capturer.picture;
  ASSERT_EQ(rig.Step(), 1u);
  rig.capturer.picture = before;
  ASSERT_EQ(rig.Step(), 1u);
  rig.capturer.picture = after;
  ASSERT_EQ(rig.Step(), 1u);
  EXPECT_EQ(rig.Deliver(), (Kinds{"1 rects", "1 rects", "1 rects"}));
  EXPECT_EQ(rig.sink.frames[rig.sink.frames.size() - 1].size(), rig.sink.frames[rig.sink.frames.size() - 3].size());

  // Through all of it the viewer's picture followed the screen.
  ASSERT_TRUE(rig.display.picture().has_value());
  const auto whole = ScaleAndEncode(after.bytes.data(), 320, 180, 1920, 70);
  const auto decoded = DecodeFrameJpeg(whole.data(), whole.size());
  ASSERT_TRUE(decoded.has_value());
  std::size_t far = 0;
  for (std::size_t i = 0; i < decoded->bytes.size(); ++i) {
    if (std::abs(int(decoded->bytes[i]) - int(rig.display.picture()->bytes[i])) > 24) ++far;
  }
  EXPECT_LT(far, decoded->bytes.size() / 200) << "composed picture strays from a whole JPEG";
  EXPECT_TRUE(rig.sink.ended.empty());
}

}  // namespace
}  // namespace ov
