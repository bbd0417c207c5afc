#include "tools/utf16.h"

#include <cstdint>

#include "base/protocol_error.h"
#include "base/unicode.h"

namespace ov {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t cp = 0;
    if (!NextUtf8CodePoint(utf8, i, cp)) Fail("invalid UTF8");
    if (cp == 0) Fail("embedded null");
    AppendUtf16(out, cp);
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (IsLowSurrogate(cp)) Fail("invalid Unicode");
    if (IsHighSurrogate(cp)) {
      if (i + 1 >= utf16.size() || !IsLowSurrogate(utf16[i + 1])) Fail("invalid Unicode");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(utf16[i + 1]) - 0xDC00);
      ++i;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::wstring Utf16ToWide(std::u16string_view utf16) {
  std::wstring out;
  out.reserve(utf16.size());
  if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
    for (char16_t unit : utf16) out.push_back(static_cast<wchar_t>(unit));
  } else {
    for (std::size_t i = 0; i < utf16.size(); ++i) {
      char32_t cp = utf16[i];
      if (IsHighSurrogate(cp) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(utf16[i + 1]) - 0xDC00);
        ++i;
      }
      out.push_back(static_cast<wchar_t>(cp));
    }
  }
  return out;
}

std::u16string WideToUtf16(std::wstring_view wide) {
  std::u16string out;
  out.reserve(wide.size());
  for (wchar_t c : wide) {
    if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      const auto cp = static_cast<char32_t>(c);
      AppendUtf16(out, cp > 0x10FFFF ? kReplacement : cp);
    }
  }
  return out;
}

}  // namespace ov
