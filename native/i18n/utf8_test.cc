#include "i18n/utf8.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace ov {
namespace {

std::string ErrorOf(std::string_view input) {
  try {
    DecodeUtf8(input);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

TEST(DecodeUtf8, DecodesEveryLength) {
  EXPECT_EQ(DecodeUtf8(""), L"");
  EXPECT_EQ(DecodeUtf8("Ready"), L"Ready");
  EXPECT_EQ(DecodeUtf8("\xC3\xA7\xD0\x93"), L"\u00e7\u0413");        // 2-byte forms
  EXPECT_EQ(DecodeUtf8("\xE5\xB0\xB1\xEF\xBF\xBD"), L"\u5c31\ufffd");  // 3-byte forms
  const std::wstring smile = DecodeUtf8("\xF0\x9F\x98\x80");           // U+1F600
  if constexpr (sizeof(wchar_t) == 2) {
    EXPECT_EQ(smile, std::wstring({static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)}));
  } else {
    EXPECT_EQ(smile, std::wstring(1, static_cast<wchar_t>(0x1F600)));
  }
  EXPECT_EQ(DecodeUtf8("\xF4\x8F\xBF\xBF").empty(), false);  // U+10FFFF, the last code point
}

TEST(DecodeUtf8, RejectsIllFormedInput) {
  const char* const bad[] = {
      "\x80",              // stray continuation byte
      "\xC3",              // truncated
      "a\xE5\xB0",         // truncated at the end
      "\xC0\xAF",          // overlong "/"
      "\xE0\x80\xAF",      // overlong
      "\xF0\x80\x80\xAF",  // overlong
      "\xED\xA0\x80",      // high surrogate
      "\xED\xBF\xBF",      // low surrogate
      "\xF4\x90\x80\x80",  // beyond U+10FFFF
      "\xF5\x80\x80\x80",
      "\xFF",
      "\xC3\x28",          // continuation byte missing
  };
  for (const char* input : bad) EXPECT_EQ(ErrorOf(input), "invalid UTF8") << input;
  EXPECT_EQ(ErrorOf(std::string_view("ab\0c", 4)), "embedded null");
  EXPECT_EQ(ErrorOf(std::string_view("\0", 1)), "embedded null");
}

}  // namespace
}  // namespace ov
