#include "settings/settings_store.h"

namespace ov {

bool ToggleAskBeforeConnection(bool& ask, SettingsStore* store) {
  const bool wanted = !ask;
  if (store != nullptr && !store->StoreAskBeforeConnection(wanted)) return false;
  ask = wanted;
  return true;
}

}  // namespace ov
