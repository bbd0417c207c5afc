#include "screen/repeat_encoder.h"

#include <cstring>

#include "screen/jpeg_codec.h"

namespace ov {

RepeatEncoder::Outcome RepeatEncoder::Encode(PixelView pixels, int maxWidth, int quality) {
  if (pixels.data == nullptr || !SurfaceSizeAllowed(pixels.width, pixels.height)) {
    valid_ = false;
    return Outcome::Failed;
  }
  const std::size_t size =
      static_cast<std::size_t>(pixels.width) * static_cast<std::size_t>(pixels.height) * 4;
  if (enabled_ && valid_ && pixels.width == width_ && pixels.height == height_ &&
      maxWidth == maxWidth_ && quality == quality_ &&
      std::memcmp(pixels.data, pixels_.data(), size) == 0) {
    return Outcome::Same;
  }
  valid_ = false;
  jpeg_ = ScaleAndEncode(pixels.data, pixels.width, pixels.height, maxWidth, quality);
  if (jpeg_.empty()) return Outcome::Failed;
  ++encodes_;
  if (enabled_) {
    pixels_.resize(size);
    std::memcpy(pixels_.data(), pixels.data, size);
  }
  width_ = pixels.width;
  height_ = pixels.height;
  maxWidth_ = maxWidth;
  quality_ = quality;
  valid_ = true;
  return Outcome::Encoded;
}

}  // namespace ov
