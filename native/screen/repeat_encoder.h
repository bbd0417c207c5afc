// Scaling and encoding of captured pictures that remembers the last picture it encoded: the same
// pixels asked for at the same width and quality are not encoded again, because the encoder is
// deterministic and would produce the same bytes. A static screen then costs a comparison per
// frame instead of an encode. One per capturer; not thread-safe.
#pragma once

#include <cstdint>
#include <vector>

#include "screen/capture_types.h"
#include "screen/picture_encoder.h"

namespace ov {

class RepeatEncoder final : public PictureEncoder {
 public:

  // Encoded: `pixels` were scaled to at most maxWidth, encoded at `quality` and jpeg() holds the
  // result. Same: they equal the pixels of the last Encoded call at the same settings; jpeg()
  // still holds that call's result. Failed: nothing to encode or the encoder failed; the next
  // call encodes whatever it gets.
  Outcome Encode(PixelView pixels, int maxWidth, int quality) override;

  // The same for a picture captured straight into the encoder's own buffer: CaptureBuffer gives
  // room for a width x height picture (its contents are unspecified), EncodeCaptured compares
  // and encodes it. An encoded capture is kept as the last picture by swapping buffers, so a
  // changing screen costs no copy. Null when the size is not allowed.
  std::uint8_t* CaptureBuffer(int width, int height);
  Outcome EncodeCaptured(int maxWidth, int quality);

  const std::vector<std::uint8_t>& jpeg() const noexcept { return jpeg_; }
  const std::vector<std::uint8_t>& output() const noexcept override { return jpeg_; }
  // Encoded calls so far (for tests and benchmarks).
  std::uint64_t encodes() const noexcept { return encodes_; }
  // Turns the comparison off or on (benchmarks measure what it saves).
  void SetEnabled(bool enabled) noexcept { enabled_ = enabled; }

 private:
  bool Same(const std::uint8_t* pixels, int width, int height, int maxWidth, int quality) const;
  void Remember(int width, int height, int maxWidth, int quality);

  std::vector<std::uint8_t> pixels_;  // the last encoded picture, tightly packed
  std::vector<std::uint8_t> capture_;
  int captureWidth_ = 0;
  int captureHeight_ = 0;
  std::vector<std::uint8_t> jpeg_;
  int width_ = 0;
  int height_ = 0;
  int maxWidth_ = 0;
  int quality_ = 0;
  bool valid_ = false;
  bool enabled_ = true;
  std::uint64_t encodes_ = 0;
};

}  // namespace ov
