#include "app/client.h"

#include <algorithm>
#include <span>
#include <utility>

#include "base/secure_memory.h"
#include "crypto/primitives.h"

namespace ov {
namespace {

// Reads a string member that defaults to "" when missing. A member of another type, or a message
// that is not an object, throws the JSON library's type_error (a protocol error).
std::string DefaultString(const Json& message, const char* name) {
  return message.value(name, std::string());
}

// Wipes a secret string when leaving the scope, whatever the path.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& text) : text_(text) {}
  ~WipeOnExit() { SecureClear(text_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  std::string& text_;
};

// Wipes every string of a message that carried a secret when leaving the scope.
class WipeStringsOnExit {
 public:
  explicit WipeStringsOnExit(Json& message) : message_(message) {}
  ~WipeStringsOnExit() { SecureClearStrings(message_); }
  WipeStringsOnExit(const WipeStringsOnExit&) = delete;
  WipeStringsOnExit& operator=(const WipeStringsOnExit&) = delete;

 private:
  Json& message_;
};

}  // namespace

Client::Client(ClientEnvironment environment)
    : env_(std::move(environment)),
      clock_(*env_.clock),
      window_(*env_.window),
      updater_(*env_.updater),
      platform_(*env_.platform),
      link_([window = env_.window] { window->PostWake(); },
            [platform = env_.platform] { return platform->CreateTransport(); }, env_.relayUrl) {}

Client::~Client() {
  updater_.Stop();
  ResetSession();
  SecureClear(sessionPassword_);
}

// ---- Queues and connection life --------------------------------------------------------------

void Client::DrainNetEvents() {
  if (link_.TakeOverflow()) {
    Reset();
    ShowStatus(kStatusSecurityFailed);
    return;
  }
  std::deque<EventQueue::Entry> entries = link_.TakeEvents();
  for (EventQueue::Entry& entry : entries) {
    // A handler may reset the session; the rest of the batch then belongs to an old generation.
    if (entry.generation == link_.generation()) HandleNetEvent(std::move(entry.event));
  }
}

bool Client::SendRelayMessage(const Json& message) {
  SendItem item;
  item.kind = kRelayItemKind;
  item.text = SerializeMessage(message);
  return link_.Enqueue(std::move(item));
}

bool Client::SendSecretRelayMessage(Json message) {
  WipeStringsOnExit wipe(message);
  return SendRelayMessage(message);
}

bool Client::SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) {
  // Reads nothing of the UI thread's state: the link holds the channel under its own lock.
  if (plaintext.size() > kMaxSealedPlaintext) return false;
  return link_.EnqueueSealed(kind, std::move(plaintext));
}

void Client::ClearAttempt() {
  attempt_.Clear();
  link_.SetChannel(nullptr);
}

void Client::SetChannel(std::shared_ptr<CryptoSession> channel) {
  attempt_.channel = channel;
  link_.SetChannel(std::move(channel));
}

void Client::Open(bool viewer, Json firstMessage) {
  if (!UpdateGateOpen()) return;
  firstMessage["build"] = kProgramBuild;
  // Serialised here so that a message that cannot be written fails to the caller, not on a thread.
  std::string firstText = SerializeMessage(firstMessage);
  viewerRole_ = viewer;
  link_.Open(std::move(firstText));
  ShowStatus(kStatusConnecting);
}

void Client::ResetSession() {
  // The stream thread queues through the link: it ends before the link does.
  if (session_) session_->StopStream();
  link_.Stop();
  session_.reset();
  ClearAttempt();
  registered_ = false;
  relayConnected_ = false;
  sessionActive_ = false;
  window_.DestroyBanner();
  window_.ReleaseMouseCapture();
}

void Client::Reset() {
  ResetSession();
  viewerRole_ = false;
  window_.DropRemotePicture();
  window_.Layout();
}

void Client::EndSession(const std::string& status) {
  if (!requestedEnd_) requestedEnd_ = status;
}

void Client::FinishRequestedEnd() {
  if (!requestedEnd_) return;
  const std::string status = std::move(*requestedEnd_);
  requestedEnd_.reset();
  Reset();
  ShowStatus(status);
}

void Client::ShowStatus(const std::string& status) {
  status_ = status;
  window_.ShowStatus(status);
}

bool Client::UpdateGateOpen() const noexcept {
  return !updateBlocked_ &&
         (env_.previewMode || sessionActive_ || updateState_ == UpdateState::UpToDate);
}

bool Client::SendConnectResponse(const std::string& requestId, bool accepted) {
  return SendRelayMessage(
      Json{{"type", "connectResponse"}, {"requestId", requestId}, {"accepted", accepted}});
}

void Client::RunGuarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    ResetSession();
    window_.Layout();
    ShowStatus(kStatusActionFailed);
  }
}

void Client::OnProtocolError(const char* reason) {
  lastProtocolError_ = reason;
  Reset();
  ShowStatus(kStatusSecurityFailed);
}

// ---- Registration and connecting -------------------------------------------------------------

void Client::StartUpdateDownload() {
  if (updateState_ != UpdateState::UpdateRequired || updater_.Busy()) return;
  updater_.StartDownload();
}

void Client::StartUpdateCheck() {
  if (env_.previewMode) return;
  updater_.StartCheck(false);
  quietCheckRunning_ = false;
  quietFailures_ = 0;
  lastUpdateCheck_ = clock_.NowMs();
}

void Client::RegisterAsHost() {
  Reset();
  backoff_.Cancel();
  window_.ShowFirstPage();
  SecureClear(sessionPassword_);
  deviceId_.clear();
  limiter_.Clear();
  try {
    deviceId_ = GenerateDeviceId();
    std::string password = GenerateSessionPassword();
    MoveSecret(sessionPassword_, password);
    if (!env_.previewMode && UpdateGateOpen()) {
      Open(false, Json{{"type", "register"},
                       {"role", "host"},
                       {"protocol", kRelayProtocol},
                       {"sessionId", deviceId_}});
    } else {
      ShowStatus(env_.previewMode ? kStatusPreview : kStatusCheckingUpdates);
    }
  } catch (const std::exception&) {
    ShowStatus(kStatusSecurityFailed);
  }
  window_.Layout();
}

void Client::ConnectToDevice() {
  if (!UpdateGateOpen()) return;
  const std::string id = NormalizeDeviceIdInput(window_.ReadRemoteId());
  std::string password;
  WipeOnExit wipePassword(password);
  try {
    std::string typed = window_.ReadPasswordUtf8();
    WipeOnExit wipeTyped(typed);
    std::string normalised = NormalizeSessionPassword(typed);
    MoveSecret(password, normalised);
  } catch (const std::exception&) {
    // Text that cannot even be converted (unpaired surrogates) is simply not a password.
    SecureClear(password);
  }
  // A 9-digit ID must also start with 1-9: anything else cannot name a device, and refusing it
  // here keeps a running session instead of failing after the reset.
  if (id.size() != kDeviceIdLength || !IsValidDeviceId(id) || !IsValidSessionPassword(password)) {
    ShowStatus(kStatusInvalidFormat);
    return;
  }
  if (id == deviceId_) {
    ShowStatus(kStatusChooseAnother);
    return;
  }
  // A session holds the gate open even when a check that finished meanwhile found this version
  // outdated; the reset below ends that session, and no new connection could follow it.
  if (!env_.previewMode && updateState_ != UpdateState::UpToDate) {
    ShowStatus(kStatusInstallLatest);
    return;
  }
  Reset();
  backoff_.Cancel();
  try {
    viewerRole_ = true;
    attempt_.peerNonce = RandomHex(16);
    attempt_.pairing = PakeExchange::Create(password, id, attempt_.peerNonce, /*isHost=*/false);
    Open(true, Json{{"type", "register"},
                    {"role", "viewer"},
                    {"protocol", kRelayProtocol},
                    {"sessionId", id},
                    {"password", MakePairingOffer(attempt_.peerNonce,
                                                  attempt_.pairing->OwnMessageHex())}});
  } catch (const std::exception&) {
    // Randomness, the exchange or a thread failed: nothing of the attempt stays behind.
    Reset();
    ShowStatus(kStatusActionFailed);
    return;
  }
  SecureClear(password);
  window_.ClearPasswordBox();
  attempt_.connectDeadline = clock_.NowMs() + kViewerConnectTimeoutMs;
  window_.Layout();
}

// ---- Received events -------------------------------------------------------------------------

void Client::HandleNetEvent(NetEvent event) {
  switch (event.kind) {
    case NetEvent::Kind::Closed:
    case NetEvent::Kind::Error:
      Reset();
      ShowStatus(kStatusClosed);
      return;
    case NetEvent::Kind::Text:
    case NetEvent::Kind::Binary:
      break;
  }
  // A relay text may carry the peer's confirmation: its bytes go when the event does.
  struct WipeText {
    NetEvent& event;
    ~WipeText() {
      if (event.kind != NetEvent::Kind::Text) return;
      SecureClear(event.data);
      SecureClear(event.text);
    }
  } wipeText{event};
  try {
    if (event.kind == NetEvent::Kind::Text) {
      HandleText(event);
    } else {
      HandleBinary(event);
    }
  } catch (const std::exception& e) {
    requestedEnd_.reset();
    OnProtocolError(e.what());
    return;
  } catch (...) {
    requestedEnd_.reset();
    OnProtocolError("unknown");
    return;
  }
  FinishRequestedEnd();
}

void Client::HandleText(const NetEvent& event) {
  if (event.data.size() > kRelayTextLimit) Fail("text limit");
  Json message = ParseMessage(std::span<const std::uint8_t>(event.data));
  WipeStringsOnExit wipeMessage(message);
  const std::string type = DefaultString(message, "type");
  if (type == "registered") {
    OnRegistered(message);
  } else if (type == "connectRequest") {
    OnConnectRequest(message);
  } else if (type == "authChallenge") {
    OnAuthChallenge(message);
  } else if (type == "authResponse") {
    OnAuthResponse(message);
  } else if (type == "connected") {
    OnConnected(message);
  } else if (type == "peerDisconnected") {
    OnPeerDisconnected(message);
  } else if (type == "error") {
    OnRelayError(message);
  }
}

void Client::OnRegistered(const Json& message) {
  if (viewerRole_) return;
  const auto protocol = message.find("protocol");
  if (registered_ || protocol == message.end() || !protocol->is_number_integer() ||
      protocol->get<std::int64_t>() != kRelayProtocol) {
    Fail("invalid registration");
  }
  registered_ = true;
  ShowStatus(kStatusReady);
}

void Client::OnConnectRequest(const Json& message) {
  if (viewerRole_) return;
  if (!UpdateGateOpen()) Fail("update required");
  const std::string requestId = DefaultString(message, "requestId");
  if (!IsLowerHex(requestId, kRequestIdHexLength)) Fail("request");
  if (!registered_) Fail("unregistered request");
  if (sessionActive_ || attempt_.consentPending || attempt_.consentGiven || attempt_.pairing) {
    return;
  }

  const std::uint64_t now = clock_.NowMs();
  if (!limiter_.Admit(now)) {
    if (!SendConnectResponse(requestId, false)) Fail("reject send");
    ShowStatus(kStatusTooManyAttempts);
    return;
  }
  const std::string offer = DefaultString(message, "password");
  std::string nonce;
  std::string viewerMessage;
  if (!ParsePairingOffer(offer, nonce, viewerMessage) || !limiter_.Usable(nonce)) {
    if (!SendConnectResponse(requestId, false)) Fail("reject send");
    ShowStatus(kStatusSecurityFailed);
    return;
  }
  limiter_.Remember(nonce);
  attempt_.requestId = requestId;
  attempt_.peerNonce = nonce;
  attempt_.consentGiven = false;
  attempt_.connectDeadline = now + kStepTimeoutMs;

  try {
    attempt_.pairing = PakeExchange::Create(sessionPassword_, deviceId_, attempt_.peerNonce,
                                            /*isHost=*/true);
    attempt_.pairing->Process(viewerMessage, attempt_.requestId);
  } catch (const std::exception&) {
    RejectPairing();
    return;
  }
  std::string confirmation = attempt_.pairing->OwnConfirmationHex();
  WipeOnExit wipeConfirmation(confirmation);
  if (!SendSecretRelayMessage(Json{{"type", "authChallenge"},
                                   {"requestId", attempt_.requestId},
                                   {"message", attempt_.pairing->OwnMessageHex()},
                                   {"confirmation", confirmation}})) {
    Fail("challenge send");
  }
  ShowStatus(kStatusConnecting);
}

void Client::OnAuthChallenge(const Json& message) {
  if (!viewerRole_) return;
  const std::uint64_t now = clock_.NowMs();
  if (!attempt_.pairing || attempt_.channel || !attempt_.requestId.empty() ||
      attempt_.connectDeadline == 0 || Passed(attempt_.connectDeadline, now)) {
    Fail("unsolicited PAKE challenge");
  }
  const std::string requestId = DefaultString(message, "requestId");
  if (!IsLowerHex(requestId, kRequestIdHexLength)) Fail("request binding");
  attempt_.requestId = requestId;
  const std::string hostMessage = message.at("message").get<std::string>();
  std::string hostConfirmation = message.at("confirmation").get<std::string>();
  WipeOnExit wipeHostConfirmation(hostConfirmation);
  try {
    attempt_.pairing->Process(hostMessage, attempt_.requestId);
  } catch (const std::exception&) {
    Fail("host confirmation");
  }
  if (!attempt_.pairing->CheckPeerConfirmation(hostConfirmation)) Fail("host confirmation");
  std::string confirmation = attempt_.pairing->OwnConfirmationHex();
  WipeOnExit wipeConfirmation(confirmation);
  SetChannel(attempt_.pairing->CreateChannel());
  attempt_.pairing.reset();
  if (!SendSecretRelayMessage(Json{{"type", "authResponse"},
                                   {"requestId", attempt_.requestId},
                                   {"confirmation", confirmation}})) {
    Fail("confirmation send");
  }
}

void Client::OnAuthResponse(const Json& message) {
  if (viewerRole_) return;
  if (DefaultString(message, "requestId") != attempt_.requestId) return;
  const std::uint64_t now = clock_.NowMs();
  if (!attempt_.pairing || attempt_.channel || attempt_.connectDeadline == 0 ||
      Passed(attempt_.connectDeadline, now)) {
    Fail("unsolicited PAKE confirmation");
  }
  std::string confirmation = message.at("confirmation").get<std::string>();
  WipeOnExit wipeConfirmation(confirmation);
  if (!attempt_.pairing->CheckPeerConfirmation(confirmation)) {
    RejectPairing();
    return;
  }
  SetChannel(attempt_.pairing->CreateChannel());
  attempt_.pairing.reset();
  attempt_.connectDeadline = 0;
  attempt_.consentPending = true;
  attempt_.consentDeadline = now + kConsentTimeoutMs;
  if (approvalSetting_) {
    window_.RestoreAndForeground();
    window_.Layout();
  } else {
    DecideConsent(true);
  }
}

void Client::DecideConsent(bool accept) {
  if (!attempt_.consentPending) return;
  attempt_.consentPending = false;
  attempt_.consentDeadline = 0;
  attempt_.consentGiven = accept;
  if (!link_.open() || !SendConnectResponse(attempt_.requestId, accept)) {
    ResetSession();
    ShowStatus(kStatusClosed);
  } else if (accept) {
    attempt_.connectDeadline = clock_.NowMs() + kStepTimeoutMs;
    ShowStatus(kStatusConnecting);
  } else {
    ClearAttempt();
    ShowStatus(kStatusReady);
  }
  window_.Layout();
}

void Client::RejectPairing() {
  const std::string requestId = attempt_.requestId;
  ClearAttempt();
  if (!SendConnectResponse(requestId, false)) Fail("authentication rejection");
  ShowStatus(kStatusSecurityFailed);
  window_.Layout();
}

void Client::OnConnected(const Json& message) {
  const std::string requestId = DefaultString(message, "requestId");
  if (sessionActive_ || relayConnected_) Fail("duplicate");
  relayConnected_ = true;
  const std::uint64_t now = clock_.NowMs();
  if (!viewerRole_) {
    if (!attempt_.consentGiven || attempt_.consentPending || requestId != attempt_.requestId) {
      Fail("no local consent");
    }
    sessionActive_ = true;
    registered_ = true;
    attempt_.connectDeadline = now + kStepTimeoutMs;
    if (!env_.previewMode) window_.CreateBanner();
    ShowStatus(kStatusSessionActive);
    SessionTools();
    session_->Start();
    const std::string& bound = attempt_.requestId;
    if (!SendSealed(static_cast<std::uint8_t>(SealedKind::Binding),
                    std::vector<std::uint8_t>(bound.begin(), bound.end()))) {
      Fail("ready");
    }
    session_->SendHello();
  } else {
    if (attempt_.requestId.empty() || requestId != attempt_.requestId ||
        attempt_.connectDeadline == 0 || !attempt_.channel || attempt_.pairing) {
      Fail("unauthenticated connection");
    }
    attempt_.connectDeadline = now + kStepTimeoutMs;
    ShowStatus(kStatusConnecting);
  }
  window_.Layout();
}

void Client::OnPeerDisconnected(const Json& message) {
  const std::string requestId = DefaultString(message, "requestId");
  if (!IsLowerHex(requestId, kRequestIdHexLength) || requestId != attempt_.requestId) return;
  if (!viewerRole_ && !sessionActive_) {
    ClearAttempt();
    window_.Layout();
    ShowStatus(kStatusReady);
    return;
  }
  Reset();
  ShowStatus(kStatusClosed);
}

void Client::OnRelayError(const Json& message) {
  const std::string code = DefaultString(message, "code");
  Reset();
  if (code == "updateRequired") {
    const std::uint64_t now = clock_.NowMs();
    backoff_.OnUpdateRequired(now);
    updateState_ = UpdateState::Checking;
    updater_.StartCheck(false);
    quietCheckRunning_ = false;
    quietFailures_ = 0;
    lastUpdateCheck_ = now;
  }
  window_.Layout();
  ShowStatus(kStatusClosed);
}

// ---- Sealed messages -------------------------------------------------------------------------

void Client::HandleBinary(const NetEvent& event) {
  if (!relayConnected_ || !attempt_.channel || attempt_.requestId.empty() ||
      !(viewerRole_ ||
        (attempt_.consentGiven && sessionActive_ && !attempt_.consentPending))) {
    Fail("not approved");
  }
  std::uint8_t kind = 0;
  std::vector<std::uint8_t> plaintext;
  if (!attempt_.channel->Unseal(event.data, kind, plaintext)) Fail("authentication");

  if (viewerRole_ && kind == static_cast<std::uint8_t>(SealedKind::Binding) && !sessionActive_) {
    if (std::string(plaintext.begin(), plaintext.end()) != attempt_.requestId) Fail("binding");
    sessionActive_ = true;
    registered_ = true;
    attempt_.connectDeadline = clock_.NowMs() + kStepTimeoutMs;
    SessionTools();
    ShowStatus(kStatusVersionNeeded);
    window_.Layout();
    return;
  }
  if (!sessionActive_ || !session_) Fail("wrong direction");
  session_->Dispatch(kind, plaintext);
}

void Client::SessionTools() {
  SessionOwner& owner = *this;
  session_ = std::make_unique<PeerSession>(/*isHost=*/!viewerRole_, owner, platform_, permissions_,
                                           *clipboard_);
  if (localModals_ > 0) session_->SetLocalModal(true);
  ++sessionSerial_;
}

// ---- Tick and window duties ------------------------------------------------------------------

// The host registers by itself only when the version becomes current (start-up, or a check
// after the relay or the user asked for one). The quiet rechecks republish "up to date" every
// minute; they must not bring back online a device whose connection closed, which waits for
// the user to refresh.
//
// A quiet recheck that fails (the network was away for a moment) changes nothing: the device
// stays current, registered and reachable under the ID and password its user may just have
// read out, and the recheck is tried again later, less and less often. Only a manifest that
// names a newer version closes the gate.
void Client::TakeUpdaterState(std::uint64_t now) {
  UpdateSnapshot snapshot;
  bool taken = updater_.TakeState(snapshot);
  if (taken && std::exchange(quietCheckRunning_, false)) {
    if (snapshot.state == UpdateState::CheckFailed && updateState_ == UpdateState::UpToDate) {
      ++quietFailures_;
      taken = false;
    } else {
      quietFailures_ = 0;
    }
  }
  if (taken) {
    const bool becameCurrent =
        snapshot.state == UpdateState::UpToDate && updateState_ != UpdateState::UpToDate;
    updateState_ = snapshot.state;
    updateSnapshot_ = std::move(snapshot);
    if (!sessionActive_) {
      if (becameCurrent && !link_.open()) {
        if (backoff_.MayRegister(now)) {
          RegisterAsHost();
        } else {
          ShowStatus(kStatusClosed);
        }
      } else if (updateState_ != UpdateState::UpToDate && link_.open()) {
        Reset();
      }
    }
    window_.Layout();
  }
  if (backoff_.Due(now) && !sessionActive_ && !link_.open() &&
      updateState_ == UpdateState::UpToDate) {
    RegisterAsHost();
  }
}

bool Client::QuietRecheckDue(std::uint64_t now) const noexcept {
  if (quietFailures_ == 0) return now - lastUpdateCheck_ > kUpdateRecheckMs;
  const int doublings = std::min(quietFailures_ - 1, 4);
  const std::uint64_t delay = std::min(kQuietRetryFirstMs << doublings, kQuietRetryLastMs);
  return now - lastUpdateCheck_ >= delay;
}

void Client::OnTimerTick() {
  std::uint64_t now = clock_.NowMs();
  if (!env_.previewMode) {
    TakeUpdaterState(now);
    const bool idle = !sessionActive_ && !attempt_.consentPending && !attempt_.consentGiven &&
                      attempt_.connectDeadline == 0 && !updater_.Busy() &&
                      updateState_ == UpdateState::UpToDate;
    now = clock_.NowMs();
    if (idle && QuietRecheckDue(now)) {
      updater_.StartCheck(true);
      quietCheckRunning_ = true;
      lastUpdateCheck_ = now;
    }
  }

  if (attempt_.consentPending && Passed(attempt_.consentDeadline, now)) DecideConsent(false);

  if (session_) session_->ExpireIndicators(now);

  if (Passed(attempt_.connectDeadline, now)) {
    if (viewerRole_ || !attempt_.pairing) {
      ResetSession();
      viewerRole_ = false;
      window_.DropRemotePicture();
      window_.Layout();
      ShowStatus(kStatusTimedOut);
    } else {
      // The refusal of a pairing that ran out of time is the controller's own step: a failure
      // to queue it ends the connection like any other protocol failure.
      try {
        RejectPairing();
      } catch (const std::exception& e) {
        OnProtocolError(e.what());
      }
    }
    return;
  }

  if (session_) {
    session_->Tick(now);
    FinishRequestedEnd();
  }
}

void Client::SetLocalPermissions(const LocalPermissions& permissions) {
  const LocalPermissions before = permissions_;
  permissions_ = permissions;
  if (session_) {
    session_->LocalPermissionsChanged(before);
    FinishRequestedEnd();
  }
}

void Client::OnClipboardChanged() {
  if (session_) {
    session_->OnClipboardChanged();
    FinishRequestedEnd();
  }
}

void Client::SelectDisplay(std::int32_t index, std::int32_t profile) {
  if (viewerRole_ && session_) session_->SelectDisplay(index, profile);
}

void Client::OnFocusLost(InputWindow& window) {
  if (ViewerInput* input = viewerInput()) input->OnFocusLost(window);
}

void Client::OnMinimize() {
  if (ViewerInput* input = viewerInput()) input->OnMinimize();
}

void Client::ReportLocalOnly() {
  if (!hostOfActiveSession() || !session_) return;
  try {
    session_->ReportLocalOnly();
  } catch (const std::exception&) {
    // A notice that cannot be queued is only a hint to the viewer: the session goes on.
  }
}

void Client::OnDisplayChange() {
  if (!viewerRole_ && sessionActive_ && session_) {
    session_->OnDisplayChange();
    FinishRequestedEnd();
  }
}

}  // namespace ov
