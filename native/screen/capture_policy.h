// The per-call decision logic of the Windows capturer, kept apart from the GDI and WGC calls so
// that every branch of it can be exercised with a scripted fake.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "screen/capture_types.h"
#include "screen/screen_capturer.h"

namespace ov {

// The system operations one capture call is made of.
class CaptureSteps {
 public:
  virtual ~CaptureSteps() = default;

  enum class CopyResult { Ok, Failed, NoSurface };

  virtual bool InputDesktopActive() = 0;
  // Stops the WGC session and allows an immediate restart.
  virtual void ResetWgc() = 0;
  virtual std::optional<ScreenRect> ResolveBounds(const DisplayInfo& display) = 0;
  // Copies `rect` of the screen into surface `slot` (0: first copy, with CAPTUREBLT; 1: second,
  // plain). NoSurface: the screen context or the DIB could not be made. On Ok, `black` tells
  // the black test's verdict on the copied picture.
  virtual CopyResult CopyScreen(int slot, const ScreenRect& rect, bool& black) = 0;
  // Draws the cursor into surface `slot`, flushes and scales and encodes it. Empty on failure.
  virtual std::vector<std::uint8_t> EncodeSurface(int slot, const ScreenRect& rect, int maxWidth,
                                                  int quality) = 0;
  // The WGC path: a JPEG or empty. Sets status.error always, and status.backend/black when it
  // yields a picture.
  virtual std::vector<std::uint8_t> TryWgc(const DisplayInfo& display, const ScreenRect& rect,
                                           int maxWidth, int quality, CaptureStatus& status) = 0;
};

// One capture call: desktop check, bounds, optional WGC first, the two GDI copies with the black
// test and the WGC fallback. `preferWgc` is set once WGC has delivered a picture. Gives up only
// on a request that cannot be met (no width, an empty or oversized display rectangle); every
// other failure is worth another try. Never throws.
CaptureResult RunCaptureFrame(CaptureSteps& steps, bool& preferWgc,
                                          const DisplayInfo& display, int maxWidth, int quality,
                                          CaptureStatus& status);

}  // namespace ov
