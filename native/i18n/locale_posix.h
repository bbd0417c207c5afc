// The locale environment of POSIX systems as a LocaleSource, with the environment lookup
// injectable for tests.
#pragma once

#include <functional>
#include <string>

#include "i18n/language.h"

namespace ov {

class EnvironmentLocale final : public LocaleSource {
 public:
  // Returns the variable's value, or nullptr when it is not set.
  using Lookup = std::function<const char*(const char* name)>;
  explicit EnvironmentLocale(Lookup lookup);

  // The first non-empty of LC_ALL, LC_MESSAGES and LANG without its ".codeset" and "@modifier";
  // nothing when none is set or it names the "C"/"POSIX" locale.
  std::optional<std::wstring> DefaultLocaleName() const override;
  // The first non-empty entry of the colon-separated LANGUAGE list, as gettext reads it: ignored
  // when the locale is "C" or "POSIX".
  std::optional<std::wstring> FirstPreferredUiLanguage() const override;

 private:
  std::optional<std::string> LocaleVariable() const;
  Lookup lookup_;
};

}  // namespace ov
