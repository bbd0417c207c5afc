// Types shared by the capture backends, the streaming thread and the announcement of displays.
// Header-only so that the WGC backend can use them without depending on the screen library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
  friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

inline constexpr std::size_t kMaxDisplays = 16;

enum class CaptureBackend : std::int32_t { None = 0, Gdi = 1, Wgc = 2 };

// Filled by every capture call; the streaming thread reports it to the viewer.
struct CaptureStatus {
  std::int32_t backend = static_cast<std::int32_t>(CaptureBackend::None);
  bool black = false;
  bool desktop = true;
  // HRESULT of the WGC attempt of this call, or the stored one while WGC backs off.
  std::uint32_t error = 0;
};

// Size limits of captured surfaces, encoded pictures and JPEG results.
inline constexpr std::int64_t kMaxSurfaceSide = 32768;
inline constexpr std::int64_t kMaxSurfacePixels = 0x2000000;
inline constexpr std::int64_t kMaxMappedRowPitch = 0x30000;
inline constexpr int kMaxEncodedWidth = 7680;
inline constexpr int kMaxEncodedHeight = 4320;
inline constexpr std::size_t kMinJpegBytes = 4;
inline constexpr std::size_t kMaxJpegBytes = 0x7FFFFF;
inline constexpr int kMinJpegQuality = 20;
inline constexpr int kMaxJpegQuality = 95;

// True when a captured surface of this size may be allocated and processed.
inline bool SurfaceSizeAllowed(std::int64_t width, std::int64_t height) noexcept {
  return width >= 1 && height >= 1 && width <= kMaxSurfaceSide && height <= kMaxSurfaceSide &&
         width * height <= kMaxSurfacePixels;
}

// A picture as both backends hand it over: 4 bytes per pixel in the order blue, green, red,
// ignored; rows top-down, each exactly width * 4 bytes.
struct PixelBuffer {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bytes;

  bool Empty() const noexcept { return width <= 0 || height <= 0 || bytes.empty(); }
};

// A read-only view of pixels in the same layout (no ownership).
struct PixelView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
};

}  // namespace ov
