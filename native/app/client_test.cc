// The controller against a scripted relay: the test delivers relay messages through a
// ScriptedTransport and plays the other end with its own pairing exchange and channel.
#include "app/client.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <span>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

#include "app/commands.h"
#include "app/testing/client_harness.h"
#include "app/testing/recorded_effects.h"
#include "tools/testing/fake_clipboard.h"
#include "app/testing/watchdog.h"
#include "crypto/primitives.h"
#include "screen/frame_message.h"
#include "screen/jpeg_codec.h"

namespace ov {
namespace {

using testing::ClientHarness;
using testing::ScriptedTransport;
using testing::Watchdog;
using namespace std::chrono_literals;

constexpr std::uint8_t kBinding = static_cast<std::uint8_t>(SealedKind::Binding);
constexpr std::uint8_t kControl = static_cast<std::uint8_t>(SealedKind::Control);
constexpr std::uint8_t kFrame = static_cast<std::uint8_t>(SealedKind::Frame);
constexpr std::uint8_t kInput = static_cast<std::uint8_t>(SealedKind::Input);

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// The viewer's side of one attempt, played by the test against a host Client.
struct TestViewer {
  TestViewer(const std::string& password, const std::string& hostId,
             std::string nonceHex = RandomHex(16))
      : nonce(std::move(nonceHex)),
        pake(PakeExchange::Create(password, hostId, nonce, /*isHost=*/false)),
        offer(MakePairingOffer(nonce, pake->OwnMessageHex())) {}

  std::string nonce;
  std::unique_ptr<PakeExchange> pake;
  std::string offer;
  std::shared_ptr<CryptoSession> channel;
};

class HostTest : public ::testing::Test {
 public:
  void SetUp() override {
    host.StartUp();
    transport = host.LastTransport();
    ASSERT_TRUE(transport);
    ASSERT_TRUE(transport->WaitConnected());
    ASSERT_TRUE(transport->DeliverJson({{"type", "registered"}, {"protocol", 3}}));
    host.Pump();
    ASSERT_EQ(host.status(), kStatusReady);
  }

  // Delivers a connect request and returns the host's answer ("authChallenge" or
  // "connectResponse"), or null when it sent nothing within `wait`.
  Json Request(const std::string& requestId, const std::string& offer,
               std::chrono::milliseconds wait = 5s) {
    const std::size_t from = transport->SentTexts().size();
    EXPECT_TRUE(transport->DeliverJson(
        {{"type", "connectRequest"}, {"requestId", requestId}, {"password", offer}}));
    host.Pump();
    const auto end = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < end) {
      const auto texts = transport->SentTexts();
      if (texts.size() > from) return ParseMessage(texts[from]);
      std::this_thread::sleep_for(2ms);
    }
    return Json();
  }

  // Runs the viewer's side up to the host's verified confirmation; returns the viewer.
  std::unique_ptr<TestViewer> PairUntilConsent(const std::string& requestId) {
    auto viewer = std::make_unique<TestViewer>(host.client->sessionPassword(),
                                               host.client->deviceId());
    const Json challenge = Request(requestId, viewer->offer);
    EXPECT_EQ(challenge.value("type", ""), "authChallenge");
    EXPECT_EQ(challenge.value("requestId", ""), requestId);
    viewer->pake->Process(challenge.at("message").get<std::string>(), requestId);
    EXPECT_TRUE(viewer->pake->CheckPeerConfirmation(challenge.at("confirmation").get<std::string>()));
    const std::string confirmation = viewer->pake->OwnConfirmationHex();
    viewer->channel = viewer->pake->CreateChannel();
    EXPECT_TRUE(transport->DeliverJson(
        {{"type", "authResponse"}, {"requestId", requestId}, {"confirmation", confirmation}}));
    host.Pump();
    return viewer;
  }

  // Continues after the consent: "connected", then the binding and hello on the wire.
  void Connect(TestViewer& viewer, const std::string& requestId) {
    ASSERT_TRUE(transport->DeliverJson({{"type", "connected"}, {"requestId", requestId}}));
    host.Pump();
    ASSERT_TRUE(transport->WaitForBinary(2));
    const auto binaries = transport->SentBinaries();
    std::uint8_t kind = 0;
    std::vector<std::uint8_t> plain;
    ASSERT_TRUE(viewer.channel->Unseal(binaries[0], kind, plain));
    EXPECT_EQ(kind, kBinding);
    EXPECT_EQ(std::string(plain.begin(), plain.end()), requestId);
    ASSERT_TRUE(viewer.channel->Unseal(binaries[1], kind, plain));
    EXPECT_EQ(kind, kControl);
    const Json hello = ParseMessage(std::span<const std::uint8_t>(plain));
    EXPECT_EQ(hello.value("op", ""), "hello");
    // A program that has just started offers files and keeps its clipboard to itself.
    EXPECT_EQ(hello.at("files"), true);
    EXPECT_EQ(hello.at("clipboard"), false);
    // The announced screens are the enumerated displays.
    ASSERT_EQ(hello.at("screens").size(), 2u);
    EXPECT_EQ(hello.at("screens")[1],
              Json({{"width", 1280}, {"height", 1024}, {"hz", 75}, {"primary", false}}));
  }

  void DeliverSealed(TestViewer& viewer, std::uint8_t kind, const std::string& plaintext) {
    ASSERT_TRUE(transport->DeliverBinary(viewer.channel->Seal(kind, Bytes(plaintext))));
    host.Pump();
  }

  void SendHelloAck(TestViewer& viewer) {
    DeliverSealed(viewer, kControl,
                  SerializeMessage({{"op", "helloAck"}, {"version", 3}, {"build", "0.3.9"},
                                    {"captureStatus", true}, {"inputStatus", true},
                                    {"clipboardSync", true}, {"files", true},
                                    {"clipboard", true}}));
  }

  Json LastResponse() { return transport->WaitForSentType("connectResponse", responsesFrom); }

  ManualClock clock;
  ClientHarness host{clock};
  std::shared_ptr<ScriptedTransport> transport;
  std::size_t responsesFrom = 0;
  const std::string rid1 = std::string(32, 'a');
  const std::string rid2 = std::string(32, 'b');
};

TEST_F(HostTest, RegistersWithItsIdAndReachesAnActiveSessionWithoutAPrompt) {
  const Json reg = ParseMessage(transport->SentTexts().at(0));
  EXPECT_EQ(reg, Json({{"type", "register"}, {"role", "host"}, {"protocol", 3},
                       {"sessionId", host.client->deviceId()}, {"build", "0.3.9"}}));
  EXPECT_EQ(transport->url(), L"wss://relay.test/ws");
  EXPECT_TRUE(IsValidDeviceId(host.client->deviceId()));
  EXPECT_TRUE(IsValidSessionPassword(host.client->sessionPassword()));

  auto viewer = PairUntilConsent(rid1);
  EXPECT_EQ(host.window.foregrounds, 0);
  const Json response = LastResponse();
  EXPECT_EQ(response, Json({{"type", "connectResponse"}, {"requestId", rid1}, {"accepted", true}}));
  EXPECT_TRUE(host.client->consentGiven());
  Connect(*viewer, rid1);
  EXPECT_EQ(host.status(), kStatusSessionActive);
  EXPECT_TRUE(host.client->sessionActive());
  EXPECT_TRUE(host.window.banner);
  EXPECT_NE(host.client->connectDeadline(), 0u);
  SendHelloAck(*viewer);
  EXPECT_EQ(host.client->lastProtocolError(), "");
  EXPECT_TRUE(host.control().helloComplete());
  EXPECT_TRUE(host.client->session()->stream().has_value());
  EXPECT_EQ(host.client->session()->stream()->epoch, 1);
  EXPECT_EQ(host.client->connectDeadline(), 0u) << "the hello exchange clears the deadline";
}

TEST_F(HostTest, AskingHostWaitsForTheDecision) {
  host.client->SetApprovalSetting(true);
  auto viewer = PairUntilConsent(rid1);
  EXPECT_TRUE(host.client->consentPending());
  EXPECT_EQ(host.window.foregrounds, 1);
  EXPECT_EQ(host.client->consentDeadline(), clock.NowMs() + 35000);
  // Another request while the prompt is open gets no reply at all.
  TestViewer other(host.client->sessionPassword(), host.client->deviceId());
  EXPECT_TRUE(Request(rid2, other.offer, 200ms).is_null());
  host.client->DecideConsent(true);
  EXPECT_EQ(LastResponse().value("accepted", false), true);
  Connect(*viewer, rid1);
  EXPECT_EQ(host.status(), kStatusSessionActive);
}

// Escape is one of the ways to decide: it declines a pending connection, and does nothing
// when none waits.
TEST_F(HostTest, EscapeDeclinesAPendingConnection) {
  UiState ui;
  testing::RecordedEffects effects;
  CommandDispatcher dispatcher{*host.client, ui, effects, clock, nullptr};
  EXPECT_FALSE(dispatcher.OnEscape());
  host.client->SetApprovalSetting(true);
  auto viewer = PairUntilConsent(rid1);
  ASSERT_TRUE(host.client->consentPending());
  EXPECT_TRUE(dispatcher.OnEscape());
  EXPECT_FALSE(host.client->consentPending());
  EXPECT_EQ(LastResponse(), Json({{"type", "connectResponse"}, {"requestId", rid1}, {"accepted", false}}));
  EXPECT_EQ(host.status(), kStatusReady);
  EXPECT_FALSE(dispatcher.OnEscape());
}

TEST_F(HostTest, RefusedOrExpiredConsentReturnsToReady) {
  host.client->SetApprovalSetting(true);
  auto viewer = PairUntilConsent(rid1);
  clock.Advance(34999);
  host.client->OnTimerTick();
  EXPECT_TRUE(host.client->consentPending());
  clock.Advance(1);
  host.client->OnTimerTick();
  EXPECT_FALSE(host.client->consentPending());
  EXPECT_EQ(LastResponse(), Json({{"type", "connectResponse"}, {"requestId", rid1}, {"accepted", false}}));
  EXPECT_EQ(host.status(), kStatusReady);
  EXPECT_TRUE(host.client->registered());
  EXPECT_FALSE(host.client->hasChannel());
  EXPECT_EQ(host.client->requestId(), "");
  // The next request is taken.
  TestViewer next(host.client->sessionPassword(), host.client->deviceId());
  EXPECT_EQ(Request(rid2, next.offer).value("type", ""), "authChallenge");
}

TEST_F(HostTest, PeerDisconnectedDuringConsentKeepsTheRegistration) {
  host.client->SetApprovalSetting(true);
  auto viewer = PairUntilConsent(rid1);
  ASSERT_TRUE(host.client->consentPending());
  // Another request ID, or a malformed one, is ignored.
  ASSERT_TRUE(transport->DeliverJson({{"type", "peerDisconnected"}, {"requestId", rid2}}));
  ASSERT_TRUE(transport->DeliverJson({{"type", "peerDisconnected"}, {"requestId", "A" + rid1.substr(1)}}));
  host.Pump();
  EXPECT_TRUE(host.client->consentPending());
  ASSERT_TRUE(transport->DeliverJson({{"type", "peerDisconnected"}, {"requestId", rid1}}));
  host.Pump();
  EXPECT_EQ(host.status(), kStatusReady);
  EXPECT_FALSE(host.client->consentPending());
  EXPECT_TRUE(host.client->registered());
  EXPECT_TRUE(host.client->hasTransport());
  EXPECT_EQ(host.client->consentDeadline(), 0u);
}

TEST_F(HostTest, WrongPasswordIsRejectedAndTheHostStaysReady) {
  // The viewer typed another password: its confirmation cannot verify on the host.
  std::string wrong = host.client->sessionPassword();
  wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
  TestViewer viewer(wrong, host.client->deviceId());
  const Json challenge = Request(rid1, viewer.offer);
  ASSERT_EQ(challenge.value("type", ""), "authChallenge");
  viewer.pake->Process(challenge.at("message").get<std::string>(), rid1);
  EXPECT_FALSE(viewer.pake->CheckPeerConfirmation(challenge.at("confirmation").get<std::string>()));
  // A viewer that answers anyway is refused.
  ASSERT_TRUE(transport->DeliverJson({{"type", "authResponse"},
                                      {"requestId", rid1},
                                      {"confirmation", viewer.pake->OwnConfirmationHex()}}));
  host.Pump();
  EXPECT_EQ(LastResponse().value("accepted", true), false);
  EXPECT_EQ(host.status(), kStatusSecurityFailed);
  EXPECT_TRUE(host.client->registered());
  EXPECT_FALSE(host.client->hasPairing());
  EXPECT_FALSE(host.client->hasChannel());
}

TEST_F(HostTest, AnAuthResponseForAnotherRequestIsIgnored) {
  TestViewer viewer(host.client->sessionPassword(), host.client->deviceId());
  const Json challenge = Request(rid1, viewer.offer);
  ASSERT_TRUE(transport->DeliverJson(
      {{"type", "authResponse"}, {"requestId", rid2}, {"confirmation", std::string(64, '0')}}));
  host.Pump();
  EXPECT_TRUE(host.client->hasPairing());
  EXPECT_EQ(host.status(), kStatusConnecting);
}

TEST_F(HostTest, SeventhAttemptWithinAMinuteIsRefused) {
  for (int i = 0; i < 6; ++i) {
    const std::string rid(32, static_cast<char>('0' + i));
    TestViewer viewer(host.client->sessionPassword(), host.client->deviceId());
    ASSERT_EQ(Request(rid, viewer.offer).value("type", ""), "authChallenge") << i;
    ASSERT_TRUE(transport->DeliverJson({{"type", "peerDisconnected"}, {"requestId", rid}}));
    host.Pump();
    clock.Advance(1000);
  }
  TestViewer seventh(host.client->sessionPassword(), host.client->deviceId());
  const Json refusal = Request(rid1, seventh.offer);
  EXPECT_EQ(refusal, Json({{"type", "connectResponse"}, {"requestId", rid1}, {"accepted", false}}));
  EXPECT_EQ(host.status(), kStatusTooManyAttempts);
  EXPECT_EQ(host.client->attemptLimiter().attempts(), 6u) << "a refused request is not recorded";
  // Sixty seconds after the oldest attempt, it is processed again.
  clock.Advance(60000 - 6000);
  EXPECT_EQ(Request(rid1, seventh.offer).value("type", ""), "authChallenge");
}

TEST_F(HostTest, ARepeatedNonceIsRefusedUntilANewIdAndPassword) {
  const std::string nonce = RandomHex(16);
  TestViewer first(host.client->sessionPassword(), host.client->deviceId(), nonce);
  ASSERT_EQ(Request(rid1, first.offer).value("type", ""), "authChallenge");
  ASSERT_TRUE(transport->DeliverJson({{"type", "peerDisconnected"}, {"requestId", rid1}}));
  host.Pump();
  TestViewer again(host.client->sessionPassword(), host.client->deviceId(), nonce);
  EXPECT_EQ(Request(rid2, again.offer).value("accepted", true), false);
  EXPECT_EQ(host.status(), kStatusSecurityFailed);
  EXPECT_TRUE(host.client->registered());

  host.client->RegisterAsHost();  // "New ID and password"
  transport = host.LastTransport();
  ASSERT_TRUE(transport->WaitConnected());
  ASSERT_TRUE(transport->DeliverJson({{"type", "registered"}, {"protocol", 3}}));
  host.Pump();
  TestViewer fresh(host.client->sessionPassword(), host.client->deviceId(), nonce);
  EXPECT_EQ(Request(rid2, fresh.offer).value("type", ""), "authChallenge");
}

TEST_F(HostTest, MalformedOffersAreRefused) {
  TestViewer viewer(host.client->sessionPassword(), host.client->deviceId());
  std::string upper = viewer.offer;
  upper[5] = 'A';
  for (const std::string& offer : {viewer.offer.substr(0, 99), viewer.offer + "0", upper,
                                   std::string("p2:") + viewer.offer.substr(3)}) {
    EXPECT_EQ(Request(rid1, offer).value("accepted", true), false);
    EXPECT_EQ(host.status(), kStatusSecurityFailed);
    EXPECT_TRUE(host.client->registered());
  }
}

TEST_F(HostTest, PairingDeadlineRefusesAndAcceptedDeadlineTimesOut) {
  TestViewer viewer(host.client->sessionPassword(), host.client->deviceId());
  ASSERT_EQ(Request(rid1, viewer.offer).value("type", ""), "authChallenge");
  clock.Advance(14999);
  host.client->OnTimerTick();
  EXPECT_TRUE(host.client->hasPairing());
  clock.Advance(1);
  host.client->OnTimerTick();
  EXPECT_EQ(LastResponse().value("accepted", true), false);
  EXPECT_EQ(host.status(), kStatusSecurityFailed);
  EXPECT_TRUE(host.client->registered());
  responsesFrom = transport->SentTexts().size();

  // Accepted, but the relay never reports "connected".
  auto second = PairUntilConsent(rid2);
  ASSERT_TRUE(host.client->consentGiven());
  clock.Advance(15000);
  host.client->OnTimerTick();
  EXPECT_EQ(host.status(), kStatusTimedOut);
  EXPECT_FALSE(host.client->hasTransport());
  EXPECT_FALSE(host.client->registered());
}

// The refusal of a timed-out pairing is the controller's own step: when it cannot be queued, the
// connection ends as after any protocol failure, inside the tick, not in the window's barrier.
TEST_F(HostTest, ARefusalThatCannotBeQueuedOnTheTickEndsTheConnection) {
  TestViewer viewer(host.client->sessionPassword(), host.client->deviceId());
  ASSERT_EQ(Request(rid1, viewer.offer).value("type", ""), "authChallenge");
  transport->sendTextSucceeds = false;
  ASSERT_TRUE(host.client->SendRelayMessage(Json{{"type", "probe"}}));
  // The send thread gives up; its failure event stays queued, not drained.
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (host.client->link().sending() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_FALSE(host.client->link().sending());
  clock.Advance(15000);
  EXPECT_NO_THROW(host.client->OnTimerTick());
  EXPECT_EQ(host.client->lastProtocolError(), "authentication rejection");
  EXPECT_EQ(host.status(), kStatusSecurityFailed);
  EXPECT_FALSE(host.client->hasTransport());
  EXPECT_FALSE(host.client->hasPairing());
}

TEST_F(HostTest, SessionWithoutHelloAcknowledgementTimesOut) {
  auto viewer = PairUntilConsent(rid1);
  Connect(*viewer, rid1);
  clock.Advance(15000);
  host.client->OnTimerTick();
  EXPECT_EQ(host.status(), kStatusTimedOut);
  EXPECT_FALSE(host.window.banner);
}

TEST_F(HostTest, ProtocolViolationsEndTheConnection) {
  struct Case {
    const char* name;
    std::function<void(HostTest&)> act;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"second registered", [](HostTest& t) {
         t.transport->DeliverJson({{"type", "registered"}, {"protocol", 3}});
       }, "invalid registration"},
      {"bad request id", [](HostTest& t) {
         t.transport->DeliverJson({{"type", "connectRequest"}, {"requestId", "abc"}});
       }, "request"},
      {"not an object", [](HostTest& t) { t.transport->DeliverText("[1,2]"); }, nullptr},
      {"too deep", [](HostTest& t) {
         t.transport->DeliverText(R"({"type":"x","a":{"b":{"c":{"d":{"e":1}}}}})");
       }, "message nesting"},
      {"binary before connected", [](HostTest& t) {
         t.transport->DeliverBinary(std::vector<std::uint8_t>(40, 1));
       }, "not approved"},
      {"request before registered", [](HostTest& t) {
         // A fresh connection whose registration has not been confirmed yet.
         t.host.client->RegisterAsHost();
         t.transport = t.host.LastTransport();
         t.transport->WaitConnected();
         TestViewer viewer(t.host.client->sessionPassword(), t.host.client->deviceId());
         t.transport->DeliverJson(
             {{"type", "connectRequest"}, {"requestId", t.rid1}, {"password", viewer.offer}});
       }, "unregistered request"},
      {"registered with protocol 2", [](HostTest& t) {
         t.host.client->RegisterAsHost();
         t.transport = t.host.LastTransport();
         t.transport->WaitConnected();
         t.transport->DeliverJson({{"type", "registered"}, {"protocol", 2}});
       }, "invalid registration"},
      {"type not a string", [](HostTest& t) { t.transport->DeliverText(R"({"type":5})"); }, nullptr},
      {"connected without consent", [](HostTest& t) {
         t.transport->DeliverJson({{"type", "connected"}, {"requestId", t.rid1}});
       }, "no local consent"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host.client->RegisterAsHost();
    transport = host.LastTransport();
    ASSERT_TRUE(transport->WaitConnected());
    ASSERT_TRUE(transport->DeliverJson({{"type", "registered"}, {"protocol", 3}}));
    host.Pump();
    ASSERT_EQ(host.status(), kStatusReady);
    c.act(*this);
    host.Pump();
    EXPECT_EQ(host.status(), kStatusSecurityFailed);
    if (c.reason) {
      EXPECT_EQ(host.client->lastProtocolError(), c.reason);
    }
    EXPECT_FALSE(host.client->hasTransport());
  }
}

TEST_F(HostTest, SealedMessageRulesInASession) {
  auto viewer = PairUntilConsent(rid1);
  Connect(*viewer, rid1);
  // Input before the hello exchange is complete is refused.
  DeliverSealed(*viewer, kInput, R"({"op":"key"})");
  EXPECT_EQ(host.client->lastProtocolError(), "wrong direction");
  EXPECT_EQ(host.status(), kStatusSecurityFailed);
}

TEST_F(HostTest, ForgedSealedMessageEndsTheSession) {
  auto viewer = PairUntilConsent(rid1);
  Connect(*viewer, rid1);
  SendHelloAck(*viewer);
  ASSERT_TRUE(host.control().helloComplete());
  // A forged (tampered) sealed message.
  std::vector<std::uint8_t> forged = viewer->channel->Seal(kControl, Bytes(R"({"op":"ping","token":1})"));
  forged.back() ^= 1;
  ASSERT_TRUE(transport->DeliverBinary(forged));
  host.Pump();
  EXPECT_EQ(host.client->lastProtocolError(), "authentication");
  EXPECT_FALSE(host.client->sessionActive());
}

TEST_F(HostTest, SecondConnectedEndsTheSession) {
  auto viewer = PairUntilConsent(rid1);
  Connect(*viewer, rid1);
  ASSERT_TRUE(transport->DeliverJson({{"type", "connected"}, {"requestId", rid1}}));
  host.Pump();
  EXPECT_EQ(host.client->lastProtocolError(), "duplicate");
  EXPECT_EQ(host.status(), kStatusSecurityFailed);
  EXPECT_FALSE(host.window.banner);
}

// A dialog of the host's own that is open when a session begins (the clipboard question, the file
// picker of an ended session) holds that session's input off the desktop until it closes.
TEST_F(HostTest, ADialogOpenBeforeTheSessionHoldsItsInputOff) {
  host.client->SetLocalModal(true);
  auto viewer = PairUntilConsent(rid1);
  Connect(*viewer, rid1);
  SendHelloAck(*viewer);
  const std::string key = R"({"action":"keydown","x":0,"y":0,"button":0,"key":13,"epoch":1})";
  DeliverSealed(*viewer, kInput, key);
  EXPECT_FALSE(host.client->RemoteControlInForce());
  EXPECT_TRUE(host.platform.input->Take().empty());
  host.client->SetLocalModal(false);
  EXPECT_TRUE(host.client->RemoteControlInForce());
  DeliverSealed(*viewer, kInput, key);
  EXPECT_EQ(host.platform.input->Take(), std::vector<std::string>{"keydown 13"});
  EXPECT_TRUE(host.client->sessionActive());
}

TEST_F(HostTest, InputIsTakenAfterHelloWithinItsLimit) {
  auto viewer = PairUntilConsent(rid1);
  Connect(*viewer, rid1);
  SendHelloAck(*viewer);
  DeliverSealed(*viewer, kInput, R"({"action":"move","x":1,"y":2,"button":1,"key":0,"epoch":1})");
  EXPECT_TRUE(host.client->sessionActive());
  DeliverSealed(*viewer, kInput, R"({"action":"move","pad":")" + std::string(1000, 'p') + "\"}");
  EXPECT_EQ(host.client->lastProtocolError(), "input limit");
}

TEST_F(HostTest, ControlMessageOverTheLimitEndsTheSession) {
  auto viewer = PairUntilConsent(rid1);
  Connect(*viewer, rid1);
  SendHelloAck(*viewer);
  std::string big = R"({"op":"ping","token":1,"pad":")" + std::string(48000, 'p') + "\"}";
  DeliverSealed(*viewer, kControl, big);
  EXPECT_EQ(host.client->lastProtocolError(), "control limit");
}

TEST_F(HostTest, PingRoundTripIsMeasured) {
  auto viewer = PairUntilConsent(rid1);
  Connect(*viewer, rid1);
  SendHelloAck(*viewer);
  clock.Advance(3000);
  host.client->OnTimerTick();
  // Past what the viewer has already read (binding, hello), among the stream's frames and
  // status reports.
  std::uint8_t kind = 0;
  std::vector<std::uint8_t> plain;
  Json ping;
  std::size_t read = 2;
  for (std::size_t wanted = 3; ping.is_null(); ++wanted) {
    ASSERT_TRUE(transport->WaitForBinary(wanted));
    const auto binaries = transport->SentBinaries();
    for (; read < binaries.size(); ++read) {
      ASSERT_TRUE(viewer->channel->Unseal(binaries[read], kind, plain));
      if (kind != kControl) continue;
      Json message = ParseMessage(std::span<const std::uint8_t>(plain));
      if (message.value("op", "") == "ping") ping = std::move(message);
    }
  }
  clock.Advance(42);
  DeliverSealed(*viewer, kControl,
                SerializeMessage({{"op", "pong"}, {"token", ping.at("token")}}));
  EXPECT_EQ(host.control().roundTripMs(), 42);
}

TEST_F(HostTest, RelayErrorUpdateRequiredRechecksAndGoesOffline) {
  const int checks = host.updater.checks();
  ASSERT_TRUE(transport->DeliverJson({{"type", "error"}, {"code", "updateRequired"}}));
  host.Pump();
  EXPECT_EQ(host.status(), kStatusClosed);
  EXPECT_EQ(host.updater.checks(), checks + 1);
  EXPECT_EQ(host.client->updateState(), UpdateState::Checking);
  EXPECT_FALSE(host.client->hasTransport());
}

// A relay that refuses every registration with "updateRequired" while the update check says this
// version is current: the host registers again after 5 s, 10 s, 20 s... and never more often than
// every 5 minutes, showing that the connection closed in between. The user can still register
// at once.
TEST_F(HostTest, ARelayAndAManifestThatDisagreeAreAskedLessAndLessOften) {
  std::size_t made = host.platform.TransportCount();
  std::vector<std::uint64_t> registeredAt{clock.NowMs()};
  auto refuse = [&] {
    auto refused = host.LastTransport();
    ASSERT_TRUE(refused->WaitConnected());
    ASSERT_TRUE(refused->DeliverJson({{"type", "error"}, {"code", "updateRequired"}}));
    ASSERT_TRUE(host.PumpUntil([&] { return !host.client->hasTransport(); }));
  };
  refuse();
  for (int tick = 0; tick < 2 * 60 * 25; ++tick) {  // 25 minutes
    clock.Advance(500);
    host.client->OnTimerTick();
    if (host.platform.TransportCount() > made) {
      made = host.platform.TransportCount();
      registeredAt.push_back(clock.NowMs());
      refuse();
    } else {
      ASSERT_FALSE(host.client->hasTransport()) << tick;
      ASSERT_EQ(host.status(), kStatusClosed) << tick;
    }
  }
  ASSERT_GE(registeredAt.size(), 10u);
  std::uint64_t delay = 5000;
  for (std::size_t i = 1; i < registeredAt.size(); ++i) {
    // The wait starts at the tick that takes the updater's answer, half a second after the refusal.
    EXPECT_EQ(registeredAt[i] - registeredAt[i - 1], delay + 500) << i;
    delay = std::min<std::uint64_t>(delay * 2, 300000);
  }
  // "New ID and password" does not wait.
  host.client->OnTimerTick();
  host.client->RegisterAsHost();
  EXPECT_TRUE(host.client->hasTransport());
}

TEST_F(HostTest, TransportFailuresShowConnectionClosed) {
  NetEvent closed;
  closed.kind = NetEvent::Kind::Closed;
  closed.text = "Relay connection closed";
  ASSERT_TRUE(transport->Deliver(std::move(closed)));
  host.Pump();
  EXPECT_EQ(host.status(), kStatusClosed);
  EXPECT_FALSE(host.client->hasTransport());
  // The quiet rechecks of the idle minute report "up to date" again; the host stays offline
  // until the user refreshes.
  const std::size_t transports = host.platform.TransportCount();
  const int checks = host.updater.checks();
  for (int i = 0; i < 2; ++i) {
    clock.Advance(60000);
    host.client->OnTimerTick();
    host.client->OnTimerTick();
  }
  EXPECT_EQ(host.updater.checks(), checks + 2);
  EXPECT_EQ(host.platform.TransportCount(), transports);
  EXPECT_EQ(host.status(), kStatusClosed);

  // A failing send ends the connection through "Network send failed".
  host.client->RegisterAsHost();
  transport = host.LastTransport();
  ASSERT_TRUE(transport->WaitConnected());
  ASSERT_TRUE(transport->DeliverJson({{"type", "registered"}, {"protocol", 3}}));
  host.Pump();
  transport->sendTextSucceeds = false;
  TestViewer viewer(host.client->sessionPassword(), host.client->deviceId());
  ASSERT_TRUE(transport->DeliverJson(
      {{"type", "connectRequest"}, {"requestId", rid1}, {"password", viewer.offer}}));
  host.Pump();
  ASSERT_TRUE(host.PumpUntil([&] { return host.status() == kStatusClosed; }));
}

TEST(ClientStartTest, FailedConnectAndFailedRegistrationShowConnectionClosed) {
  for (const bool connectFails : {true, false}) {
    ManualClock clock;
    ClientHarness host(clock);
    host.platform.configure = [connectFails](ScriptedTransport& t) {
      if (connectFails) {
        t.connectSucceeds = false;
      } else {
        t.sendTextSucceeds = false;
      }
    };
    host.StartUp();
    EXPECT_TRUE(host.PumpUntil([&] { return host.status() == kStatusClosed; }));
    EXPECT_FALSE(host.client->hasTransport());
  }
}

TEST(ClientStartTest, NothingConnectsUntilTheUpdateCheckSaysCurrent) {
  ManualClock clock;
  ClientHarness host(clock);
  host.client->RegisterAsHost();
  EXPECT_EQ(host.status(), kStatusCheckingUpdates);
  EXPECT_FALSE(host.client->hasTransport());
  host.window.remoteId = L"123 456 789";
  host.window.password = "ABCD-EFGH";
  host.client->ConnectToDevice();
  EXPECT_FALSE(host.client->hasTransport());
  EXPECT_TRUE(host.platform.transports.empty());
  host.client->StartUpdateCheck();
  host.client->OnTimerTick();
  EXPECT_TRUE(host.client->hasTransport());
  // A quiet recheck runs after a minute of idleness.
  const int checks = host.updater.checks();
  clock.Advance(59999);
  host.client->OnTimerTick();
  EXPECT_EQ(host.updater.checks(), checks);
  clock.Advance(1);
  host.client->OnTimerTick();
  EXPECT_EQ(host.updater.checks(), checks + 1);
}

TEST(ClientStartTest, PreviewModeStaysOffline) {
  ManualClock clock;
  ClientHarness preview(clock, nullptr, L"wss://relay.test/ws", /*preview=*/true);
  preview.client->RegisterAsHost();
  preview.client->StartUpdateCheck();
  preview.client->OnTimerTick();
  EXPECT_EQ(preview.status(), kStatusPreview);
  EXPECT_EQ(preview.platform.TransportCount(), 0u);
  EXPECT_EQ(preview.updater.checks(), 0);
}

// ---- Viewer -----------------------------------------------------------------------------------

class ViewerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    viewer.client->StartUpdateCheck();
    viewer.client->OnTimerTick();  // registers as host first, as the program does
    viewer.window.remoteId = L"482 913 775";
    viewer.window.password = "abcd-efgh";
  }

  // Connects and returns the viewer's register message.
  Json Connect() {
    viewer.client->ConnectToDevice();
    transport = viewer.LastTransport();
    EXPECT_TRUE(transport->WaitConnected());
    return ParseMessage(transport->SentTexts().at(0));
  }

  // Plays the host's answer to the viewer's offer.
  void Challenge(const std::string& hostPassword = "ABCDEFGH") {
    const Json reg = ParseMessage(transport->SentTexts().at(0));
    std::string nonce;
    std::string message;
    ASSERT_TRUE(ParsePairingOffer(reg.at("password").get<std::string>(), nonce, message));
    hostPake = PakeExchange::Create(hostPassword, "482913775", nonce, /*isHost=*/true);
    hostPake->Process(message, rid);
    ASSERT_TRUE(transport->DeliverJson({{"type", "authChallenge"},
                                        {"requestId", rid},
                                        {"message", hostPake->OwnMessageHex()},
                                        {"confirmation", hostPake->OwnConfirmationHex()}}));
    viewer.Pump();
  }

  void Authenticate() {
    Challenge();
    const Json response = transport->WaitForSentType("authResponse");
    ASSERT_FALSE(response.is_null());
    EXPECT_EQ(response.value("requestId", ""), rid);
    ASSERT_TRUE(hostPake->CheckPeerConfirmation(response.at("confirmation").get<std::string>()));
    hostChannel = hostPake->CreateChannel();
  }

  void DeliverSealed(std::uint8_t kind, const std::string& plaintext) {
    ASSERT_TRUE(transport->DeliverBinary(hostChannel->Seal(kind, Bytes(plaintext))));
    viewer.Pump();
  }

  std::string Hello(const char* op = "hello", int epoch = 1) {
    return SerializeMessage(
        {{"op", op}, {"version", 3}, {"build", "0.3.9"}, {"captureStatus", true},
         {"inputStatus", true}, {"clipboardSync", true},
         {"screens", Json::array({{{"width", 1920}, {"height", 1080}, {"hz", 60}, {"primary", true}}})},
         {"epoch", epoch}, {"selected", 0}, {"profile", 0}, {"control", true}, {"files", true},
         {"clipboard", true}});
  }

  void Bind() {
    Authenticate();
    ASSERT_TRUE(transport->DeliverJson({{"type", "connected"}, {"requestId", rid}}));
    viewer.Pump();
    ASSERT_EQ(viewer.status(), kStatusConnecting);
    DeliverSealed(kBinding, rid);
    ASSERT_EQ(viewer.status(), kStatusVersionNeeded);
  }

  ManualClock clock;
  ClientHarness viewer{clock};
  std::shared_ptr<ScriptedTransport> transport;
  std::unique_ptr<PakeExchange> hostPake;
  std::shared_ptr<CryptoSession> hostChannel;
  const std::string rid = "0123456789abcdef0123456789abcdef";
};

TEST_F(ViewerTest, PairsToAnEncryptedSession) {
  const Json reg = Connect();
  EXPECT_EQ(reg.value("role", ""), "viewer");
  EXPECT_EQ(reg.value("sessionId", ""), "482913775");
  EXPECT_EQ(reg.value("protocol", 0), 3);
  EXPECT_EQ(reg.value("build", ""), "0.3.9");
  const std::string offer = reg.value("password", "");
  EXPECT_EQ(offer.size(), 100u);
  EXPECT_EQ(offer.substr(3, 32), viewer.client->peerNonce());
  EXPECT_EQ(viewer.window.password, "") << "the password box is emptied";
  EXPECT_EQ(viewer.client->connectDeadline(), clock.NowMs() + 50000);
  Bind();
  EXPECT_TRUE(viewer.client->sessionActive());
  DeliverSealed(kControl, Hello());
  EXPECT_EQ(viewer.status(), kStatusEncrypted);
  EXPECT_EQ(viewer.client->connectDeadline(), 0u);
  ASSERT_TRUE(transport->WaitForBinary(1));
  std::uint8_t kind = 0;
  std::vector<std::uint8_t> plain;
  ASSERT_TRUE(hostChannel->Unseal(transport->SentBinaries().at(0), kind, plain));
  EXPECT_EQ(kind, kControl);
  EXPECT_EQ(ParseMessage(std::span<const std::uint8_t>(plain)).value("op", ""), "helloAck");
  // Frames are taken after the hello exchange, decoded and acknowledged.
  const std::vector<std::uint8_t> pixels(32 * 16 * 4, 0x40);
  std::vector<std::uint8_t> frame;
  BuildFrameMessage(FrameHeader{1, 1}, EncodeJpeg(PixelView{pixels.data(), 32, 16}, 70), frame);
  DeliverSealed(kFrame, std::string(frame.begin(), frame.end()));
  EXPECT_EQ(viewer.client->session()->display().figures().frames, 1u);
  EXPECT_TRUE(viewer.client->sessionActive());
  ASSERT_TRUE(transport->WaitForBinary(2));
  ASSERT_TRUE(hostChannel->Unseal(transport->SentBinaries().at(1), kind, plain));
  EXPECT_EQ(ParseMessage(std::span<const std::uint8_t>(plain)),
            Json({{"op", "frameAck"}, {"epoch", 1}, {"seq", 1}}));
}

// The view commands act on the viewer's session: fit, 1:1, zoom steps and the zoom menu's
// choices; the display and quality menus ask the host for another stream; the connection
// information shows the session's figures; without a session they are unavailable.
TEST_F(ViewerTest, ViewCommandsActOnTheSession) {
  UiState ui;
  testing::RecordedEffects effects;
  CommandDispatcher dispatcher{*viewer.client, ui, effects, clock, nullptr};
  dispatcher.Dispatch(cmd::kZoomIn);
  EXPECT_EQ(viewer.status(), kStatusActionFailed) << "no session yet";

  Connect();
  Bind();
  DeliverSealed(kControl, Hello());
  const std::vector<std::uint8_t> pixels(64 * 32 * 4, 0x40);
  std::vector<std::uint8_t> frame;
  BuildFrameMessage(FrameHeader{1, 1}, EncodeJpeg(PixelView{pixels.data(), 64, 32}, 70), frame);
  DeliverSealed(kFrame, std::string(frame.begin(), frame.end()));
  const ViewerDisplay& display = viewer.client->session()->display();
  ASSERT_TRUE(display.picture().has_value());

  dispatcher.Dispatch(cmd::kZoomIn);  // from the fitted scale, 1000 / 64 = 15.625: clamped to 4
  EXPECT_FALSE(display.view().fit);
  EXPECT_FLOAT_EQ(display.view().zoom, 4.0f);
  dispatcher.Dispatch(cmd::kZoomOut);
  EXPECT_FLOAT_EQ(display.view().zoom, 3.2f);
  dispatcher.Dispatch(cmd::kActualSize);
  EXPECT_FLOAT_EQ(display.view().zoom, 1.0f);
  effects.menuChoice = cmd::kZoomPercentBase + 150;
  dispatcher.Dispatch(cmd::kZoomMenu);
  EXPECT_FLOAT_EQ(display.view().zoom, 1.5f);
  EXPECT_TRUE(effects.menus.back().at(1).checked) << "1:1 is checked at zoom 1.0";
  effects.menuChoice = cmd::kFit;
  dispatcher.Dispatch(cmd::kZoomMenu);
  EXPECT_TRUE(display.view().fit);
  dispatcher.Dispatch(cmd::kZoomPercentBase + 75);
  EXPECT_FLOAT_EQ(display.view().zoom, 0.75f);
  dispatcher.Dispatch(cmd::kZoomPercentBase + 76);
  EXPECT_EQ(viewer.status(), kStatusActionFailed) << "not a preset";

  // Display and quality: a "selectDisplay" with the other field kept; nothing for no choice.
  const std::size_t sentBefore = transport->SentBinaries().size();
  effects.menuChoice = 0;
  dispatcher.Dispatch(cmd::kDisplayMenu);
  ASSERT_EQ(effects.menus.back().size(), 1u);
  EXPECT_EQ(effects.menus.back()[0].label, "Display");
  EXPECT_EQ(effects.menus.back()[0].detail, " 1  \xC2\xB7  1920 \xC3\x97 1080 / 60 Hz");
  EXPECT_TRUE(effects.menus.back()[0].checked);
  effects.menuChoice = kQualityChoiceBase + 3;
  dispatcher.Dispatch(cmd::kQualityMenu);
  effects.menuChoice = kDisplayChoiceBase + 0;
  dispatcher.Dispatch(cmd::kDisplayMenu);
  ASSERT_TRUE(transport->WaitForBinary(sentBefore + 2));
  std::vector<Json> asked;
  for (std::size_t i = sentBefore; i < transport->SentBinaries().size(); ++i) {
    std::uint8_t kind = 0;
    std::vector<std::uint8_t> plain;
    ASSERT_TRUE(hostChannel->Unseal(transport->SentBinaries()[i], kind, plain));
    Json message = ParseMessage(std::span<const std::uint8_t>(plain));
    if (message.value("op", "") == "selectDisplay") asked.push_back(message);
  }
  EXPECT_EQ(asked, (std::vector<Json>{{{"op", "selectDisplay"}, {"selected", 0}, {"profile", 3}},
                                      {{"op", "selectDisplay"}, {"selected", 0}, {"profile", 0}}}));

  dispatcher.Dispatch(cmd::kConnectionInfo);
  ASSERT_EQ(effects.info.size(), 1u);
  EXPECT_EQ(effects.info[0].pictureWidth, 64);
  dispatcher.Dispatch(cmd::kFullScreen);
  EXPECT_TRUE(effects.fullScreen);
  dispatcher.Dispatch(cmd::kMaximize);  // leaves full screen instead of maximising
  EXPECT_FALSE(effects.fullScreen);
  EXPECT_EQ(effects.maximized, 0);
}

// The chat and clipboard commands act on the session's tools: a chat line goes to the host and
// empties the box (a refused one keeps it); clipboard text from the host shows the prompt with
// its text, and "Allow" writes it to the window's clipboard.
TEST_F(ViewerTest, ToolsCommandsActOnTheSession) {
  UiState ui;
  testing::RecordedEffects effects;
  FakeClipboard clipboard;
  viewer.client->AttachClipboard(&clipboard);
  CommandDispatcher dispatcher{*viewer.client, ui, effects, clock, nullptr};
  Connect();
  Bind();
  DeliverSealed(kControl, Hello());
  ASSERT_TRUE(transport->WaitForBinary(1));  // helloAck

  effects.chatText = u"hello";
  dispatcher.Dispatch(cmd::kSendChat);
  EXPECT_TRUE(effects.chatText.empty());
  effects.chatText = std::u16string(1001, u'x');
  dispatcher.Dispatch(cmd::kSendChat);
  EXPECT_EQ(viewer.status(), kStatusActionFailed);
  EXPECT_EQ(effects.chatText.size(), 1001u) << "a refused line stays in the box";
  ASSERT_TRUE(transport->WaitForBinary(2));
  std::uint8_t kind = 0;
  std::vector<std::uint8_t> plain;
  ASSERT_TRUE(hostChannel->Unseal(transport->SentBinaries().at(1), kind, plain));
  EXPECT_EQ(ParseMessage(std::span<const std::uint8_t>(plain)),
            Json({{"op", "chat"}, {"text", "hello"}}));
  ASSERT_FALSE(viewer.client->session()->tools().chatLog().empty());

  // "Send clipboard" is greyed in the tools menu while the host keeps its clipboard to itself.
  auto sendClipboardGreyed = [&] {
    effects.menus.clear();
    dispatcher.Dispatch(cmd::kMoreTools);
    EXPECT_EQ(effects.menus.size(), 1u);
    for (const MenuItem& item : effects.menus.back()) {
      if (item.command == cmd::kSendClipboard) return item.greyed;
    }
    ADD_FAILURE() << "no Send clipboard item";
    return false;
  };
  EXPECT_FALSE(sendClipboardGreyed());
  DeliverSealed(kControl,
                R"({"op":"permissions","control":true,"files":true,"clipboard":false})");
  EXPECT_TRUE(sendClipboardGreyed());
  DeliverSealed(kControl,
                R"({"op":"permissions","control":true,"files":true,"clipboard":true})");
  EXPECT_FALSE(sendClipboardGreyed());

  LocalPermissions permissions = viewer.client->permissions();
  permissions.clipboard = true;
  const std::size_t beforePermissions = transport->SentBinaries().size();
  viewer.client->SetLocalPermissions(permissions);
  // The viewer tells the host what it now allows; the message leaves on the session's send
  // thread, so it is waited for before later messages are counted.
  ASSERT_TRUE(transport->WaitForBinary(beforePermissions + 1));
  std::uint8_t permissionsKind = 0;
  std::vector<std::uint8_t> permissionsPlain;
  ASSERT_TRUE(hostChannel->Unseal(transport->SentBinaries().at(beforePermissions), permissionsKind,
                                  permissionsPlain));
  EXPECT_EQ(ParseMessage(std::span<const std::uint8_t>(permissionsPlain)).at("op"), "permissions");
  DeliverSealed(kControl, R"({"op":"clipboard","text":"from the host"})");
  const MainView view = MakeMainView(*viewer.client);
  EXPECT_EQ(view.prompt, PromptKind::Clipboard);
  EXPECT_EQ(view.promptDetail, L"from the host");
  dispatcher.Dispatch(cmd::kAllowClipboard);
  EXPECT_EQ(clipboard.text, u"from the host");
  EXPECT_EQ(MakeMainView(*viewer.client).prompt, PromptKind::None);

  // A file offer: the prompt names it; "Save as" asks where and accepts into that path.
  const std::string id(32, 'c');
  DeliverSealed(kControl, SerializeMessage({{"op", "fileOffer"}, {"id", id},
                                            {"name", "report.txt"}, {"size", 2048}}));
  EXPECT_EQ(MakeMainView(*viewer.client).prompt, PromptKind::File);
  EXPECT_EQ(MakeMainView(*viewer.client).promptDetail, L"report.txt (2.0 KiB)");
  const std::size_t sent = transport->SentBinaries().size();
  effects.chosenPath = u"/downloads/report.txt";
  dispatcher.Dispatch(cmd::kSaveFileAs);
  ASSERT_EQ(effects.dialogs.size(), 1u);
  EXPECT_EQ(effects.dialogs[0], (std::pair<bool, std::u16string>{true, u"report.txt"}));
  ASSERT_TRUE(transport->WaitForBinary(sent + 1));
  std::uint8_t kind2 = 0;
  std::vector<std::uint8_t> plain2;
  ASSERT_TRUE(hostChannel->Unseal(transport->SentBinaries().at(sent), kind2, plain2));
  EXPECT_EQ(ParseMessage(std::span<const std::uint8_t>(plain2)),
            Json({{"op", "fileAccept"}, {"id", id}}));
  EXPECT_EQ(ui.page, 2);
  EXPECT_EQ(MakeMainView(*viewer.client).prompt, PromptKind::None);
  viewer.client->AttachClipboard(nullptr);
}

// A session that ends while the file dialog is open: the choice is dropped.
TEST_F(ViewerTest, ASessionThatEndsDuringTheFileDialogTakesNoChoice) {
  UiState ui;
  testing::RecordedEffects effects;
  CommandDispatcher dispatcher{*viewer.client, ui, effects, clock, nullptr};
  Connect();
  Bind();
  DeliverSealed(kControl, Hello());
  DeliverSealed(kControl, SerializeMessage({{"op", "fileOffer"}, {"id", std::string(32, 'd')},
                                            {"name", "a.bin"}, {"size", 1}}));
  ASSERT_EQ(MakeMainView(*viewer.client).prompt, PromptKind::File);
  effects.chosenPath = u"/downloads/a.bin";
  effects.duringDialog = [&] { viewer.client->ResetSession(); };
  dispatcher.Dispatch(cmd::kSaveFileAs);
  EXPECT_EQ(effects.dialogs.size(), 1u);
  EXPECT_EQ(viewer.client->session(), nullptr);
  EXPECT_TRUE(viewer.platform.files.files.empty()) << "nothing was created";
  EXPECT_NE(viewer.status(), kStatusActionFailed);
}

// The popup menus run the message loop too: a session that ends while one is open (the host
// stops sharing, the relay closes) is destroyed, and the choice made afterwards is dropped
// instead of reaching the freed session or the failure status.
TEST_F(ViewerTest, ASessionThatEndsDuringAMenuTakesNoChoice) {
  struct Case {
    int command;
    int choice;
  };
  for (const Case& c : {Case{cmd::kZoomMenu, cmd::kZoomPercentBase + 150},
                        Case{cmd::kZoomMenu, cmd::kFit},
                        Case{cmd::kDisplayMenu, kDisplayChoiceBase + 0},
                        Case{cmd::kQualityMenu, kQualityChoiceBase + 2},
                        Case{cmd::kMoreTools, cmd::kSendClipboard}}) {
    SCOPED_TRACE(c.command);
    UiState ui;
    testing::RecordedEffects effects;
    CommandDispatcher dispatcher{*viewer.client, ui, effects, clock, nullptr};
    viewer.window.password = "abcd-efgh";  // each Connect empties the box
    Connect();
    Bind();
    DeliverSealed(kControl, Hello());
    ASSERT_TRUE(transport->WaitForBinary(1));  // helloAck
    viewer.client->ShowStatusLine(kStatusSessionActive);
    effects.menuChoice = c.choice;
    effects.duringMenu = [&] {
      ASSERT_TRUE(transport->DeliverJson({{"type", "peerDisconnected"}, {"requestId", rid}}));
      viewer.Pump();
    };
    dispatcher.Dispatch(c.command);
    EXPECT_EQ(effects.menus.size(), 1u);
    EXPECT_EQ(viewer.client->session(), nullptr);
    EXPECT_EQ(viewer.status(), kStatusClosed) << "the end of the session is what is shown";
    EXPECT_EQ(effects.relayouts, 0);
  }
}

// Losing the focus and minimising both tell the host to release what it holds, once the hello
// exchange is complete; before it, nothing is sent.
TEST_F(ViewerTest, FocusLossAndMinimisingReleaseInputOnTheHost) {
  testing::StillInputWindow window;
  Connect();
  Bind();
  viewer.client->OnMinimize();
  viewer.client->OnFocusLost(window);
  EXPECT_EQ(transport->SentBinaries().size(), 0u) << "nothing before hello";
  DeliverSealed(kControl, Hello());
  ASSERT_TRUE(transport->WaitForBinary(1));  // helloAck
  viewer.client->OnMinimize();
  viewer.client->OnFocusLost(window);
  ASSERT_TRUE(transport->WaitForBinary(3));
  const auto binaries = transport->SentBinaries();
  for (std::size_t i = 1; i < 3; ++i) {
    std::uint8_t kind = 0;
    std::vector<std::uint8_t> plain;
    ASSERT_TRUE(hostChannel->Unseal(binaries[i], kind, plain));
    EXPECT_EQ(kind, kControl);
    EXPECT_EQ(SerializeMessage(ParseMessage(std::span<const std::uint8_t>(plain))),
              R"({"op":"releaseInput"})");
  }
  EXPECT_TRUE(viewer.client->sessionActive());
}

// "Connect" always answers: while a session holds the gate open for a version the updater has
// found outdated it says why it does nothing (and the session goes on); a connection that
// cannot be started after the reset (no thread, no randomness) leaves no half-made attempt.
TEST_F(ViewerTest, ConnectSaysWhyItCannotAndLeavesNothingHalfMade) {
  Connect();
  Bind();
  viewer.updater.Publish(UpdateState::UpdateRequired);
  viewer.client->OnTimerTick();
  ASSERT_TRUE(viewer.client->sessionActive());
  viewer.window.remoteId = L"123 456 789";
  viewer.window.password = "abcd-efgh";
  viewer.client->ConnectToDevice();
  EXPECT_EQ(viewer.status(), kStatusInstallLatest);
  EXPECT_TRUE(viewer.client->sessionActive());
  EXPECT_EQ(viewer.platform.TransportCount(), 2u);
}

TEST(ViewerConnectTest, AConnectionThatCannotStartLeavesNoAttempt) {
  ManualClock clock;
  bool fail = false;
  ClientHarness viewer(clock, [&fail]() -> std::shared_ptr<Transport> {
    if (fail) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::make_shared<ScriptedTransport>();
  });
  viewer.StartUp();
  viewer.window.remoteId = L"482 913 775";
  viewer.window.password = "abcd-efgh";
  fail = true;
  viewer.client->ConnectToDevice();
  EXPECT_EQ(viewer.status(), kStatusActionFailed);
  EXPECT_FALSE(viewer.client->viewerRole());
  EXPECT_FALSE(viewer.client->hasPairing());
  EXPECT_FALSE(viewer.client->hasTransport());
  EXPECT_FALSE(viewer.client->busy());
  EXPECT_TRUE(viewer.client->peerNonce().empty());
  EXPECT_EQ(viewer.client->connectDeadline(), 0u);
}

TEST_F(ViewerTest, WrongPasswordFailsTheHostConfirmation) {
  Connect();
  Challenge("ABCDEFGJ");
  EXPECT_EQ(viewer.status(), kStatusSecurityFailed);
  EXPECT_EQ(viewer.client->lastProtocolError(), "host confirmation");
  EXPECT_TRUE(transport->WaitForSentType("authResponse", 0, 100ms).is_null());
  EXPECT_FALSE(viewer.client->viewerRole());
}

TEST_F(ViewerTest, ChallengeAfterTheDeadlineIsUnsolicited) {
  Connect();
  clock.Advance(50000);
  Challenge();
  EXPECT_EQ(viewer.client->lastProtocolError(), "unsolicited PAKE challenge");
}

TEST_F(ViewerTest, DeadlinesOfEveryStep) {
  Connect();
  clock.Advance(49999);
  viewer.client->OnTimerTick();
  EXPECT_TRUE(viewer.client->hasTransport());
  clock.Advance(1);
  viewer.client->OnTimerTick();
  EXPECT_EQ(viewer.status(), kStatusTimedOut);
  EXPECT_FALSE(viewer.client->viewerRole());

  // After "connected" and after the binding the step deadline is 15 s.
  viewer.window.password = "ABCDEFGH";
  Connect();
  Authenticate();
  ASSERT_TRUE(transport->DeliverJson({{"type", "connected"}, {"requestId", rid}}));
  viewer.Pump();
  clock.Advance(15000);
  viewer.client->OnTimerTick();
  EXPECT_EQ(viewer.status(), kStatusTimedOut);

  viewer.window.password = "ABCDEFGH";
  Connect();
  Bind();
  clock.Advance(15000);
  viewer.client->OnTimerTick();
  EXPECT_EQ(viewer.status(), kStatusTimedOut);
}

TEST_F(ViewerTest, OnlyTheBindingIsTakenFirstAndOnlyOnce) {
  Connect();
  Authenticate();
  ASSERT_TRUE(transport->DeliverJson({{"type", "connected"}, {"requestId", rid}}));
  viewer.Pump();
  DeliverSealed(kControl, Hello());
  EXPECT_EQ(viewer.client->lastProtocolError(), "wrong direction");

  viewer.window.password = "ABCDEFGH";
  Connect();
  Bind();
  DeliverSealed(kBinding, rid);
  EXPECT_EQ(viewer.client->lastProtocolError(), "wrong direction");

  viewer.window.password = "ABCDEFGH";
  Connect();
  Authenticate();
  ASSERT_TRUE(transport->DeliverJson({{"type", "connected"}, {"requestId", rid}}));
  viewer.Pump();
  DeliverSealed(kBinding, std::string(32, 'f'));
  EXPECT_EQ(viewer.client->lastProtocolError(), "binding");
}

TEST_F(ViewerTest, RelayMessagesOutOfOrderEndTheAttempt) {
  Connect();
  ASSERT_TRUE(transport->DeliverJson({{"type", "connected"}, {"requestId", rid}}));
  viewer.Pump();
  EXPECT_EQ(viewer.client->lastProtocolError(), "unauthenticated connection");

  viewer.window.password = "ABCDEFGH";
  Connect();
  ASSERT_TRUE(transport->DeliverJson({{"type", "authChallenge"},
                                      {"requestId", "0123456789ABCDEF0123456789abcdef"},
                                      {"message", std::string(64, '1')},
                                      {"confirmation", std::string(64, '2')}}));
  viewer.Pump();
  EXPECT_EQ(viewer.client->lastProtocolError(), "request binding");

  // Messages meant for a host are ignored by a viewer.
  viewer.window.password = "ABCDEFGH";
  Connect();
  ASSERT_TRUE(transport->DeliverJson({{"type", "registered"}, {"protocol", 3}}));
  ASSERT_TRUE(transport->DeliverJson({{"type", "connectRequest"}, {"requestId", rid}}));
  viewer.Pump();
  EXPECT_TRUE(viewer.client->viewerRole());
  EXPECT_EQ(viewer.status(), kStatusConnecting);
}

TEST_F(ViewerTest, FramesBeforeTheHelloExchangeAreRefused) {
  Connect();
  Bind();
  DeliverSealed(kFrame, "frame");
  EXPECT_EQ(viewer.client->lastProtocolError(), "wrong direction");
}

TEST_F(ViewerTest, TypedInputErrorsKeepTheRunningSession) {
  Connect();
  Bind();
  DeliverSealed(kControl, Hello());
  const std::uint32_t generation = viewer.client->generation();
  viewer.window.remoteId = L"12345678";
  viewer.window.password = "ABCDEFGH";
  viewer.client->ConnectToDevice();
  EXPECT_EQ(viewer.status(), kStatusInvalidFormat);
  viewer.window.remoteId = L"012345678";
  viewer.client->ConnectToDevice();
  EXPECT_EQ(viewer.status(), kStatusInvalidFormat);
  viewer.window.remoteId = L"482913775";
  viewer.window.password = "ABCDEFG";
  viewer.client->ConnectToDevice();
  EXPECT_EQ(viewer.status(), kStatusInvalidFormat);
  viewer.window.password = "ABCDEFGH";
  viewer.window.passwordNotUnicode = true;
  viewer.client->ConnectToDevice();
  EXPECT_EQ(viewer.status(), kStatusInvalidFormat);
  EXPECT_EQ(viewer.client->generation(), generation);
  EXPECT_TRUE(viewer.client->sessionActive());
}

TEST(ViewerOwnIdTest, OwnIdIsRefused) {
  ManualClock clock;
  ClientHarness device(clock);
  device.StartUp();
  ASSERT_TRUE(device.LastTransport()->WaitConnected());
  const std::uint32_t generation = device.client->generation();
  device.window.remoteId = std::wstring(device.client->deviceId().begin(), device.client->deviceId().end());
  device.window.password = "ABCDEFGH";
  device.client->ConnectToDevice();
  EXPECT_EQ(device.status(), kStatusChooseAnother);
  EXPECT_EQ(device.client->generation(), generation);
  EXPECT_TRUE(device.client->hasTransport());
}

// ---- Event queue through the controller ---------------------------------------------------------

TEST_F(HostTest, OversizedRelayTextEndsTheConnectionAndNothingOfTheBatchIsDispatched) {
  // One ordinary message first: it must not be dispatched either.
  ASSERT_TRUE(transport->DeliverJson({{"type", "registered"}, {"protocol", 3}}));
  std::string big = R"({"type":"x","pad":")" + std::string(16385 - 21, 'p') + "\"}";
  ASSERT_EQ(big.size(), 16385u);
  ASSERT_TRUE(transport->DeliverText(big));
  host.Pump();
  EXPECT_EQ(host.status(), kStatusSecurityFailed);
  EXPECT_EQ(host.client->lastProtocolError(), "") << "no event of the batch was dispatched";
  EXPECT_FALSE(host.client->hasTransport());
}

TEST_F(HostTest, ARelayTextOfExactly16KiBIsHandled) {
  std::string text = R"({"type":"x","pad":")" + std::string(16384 - 21, 'p') + "\"}";
  ASSERT_EQ(text.size(), 16384u);
  ASSERT_TRUE(transport->DeliverText(text));
  host.Pump();
  EXPECT_EQ(host.status(), kStatusReady);
  EXPECT_TRUE(host.client->hasTransport());
}

TEST_F(HostTest, ThirtyThreeEventsBeforeADrainOverflow) {
  const int wakes = host.window.wakesPosted();
  for (int i = 0; i < 33; ++i) {
    ASSERT_TRUE(transport->DeliverJson({{"type", "ignored"}, {"n", i}}));
  }
  EXPECT_EQ(host.window.wakesPosted(), wakes + 1) << "one wake-up for the batch";
  host.Pump();
  EXPECT_EQ(host.status(), kStatusSecurityFailed);
  EXPECT_FALSE(host.client->hasTransport());
  EXPECT_EQ(host.client->link().queuedEvents(), 0u);

  // Thirty-two are fine.
  host.client->RegisterAsHost();
  transport = host.LastTransport();
  ASSERT_TRUE(transport->WaitConnected());
  host.Pump();
  for (int i = 0; i < 31; ++i) ASSERT_TRUE(transport->DeliverJson({{"type", "ignored"}}));
  ASSERT_TRUE(transport->DeliverJson({{"type", "registered"}, {"protocol", 3}}));
  host.Pump();
  EXPECT_EQ(host.status(), kStatusReady);
}

// SendSealed may be called from any thread at any time: it seals with the channel of the
// attempt in force when it is called, and with none once the attempt is gone, whatever the UI
// thread does meanwhile (here: three attempts that end in a refusal on the same connection,
// while another thread sends all along).
TEST_F(HostTest, SealedSendsFromAnotherThreadFollowTheAttempt) {
  host.client->SetApprovalSetting(true);
  std::atomic<bool> stop{false};
  std::atomic<int> queued{0};
  struct Sender {
    std::atomic<bool>& stop;
    std::thread thread;
    ~Sender() {
      stop = true;
      if (thread.joinable()) thread.join();
    }
  } sender{stop, std::thread([&] {
             while (!stop.load()) {
               if (host.client->SendSealed(kControl, Bytes(R"({"op":"ping","token":1})"))) {
                 ++queued;
               }
               // Paced so that the send queue never fills: a full queue would refuse the host's
               // own connectResponse, which is not what this test is about.
               std::this_thread::sleep_for(std::chrono::milliseconds(1));
             }
           })};
  std::vector<std::unique_ptr<TestViewer>> viewers;
  for (const std::string& rid : {rid1, rid2, std::string(32, 'c')}) {
    viewers.push_back(PairUntilConsent(rid));
    ASSERT_TRUE(host.client->consentPending());
    ASSERT_TRUE(transport->WaitForBinary(static_cast<std::size_t>(queued.load()) + 1));
    const std::size_t texts = transport->SentTexts().size();
    host.client->DecideConsent(false);
    ASSERT_FALSE(host.client->hasChannel());
    ASSERT_FALSE(transport->WaitForSentType("connectResponse", texts).is_null());
  }
  stop = true;
  sender.thread.join();
  EXPECT_FALSE(host.client->SendSealed(kControl, Bytes("{}"))) << "no attempt, no channel";
  ASSERT_TRUE(transport->WaitForBinary(static_cast<std::size_t>(queued.load())));
  // Every message went out sealed by the channel of its attempt, in the attempts' order.
  std::size_t attempt = 0;
  for (const auto& binary : transport->SentBinaries()) {
    std::uint8_t kind = 0;
    std::vector<std::uint8_t> plain;
    while (attempt < viewers.size() && !viewers[attempt]->channel->Unseal(binary, kind, plain)) {
      ++attempt;
    }
    ASSERT_LT(attempt, viewers.size()) << "a message no attempt's channel sealed";
    EXPECT_EQ(kind, kControl);
  }
  EXPECT_EQ(transport->SentBinaries().size(), static_cast<std::size_t>(queued.load()));
  EXPECT_TRUE(host.client->hasTransport()) << "the host stays registered";
}

TEST_F(HostTest, EventsOfAResetConnectionAreDropped) {
  const std::uint32_t old = host.client->generation();
  // Queued before the reset, drained after it.
  NetEvent stale;
  stale.kind = NetEvent::Kind::Closed;
  host.client->PostNetEvent(old, stale);
  host.client->RegisterAsHost();
  EXPECT_EQ(host.client->link().queuedEvents(), 0u);
  // Posted after the reset by a thread that still carries the old generation.
  host.client->PostNetEvent(old, stale);
  EXPECT_EQ(host.client->link().queuedEvents(), 0u);
  host.Pump();
  EXPECT_NE(host.status(), kStatusClosed);
  EXPECT_TRUE(host.client->hasTransport());
}

// ---- Reset ends every thread promptly ----------------------------------------------------------

TEST(ClientResetTest, WhileConnecting) {
  ManualClock clock;
  ClientHarness host(clock);
  host.platform.configure = [](ScriptedTransport& t) { t.hangConnect = true; };
  host.StartUp();
  ASSERT_TRUE(host.client->hasTransport());
  std::this_thread::sleep_for(20ms);
  {
    Watchdog watchdog("reset while connecting");
    host.client->ResetSession();
  }
  EXPECT_FALSE(host.client->hasTransport());
  EXPECT_EQ(host.client->link().queuedEvents(), 0u);
  host.Pump();
}

TEST(ClientResetTest, ImmediatelyAfterOpen) {
  // The reset's first Close comes before the network thread has entered Connect and is lost, as
  // on a real transport; the Connect that follows hangs until it is closed again. The reset
  // must still end.
  ManualClock clock;
  ClientHarness host(clock);
  host.platform.configure = [](ScriptedTransport& t) {
    t.hangConnect = true;
    t.closeBeforeConnectLost = true;
    t.beforeConnect = [&t] {
      while (t.closeCount() == 0) std::this_thread::sleep_for(1ms);
    };
  };
  for (int i = 0; i < 20; ++i) {
    Watchdog watchdog("reset right after open");
    host.StartUp();
    host.client->ResetSession();
  }
  EXPECT_EQ(host.client->link().queuedEvents(), 0u);
}

TEST_F(HostTest, ResetWhilePairingAndWhileASendBlocks) {
  TestViewer viewer(host.client->sessionPassword(), host.client->deviceId());
  ASSERT_EQ(Request(rid1, viewer.offer).value("type", ""), "authChallenge");
  // The send thread is stuck in a send until the transport is closed.
  std::mutex mutex;
  std::condition_variable cv;
  bool inSend = false;
  transport->onSend = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    inSend = true;
    cv.notify_all();
    cv.wait(lock, [&] { return transport->closeCount() > 0; });
  };
  ASSERT_TRUE(host.client->SendRelayMessage({{"type", "ignored"}}));
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return inSend; }));
  }
  // The relay keeps talking while the reset runs.
  std::atomic<bool> stop{false};
  std::thread chatter([&] {
    while (!stop.load()) transport->DeliverJson({{"type", "ignored"}});
  });
  std::thread waker([&] {
    while (transport->closeCount() == 0) std::this_thread::sleep_for(1ms);
    cv.notify_all();
  });
  {
    Watchdog watchdog("reset while pairing and while a send blocks");
    host.client->ResetSession();
  }
  stop.store(true);
  chatter.join();
  waker.join();
  EXPECT_EQ(host.client->link().queuedEvents(), 0u);
  EXPECT_FALSE(host.client->hasPairing());
}

TEST_F(HostTest, ResetInALiveSessionWithABusySendThread) {
  auto viewer = PairUntilConsent(rid1);
  Connect(*viewer, rid1);
  SendHelloAck(*viewer);
  // The send thread is stuck in a send until the transport is closed.
  std::mutex mutex;
  std::condition_variable cv;
  bool inSend = false;
  transport->onSend = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    inSend = true;
    cv.notify_all();
    cv.wait(lock, [&] { return transport->closeCount() > 0; });
  };
  ASSERT_TRUE(host.client->SendSealed(kControl, Bytes(R"({"op":"ping","token":5})")));
  for (int i = 0; i < 10; ++i) host.client->SendSealed(kFrame, std::vector<std::uint8_t>(1000, 1));
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return inSend; }));
  }
  std::thread closer([&] {
    // Wake the blocked send once Close has been called.
    while (transport->closeCount() == 0) std::this_thread::sleep_for(1ms);
    cv.notify_all();
  });
  {
    Watchdog watchdog("reset in a live session");
    host.client->ResetSession();
  }
  closer.join();
  EXPECT_EQ(host.client->link().queuedSends(), 0u);
  EXPECT_EQ(host.client->link().queuedEvents(), 0u);
  EXPECT_FALSE(host.client->link().sending());
  EXPECT_FALSE(host.window.banner);
}

}  // namespace
}  // namespace ov

namespace ov {
namespace {

// An updater whose published state the test sets.
class ScriptedUpdater final : public UpdateService {
 public:
  bool TakeState(UpdateSnapshot& out) override {
    if (!changed) return false;
    changed = false;
    out = snapshot;
    return true;
  }
  bool Busy() override { return snapshot.busy; }
  void StartCheck(bool quiet) override { (quiet ? quietChecks : loudChecks)++; }
  void StartDownload() override { ++downloads; }
  void Stop() override { ++stops; }
  void Publish(UpdateState state) {
    snapshot.state = state;
    changed = true;
  }

  UpdateSnapshot snapshot;
  bool changed = false;
  int quietChecks = 0;
  int loudChecks = 0;
  int downloads = 0;
  int stops = 0;
};

TEST(ClientUpdateGateTest, AHostGoesOfflineWhenTheUpdaterReportsAnythingButCurrent) {
  ManualClock clock;
  testing::RecordingWindow window;
  ScriptedUpdater updater;
  testing::FakePlatform platform;
  ClientEnvironment env;
  env.clock = &clock;
  env.window = &window;
  env.updater = &updater;
  env.platform = &platform;
  {
    Client client(std::move(env));
    client.RegisterAsHost();
    client.StartUpdateCheck();
    EXPECT_EQ(updater.loudChecks, 1);
    client.OnTimerTick();
    EXPECT_FALSE(client.hasTransport()) << "no state published yet: still checking";
    EXPECT_EQ(client.status(), kStatusCheckingUpdates);

    updater.Publish(UpdateState::UpToDate);
    client.OnTimerTick();
    ASSERT_TRUE(client.hasTransport());

    updater.Publish(UpdateState::UpdateRequired);
    client.OnTimerTick();
    EXPECT_FALSE(client.hasTransport());
    EXPECT_EQ(client.updateState(), UpdateState::UpdateRequired);
    window.remoteId = L"482913775";
    window.password = "ABCDEFGH";
    client.ConnectToDevice();
    EXPECT_FALSE(client.hasTransport()) << "the gate is closed";
    EXPECT_EQ(platform.TransportCount(), 1u);

    // The card: "Update" downloads once nothing runs; the card shows the version, progress and
    // failure published; "Show downloaded file" shows the saved file.
    UiState ui;
    testing::RecordedEffects effects;
    CommandDispatcher dispatcher(client, ui, effects, clock, nullptr);
    dispatcher.Dispatch(cmd::kUpdate);
    EXPECT_EQ(updater.downloads, 1);
    updater.snapshot.version = "0.4.0";
    updater.snapshot.percent = 40;
    updater.Publish(UpdateState::Downloading);
    updater.snapshot.busy = true;
    client.OnTimerTick();
    dispatcher.Dispatch(cmd::kUpdate);
    EXPECT_EQ(updater.downloads, 1) << "not while one runs";
    const MainView card = MakeMainView(client);
    EXPECT_EQ(card.updateState, UpdateCardState::Downloading);
    EXPECT_EQ(card.newVersion, "0.4.0");
    EXPECT_EQ(card.progress, 40);
    dispatcher.Dispatch(cmd::kShowDownload);
    EXPECT_TRUE(effects.shown.empty());
    updater.snapshot.busy = false;
    updater.snapshot.file = "/downloads/Kestrova-0.4.0-0123abcd.exe";
    updater.Publish(UpdateState::Downloaded);
    client.OnTimerTick();
    dispatcher.Dispatch(cmd::kShowDownload);
    ASSERT_EQ(effects.shown.size(), 1u);
    EXPECT_EQ(effects.shown[0], updater.snapshot.file);

    // No quiet recheck while the updater is busy or the state is not current.
    clock.Advance(120000);
    updater.snapshot.busy = true;
    client.OnTimerTick();
    EXPECT_EQ(updater.quietChecks, 0);
  }
  EXPECT_EQ(updater.stops, 1) << "the Client stops the updater when it is destroyed";
}

// A quiet recheck that fails (a moment without network) changes nothing for an idle Ready host:
// it stays registered under the ID and password its user may have read out, and the recheck
// is tried again after 1, 2, 4, 8 and then every 10 minutes. A check that succeeds returns to
// the minute; a newer version still closes the gate.
TEST(ClientUpdateGateTest, AFailedQuietRecheckKeepsTheHostOnlineAndBacksOff) {
  ManualClock clock;
  testing::RecordingWindow window;
  ScriptedUpdater updater;
  testing::FakePlatform platform;
  ClientEnvironment env;
  env.clock = &clock;
  env.window = &window;
  env.updater = &updater;
  env.platform = &platform;
  Client client(std::move(env));
  client.RegisterAsHost();
  client.StartUpdateCheck();
  updater.Publish(UpdateState::UpToDate);
  client.OnTimerTick();
  const auto transport = platform.LastTransport();
  ASSERT_TRUE(transport && transport->WaitConnected());
  ASSERT_TRUE(transport->DeliverJson({{"type", "registered"}, {"protocol", 3}}));
  for (auto wait = std::chrono::milliseconds(2000); window.TakeWake(wait);
       wait = std::chrono::milliseconds(0)) {
    client.DrainNetEvents();
  }
  ASSERT_EQ(client.status(), kStatusReady);
  const std::string id = client.deviceId();
  const std::string password = client.sessionPassword();

  int checks = 0;
  for (const std::uint64_t delay :
       std::initializer_list<std::uint64_t>{60000, 60000, 120000, 240000, 480000, 600000, 600000}) {
    SCOPED_TRACE(delay);
    clock.Advance(delay - 1000);
    client.OnTimerTick();
    EXPECT_EQ(updater.quietChecks, checks) << "not due yet";
    clock.Advance(1000);
    client.OnTimerTick();
    ASSERT_EQ(updater.quietChecks, ++checks);
    updater.Publish(UpdateState::CheckFailed);
    client.OnTimerTick();
    EXPECT_EQ(client.updateState(), UpdateState::UpToDate);
    EXPECT_TRUE(client.updateGateOpen());
    EXPECT_TRUE(client.hasTransport());
    EXPECT_TRUE(client.registered());
    EXPECT_EQ(client.status(), kStatusReady);
    EXPECT_EQ(client.deviceId(), id);
    EXPECT_EQ(client.sessionPassword(), password);
  }
  EXPECT_EQ(platform.TransportCount(), 1u);

  clock.Advance(600000);
  client.OnTimerTick();
  ASSERT_EQ(updater.quietChecks, ++checks);
  updater.Publish(UpdateState::UpToDate);
  client.OnTimerTick();
  EXPECT_EQ(client.quietCheckFailures(), 0);
  clock.Advance(60000);
  client.OnTimerTick();
  ASSERT_EQ(updater.quietChecks, ++checks) << "a minute again after a success";
  updater.Publish(UpdateState::UpdateRequired);
  client.OnTimerTick();
  EXPECT_FALSE(client.hasTransport()) << "a newer version closes the gate";
  EXPECT_FALSE(client.updateGateOpen());

  // The start-up check (and "Try again") still shows its failure on the card.
  client.StartUpdateCheck();
  updater.Publish(UpdateState::CheckFailed);
  client.OnTimerTick();
  EXPECT_EQ(client.updateState(), UpdateState::CheckFailed);
}

TEST(ClientGuardTest, AnEscapingFailureResetsAndSaysSo) {
  ManualClock clock;
  ClientHarness host(clock);
  host.StartUp();
  ASSERT_TRUE(host.client->hasTransport());
  const int layouts = host.window.layouts;
  host.client->RunGuarded([] { throw std::runtime_error("handler failed"); });
  EXPECT_EQ(host.status(), kStatusActionFailed);
  EXPECT_FALSE(host.client->hasTransport());
  EXPECT_GT(host.window.layouts, layouts);
  bool ran = false;
  host.client->RunGuarded([&ran] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(host.status(), kStatusActionFailed);
}

}  // namespace
}  // namespace ov
