// The GDI+ JPEG codec, as the Windows build used it before it compiled libjpeg-turbo: the
// baseline the codec benchmark measures libjpeg-turbo against under Wine.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bench/jpeg_gdiplus_win.h"
#include "screen/picture.h"

namespace ov {
namespace {

class StreamHolder {
 public:
  StreamHolder() {
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream_))) stream_ = nullptr;
  }
  ~StreamHolder() {
    if (stream_) stream_->Release();
  }
  StreamHolder(const StreamHolder&) = delete;
  StreamHolder& operator=(const StreamHolder&) = delete;
  IStream* get() const { return stream_; }

 private:
  IStream* stream_ = nullptr;
};

bool FindJpegEncoder(CLSID& out) {
  UINT count = 0, bytes = 0;
  if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0) return false;
  std::vector<std::uint8_t> storage(bytes);
  auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(storage.data());
  if (Gdiplus::GetImageEncoders(count, bytes, codecs) != Gdiplus::Ok) return false;
  for (UINT i = 0; i < count; ++i) {
    if (codecs[i].MimeType != nullptr && std::wcscmp(codecs[i].MimeType, L"image/jpeg") == 0) {
      out = codecs[i].Clsid;
      return true;
    }
  }
  return false;
}

std::vector<std::uint8_t> SaveJpeg(Gdiplus::Image& image, int quality) {
  static const struct Encoder {
    CLSID clsid{};
    bool found = FindJpegEncoder(clsid);
  } encoder;
  if (!encoder.found) return {};
  StreamHolder stream;
  if (!stream.get()) return {};
  ULONG value = static_cast<ULONG>(ClampJpegQuality(quality));
  Gdiplus::EncoderParameters params{};
  params.Count = 1;
  params.Parameter[0].Guid = Gdiplus::EncoderQuality;
  params.Parameter[0].Type = Gdiplus::EncoderParameterValueTypeLong;
  params.Parameter[0].NumberOfValues = 1;
  params.Parameter[0].Value = &value;
  if (image.Save(stream.get(), &encoder.clsid, &params) != Gdiplus::Ok) return {};
  STATSTG stat{};
  if (FAILED(stream.get()->Stat(&stat, STATFLAG_NONAME))) return {};
  const ULONGLONG size = stat.cbSize.QuadPart;
  if (!JpegSizeAllowed(static_cast<std::size_t>(size))) return {};
  LARGE_INTEGER zero{};
  if (FAILED(stream.get()->Seek(zero, STREAM_SEEK_SET, nullptr))) return {};
  std::vector<std::uint8_t> out(static_cast<std::size_t>(size));
  ULONG read = 0;
  if (FAILED(stream.get()->Read(out.data(), static_cast<ULONG>(size), &read)) || read != size) {
    return {};
  }
  return out;
}

}  // namespace

std::vector<std::uint8_t> GdiplusEncodeJpeg(PixelView image, int quality) {
  if (image.data == nullptr || image.width < 1 || image.height < 1 ||
      image.width > kMaxEncodedWidth || image.height > kMaxEncodedHeight) {
    return {};
  }
  // GDI+ only reads the pixels of a wrapped buffer when saving.
  Gdiplus::Bitmap bitmap(image.width, image.height, image.width * 4, PixelFormat32bppRGB,
                         const_cast<BYTE*>(image.data));
  if (bitmap.GetLastStatus() != Gdiplus::Ok) return {};
  return SaveJpeg(bitmap, quality);
}

std::vector<std::uint8_t> GdiplusScaleAndEncode(const std::uint8_t* pixels, int width,
                                                int height, int maxWidth, int quality) {
  if (pixels == nullptr || width <= 0 || height <= 0 || maxWidth <= 0) return {};
  if (!SurfaceSizeAllowed(width, height)) return {};
  const TargetSize target = ScaledSize(width, height, maxWidth);
  if (target.width == width && target.height == height) {
    return GdiplusEncodeJpeg(PixelView{pixels, width, height}, quality);
  }
  Gdiplus::Bitmap source(width, height, width * 4, PixelFormat32bppRGB,
                         const_cast<BYTE*>(pixels));
  Gdiplus::Bitmap scaled(target.width, target.height, PixelFormat32bppRGB);
  if (source.GetLastStatus() != Gdiplus::Ok || scaled.GetLastStatus() != Gdiplus::Ok) return {};
  {
    Gdiplus::Graphics graphics(&scaled);
    if (graphics.GetLastStatus() != Gdiplus::Ok) return {};
    Gdiplus::ImageAttributes attributes;
    if (graphics.SetCompositingMode(Gdiplus::CompositingModeSourceCopy) != Gdiplus::Ok ||
        graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBilinear) !=
            Gdiplus::Ok ||
        attributes.SetWrapMode(Gdiplus::WrapModeTileFlipXY, Gdiplus::Color(255, 0, 0, 0)) !=
            Gdiplus::Ok) {
      return {};
    }
    if (graphics.DrawImage(&source, Gdiplus::Rect(0, 0, target.width, target.height), 0, 0, width,
                           height, Gdiplus::UnitPixel, &attributes) != Gdiplus::Ok) {
      return {};
    }
  }
  return SaveJpeg(scaled, quality);
}

std::optional<PixelBuffer> GdiplusDecodeJpeg(std::span<const std::uint8_t> jpeg) {
  if (jpeg.empty() || jpeg.size() > 0xFFFFFFFFu) return std::nullopt;
  StreamHolder stream;
  if (!stream.get()) return std::nullopt;
  ULONG written = 0;
  if (FAILED(stream.get()->Write(jpeg.data(), static_cast<ULONG>(jpeg.size()), &written)) ||
      written != jpeg.size()) {
    return std::nullopt;
  }
  LARGE_INTEGER zero{};
  if (FAILED(stream.get()->Seek(zero, STREAM_SEEK_SET, nullptr))) return std::nullopt;
  std::unique_ptr<Gdiplus::Bitmap> decoded(Gdiplus::Bitmap::FromStream(stream.get()));
  if (!decoded || decoded->GetLastStatus() != Gdiplus::Ok) return std::nullopt;
  const auto width = static_cast<int>(decoded->GetWidth());
  const auto height = static_cast<int>(decoded->GetHeight());
  if (!SurfaceSizeAllowed(width, height)) return std::nullopt;
  PixelBuffer out;
  out.width = width;
  out.height = height;
  out.bytes.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0);
  {
    // Draw into a plain 32-bit bitmap over our own buffer, independent of the stream.
    Gdiplus::Bitmap plain(width, height, width * 4, PixelFormat32bppRGB, out.bytes.data());
    if (plain.GetLastStatus() != Gdiplus::Ok) return std::nullopt;
    Gdiplus::Graphics graphics(&plain);
    if (graphics.GetLastStatus() != Gdiplus::Ok) return std::nullopt;
    graphics.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
    if (graphics.DrawImage(decoded.get(), 0, 0, width, height) != Gdiplus::Ok) return std::nullopt;
  }
  for (std::size_t i = 3; i < out.bytes.size(); i += 4) out.bytes[i] = 0xFF;
  return out;
}

}  // namespace ov
