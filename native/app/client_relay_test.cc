// A host Client and a viewer Client pairing through a real kestrova-relay on loopback. Both run
// on the test thread (it plays both UI threads); they share one manual clock, so deadlines move
// only when a test says so.
#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "app/client.h"
#include "app/testing/client_harness.h"
#include "app/testing/relay_process.h"
#include "app/testing/watchdog.h"

namespace ov {
namespace {

using testing::ClientHarness;
using testing::RelayProcess;
using namespace std::chrono_literals;

class ClientRelayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
#ifdef OV_RELAY_BINARY
    // Every viewer of these tests comes from one address and many of them fail on purpose; the
    // seventh attempt reaches the host, whose own limit is under test.
    relay_ = new RelayProcess(OV_RELAY_BINARY, {"--quiet", "--registrations-per-minute", "100000",
                                                "--failed-pairings-per-address", "100000",
                                                "--requests-per-host-per-minute", "100000"});
#endif
  }
  static void TearDownTestSuite() {
    delete relay_;
    relay_ = nullptr;
  }

  void SetUp() override {
    if (relay_ == nullptr) GTEST_SKIP() << "kestrova-relay is not part of this build";
    ASSERT_TRUE(relay_->ok()) << relay_->error();
    host = Make();
    viewer = Make();
    host->StartUp();
    viewer->StartUp();
    ASSERT_TRUE(PumpUntil([&] { return host->status() == kStatusReady; })) << host->status();
    ASSERT_TRUE(PumpUntil([&] { return viewer->status() == kStatusReady; }));
  }

  std::unique_ptr<ClientHarness> Make() {
    return std::make_unique<ClientHarness>(
        clock, [] { return CreateTransport(); }, relay_->url());
  }

  // Plays both UI threads until `done` holds.
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      host->Pump(2ms);
      viewer->Pump(2ms);
    }
    return true;
  }

  void ConnectViewer(const std::string& password) {
    const std::string& id = host->client->deviceId();
    viewer->window.remoteId = std::wstring(id.begin(), id.end());
    viewer->window.password = password;
    viewer->client->ConnectToDevice();
  }

  bool Encrypted() {
    return viewer->status() == kStatusEncrypted && host->status() == kStatusSessionActive &&
           host->client->session() != nullptr && host->client->session()->control().helloComplete();
  }

  std::string WrongPassword() {
    std::string wrong = host->client->sessionPassword();
    wrong[7] = wrong[7] == 'A' ? 'B' : 'A';
    return wrong;
  }

  static RelayProcess* relay_;
  ManualClock clock;
  std::unique_ptr<ClientHarness> host;
  std::unique_ptr<ClientHarness> viewer;
};

RelayProcess* ClientRelayTest::relay_ = nullptr;

TEST_F(ClientRelayTest, PairsWithoutApproval) {
  ConnectViewer(host->client->sessionPassword());
  ASSERT_TRUE(PumpUntil([&] { return Encrypted(); }))
      << "viewer: " << viewer->status() << " / host: " << host->status() << " / "
      << host->client->lastProtocolError() << viewer->client->lastProtocolError();
  EXPECT_TRUE(host->window.banner);
  EXPECT_TRUE(host->client->session()->stream().has_value());
  EXPECT_EQ(viewer->client->session()->control().screens().size(), 2u);
  EXPECT_EQ(host->client->connectDeadline(), 0u);
  EXPECT_EQ(viewer->client->connectDeadline(), 0u);
}

TEST_F(ClientRelayTest, PairsWithApprovalAfterTheUserAllows) {
  host->client->SetApprovalSetting(true);
  ConnectViewer(host->client->sessionPassword());
  ASSERT_TRUE(PumpUntil([&] { return host->client->consentPending(); }));
  EXPECT_EQ(host->window.foregrounds, 1);
  host->client->DecideConsent(true);
  ASSERT_TRUE(PumpUntil([&] { return Encrypted(); }));
}

TEST_F(ClientRelayTest, WrongPasswordFailsOnTheViewerAndTheHostStaysReady) {
  ConnectViewer(WrongPassword());
  ASSERT_TRUE(PumpUntil([&] { return viewer->status() == kStatusSecurityFailed; }));
  EXPECT_EQ(viewer->client->lastProtocolError(), "host confirmation");
  ASSERT_TRUE(PumpUntil([&] { return !host->client->hasPairing() && host->status() == kStatusReady; }))
      << host->status();
  EXPECT_TRUE(host->client->registered());
}

TEST_F(ClientRelayTest, SeventhAttemptInAMinuteIsRefusedThenAcceptedAfterTheWindow) {
  for (int i = 0; i < 6; ++i) {
    ConnectViewer(WrongPassword());
    ASSERT_TRUE(PumpUntil([&] { return viewer->status() == kStatusSecurityFailed; })) << i;
    ASSERT_TRUE(PumpUntil([&] { return !host->client->hasPairing() && host->status() == kStatusReady; }))
        << i << ": " << host->status();
    clock.Advance(1000);
  }
  ConnectViewer(host->client->sessionPassword());
  ASSERT_TRUE(PumpUntil([&] { return host->status() == kStatusTooManyAttempts; })) << host->status();
  ASSERT_TRUE(PumpUntil([&] { return viewer->status() == kStatusClosed; })) << viewer->status();
  clock.Advance(60000);
  ConnectViewer(host->client->sessionPassword());
  ASSERT_TRUE(PumpUntil([&] { return Encrypted(); })) << viewer->status() << " / " << host->status();
}

TEST_F(ClientRelayTest, ConsentTimeoutRefusesTheViewer) {
  host->client->SetApprovalSetting(true);
  ConnectViewer(host->client->sessionPassword());
  ASSERT_TRUE(PumpUntil([&] { return host->client->consentPending(); }));
  clock.Advance(35000);
  host->client->OnTimerTick();
  EXPECT_EQ(host->status(), kStatusReady);
  ASSERT_TRUE(PumpUntil([&] { return viewer->status() == kStatusClosed; })) << viewer->status();
  EXPECT_TRUE(host->client->registered());
}

TEST_F(ClientRelayTest, ViewerLeavingDuringConsentReturnsTheHostToReady) {
  host->client->SetApprovalSetting(true);
  ConnectViewer(host->client->sessionPassword());
  ASSERT_TRUE(PumpUntil([&] { return host->client->consentPending(); }));
  viewer->client->ResetSession();
  ASSERT_TRUE(PumpUntil([&] { return !host->client->consentPending(); }));
  EXPECT_EQ(host->status(), kStatusReady);
  EXPECT_TRUE(host->client->registered());
  EXPECT_TRUE(host->client->hasTransport());
}

TEST_F(ClientRelayTest, PingRoundTripIsMeasured) {
  ConnectViewer(host->client->sessionPassword());
  ASSERT_TRUE(PumpUntil([&] { return Encrypted(); }));
  clock.Advance(3000);
  host->client->OnTimerTick();  // the host pings
  clock.Advance(7);
  ASSERT_TRUE(PumpUntil([&] { return host->client->session()->control().roundTripMs() >= 0; }));
  EXPECT_EQ(host->client->session()->control().roundTripMs(), 7);
}

TEST_F(ClientRelayTest, ResetOfALiveSessionEndsPromptlyAndTheViewerIsTold) {
  ConnectViewer(host->client->sessionPassword());
  ASSERT_TRUE(PumpUntil([&] { return Encrypted(); }));
  {
    testing::Watchdog watchdog("reset of a live session");
    host->client->ResetSession();
  }
  EXPECT_EQ(host->client->link().queuedEvents(), 0u);
  ASSERT_TRUE(PumpUntil([&] { return viewer->status() == kStatusClosed; })) << viewer->status();
  EXPECT_FALSE(viewer->client->sessionActive());
}

TEST_F(ClientRelayTest, NewIdAndPasswordEndsTheSession) {
  ConnectViewer(host->client->sessionPassword());
  ASSERT_TRUE(PumpUntil([&] { return Encrypted(); }));
  const std::string oldId = host->client->deviceId();
  host->client->RegisterAsHost();  // the hot key
  EXPECT_NE(host->client->deviceId(), oldId);
  ASSERT_TRUE(PumpUntil([&] { return host->status() == kStatusReady; }));
  ASSERT_TRUE(PumpUntil([&] { return viewer->status() == kStatusClosed; }));
}

}  // namespace
}  // namespace ov
