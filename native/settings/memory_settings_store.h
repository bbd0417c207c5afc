// An in-memory SettingsStore for tests of the code that uses the settings: holds what a real
// store would hold, can be told to fail, and counts every access so that tests can check that
// preview mode never touches the store.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "settings/settings_store.h"

namespace ov {

class MemorySettingsStore final : public SettingsStore {
 public:
  // What the stored approval value looks like to a reader.
  enum class ApprovalState { Absent, Number, WrongType, Unreadable };

  bool LoadAskBeforeConnection() override {
    ++reads;
    switch (approvalState) {
      case ApprovalState::Absent: return false;
      case ApprovalState::Number: return approvalNumber != 0;
      case ApprovalState::WrongType:
      case ApprovalState::Unreadable: return true;
    }
    return true;
  }

  bool StoreAskBeforeConnection(bool ask) override {
    ++writes;
    if (failWrites) return false;
    approvalState = ApprovalState::Number;
    approvalNumber = ask ? 1u : 0u;
    return true;
  }

  std::optional<std::wstring> LoadLanguage() override {
    ++reads;
    if (!language || language->size() > kStoredLanguageMaxLength) return std::nullopt;
    return language;
  }

  bool StoreLanguage(std::wstring_view code) override {
    ++writes;
    if (failWrites) return false;
    language = std::wstring(code);
    return true;
  }

  // Knobs and observations, public on purpose.
  ApprovalState approvalState = ApprovalState::Absent;
  unsigned long approvalNumber = 0;
  std::optional<std::wstring> language;
  bool failWrites = false;
  int reads = 0;
  int writes = 0;
};

}  // namespace ov
