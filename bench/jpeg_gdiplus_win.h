// The GDI+ JPEG codec (encode, high-quality bilinear scale and encode, decode): the baseline of
// the codec benchmark under Wine. GDI+ must have been started by the process.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "screen/capture_types.h"

namespace ov {

std::vector<std::uint8_t> GdiplusEncodeJpeg(PixelView image, int quality);
std::vector<std::uint8_t> GdiplusScaleAndEncode(const std::uint8_t* pixels, int width,
                                                int height, int maxWidth, int quality);
std::optional<PixelBuffer> GdiplusDecodeJpeg(std::span<const std::uint8_t> jpeg);

}  // namespace ov
