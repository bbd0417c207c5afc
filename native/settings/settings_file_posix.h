// The settings store of non-Windows builds: one JSON object in `<directory>/settings.json`,
//   {"AskBeforeConnection": 0 or 1, "Language": "<code>"}
// with the registry's semantics: a missing file or member reads as "not stored", a member of
// another type or a file that cannot be read or parsed makes the approval flag read as on.
// Writes replace the file atomically (a temporary file in the same directory, then rename) under
// an advisory lock, and keep any member they do not change.
#pragma once

#include <string>

#include "settings/settings_store.h"

namespace ov {

class FileSettingsStore final : public SettingsStore {
 public:
  // `directory` is created (mode 0700, with its parents) on the first write.
  explicit FileSettingsStore(std::string directory);

  // $XDG_CONFIG_HOME/kestrova when XDG_CONFIG_HOME is an absolute path, else $HOME/.config/kestrova,
  // else the password database's home directory; "" when none is known (every write then fails).
  static std::string DefaultDirectory();

  bool LoadAskBeforeConnection() override;
  bool StoreAskBeforeConnection(bool ask) override;
  std::optional<std::wstring> LoadLanguage() override;
  bool StoreLanguage(std::wstring_view code) override;

  const std::string& path() const { return path_; }

 private:
  std::string directory_;
  std::string path_;
};

}  // namespace ov
