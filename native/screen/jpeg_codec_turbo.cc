// The JPEG codec over libjpeg-turbo's TurboJPEG API (both builds).
#include <turbojpeg.h>

#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "screen/jpeg_codec.h"
#include "screen/picture.h"

namespace ov {
namespace {

struct TjDeleter {
  void operator()(void* handle) const noexcept { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

struct TjBufferDeleter {
  void operator()(unsigned char* p) const noexcept { tjFree(p); }
};

}  // namespace

std::vector<std::uint8_t> EncodeJpeg(PixelView image, int quality, bool fullChroma) {
  if (image.width < 1) return {};
  return EncodeJpeg(image, static_cast<std::size_t>(image.width) * 4, quality, fullChroma);
}

std::vector<std::uint8_t> EncodeJpeg(PixelView image, std::size_t stride, int quality,
                                     bool fullChroma) {
  if (image.data == nullptr || image.width < 1 || image.height < 1 ||
      image.width > kMaxEncodedWidth || image.height > kMaxEncodedHeight ||
      stride < static_cast<std::size_t>(image.width) * 4 ||
      stride > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return {};
  }
  TjHandle handle(tjInitCompress());
  if (!handle) return {};
  unsigned char* raw = nullptr;
  unsigned long size = 0;
  const int rc = tjCompress2(handle.get(), image.data, image.width, static_cast<int>(stride), image.height,
                             TJPF_BGRX, &raw, &size, fullChroma ? TJSAMP_444 : TJSAMP_420, ClampJpegQuality(quality),
                             0);
  std::unique_ptr<unsigned char, TjBufferDeleter> owned(raw);
  if (rc != 0 || raw == nullptr || !JpegSizeAllowed(size)) return {};
  return std::vector<std::uint8_t>(raw, raw + size);
}

std::vector<std::uint8_t> ScaleAndEncode(const std::uint8_t* pixels, int width, int height,
                                         int maxWidth, int quality) {
  if (pixels == nullptr || width <= 0 || height <= 0 || maxWidth <= 0) return {};
  if (!SurfaceSizeAllowed(width, height)) return {};
  const TargetSize target = ScaledSize(width, height, maxWidth);
  if (target.width == width && target.height == height) {
    return EncodeJpeg(PixelView{pixels, width, height}, quality);
  }
  std::vector<std::uint8_t> scaled(static_cast<std::size_t>(target.width) *
                                   static_cast<std::size_t>(target.height) * 4);
  ResamplePixels(PixelView{pixels, width, height}, scaled.data(), target.width, target.height);
  return EncodeJpeg(PixelView{scaled.data(), target.width, target.height}, quality);
}

std::optional<PixelBuffer> DecodeJpegPixels(std::span<const std::uint8_t> jpeg,
                                            std::vector<std::uint8_t> storage) {
  if (jpeg.empty()) return std::nullopt;
  TjHandle handle(tjInitDecompress());
  if (!handle) return std::nullopt;
  const auto size = static_cast<unsigned long>(jpeg.size());
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(handle.get(), jpeg.data(), size, &width, &height, &subsampling,
                          &colorspace) != 0) {
    return std::nullopt;
  }
  if (!SurfaceSizeAllowed(width, height)) return std::nullopt;
  PixelBuffer out;
  out.width = width;
  out.height = height;
  // Memory of the same size is taken as it is (the decoder writes every byte); other memory is
  // given back first, so that growing it never copies what it held.
  const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
  if (storage.size() != bytes) {
    storage = std::vector<std::uint8_t>();
    storage.resize(bytes);
  }
  out.bytes = std::move(storage);
  // Damaged entropy data is an error (TJFLAG_STOPONWARNING), never half a picture. A progressive
  // picture may hold at most 500 scans (TJFLAG_LIMITSCANS): the marker walk stops at the first
  // scan, and each later one is a pass over every block, so a frame of a few megabytes of tiny
  // valid scans would otherwise hold the decoding thread for minutes.
  if (tjDecompress2(handle.get(), jpeg.data(), size, out.bytes.data(), width, width * 4, height,
                    TJPF_BGRX, TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS) != 0) {
    return std::nullopt;
  }
  // The X byte of a decompressed BGRX pixel is 0xFF by the decoder's contract: the fourth byte
  // needs no pass of its own (tested, as the layout promises it).
  return out;
}

}  // namespace ov
