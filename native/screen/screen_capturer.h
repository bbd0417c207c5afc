// The capturer a streaming thread owns: one JPEG of one display per call.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "screen/capture_types.h"
#include "screen/picture_encoder.h"

namespace ov {

// What one capture call produced and what its caller does next: send the picture, try again at
// the next frame time (the desktop is locked, a copy failed: this may pass), or give up on this
// display (the request can never be met: no width to scale to, a surface too large to make).
// Unchanged: the display shows exactly the pixels of this capturer's last Picture, asked for at
// the same width and quality, so the JPEG would be the same bytes; it was not encoded again.
struct CaptureResult {
  enum class Next { Picture, TryAgain, GiveUp, Unchanged };

  Next next = Next::TryAgain;
  std::vector<std::uint8_t> jpeg;  // the picture; empty unless next is Picture

  static CaptureResult Picture(std::vector<std::uint8_t> jpeg) {
    if (jpeg.empty()) return CaptureResult{};
    return CaptureResult{Next::Picture, std::move(jpeg)};
  }
  static CaptureResult TryAgain() { return CaptureResult{}; }
  static CaptureResult GiveUp() { return CaptureResult{Next::GiveUp, {}}; }
  static CaptureResult Unchanged() { return CaptureResult{Next::Unchanged, {}}; }
};

class ScreenCapturer {
 public:
  virtual ~ScreenCapturer() = default;
  ScreenCapturer() = default;
  ScreenCapturer(const ScreenCapturer&) = delete;
  ScreenCapturer& operator=(const ScreenCapturer&) = delete;

  // One JPEG of the display's current picture, scaled to at most maxWidth and encoded at
  // `quality` (clamped to 20..95), with what to do next when there is none. `status` is reset to
  // its initial values and filled by the call. Never throws.
  virtual CaptureResult CaptureFrame(const DisplayInfo& display, int maxWidth, int quality,
                                     CaptureStatus& status) = 0;

  // Lends the capturer an encoder for its pictures (null: back to its own whole-JPEG encoder).
  // While lent, a Picture carries that encoder's output, Unchanged means it reported Same, and
  // maxWidth and quality are handed to it. False when this capturer cannot take one (its
  // pictures stay whole JPEGs). `encoder` must outlive its use; called on the capturing thread.
  // The pixels a capture hands to the lent encoder stay as they are until the next capture (the
  // stream keeps them as the last picture sent once the frame is queued).
  virtual bool UseEncoder(PictureEncoder* encoder) {
    static_cast<void>(encoder);
    return false;
  }
};

// The platform capturer. On Windows: GDI screen copies with the Windows.Graphics.Capture
// fallback; the calling thread must have joined the multithreaded COM apartment and must be the
// only one to use it. Elsewhere: the synthetic desktop (see synthetic_capturer.h).
std::unique_ptr<ScreenCapturer> CreateScreenCapturer();

}  // namespace ov
