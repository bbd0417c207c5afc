#include <windows.h>

#include <vector>

#include "i18n/language.h"

namespace ov {
namespace {

class WindowsLocale final : public LocaleSource {
 public:
  std::optional<std::wstring> DefaultLocaleName() const override {
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};  // 85 characters
    if (GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) == 0) return std::nullopt;
    name[LOCALE_NAME_MAX_LENGTH - 1] = L'\0';
    return std::wstring(name);
  }

  std::optional<std::wstring> FirstPreferredUiLanguage() const override {
    ULONG count = 0;
    ULONG size = 0;
    // The first call only sizes the list (a double-NUL-terminated multi-string).
    if (!GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, nullptr, &size) || size < 1 ||
        size > 32767) {
      return std::nullopt;
    }
    std::vector<wchar_t> list(size + 1, L'\0');
    if (!GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, list.data(), &size)) {
      return std::nullopt;
    }
    if (list[0] == L'\0') return std::nullopt;
    return std::wstring(list.data());
  }
};

}  // namespace

const LocaleSource& SystemLocale() {
  static const WindowsLocale locale;
  return locale;
}

}  // namespace ov
