// A capturer that paints known pictures instead of reading a screen: the capturer of the Linux
// build (which has no screen capture) and the source of tests and benchmarks on every platform.
// Its pictures go through the same black test, scaling and encoding as real captures.
#pragma once

#include <cstdint>
#include <vector>

#include "screen/capture_types.h"
#include "screen/repeat_encoder.h"
#include "screen/screen_capturer.h"

namespace ov {

enum class SyntheticScene {
  MovingPattern,  // colour bars and a gradient that shift by 8 pixels every frame
  Static,         // the same colour bars every frame
  Black,          // all zeros
  NearBlack,      // every channel 3: still black by the black test
};

// Paints frame number `frame` of `scene` into a width x height pixel buffer.
PixelBuffer PaintSyntheticPicture(SyntheticScene scene, int width, int height,
                                  std::uint32_t frame);

class SyntheticCapturer : public ScreenCapturer {
 public:
  explicit SyntheticCapturer(SyntheticScene scene) : scene_(scene) {}

  CaptureResult CaptureFrame(const DisplayInfo& display, int maxWidth, int quality,
                                         CaptureStatus& status) override;
  bool UseEncoder(PictureEncoder* encoder) override {
    lent_ = encoder;
    return true;
  }

  // Knobs for tests.
  void SetScene(SyntheticScene scene) { scene_ = scene; }
  void SetDesktopReachable(bool reachable) { desktopReachable_ = reachable; }
  // Makes the next `count` calls fail as if every backend had failed.
  void FailNext(int count) { failNext_ = count; }
  // Makes every call give up, as for a display that can never be captured.
  void SetGiveUp(bool giveUp) { giveUp_ = giveUp; }
  // Encodes every picture, even one equal to the last (what the repeat check saves).
  void SetRepeatCheck(bool enabled) { encoder_.SetEnabled(enabled); }

  // Counters.
  std::uint32_t calls() const noexcept { return calls_; }
  std::uint32_t framesProduced() const noexcept { return produced_; }
  std::uint64_t encodes() const noexcept { return encoder_.encodes(); }

 private:
  SyntheticScene scene_;
  bool desktopReachable_ = true;
  int failNext_ = 0;
  bool giveUp_ = false;
  std::uint32_t calls_ = 0;
  std::uint32_t produced_ = 0;
  // The "screen" as last painted; each call copies it into the encoder's capture buffer, as a
  // screen copy would.
  PixelBuffer screen_;
  SyntheticScene paintedScene_ = SyntheticScene::Static;
  std::uint32_t paintedFrame_ = 0;
  RepeatEncoder encoder_;
  PictureEncoder* lent_ = nullptr;
};

}  // namespace ov
