// Portable picture helpers used by every capture path: the black test, the target size of the
// scaled picture, the quality clamp and the area-filter downscaler in front of the encoder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "screen/capture_types.h"

namespace ov {

// True when every pixel has blue, green and red at most 3 (the fourth byte is ignored).
// An empty or zero-sized picture counts as black.
bool IsBlackPicture(const std::uint8_t* pixels, int width, int height) noexcept;
// The index (y * width + x) of the first pixel with blue, green or red above 3; -1 when there is
// none (the picture is black).
std::int64_t FirstNonBlackPixel(const std::uint8_t* pixels, int width, int height) noexcept;

struct TargetSize {
  int width = 0;
  int height = 0;
};

// The size a width x height picture is encoded at: never enlarged, at most min(maxWidth, 7680)
// wide and 4320 high, aspect kept, each side truncated and at least 1. Returns 0 x 0 when
// width, height or maxWidth is not positive.
TargetSize ScaledSize(int width, int height, int maxWidth) noexcept;

// Quality handed to the JPEG encoder, clamped to 20..95.
int ClampJpegQuality(int quality) noexcept;

// True when an encoder's output may be handed on (4 to 0x7FFFFF bytes).
inline bool JpegSizeAllowed(std::size_t size) noexcept {
  return size >= kMinJpegBytes && size <= kMaxJpegBytes;
}

// Resamples src into dst (both 4 bytes per pixel, tightly packed) with an area filter: each
// output pixel is the average of the source area it covers, edge pixels weighted by the part
// they cover (integer weights in 1/256 per axis). Every source pixel counts, none twice; along
// a dimension that is enlarged, an output pixel averages the one or two source pixels its span
// touches. The fourth byte of dst is set to 0xFF.
void ResamplePixels(PixelView src, std::uint8_t* dst, int dstWidth, int dstHeight);
// The same for a source whose rows lie srcStride bytes apart (at least src.width * 4): a
// rectangle of a larger picture, read where it lies. The result is the same as for a packed copy.
void ResamplePixels(PixelView src, std::size_t srcStride, std::uint8_t* dst, int dstWidth,
                    int dstHeight);

}  // namespace ov
