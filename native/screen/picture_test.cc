#include "screen/picture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace ov {
namespace {

TEST(ScaledSize, FollowsTheProfileWidthAndTheEncodedLimits) {
  struct Case {
    int w, h, maxWidth, outW, outH;
  };
  const Case cases[] = {
      {3840, 2160, 1920, 1920, 1080},
      {1000, 5000, 2560, 864, 4320},   // height limit wins
      {1366, 768, 1280, 1280, 719},    // truncation, not rounding
      {1280, 720, 1920, 1280, 720},    // never enlarged
      {15360, 100, 20000, 7680, 50},   // width limit 7680 even with a larger maxWidth
      {5000, 1, 100, 100, 1},          // at least one line
  };
  for (const Case& c : cases) {
    const TargetSize t = ScaledSize(c.w, c.h, c.maxWidth);
    EXPECT_EQ(t.width, c.outW) << c.w << "x" << c.h << " at " << c.maxWidth;
    EXPECT_EQ(t.height, c.outH) << c.w << "x" << c.h << " at " << c.maxWidth;
  }
  EXPECT_EQ(ScaledSize(0, 10, 100).width, 0);
  EXPECT_EQ(ScaledSize(10, -1, 100).width, 0);
  EXPECT_EQ(ScaledSize(10, 10, 0).width, 0);
}

TEST(JpegQuality, IsClampedTo20Through95) {
  EXPECT_EQ(ClampJpegQuality(10), 20);
  EXPECT_EQ(ClampJpegQuality(100), 95);
  EXPECT_EQ(ClampJpegQuality(70), 70);
  EXPECT_EQ(ClampJpegQuality(-5), 20);
}

TEST(BlackTest, ThreeIsBlackFourIsNot) {
  std::vector<std::uint8_t> px(16 * 9 * 4, 3);
  for (std::size_t i = 3; i < px.size(); i += 4) px[i] = 0xFF;  // fourth byte ignored
  EXPECT_TRUE(IsBlackPicture(px.data(), 16, 9));
  for (int channel = 0; channel < 3; ++channel) {
    auto copy = px;
    copy[(5 * 16 + 7) * 4 + static_cast<std::size_t>(channel)] = 4;
    EXPECT_FALSE(IsBlackPicture(copy.data(), 16, 9)) << "channel " << channel;
    EXPECT_EQ(FirstNonBlackPixel(copy.data(), 16, 9), 5 * 16 + 7) << "channel " << channel;
  }
  EXPECT_EQ(FirstNonBlackPixel(px.data(), 16, 9), -1);
  auto last = px;
  last[last.size() - 2] = 200;  // red of the very last pixel
  EXPECT_FALSE(IsBlackPicture(last.data(), 16, 9));
  EXPECT_EQ(FirstNonBlackPixel(last.data(), 16, 9), 16 * 9 - 1);
  EXPECT_TRUE(IsBlackPicture(nullptr, 16, 9));
  EXPECT_TRUE(IsBlackPicture(px.data(), 0, 9));
}

TEST(JpegSize, LimitsAreInclusive) {
  EXPECT_FALSE(JpegSizeAllowed(3));
  EXPECT_TRUE(JpegSizeAllowed(4));
  EXPECT_TRUE(JpegSizeAllowed(0x7FFFFF));
  EXPECT_FALSE(JpegSizeAllowed(0x800000));
}

TEST(SurfaceSize, Limits) {
  EXPECT_TRUE(SurfaceSizeAllowed(1, 1));
  EXPECT_TRUE(SurfaceSizeAllowed(32768, 1024));  // exactly 0x2000000 pixels
  EXPECT_FALSE(SurfaceSizeAllowed(32768, 1025));
  EXPECT_FALSE(SurfaceSizeAllowed(32769, 1));
  EXPECT_FALSE(SurfaceSizeAllowed(0, 10));
  EXPECT_FALSE(SurfaceSizeAllowed(10, -1));
}

TEST(Resample, AveragesWhenHalvingAndKeepsFlatColours) {
  // A 4x2 picture of alternating black and white columns halves to mid grey.
  std::vector<std::uint8_t> src(4 * 2 * 4, 0);
  for (int y = 0; y < 2; ++y) {
    for (int x = 1; x < 4; x += 2) {
      for (int c = 0; c < 3; ++c) src[static_cast<std::size_t>((y * 4 + x) * 4 + c)] = 255;
    }
  }
  std::vector<std::uint8_t> dst(2 * 1 * 4, 0);
  ResamplePixels(PixelView{src.data(), 4, 2}, dst.data(), 2, 1);
  for (int i = 0; i < 2; ++i) {
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(dst[static_cast<std::size_t>(i * 4 + c)], 128, 40);
    }
    EXPECT_EQ(dst[static_cast<std::size_t>(i * 4 + 3)], 0xFF);
  }
  // A flat colour stays exactly that colour at any ratio.
  std::vector<std::uint8_t> flat(37 * 23 * 4);
  for (std::size_t i = 0; i < flat.size(); i += 4) {
    flat[i] = 10;
    flat[i + 1] = 200;
    flat[i + 2] = 99;
  }
  std::vector<std::uint8_t> out(11 * 7 * 4);
  ResamplePixels(PixelView{flat.data(), 37, 23}, out.data(), 11, 7);
  for (std::size_t i = 0; i < out.size(); i += 4) {
    ASSERT_EQ(out[i], 10);
    ASSERT_EQ(out[i + 1], 200);
    ASSERT_EQ(out[i + 2], 99);
  }
}

// The area filter against a reference computed in double precision: every output channel is
// the covered-area average of the source, within one step of the integer weights' rounding.
TEST(Resample, MatchesTheAreaAverageAtEveryRatio) {
  auto reference = [](const std::vector<std::uint8_t>& src, int sw, int sh, int dw, int dh, int x,
                      int y, int c) {
    const double x0 = static_cast<double>(x) * sw / dw, x1 = static_cast<double>(x + 1) * sw / dw;
    const double y0 = static_cast<double>(y) * sh / dh, y1 = static_cast<double>(y + 1) * sh / dh;
    double sum = 0, area = 0;
    for (int sy = 0; sy < sh; ++sy) {
      const double oy = std::min<double>(y1, sy + 1) - std::max<double>(y0, sy);
      if (oy <= 0) continue;
      for (int sx = 0; sx < sw; ++sx) {
        const double ox = std::min<double>(x1, sx + 1) - std::max<double>(x0, sx);
        if (ox <= 0) continue;
        sum += ox * oy * src[static_cast<std::size_t>((sy * sw + sx) * 4 + c)];
        area += ox * oy;
      }
    }
    return sum / area;
  };
  const struct {
    int sw, sh, dw, dh;
  } sizes[] = {{4, 4, 2, 2}, {38, 6, 19, 3}, {3, 3, 2, 2}, {37, 23, 11, 7}, {64, 36, 32, 18}, {7, 1, 2, 1},
               {1, 1, 1, 1}, {5, 9, 5, 4}, {100, 3, 33, 3}, {2, 2, 3, 3}};
  for (const auto& z : sizes) {
    std::vector<std::uint8_t> src(static_cast<std::size_t>(z.sw * z.sh * 4));
    std::uint32_t seed = 12345;
    for (auto& v : src) {
      seed = seed * 1103515245u + 12345u;
      v = static_cast<std::uint8_t>(seed >> 24);
    }
    std::vector<std::uint8_t> dst(static_cast<std::size_t>(z.dw * z.dh * 4));
    ResamplePixels(PixelView{src.data(), z.sw, z.sh}, dst.data(), z.dw, z.dh);
    double worst = 0;
    for (int y = 0; y < z.dh; ++y) {
      for (int x = 0; x < z.dw; ++x) {
        for (int c = 0; c < 3; ++c) {
          const double want = reference(src, z.sw, z.sh, z.dw, z.dh, x, y, c);
          worst = std::max(worst, std::abs(want - dst[static_cast<std::size_t>((y * z.dw + x) * 4 + c)]));
        }
        ASSERT_EQ(dst[static_cast<std::size_t>((y * z.dw + x) * 4 + 3)], 0xFF);
      }
    }
    EXPECT_LE(worst, 1.5) << z.sw << "x" << z.sh << " -> " << z.dw << "x" << z.dh;
  }
}

}  // namespace
}  // namespace ov
