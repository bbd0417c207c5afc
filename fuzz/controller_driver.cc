#include "fuzz/controller_driver.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

#include "base/json_codec.h"
#include "crypto/primitives.h"

namespace ov::fuzz {
namespace {

using namespace std::chrono_literals;

constexpr char kHostId[] = "482913775";
constexpr char kHostPassword[] = "ABCDEFGH";

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

Json HelloAck() {
  return {{"op", "helloAck"}, {"version", 3}, {"build", "0.3.9"}, {"captureStatus", true},
          {"inputStatus", true}, {"clipboardSync", true}, {"files", true}, {"clipboard", true}};
}

Json Hello() {
  return {{"op", "hello"}, {"version", 3}, {"build", "0.3.9"}, {"captureStatus", true},
          {"inputStatus", true}, {"clipboardSync", true},
          {"screens", Json::array({{{"width", 1920}, {"height", 1080}, {"hz", 60}, {"primary", true}}})},
          {"epoch", 1}, {"selected", 0}, {"profile", 0}, {"control", true}, {"files", true},
          {"clipboard", true}};
}

}  // namespace

DrivenController::DrivenController(ControllerState state) : state_(state) {
  if (state_ <= ControllerState::kHostHelloDone) {
    BuildHost();
  } else {
    BuildViewer();
  }
  SettleSends();
}

DrivenController::~DrivenController() = default;

void DrivenController::Expect(bool condition, const char* step) {
  if (condition) return;
  std::fprintf(stderr, "controller driver: state %d, step \"%s\" failed (status \"%s\", error \"%s\")\n",
               static_cast<int>(state_), step, harness_.status().c_str(),
               harness_.client->lastProtocolError().c_str());
  std::abort();
}

void DrivenController::HandleText(std::string text) {
  NetEvent event;
  event.kind = NetEvent::Kind::Text;
  event.data.assign(text.begin(), text.end());
  event.text = std::move(text);
  harness_.client->HandleNetEvent(std::move(event));
}

void DrivenController::HandleBinary(std::vector<std::uint8_t> bytes) {
  NetEvent event;
  event.kind = NetEvent::Kind::Binary;
  event.data = std::move(bytes);
  harness_.client->HandleNetEvent(std::move(event));
}

void DrivenController::HandleSealed(std::uint8_t kind, std::span<const std::uint8_t> plaintext) {
  Expect(peerChannel_ != nullptr, "sealing needs the peer's channel");
  HandleBinary(peerChannel_->Seal(kind, plaintext));
}

void DrivenController::SettleSends() {
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (harness_.client->link().queuedSends() != 0) {
    Expect(std::chrono::steady_clock::now() < end, "the send queue drains");
    std::this_thread::sleep_for(50us);
  }
}

// The network thread ends just after its first message has been sent. A reset that finds it
// still running waits in steps of 5 ms, which would dominate an iteration; a moment's grace
// here lets it end first.
void DrivenController::LetNetworkThreadFinish() { std::this_thread::sleep_for(200us); }

void DrivenController::BuildHost() {
  // Small displays: once the hello exchange is complete the host streams them.
  harness_.platform.displays = {
      DisplayInfo{L"\\\\.\\DISPLAY1", ScreenRect{0, 0, 64, 48}, true, 60},
      DisplayInfo{L"\\\\.\\DISPLAY2", ScreenRect{64, 0, 96, 32}, false, 75}};
  harness_.client->SetApprovalSetting(state_ == ControllerState::kHostConsentPending);
  harness_.StartUp();
  transport_ = harness_.LastTransport();
  Expect(transport_ && transport_->WaitConnected(), "the host connects");
  Expect(!transport_->WaitForSentType("register").is_null(), "the host registers");
  LetNetworkThreadFinish();
  if (state_ == ControllerState::kHostUnregistered) return;

  HandleText(SerializeMessage({{"type", "registered"}, {"protocol", 3}}));
  Expect(harness_.client->registered(), "registered");
  if (state_ == ControllerState::kHostRegistered) return;

  const std::string nonce = RandomHex(16);
  peerPake_ = PakeExchange::Create(harness_.client->sessionPassword(), harness_.client->deviceId(),
                                   nonce, /*isHost=*/false);
  const std::size_t from = transport_->SentTexts().size();
  HandleText(SerializeMessage({{"type", "connectRequest"},
                               {"requestId", kDriverRequestId},
                               {"password", MakePairingOffer(nonce, peerPake_->OwnMessageHex())}}));
  const Json challenge = transport_->WaitForSentType("authChallenge", from);
  Expect(!challenge.is_null(), "authChallenge");
  if (state_ == ControllerState::kHostChallenged) return;

  peerPake_->Process(challenge.at("message").get<std::string>(), kDriverRequestId);
  Expect(peerPake_->CheckPeerConfirmation(challenge.at("confirmation").get<std::string>()),
         "the host's confirmation");
  const std::string confirmation = peerPake_->OwnConfirmationHex();
  peerChannel_ = peerPake_->CreateChannel();
  peerPake_.reset();
  HandleText(SerializeMessage(
      {{"type", "authResponse"}, {"requestId", kDriverRequestId}, {"confirmation", confirmation}}));
  if (state_ == ControllerState::kHostConsentPending) {
    Expect(harness_.client->consentPending(), "the consent prompt");
    return;
  }
  Expect(harness_.client->consentGiven(), "consent without a prompt");
  Expect(!transport_->WaitForSentType("connectResponse", from).is_null(), "connectResponse");
  if (state_ == ControllerState::kHostAccepted) return;

  HandleText(SerializeMessage({{"type", "connected"}, {"requestId", kDriverRequestId}}));
  Expect(harness_.client->sessionActive(), "connected");
  Expect(transport_->WaitForBinary(2), "binding and hello");
  if (state_ == ControllerState::kHostActive) return;

  HandleSealed(static_cast<std::uint8_t>(SealedKind::Control), Bytes(SerializeMessage(HelloAck())));
  Expect(harness_.client->session() && harness_.client->session()->control().helloComplete(),
         "helloAck");
}

void DrivenController::BuildViewer() {
  // The program registers as host first, then the user connects.
  harness_.client->StartUpdateCheck();
  harness_.client->OnTimerTick();
  const auto hostLink = harness_.LastTransport();
  Expect(hostLink && hostLink->WaitConnected(), "the host registration first");
  LetNetworkThreadFinish();
  harness_.window.remoteId = L"482 913 775";
  harness_.window.password = "abcd-efgh";
  harness_.client->ConnectToDevice();
  transport_ = harness_.LastTransport();
  Expect(transport_ && transport_->WaitConnected(), "the viewer connects");
  const Json reg = transport_->WaitForSentType("register");
  Expect(!reg.is_null() && reg.value("role", "") == "viewer", "the viewer registers");
  LetNetworkThreadFinish();
  if (state_ == ControllerState::kViewerConnecting) return;

  std::string nonce;
  std::string message;
  Expect(ParsePairingOffer(reg.at("password").get<std::string>(), nonce, message), "the offer");
  auto hostPake = PakeExchange::Create(kHostPassword, kHostId, nonce, /*isHost=*/true);
  hostPake->Process(message, kDriverRequestId);
  HandleText(SerializeMessage({{"type", "authChallenge"},
                               {"requestId", kDriverRequestId},
                               {"message", hostPake->OwnMessageHex()},
                               {"confirmation", hostPake->OwnConfirmationHex()}}));
  const Json response = transport_->WaitForSentType("authResponse");
  Expect(!response.is_null(), "authResponse");
  Expect(hostPake->CheckPeerConfirmation(response.at("confirmation").get<std::string>()),
         "the viewer's confirmation");
  peerChannel_ = hostPake->CreateChannel();
  if (state_ == ControllerState::kViewerAuthenticated) return;

  HandleText(SerializeMessage({{"type", "connected"}, {"requestId", kDriverRequestId}}));
  Expect(harness_.client->relayConnected(), "connected");
  if (state_ == ControllerState::kViewerJoined) return;

  HandleSealed(static_cast<std::uint8_t>(SealedKind::Binding), Bytes(kDriverRequestId));
  Expect(harness_.client->sessionActive(), "the binding");
  if (state_ == ControllerState::kViewerActive) return;

  HandleSealed(static_cast<std::uint8_t>(SealedKind::Control), Bytes(SerializeMessage(Hello())));
  Expect(harness_.client->session() && harness_.client->session()->control().helloComplete(),
         "hello");
  Expect(transport_->WaitForBinary(1), "helloAck");
}

}  // namespace ov::fuzz
