#include "screen/jpeg_check.h"

#include "base/byte_reader.h"
#include "screen/capture_types.h"

namespace ov {

std::optional<JpegFrameHeader> CheckJpegMarkers(std::span<const std::uint8_t> data) noexcept {
  if (data.size() < kMinJpegBytes || data.size() > kMaxJpegBytes) return std::nullopt;
  if (data[0] != 0xFF || data[1] != 0xD8) return std::nullopt;

  ByteReader reader(data);
  reader.Skip(2);
  std::optional<JpegFrameHeader> frame;
  bool frameSeen = false;
  for (;;) {
    std::uint8_t byte = 0;
    if (!reader.ReadU8(byte) || byte != 0xFF) return std::nullopt;
    std::uint8_t marker = 0xFF;
    while (marker == 0xFF) {  // fill bytes
      if (!reader.ReadU8(marker)) return std::nullopt;
    }
    if (marker == 0x00 || marker == 0xD8 || marker == 0xD9) return std::nullopt;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;

    // Segment with a length that counts itself but not the marker.
    std::uint16_t length = 0;
    if (!reader.ReadU16BE(length)) return std::nullopt;
    if (length < 2 || static_cast<std::size_t>(length) - 2 > reader.remaining()) return std::nullopt;
    std::span<const std::uint8_t> body;
    reader.ReadBytes(static_cast<std::size_t>(length) - 2, body);

    const bool isFrameHeader =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (isFrameHeader) {
      if (frameSeen) return std::nullopt;
      frameSeen = true;
      if (marker != 0xC0 && marker != 0xC1 && marker != 0xC2) return std::nullopt;
      if (length < 8) return std::nullopt;
      ByteReader fields(body);
      std::uint8_t precision = 0, components = 0;
      std::uint16_t height = 0, width = 0;
      if (!fields.ReadU8(precision) || !fields.ReadU16BE(height) || !fields.ReadU16BE(width) ||
          !fields.ReadU8(components)) {
        return std::nullopt;
      }
      if (precision != 8) return std::nullopt;
      if (height < 1 || height > kMaxEncodedHeight) return std::nullopt;
      if (width < 1 || width > kMaxEncodedWidth) return std::nullopt;
      if (components != 1 && components != 3 && components != 4) return std::nullopt;
      if (length != 3 * components + 8) return std::nullopt;
      frame = JpegFrameHeader{width, height, components, marker};
      continue;
    }
    if (marker == 0xDA) {
      if (!frame || length < 6) return std::nullopt;
      return frame;
    }
    // Tables, application data, comments and every other segment are skipped.
  }
}

}  // namespace ov
