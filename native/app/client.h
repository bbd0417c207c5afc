// The session controller: one object on the UI thread that owns a relay connection's threads and
// queues, registers the host, connects the viewer, runs the pairing and the host's consent, checks
// the deadlines on the 500 ms tick and dispatches every received relay and peer message.
//
// All members are UI-thread only except PostNetEvent and EnqueueSend (any thread). The Client
// reaches the operating system only through its ClientEnvironment; tests supply their own clock,
// window side, transports, displays and updater.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "app/event_queue.h"
#include "app/nonce_set.h"
#include "app/send_queue.h"
#include "app/update_service.h"
#include "app/window_side.h"
#include "base/json_codec.h"
#include "crypto/crypto_session.h"
#include "crypto/pake_exchange.h"
#include "net/transport.h"
#include "session/peer_control.h"

namespace ov {

// Status lines (catalogue keys).
inline constexpr char kStatusConnecting[] = "Connecting securely";
inline constexpr char kStatusReady[] = "Ready";
inline constexpr char kStatusSessionActive[] = "Session active";
inline constexpr char kStatusSecurityFailed[] = "Security verification failed";
inline constexpr char kStatusClosed[] = "Connection closed - refresh your ID";
inline constexpr char kStatusTimedOut[] = "Connection timed out";
inline constexpr char kStatusTooManyAttempts[] = "Too many attempts. Wait one minute.";
inline constexpr char kStatusInvalidFormat[] = "Invalid ID or password format";
inline constexpr char kStatusChooseAnother[] = "Choose another device";
inline constexpr char kStatusPreview[] = "Design preview - offline";
inline constexpr char kStatusCheckingUpdates[] = "Checking for updates";
inline constexpr char kStatusVersionNeeded[] = "Both devices need version 0.3 or later";
inline constexpr char kStatusEncrypted[] = "End-to-end encrypted";
inline constexpr char kStatusActionFailed[] = "Action unavailable or failed";

// Deadlines and limits of the pairing, in milliseconds unless named otherwise.
inline constexpr std::uint64_t kViewerConnectTimeoutMs = 50000;
inline constexpr std::uint64_t kStepTimeoutMs = 15000;
inline constexpr std::uint64_t kConsentTimeoutMs = 35000;
inline constexpr std::uint64_t kAttemptWindowMs = 60000;
inline constexpr std::size_t kMaxAttemptsPerWindow = 6;
inline constexpr std::uint64_t kUpdateRecheckMs = 59999;
inline constexpr int kRelayProtocol = 3;

// A received message broke a rule. The reason is internal and never shown to the user.
class ProtocolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ClientEnvironment {
  Clock* clock = nullptr;               // must outlive the Client
  WindowSide* window = nullptr;         // must outlive the Client
  UpdateService* updater = nullptr;     // must outlive the Client
  // A new, unconnected transport for each connection (default: the platform's).
  std::function<std::shared_ptr<Transport>()> createTransport;
  std::wstring relayUrl = kRelayUrl;
  // Host: the shareable displays, primary first (at most 16).
  std::function<std::vector<ScreenInfo>()> enumerateDisplays;
  bool previewMode = false;
};

class Client {
 public:
  explicit Client(ClientEnvironment environment);
  // Stops the updater, ends the session (joining every thread) and wipes the session password.
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // ---- Queues and connection life (any thread where noted) ----
  // Any thread: queues one event of connection `generation`; a stale one is dropped.
  void PostNetEvent(std::uint32_t generation, NetEvent event);
  // The WM_APP+1 handler: dispatches every queued event of the current generation.
  void DrainNetEvents();
  // Any thread: true when the item was queued (or replaced the unsent frame at the tail).
  bool EnqueueSend(SendItem item);
  // Queues a relay message (compact JSON). Throws when the message holds invalid UTF-8.
  bool SendRelayMessage(const Json& message);
  // Queues one sealed message on the current channel; false without channel or transport, above
  // the sealing limit, or when the queue refuses.
  bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext);
  // Starts one relay connection in a role: the network thread connects and sends `firstMessage`.
  // Does nothing while the update gate is closed. The caller has reset the session before.
  void Open(bool viewer, Json firstMessage);
  // Stops everything Open started (the transport is closed before each join) and clears the
  // session state. Events and sends of the old connection are dropped from then on.
  void ResetSession();
  // Erases every queued, unsent frame.
  void RemoveQueuedFrames() { sendQueue_.RemoveQueuedFrames(); }

  // ---- Controller ----
  void RegisterAsHost();
  void ConnectToDevice();
  void HandleNetEvent(NetEvent event);
  void DecideConsent(bool accept);
  void RejectPairing();
  void OnTimerTick();
  // The session is established: installs the session tools (chat, clipboard and files are not
  // part of this build; this marks them up so the tick and the receive rules run).
  void SessionTools();
  // Start-up: the first update check, noting its time.
  void StartUpdateCheck();
  // The approval setting (AskBeforeConnection), read by the window at creation.
  void SetApprovalSetting(bool ask) { approvalSetting_ = ask; }
  // Viewer window lost the keyboard focus: release held input on the host.
  void OnFocusLost();
  // Host display configuration changed during a session.
  void OnDisplayChange();
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
  bool consentPending() const noexcept { return consentPending_; }
  bool consentGiven() const noexcept { return consentGiven_; }
  bool sessionActive() const noexcept { return sessionActive_; }
  bool toolsUp() const noexcept { return toolsUp_; }
  bool hostOfActiveSession() const noexcept { return !viewerRole_ && sessionActive_; }
  bool hasTransport() const noexcept { return transport_ != nullptr; }
  bool hasChannel() const noexcept { return channel_ != nullptr; }
  bool hasPairing() const noexcept { return pairing_ != nullptr; }
  std::uint64_t connectDeadline() const noexcept { return connectDeadline_; }
  std::uint64_t consentDeadline() const noexcept { return consentDeadline_; }
  const std::string& requestId() const noexcept { return requestId_; }
  const std::string& peerNonce() const noexcept { return peerNonce_; }
  std::uint32_t generation() const noexcept { return generation_; }
  UpdateState updateState() const noexcept { return updateState_; }
  std::size_t attemptCount() const noexcept { return attemptTimes_.size(); }
  std::size_t seenNonceCount() const noexcept { return seenNonces_.size(); }
  // The reason of the last protocol error (internal; for logs and tests, never shown).
  const std::string& lastProtocolError() const noexcept { return lastProtocolError_; }
  PeerControl* peerControl() noexcept { return peerControl_.get(); }
  EventQueue& eventQueue() noexcept { return eventQueue_; }
  SendQueue& sendQueue() noexcept { return sendQueue_; }
  // Host: the stream the controller was last asked to run (display, epoch, profile); the
  // capture-and-stream thread is a separate component.
  bool streamRequested() const noexcept { return streamRequested_; }
  std::int32_t streamEpoch() const noexcept { return streamEpoch_; }
  // Viewer: sealed frames received and their bytes in this session; frames per second and
  // bytes per second over the last statistics period.
  std::uint64_t framesReceived() const noexcept { return framesReceived_; }
  double frameRate() const noexcept { return frameRate_; }
  double byteRate() const noexcept { return byteRate_; }

 private:
  void Reset();
  void ShowStatus(const std::string& status);
  bool UpdateGateOpen() const noexcept;
  bool Passed(std::uint64_t deadline, std::uint64_t now) const noexcept {
    return deadline != 0 && now >= deadline;
  }
  bool SendConnectResponse(const std::string& requestId, bool accepted);

  void HandleText(const NetEvent& event);
  void HandleBinary(const NetEvent& event);
  void OnRegistered(const Json& message);
  void OnConnectRequest(const Json& message);
  void OnAuthChallenge(const Json& message);
  void OnAuthResponse(const Json& message);
  void OnConnected(const Json& message);
  void OnPeerDisconnected(const Json& message);
  void OnRelayError(const Json& message);

  void CreatePeerControl(bool isHost);
  void StartStreaming(std::int32_t display, std::int32_t epoch, std::int32_t profile);
  void StopStreaming();
  void ReleaseHeldInput();
  void HandleInput(const Json& event);
  void HandleFrame(const std::vector<std::uint8_t>& frame);
  void HandleToolsChunk(const std::vector<std::uint8_t>& chunk);
  void UpdateStatistics(std::uint64_t now);

  void NetworkThread(std::shared_ptr<Transport> transport, std::uint32_t generation,
                     std::string firstMessage, std::shared_ptr<std::atomic<bool>> cancel,
                     std::shared_ptr<std::atomic<bool>> done);
  void SendThread(std::shared_ptr<Transport> transport, std::uint32_t generation);

  ClientEnvironment env_;
  Clock& clock_;
  WindowSide& window_;
  UpdateService& updater_;

  // Queues and the connection's threads.
  std::uint32_t generation_ = 0;
  EventQueue eventQueue_;
  SendQueue sendQueue_;
  std::shared_ptr<Transport> transport_;
  std::shared_ptr<std::atomic<bool>> cancelFlag_;
  std::shared_ptr<std::atomic<bool>> networkDone_;
  std::thread networkThread_;
  std::thread sendThread_;
  std::thread captureThread_;
  std::atomic<bool> captureFlag_{false};

  // Controller state.
  bool viewerRole_ = false;
  bool registered_ = false;
  bool relayConnected_ = false;
  bool consentPending_ = false;
  bool consentGiven_ = false;
  bool sessionActive_ = false;
  bool toolsUp_ = false;
  bool approvalSetting_ = false;
  bool updateBlocked_ = false;
  UpdateState updateState_ = UpdateState::Checking;
  std::uint64_t lastUpdateCheck_ = 0;
  std::uint64_t connectDeadline_ = 0;
  std::uint64_t consentDeadline_ = 0;
  std::string deviceId_;
  std::string sessionPassword_;
  std::string requestId_;
  std::string peerNonce_;
  std::unique_ptr<PakeExchange> pairing_;
  std::shared_ptr<CryptoSession> channel_;
  std::deque<std::uint64_t> attemptTimes_;
  NonceSet seenNonces_;
  std::string status_ = kStatusConnecting;
  std::string lastProtocolError_;
  std::unique_ptr<PeerControl> peerControl_;

  // Streaming request (host) and statistics (viewer).
  bool streamRequested_ = false;
  std::int32_t streamDisplay_ = 0;
  std::int32_t streamEpoch_ = 0;
  std::int32_t streamProfile_ = 0;
  std::uint64_t framesReceived_ = 0;
  std::uint64_t bytesReceived_ = 0;
  std::uint64_t statsTime_ = 0;
  std::uint64_t statsFrames_ = 0;
  std::uint64_t statsBytes_ = 0;
  double frameRate_ = 0;
  double byteRate_ = 0;
  std::uint64_t inputNoticeUntil_ = 0;
};

}  // namespace ov
