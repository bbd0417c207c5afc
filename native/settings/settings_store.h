// The program's two persisted per-user settings: whether the host asks before every incoming
// connection, and the chosen interface language. Nothing else survives a restart.
//
// Windows keeps them as two values of HKEY_CURRENT_USER\Software\Nimbrel\Orvantis
// (settings_registry_win.cc); other systems keep them in a per-user file with the same semantics
// (settings_file_posix.cc). Callers in preview mode must neither read nor write the store.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ov {

// Part of the program's external interface: other tools and administrators rely on these names.
inline constexpr std::wstring_view kSettingsKeyPath = L"Software\\Nimbrel\\Orvantis";
inline constexpr std::wstring_view kAskBeforeConnectionValue = L"AskBeforeConnection";
inline constexpr std::wstring_view kLanguageValue = L"Language";

// A stored language text longer than this (in UTF-16 code units) is not accepted.
inline constexpr std::size_t kStoredLanguageMaxLength = 15;

class SettingsStore {
 public:
  SettingsStore() = default;
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;
  virtual ~SettingsStore() = default;

  // The approval flag as stored. Nothing stored (no key, no file, no value): false. A stored
  // number: true when it is not 0. Any other failure (a value of another type, an unreadable
  // store): true, so that a damaged setting errs on the side of asking. Never throws.
  virtual bool LoadAskBeforeConnection() = 0;

  // Writes the approval flag. True only when the new value is stored; on false the stored
  // value is unchanged and the caller keeps its old in-memory value. Never throws.
  virtual bool StoreAskBeforeConnection(bool ask) = 0;

  // The stored language text, when one is stored as text of at most kStoredLanguageMaxLength
  // code units (it may be empty). Anything else, including every failure: nothing. Never throws.
  virtual std::optional<std::wstring> LoadLanguage() = 0;

  // Stores a language code. True on success; callers ignore failures. Never throws.
  virtual bool StoreLanguage(std::wstring_view code) = 0;
};

// The status line shown when the approval setting could not be written.
inline constexpr const char* kApprovalNotSavedStatus = "Could not save the approval setting";

// The user toggled "Ask before every connection". With a store, the new value is written first
// and `ask` changes only when the write succeeded; without one (preview mode) only `ask` changes.
// Returns false when the write failed: the caller then shows kApprovalNotSavedStatus, and both
// `ask` and the stored value are as they were.
bool ToggleAskBeforeConnection(bool& ask, SettingsStore* store);

// The store of the user running the program (the registry on Windows, the settings file under
// $XDG_CONFIG_HOME or ~/.config elsewhere).
std::unique_ptr<SettingsStore> OpenUserSettings();

}  // namespace ov
