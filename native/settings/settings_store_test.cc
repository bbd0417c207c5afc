#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include "settings/memory_settings_store.h"

namespace ov {
namespace {

TEST(ToggleAskBeforeConnection, FlagFollowsOnlyASuccessfulWrite) {
  MemorySettingsStore store;
  bool ask = false;
  EXPECT_TRUE(ToggleAskBeforeConnection(ask, &store));
  EXPECT_TRUE(ask);
  EXPECT_TRUE(store.LoadAskBeforeConnection());

  store.failWrites = true;
  EXPECT_FALSE(ToggleAskBeforeConnection(ask, &store));
  EXPECT_TRUE(ask);  // unchanged in memory
  EXPECT_TRUE(store.LoadAskBeforeConnection());  // and in the store

  // Preview mode has no store: the flag toggles in memory only.
  ask = false;
  EXPECT_TRUE(ToggleAskBeforeConnection(ask, nullptr));
  EXPECT_TRUE(ask);
  EXPECT_TRUE(ToggleAskBeforeConnection(ask, nullptr));
  EXPECT_FALSE(ask);
}

}  // namespace
}  // namespace ov
