// Structural check of a received JPEG before any decoder sees it: a bounds-checked walk over the
// markers up to the start of scan. Only 8-bit baseline, extended or progressive Huffman images
// of 1, 3 or 4 components within 7680 x 4320 pass.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace ov {

struct JpegFrameHeader {
  int width = 0;
  int height = 0;
  int components = 0;
  std::uint8_t marker = 0;  // 0xC0, 0xC1 or 0xC2
};

// The frame header of an acceptable JPEG, or nullopt when the data is refused.
std::optional<JpegFrameHeader> CheckJpegMarkers(std::span<const std::uint8_t> data) noexcept;

}  // namespace ov
