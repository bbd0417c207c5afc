#include "screen/synthetic_capturer.h"

#include <cstring>

#include "screen/jpeg_codec.h"
#include "screen/picture.h"

namespace ov {
namespace {

// Eight bars: white, yellow, cyan, green, magenta, red, blue, black (as B, G, R).
constexpr std::uint8_t kBars[8][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                      {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};

}  // namespace

PixelBuffer PaintSyntheticPicture(SyntheticScene scene, int width, int height,
                                  std::uint32_t frame) {
  PixelBuffer out;
  if (!SurfaceSizeAllowed(width, height)) return out;
  out.width = width;
  out.height = height;
  const auto w = static_cast<std::size_t>(width);
  const auto h = static_cast<std::size_t>(height);
  out.bytes.assign(w * h * 4, 0);
  if (scene == SyntheticScene::Black) return out;
  if (scene == SyntheticScene::NearBlack) {
    for (std::size_t i = 0; i < out.bytes.size(); i += 4) {
      out.bytes[i] = out.bytes[i + 1] = out.bytes[i + 2] = 3;
    }
    return out;
  }
  const std::size_t shift = scene == SyntheticScene::MovingPattern ? std::size_t{frame} * 8 : 0;
  const std::size_t barsBottom = h * 2 / 3;
  // One row of bars and one row of the ramp, computed once; the rows below are copies (the
  // ramp rows with a diagonal texture, so the encoder has detail to work on).
  std::vector<std::uint8_t> bars(w * 4);
  std::vector<std::uint8_t> ramp(w * 4);
  for (std::size_t x = 0; x < w; ++x) {
    const std::size_t sx = (x + shift) % w;
    const std::uint8_t* bar = kBars[sx * 8 / w];
    bars[x * 4] = bar[0];
    bars[x * 4 + 1] = bar[1];
    bars[x * 4 + 2] = bar[2];
    bars[x * 4 + 3] = 0xFF;
    const auto level = static_cast<std::uint8_t>(sx * 255 / (w > 1 ? w - 1 : 1));
    ramp[x * 4] = static_cast<std::uint8_t>(level / 2);
    ramp[x * 4 + 1] = level;
    ramp[x * 4 + 2] = static_cast<std::uint8_t>(255 - level);
    ramp[x * 4 + 3] = 0xFF;
  }
  for (std::size_t y = 0; y < h; ++y) {
    std::uint8_t* row = out.bytes.data() + y * w * 4;
    if (y < barsBottom) {
      std::memcpy(row, bars.data(), w * 4);
      continue;
    }
    std::memcpy(row, ramp.data(), w * 4);
    for (std::size_t x = 0; x < w; ++x) {
      if ((((x + shift) % w + y) / 4) % 2 != 0) row[x * 4] = static_cast<std::uint8_t>(row[x * 4] + 24);
    }
  }
  return out;
}

CaptureResult SyntheticCapturer::CaptureFrame(const DisplayInfo& display, int maxWidth,
                                              int quality, CaptureStatus& status) {
  status = CaptureStatus{};
  ++calls_;
  if (maxWidth <= 0 || giveUp_) return CaptureResult::GiveUp();
  if (!desktopReachable_) {
    status.desktop = false;
    return CaptureResult::TryAgain();
  }
  if (failNext_ > 0) {
    --failNext_;
    return CaptureResult::TryAgain();
  }
  const std::int64_t width = display.rect.Width();
  const std::int64_t height = display.rect.Height();
  if (!SurfaceSizeAllowed(width, height)) return CaptureResult::GiveUp();
  // Only the moving pattern changes from frame to frame; the others are painted once per size.
  const std::uint32_t frame = scene_ == SyntheticScene::MovingPattern ? produced_ : 0;
  if (screen_.width != width || screen_.height != height || paintedScene_ != scene_ ||
      paintedFrame_ != frame || screen_.Empty()) {
    screen_ = PaintSyntheticPicture(scene_, static_cast<int>(width), static_cast<int>(height), frame);
    paintedScene_ = scene_;
    paintedFrame_ = frame;
  }
  std::uint8_t* copy = encoder_.CaptureBuffer(screen_.width, screen_.height);
  if (copy == nullptr) return CaptureResult::GiveUp();
  std::memcpy(copy, screen_.bytes.data(), screen_.bytes.size());
  const bool black = IsBlackPicture(copy, screen_.width, screen_.height);
  const PictureEncoder::Outcome outcome =
      lent_ != nullptr ? lent_->Encode(PixelView{copy, screen_.width, screen_.height}, maxWidth, quality)
                       : encoder_.EncodeCaptured(maxWidth, quality);
  if (outcome == RepeatEncoder::Outcome::Failed) return CaptureResult::TryAgain();
  ++produced_;
  // The synthetic desktop stands in for a screen copy.
  status.backend = static_cast<std::int32_t>(CaptureBackend::Gdi);
  status.black = black;
  if (outcome == RepeatEncoder::Outcome::Same) return CaptureResult::Unchanged();
  return CaptureResult::Picture(lent_ != nullptr ? lent_->output() : encoder_.jpeg());
}

}  // namespace ov
