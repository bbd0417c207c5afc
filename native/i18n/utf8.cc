#include "i18n/utf8.h"

#include <stdexcept>

#include "base/unicode.h"

namespace ov {

std::wstring DecodeUtf8(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t cp = 0;
    if (!NextUtf8CodePoint(utf8, i, cp)) throw std::runtime_error("invalid UTF8");
    if (cp == 0) throw std::runtime_error("embedded null");
    AppendWide(out, cp);
  }
  return out;
}

}  // namespace ov
