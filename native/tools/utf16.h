// Strict conversions between the UTF-8 of the wire and the UTF-16 the session tools keep their
// texts in (every length limit of chat and clipboard text counts UTF-16 code units).
#pragma once

#include <string>
#include <string_view>

namespace ov {

// Throws ProtocolError("invalid UTF8") for any ill-formed sequence (overlong forms, encoded
// surrogates, values beyond U+10FFFF, truncated or stray continuation bytes) and
// ProtocolError("embedded null") for a NUL character. An empty input gives "".
std::u16string Utf8ToUtf16(std::string_view utf8);

// Throws ProtocolError("invalid Unicode") for an unpaired surrogate.
std::string Utf16ToUtf8(std::u16string_view utf16);

// The text in the platform's wide strings (UTF-16 on Windows, UTF-32 elsewhere) and back, for the
// window's controls and the painter. On Windows the units are copied as they are. Where wchar_t
// is 32 bits wide, an unpaired surrogate unit stays one surrogate value either way (so a send of
// it still fails "invalid Unicode"), and a value beyond U+10FFFF becomes U+FFFD.
std::wstring Utf16ToWide(std::u16string_view utf16);
std::u16string WideToUtf16(std::wstring_view wide);

}  // namespace ov
