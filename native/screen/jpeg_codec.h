// JPEG encoding of captured pictures and decoding of received frames, by libjpeg-turbo in both
// builds (baseline JPEG, 4:2:0), with the portable area-filter downscaler in front of the
// encoder. Safe on any thread; no state is kept between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "screen/capture_types.h"

namespace ov {

// Encodes the picture as a baseline JPEG at ClampJpegQuality(quality), 4:2:0 or, with
// fullChroma, 4:4:4 (for sharp coloured text at rest). Empty when the picture
// is empty or outside the encoded-size limits, when the encoder fails, or when the result is not
// 4 to 0x7FFFFF bytes long.
std::vector<std::uint8_t> EncodeJpeg(PixelView image, int quality, bool fullChroma = false);
// The same for a picture whose rows lie `stride` bytes apart (at least image.width * 4): a
// rectangle of a larger picture, encoded where it lies, to the bytes a packed copy gives. Empty
// also when the stride is shorter than a row or beyond the encoder's pitch.
std::vector<std::uint8_t> EncodeJpeg(PixelView image, std::size_t stride, int quality,
                                     bool fullChroma);

// Scales the picture to ScaledSize(width, height, maxWidth) (never enlarging) and encodes it.
// Empty when there are no pixels, width, height or maxWidth is not positive, or any step fails.
std::vector<std::uint8_t> ScaleAndEncode(const std::uint8_t* pixels, int width, int height,
                                         int maxWidth, int quality);

// Checks a received JPEG with CheckJpegMarkers, decodes it and returns the picture
// (PixelBuffer layout, fourth byte 0xFF), or nullopt when the data is refused, the decoder fails,
// or the decoded size differs from the frame header's.
std::optional<PixelBuffer> DecodeFrameJpeg(const std::uint8_t* bytes, std::size_t length);
// The same, decoding into `reuse`'s memory (a viewer's previous picture, which it gives up): a
// picture of the same size needs no fresh pages and no clearing of its bytes before the decoder
// writes every one of them.
std::optional<PixelBuffer> DecodeFrameJpeg(const std::uint8_t* bytes, std::size_t length,
                                           PixelBuffer&& reuse);

// The platform decoder alone: any JPEG the platform can read, in PixelBuffer layout (fourth byte
// 0xFF), or nullopt. No structural checks; callers use DecodeFrameJpeg. `storage` is memory to
// decode into (its contents are overwritten).
std::optional<PixelBuffer> DecodeJpegPixels(std::span<const std::uint8_t> jpeg,
                                            std::vector<std::uint8_t> storage = {});

// DecodeFrameJpeg with the decoder as a parameter (the seam its size cross-check is tested by).
using JpegPixelDecoder = std::optional<PixelBuffer> (*)(std::span<const std::uint8_t>,
                                                         std::vector<std::uint8_t>);
std::optional<PixelBuffer> DecodeCheckedJpeg(std::span<const std::uint8_t> jpeg,
                                             JpegPixelDecoder decode,
                                             std::vector<std::uint8_t> storage = {});

}  // namespace ov
