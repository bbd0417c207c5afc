#include "settings/settings_registry_win.h"

#include <gtest/gtest.h>

#include <string>

namespace ov {
namespace {

// Every test works below a key of its own under HKCU\Software, deleted afterwards, so the
// program's real key is never touched and the prefix stays clean for other tests.
class RegistrySettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = L"Software\\KestrovaTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount64());
    keyPath_ = base_ + L"\\Nimbrel\\Orvantis";
  }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, base_.c_str()); }

  void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, keyPath_.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void SetString(const wchar_t* name, const std::wstring& text) {
    SetRaw(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  void SetDword(const wchar_t* name, DWORD value) { SetRaw(name, REG_DWORD, &value, sizeof value); }

  std::wstring base_;
  std::wstring keyPath_;
};

TEST(RegistrySettingsPath, IsTheProgramsKey) {
  EXPECT_EQ(kSettingsKeyPath, L"Software\\Nimbrel\\Orvantis");
  EXPECT_EQ(kAskBeforeConnectionValue, L"AskBeforeConnection");
  EXPECT_EQ(kLanguageValue, L"Language");
}

TEST_F(RegistrySettingsTest, AbsentKeyOrValueMeansOff) {
  RegistrySettingsStore store(HKEY_CURRENT_USER, keyPath_);
  EXPECT_FALSE(store.LoadAskBeforeConnection());  // no key at all
  EXPECT_FALSE(store.LoadLanguage().has_value());
  SetString(L"Language", L"de");  // key present, approval value missing
  EXPECT_FALSE(store.LoadAskBeforeConnection());
}

TEST_F(RegistrySettingsTest, ApprovalReadMapping) {
  RegistrySettingsStore store(HKEY_CURRENT_USER, keyPath_);
  SetDword(L"AskBeforeConnection", 0);
  EXPECT_FALSE(store.LoadAskBeforeConnection());
  SetDword(L"AskBeforeConnection", 1);
  EXPECT_TRUE(store.LoadAskBeforeConnection());
  SetDword(L"AskBeforeConnection", 2);  // any non-zero value is on
  EXPECT_TRUE(store.LoadAskBeforeConnection());
  SetString(L"AskBeforeConnection", L"0");  // wrong type: the host asks
  EXPECT_TRUE(store.LoadAskBeforeConnection());
  const unsigned char threeBytes[3] = {0, 0, 0};
  SetRaw(L"AskBeforeConnection", REG_BINARY, threeBytes, sizeof threeBytes);
  EXPECT_TRUE(store.LoadAskBeforeConnection());
}

TEST_F(RegistrySettingsTest, WritesTypedValues) {
  RegistrySettingsStore store(HKEY_CURRENT_USER, keyPath_);
  ASSERT_TRUE(store.StoreAskBeforeConnection(true));
  ASSERT_TRUE(store.StoreLanguage(L"tr"));

  DWORD type = 0;
  DWORD value = 7;
  DWORD size = sizeof value;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, keyPath_.c_str(), L"AskBeforeConnection",
                         RRF_RT_ANY, &type, &value, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(value, 1u);

  wchar_t text[8] = {};
  size = sizeof text;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, keyPath_.c_str(), L"Language", RRF_RT_ANY, &type,
                         text, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 6u);  // "tr" and its NUL
  EXPECT_STREQ(text, L"tr");

  ASSERT_TRUE(store.StoreAskBeforeConnection(false));
  EXPECT_FALSE(store.LoadAskBeforeConnection());
  EXPECT_EQ(store.LoadLanguage(), std::optional<std::wstring>(L"tr"));
}

TEST_F(RegistrySettingsTest, LanguageTextLimitAndType) {
  RegistrySettingsStore store(HKEY_CURRENT_USER, keyPath_);
  SetString(L"Language", L"");
  EXPECT_EQ(store.LoadLanguage(), std::optional<std::wstring>(L""));
  SetString(L"Language", L"de-CH");
  EXPECT_EQ(store.LoadLanguage(), std::optional<std::wstring>(L"de-CH"));
  SetString(L"Language", L"abcdefghijklmno");  // 15 characters
  EXPECT_EQ(store.LoadLanguage(), std::optional<std::wstring>(L"abcdefghijklmno"));
  SetString(L"Language", L"abcdefghijklmnop");  // 16: does not fit
  EXPECT_FALSE(store.LoadLanguage().has_value());
  SetDword(L"Language", 2);
  EXPECT_FALSE(store.LoadLanguage().has_value());
  EXPECT_FALSE(store.StoreLanguage(L"abcdefghijklmnop"));
}

TEST_F(RegistrySettingsTest, FailedWriteKeepsTheOldValue) {
  RegistrySettingsStore store(HKEY_CURRENT_USER, keyPath_);
  ASSERT_TRUE(store.StoreAskBeforeConnection(true));

  // A non-volatile key cannot be created under a volatile one.
  HKEY volatileKey = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (base_ + L"\\Volatile").c_str(), 0, nullptr,
                            REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &volatileKey, nullptr),
            ERROR_SUCCESS);
  RegistrySettingsStore underVolatile(volatileKey, L"Orvantis");
  EXPECT_FALSE(underVolatile.StoreAskBeforeConnection(false));
  EXPECT_FALSE(underVolatile.StoreLanguage(L"de"));
  EXPECT_FALSE(underVolatile.LoadAskBeforeConnection());  // nothing was created
  bool ask = true;
  EXPECT_FALSE(ToggleAskBeforeConnection(ask, &underVolatile));
  EXPECT_TRUE(ask);
  RegCloseKey(volatileKey);

  // A root key deleted while its handle is still open fails the same way (the handle stays
  // valid until it is closed, so nothing else can have taken it).
  HKEY deletedKey = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (base_ + L"\\Deleted").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &deletedKey, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, (base_ + L"\\Deleted").c_str()), ERROR_SUCCESS);
  RegistrySettingsStore deletedRoot(deletedKey, L"Orvantis");
  EXPECT_FALSE(deletedRoot.StoreAskBeforeConnection(false));
  EXPECT_FALSE(deletedRoot.StoreLanguage(L"de"));
  RegCloseKey(deletedKey);

  EXPECT_TRUE(store.LoadAskBeforeConnection());
}

}  // namespace
}  // namespace ov
