// The string catalogue: every text the user sees is written in English in the code and looked up
// here, at the moment it is drawn, in the current language.
//
// The table is a UTF-8 text file (catalogue.txt) embedded in the program at build time: one line
// per English text, 8 fields separated by "|" in the order of Languages(), no escaping, empty
// lines ignored.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>

namespace ov {

inline constexpr int kLanguageCount = 8;

struct LanguageInfo {
  std::wstring_view code;         // "en", "tr", ...
  std::wstring_view displayName;  // the language's own name, "Deutsch"
  std::wstring_view region;       // shown beside the name in the language box, "DE"
};

// The fixed language list; a language is identified by its index in it (0 = English).
std::span<const LanguageInfo, kLanguageCount> Languages();

class Catalogue {
 public:
  using Row = std::array<std::wstring, kLanguageCount>;

  // Parses a table. Throws std::runtime_error "extra localization field" (a ninth field),
  // "missing localization field" (fewer than 8; one "|" at the very end of a line adds no
  // field), "invalid UTF8" or "embedded null". When a key repeats, its first row counts.
  static Catalogue Parse(std::string_view table);

  // The row of an English text, or nullptr.
  const Row* Find(std::string_view key) const;
  std::size_t size() const { return rows_.size(); }

 private:
  std::map<std::string, Row, std::less<>> rows_;
};

// The embedded table, exactly as in catalogue.txt.
std::string_view CatalogueTable();

// The embedded table parsed, built on first use (safe to call from any thread). Throws the
// parsing errors on first use if the embedded table is malformed, which the build's own check
// rules out.
const Catalogue& BuiltInCatalogue();

// The text for `key` (UTF-8 English) in `language`: the catalogue's column for a known key
// (column 0 for English), otherwise the key itself. A language index outside 0-7 is treated as
// English. Throws "invalid UTF8" / "embedded null" only for an unknown key that is not text.
std::wstring Translate(int language, std::string_view key);

}  // namespace ov
