// A received frame's JPEG: the marker walk, then the checked decoder, on raw bytes.
//
// Checked: a header that passes names an acceptable image (8-bit baseline, extended or
// progressive Huffman; 1, 3 or 4 components; within 7680 x 4320), and a decoded picture has
// exactly that size in the pixel buffer layout, every fourth byte 0xFF.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/fuzz_check.h"
#include "screen/jpeg_check.h"
#include "screen/jpeg_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> jpeg(data, size);
  const auto header = ov::CheckJpegMarkers(jpeg);
  if (header) {
    OV_FUZZ_CHECK(header->width >= 1 && header->width <= 7680);
    OV_FUZZ_CHECK(header->height >= 1 && header->height <= 4320);
    OV_FUZZ_CHECK(header->components == 1 || header->components == 3 || header->components == 4);
    OV_FUZZ_CHECK(header->marker == 0xC0 || header->marker == 0xC1 || header->marker == 0xC2);
  }
  const auto picture = ov::DecodeFrameJpeg(data, size);
  if (!picture) return 0;
  OV_FUZZ_CHECK(header.has_value());
  OV_FUZZ_CHECK(picture->width == header->width && picture->height == header->height);
  OV_FUZZ_CHECK(picture->bytes.size() ==
                static_cast<std::size_t>(picture->width) * static_cast<std::size_t>(picture->height) * 4);
  for (std::size_t i = 3; i < picture->bytes.size(); i += 4) OV_FUZZ_CHECK(picture->bytes[i] == 0xFF);
  return 0;
}
