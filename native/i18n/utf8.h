// Strict UTF-8 to wide-string conversion for the string catalogue. The result is UTF-16 where
// wchar_t has 16 bits (Windows) and UTF-32 where it has 32.
#pragma once

#include <string>
#include <string_view>

namespace ov {

// Throws std::runtime_error("invalid UTF8") for any ill-formed sequence (overlong forms,
// surrogates, values beyond U+10FFFF, truncated or stray continuation bytes) and
// std::runtime_error("embedded null") for a NUL character. An empty input gives "".
std::wstring DecodeUtf8(std::string_view utf8);

}  // namespace ov
