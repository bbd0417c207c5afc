// Chat and clipboard text inside one peer session: the chat lines and their log, clipboard text
// sent by hand and held for the local user's approval, automatic clipboard synchronisation, and
// the viewer's remote paste (Ctrl+V in the viewer pastes the viewer's clipboard into the remote
// application: the text goes first, the keystrokes once the host confirms it holds it).
//
// One SessionToolsState lives in each peer session and is destroyed with it; that is its reset.
// UI thread only. Every message goes out as one sealed Control message through the owner.
//
// Failures: a received message that breaks a rule throws ProtocolError with a fixed reason (or
// the JSON library's own exception for a missing or mistyped member); the caller ends the
// session. Local actions throw ProtocolError with their reason too; their caller (the command
// dispatcher) shows that the action failed and the session goes on. The clipboard change report,
// the tick and the paste never throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "base/json_codec.h"
#include "session/peer_control.h"
#include "session/session_owner.h"
#include "tools/change_stamp.h"
#include "tools/clipboard.h"

namespace ov {

inline constexpr std::size_t kChatTextLimit = 1000;    // UTF-16 units
inline constexpr std::size_t kChatLogLines = 50;
inline constexpr std::uint32_t kChatRateLines = 50;    // lines received per window
inline constexpr std::uint64_t kChatRateWindowMs = 10000;
inline constexpr std::uint64_t kClipboardRequestLifeMs = 45000;
inline constexpr std::uint64_t kPasteDeadlineMs = 5000;
// The two Windows virtual keys the paste types on the host.
inline constexpr int kVirtualKeyControl = 17;
inline constexpr int kVirtualKeyV = 86;

// The viewer's input, as far as the paste needs it.
class PasteKeys {
 public:
  PasteKeys() = default;
  PasteKeys(const PasteKeys&) = delete;
  PasteKeys& operator=(const PasteKeys&) = delete;
  virtual ~PasteKeys() = default;

  // Sends one key event of the viewer's input to the host ("keydown" or "keyup" of `virtualKey`
  // under the current display epoch).
  virtual void SendKey(bool down, int virtualKey) = 0;
  // Whether the local user holds a Ctrl key down at this moment.
  virtual bool LocalCtrlDown() = 0;
};

class SessionToolsState {
 public:
  // `owner`, `control`, `local`, `clipboard` and `keys` must outlive the object. `control` is the
  // session's protocol: its finished hello exchange makes the tools ready, and it holds the
  // peer's permissions and capabilities. `local` holds this user's permissions.
  SessionToolsState(SessionOwner& owner, const PeerControl& control, const LocalPermissions& local,
                    Clipboard& clipboard, PasteKeys& keys);
  SessionToolsState(const SessionToolsState&) = delete;
  SessionToolsState& operator=(const SessionToolsState&) = delete;

  // One received control message that the protocol did not handle. True when it was a chat or
  // clipboard message and has been handled; false for any other op (file transfer, or unknown).
  // Every op fails "features before negotiation" before the hello exchange has finished.
  // After true, when clipboardRequestPending() has become true, the caller releases the input
  // held for the peer and lays the window out again, in that order, so the prompt shows.
  bool HandleMessage(const Json& message);

  // The 500 ms tick: a paste past its deadline is dropped, a clipboard request older than 45 s
  // is discarded, and the clipboard is synchronised.
  void Tick(std::uint64_t now);

  // The window was told the clipboard changed (WM_CLIPBOARDUPDATE): synchronise it.
  void OnClipboardChanged() { SyncClipboard(); }

  // The local clipboard permission has been switched (the user already confirmed switching it
  // on). Drops the paste and a pending request, starts change tracking afresh, calls `announce`
  // (which sends this end's permissions to the peer, PeerSession::AnnouncePermissions; whatever
  // it throws passes through), synchronises once and tells the user that both ends must allow
  // it.
  void LocalClipboardPermissionChanged(const std::function<void()>& announce);
  // The peer's clipboard permission changed (PeerControl already holds the new value): the
  // current clipboard is sent again at the next chance, and a paste in flight is dropped when the
  // peer no longer allows the clipboard.
  void PeerClipboardPermissionChanged();

  // Command "Send" of the Chat page. Throws "chat limit" before the hello exchange has finished
  // or for a text of no or more than 1000 units, "invalid Unicode", "feature send".
  void SendChat(std::u16string_view text);
  // Command "Send clipboard": the local clipboard text, for the peer's user to accept. Without
  // the peer's permission only the status line says so. Throws "clipboard busy" when the
  // clipboard cannot be opened, "clipboard limit or permission" for an empty text,
  // "invalid Unicode", "feature send".
  void SendClipboard();
  // The prompt's "Allow": writes the pending text to the local clipboard (throws "clipboard
  // write", keeping the request, when it cannot). "Decline" discards it. Both do nothing without
  // a pending request.
  void AcceptClipboardRequest();
  void DeclineClipboardRequest();

  // Viewer: Ctrl+V in the remote view (a first press; repeats are the caller's to drop). Sends
  // the local clipboard text with a fresh token; the keystrokes follow the host's confirmation.
  // Every failure only shows on the status line.
  void RemotePaste();
  // Viewer: the window lost the keyboard focus or is being minimised; a paste in flight is
  // dropped and its confirmation will be ignored.
  void CancelPaste() noexcept { pasteToken_ = 0; }

  // What the window draws: the chat log (oldest first, each line "← " or "→ " and the text),
  // the pending clipboard text, the Files-page state (a catalogue key, empty until the first).
  const std::deque<std::u16string>& chatLog() const noexcept { return chatLog_; }
  // When a line last joined the chat log (NextChangeStamp; 0 while it is empty).
  std::uint64_t chatLogStamp() const noexcept { return chatLogStamp_; }
  bool clipboardRequestPending() const noexcept { return requestPending_; }
  const std::u16string& clipboardRequest() const noexcept { return clipboardRequest_; }
  const std::string& toolsStatus() const noexcept { return toolsStatus_; }
  // When toolsStatus was last set (NextChangeStamp; 0 before the first).
  std::uint64_t toolsStatusStamp() const noexcept { return toolsStatusStamp_; }
  bool pasteInFlight() const noexcept { return pasteToken_ != 0; }
  std::uint32_t pasteToken() const noexcept { return pasteToken_; }
  std::uint32_t lastClipboardSequence() const noexcept { return lastClipboardSequence_; }

 private:
  bool ready() const noexcept { return control_.helloComplete(); }
  // Both ends allow the clipboard and the peer understands synchronisation.
  bool SyncAllowed() const noexcept;
  void SetToolsStatus(const char* status);

  void HandleChat(const Json& message);
  void HandleClipboard(const Json& message);
  void HandleClipboardSync(const Json& message);
  void HandleClipboardAck(const Json& message);

  // Serialises and queues one message; throws "feature send" when it cannot.
  void SendToolMessage(const Json& message);
  // Throws "clipboard sync permission" unless synchronisation is allowed and the text fits.
  void SendClipboardSync(std::u16string_view text, std::uint32_t token);
  // Writes received text to the local clipboard, recording the change as this program's own so
  // that it is not sent back. False when it could not be written.
  bool ApplyClipboard(std::u16string_view text);
  // Sends the clipboard when it changed since it was last sent or written; never throws.
  void SyncClipboard();
  void AppendChatLine(char16_t arrow, std::u16string_view text);
  void DiscardClipboardRequest();

  SessionOwner& owner_;
  const PeerControl& control_;
  const LocalPermissions& local_;
  Clipboard& clipboard_;
  PasteKeys& keys_;

  std::deque<std::u16string> chatLog_;
  std::uint64_t chatLogStamp_ = 0;
  std::uint64_t chatWindowStart_ = 0;
  std::uint32_t chatWindowCount_ = 0;

  bool requestPending_ = false;
  std::u16string clipboardRequest_;
  std::uint64_t clipboardRequestTime_ = 0;
  std::string toolsStatus_;
  std::uint64_t toolsStatusStamp_ = 0;

  std::uint32_t pasteToken_ = 0;  // 0 = no paste in flight
  std::uint64_t pasteDeadline_ = 0;
  std::uint32_t pasteCounter_ = 0;
  std::uint32_t lastClipboardSequence_ = 0;  // last sent or written by this program
};

}  // namespace ov
