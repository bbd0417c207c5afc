#include "i18n/locale_posix.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace ov {
namespace {

EnvironmentLocale FromMap(std::map<std::string, std::string> variables) {
  return EnvironmentLocale([variables = std::move(variables)](const char* name) -> const char* {
    const auto it = variables.find(name);
    return it == variables.end() ? nullptr : it->second.c_str();
  });
}

TEST(EnvironmentLocale, LocaleVariablesInPrecedence) {
  EXPECT_EQ(FromMap({}).DefaultLocaleName(), std::nullopt);
  EXPECT_EQ(FromMap({{"LANG", "de_DE.UTF-8"}}).DefaultLocaleName(), L"de_DE");
  EXPECT_EQ(FromMap({{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "fr_FR@euro"}}).DefaultLocaleName(),
            L"fr_FR");
  EXPECT_EQ(FromMap({{"LANG", "de_DE"}, {"LC_MESSAGES", "fr_FR"}, {"LC_ALL", "ru_RU.KOI8-R"}})
                .DefaultLocaleName(),
            L"ru_RU");
  EXPECT_EQ(FromMap({{"LANG", "de_DE"}, {"LC_ALL", ""}}).DefaultLocaleName(), L"de_DE");
  EXPECT_EQ(FromMap({{"LANG", "C.UTF-8"}}).DefaultLocaleName(), std::nullopt);
  EXPECT_EQ(FromMap({{"LANG", "POSIX"}}).DefaultLocaleName(), std::nullopt);
}

TEST(EnvironmentLocale, LanguageListAsGettextReadsIt) {
  EXPECT_EQ(FromMap({{"LANG", "en_US.UTF-8"}, {"LANGUAGE", "tr:en"}}).FirstPreferredUiLanguage(),
            L"tr");
  EXPECT_EQ(FromMap({{"LANG", "en_US"}, {"LANGUAGE", "::pt_PT.UTF-8:de"}}).FirstPreferredUiLanguage(),
            L"pt_PT");
  EXPECT_EQ(FromMap({{"LANG", "en_US"}, {"LANGUAGE", ":"}}).FirstPreferredUiLanguage(),
            std::nullopt);
  EXPECT_EQ(FromMap({{"LANG", "en_US"}}).FirstPreferredUiLanguage(), std::nullopt);
  // In the C locale LANGUAGE is ignored.
  EXPECT_EQ(FromMap({{"LANG", "C"}, {"LANGUAGE", "de"}}).FirstPreferredUiLanguage(), std::nullopt);

  // Together with the choice: LANGUAGE beats LANG.
  EXPECT_EQ(MatchLanguage(SystemLanguageName(FromMap({{"LANG", "en_US"}, {"LANGUAGE", "zh_CN"}}))),
            7);
  EXPECT_EQ(MatchLanguage(SystemLanguageName(FromMap({{"LANG", "es_ES.UTF-8"}}))), 4);
  EXPECT_EQ(MatchLanguage(SystemLanguageName(FromMap({{"LANG", "C"}, {"LANGUAGE", "de"}}))), 0);
}

}  // namespace
}  // namespace ov
