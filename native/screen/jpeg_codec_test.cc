#include "screen/jpeg_codec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "screen/jpeg_check.h"
#include "screen/jpeg_test_files.h"
#include "screen/picture.h"
#include "screen/synthetic_capturer.h"

namespace ov {
namespace {

using namespace ov::testing_jpeg;

// The four blocks of the test files, as B, G, R.
constexpr int kBlocks[4][3] = {{0x10, 0x20, 0xD0}, {0x40, 0xC0, 0x20}, {0xE0, 0x40, 0x20},
                               {0xF0, 0xF0, 0xF0}};

void ExpectBlockCentres(const PixelBuffer& p, int tolerance, bool gray, const char* what) {
  for (int block = 0; block < 4; ++block) {
    const int x = block * 32 + 16;
    const int y = 12;
    const std::uint8_t* px = p.bytes.data() + (static_cast<std::size_t>(y) * 128 + static_cast<std::size_t>(x)) * 4;
    int expect[3] = {kBlocks[block][0], kBlocks[block][1], kBlocks[block][2]};
    if (gray) {
      const int luma = (299 * expect[2] + 587 * expect[1] + 114 * expect[0]) / 1000;
      expect[0] = expect[1] = expect[2] = luma;
    }
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(px[c], expect[c], tolerance) << what << " block " << block << " channel " << c;
    }
    EXPECT_EQ(px[3], 0xFF);
  }
}

TEST(DecodeFrameJpeg, DecodesFilesOfOtherEncodersToTheirColours) {
  for (const char* name : {"baseline.jpg", "progressive.jpg", "im_progressive.jpg"}) {
    const auto data = LoadTestJpeg(name);
    const auto picture = DecodeFrameJpeg(data.data(), data.size());
    ASSERT_TRUE(picture.has_value()) << name;
    ASSERT_EQ(picture->width, 128);
    ASSERT_EQ(picture->height, 24);
    ExpectBlockCentres(*picture, 12, false, name);
  }
  const auto gray = LoadTestJpeg("gray.jpg");
  const auto grayPicture = DecodeFrameJpeg(gray.data(), gray.size());
  ASSERT_TRUE(grayPicture.has_value());
  ExpectBlockCentres(*grayPicture, 12, true, "gray.jpg");
  // Quality 2: only the size and coarse colour survive.
  const auto extended = LoadTestJpeg("extended.jpg");
  const auto extPicture = DecodeFrameJpeg(extended.data(), extended.size());
  ASSERT_TRUE(extPicture.has_value());
  EXPECT_EQ(extPicture->width, 128);
}

TEST(DecodeFrameJpeg, RefusesArithmeticCodingEvenThoughTheDecoderCouldReadIt) {
  const auto data = LoadTestJpeg("arithmetic.jpg");
  EXPECT_FALSE(DecodeFrameJpeg(data.data(), data.size()).has_value());
  EXPECT_FALSE(DecodeFrameJpeg(nullptr, 10).has_value());
}

std::optional<PixelBuffer> DecoderOneLineShort(std::span<const std::uint8_t> jpeg,
                                               std::vector<std::uint8_t> storage) {
  auto picture = DecodeJpegPixels(jpeg, std::move(storage));
  if (picture) {
    picture->height -= 1;
    picture->bytes.resize(static_cast<std::size_t>(picture->width) * static_cast<std::size_t>(picture->height) * 4);
  }
  return picture;
}

TEST(DecodeFrameJpeg, RefusesAPictureWhoseDecodedSizeDiffersFromItsHeader) {
  const auto data = LoadTestJpeg("baseline.jpg");
  EXPECT_TRUE(DecodeCheckedJpeg(data, &DecodeJpegPixels).has_value());
  EXPECT_FALSE(DecodeCheckedJpeg(data, &DecoderOneLineShort).has_value());
}

// A viewer's previous picture lends its memory to the next: whatever that memory held and
// whatever its size, the picture is the one a fresh decode gives, its fourth bytes 0xFF.
TEST(DecodeFrameJpeg, DecodingIntoAPreviousPictureGivesTheSamePicture) {
  const auto data = LoadTestJpeg("baseline.jpg");
  const auto fresh = DecodeFrameJpeg(data.data(), data.size());
  ASSERT_TRUE(fresh.has_value());
  const std::size_t exact = fresh->bytes.size();
  const struct {
    const char* what;
    std::size_t size;
    std::uint8_t fill;
  } kCases[] = {{"no memory", 0, 0}, {"same size, zeros", exact, 0x00},
                {"same size, other bytes", exact, 0x5A}, {"smaller", exact / 2, 0x11},
                {"larger", exact * 3, 0x22}};
  for (const auto& c : kCases) {
    PixelBuffer previous;
    previous.width = 7;
    previous.height = 3;
    previous.bytes.assign(c.size, c.fill);
    const auto picture = DecodeFrameJpeg(data.data(), data.size(), std::move(previous));
    ASSERT_TRUE(picture.has_value()) << c.what;
    EXPECT_EQ(picture->width, fresh->width) << c.what;
    EXPECT_EQ(picture->height, fresh->height) << c.what;
    EXPECT_TRUE(picture->bytes == fresh->bytes) << c.what;
    ExpectBlockCentres(*picture, 12, false, c.what);
  }
  // A refused frame gives nothing back, whatever was lent.
  PixelBuffer lent;
  lent.bytes.assign(exact, 0x33);
  EXPECT_FALSE(DecodeFrameJpeg(data.data(), data.size() / 2, std::move(lent)).has_value());
}

// An 8 x 8 grey progressive picture: its DC scan, then `acScans` first passes over the AC band
// 1-63 with no refinement (each valid by itself: the only Huffman code is EOB).
std::vector<std::uint8_t> ProgressiveGreyWithScans(int acScans) {
  std::vector<std::uint8_t> out = {0xFF, 0xD8,
                                   // DQT: table 0, all ones.
                                   0xFF, 0xDB, 0x00, 0x43, 0x00};
  out.insert(out.end(), 64, 0x01);
  const std::uint8_t rest[] = {
      // SOF2: 8 bits, 8 x 8, one component (id 1, 1x1, table 0).
      0xFF, 0xC2, 0x00, 0x0B, 0x08, 0x00, 0x08, 0x00, 0x08, 0x01, 0x01, 0x11, 0x00,
      // DHT: DC table 0 and AC table 0, each one code of one bit for symbol 0.
      0xFF, 0xC4, 0x00, 0x14, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00,
      0xFF, 0xC4, 0x00, 0x14, 0x10, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00,
      // SOS: DC first pass (Ss 0, Se 0, Ah 0, Al 0); one block, difference 0.
      0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x7F};
  out.insert(out.end(), std::begin(rest), std::end(rest));
  const std::uint8_t acScan[] = {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x01, 0x3F, 0x00, 0x7F};
  for (int i = 0; i < acScans; ++i) out.insert(out.end(), std::begin(acScan), std::end(acScan));
  out.push_back(0xFF);
  out.push_back(0xD9);
  return out;
}

TEST(DecodeFrameJpeg, RefusesAProgressivePictureOfMoreThan500Scans) {
  // Within the limit the picture decodes (so the refusal below is the scan count, not the file).
  for (const int scans : {1, 499}) {
    const auto data = ProgressiveGreyWithScans(scans);
    const auto picture = DecodeFrameJpeg(data.data(), data.size());
    ASSERT_TRUE(picture.has_value()) << scans << " scans";
    EXPECT_EQ(picture->width, 8);
  }
  for (const int scans : {500, 20000}) {
    const auto data = ProgressiveGreyWithScans(scans);
    EXPECT_FALSE(DecodeFrameJpeg(data.data(), data.size()).has_value()) << scans << " AC scans";
  }
}

TEST(EncodeJpeg, RoundTripsAKnownPictureAndHonoursTheLimits) {
  const PixelBuffer picture = PaintSyntheticPicture(SyntheticScene::Static, 320, 180, 0);
  const auto jpeg = ScaleAndEncode(picture.bytes.data(), 320, 180, 1920, 90);
  ASSERT_GE(jpeg.size(), 4u);
  const auto header = CheckJpegMarkers(jpeg);
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->marker, 0xC0);
  const auto decoded = DecodeFrameJpeg(jpeg.data(), jpeg.size());
  ASSERT_TRUE(decoded.has_value());
  ASSERT_EQ(decoded->width, 320);
  // Compare away from the bar edges (JPEG smears across them).
  for (int bar = 0; bar < 8; ++bar) {
    const std::size_t x = static_cast<std::size_t>(bar) * 40 + 20;
    const std::size_t at = (60 * 320 + x) * 4;
    for (std::size_t c = 0; c < 3; ++c) {
      EXPECT_NEAR(decoded->bytes[at + c], picture.bytes[at + c], 16) << "bar " << bar;
    }
  }

  EXPECT_TRUE(EncodeJpeg(PixelView{nullptr, 10, 10}, 70).empty());
  std::vector<std::uint8_t> wide(7681 * 4, 0x80);
  EXPECT_TRUE(EncodeJpeg(PixelView{wide.data(), 7681, 1}, 70).empty());
  EXPECT_FALSE(EncodeJpeg(PixelView{wide.data(), 7680, 1}, 70).empty());
  EXPECT_TRUE(ScaleAndEncode(picture.bytes.data(), 320, 180, 0, 70).empty());
  EXPECT_TRUE(ScaleAndEncode(picture.bytes.data(), 0, 180, 100, 70).empty());
}

TEST(EncodeJpeg, ScalesToTheTargetSizeAndClampsQuality) {
  const PixelBuffer big = PaintSyntheticPicture(SyntheticScene::MovingPattern, 1366, 768, 3);
  const auto jpeg = ScaleAndEncode(big.bytes.data(), 1366, 768, 1280, 70);
  const auto header = CheckJpegMarkers(jpeg);
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->width, 1280);
  EXPECT_EQ(header->height, 719);

  // Quality outside 20..95 is encoded exactly as the clamped value.
  const PixelBuffer small = PaintSyntheticPicture(SyntheticScene::MovingPattern, 160, 90, 1);
  const PixelView view{small.bytes.data(), 160, 90};
  EXPECT_LT(EncodeJpeg(view, 20).size(), EncodeJpeg(view, 95).size());
  EXPECT_EQ(EncodeJpeg(view, 10), EncodeJpeg(view, 20));
  EXPECT_EQ(EncodeJpeg(view, 100), EncodeJpeg(view, 95));
  EXPECT_NE(EncodeJpeg(view, 94), EncodeJpeg(view, 95));
  EXPECT_NE(EncodeJpeg(view, 21), EncodeJpeg(view, 20));
}

// A rectangle of a larger picture, scaled or encoded where it lies (rows a picture's width apart),
// gives the bytes its packed copy gives, whatever lies around it; a stride shorter than a row is
// refused.
TEST(EncodeJpeg, ARectangleReadInPlaceGivesWhatItsPackedCopyGives) {
  const struct {
    int pictureW, pictureH, x, y, w, h, outW, outH;
    bool fullChroma;
  } cases[] = {
      {64, 48, 16, 16, 32, 16, 32, 16, false},   // unscaled, inside
      {67, 41, 51, 25, 16, 16, 16, 16, false},   // at the last column and row of an odd picture
      {67, 41, 0, 0, 67, 41, 67, 41, true},      // the whole picture, full chroma
      {96, 64, 32, 16, 64, 48, 32, 24, false},   // halved
      {97, 65, 33, 17, 64, 48, 32, 24, true},    // halved at odd offsets
      {96, 64, 24, 12, 48, 36, 32, 24, false},   // scaled by 2/3
      {41, 29, 5, 3, 35, 25, 12, 9, false},      // odd ratio
      {40, 30, 39, 0, 1, 30, 1, 15, false},      // one column, halved in height only
  };
  for (const auto& c : cases) {
    const PixelBuffer picture = PaintSyntheticPicture(SyntheticScene::MovingPattern, c.pictureW, c.pictureH, 5);
    const std::size_t stride = static_cast<std::size_t>(c.pictureW) * 4;
    const std::uint8_t* first = picture.bytes.data() + static_cast<std::size_t>(c.y) * stride +
                                static_cast<std::size_t>(c.x) * 4;
    std::vector<std::uint8_t> packed;
    for (int row = 0; row < c.h; ++row) {
      const std::uint8_t* from = first + static_cast<std::size_t>(row) * stride;
      packed.insert(packed.end(), from, from + static_cast<std::size_t>(c.w) * 4);
    }
    const PixelView inPlace{first, c.w, c.h};
    const PixelView copy{packed.data(), c.w, c.h};
    const std::string what = std::to_string(c.x) + "," + std::to_string(c.y) + " " + std::to_string(c.w) + "x" +
                             std::to_string(c.h) + " of " + std::to_string(c.pictureW) + "x" +
                             std::to_string(c.pictureH);
    if (c.outW == c.w && c.outH == c.h) {
      const auto jpeg = EncodeJpeg(inPlace, stride, 70, c.fullChroma);
      ASSERT_FALSE(jpeg.empty()) << what;
      EXPECT_EQ(jpeg, EncodeJpeg(copy, 70, c.fullChroma)) << what;
      continue;
    }
    const auto size = static_cast<std::size_t>(c.outW) * static_cast<std::size_t>(c.outH) * 4;
    std::vector<std::uint8_t> fromPlace(size, 0x11), fromCopy(size, 0x22);
    ResamplePixels(inPlace, stride, fromPlace.data(), c.outW, c.outH);
    ResamplePixels(copy, fromCopy.data(), c.outW, c.outH);
    EXPECT_EQ(fromPlace, fromCopy) << what;
  }
  // A stride shorter than a row is refused, not read past.
  const PixelBuffer picture = PaintSyntheticPicture(SyntheticScene::Static, 32, 16, 0);
  EXPECT_TRUE(EncodeJpeg(PixelView{picture.bytes.data(), 32, 16}, 31 * 4, 70, false).empty());
  std::vector<std::uint8_t> untouched(16 * 8 * 4, 0x5A);
  ResamplePixels(PixelView{picture.bytes.data(), 32, 16}, 31 * 4, untouched.data(), 16, 8);
  EXPECT_EQ(untouched, std::vector<std::uint8_t>(16 * 8 * 4, 0x5A));
}

// Truncations, bit flips, byte overwrites, inserted and deleted runs of real files: each input is
// either refused or decoded to the size its header states; nothing may crash or read out of
// bounds (the sanitizer build runs this too).
TEST(DecodeFrameJpeg, SurvivesSeededMutationsOfRealFiles) {
  std::mt19937 rng(20261208u);
  int decoded = 0, refused = 0;
  for (const char* name : {"baseline.jpg", "progressive.jpg", "extended.jpg", "gray.jpg",
                           "im_progressive.jpg", "arithmetic.jpg", "cmyk.jpg"}) {
    const auto original = LoadTestJpeg(name);
    ASSERT_FALSE(original.empty()) << name;
    for (int round = 0; round < 400; ++round) {
      auto data = original;
      const int edits = 1 + static_cast<int>(rng() % 4);
      for (int e = 0; e < edits && !data.empty(); ++e) {
        const std::size_t at = rng() % data.size();
        switch (rng() % 5) {
          case 0: data.resize(at); break;
          case 1: data[at] = static_cast<std::uint8_t>(data[at] ^ (1u << (rng() % 8))); break;
          case 2: data[at] = static_cast<std::uint8_t>(rng()); break;
          case 3: data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), 1 + rng() % 16, static_cast<std::uint8_t>(rng())); break;
          default: {
            const std::size_t n = std::min<std::size_t>(data.size() - at, 1 + rng() % 16);
            data.erase(data.begin() + static_cast<std::ptrdiff_t>(at), data.begin() + static_cast<std::ptrdiff_t>(at + n));
          }
        }
      }
      // An exact-size copy, so that any read past the end is caught by the sanitizer.
      std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[data.size()]);
      std::copy(data.begin(), data.end(), exact.get());
      const auto picture = DecodeFrameJpeg(exact.get(), data.size());
      if (picture) {
        const auto header = CheckJpegMarkers(data);
        ASSERT_TRUE(header.has_value());
        EXPECT_EQ(picture->width, header->width);
        EXPECT_EQ(picture->height, header->height);
        ++decoded;
      } else {
        ++refused;
      }
    }
  }
  // Pure garbage.
  for (int round = 0; round < 300; ++round) {
    std::vector<std::uint8_t> data(rng() % 600);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    if (data.size() >= 2 && round % 2 == 0) {
      data[0] = 0xFF;
      data[1] = 0xD8;
    }
    if (DecodeFrameJpeg(data.data(), data.size())) ++decoded; else ++refused;
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(decoded, 0);  // some mutations only touch entropy data and still decode
}

}  // namespace
}  // namespace ov
