#include "tools/utf16.h"

#include <cstdint>

#include "base/protocol_error.h"

namespace ov {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  const auto byteAt = [&](std::size_t i) { return static_cast<std::uint8_t>(utf8[i]); };
  for (std::size_t i = 0; i < utf8.size();) {
    const std::uint8_t lead = byteAt(i);
    char32_t cp = 0;
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      cp = lead;
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      cp = lead & 0x1Fu;
      length = 2;
      minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      cp = lead & 0x0Fu;
      length = 3;
      minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      cp = lead & 0x07u;
      length = 4;
      minimum = 0x10000;
    } else {
      Fail("invalid UTF8");
    }
    if (length > utf8.size() - i) Fail("invalid UTF8");
    for (std::size_t k = 1; k < length; ++k) {
      const std::uint8_t next = byteAt(i + k);
      if ((next & 0xC0u) != 0x80u) Fail("invalid UTF8");
      cp = (cp << 6) | (next & 0x3Fu);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) Fail("invalid UTF8");
    if (cp == 0) Fail("embedded null");
    AppendUtf16(out, cp);
    i += length;
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
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
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
