#include "i18n/language.h"

#include <gtest/gtest.h>

#include "i18n/catalogue.h"
#include "settings/memory_settings_store.h"

namespace ov {
namespace {

class FixedLocale final : public LocaleSource {
 public:
  FixedLocale(std::optional<std::wstring> locale, std::optional<std::wstring> preferred)
      : locale_(std::move(locale)), preferred_(std::move(preferred)) {}
  std::optional<std::wstring> DefaultLocaleName() const override { return locale_; }
  std::optional<std::wstring> FirstPreferredUiLanguage() const override { return preferred_; }

 private:
  std::optional<std::wstring> locale_;
  std::optional<std::wstring> preferred_;
};

TEST(MatchLanguage, PrimarySubtagOnly) {
  EXPECT_EQ(MatchLanguage(L"en-US"), 0);
  EXPECT_EQ(MatchLanguage(L"tr-TR"), 1);
  EXPECT_EQ(MatchLanguage(L"DE"), 2);
  EXPECT_EQ(MatchLanguage(L"de-CH"), 2);
  EXPECT_EQ(MatchLanguage(L"fr_CA"), 3);
  EXPECT_EQ(MatchLanguage(L"es-419"), 4);
  EXPECT_EQ(MatchLanguage(L"pt-PT"), 5);
  EXPECT_EQ(MatchLanguage(L"pt-BR"), 5);
  EXPECT_EQ(MatchLanguage(L"Ru"), 6);
  EXPECT_EQ(MatchLanguage(L"zh-Hant-TW"), 7);
  EXPECT_EQ(MatchLanguage(L"sr-Latn-RS"), 0);
  EXPECT_EQ(MatchLanguage(L""), 0);
  EXPECT_EQ(MatchLanguage(L"-de"), 0);   // empty primary part
  EXPECT_EQ(MatchLanguage(L"deu"), 0);   // codes compare exactly
  EXPECT_EQ(MatchLanguage(L"d"), 0);
  EXPECT_EQ(MatchLanguage(L"de CH"), 0);
  EXPECT_EQ(MatchLanguage(L"\u0130t"), 0);  // no locale-dependent case folding
}

TEST(ChooseLanguage, SystemPreferences) {
  MemorySettingsStore store;
  int language = -1;
  // The preferred UI language wins over the locale.
  ChooseLanguage(language, true, FixedLocale(L"en-US", L"tr-TR"), store);
  EXPECT_EQ(language, 1);
  ChooseLanguage(language, true, FixedLocale(L"ru-RU", std::nullopt), store);
  EXPECT_EQ(language, 6);
  ChooseLanguage(language, true, FixedLocale(L"ru-RU", L""), store);  // empty first name
  EXPECT_EQ(language, 6);
  ChooseLanguage(language, true, FixedLocale(std::nullopt, std::nullopt), store);  // "en-US"
  EXPECT_EQ(language, 0);
  ChooseLanguage(language, true, FixedLocale(std::nullopt, L"zh-Hans-CN"), store);
  EXPECT_EQ(language, 7);

  // Names are cut to 84 characters before matching (only the prefix matters anyway).
  EXPECT_EQ(SystemLanguageName(FixedLocale(L"x", std::wstring(200, L'a'))).size(), 84u);
  EXPECT_EQ(SystemLanguageName(FixedLocale(L"de-DE", std::nullopt)), L"de-DE");
}

TEST(ChooseLanguage, StoredValueOverridesTheSystem) {
  const FixedLocale turkish(L"en-US", L"tr-TR");
  MemorySettingsStore store;
  int language = -1;
  store.language = L"DE";
  ChooseLanguage(language, true, turkish, store);
  EXPECT_EQ(language, 2);
  store.language = L"de-CH";
  ChooseLanguage(language, true, turkish, store);
  EXPECT_EQ(language, 2);
  store.language = L"";  // an empty stored value means English
  ChooseLanguage(language, true, turkish, store);
  EXPECT_EQ(language, 0);
  store.language = L"klingon";
  ChooseLanguage(language, true, turkish, store);
  EXPECT_EQ(language, 0);
  store.language = L"fr-aaaaaaaaaaaaa";  // 16 characters: not accepted, the system's choice holds
  ChooseLanguage(language, true, turkish, store);
  EXPECT_EQ(language, 1);
  store.language.reset();  // nothing stored
  ChooseLanguage(language, true, turkish, store);
  EXPECT_EQ(language, 1);
}

TEST(ChooseLanguage, PreviewModeNeverTouchesTheStore) {
  MemorySettingsStore store;
  store.language = L"de";
  int language = -1;
  ChooseLanguage(language, false, FixedLocale(L"fr-FR", std::nullopt), store);
  EXPECT_EQ(language, 3);
  EXPECT_TRUE(SetLanguage(language, 6, false, store));
  EXPECT_EQ(language, 6);
  EXPECT_EQ(store.reads, 0);
  EXPECT_EQ(store.writes, 0);
  EXPECT_EQ(store.language, std::optional<std::wstring>(L"de"));
}

TEST(SetLanguage, StoresTheCodeAndIgnoresBadIndexes) {
  MemorySettingsStore store;
  int language = 0;
  EXPECT_TRUE(SetLanguage(language, 7, true, store));
  EXPECT_EQ(language, 7);
  EXPECT_EQ(store.language, std::optional<std::wstring>(L"zh"));

  EXPECT_FALSE(SetLanguage(language, 8, true, store));
  EXPECT_FALSE(SetLanguage(language, -1, true, store));
  EXPECT_EQ(language, 7);
  EXPECT_EQ(store.writes, 1);

  // A failed write is silent: the language still changes for this run.
  store.failWrites = true;
  EXPECT_TRUE(SetLanguage(language, 5, true, store));
  EXPECT_EQ(language, 5);
  EXPECT_EQ(store.language, std::optional<std::wstring>(L"zh"));

  // Every stored code reads back as its own language.
  store.failWrites = false;
  for (int index = 0; index < kLanguageCount; ++index) {
    ASSERT_TRUE(SetLanguage(language, index, true, store));
    int chosen = -1;
    ChooseLanguage(chosen, true, FixedLocale(L"tr-TR", std::nullopt), store);
    EXPECT_EQ(chosen, index);
  }
}

}  // namespace
}  // namespace ov
