// Copies of one display through Desktop Duplication: the system hands over the display's image
// with the rectangles that changed (and moved) since the image before, so a copy that already
// holds the earlier image is brought up to date by writing only those. Where duplication is not
// to be had (no such system call, the secure desktop, an unsupported mode, a rotated display) the
// caller copies by other means; duplication is tried again on that display only after
// AllowRetry() or once the display's rectangle changes, never on every frame.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "screen/capture_types.h"
#include "screen/region_frame.h"

namespace ov {

class DesktopDuplication {
 public:
  DesktopDuplication();
  ~DesktopDuplication();
  DesktopDuplication(const DesktopDuplication&) = delete;
  DesktopDuplication& operator=(const DesktopDuplication&) = delete;

  enum class Result {
    // `dest` holds the display's current image; every pixel written lies in `changed`.
    Copied,
    // Nothing was written: no duplication for this display (see lastError()), or no image yet.
    Unavailable,
  };

  // Brings `dest` (the display's size, rows top-down `stride` bytes apart, 4 bytes a pixel in
  // the order blue, green, red, ignored) up to the current image of the display at `rect`
  // (virtual-screen coordinates). With `whole`, dest holds nothing to build on and every pixel
  // is written; otherwise it holds the image this object wrote last, except in the `restore`
  // areas (drawn over by the caller), which are written again. `changed` receives the areas
  // written, in pixels of dest (whole: one rectangle of all of it; nothing new: none).
  Result Copy(const ScreenRect& rect, std::uint8_t* dest, std::size_t stride, bool whole,
              std::span<const RegionRect> restore, std::vector<RegionRect>& changed);

  // A clear reason to try duplication again where it failed: the desktop was switched, the
  // displays changed.
  void AllowRetry() noexcept;

  // Whether a duplication of a display is open.
  bool active() const noexcept;
  // The HRESULT of the last failure to duplicate (0 when none), and how many times duplication
  // was set up so far (each DuplicateOutput call counts).
  std::uint32_t lastError() const noexcept;
  std::uint32_t attempts() const noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ov
