#include <utility>
#include <vector>

#include "screen/jpeg_check.h"
#include "screen/jpeg_codec.h"

namespace ov {

std::optional<PixelBuffer> DecodeCheckedJpeg(std::span<const std::uint8_t> jpeg,
                                             JpegPixelDecoder decode,
                                             std::vector<std::uint8_t> storage) {
  const auto header = CheckJpegMarkers(jpeg);
  if (!header || decode == nullptr) return std::nullopt;
  auto picture = decode(jpeg, std::move(storage));
  if (!picture || picture->width != header->width || picture->height != header->height ||
      picture->bytes.size() != static_cast<std::size_t>(header->width) *
                                   static_cast<std::size_t>(header->height) * 4) {
    return std::nullopt;
  }
  return picture;
}

std::optional<PixelBuffer> DecodeFrameJpeg(const std::uint8_t* bytes, std::size_t length) {
  if (bytes == nullptr) return std::nullopt;
  return DecodeCheckedJpeg(std::span<const std::uint8_t>(bytes, length), &DecodeJpegPixels);
}

std::optional<PixelBuffer> DecodeFrameJpeg(const std::uint8_t* bytes, std::size_t length,
                                           PixelBuffer&& reuse) {
  if (bytes == nullptr) return std::nullopt;
  std::vector<std::uint8_t> storage = std::move(reuse.bytes);
  reuse = PixelBuffer();
  return DecodeCheckedJpeg(std::span<const std::uint8_t>(bytes, length), &DecodeJpegPixels,
                           std::move(storage));
}

}  // namespace ov
