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

// What the capturer needs of duplication (tests script it).
class ScreenDuplication {
 public:
  ScreenDuplication() = default;
  ScreenDuplication(const ScreenDuplication&) = delete;
  ScreenDuplication& operator=(const ScreenDuplication&) = delete;
  virtual ~ScreenDuplication() = default;

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
  virtual Result Copy(const ScreenRect& rect, std::uint8_t* dest, std::size_t stride, bool whole,
                      std::span<const RegionRect> restore, std::vector<RegionRect>& changed) = 0;

  // A clear reason to try duplication again where it failed: the desktop was switched, the
  // displays changed.
  virtual void AllowRetry() noexcept = 0;

  // The HRESULT of the last failure to duplicate (0 when none), and how many times duplication
  // was set up so far (each DuplicateOutput call counts).
  virtual std::uint32_t lastError() const noexcept = 0;
  virtual std::uint32_t attempts() const noexcept = 0;
};

// Desktop Duplication of the display's output, on a Direct3D 11 device of its adapter.
class DesktopDuplication final : public ScreenDuplication {
 public:
  DesktopDuplication();
  ~DesktopDuplication() override;

  Result Copy(const ScreenRect& rect, std::uint8_t* dest, std::size_t stride, bool whole,
              std::span<const RegionRect> restore, std::vector<RegionRect>& changed) override;
  void AllowRetry() noexcept override;
  std::uint32_t lastError() const noexcept override;
  std::uint32_t attempts() const noexcept override;
  // Whether a duplication of a display is open.
  bool active() const noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ov
