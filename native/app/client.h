// The session controller: one object on the UI thread that registers the host, connects the
// viewer, runs the pairing and the host's consent, checks the deadlines on the 500 ms tick and
// dispatches every received relay and peer message. It keeps the status line and the update gate;
// everything else lives in parts with one job each:
//
//   RelayLink       the connection: generation, transport, network and send threads, both queues
//   PairingAttempt  request ID, nonce, exchange, channel, consent and deadlines of one attempt
//   AttemptLimiter  the host's attempt window and used nonces since its registration
//   PeerSession     everything of one bound session (peer control, stream, input, tools)
//
// so that a session reset reads: stop the relay link, destroy the peer session, clear the pairing
// attempt, the window duties.
//
// All members are UI-thread only except PostNetEvent and SendSealed (any thread), which reach
// only the link's locked queues and channel. The Client
// reaches the operating system only through its environment; tests supply their own clock,
// window side, platform and updater.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/clock.h"
#include "app/pairing_attempt.h"
#include "app/peer_session.h"
#include "app/platform.h"
#include "app/registration_backoff.h"
#include "app/relay_link.h"
#include "app/update_service.h"
#include "app/window_side.h"
#include "base/json_codec.h"
#include "base/protocol_error.h"
#include "net/transport.h"
#include "session/peer_control.h"
#include "session/session_owner.h"
#include "session/status_texts.h"
#include "tools/clipboard.h"
#include "update/service_config.h"

namespace ov {

// Deadlines of the pairing, in milliseconds.
inline constexpr std::uint64_t kViewerConnectTimeoutMs = 50000;
inline constexpr std::uint64_t kStepTimeoutMs = 15000;
inline constexpr std::uint64_t kConsentTimeoutMs = 35000;
inline constexpr std::uint64_t kUpdateRecheckMs = 59999;
// A quiet recheck that failed is tried again after 1 minute, doubling up to 10 minutes.
inline constexpr std::uint64_t kQuietRetryFirstMs = 60000;
inline constexpr std::uint64_t kQuietRetryLastMs = 600000;
inline constexpr int kRelayProtocol = 3;

struct ClientEnvironment {
  Clock* clock = nullptr;          // must outlive the Client
  WindowSide* window = nullptr;    // must outlive the Client
  UpdateService* updater = nullptr;  // must outlive the Client
  Platform* platform = nullptr;    // must outlive the Client
  std::wstring relayUrl = kServiceRelayUrl;
  bool previewMode = false;
};

class Client final : private SessionOwner {
 public:
  explicit Client(ClientEnvironment environment);
  // Stops the updater, ends the session (joining every thread) and wipes the session password.
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // ---- Queues and connection life ----
  // Any thread: queues one event of connection `generation`; a stale one is dropped.
  void PostNetEvent(std::uint32_t generation, NetEvent event) {
    link_.Post(generation, std::move(event));
  }
  // The WM_APP+1 handler: dispatches every queued event of the current generation.
  void DrainNetEvents();
  // Queues a relay message (compact JSON). Throws when the message holds invalid UTF-8.
  bool SendRelayMessage(const Json& message);
  // Any thread: queues one sealed message on the current channel; false without channel or
  // connection, above the sealing limit, or when the queue refuses.
  bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) override;
  // Starts one relay connection in a role: the network thread connects and sends `firstMessage`.
  // Does nothing while the update gate is closed. The caller has reset the session before.
  void Open(bool viewer, Json firstMessage);
  // Ends the connection and everything of the session. Events and sends of the old connection
  // are dropped from then on.
  void ResetSession();

  // ---- Controller ----
  void RegisterAsHost();
  void ConnectToDevice();
  void HandleNetEvent(NetEvent event);
  void DecideConsent(bool accept);
  void RejectPairing();
  void OnTimerTick();
  // The session is established: creates the peer session (peer control and the session tools).
  void SessionTools();
  // Start-up: the first update check, noting its time.
  void StartUpdateCheck();
  // The card's "Update": downloads and verifies the release the check found (ignored unless an
  // update is required and nothing runs).
  void StartUpdateDownload();
  // The approval setting (AskBeforeConnection), read by the window at creation.
  void SetApprovalSetting(bool ask) { approvalSetting_ = ask; }
  // A command's own status line (copy feedback, refusals); replaces the status and repaints.
  void ShowStatusLine(const std::string& status) { ShowStatus(status); }
  // The local user changed a permission; a session announces it to the peer.
  void SetLocalPermissions(const LocalPermissions& permissions);
  // The window's clipboard (opened on the main window, reporting changes to it); until one is
  // attached, and after null, sessions use a clipboard of their own process.
  void AttachClipboard(Clipboard* clipboard) noexcept {
    clipboard_ = clipboard != nullptr ? clipboard : fallbackClipboard_.get();
  }
  // The window was told the clipboard changed.
  void OnClipboardChanged();
  // Viewer window lost the keyboard focus, or is about to be minimised: the host releases the
  // input it holds for us (and a pan or paste in progress ends).
  void OnFocusLost(InputWindow& window);
  void OnMinimize();
  // Viewer: the remote view's input capture while a session is bound, else null.
  ViewerInput* viewerInput() noexcept {
    return viewerRole_ && session_ ? &session_->input() : nullptr;
  }
  // Host: injected clicks may press the window's remote-safe commands (the local user accepted
  // and allows control, and nothing local waits for an answer).
  bool RemoteControlInForce() const noexcept {
    return hostOfActiveSession() && !attempt_.consentPending && session_ &&
           session_->RemoteControlInForce();
  }
  // Host: an injected press landed on a control the viewer may not use.
  void ReportLocalOnly();
  // Host display configuration changed during a session.
  void OnDisplayChange();
  // Viewer: the display or quality menu chose display `index` at `profile` (throws "feature
  // send" when it cannot be queued; the command dispatcher reports that).
  void SelectDisplay(std::int32_t index, std::int32_t profile);
  // The window procedures' exception barrier: runs `handler`; an escaping exception resets the
  // session, lays out and shows "Action unavailable or failed".
  void RunGuarded(const std::function<void()>& handler);

  // ---- State for drawing and tests ----
  const std::string& status() const noexcept { return status_; }
  const std::string& deviceId() const noexcept { return deviceId_; }
  const std::string& sessionPassword() const noexcept { return sessionPassword_; }
  bool viewerRole() const noexcept { return viewerRole_; }
  bool previewMode() const noexcept { return env_.previewMode; }
  bool registered() const noexcept { return registered_; }
  bool relayConnected() const noexcept { return relayConnected_; }
  bool consentPending() const noexcept { return attempt_.consentPending; }
  bool consentGiven() const noexcept { return attempt_.consentGiven; }
  bool sessionActive() const noexcept { return sessionActive_; }
  bool toolsUp() const noexcept { return session_ != nullptr; }
  bool hostOfActiveSession() const noexcept { return !viewerRole_ && sessionActive_; }
  bool hasTransport() const noexcept { return link_.open(); }
  bool hasChannel() const noexcept { return attempt_.channel != nullptr; }
  bool hasPairing() const noexcept { return attempt_.pairing != nullptr; }
  std::uint64_t connectDeadline() const noexcept { return attempt_.connectDeadline; }
  std::uint64_t consentDeadline() const noexcept { return attempt_.consentDeadline; }
  const std::string& requestId() const noexcept { return attempt_.requestId; }
  const std::string& peerNonce() const noexcept { return attempt_.peerNonce; }
  std::uint32_t generation() const noexcept { return link_.generation(); }
  UpdateState updateState() const noexcept { return updateState_; }
  // What the updater last published (the card's version, progress, failure and saved file).
  const UpdateSnapshot& updateSnapshot() const noexcept { return updateSnapshot_; }
  bool approvalSetting() const noexcept { return approvalSetting_; }
  // Quiet rechecks in a row that failed (each left the state, the registration and the
  // credentials as they were).
  int quietCheckFailures() const noexcept { return quietFailures_; }
  // Whether the program may connect and its commands run (see the update gate).
  bool updateGateOpen() const noexcept { return UpdateGateOpen(); }
  // Not idle: connecting, pairing, awaiting or holding the local decision.
  bool busy() const noexcept {
    return attempt_.connectDeadline != 0 || attempt_.consentPending || attempt_.consentGiven ||
           attempt_.pairing != nullptr;
  }
  const AttemptLimiter& attemptLimiter() const noexcept { return limiter_; }
  const RegistrationBackoff& registrationBackoff() const noexcept { return backoff_; }
  const RelayLink& link() const noexcept { return link_; }
  // The bound session, while there is one.
  const PeerSession* session() const noexcept { return session_.get(); }
  // The bound session once its hello exchange is complete (the session tools' commands act on
  // it), else null.
  PeerSession* toolsSession() noexcept {
    return session_ && session_->control().helloComplete() ? session_.get() : nullptr;
  }
  // Counts the sessions made so far: a command that waited in a dialog checks that its session
  // is still the one it started with.
  std::uint64_t sessionSerial() const noexcept { return sessionSerial_; }
  // A modal dialog of this program opened or closed. The host drops remote input while any is
  // open, whichever session runs meanwhile: one that begins while a dialog is open starts with
  // the dialog counted. Every open must be followed by its close.
  void SetLocalModal(bool open) {
    if (open) {
      ++localModals_;
    } else if (localModals_ > 0) {
      --localModals_;
    }
    if (session_) session_->SetLocalModal(localModals_ > 0);
  }
  // The viewer's bound session (its view commands act on it), else null.
  PeerSession* viewerSession() noexcept { return viewerRole_ ? session_.get() : nullptr; }
  // The local user's permissions; they outlive sessions.
  const LocalPermissions& permissions() const noexcept { return permissions_; }
  // The reason of the last protocol error (internal; for logs and tests, never shown).
  const std::string& lastProtocolError() const noexcept { return lastProtocolError_; }

 private:
  // SessionOwner (SendSealed above).
  void RemoveQueuedFrames() override { link_.RemoveQueuedFrames(); }
  std::uint32_t ConnectionGeneration() override { return link_.generation(); }
  void PostEndEvent(std::uint32_t generation, const std::string& reason) override {
    PostNetEvent(generation, NetEvent{NetEvent::Kind::Error, {}, reason});
  }
  std::uint64_t NowMs() override { return clock_.NowMs(); }
  void ShowStatus(const std::string& status) override;
  void RequestLayout() override { window_.Layout(); }
  void Repaint() override { window_.Repaint(); }
  void RepaintPictureArea(int x, int y, int width, int height) override {
    window_.RepaintPictureArea(x, y, width, height);
  }
  void DropRemotePicture() override { window_.DropRemotePicture(); }
  void ClearPairingDeadline() override { attempt_.connectDeadline = 0; }
  void EndSession(const std::string& status) override;

  void Reset();
  // Forgets the pairing attempt, its channel included (also the link's copy of it).
  void ClearAttempt();
  // The attempt's channel, which the link seals with from then on.
  void SetChannel(std::shared_ptr<CryptoSession> channel);
  // Runs an end of the session that a feature asked for during the call that just returned.
  void FinishRequestedEnd();
  // A received message (or a step of its handling on the tick) broke a rule.
  void OnProtocolError(const char* reason);
  bool UpdateGateOpen() const noexcept;
  static bool Passed(std::uint64_t deadline, std::uint64_t now) noexcept {
    return deadline != 0 && now >= deadline;
  }
  bool SendConnectResponse(const std::string& requestId, bool accepted);
  // Sends a relay message that carries a confirmation, wiping every copy of it.
  bool SendSecretRelayMessage(Json message);
  void TakeUpdaterState(std::uint64_t now);
  // The idle host's quiet recheck is due: a minute after the last check, or after the back-off
  // of the quiet rechecks that failed.
  bool QuietRecheckDue(std::uint64_t now) const noexcept;

  void HandleText(const NetEvent& event);
  void HandleBinary(const NetEvent& event);
  void OnRegistered(const Json& message);
  void OnConnectRequest(const Json& message);
  void OnAuthChallenge(const Json& message);
  void OnAuthResponse(const Json& message);
  void OnConnected(const Json& message);
  void OnPeerDisconnected(const Json& message);
  void OnRelayError(const Json& message);

  ClientEnvironment env_;
  Clock& clock_;
  WindowSide& window_;
  UpdateService& updater_;
  Platform& platform_;

  RelayLink link_;
  PairingAttempt attempt_;
  AttemptLimiter limiter_;
  // Declared before the session, which uses it.
  std::unique_ptr<Clipboard> fallbackClipboard_ = CreateSystemClipboard(nullptr);
  Clipboard* clipboard_ = fallbackClipboard_.get();
  std::unique_ptr<PeerSession> session_;
  std::uint64_t sessionSerial_ = 0;
  int localModals_ = 0;  // modal dialogs of this program open now
  LocalPermissions permissions_;
  RegistrationBackoff backoff_;

  bool viewerRole_ = false;
  bool registered_ = false;
  bool relayConnected_ = false;
  bool sessionActive_ = false;
  bool approvalSetting_ = false;
  bool updateBlocked_ = false;
  UpdateState updateState_ = UpdateState::Checking;
  UpdateSnapshot updateSnapshot_;
  std::uint64_t lastUpdateCheck_ = 0;
  bool quietCheckRunning_ = false;  // the updater's next report answers a quiet recheck
  int quietFailures_ = 0;           // quiet rechecks in a row that failed
  std::string deviceId_;
  std::string sessionPassword_;
  std::string status_ = kStatusConnecting;
  std::string lastProtocolError_;
  std::optional<std::string> requestedEnd_;
};

}  // namespace ov
