// The peer control protocol: the JSON control messages that host and viewer exchange inside
// sealed Control messages once the channel is bound — hello and its acknowledgement,
// capabilities, permissions, display and quality choice, capture and input status, frame
// acknowledgements and the liveness ping — and the display epoch that ties frames, input and
// status to one display choice.
//
// One PeerControl exists per session, owned by the session controller and used on the UI thread
// only (the two atomics are read by the streaming thread). Every failure of a received message is
// thrown as std::runtime_error with a fixed reason (or the JSON library's own exception); the
// controller ends the session on any of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/json_codec.h"

namespace ov {

inline constexpr int kControlProtocolVersion = 3;
inline constexpr char kProgramBuild[] = "0.3.9";

// One host display as announced to the viewer.
struct ScreenInfo {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t hz = 60;
  bool primary = false;
};

// The viewer's copy of the host's capture status.
struct PeerCaptureStatus {
  std::int32_t backend = 0;  // 0 none, 1 GDI, 2 WGC
  bool black = false;
  bool desktop = true;
  std::uint32_t error = 0;
};

// What the protocol needs from the rest of the program. Every member must be set; the controller
// supplies the real operations (none of them may call back into PeerControl).
struct PeerControlHooks {
  // Queues one sealed message (kind 4 for control); false when refused.
  std::function<bool(std::uint8_t kind, std::vector<std::uint8_t> plaintext)> sendSealed;
  // Monotonic milliseconds.
  std::function<std::uint64_t()> now;
  // Host: the current shareable displays, primary first (at most 16).
  std::function<std::vector<ScreenInfo>()> enumerateDisplays;
  // Host: stop the streaming thread (joins it), and start it for (display, epoch, profile).
  std::function<void()> stopStreaming;
  std::function<void(std::int32_t display, std::int32_t epoch, std::int32_t profile)> startStreaming;
  // Host: erase every queued, unsent Frame item from the send queue.
  std::function<void()> removeQueuedFrames;
  // Both: release every key and button held for the peer (host) / local key tracking (viewer).
  std::function<void()> releaseHeldInput;
  // The status line.
  std::function<void(const std::string& status)> showStatus;
  // Viewer: drop the current remote picture and reset the view.
  std::function<void()> dropPicture;
  // Clears the controller's pairing deadline once the hello exchange is complete.
  std::function<void()> clearPairingDeadline;
  // Viewer: show the local-only notice until the given tick.
  std::function<void(std::uint64_t until)> showInputNotice;
  // Called after a "permissions" message changed what the peer allows (may be empty); the session
  // tools react to it (clipboard tracking, pending paste, running transfers).
  std::function<void(bool filesChanged, bool clipboardChanged)> peerPermissionsChanged;
  // Offers a message this protocol does not know to the session tools; false when they do not
  // know it either. May be empty (then every unknown message fails).
  std::function<bool(const Json& message)> toolsHandle;
};

class PeerControl {
 public:
  PeerControl(bool isHost, PeerControlHooks hooks);

  // Host, when the relay reports the ends connected: epoch 1, display 0, displays enumerated.
  // Throws "no display" when there is none. The controller then sends the binding, then Hello.
  void Start();
  // Host: queues "hello" (or "screen" with op "screen") from the current displays and state.
  void SendHello(const char* op = "hello");

  // Dispatches one opened control message. Throws on every protocol violation.
  void HandleControl(const Json& message);

  // Host: switch to another display or profile (re-enumerating when asked).
  void ReselectDisplay(std::int32_t index, std::int32_t profile, bool reenumerate);

  // Serialises and queues one control message; throws "feature send" when it cannot.
  void SendControl(const Json& message);
  void SendPermissions();
  void SendSelectDisplay(std::int32_t index, std::int32_t profile);  // viewer
  void SendReleaseInput();                                           // viewer; drops failures

  // The 500 ms tick: a ping every 3000 ms once hello is complete. Throws "feature send" when the
  // ping cannot be queued (the controller then ends the session).
  void ControlTick();

  // Host: the streaming thread's view of this epoch. Frames sent is raised by the streaming
  // thread; the acknowledged sequence by "frameAck".
  std::atomic<std::int32_t>& framesSent() noexcept { return framesSent_; }
  std::atomic<std::int32_t>& ackedSequence() noexcept { return ackedSequence_; }

  // Local permissions (set by the UI; announce with SendPermissions).
  bool allowControl = true;
  bool allowFiles = true;
  bool allowClipboard = true;

  bool isHost() const noexcept { return isHost_; }
  bool helloComplete() const noexcept { return helloComplete_; }
  std::int32_t epoch() const noexcept { return epoch_; }
  std::int32_t selectedDisplay() const noexcept { return selected_; }
  std::int32_t profile() const noexcept { return profile_; }
  const std::vector<ScreenInfo>& screens() const noexcept { return screens_; }
  bool peerControl() const noexcept { return peerControl_; }
  bool peerFiles() const noexcept { return peerFiles_; }
  bool peerClipboard() const noexcept { return peerClipboard_; }
  bool peerClipboardSync() const noexcept { return peerClipboardSync_; }
  bool peerInputStatus() const noexcept { return peerInputStatus_; }
  bool peerCaptureStatus() const noexcept { return peerCaptureStatus_; }
  const std::string& peerBuild() const noexcept { return peerBuild_; }
  const PeerCaptureStatus& captureStatus() const noexcept { return captureStatus_; }
  std::uint32_t inputError() const noexcept { return inputError_; }
  // Round-trip time of the last answered ping in ms, or -1 before the first.
  std::int64_t roundTripMs() const noexcept { return roundTripMs_; }
  std::uint64_t lastPingToken() const noexcept { return lastPingToken_; }

 private:
  void HandleHello(const Json& message, bool isScreen);
  void HandleHelloAck(const Json& message);
  void ReadCapabilities(const Json& message);
  void HandleInputStatus(const Json& message);
  void HandleCaptureStatus(const Json& message);
  void HandlePermissions(const Json& message);
  void HandleFrameAck(const Json& message);
  void HandlePong(const Json& message);
  Json PermissionsFields(Json message) const;

  const bool isHost_;
  PeerControlHooks hooks_;
  bool helloComplete_ = false;
  std::int32_t epoch_ = 0;
  std::int32_t selected_ = 0;
  std::int32_t profile_ = 0;
  std::vector<ScreenInfo> screens_;  // host: own displays; viewer: as received
  bool peerControl_ = false;
  bool peerFiles_ = false;
  bool peerClipboard_ = false;
  bool peerClipboardSync_ = false;
  bool peerInputStatus_ = false;
  bool peerCaptureStatus_ = false;
  std::string peerBuild_;
  PeerCaptureStatus captureStatus_;
  std::uint32_t inputError_ = 0;
  std::uint64_t lastPingToken_ = 0;
  std::uint64_t lastPingSent_ = 0;  // also the time hello completed, before the first ping
  bool pingSent_ = false;
  std::int64_t roundTripMs_ = -1;
  std::atomic<std::int32_t> framesSent_{0};
  std::atomic<std::int32_t> ackedSequence_{0};
};

}  // namespace ov
