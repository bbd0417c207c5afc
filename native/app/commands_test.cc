// The command dispatcher against a real Client (scripted relay) and recorded window effects.
#include "app/commands.h"

#include <gtest/gtest.h>

#include "app/testing/client_harness.h"
#include "app/testing/recorded_effects.h"
#include "settings/memory_settings_store.h"

namespace ov {
namespace {

using testing::ClientHarness;

using testing::RecordedEffects;

class CommandsTest : public ::testing::Test {
 protected:
  void Register() {
    host.StartUp();
    auto transport = host.LastTransport();
    ASSERT_TRUE(transport->WaitConnected());
    ASSERT_TRUE(transport->DeliverJson({{"type", "registered"}, {"protocol", 3}}));
    host.Pump(std::chrono::milliseconds(2000));
    ASSERT_EQ(host.status(), kStatusReady);
  }

  ManualClock clock;
  ClientHarness host{clock};
  UiState ui;
  RecordedEffects effects;
  MemorySettingsStore settings;
  CommandDispatcher dispatcher{*host.client, ui, effects, clock, &settings};
};

TEST_F(CommandsTest, TheGateLeavesOnlyTheWindowAndUpdateCommands) {
  host.client->RegisterAsHost();  // the update check has not reported yet
  ASSERT_FALSE(host.client->updateGateOpen());
  host.window.remoteId = L"482 913 775";
  host.window.password = "ABCD-EFGH";
  for (int command : {cmd::kConnect, cmd::kCopyId, cmd::kSecurity, cmd::kApproval}) {
    dispatcher.Dispatch(command);
  }
  EXPECT_EQ(host.platform.TransportCount(), 0u) << "Connect did nothing";
  EXPECT_EQ(ui.page, 0);
  EXPECT_TRUE(effects.copied.empty());
  EXPECT_EQ(settings.writes, 0);
  dispatcher.Dispatch(cmd::kMinimize);
  dispatcher.Dispatch(cmd::kMaximize);
  dispatcher.Dispatch(cmd::kClose);
  EXPECT_EQ(effects.minimized + effects.maximized + effects.closed, 3);
}

TEST_F(CommandsTest, CopyingTheIdAndPassword) {
  dispatcher.Dispatch(cmd::kCopyId);  // not registered yet
  EXPECT_TRUE(effects.copied.empty());
  Register();
  dispatcher.Dispatch(cmd::kCopyId);
  ASSERT_EQ(effects.copied.size(), 1u);
  const std::string& id = host.client->deviceId();
  EXPECT_EQ(effects.copied[0], std::wstring(id.begin(), id.end()));
  EXPECT_EQ(host.status(), "ID copied");
  EXPECT_EQ(ui.copiedCommand, cmd::kCopyId);
  EXPECT_EQ(ui.copyFeedbackUntil, clock.NowMs() + 2000);
  EXPECT_EQ(effects.feedbackEnds, std::vector<std::uint64_t>{2000})
      << "the check mark goes after 2 s exactly, not on the next 500 ms tick";
  dispatcher.Dispatch(cmd::kCopyPassword);
  ASSERT_EQ(effects.copied.size(), 2u);
  const std::string& password = host.client->sessionPassword();
  EXPECT_EQ(effects.copied[1], std::wstring(password.begin(), password.end()))
      << "the bare 8 characters, without the separator it is shown with";
  EXPECT_EQ(host.status(), "Password copied");
  effects.clipboardWorks = false;
  dispatcher.Dispatch(cmd::kCopyId);
  EXPECT_EQ(host.status(), kStatusActionFailed);
}

TEST_F(CommandsTest, TheApprovalSettingIsWrittenBeforeItChanges) {
  Register();
  settings.failWrites = true;
  dispatcher.Dispatch(cmd::kApproval);
  EXPECT_FALSE(host.client->approvalSetting());
  EXPECT_EQ(host.status(), kApprovalNotSavedStatus);
  settings.failWrites = false;
  dispatcher.Dispatch(cmd::kApproval);
  EXPECT_TRUE(host.client->approvalSetting());
  EXPECT_TRUE(settings.LoadAskBeforeConnection());
  EXPECT_EQ(settings.writes, 2);
}

TEST_F(CommandsTest, PermissionsPagesAndUnavailableCommands) {
  Register();
  EXPECT_FALSE(host.client->permissions().clipboard);
  effects.answer = false;
  dispatcher.Dispatch(cmd::kSyncClipboard);
  EXPECT_EQ(effects.asked, 1);
  EXPECT_FALSE(host.client->permissions().clipboard) << "only Yes switches it on";
  EXPECT_EQ(host.status(), kStatusReady) << "a refusal changes nothing";
  effects.answer = true;
  dispatcher.Dispatch(cmd::kSyncClipboard);
  EXPECT_TRUE(host.client->permissions().clipboard);
  EXPECT_EQ(host.status(), "Enable clipboard sync on both devices.") << "also without a session";
  host.client->ShowStatusLine(kStatusReady);
  dispatcher.Dispatch(cmd::kSyncClipboard);  // switching off asks nothing
  EXPECT_EQ(effects.asked, 2);
  EXPECT_FALSE(host.client->permissions().clipboard);
  EXPECT_EQ(host.status(), "Enable clipboard sync on both devices.");
  dispatcher.Dispatch(cmd::kAllowFiles);
  EXPECT_FALSE(host.client->permissions().files);

  dispatcher.Dispatch(cmd::kChat);
  EXPECT_EQ(ui.page, 3);
  dispatcher.Dispatch(cmd::kRemoteDesktop);
  EXPECT_EQ(ui.page, 0);
  dispatcher.Dispatch(cmd::kShowPassword);
  EXPECT_TRUE(ui.passwordRevealed);

  dispatcher.Dispatch(cmd::kSendFile);  // no session tools in this state
  EXPECT_EQ(host.status(), "Permission disabled");
  EXPECT_TRUE(effects.dialogs.empty());
  dispatcher.Dispatch(cmd::kSendChat);
  EXPECT_EQ(host.status(), kStatusActionFailed);
  EXPECT_TRUE(host.client->hasTransport()) << "a failing command keeps the connection";
}

TEST_F(CommandsTest, TheViewSnapshotFollowsTheController) {
  Register();
  const MainView view = MakeMainView(*host.client);
  EXPECT_TRUE(view.gateOpen);
  EXPECT_TRUE(view.registered);
  EXPECT_EQ(view.deviceId, host.client->deviceId());
  EXPECT_EQ(view.password, &host.client->sessionPassword());
  EXPECT_FALSE(view.allowClipboard);
  EXPECT_EQ(view.prompt, PromptKind::None);
}

}  // namespace
}  // namespace ov
