#include "app/client.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <span>
#include <utility>

#include "base/secure_memory.h"
#include "crypto/primitives.h"

namespace ov {
namespace {

constexpr char kRegistrationFailedText[] = "Registration failed";
constexpr char kSendFailedText[] = "Network send failed";

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

NetEvent ErrorEvent(std::string text) {
  NetEvent event;
  event.kind = NetEvent::Kind::Error;
  event.text = std::move(text);
  return event;
}

}  // namespace

Client::Client(ClientEnvironment environment)
    : env_(std::move(environment)),
      clock_(*env_.clock),
      window_(*env_.window),
      updater_(*env_.updater),
      eventQueue_([window = env_.window] { window->PostWake(); }) {
  if (!env_.createTransport) env_.createTransport = [] { return CreateTransport(); };
  eventQueue_.PublishGeneration(generation_);
}

Client::~Client() {
  updater_.Stop();
  ResetSession();
  SecureClear(sessionPassword_);
}

// ---- Queues ----------------------------------------------------------------------------------

void Client::PostNetEvent(std::uint32_t generation, NetEvent event) {
  eventQueue_.Post(generation, std::move(event));
}

void Client::DrainNetEvents() {
  if (eventQueue_.TakeOverflow()) {
    Reset();
    ShowStatus(kStatusSecurityFailed);
    return;
  }
  std::deque<EventQueue::Entry> entries = eventQueue_.TakeAll();
  for (EventQueue::Entry& entry : entries) {
    // A handler may reset the session; the rest of the batch then belongs to an old generation.
    if (entry.generation == generation_) HandleNetEvent(std::move(entry.event));
  }
}

bool Client::EnqueueSend(SendItem item) { return sendQueue_.Enqueue(std::move(item)); }

bool Client::SendRelayMessage(const Json& message) {
  SendItem item;
  item.kind = kRelayItemKind;
  item.text = SerializeMessage(message);
  return EnqueueSend(std::move(item));
}

bool Client::SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) {
  if (!channel_ || !transport_ || plaintext.size() > kMaxSealedPlaintext) return false;
  SendItem item;
  item.kind = kind;
  item.payload = std::move(plaintext);
  item.channel = channel_;
  return EnqueueSend(std::move(item));
}

// ---- Connection life -------------------------------------------------------------------------

void Client::Open(bool viewer, Json firstMessage) {
  if (updateBlocked_) return;
  if (!env_.previewMode && !sessionActive_ && updateState_ != UpdateState::UpToDate) return;
  firstMessage["build"] = kProgramBuild;
  // Serialised here so that a message that cannot be written fails to the caller, not on a thread.
  std::string firstText = SerializeMessage(firstMessage);

  viewerRole_ = viewer;
  const std::uint32_t generation = generation_;
  transport_ = env_.createTransport();
  cancelFlag_ = std::make_shared<std::atomic<bool>>(false);
  networkDone_ = std::make_shared<std::atomic<bool>>(false);
  sendQueue_.Start();
  sendThread_ = std::thread(&Client::SendThread, this, transport_, generation);
  ShowStatus(kStatusConnecting);
  networkThread_ = std::thread(&Client::NetworkThread, this, transport_, generation,
                               std::move(firstText), cancelFlag_, networkDone_);
}

void Client::NetworkThread(std::shared_ptr<Transport> transport, std::uint32_t generation,
                           std::string firstMessage, std::shared_ptr<std::atomic<bool>> cancel,
                           std::shared_ptr<std::atomic<bool>> done) {
  struct MarkDone {
    std::atomic<bool>& flag;
    ~MarkDone() { flag.store(true); }
  } markDone{*done};
  if (cancel->load()) return;
  std::string error;
  const bool connected = transport->Connect(
      env_.relayUrl, [this, generation](NetEvent event) { PostNetEvent(generation, std::move(event)); },
      error);
  if (!connected) {
    PostNetEvent(generation, ErrorEvent(error));
    return;
  }
  if (cancel->load()) {
    transport->Close();
    return;
  }
  if (!transport->SendText(firstMessage)) PostNetEvent(generation, ErrorEvent(kRegistrationFailedText));
}

void Client::SendThread(std::shared_ptr<Transport> transport, std::uint32_t generation) {
  std::vector<std::uint8_t> sealed;
  while (sendQueue_.Sending()) {
    std::optional<SendItem> item = sendQueue_.WaitPop();
    if (!item) return;
    bool sent = false;
    try {
      if (item->kind == kRelayItemKind) {
        sent = transport->SendText(item->text);
      } else if (item->channel) {
        item->channel->SealInto(item->kind, item->payload, sealed);
        sent = transport->SendBinary(sealed);
      }
    } catch (...) {
      sent = false;
    }
    if (!sent) {
      sendQueue_.Stop();
      PostNetEvent(generation, ErrorEvent(kSendFailedText));
      return;
    }
  }
}

void Client::ResetSession() {
  // 1. From here on, events and sends of the old connection are ignored.
  ++generation_;
  eventQueue_.PublishGeneration(generation_);
  // 2. Stop the capture and send loops.
  captureFlag_.store(false);
  sendQueue_.Stop();
  // 3. Session flags.
  registered_ = false;
  sessionActive_ = false;
  consentPending_ = false;
  consentGiven_ = false;
  connectDeadline_ = 0;
  consentDeadline_ = 0;
  // 4.-5. Cancel, then close the transport before every join so that each join ends promptly.
  if (cancelFlag_) cancelFlag_->store(true);
  if (transport_) transport_->Close();
  if (networkThread_.joinable()) {
    // A Close that came before the network thread reached Connect cannot cancel that Connect;
    // closing again until the thread has finished can.
    while (networkDone_ && !networkDone_->load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (transport_) transport_->Close();
    }
    networkThread_.join();
  }
  if (transport_) transport_->Close();
  if (captureThread_.joinable()) captureThread_.join();
  streamRequested_ = false;
  if (sendThread_.joinable()) sendThread_.join();
  // 6. Nothing of the old connection stays queued.
  sendQueue_.Clear();
  // 7. Release the connection and the secrets of the pairing.
  transport_.reset();
  channel_.reset();
  pairing_.reset();
  relayConnected_ = false;
  // 8. Held input, banner, mouse capture.
  ReleaseHeldInput();
  window_.DestroyBanner();
  window_.ReleaseMouseCapture();
  // 9. Events of the old connection.
  eventQueue_.Clear();
  // 10. Per-session state.
  requestId_.clear();
  SecureClear(peerNonce_);
  toolsUp_ = false;
  peerControl_.reset();
  framesReceived_ = bytesReceived_ = statsTime_ = statsFrames_ = statsBytes_ = 0;
  frameRate_ = byteRate_ = 0;
  inputNoticeUntil_ = 0;
}

void Client::Reset() {
  ResetSession();
  viewerRole_ = false;
  window_.DropRemotePicture();
  window_.Layout();
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

// ---- Registration and connecting -------------------------------------------------------------

void Client::StartUpdateCheck() {
  if (env_.previewMode) return;
  updater_.StartCheck(false);
  lastUpdateCheck_ = clock_.NowMs();
}

void Client::RegisterAsHost() {
  Reset();
  window_.ShowFirstPage();
  SecureClear(sessionPassword_);
  deviceId_.clear();
  seenNonces_.clear();
  attemptTimes_.clear();
  try {
    deviceId_ = GenerateDeviceId();
    sessionPassword_ = GenerateSessionPassword();
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
    password = NormalizeSessionPassword(typed);
  } catch (const std::exception&) {
    // Text that cannot even be converted (unpaired surrogates) is simply not a password.
    password.clear();
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
  Reset();
  viewerRole_ = true;
  peerNonce_ = RandomHex(16);
  pairing_ = PakeExchange::Create(password, id, peerNonce_, /*isHost=*/false);
  Open(true, Json{{"type", "register"},
                  {"role", "viewer"},
                  {"protocol", kRelayProtocol},
                  {"sessionId", id},
                  {"password", MakePairingOffer(peerNonce_, pairing_->OwnMessageHex())}});
  SecureClear(password);
  window_.ClearPasswordBox();
  connectDeadline_ = clock_.NowMs() + kViewerConnectTimeoutMs;
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
  try {
    if (event.kind == NetEvent::Kind::Text) {
      HandleText(event);
    } else {
      HandleBinary(event);
    }
  } catch (const std::exception& e) {
    lastProtocolError_ = e.what();
    Reset();
    ShowStatus(kStatusSecurityFailed);
  } catch (...) {
    lastProtocolError_ = "unknown";
    Reset();
    ShowStatus(kStatusSecurityFailed);
  }
}

void Client::HandleText(const NetEvent& event) {
  if (event.data.size() > kRelayTextLimit) throw ProtocolError("text limit");
  const Json message = ParseMessage(std::span<const std::uint8_t>(event.data));
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
    throw ProtocolError("invalid registration");
  }
  registered_ = true;
  ShowStatus(kStatusReady);
}

void Client::OnConnectRequest(const Json& message) {
  if (viewerRole_) return;
  if (!UpdateGateOpen()) throw ProtocolError("update required");
  const std::string requestId = DefaultString(message, "requestId");
  if (!IsLowerHex(requestId, kRequestIdHexLength)) throw ProtocolError("request");
  if (!registered_) throw ProtocolError("unregistered request");
  if (sessionActive_ || consentPending_ || consentGiven_ || pairing_) return;

  const std::uint64_t now = clock_.NowMs();
  while (!attemptTimes_.empty() && now - attemptTimes_.front() >= kAttemptWindowMs) {
    attemptTimes_.pop_front();
  }
  if (attemptTimes_.size() >= kMaxAttemptsPerWindow) {
    if (!SendConnectResponse(requestId, false)) throw ProtocolError("reject send");
    ShowStatus(kStatusTooManyAttempts);
    return;
  }
  attemptTimes_.push_back(now);

  const std::string offer = DefaultString(message, "password");
  std::string nonce;
  std::string viewerMessage;
  if (!ParsePairingOffer(offer, nonce, viewerMessage) || seenNonces_.contains(nonce) ||
      seenNonces_.size() >= kMaxSeenNonces) {
    if (!SendConnectResponse(requestId, false)) throw ProtocolError("reject send");
    ShowStatus(kStatusSecurityFailed);
    return;
  }
  seenNonces_.insert(nonce);
  requestId_ = requestId;
  peerNonce_ = nonce;
  consentGiven_ = false;
  connectDeadline_ = now + kStepTimeoutMs;

  try {
    pairing_ = PakeExchange::Create(sessionPassword_, deviceId_, peerNonce_, /*isHost=*/true);
    pairing_->Process(viewerMessage, requestId_);
  } catch (const std::exception&) {
    RejectPairing();
    return;
  }
  std::string confirmation = pairing_->OwnConfirmationHex();
  WipeOnExit wipeConfirmation(confirmation);
  if (!SendRelayMessage(Json{{"type", "authChallenge"},
                             {"requestId", requestId_},
                             {"message", pairing_->OwnMessageHex()},
                             {"confirmation", confirmation}})) {
    throw ProtocolError("challenge send");
  }
  ShowStatus(kStatusConnecting);
}

void Client::OnAuthChallenge(const Json& message) {
  if (!viewerRole_) return;
  const std::uint64_t now = clock_.NowMs();
  if (!pairing_ || channel_ || !requestId_.empty() || connectDeadline_ == 0 ||
      Passed(connectDeadline_, now)) {
    throw ProtocolError("unsolicited PAKE challenge");
  }
  const std::string requestId = DefaultString(message, "requestId");
  if (!IsLowerHex(requestId, kRequestIdHexLength)) throw ProtocolError("request binding");
  requestId_ = requestId;
  const std::string hostMessage = message.at("message").get<std::string>();
  const std::string hostConfirmation = message.at("confirmation").get<std::string>();
  try {
    pairing_->Process(hostMessage, requestId_);
  } catch (const std::exception&) {
    throw ProtocolError("host confirmation");
  }
  if (!pairing_->CheckPeerConfirmation(hostConfirmation)) throw ProtocolError("host confirmation");
  std::string confirmation = pairing_->OwnConfirmationHex();
  WipeOnExit wipeConfirmation(confirmation);
  channel_ = pairing_->CreateChannel();
  pairing_.reset();
  if (!SendRelayMessage(Json{{"type", "authResponse"},
                             {"requestId", requestId_},
                             {"confirmation", confirmation}})) {
    throw ProtocolError("confirmation send");
  }
}

void Client::OnAuthResponse(const Json& message) {
  if (viewerRole_) return;
  if (DefaultString(message, "requestId") != requestId_) return;
  const std::uint64_t now = clock_.NowMs();
  if (!pairing_ || channel_ || connectDeadline_ == 0 || Passed(connectDeadline_, now)) {
    throw ProtocolError("unsolicited PAKE confirmation");
  }
  const std::string confirmation = message.at("confirmation").get<std::string>();
  if (!pairing_->CheckPeerConfirmation(confirmation)) {
    RejectPairing();
    return;
  }
  channel_ = pairing_->CreateChannel();
  pairing_.reset();
  connectDeadline_ = 0;
  consentPending_ = true;
  consentDeadline_ = now + kConsentTimeoutMs;
  if (approvalSetting_) {
    window_.RestoreAndForeground();
    window_.Layout();
  } else {
    DecideConsent(true);
  }
}

void Client::DecideConsent(bool accept) {
  if (!consentPending_) return;
  consentPending_ = false;
  consentDeadline_ = 0;
  consentGiven_ = accept;
  if (!transport_ || !SendConnectResponse(requestId_, accept)) {
    ResetSession();
    ShowStatus(kStatusClosed);
  } else if (accept) {
    connectDeadline_ = clock_.NowMs() + kStepTimeoutMs;
    ShowStatus(kStatusConnecting);
  } else {
    channel_.reset();
    pairing_.reset();
    requestId_.clear();
    SecureClear(peerNonce_);
    connectDeadline_ = 0;
    ShowStatus(kStatusReady);
  }
  window_.Layout();
}

void Client::RejectPairing() {
  const std::string requestId = requestId_;
  pairing_.reset();
  channel_.reset();
  requestId_.clear();
  SecureClear(peerNonce_);
  consentPending_ = false;
  consentGiven_ = false;
  connectDeadline_ = 0;
  consentDeadline_ = 0;
  if (!SendConnectResponse(requestId, false)) throw ProtocolError("authentication rejection");
  ShowStatus(kStatusSecurityFailed);
  window_.Layout();
}

void Client::OnConnected(const Json& message) {
  const std::string requestId = DefaultString(message, "requestId");
  if (sessionActive_ || relayConnected_) throw ProtocolError("duplicate");
  relayConnected_ = true;
  const std::uint64_t now = clock_.NowMs();
  if (!viewerRole_) {
    if (!consentGiven_ || consentPending_ || requestId != requestId_) {
      throw ProtocolError("no local consent");
    }
    sessionActive_ = true;
    registered_ = true;
    connectDeadline_ = now + kStepTimeoutMs;
    if (!env_.previewMode) window_.CreateBanner();
    ShowStatus(kStatusSessionActive);
    SessionTools();
    CreatePeerControl(/*isHost=*/true);
    peerControl_->Start();
    if (!SendSealed(static_cast<std::uint8_t>(SealedKind::Binding),
                    std::vector<std::uint8_t>(requestId_.begin(), requestId_.end()))) {
      throw ProtocolError("ready");
    }
    peerControl_->SendHello();
  } else {
    if (requestId_.empty() || requestId != requestId_ || connectDeadline_ == 0 || !channel_ ||
        pairing_) {
      throw ProtocolError("unauthenticated connection");
    }
    connectDeadline_ = now + kStepTimeoutMs;
    ShowStatus(kStatusConnecting);
  }
  window_.Layout();
}

void Client::OnPeerDisconnected(const Json& message) {
  const std::string requestId = DefaultString(message, "requestId");
  if (!IsLowerHex(requestId, kRequestIdHexLength) || requestId != requestId_) return;
  if (!viewerRole_ && !sessionActive_) {
    consentPending_ = false;
    consentGiven_ = false;
    connectDeadline_ = 0;
    consentDeadline_ = 0;
    channel_.reset();
    pairing_.reset();
    requestId_.clear();
    SecureClear(peerNonce_);
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
    updateState_ = UpdateState::Checking;
    updater_.StartCheck(false);
    lastUpdateCheck_ = clock_.NowMs();
  }
  window_.Layout();
  ShowStatus(kStatusClosed);
}

// ---- Sealed messages -------------------------------------------------------------------------

void Client::HandleBinary(const NetEvent& event) {
  if (!relayConnected_ || !channel_ || requestId_.empty() ||
      !(viewerRole_ || (consentGiven_ && sessionActive_ && !consentPending_))) {
    throw ProtocolError("not approved");
  }
  std::uint8_t kind = 0;
  std::vector<std::uint8_t> plaintext;
  if (!channel_->Unseal(event.data, kind, plaintext)) throw ProtocolError("authentication");

  if (viewerRole_ && kind == static_cast<std::uint8_t>(SealedKind::Binding) && !sessionActive_) {
    if (std::string(plaintext.begin(), plaintext.end()) != requestId_) {
      throw ProtocolError("binding");
    }
    sessionActive_ = true;
    registered_ = true;
    connectDeadline_ = clock_.NowMs() + kStepTimeoutMs;
    SessionTools();
    CreatePeerControl(/*isHost=*/false);
    ShowStatus(kStatusVersionNeeded);
    window_.Layout();
    return;
  }
  if (!sessionActive_ || !peerControl_) throw ProtocolError("wrong direction");

  const bool helloComplete = peerControl_->helloComplete();
  switch (static_cast<SealedKind>(kind)) {
    case SealedKind::Control: {
      if (plaintext.size() > kControlMessageLimit) throw ProtocolError("control limit");
      const Json control = ParseMessage(std::span<const std::uint8_t>(plaintext));
      peerControl_->HandleControl(control);
      return;
    }
    case SealedKind::Tools:
      if (toolsUp_ && helloComplete) {
        HandleToolsChunk(plaintext);
        return;
      }
      break;
    case SealedKind::Input:
      if (!viewerRole_ && consentGiven_ && toolsUp_ && helloComplete) {
        if (plaintext.size() > kInputMessageLimit) throw ProtocolError("input limit");
        HandleInput(ParseMessage(std::span<const std::uint8_t>(plaintext)));
        return;
      }
      break;
    case SealedKind::Frame:
      if (viewerRole_ && toolsUp_ && helloComplete) {
        HandleFrame(plaintext);
        return;
      }
      break;
    case SealedKind::Binding:
      break;
  }
  throw ProtocolError("wrong direction");
}

void Client::CreatePeerControl(bool isHost) {
  PeerControlHooks hooks;
  hooks.sendSealed = [this](std::uint8_t kind, std::vector<std::uint8_t> plaintext) {
    return SendSealed(kind, std::move(plaintext));
  };
  hooks.now = [this] { return clock_.NowMs(); };
  hooks.enumerateDisplays = [this] {
    return env_.enumerateDisplays ? env_.enumerateDisplays() : std::vector<ScreenInfo>();
  };
  hooks.stopStreaming = [this] { StopStreaming(); };
  hooks.startStreaming = [this](std::int32_t display, std::int32_t epoch, std::int32_t profile) {
    StartStreaming(display, epoch, profile);
  };
  hooks.removeQueuedFrames = [this] { RemoveQueuedFrames(); };
  hooks.releaseHeldInput = [this] { ReleaseHeldInput(); };
  hooks.showStatus = [this](const std::string& status) { ShowStatus(status); };
  hooks.dropPicture = [this] { window_.DropRemotePicture(); };
  hooks.clearPairingDeadline = [this] { connectDeadline_ = 0; };
  hooks.showInputNotice = [this](std::uint64_t until) {
    inputNoticeUntil_ = until;
    window_.Repaint();
  };
  peerControl_ = std::make_unique<PeerControl>(isHost, std::move(hooks));
}

void Client::SessionTools() { toolsUp_ = true; }

// The capture-and-stream thread is a separate component that is not part of this build: the
// controller records which stream it was asked for, and stopping joins a thread if one runs.
void Client::StartStreaming(std::int32_t display, std::int32_t epoch, std::int32_t profile) {
  StopStreaming();
  streamDisplay_ = display;
  streamEpoch_ = epoch;
  streamProfile_ = profile;
  streamRequested_ = true;
}

void Client::StopStreaming() {
  captureFlag_.store(false);
  if (captureThread_.joinable()) captureThread_.join();
  streamRequested_ = false;
}

// Remote input injection is not part of this build, so no key or button is ever held for the
// viewer and there is nothing to release.
void Client::ReleaseHeldInput() {}

// Remote input injection is not part of this build: a well-formed input event (bounded and parsed
// by the caller) is accepted and not injected.
void Client::HandleInput(const Json& event) {
  if (!event.is_object()) throw ProtocolError("input event");
}

// Decoding and showing frames is not part of this build: a frame is counted for the statistics.
void Client::HandleFrame(const std::vector<std::uint8_t>& frame) {
  ++framesReceived_;
  bytesReceived_ += frame.size();
}

// File transfer is not part of this build, so no transfer is ever accepted and a chunk can never
// belong to one.
void Client::HandleToolsChunk(const std::vector<std::uint8_t>& /*chunk*/) {
  throw ProtocolError("file chunk without local acceptance");
}

void Client::UpdateStatistics(std::uint64_t now) {
  if (statsTime_ == 0) {
    statsTime_ = now;
    statsFrames_ = framesReceived_;
    statsBytes_ = bytesReceived_;
    return;
  }
  const std::uint64_t elapsed = now - statsTime_;
  if (elapsed < 1000) return;
  const double seconds = static_cast<double>(elapsed) / 1000.0;
  frameRate_ = static_cast<double>(framesReceived_ - statsFrames_) / seconds;
  byteRate_ = static_cast<double>(bytesReceived_ - statsBytes_) / seconds;
  statsTime_ = now;
  statsFrames_ = framesReceived_;
  statsBytes_ = bytesReceived_;
}

// ---- Tick and window duties ------------------------------------------------------------------

void Client::OnTimerTick() {
  std::uint64_t now = clock_.NowMs();
  if (!env_.previewMode) {
    UpdateSnapshot snapshot;
    if (updater_.TakeState(snapshot)) {
      updateState_ = snapshot.state;
      if (!sessionActive_) {
        if (updateState_ == UpdateState::UpToDate && !transport_) {
          RegisterAsHost();
        } else if (updateState_ != UpdateState::UpToDate && transport_) {
          Reset();
        }
      }
      window_.Layout();
    }
    const bool idle = !sessionActive_ && !consentPending_ && !consentGiven_ &&
                      connectDeadline_ == 0 && !updater_.Busy() &&
                      updateState_ == UpdateState::UpToDate;
    now = clock_.NowMs();
    if (idle && now - lastUpdateCheck_ > kUpdateRecheckMs) {
      updater_.StartCheck(true);
      lastUpdateCheck_ = now;
    }
  }

  if (consentPending_ && Passed(consentDeadline_, now)) DecideConsent(false);

  if (inputNoticeUntil_ != 0 && now >= inputNoticeUntil_) {
    inputNoticeUntil_ = 0;
    window_.Repaint();
  }

  if (Passed(connectDeadline_, now)) {
    if (viewerRole_ || !pairing_) {
      ResetSession();
      viewerRole_ = false;
      window_.DropRemotePicture();
      window_.Layout();
      ShowStatus(kStatusTimedOut);
    } else {
      RejectPairing();
    }
    return;
  }

  if (toolsUp_) {
    try {
      UpdateStatistics(now);
      if (peerControl_) peerControl_->ControlTick();
    } catch (...) {
      Reset();
      ShowStatus(kStatusClosed);
    }
  }
}

void Client::OnFocusLost() {
  if (viewerRole_ && toolsUp_ && peerControl_ && peerControl_->helloComplete()) {
    peerControl_->SendReleaseInput();
  }
}

void Client::OnDisplayChange() {
  if (!viewerRole_ && sessionActive_ && toolsUp_ && peerControl_ && peerControl_->helloComplete()) {
    peerControl_->ReselectDisplay(0, peerControl_->profile(), /*reenumerate=*/true);
  }
}

}  // namespace ov
