#include "i18n/catalogue.h"

#include <stdexcept>

#include "i18n/utf8.h"

namespace ov {
namespace {

constexpr LanguageInfo kLanguages[kLanguageCount] = {
    {L"en", L"English", L"GB"},
    {L"tr", L"T\u00fcrk\u00e7e", L"TR"},
    {L"de", L"Deutsch", L"DE"},
    {L"fr", L"Fran\u00e7ais", L"FR"},
    {L"es", L"Espa\u00f1ol", L"ES"},
    {L"pt", L"Portugu\u00eas", L"PT"},
    {L"ru", L"\u0420\u0443\u0441\u0441\u043a\u0438\u0439", L"RU"},
    {L"zh", L"\u7b80\u4f53\u4e2d\u6587", L"CN"},
};

}  // namespace

std::span<const LanguageInfo, kLanguageCount> Languages() {
  return std::span<const LanguageInfo, kLanguageCount>(kLanguages);
}

Catalogue Catalogue::Parse(std::string_view table) {
  Catalogue catalogue;
  std::size_t lineStart = 0;
  while (lineStart < table.size()) {
    std::size_t lineEnd = table.find('\n', lineStart);
    if (lineEnd == std::string_view::npos) lineEnd = table.size();
    std::string_view line = table.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    if (line.empty()) continue;
    if (line.back() == '|') line.remove_suffix(1);  // a closing "|" adds no field

    std::array<std::string_view, kLanguageCount> fields;
    std::size_t count = 0;
    std::size_t fieldStart = 0;
    for (;;) {
      const std::size_t bar = line.find('|', fieldStart);
      if (count == fields.size()) throw std::runtime_error("extra localization field");
      fields[count++] = line.substr(fieldStart, bar == std::string_view::npos ? std::string_view::npos
                                                                              : bar - fieldStart);
      if (bar == std::string_view::npos) break;
      fieldStart = bar + 1;
    }
    if (count < fields.size()) throw std::runtime_error("missing localization field");

    Row row;
    for (std::size_t i = 0; i < fields.size(); ++i) row[i] = DecodeUtf8(fields[i]);
    catalogue.rows_.try_emplace(std::string(fields[0]), std::move(row));
  }
  return catalogue;
}

const Catalogue::Row* Catalogue::Find(std::string_view key) const {
  const auto it = rows_.find(key);
  return it == rows_.end() ? nullptr : &it->second;
}

const Catalogue& BuiltInCatalogue() {
  // Initialised once and thread-safely (a throw leaves it for a later retry), and never destroyed,
  // so that painting on any thread during shutdown still finds it.
  static const Catalogue& catalogue = *new Catalogue(Catalogue::Parse(CatalogueTable()));
  return catalogue;
}

std::wstring Translate(int language, std::string_view key) {
  if (const Catalogue::Row* row = BuiltInCatalogue().Find(key)) {
    const bool valid = language >= 0 && language < kLanguageCount;
    return (*row)[valid ? static_cast<std::size_t>(language) : 0];
  }
  return DecodeUtf8(key);
}

}  // namespace ov
