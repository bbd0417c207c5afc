#include "base/unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace ov {
namespace {

// Each boundary of the UTF-8 rule, decoded alone and then encoded back the same.
TEST(UnicodeTest, OneCodePointAtEachBoundaryOfTheRule) {
  struct Case {
    std::string bytes;
    bool ok;
    char32_t cp;
  } cases[] = {
      {std::string(1, '\0'), true, 0},
      {"\x7f", true, 0x7f},
      {"\xc2\x80", true, 0x80},
      {"\xdf\xbf", true, 0x7ff},
      {"\xe0\xa0\x80", true, 0x800},
      {"\xed\x9f\xbf", true, 0xd7ff},
      {"\xee\x80\x80", true, 0xe000},
      {"\xef\xbf\xbf", true, 0xffff},
      {"\xf0\x90\x80\x80", true, 0x10000},
      {"\xf4\x8f\xbf\xbf", true, 0x10ffff},
      {"\x80", false, 0},                 // stray continuation
      {"\xc0\xaf", false, 0},             // overlong lead
      {"\xc1\xbf", false, 0},             // overlong lead
      {"\xe0\x9f\xbf", false, 0},         // overlong three-byte form
      {"\xf0\x8f\xbf\xbf", false, 0},     // overlong four-byte form
      {"\xed\xa0\x80", false, 0},         // encoded surrogate
      {"\xf4\x90\x80\x80", false, 0},     // beyond U+10FFFF
      {"\xf5\x80\x80\x80", false, 0},     // invalid lead
      {"\xe2\x82", false, 0},             // truncated
      {"\xe2\x28\xa1", false, 0},         // bad continuation
  };
  for (const Case& c : cases) {
    std::size_t i = 0;
    char32_t cp = 0xdead;
    EXPECT_EQ(NextUtf8CodePoint(c.bytes, i, cp), c.ok) << ::testing::PrintToString(c.bytes);
    if (!c.ok) {
      EXPECT_EQ(i, 0u);
      continue;
    }
    EXPECT_EQ(cp, c.cp);
    EXPECT_EQ(i, c.bytes.size());
    std::string back;
    AppendUtf8(back, cp);
    EXPECT_EQ(back, c.bytes);
    std::u16string units;
    AppendUtf16(units, cp);
    EXPECT_EQ(units.size(), cp >= 0x10000 ? 2u : 1u);
    if (cp >= 0x10000) {
      EXPECT_EQ(0x10000 + ((units[0] - 0xD800u) << 10) + (units[1] - 0xDC00u), cp);
    }
    std::wstring wide;
    AppendWide(wide, cp);
    EXPECT_EQ(wide.size(), sizeof(wchar_t) == 2 && cp >= 0x10000 ? 2u : 1u);
  }
}

}  // namespace
}  // namespace ov
