#include "i18n/language.h"

#include "i18n/catalogue.h"

namespace ov {
namespace {

constexpr std::size_t kMaxLocaleNameLength = 84;

}  // namespace

int MatchLanguage(std::wstring_view localeName) {
  const std::size_t end = localeName.find_first_of(L"-_");
  std::wstring primary(localeName.substr(0, end));
  for (wchar_t& c : primary) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  if (primary.empty()) return 0;
  const auto languages = Languages();
  for (int i = 0; i < kLanguageCount; ++i) {
    if (languages[static_cast<std::size_t>(i)].code == primary) return i;
  }
  return 0;
}

std::wstring SystemLanguageName(const LocaleSource& locale) {
  std::wstring name = locale.DefaultLocaleName().value_or(L"en-US");
  if (std::optional<std::wstring> preferred = locale.FirstPreferredUiLanguage();
      preferred && !preferred->empty()) {
    name = std::move(*preferred);
  }
  if (name.size() > kMaxLocaleNameLength) name.resize(kMaxLocaleNameLength);
  return name;
}

void ChooseLanguage(int& language, bool useStored, const LocaleSource& locale,
                    SettingsStore& store) {
  language = MatchLanguage(SystemLanguageName(locale));
  if (!useStored) return;
  if (const std::optional<std::wstring> stored = store.LoadLanguage()) {
    language = MatchLanguage(*stored);
  }
}

void ChooseLanguage(int& language, bool useStored) {
  if (!useStored) {
    language = MatchLanguage(SystemLanguageName(SystemLocale()));
    return;
  }
  ChooseLanguage(language, true, SystemLocale(), *OpenUserSettings());
}

bool SetLanguage(int& language, int index, bool save, SettingsStore& store) {
  if (index < 0 || index >= kLanguageCount) return false;
  language = index;
  if (save) store.StoreLanguage(Languages()[static_cast<std::size_t>(index)].code);
  return true;
}

bool SetLanguage(int& language, int index, bool save) {
  if (index < 0 || index >= kLanguageCount) return false;
  if (!save) {
    language = index;
    return true;
  }
  return SetLanguage(language, index, true, *OpenUserSettings());
}

}  // namespace ov
