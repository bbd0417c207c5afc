// What a capturer hands each captured picture to: an encoder that scales it to at most maxWidth,
// encodes it at `quality` and tells whether anything new came out. The capturer's own encoder
// makes whole JPEGs (RepeatEncoder); a stream of changed-region frames lends it a RegionEncoder
// instead (ScreenCapturer::UseEncoder).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "screen/capture_types.h"
#include "screen/region_frame.h"

namespace ov {

class PictureEncoder {
 public:
  PictureEncoder() = default;
  PictureEncoder(const PictureEncoder&) = delete;
  PictureEncoder& operator=(const PictureEncoder&) = delete;
  virtual ~PictureEncoder() = default;

  // Encoded: output() holds the new result. Same: nothing new to send; output() still holds the
  // last result. Failed: nothing to encode or the encoder failed.
  enum class Outcome { Encoded, Same, Failed };

  virtual Outcome Encode(PixelView pixels, int maxWidth, int quality) = 0;
  virtual const std::vector<std::uint8_t>& output() const noexcept = 0;

  // Where the next Encode's pixels may differ from those given to the previous Encode: every
  // pixel that may differ lies inside these rectangles (capture pixels; none: nothing changed).
  // Consumed by the next Encode. Without one that Encode assumes anything may have changed; a
  // caller that is not sure gives none. An encoder may ignore it (the default does).
  virtual void HintChanged(std::span<const RegionRect> capturePixelRects) {
    static_cast<void>(capturePixelRects);
  }
};

}  // namespace ov
