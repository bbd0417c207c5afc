// Types shared by the capture backends and the streaming thread (the display model itself is
// session/display_info.h). Header-only so that the WGC backend can use them without depending on
// the screen library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "session/display_info.h"

namespace ov {

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
