// The code-point steps that every text conversion of the program shares: strict UTF-8 decoding
// of one code point, and the UTF-8, UTF-16 and wide-string encodings of one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ov {

// Decodes the code point that starts at utf8[i] and moves i past it. False, with i unchanged, for
// an ill-formed sequence: a stray continuation or invalid lead byte, a truncated sequence, an
// overlong form, an encoded surrogate or a value beyond U+10FFFF. i must be below utf8.size().
bool NextUtf8CodePoint(std::string_view utf8, std::size_t& i, char32_t& cp);

// Appends `cp`, a Unicode scalar value (not a surrogate, at most U+10FFFF).
void AppendUtf8(std::string& out, char32_t cp);
void AppendUtf16(std::u16string& out, char32_t cp);
// As UTF-16 where wchar_t has 16 bits (Windows), as the value itself where it has 32.
void AppendWide(std::wstring& out, char32_t cp);

}  // namespace ov
