// One bound peer session: made when the channel binding is confirmed (the host on "connected",
// the viewer on the binding message) and destroyed by the session reset. It owns everything that
// lives exactly as long as a session: the peer control protocol and the rooms of the features
// that run inside it, the host's stream and input, the viewer's display figures, the session
// tools. Destroying it is the per-session reset: the stream is stopped and joined, held input is
// released, the tools and their partial files go with it.
//
// UI thread only. It reaches the rest of the program through its owner and the platform only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/platform.h"
#include "app/viewer_input.h"
#include "screen/stream_thread.h"
#include "screen/viewer_display.h"
#include "session/display_info.h"
#include "session/peer_control.h"
#include "session/session_owner.h"
#include "tools/clipboard.h"
#include "tools/file_transfer.h"
#include "tools/session_tools.h"

namespace ov {

class PeerSession final : private PeerControlDelegate, private InputTarget, private PasteKeys {
 public:
  // What the host's stream was last asked to show, while its capture-and-stream thread runs.
  struct StreamTarget {
    DisplayInfo display;
    std::int32_t epoch = 0;
    std::int32_t profile = 0;
  };

  // `owner`, `platform`, `permissions` and `clipboard` must outlive the session.
  PeerSession(bool isHost, SessionOwner& owner, Platform& platform,
              const LocalPermissions& permissions, Clipboard& clipboard);
  ~PeerSession();
  PeerSession(const PeerSession&) = delete;
  PeerSession& operator=(const PeerSession&) = delete;

  // Host, as the relay reports the ends connected: display epoch 1 on display 0 of the displays
  // enumerated now (throws "no display"). The caller then sends the binding, then SendHello.
  void Start() { control_.Start(); }
  void SendHello() { control_.SendHello(); }

  // One opened message of the active session other than the binding, by sealed kind. Throws
  // ProtocolError (or the JSON library's error) for anything this session must not accept.
  void Dispatch(std::uint8_t kind, const std::vector<std::uint8_t>& plaintext);

  // The 500 ms duties: first the timed indicators, then (when the controller's deadlines leave
  // the session running) the figures and the ping. A failure of the ping ends the session
  // through the owner.
  void ExpireIndicators(std::uint64_t now);
  void Tick(std::uint64_t now);

  // Host: stops and joins the stream thread (the session reset does it before the connection
  // goes, so that the thread never queues on a closed link).
  void StopStream() { StopStreaming(); }

  // Viewer: the remote view's input capture (the window feeds it its messages).
  ViewerInput& input() noexcept { return input_; }
  // Host: the display configuration changed.
  void OnDisplayChange();
  // Host: a modal dialog of this program (its file picker) opened or closed. While one is open,
  // remote input is dropped; opening one releases what injection holds.
  void SetLocalModal(bool open);
  // Host: remote control is in force (the local user allows control and nothing local waits for
  // an answer), so injected clicks on the window may press its remote-safe commands.
  bool RemoteControlInForce() const noexcept;
  // Host: an injected press on a control the viewer may not use: tells the viewer (with the
  // input status capability, after hello) at most once a second.
  void ReportLocalOnly();
  // Viewer: asks the host for another display or quality (the display and quality menus); the
  // host answers with "screen". Throws "feature send" when it cannot be queued.
  void SelectDisplay(std::int32_t index, std::int32_t profile) {
    control_.SendSelectDisplay(index, profile);
  }
  // The local permissions changed from `before`: tells the peer (after the hello exchange); a
  // host that stops allowing control releases what injection holds; the clipboard's change
  // resets its synchronisation.
  void LocalPermissionsChanged(const LocalPermissions& before);
  // The session tools (chat and clipboard, file transfer): the commands act on them, the window
  // draws them.
  SessionToolsState& tools() noexcept { return tools_; }
  const SessionToolsState& tools() const noexcept { return tools_; }
  FileTransfer& files() noexcept { return files_; }
  const FileTransfer& files() const noexcept { return files_; }
  // The Files page's state line: of the chat-and-clipboard and the file statuses, the one set
  // last, even when it was set to the text it had (empty before either).
  const std::string& toolsStatus() const;
  // The window was told the clipboard changed.
  void OnClipboardChanged() { tools_.OnClipboardChanged(); }

  bool isHost() const noexcept { return control_.isHost(); }
  const PeerControl& control() const noexcept { return control_; }
  // Host: the stream asked for, if any.
  const std::optional<StreamTarget>& stream() const noexcept { return stream_; }
  // Viewer: the latest picture, the view and the figures (the view commands act on it), and the
  // local-only notice (shown until this tick; 0 = none).
  const ViewerDisplay& display() const noexcept { return display_; }
  ViewerDisplay& display() noexcept { return display_; }
  std::uint64_t inputNoticeUntil() const noexcept { return inputNoticeUntil_; }
  // Viewer: what the status line and the connection information show, for a window
  // `windowWidthDip` wide.
  ViewerFigures Figures(float windowWidthDip) const;

 private:
  // PeerControlDelegate.
  bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) override;
  std::uint64_t NowMs() override { return owner_.NowMs(); }
  std::vector<DisplayInfo> EnumerateDisplays() override { return platform_.EnumerateDisplays(); }
  void StopStreaming() override;
  void StartStreaming(const DisplayInfo& display, std::int32_t epoch,
                      std::int32_t profile) override;
  void RemoveQueuedFrames() override { owner_.RemoveQueuedFrames(); }
  void ReleaseHeldInput() override;
  void ShowStatus(const std::string& status) override { owner_.ShowStatus(status); }
  void DropPicture(bool newStream) override;
  void ClearPairingDeadline() override { owner_.ClearPairingDeadline(); }
  void ShowInputNotice(std::uint64_t until) override;
  void PeerPermissionsChanged(bool filesChanged, bool clipboardChanged) override;
  bool HandleToolsMessage(const Json& message) override;

  // InputTarget (viewer).
  void SendPointer(InputAction action, ClientPoint point, const ViewRect& area,
                   std::int32_t button, std::int32_t key) override;
  void SendInputEvent(InputAction action, std::int32_t x, std::int32_t y, std::int32_t button,
                      std::int32_t key) override;
  void SendReleaseInput() override { control_.SendReleaseInput(); }
  void ZoomStep(const ViewRect& area, float factor) override;
  void Pan(const ViewRect& area, float dx, float dy) override;
  void StartPaste() override { tools_.RemotePaste(); }
  void CancelPaste() override { tools_.CancelPaste(); }
  // PasteKeys (viewer).
  void SendKey(bool down, int virtualKey) override {
    SendInputEvent(down ? InputAction::KeyDown : InputAction::KeyUp, 0, 0, 0, virtualKey);
  }
  bool LocalCtrlDown() override { return input_.controlHeld(); }

  void HandleInput(const Json& event);
  // Host: an incoming request waits for the local user's answer, or a modal dialog is open.
  bool LocalAnswerPending() const noexcept;
  void HandleFrame(const std::vector<std::uint8_t>& frame);
  void HandleRegionFrame(const std::vector<std::uint8_t>& frame);

  // Where the host's stream thread sends: the owner's queue, and the end event under the
  // generation of the connection it was started on (a stream being stopped on purpose no longer
  // reports one: StreamThread::Stop).
  class StreamOutput final : public StreamSink {
   public:
    StreamOutput(SessionOwner& owner, std::uint32_t generation)
        : owner_(owner), generation_(generation) {}
    bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) override {
      return owner_.SendSealed(kind, std::move(plaintext));
    }
    void StreamEnded(const std::string& reason) override { owner_.PostEndEvent(generation_, reason); }

   private:
    SessionOwner& owner_;
    const std::uint32_t generation_;
  };

  SessionOwner& owner_;
  Platform& platform_;
  const LocalPermissions& permissions_;
  PeerControl control_;
  std::optional<StreamTarget> stream_;         // host
  std::unique_ptr<StreamOutput> streamOutput_;  // host; outlives streamThread_
  std::unique_ptr<StreamThread> streamThread_;  // host
  ViewerDisplay display_;                       // viewer
  SessionToolsState tools_;
  PeerControlGate filesGate_;
  FileTransfer files_;
  ViewerInput input_{*this};                    // viewer
  std::uint64_t inputNoticeUntil_ = 0;          // viewer
  bool localModal_ = false;                     // host
  std::uint32_t lastReportedInput_ = 0;         // host: the last code sent in "inputStatus"
  std::uint64_t lastInputReport_ = 0;           // host: when it was sent
  std::uint64_t lastLocalOnlyReport_ = 0;       // host: when "localOnly" was last sent
  bool localOnlyReported_ = false;
};

}  // namespace ov
