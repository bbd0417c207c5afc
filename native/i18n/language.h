// Choosing the interface language: from the operating system's preferences at start, from the
// stored setting, or from the user's pick in the language box.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "settings/settings_store.h"

namespace ov {

// The index in Languages() of the language named by a locale name such as "pt-PT", "zh-Hant-TW"
// or "de_CH": the part before the first "-" or "_", lower-cased, compared with the codes.
// English (0) when nothing matches, including an empty name.
int MatchLanguage(std::wstring_view localeName);

// The system's language preferences. The real one asks the operating system; tests give fixed
// answers.
class LocaleSource {
 public:
  virtual ~LocaleSource() = default;
  // The user's default locale name, or nothing when it cannot be had.
  virtual std::optional<std::wstring> DefaultLocaleName() const = 0;
  // The first of the user's preferred interface languages, or nothing.
  virtual std::optional<std::wstring> FirstPreferredUiLanguage() const = 0;
};

// Windows: GetUserDefaultLocaleName and GetUserPreferredUILanguages. Elsewhere: the locale
// environment (LANGUAGE for the preferred languages; LC_ALL, LC_MESSAGES, LANG for the locale).
const LocaleSource& SystemLocale();

// The locale name used to pick the language when no stored choice overrides it: the preferred
// interface language when there is one, else the default locale name, else "en-US". At most 84
// characters.
std::wstring SystemLanguageName(const LocaleSource& locale);

// Sets `language` at start: the match of SystemLanguageName(locale), overridden by the stored
// "Language" text (even an empty one, which means English) when `useStored` is true and the
// store has one. The store is not touched when `useStored` is false (preview mode).
void ChooseLanguage(int& language, bool useStored, const LocaleSource& locale,
                    SettingsStore& store);
// The same with the system's locale and the user's settings store.
void ChooseLanguage(int& language, bool useStored);

// The user picked `index`: outside 0-7 it is ignored (false); otherwise it becomes `language`
// and, when `save` is true, its code is stored; a failure to store is ignored, the language
// still changes. Returns true when `language` was set.
bool SetLanguage(int& language, int index, bool save, SettingsStore& store);
// The same with the user's settings store, opened only when `save` is true.
bool SetLanguage(int& language, int index, bool save);

}  // namespace ov
