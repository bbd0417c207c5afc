#include "screen/jpeg_check.h"

#include <gtest/gtest.h>

#include "screen/jpeg_test_files.h"

namespace ov {
namespace {

using namespace ov::testing_jpeg;

bool Accepts(const std::vector<std::uint8_t>& data) { return CheckJpegMarkers(data).has_value(); }

TEST(JpegMarkers, AcceptsRealBaselineExtendedAndProgressiveFiles) {
  struct Case {
    const char* file;
    std::uint8_t marker;
    int components;
  };
  for (const Case& c : {Case{"baseline.jpg", 0xC0, 3}, Case{"extended.jpg", 0xC1, 3},
                        Case{"progressive.jpg", 0xC2, 3}, Case{"im_progressive.jpg", 0xC2, 3},
                        Case{"gray.jpg", 0xC0, 1}, Case{"cmyk.jpg", 0xC0, 4}}) {
    const auto data = LoadTestJpeg(c.file);
    ASSERT_FALSE(data.empty()) << c.file;
    const auto header = CheckJpegMarkers(data);
    ASSERT_TRUE(header.has_value()) << c.file;
    EXPECT_EQ(header->width, 128) << c.file;
    EXPECT_EQ(header->height, 24) << c.file;
    EXPECT_EQ(header->marker, c.marker) << c.file;
    EXPECT_EQ(header->components, c.components) << c.file;
  }
}

TEST(JpegMarkers, RefusesArithmeticLosslessAndOtherCodings) {
  EXPECT_FALSE(Accepts(LoadTestJpeg("arithmetic.jpg")));  // C9, made by cjpeg
  const auto base = LoadTestJpeg("baseline.jpg");
  const std::size_t sof = FindFrameHeader(base);
  ASSERT_NE(sof, 0u);
  for (int marker : {0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF}) {
    auto data = base;
    data[sof] = static_cast<std::uint8_t>(marker);
    EXPECT_FALSE(Accepts(data)) << std::hex << marker;
  }
}

TEST(JpegMarkers, RefusesBadFrameHeaderFields) {
  const auto base = LoadTestJpeg("baseline.jpg");
  const std::size_t sof = FindFrameHeader(base);
  ASSERT_NE(sof, 0u);
  // sof: marker, +1 length(2), +3 precision, +4 height(2), +6 width(2), +8 components
  {
    auto data = base;
    data[sof + 3] = 12;
    EXPECT_FALSE(Accepts(data)) << "12-bit";
  }
  {
    auto data = base;
    PutU16(data, sof + 6, 7681);
    PutU16(data, sof + 4, 100);
    EXPECT_FALSE(Accepts(data)) << "7681 wide";
    PutU16(data, sof + 6, 7680);
    PutU16(data, sof + 4, 4320);
    const auto header = CheckJpegMarkers(data);
    ASSERT_TRUE(header.has_value()) << "7680 x 4320";
    EXPECT_EQ(header->width, 7680);
    PutU16(data, sof + 4, 4321);
    EXPECT_FALSE(Accepts(data)) << "4321 high";
    PutU16(data, sof + 4, 0);
    EXPECT_FALSE(Accepts(data)) << "zero height (DNL)";
    PutU16(data, sof + 4, 24);
    PutU16(data, sof + 6, 0);
    EXPECT_FALSE(Accepts(data)) << "zero width";
  }
  {
    // Two components: the count and the length agree (2*3+8 = 14), so only the count refuses it.
    auto data = base;
    data[sof + 8] = 2;
    PutU16(data, sof + 1, 14);
    data.erase(data.begin() + static_cast<std::ptrdiff_t>(sof + 1 + 14), data.begin() + static_cast<std::ptrdiff_t>(sof + 1 + 17));
    EXPECT_FALSE(Accepts(data)) << "two components";
  }
  {
    // Length that disagrees with the component count.
    auto data = base;
    data[sof + 8] = 1;
    EXPECT_FALSE(Accepts(data)) << "length mismatch";
  }
}

TEST(JpegMarkers, RefusesTwoFrameHeadersAndScanBeforeFrame) {
  const auto base = LoadTestJpeg("baseline.jpg");
  const std::size_t sof = FindFrameHeader(base);
  const std::size_t segLen = static_cast<std::size_t>(base[sof + 1]) << 8 | base[sof + 2];
  {
    auto data = base;
    // Duplicate the whole SOF0 segment right after itself.
    std::vector<std::uint8_t> segment(base.begin() + static_cast<std::ptrdiff_t>(sof - 1),
                                      base.begin() + static_cast<std::ptrdiff_t>(sof + 1 + segLen));
    data.insert(data.begin() + static_cast<std::ptrdiff_t>(sof + 1 + segLen), segment.begin(), segment.end());
    EXPECT_FALSE(Accepts(data)) << "two frame headers";
  }
  {
    // Move the scan header in front of the frame header.
    const std::size_t sos = FindMarker(base, 0xDA);
    ASSERT_NE(sos, 0u);
    const std::size_t i = sos - 1;
    const std::size_t sosLen = static_cast<std::size_t>(base[i + 2]) << 8 | base[i + 3];
    std::vector<std::uint8_t> scanHeader(base.begin() + static_cast<std::ptrdiff_t>(i),
                                         base.begin() + static_cast<std::ptrdiff_t>(i + 2 + sosLen));
    auto data = base;
    data.insert(data.begin() + 2, scanHeader.begin(), scanHeader.end());
    EXPECT_FALSE(Accepts(data)) << "scan before frame header";
  }
}

TEST(JpegMarkers, RefusesStructuralDamage) {
  const auto base = LoadTestJpeg("baseline.jpg");
  EXPECT_FALSE(Accepts({}));
  EXPECT_FALSE(Accepts({0xFF, 0xD8, 0xFF}));
  EXPECT_FALSE(Accepts({0xFF, 0xD8, 0xFF, 0xD9}));  // end of image before any frame
  auto noSoi = base;
  noSoi[1] = 0xD9;
  EXPECT_FALSE(Accepts(noSoi));
  // Truncated anywhere before the scan header's end.
  std::size_t sosEnd = 2;
  while (base[sosEnd + 1] != 0xDA) {
    sosEnd += 2 + (static_cast<std::size_t>(base[sosEnd + 2]) << 8 | base[sosEnd + 3]);
  }
  sosEnd += 2 + (static_cast<std::size_t>(base[sosEnd + 2]) << 8 | base[sosEnd + 3]);
  for (std::size_t cut = 0; cut < sosEnd; ++cut) {
    std::vector<std::uint8_t> data(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_FALSE(Accepts(data)) << "cut at " << cut;
  }
  // Fill bytes before a marker are allowed; a zero "marker", a stray SOI or a segment length
  // below 2 are not.
  auto fill = base;
  fill.insert(fill.begin() + 2, {0xFF, 0xFF, 0xFF});
  EXPECT_TRUE(Accepts(fill));
  auto rst = base;
  rst.insert(rst.begin() + 2, {0xFF, 0xD3, 0xFF, 0x01});  // markers without a length
  EXPECT_TRUE(Accepts(rst));
  for (int bad : {0x00, 0xD8, 0xD9}) {
    auto data = base;
    data.insert(data.begin() + 2, {std::uint8_t{0xFF}, static_cast<std::uint8_t>(bad)});
    EXPECT_FALSE(Accepts(data)) << std::hex << bad;
  }
  auto shortLen = base;
  PutU16(shortLen, 4, 1);  // APP0 length 1
  EXPECT_FALSE(Accepts(shortLen));
  auto longLen = base;
  PutU16(longLen, 4, 0xFFFF);  // APP0 running past the end
  EXPECT_FALSE(Accepts(longLen));
  auto noFF = base;
  noFF[2] = 0xFE;
  EXPECT_FALSE(Accepts(noFF));
  // Size limits of the whole message.
  std::vector<std::uint8_t> huge(0x800000, 0);
  std::copy(base.begin(), base.end(), huge.begin());
  EXPECT_FALSE(Accepts(huge));
  huge.resize(0x7FFFFF);
  EXPECT_TRUE(Accepts(huge));  // trailing bytes after the scan are the decoder's business
}

}  // namespace
}  // namespace ov
