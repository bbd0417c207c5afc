#include "screen/repeat_encoder.h"

#include <cstring>
#include <utility>

#include "screen/jpeg_codec.h"

namespace ov {
namespace {

std::size_t BytesOf(int width, int height) {
  return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
}

}  // namespace

bool RepeatEncoder::Same(const std::uint8_t* pixels, int width, int height, int maxWidth,
                         int quality) const {
  return enabled_ && valid_ && width == width_ && height == height_ && maxWidth == maxWidth_ &&
         quality == quality_ && std::memcmp(pixels, pixels_.data(), BytesOf(width, height)) == 0;
}

void RepeatEncoder::Remember(int width, int height, int maxWidth, int quality) {
  ++encodes_;
  width_ = width;
  height_ = height;
  maxWidth_ = maxWidth;
  quality_ = quality;
  valid_ = true;
}

RepeatEncoder::Outcome RepeatEncoder::Encode(PixelView pixels, int maxWidth, int quality) {
  if (pixels.data == nullptr || !SurfaceSizeAllowed(pixels.width, pixels.height)) {
    valid_ = false;
    return Outcome::Failed;
  }
  if (Same(pixels.data, pixels.width, pixels.height, maxWidth, quality)) return Outcome::Same;
  valid_ = false;
  jpeg_ = ScaleAndEncode(pixels.data, pixels.width, pixels.height, maxWidth, quality);
  if (jpeg_.empty()) return Outcome::Failed;
  if (enabled_) {
    const std::size_t size = BytesOf(pixels.width, pixels.height);
    pixels_.resize(size);
    std::memcpy(pixels_.data(), pixels.data, size);
  }
  Remember(pixels.width, pixels.height, maxWidth, quality);
  return Outcome::Encoded;
}

std::uint8_t* RepeatEncoder::CaptureBuffer(int width, int height) {
  if (!SurfaceSizeAllowed(width, height)) return nullptr;
  capture_.resize(BytesOf(width, height));
  captureWidth_ = width;
  captureHeight_ = height;
  return capture_.data();
}

RepeatEncoder::Outcome RepeatEncoder::EncodeCaptured(int maxWidth, int quality) {
  const int width = captureWidth_;
  const int height = captureHeight_;
  if (capture_.empty() || !SurfaceSizeAllowed(width, height)) {
    valid_ = false;
    return Outcome::Failed;
  }
  if (Same(capture_.data(), width, height, maxWidth, quality)) return Outcome::Same;
  valid_ = false;
  jpeg_ = ScaleAndEncode(capture_.data(), width, height, maxWidth, quality);
  if (jpeg_.empty()) return Outcome::Failed;
  if (enabled_) std::swap(capture_, pixels_);
  Remember(width, height, maxWidth, quality);
  return Outcome::Encoded;
}

}  // namespace ov
