#include "tools/session_tools.h"

#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "base/protocol_error.h"
#include "crypto/crypto_session.h"
#include "session/status_texts.h"
#include "tools/tools_texts.h"
#include "tools/utf16.h"

namespace ov {
namespace {

constexpr std::uint64_t kMaxToken = 0xFFFFFFFFULL;
constexpr char16_t kArrowReceived = u'\u2190';
constexpr char16_t kArrowSent = u'\u2192';

// A member holding a non-negative JSON integer (floating-point numbers are refused), or nullopt
// when it is absent or anything else.
std::optional<std::uint64_t> UnsignedMember(const Json& message, const char* name) {
  const auto it = message.find(name);
  if (it == message.end() || !it->is_number_integer()) return std::nullopt;
  if (it->is_number_unsigned()) return it->get<std::uint64_t>();
  const auto value = it->get<std::int64_t>();
  if (value < 0) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

// A member holding a JSON boolean, or nullopt when it is absent or anything else.
std::optional<bool> BoolMember(const Json& message, const char* name) {
  const auto it = message.find(name);
  if (it == message.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

// The member "text" of a received message: a string (else the library's error) of valid UTF-8
// without NUL characters.
std::u16string TextMember(const Json& message) {
  return Utf8ToUtf16(message.at("text").get_ref<const std::string&>());
}

Json Op(const char* name) {
  Json message = Json::object();
  message["op"] = name;
  return message;
}

}  // namespace

SessionToolsState::SessionToolsState(SessionOwner& owner, const PeerControl& control,
                                     const LocalPermissions& local, Clipboard& clipboard,
                                     PasteKeys& keys)
    : owner_(owner), control_(control), local_(local), clipboard_(clipboard), keys_(keys) {}

bool SessionToolsState::SyncAllowed() const noexcept {
  return ready() && local_.clipboard && control_.peerClipboard() && control_.peerClipboardSync();
}

bool SessionToolsState::HandleMessage(const Json& message) {
  const std::string& op = message.at("op").get_ref<const std::string&>();
  if (!ready()) Fail("features before negotiation");
  if (op == "chat") {
    HandleChat(message);
  } else if (op == "clipboardSync") {
    HandleClipboardSync(message);
  } else if (op == "clipboard") {
    HandleClipboard(message);
  } else if (op == "clipboardAck") {
    HandleClipboardAck(message);
  } else {
    return false;
  }
  return true;
}

void SessionToolsState::HandleChat(const Json& message) {
  const std::u16string text = TextMember(message);
  if (text.empty() || text.size() > kChatTextLimit) Fail("chat limit");
  const std::uint64_t now = owner_.NowMs();
  // Unsigned difference: a clock that went back also starts a new window.
  if (now - chatWindowStart_ > kChatRateWindowMs) {
    chatWindowStart_ = now;
    chatWindowCount_ = 0;
  }
  if (++chatWindowCount_ > kChatRateLines) Fail("chat rate");
  AppendChatLine(kArrowReceived, text);
  owner_.Repaint();
}

void SessionToolsState::HandleClipboardSync(const Json& message) {
  const std::u16string text = TextMember(message);
  const std::optional<std::uint64_t> token = UnsignedMember(message, "token");
  if (text.size() > kClipboardTextLimit || !token) Fail("clipboard sync limit");
  if (*token > kMaxToken) Fail("clipboard token bound");
  const bool applied = SyncAllowed() && ApplyClipboard(text);
  if (*token != 0) {
    Json ack = Op("clipboardAck");
    ack["token"] = *token;
    ack["applied"] = applied;
    SendToolMessage(ack);
  }
}

void SessionToolsState::HandleClipboard(const Json& message) {
  std::u16string text = TextMember(message);
  if (text.empty() || text.size() > kClipboardTextLimit) Fail("clipboard limit");
  // Without the local permission, or while the user has not answered the last one, the text is
  // dropped: the sender learns nothing either way.
  if (!local_.clipboard || requestPending_) return;
  clipboardRequest_ = std::move(text);
  requestPending_ = true;
  clipboardRequestTime_ = owner_.NowMs();
  SetToolsStatus(kToolsClipboardRequest);
}

void SessionToolsState::HandleClipboardAck(const Json& message) {
  if (control_.isHost() || !control_.peerClipboardSync()) Fail("clipboard acknowledgement");
  const std::optional<std::uint64_t> token = UnsignedMember(message, "token");
  const std::optional<bool> applied = BoolMember(message, "applied");
  if (!token || !applied) Fail("clipboard acknowledgement");
  if (*token == 0 || *token > kMaxToken) Fail("clipboard acknowledgement token");
  if (*token != pasteToken_) return;  // not the paste in flight: one already dropped
  pasteToken_ = 0;
  if (*applied && SyncAllowed() && control_.peerControl() &&
      owner_.NowMs() <= pasteDeadline_) {
    keys_.SendKey(true, kVirtualKeyControl);
    keys_.SendKey(true, kVirtualKeyV);
    keys_.SendKey(false, kVirtualKeyV);
    if (!keys_.LocalCtrlDown()) keys_.SendKey(false, kVirtualKeyControl);
    owner_.ShowStatus(kStatusEncrypted);
  } else {
    owner_.ShowStatus(kStatusPasteCancelled);
  }
}

void SessionToolsState::Tick(std::uint64_t now) {
  if (pasteToken_ != 0 && now > pasteDeadline_) {
    pasteToken_ = 0;
    owner_.ShowStatus(kStatusPasteCancelled);
  }
  if (requestPending_ && now - clipboardRequestTime_ > kClipboardRequestLifeMs) {
    DiscardClipboardRequest();
  }
  SyncClipboard();
}

void SessionToolsState::LocalClipboardPermissionChanged(const std::function<void()>& announce) {
  pasteToken_ = 0;
  lastClipboardSequence_ = 0;
  if (requestPending_) DiscardClipboardRequest();
  // The peer learns the new permission before any text that it now lets through.
  if (announce) announce();
  SyncClipboard();
  owner_.ShowStatus(kStatusEnableClipboardSync);
}

void SessionToolsState::PeerClipboardPermissionChanged() {
  lastClipboardSequence_ = 0;
  if (!control_.peerClipboard()) pasteToken_ = 0;
}

void SessionToolsState::SendChat(std::u16string_view text) {
  if (!ready() || text.empty() || text.size() > kChatTextLimit) Fail("chat limit");
  Json message = Op("chat");
  message["text"] = Utf16ToUtf8(text);
  SendToolMessage(message);
  AppendChatLine(kArrowSent, text);
  owner_.Repaint();
}

void SessionToolsState::SetToolsStatus(const char* status) {
  toolsStatus_ = status;
  toolsStatusStamp_ = NextChangeStamp();
}

void SessionToolsState::SendClipboard() {
  if (!ready() || !control_.peerClipboard()) {
    owner_.ShowStatus(kStatusPermissionDisabled);
    return;
  }
  const std::optional<std::u16string> text = clipboard_.ReadText();
  if (!text) Fail("clipboard busy");
  if (text->empty() || text->size() > kClipboardTextLimit) Fail("clipboard limit or permission");
  Json message = Op("clipboard");
  message["text"] = Utf16ToUtf8(*text);
  SendToolMessage(message);
  SetToolsStatus(kToolsSent);
  owner_.ShowStatus(kToolsSent);
}

void SessionToolsState::AcceptClipboardRequest() {
  if (!local_.clipboard || !requestPending_) return;
  if (!ApplyClipboard(clipboardRequest_)) Fail("clipboard write");
  DiscardClipboardRequest();
  SetToolsStatus(kToolsCompleted);
  owner_.ShowStatus(kToolsCompleted);
}

void SessionToolsState::DeclineClipboardRequest() {
  if (requestPending_) DiscardClipboardRequest();
}

void SessionToolsState::RemotePaste() {
  if (control_.isHost() || !control_.peerControl() || pasteToken_ != 0) return;
  if (!SyncAllowed()) {
    owner_.ShowStatus(kStatusEnableClipboardSync);
    return;
  }
  // The sequence number is taken before the text: a change in between is sent again later
  // rather than lost.
  const std::uint32_t sequence = clipboard_.SequenceNumber();
  const std::optional<std::u16string> text = clipboard_.ReadText();
  if (!text || text->empty()) {
    owner_.ShowStatus(kStatusPasteCancelled);
    return;
  }
  pasteCounter_ = pasteCounter_ == 0xFFFFFFFFu ? 1 : pasteCounter_ + 1;
  pasteToken_ = pasteCounter_;
  pasteDeadline_ = owner_.NowMs() + kPasteDeadlineMs;
  try {
    SendClipboardSync(*text, pasteToken_);
  } catch (const std::exception&) {
    pasteToken_ = 0;
    owner_.ShowStatus(kStatusPasteCancelled);
    return;
  }
  lastClipboardSequence_ = sequence;
}

void SessionToolsState::SendToolMessage(const Json& message) {
  const std::string text = SerializeMessage(message);
  if (text.size() > kControlMessageLimit) Fail("feature send");
  if (!owner_.SendSealed(static_cast<std::uint8_t>(SealedKind::Control),
                         std::vector<std::uint8_t>(text.begin(), text.end()))) {
    Fail("feature send");
  }
}

void SessionToolsState::SendClipboardSync(std::u16string_view text, std::uint32_t token) {
  if (!SyncAllowed() || text.size() > kClipboardTextLimit) Fail("clipboard sync permission");
  Json message = Op("clipboardSync");
  message["text"] = Utf16ToUtf8(text);
  message["token"] = token;
  SendToolMessage(message);
}

bool SessionToolsState::ApplyClipboard(std::u16string_view text) {
  if (!clipboard_.WriteText(text)) return false;
  lastClipboardSequence_ = clipboard_.SequenceNumber();
  return true;
}

void SessionToolsState::SyncClipboard() {
  if (!SyncAllowed() || pasteToken_ != 0) return;
  const std::uint32_t sequence = clipboard_.SequenceNumber();
  if (sequence == 0 || sequence == lastClipboardSequence_) return;
  try {
    const std::optional<std::u16string> text = clipboard_.ReadText();
    if (!text) {
      owner_.ShowStatus(kStatusPasteCancelled);  // busy: the next tick tries again
      return;
    }
    SendClipboardSync(*text, 0);
  } catch (const std::exception& e) {
    owner_.ShowStatus(kStatusPasteCancelled);
    // A text that no message can carry stays unsendable: it is reported once, not on every
    // tick until the clipboard changes. A refused send is tried again at the next tick.
    if (std::string_view(e.what()) == "invalid Unicode") lastClipboardSequence_ = sequence;
    return;
  }
  lastClipboardSequence_ = sequence;
}

void SessionToolsState::AppendChatLine(char16_t arrow, std::u16string_view text) {
  std::u16string line;
  line.reserve(text.size() + 2);
  line.push_back(arrow);
  line.push_back(u' ');
  line.append(text);
  chatLog_.push_back(std::move(line));
  while (chatLog_.size() > kChatLogLines) chatLog_.pop_front();
  chatLogStamp_ = NextChangeStamp();
}

void SessionToolsState::DiscardClipboardRequest() {
  clipboardRequest_.clear();
  requestPending_ = false;
  clipboardRequestTime_ = 0;
  owner_.RequestLayout();
}

}  // namespace ov
