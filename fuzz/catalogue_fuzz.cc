// The string catalogue's table parser and its strict UTF-8 decoder on raw bytes.
//
// Checked: DecodeUtf8 agrees with an independent decoder written here from the Unicode table of
// well-formed sequences (same refusals, same code points); Catalogue::Parse either fails with one
// of its own texts or finds a row for the English text of every line.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "i18n/catalogue.h"
#include "i18n/utf8.h"

namespace {

// UTF-8 by the table of well-formed byte sequences; nullopt when ill-formed or holding U+0000.
std::optional<std::u32string> ReferenceDecode(std::string_view text, bool& hasNull) {
  std::u32string out;
  hasNull = false;
  std::size_t i = 0;
  auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  while (i < text.size()) {
    const unsigned char b0 = byte(i);
    std::size_t length = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 < 0x80) {
      length = 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      length = 3;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      length = 4;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      return std::nullopt;
    }
    if (i + length > text.size()) return std::nullopt;
    char32_t cp = length == 1 ? b0 : (b0 & (0x7F >> length));
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char b = byte(i + k);
      const unsigned char min = k == 1 ? lo : 0x80;
      const unsigned char max = k == 1 ? hi : 0xBF;
      if (b < min || b > max) return std::nullopt;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp == 0) hasNull = true;
    out.push_back(cp);
    i += length;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  bool hasNull = false;
  const std::optional<std::u32string> expected = ReferenceDecode(text, hasNull);
  try {
    const std::wstring decoded = ov::DecodeUtf8(text);
    OV_FUZZ_CHECK(expected.has_value() && !hasNull);
    OV_FUZZ_CHECK(decoded.size() == expected->size());
    for (std::size_t i = 0; i < decoded.size(); ++i) {
      OV_FUZZ_CHECK(static_cast<char32_t>(decoded[i]) == (*expected)[i]);
    }
  } catch (const std::runtime_error& e) {
    const std::string reason = e.what();
    if (reason == "embedded null") {
      OV_FUZZ_CHECK(hasNull);
    } else {
      OV_FUZZ_CHECK(reason == "invalid UTF8");
      OV_FUZZ_CHECK(!expected.has_value());
    }
  }

  try {
    const ov::Catalogue catalogue = ov::Catalogue::Parse(text);
    std::size_t lineStart = 0;
    std::size_t lines = 0;
    while (lineStart < text.size()) {
      std::size_t lineEnd = text.find('\n', lineStart);
      if (lineEnd == std::string_view::npos) lineEnd = text.size();
      const std::string_view line = text.substr(lineStart, lineEnd - lineStart);
      lineStart = lineEnd + 1;
      if (line.empty()) continue;
      ++lines;
      const ov::Catalogue::Row* row = catalogue.Find(line.substr(0, line.find('|')));
      OV_FUZZ_CHECK(row != nullptr);
    }
    OV_FUZZ_CHECK(catalogue.size() <= lines);
  } catch (const std::runtime_error& e) {
    const std::string reason = e.what();
    OV_FUZZ_CHECK(reason == "extra localization field" || reason == "missing localization field" ||
                  reason == "invalid UTF8" || reason == "embedded null");
  }
  return 0;
}
