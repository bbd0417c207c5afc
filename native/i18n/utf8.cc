#include "i18n/utf8.h"

#include <cstdint>
#include <stdexcept>

namespace ov {

std::wstring DecodeUtf8(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  const auto byteAt = [&](std::size_t i) { return static_cast<std::uint8_t>(utf8[i]); };
  for (std::size_t i = 0; i < utf8.size();) {
    const std::uint8_t lead = byteAt(i);
    std::uint32_t cp = 0;
    std::size_t length = 0;
    std::uint32_t minimum = 0;
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
      throw std::runtime_error("invalid UTF8");
    }
    if (length > utf8.size() - i) throw std::runtime_error("invalid UTF8");
    for (std::size_t k = 1; k < length; ++k) {
      const std::uint8_t next = byteAt(i + k);
      if ((next & 0xC0u) != 0x80u) throw std::runtime_error("invalid UTF8");
      cp = (cp << 6) | (next & 0x3Fu);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      throw std::runtime_error("invalid UTF8");
    }
    if (cp == 0) throw std::runtime_error("embedded null");
    if constexpr (sizeof(wchar_t) == 2) {
      if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<wchar_t>(0xD800u + (cp >> 10)));
        out.push_back(static_cast<wchar_t>(0xDC00u + (cp & 0x3FFu)));
        i += length;
        continue;
      }
    }
    out.push_back(static_cast<wchar_t>(cp));
    i += length;
  }
  return out;
}

}  // namespace ov
