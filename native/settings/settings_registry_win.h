// The Windows settings store: two values under a registry key, HKEY_CURRENT_USER and
// kSettingsKeyPath for the program. The root and the path can be chosen so that tests work on a
// key of their own.
#pragma once

#include <windows.h>

#include <string>

#include "settings/settings_store.h"

namespace ov {

class RegistrySettingsStore final : public SettingsStore {
 public:
  // `root` must stay open for the life of the store; it is not closed by it.
  explicit RegistrySettingsStore(HKEY root = HKEY_CURRENT_USER,
                                 std::wstring keyPath = std::wstring(kSettingsKeyPath));

  bool LoadAskBeforeConnection() override;
  bool StoreAskBeforeConnection(bool ask) override;
  std::optional<std::wstring> LoadLanguage() override;
  bool StoreLanguage(std::wstring_view code) override;

 private:
  // Opens or creates the key for writing and sets one value; true when both steps succeed.
  bool WriteValue(const wchar_t* name, DWORD type, const void* data, DWORD size);

  HKEY root_;
  std::wstring keyPath_;
};

}  // namespace ov
