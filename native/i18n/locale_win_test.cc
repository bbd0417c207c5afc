#include <windows.h>

#include <gtest/gtest.h>

#include "i18n/language.h"

namespace ov {
namespace {

// The real national-language queries answer with well-formed names, and the start-up choice
// follows them.
TEST(WindowsLocale, RealQueriesGiveUsableNames) {
  const LocaleSource& locale = SystemLocale();
  const std::optional<std::wstring> name = locale.DefaultLocaleName();
  ASSERT_TRUE(name.has_value());
  EXPECT_FALSE(name->empty());
  EXPECT_LT(name->size(), static_cast<std::size_t>(LOCALE_NAME_MAX_LENGTH));

  wchar_t expected[LOCALE_NAME_MAX_LENGTH] = {};
  ASSERT_GT(GetUserDefaultLocaleName(expected, LOCALE_NAME_MAX_LENGTH), 0);
  EXPECT_EQ(*name, expected);

  const std::optional<std::wstring> preferred = locale.FirstPreferredUiLanguage();
  if (preferred) {
    EXPECT_FALSE(preferred->empty());
    EXPECT_EQ(SystemLanguageName(locale), preferred->substr(0, 84));
  } else {
    EXPECT_EQ(SystemLanguageName(locale), *name);
  }
  int language = -1;
  ChooseLanguage(language, false);
  EXPECT_EQ(language, MatchLanguage(SystemLanguageName(locale)));
}

}  // namespace
}  // namespace ov
