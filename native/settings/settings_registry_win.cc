#include "settings/settings_registry_win.h"

#include <utility>

namespace ov {

// The value names are string literals, so their data() is NUL-terminated.

RegistrySettingsStore::RegistrySettingsStore(HKEY root, std::wstring keyPath)
    : root_(root), keyPath_(std::move(keyPath)) {}

bool RegistrySettingsStore::LoadAskBeforeConnection() {
  DWORD value = 0;
  DWORD size = sizeof value;
  const LSTATUS status = RegGetValueW(root_, keyPath_.c_str(), kAskBeforeConnectionValue.data(),
                                      RRF_RT_REG_DWORD, nullptr, &value, &size);
  if (status == ERROR_SUCCESS) return value != 0;
  if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return false;
  // A value of another type, access denied, a damaged hive: ask rather than let anyone in.
  return true;
}

bool RegistrySettingsStore::StoreAskBeforeConnection(bool ask) {
  const DWORD value = ask ? 1 : 0;
  return WriteValue(kAskBeforeConnectionValue.data(), REG_DWORD, &value,
                    sizeof value);
}

std::optional<std::wstring> RegistrySettingsStore::LoadLanguage() {
  // 16 UTF-16 units: at most 15 characters and the terminating NUL. A longer value fails with
  // ERROR_MORE_DATA and is ignored like every other failure.
  wchar_t buffer[kStoredLanguageMaxLength + 1] = {};
  DWORD size = sizeof buffer;
  const LSTATUS status = RegGetValueW(root_, keyPath_.c_str(), kLanguageValue.data(),
                                      RRF_RT_REG_SZ, nullptr, buffer, &size);
  if (status != ERROR_SUCCESS) return std::nullopt;
  buffer[kStoredLanguageMaxLength] = L'\0';
  return std::wstring(buffer);
}

bool RegistrySettingsStore::StoreLanguage(std::wstring_view code) {
  if (code.size() > kStoredLanguageMaxLength || code.find(L'\0') != std::wstring_view::npos) {
    return false;
  }
  const std::wstring text(code);
  const DWORD size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  return WriteValue(kLanguageValue.data(), REG_SZ, text.c_str(), size);
}

bool RegistrySettingsStore::WriteValue(const wchar_t* name, DWORD type, const void* data,
                                       DWORD size) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root_, keyPath_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LSTATUS status =
      RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

std::unique_ptr<SettingsStore> OpenUserSettings() {
  return std::make_unique<RegistrySettingsStore>();
}

}  // namespace ov
