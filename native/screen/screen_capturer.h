// The capturer a streaming thread owns: one JPEG of one display per call.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "screen/capture_types.h"

namespace ov {

class ScreenCapturer {
 public:
  virtual ~ScreenCapturer() = default;
  ScreenCapturer() = default;
  ScreenCapturer(const ScreenCapturer&) = delete;
  ScreenCapturer& operator=(const ScreenCapturer&) = delete;

  // One JPEG of the display's current picture, scaled to at most maxWidth and encoded at
  // `quality` (clamped to 20..95), or empty when nothing could be produced. `status` is reset to
  // its initial values and filled by the call. Never throws.
  virtual std::vector<std::uint8_t> CaptureFrame(const DisplayInfo& display, int maxWidth,
                                                 int quality, CaptureStatus& status) = 0;
};

// The platform capturer. On Windows: GDI screen copies with the Windows.Graphics.Capture
// fallback; the calling thread must have joined the multithreaded COM apartment and must be the
// only one to use it. Elsewhere: the synthetic desktop (see synthetic_capturer.h).
std::unique_ptr<ScreenCapturer> CreateScreenCapturer();

}  // namespace ov
