#include "screen/picture.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace ov {

bool IsBlackPicture(const std::uint8_t* pixels, int width, int height) noexcept {
  if (pixels == nullptr || width <= 0 || height <= 0) return true;
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* p = pixels + i * 4;
    if (((p[0] | p[1] | p[2]) & 0xFC) != 0) return false;  // a channel above 3
  }
  return true;
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

// Filter taps of one output coordinate: first source index and weights (sum 1).
struct Taps {
  std::vector<int> first;
  std::vector<int> count;
  std::vector<float> weights;  // count[i] entries starting at offset[i]
  std::vector<std::size_t> offset;
};

int Mirror(int i, int n) {
  // Reflects an index into [0, n) (tile-flip at the borders).
  if (n == 1) return 0;
  const int period = 2 * n;
  i %= period;
  if (i < 0) i += period;
  return i < n ? i : period - 1 - i;
}

Taps BuildTaps(int srcSize, int dstSize, std::vector<int>& indices) {
  Taps taps;
  const double ratio = static_cast<double>(srcSize) / static_cast<double>(dstSize);
  const double support = std::max(1.0, ratio);  // triangle half-width in source pixels
  taps.first.resize(static_cast<std::size_t>(dstSize));
  taps.count.resize(static_cast<std::size_t>(dstSize));
  taps.offset.resize(static_cast<std::size_t>(dstSize));
  for (int d = 0; d < dstSize; ++d) {
    const double center = (d + 0.5) * ratio - 0.5;
    const int lo = static_cast<int>(std::floor(center - support)) + 1;
    const int hi = static_cast<int>(std::ceil(center + support)) - 1;
    const std::size_t start = taps.weights.size();
    double sum = 0.0;
    for (int s = lo; s <= hi; ++s) {
      const double w = 1.0 - std::abs(s - center) / support;
      if (w <= 0.0) continue;
      taps.weights.push_back(static_cast<float>(w));
      indices.push_back(Mirror(s, srcSize));
      sum += w;
    }
    if (taps.weights.size() == start) {  // cannot happen with support >= 1, kept for safety
      taps.weights.push_back(1.0f);
      indices.push_back(Mirror(static_cast<int>(std::lround(center)), srcSize));
      sum = 1.0;
    }
    for (std::size_t k = start; k < taps.weights.size(); ++k) {
      taps.weights[k] = static_cast<float>(static_cast<double>(taps.weights[k]) / sum);
    }
    const auto ud = static_cast<std::size_t>(d);
    taps.offset[ud] = start;
    taps.count[ud] = static_cast<int>(taps.weights.size() - start);
  }
  return taps;
}

}  // namespace

void ResamplePixels(PixelView src, std::uint8_t* dst, int dstWidth, int dstHeight) {
  if (src.data == nullptr || src.width <= 0 || src.height <= 0 || dstWidth <= 0 || dstHeight <= 0) {
    return;
  }
  std::vector<int> xIndex;
  std::vector<int> yIndex;
  const Taps xt = BuildTaps(src.width, dstWidth, xIndex);
  const Taps yt = BuildTaps(src.height, dstHeight, yIndex);
  const auto sw = static_cast<std::size_t>(src.width);
  const auto dw = static_cast<std::size_t>(dstWidth);

  // Horizontal pass of one source row into floats (3 channels). Rows are recomputed for each
  // output row that needs them, so memory stays at two rows whatever the picture size.
  std::vector<float> rowBuffer(dw * 3);
  auto horizontal = [&](int sy) -> const float* {
    const std::uint8_t* row = src.data + static_cast<std::size_t>(sy) * sw * 4;
    float* out = rowBuffer.data();
    for (std::size_t x = 0; x < dw; ++x) {
      float b = 0, g = 0, r = 0;
      const std::size_t o = xt.offset[x];
      for (int k = 0; k < xt.count[x]; ++k) {
        const std::size_t idx = o + static_cast<std::size_t>(k);
        const std::uint8_t* p = row + static_cast<std::size_t>(xIndex[idx]) * 4;
        const float w = xt.weights[idx];
        b += w * p[0];
        g += w * p[1];
        r += w * p[2];
      }
      out[x * 3] = b;
      out[x * 3 + 1] = g;
      out[x * 3 + 2] = r;
    }
    return out;
  };

  std::vector<float> acc(dw * 3);
  for (int y = 0; y < dstHeight; ++y) {
    std::fill(acc.begin(), acc.end(), 0.0f);
    const auto uy = static_cast<std::size_t>(y);
    for (int k = 0; k < yt.count[uy]; ++k) {
      const std::size_t idx = yt.offset[uy] + static_cast<std::size_t>(k);
      const float w = yt.weights[idx];
      const float* row = horizontal(yIndex[idx]);
      for (std::size_t i = 0; i < dw * 3; ++i) acc[i] += w * row[i];
    }
    std::uint8_t* out = dst + uy * dw * 4;
    for (std::size_t x = 0; x < dw; ++x) {
      for (std::size_t c = 0; c < 3; ++c) {
        const float v = std::clamp(acc[x * 3 + c] + 0.5f, 0.0f, 255.0f);
        out[x * 4 + c] = static_cast<std::uint8_t>(v);
      }
      out[x * 4 + 3] = 0xFF;
    }
  }
}

}  // namespace ov
