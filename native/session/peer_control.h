// The peer control protocol: the JSON control messages that host and viewer exchange inside
// sealed Control messages once the channel is bound — hello and its acknowledgement,
// capabilities, permissions, display and quality choice, capture and input status, frame
// acknowledgements and the liveness ping — and the display epoch that ties frames, input and
// status to one display choice.
//
// One PeerControl exists per session, owned by the peer session and used on the UI thread only
// (the two atomics are read by the streaming thread). Every failure of a received message is
// thrown as ProtocolError with a fixed reason (or the JSON library's own exception); the
// controller ends the session on any of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "base/json_codec.h"
#include "session/display_info.h"

namespace ov {

inline constexpr int kControlProtocolVersion = 3;
inline constexpr char kProgramBuild[] = "0.3.9";

// The local user's permissions. They outlive every session (the controller owns them) and are
// never stored: files on and clipboard off when the program starts; control is the host's only.
struct LocalPermissions {
  bool control = true;
  bool files = true;
  bool clipboard = false;
};

// What the protocol needs from the session it runs in. None of the members may call back into
// PeerControl.
class PeerControlDelegate {
 public:
  PeerControlDelegate() = default;
  PeerControlDelegate(const PeerControlDelegate&) = delete;
  PeerControlDelegate& operator=(const PeerControlDelegate&) = delete;
  virtual ~PeerControlDelegate() = default;

  // Queues one sealed message (kind 4 for control); false when refused.
  virtual bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) = 0;
  // Monotonic milliseconds.
  virtual std::uint64_t NowMs() = 0;
  // Host: the current shareable displays, primary first.
  virtual std::vector<DisplayInfo> EnumerateDisplays() = 0;
  // Host: stops the stream (joining its thread), or starts it on `display` under `epoch`.
  virtual void StopStreaming() = 0;
  virtual void StartStreaming(const DisplayInfo& display, std::int32_t epoch,
                              std::int32_t profile) = 0;
  // Host: erases every queued, unsent Frame item from the send queue.
  virtual void RemoveQueuedFrames() = 0;
  // Host: releases every key and button held for the peer.
  virtual void ReleaseHeldInput() = 0;
  virtual void ShowStatus(const std::string& status) = 0;
  // Viewer: drops the current remote picture; `newStream` (the host's hello or screen) also
  // resets the view, while a desktop that became unavailable keeps it.
  virtual void DropPicture(bool newStream) = 0;
  // The hello exchange completed: the controller's pairing deadline is cleared.
  virtual void ClearPairingDeadline() = 0;
  // Viewer: shows the local-only notice until the given tick.
  virtual void ShowInputNotice(std::uint64_t until) = 0;
  // A "permissions" message changed what the peer allows; the session tools react (clipboard
  // tracking, a pending paste, running transfers).
  virtual void PeerPermissionsChanged(bool filesChanged, bool clipboardChanged) = 0;
  // Offers a message this protocol does not know to the session tools: true when they handled
  // it, false when they do not know it either (the message then fails "unknown feature").
  virtual bool HandleToolsMessage(const Json& message) = 0;
};

class PeerControl {
 public:
  // `delegate` and `local` must outlive the PeerControl.
  PeerControl(bool isHost, PeerControlDelegate& delegate, const LocalPermissions& local);
  PeerControl(const PeerControl&) = delete;
  PeerControl& operator=(const PeerControl&) = delete;

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
  // Host: set by the viewer's "frameRequest" for the current epoch, taken by the stream.
  std::atomic<bool>& wholePictureRequested() noexcept { return wholePictureRequested_; }
  std::atomic<std::int32_t>& ackedSequence() noexcept { return ackedSequence_; }
  const std::atomic<std::int32_t>& framesSent() const noexcept { return framesSent_; }
  const std::atomic<std::int32_t>& ackedSequence() const noexcept { return ackedSequence_; }

  bool isHost() const noexcept { return isHost_; }
  bool helloComplete() const noexcept { return helloComplete_; }
  std::int32_t epoch() const noexcept { return epoch_; }
  std::int32_t selectedDisplay() const noexcept { return selected_; }
  std::int32_t profile() const noexcept { return profile_; }
  // Host: its own displays as enumerated. Viewer: the host's screens as announced.
  const std::vector<DisplayInfo>& displays() const noexcept { return displays_; }
  const std::vector<ScreenInfo>& screens() const noexcept { return screens_; }
  bool peerControl() const noexcept { return peerControl_; }
  bool peerFiles() const noexcept { return peerFiles_; }
  bool peerClipboard() const noexcept { return peerClipboard_; }
  bool peerClipboardSync() const noexcept { return peerClipboardSync_; }
  bool peerInputStatus() const noexcept { return peerInputStatus_; }
  bool peerCaptureStatus() const noexcept { return peerCaptureStatus_; }
  // Changed-region frames: announced by this end (on by default; off behaves as a peer that
  // predates them) and used only when the peer announced them too.
  void AnnounceRegionFrames(bool announce) noexcept { announceRegions_ = announce; }
  bool regionFrames() const noexcept { return announceRegions_ && peerRegionFrames_; }
  // Viewer: asks the host for a whole picture of the current epoch (region frames only);
  // throws "feature send" when it cannot be queued.
  void SendFrameRequest();
  const std::string& peerBuild() const noexcept { return peerBuild_; }
  const CaptureStatus& captureStatus() const noexcept { return captureStatus_; }
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
  void HandleFrameRequest(const Json& message);
  void HandlePong(const Json& message);
  Json PermissionsFields(Json message) const;

  void EnumerateOwnDisplays();

  const bool isHost_;
  PeerControlDelegate& delegate_;
  const LocalPermissions& local_;
  bool helloComplete_ = false;
  std::int32_t epoch_ = 0;
  std::int32_t selected_ = 0;
  std::int32_t profile_ = 0;
  std::vector<DisplayInfo> displays_;  // host
  std::vector<ScreenInfo> screens_;    // viewer
  bool peerControl_ = false;
  bool peerFiles_ = false;
  bool peerClipboard_ = false;
  bool peerClipboardSync_ = false;
  bool peerInputStatus_ = false;
  bool peerCaptureStatus_ = false;
  bool peerRegionFrames_ = false;
  bool announceRegions_ = true;
  std::string peerBuild_;
  CaptureStatus captureStatus_;
  std::uint32_t inputError_ = 0;
  std::uint64_t lastPingToken_ = 0;
  std::uint64_t lastPingSent_ = 0;  // also the time hello completed, before the first ping
  bool pingSent_ = false;
  std::int64_t roundTripMs_ = -1;
  std::atomic<std::int32_t> framesSent_{0};
  std::atomic<std::int32_t> ackedSequence_{0};
  std::atomic<bool> wholePictureRequested_{false};
};

}  // namespace ov
