#include "i18n/locale_posix.h"

#include <cstdlib>

namespace ov {
namespace {

// Locale names are ASCII; anything else is dropped rather than guessed at.
std::wstring WidenAscii(std::string_view text) {
  std::wstring out;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x80) out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

std::string_view WithoutCodeset(std::string_view name) {
  return name.substr(0, name.find_first_of(".@"));
}

}  // namespace

EnvironmentLocale::EnvironmentLocale(Lookup lookup) : lookup_(std::move(lookup)) {}

std::optional<std::string> EnvironmentLocale::LocaleVariable() const {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = lookup_(name);
    if (value != nullptr && value[0] != '\0') return std::string(value);
  }
  return std::nullopt;
}

std::optional<std::wstring> EnvironmentLocale::DefaultLocaleName() const {
  const std::optional<std::string> value = LocaleVariable();
  if (!value) return std::nullopt;
  const std::string_view name = WithoutCodeset(*value);
  if (name.empty() || name == "C" || name == "POSIX") return std::nullopt;
  return WidenAscii(name);
}

std::optional<std::wstring> EnvironmentLocale::FirstPreferredUiLanguage() const {
  if (!DefaultLocaleName()) return std::nullopt;
  const char* list = lookup_("LANGUAGE");
  if (list == nullptr) return std::nullopt;
  std::string_view rest(list);
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::string_view entry = WithoutCodeset(rest.substr(0, colon));
    if (!entry.empty()) return WidenAscii(entry);
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return std::nullopt;
}

const LocaleSource& SystemLocale() {
  static const EnvironmentLocale locale([](const char* name) { return std::getenv(name); });
  return locale;
}

}  // namespace ov
