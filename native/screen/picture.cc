#include "screen/picture.h"

#include <algorithm>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ov {

std::int64_t FirstNonBlackPixel(const std::uint8_t* pixels, int width, int height) noexcept {
  if (pixels == nullptr || width <= 0 || height <= 0) return -1;
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* p = pixels + i * 4;
    if (((p[0] | p[1] | p[2]) & 0xFC) != 0) return static_cast<std::int64_t>(i);  // a channel above 3
  }
  return -1;
}

bool IsBlackPicture(const std::uint8_t* pixels, int width, int height) noexcept {
  return FirstNonBlackPixel(pixels, width, height) < 0;
}

TargetSize ScaledSize(int width, int height, int maxWidth) noexcept {
  if (width <= 0 || height <= 0 || maxWidth <= 0) return {};
  const double limitWidth = static_cast<double>(std::min(maxWidth, kMaxEncodedWidth));
  double scale = 1.0;
  scale = std::min(scale, limitWidth / static_cast<double>(width));
  scale = std::min(scale, static_cast<double>(kMaxEncodedHeight) / static_cast<double>(height));
  TargetSize out;
  out.width = std::max(1, static_cast<int>(static_cast<double>(width) * scale));
  out.height = std::max(1, static_cast<int>(static_cast<double>(height) * scale));
  return out;
}

int ClampJpegQuality(int quality) noexcept {
  return std::clamp(quality, kMinJpegQuality, kMaxJpegQuality);
}

namespace {

// The source pixels one output coordinate averages: `count` taps from `first`, with weights in
// 1/256 that sum to exactly 256 (each the part of the output pixel's span the source pixel
// covers). Every output coordinate gets the same number of taps (zero weights pad the short
// ones), so that the inner loops have a fixed length.
struct AreaTaps {
  int taps = 1;
  std::vector<int> first;
  std::vector<std::uint16_t> weights;  // taps entries per output coordinate
};

AreaTaps BuildAreaTaps(int srcSize, int dstSize) {
  AreaTaps t;
  const auto n = static_cast<std::size_t>(dstSize);
  // Positions in 1/65536 of a source pixel; the span of output d is [d, d + 1) * src / dst.
  const std::uint64_t scale = (static_cast<std::uint64_t>(srcSize) << 16);
  auto edge = [&](std::uint64_t d) { return d * scale / static_cast<std::uint64_t>(dstSize); };
  for (std::size_t d = 0; d < n; ++d) {
    const std::uint64_t a = edge(d);
    const std::uint64_t b = std::max(edge(d + 1), a + 1);
    const int lo = static_cast<int>(a >> 16);
    const int hi = std::min(static_cast<int>((b - 1) >> 16), srcSize - 1);
    t.taps = std::max(t.taps, hi - lo + 1);
  }
  t.first.resize(n);
  t.weights.assign(n * static_cast<std::size_t>(t.taps), 0);
  for (std::size_t d = 0; d < n; ++d) {
    const std::uint64_t a = edge(d);
    const std::uint64_t b = std::max(edge(d + 1), a + 1);
    int lo = static_cast<int>(a >> 16);
    // A short last span may start on the last pixel; keep the taps inside the source.
    lo = std::min(lo, std::max(srcSize - t.taps, 0));
    t.first[d] = lo;
    std::uint16_t* w = &t.weights[d * static_cast<std::size_t>(t.taps)];
    int sum = 0;
    int largest = 0;
    for (int k = 0; k < t.taps; ++k) {
      const std::uint64_t p0 = static_cast<std::uint64_t>(lo + k) << 16;
      const std::uint64_t p1 = p0 + 65536;
      const std::uint64_t from = std::max(a, p0);
      const std::uint64_t to = std::min(b, p1);
      const int v = to > from ? static_cast<int>(((to - from) * 256 + (b - a) / 2) / (b - a)) : 0;
      w[k] = static_cast<std::uint16_t>(v);
      sum += v;
      if (v > w[largest]) largest = k;
    }
    w[largest] = static_cast<std::uint16_t>(w[largest] + 256 - sum);  // rounding remainder
  }
  return t;
}

// acc[i] = w * row[i], or acc[i] += w * row[i]: whole rows, vectorised.
void WeightRow(std::uint16_t* __restrict acc, const std::uint8_t* __restrict row, std::size_t n,
               std::uint16_t w, bool first) {
  if (first) {
    for (std::size_t i = 0; i < n; ++i) acc[i] = static_cast<std::uint16_t>(w * row[i]);
  } else {
    for (std::size_t i = 0; i < n; ++i) acc[i] = static_cast<std::uint16_t>(acc[i] + w * row[i]);
  }
}

// One output row from the vertical sums: `taps` weighted pixels per output pixel.
void FilterRow(const std::uint16_t* __restrict acc, std::uint8_t* __restrict out, std::size_t dw,
               const int* __restrict first, const std::uint16_t* __restrict weights,
               std::size_t taps) {
  for (std::size_t x = 0; x < dw; ++x) {
    const std::uint16_t* wx = weights + x * taps;
    const std::uint16_t* in = acc + static_cast<std::size_t>(first[x]) * 4;
    std::uint32_t b = 1u << 15, g = 1u << 15, r = 1u << 15;  // rounding
    for (std::size_t k = 0; k < taps; ++k) {
      const std::uint32_t w = wx[k];
      b += w * in[k * 4];
      g += w * in[k * 4 + 1];
      r += w * in[k * 4 + 2];
    }
    out[x * 4] = static_cast<std::uint8_t>(std::min<std::uint32_t>(b >> 16, 255));
    out[x * 4 + 1] = static_cast<std::uint8_t>(std::min<std::uint32_t>(g >> 16, 255));
    out[x * 4 + 2] = static_cast<std::uint8_t>(std::min<std::uint32_t>(r >> 16, 255));
    out[x * 4 + 3] = 0xFF;
  }
}

// The exact halving of both dimensions (a 3840 x 2160 display streamed 1920 wide): each output
// pixel is the rounded mean of a 2 x 2 block, the result the general filter gives for weights of
// 128 and 128, in one pass over the source.
void HalvePixels(PixelView src, std::size_t stride, std::uint8_t* dst) {
  const auto sw = static_cast<std::size_t>(src.width);
  const std::size_t dw = sw / 2;
  const std::size_t dh = static_cast<std::size_t>(src.height) / 2;
  for (std::size_t y = 0; y < dh; ++y) {
    const std::uint8_t* r0 = src.data + (2 * y) * stride;
    const std::uint8_t* r1 = r0 + stride;
    std::uint8_t* out = dst + y * dw * 4;
    std::size_t x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i two = _mm_set1_epi16(2);
    // Four source pixels of each row (16 bytes) make two output pixels.
    for (; x + 2 <= dw; x += 2) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + x * 8));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + x * 8));
      const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
      const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
      // Pixel pairs: lanes 0-3 plus lanes 4-7 of each half.
      const __m128i sumLo = _mm_add_epi16(lo, _mm_srli_si128(lo, 8));
      const __m128i sumHi = _mm_add_epi16(hi, _mm_srli_si128(hi, 8));
      const __m128i both = _mm_unpacklo_epi64(sumLo, sumHi);
      const __m128i mean = _mm_srli_epi16(_mm_add_epi16(both, two), 2);
      const __m128i packed = _mm_packus_epi16(mean, zero);
      const __m128i opaque = _mm_or_si128(packed, _mm_set1_epi32(static_cast<int>(0xFF000000u)));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x * 4), opaque);
    }
#endif
    for (; x < dw; ++x) {
      for (std::size_t c = 0; c < 3; ++c) {
        const unsigned sum = 2u + r0[x * 8 + c] + r0[x * 8 + 4 + c] + r1[x * 8 + c] +
                             r1[x * 8 + 4 + c];
        out[x * 4 + c] = static_cast<std::uint8_t>(sum >> 2);
      }
      out[x * 4 + 3] = 0xFF;
    }
  }
}

}  // namespace

// Vertical pass first, over whole source rows (a plain multiply-add over contiguous bytes that
// the compiler vectorises), into one row of 16-bit sums; then the horizontal pass over that row
// only, once per output row. Each source row is read by at most the two output rows its span
// touches; nothing is filtered twice.
void ResamplePixels(PixelView src, std::uint8_t* dst, int dstWidth, int dstHeight) {
  if (src.width <= 0) return;
  ResamplePixels(src, static_cast<std::size_t>(src.width) * 4, dst, dstWidth, dstHeight);
}

void ResamplePixels(PixelView src, std::size_t srcStride, std::uint8_t* dst, int dstWidth,
                    int dstHeight) {
  if (src.data == nullptr || src.width <= 0 || src.height <= 0 || dstWidth <= 0 || dstHeight <= 0 ||
      srcStride < static_cast<std::size_t>(src.width) * 4) {
    return;
  }
  if (src.width == 2 * dstWidth && src.height == 2 * dstHeight) return HalvePixels(src, srcStride, dst);
  const AreaTaps xt = BuildAreaTaps(src.width, dstWidth);
  const AreaTaps yt = BuildAreaTaps(src.height, dstHeight);
  const std::size_t rowValues = static_cast<std::size_t>(src.width) * 4;
  const auto dw = static_cast<std::size_t>(dstWidth);
  const auto xTaps = static_cast<std::size_t>(xt.taps);
  std::vector<std::uint16_t> column(rowValues);  // the vertical sums of one output row, x 256

  for (std::size_t y = 0; y < static_cast<std::size_t>(dstHeight); ++y) {
    const std::uint16_t* wy = &yt.weights[y * static_cast<std::size_t>(yt.taps)];
    bool first = true;
    for (int k = 0; k < yt.taps; ++k) {
      if (wy[k] == 0) continue;
      const std::uint8_t* row = src.data + static_cast<std::size_t>(yt.first[y] + k) * srcStride;
      WeightRow(column.data(), row, rowValues, wy[k], first);
      first = false;
    }
    FilterRow(column.data(), dst + y * dw * 4, dw, xt.first.data(), xt.weights.data(), xTaps);
  }
}

}  // namespace ov
