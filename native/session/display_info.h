// The display model shared by the display enumeration, the capture backends, the stream and the
// peer control protocol: a host display is enumerated once into DisplayInfo, and everything else
// (the screens announced to the viewer, the stream's target) is derived from that one list.
// Header-only and free of dependencies, so that the capture backends can use it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ov {

// A rectangle in virtual-screen coordinates; right and bottom are exclusive.
struct ScreenRect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;

  std::int64_t Width() const noexcept { return std::int64_t{right} - left; }
  std::int64_t Height() const noexcept { return std::int64_t{bottom} - top; }
  bool Empty() const noexcept { return left >= right || top >= bottom; }
  friend bool operator==(const ScreenRect&, const ScreenRect&) = default;
};

// One shareable display. An empty device name stands for the primary display.
struct DisplayInfo {
  std::wstring deviceName;
  ScreenRect rect;
  bool primary = false;
  std::int32_t hz = 60;  // refresh rate of its current mode (60 when unreadable or below 2)
  friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

// A host lists at most this many displays; a viewer accepts at most this many screens.
inline constexpr std::size_t kMaxDisplays = 16;

// One display as the viewer knows it: what the host announces of a DisplayInfo.
struct ScreenInfo {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t hz = 60;
  bool primary = false;
  friend bool operator==(const ScreenInfo&, const ScreenInfo&) = default;
};

// The announced entry of a display. Sizes beyond 32-bit range cannot be enumerated, so the
// narrowing only ever drops what a real rectangle never has.
inline ScreenInfo ToScreenInfo(const DisplayInfo& display) noexcept {
  return ScreenInfo{static_cast<std::int32_t>(display.rect.Width()),
                    static_cast<std::int32_t>(display.rect.Height()), display.hz, display.primary};
}

enum class CaptureBackend : std::int32_t { None = 0, Gdi = 1, Wgc = 2 };

// Filled by every capture call; the stream reports it to the viewer, which keeps its copy.
struct CaptureStatus {
  std::int32_t backend = static_cast<std::int32_t>(CaptureBackend::None);
  bool black = false;
  bool desktop = true;
  // HRESULT of the WGC attempt of this call, or the stored one while WGC backs off.
  std::uint32_t error = 0;
  friend bool operator==(const CaptureStatus&, const CaptureStatus&) = default;
};

}  // namespace ov
