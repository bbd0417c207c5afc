#include "app/commands.h"

#include <cstdio>
#include <stdexcept>
#include <string_view>

#include "base/secure_memory.h"
#include "crypto/primitives.h"
#include "tools/file_texts.h"
#include "tools/tools_texts.h"
#include "tools/utf16.h"

namespace ov {
namespace {

// The Files page's own note, as the answer to a destination that cannot take the file.
constexpr char kChooseNtfsNameStatus[] =
    "Choose a new name on an NTFS drive. Existing files are not replaced.";

std::wstring WidenAscii(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// A size as the file prompt shows it: in KiB with one decimal, as on the Files page's line.
std::wstring FileSizeText(std::uint64_t size) {
  wchar_t text[32];
  std::swprintf(text, 32, L"%.1f KiB", static_cast<double>(size) / 1024.0);
  return text;
}

// "Send clipboard" can go: the hello exchange is complete and the peer allows its clipboard.
bool CanSendClipboard(const Client& client) {
  const PeerSession* session = client.session();
  return session != nullptr && session->control().helloComplete() &&
         session->control().peerClipboard();
}

UpdateCardState CardStateOf(UpdateState state) {
  return static_cast<UpdateCardState>(static_cast<int>(state));
}

}  // namespace

MainView MakeMainView(const Client& client) {
  MainView view;
  view.previewMode = client.previewMode();
  view.viewerRole = client.viewerRole();
  view.sessionActive = client.sessionActive();
  view.registered = client.registered();
  view.toolsUp = client.toolsUp() && client.session()->control().helloComplete();
  view.busy = client.busy();
  view.gateOpen = client.updateGateOpen();
  view.updateState = CardStateOf(client.updateState());
  const UpdateSnapshot& update = client.updateSnapshot();
  view.newVersion = update.version;
  view.progress = static_cast<int>(update.percent);
  view.updateError = update.error;
  view.deviceId = client.deviceId();
  view.password = &client.sessionPassword();
  view.status = client.status();
  view.approval = client.approvalSetting();
  view.allowControl = client.permissions().control;
  view.allowFiles = client.permissions().files;
  view.allowClipboard = client.permissions().clipboard;
  view.prompt = client.consentPending() ? PromptKind::Connection : PromptKind::None;
  if (const PeerSession* session = client.session()) {
    const SessionToolsState& tools = session->tools();
    if (view.prompt == PromptKind::None && tools.clipboardRequestPending()) {
      view.prompt = PromptKind::Clipboard;
      view.promptDetail = Utf16ToWide(tools.clipboardRequest());
    }
    view.toolsStatus = session->toolsStatus();
    if (view.prompt == PromptKind::None && session->files().pendingOffer()) {
      const auto& offer = *session->files().pendingOffer();
      view.prompt = PromptKind::File;
      view.promptDetail = Utf16ToWide(offer.name) + L" (" + FileSizeText(offer.size) + L")";
    }
    view.canSendClipboard = CanSendClipboard(client);
    view.selectedDisplay = session->control().selectedDisplay();
    if (!session->isHost()) {
      const ViewerDisplay& display = session->display();
      if (display.picture()) view.picture = &*display.picture();
      view.viewState = display.view();
      view.firstFrameShown = view.picture != nullptr;
      view.fitMode = display.view().fit;
      view.zoom = display.view().zoom;
    }
  }
  return view;
}

CommandDispatcher::CommandDispatcher(Client& client, UiState& ui, WindowEffects& effects,
                                     Clock& clock, SettingsStore* settings)
    : client_(client), ui_(ui), effects_(effects), clock_(clock), settings_(settings) {}

void CommandDispatcher::Dispatch(int command) {
  if (!CommandPassesGate(command, client_.updateGateOpen())) return;
  try {
    Run(command);
  } catch (const std::exception&) {
    client_.ShowStatusLine(kStatusActionFailed);
  }
}

bool CommandDispatcher::OnEscape() {
  if (!client_.consentPending()) return false;
  Dispatch(cmd::kRejectConnection);
  return true;
}

void CommandDispatcher::Run(int command) {
  switch (command) {
    case cmd::kConnect:
      client_.ConnectToDevice();
      return;
    case cmd::kCopyId:
    case cmd::kCopyPassword:
      return Copy(command);
    case cmd::kShowPassword:
      ui_.passwordRevealed = !ui_.passwordRevealed;
      return effects_.Relayout();
    case cmd::kNewCredentials:
    case cmd::kDisconnect:
      return client_.RegisterAsHost();
    case cmd::kConnections:
    case cmd::kRemoteDesktop:
      ui_.page = 0;
      return effects_.Relayout();
    case cmd::kSecurity:
      ui_.page = 1;
      return effects_.Relayout();
    case cmd::kFiles:
      ui_.page = 2;
      return effects_.Relayout();
    case cmd::kChat:
      ui_.page = 3;
      return effects_.Relayout();
    case cmd::kAllowConnection:
      return client_.DecideConsent(true);
    case cmd::kRejectConnection:
      return client_.DecideConsent(false);
    case cmd::kMinimize:
      // The window's minimise handling masks the password and releases remote input.
      return effects_.Minimize();
    case cmd::kMaximize:
      if (effects_.FullScreen()) return effects_.SetFullScreen(false);
      return effects_.ToggleMaximize();
    case cmd::kFullScreen:
      return effects_.SetFullScreen(!effects_.FullScreen());
    case cmd::kFit:
    case cmd::kZoomIn:
    case cmd::kZoomOut:
    case cmd::kActualSize:
    case cmd::kZoomMenu:
    case cmd::kDisplayMenu:
    case cmd::kQualityMenu:
    case cmd::kConnectionInfo:
      return ViewCommand(command);
    case cmd::kSendFile:
    case cmd::kCancelTransfer:
    case cmd::kSaveFileAs:
    case cmd::kRejectFile:
      return FileCommand(command);
    case cmd::kSendChat:
    case cmd::kSendClipboard:
    case cmd::kAllowClipboard:
    case cmd::kRejectClipboard:
      return ToolsCommand(command);
    case cmd::kClose:
      return effects_.Close();
    case cmd::kApproval:
      return ToggleApproval();
    case cmd::kAllowControl:
    case cmd::kAllowFiles:
    case cmd::kSyncClipboard:
      return TogglePermission(command);
    case cmd::kMoreTools: {
      if (!client_.viewerRole() || !client_.toolsUp()) return;
      const int chosen = ChooseInSession(
          ToolsMenu(CanSendClipboard(client_), client_.permissions().clipboard));
      if (chosen != 0 && chosen != cmd::kMoreTools) Run(chosen);
      return;
    }
    case cmd::kUpdate:
    case cmd::kTryAgain:
      if (client_.previewMode()) return;
      if (command == cmd::kTryAgain) return client_.StartUpdateCheck();
      return client_.StartUpdateDownload();
    case cmd::kShowDownload:
      if (client_.updateState() != UpdateState::Downloaded) return;
      if (client_.updateSnapshot().file.empty()) throw std::runtime_error("no downloaded file");
      return effects_.ShowFileInFolder(client_.updateSnapshot().file);
    default:
      if (command > cmd::kZoomPercentBase && command <= cmd::kZoomPercentBase + 400) {
        return ViewCommand(command);
      }
      // Tools commands belong to features that answer them when present; without one the
      // command cannot be carried out.
      throw std::runtime_error("command unavailable");
  }
}

void CommandDispatcher::ToolsCommand(int command) {
  PeerSession* session = client_.toolsSession();
  if (session == nullptr) throw std::runtime_error("command unavailable");
  SessionToolsState& tools = session->tools();
  switch (command) {
    case cmd::kSendChat: {
      // The box keeps its text when it cannot be sent.
      tools.SendChat(effects_.ReadChatText());
      effects_.ClearChatText();
      break;
    }
    case cmd::kSendClipboard:
      tools.SendClipboard();
      break;
    case cmd::kAllowClipboard:
      tools.AcceptClipboardRequest();
      break;
    case cmd::kRejectClipboard:
      tools.DeclineClipboardRequest();
      break;
    default:
      break;
  }
  effects_.Relayout();
}

int CommandDispatcher::ChooseInSession(const std::vector<MenuItem>& items) {
  const std::uint64_t serial = client_.sessionSerial();
  const int chosen = effects_.ChooseFromMenu(items);
  // The menu ran the message loop: the session may have ended (and been destroyed) meanwhile.
  if (client_.sessionSerial() != serial || client_.session() == nullptr) return 0;
  return chosen;
}

std::u16string CommandDispatcher::ChooseFileInSession(bool save, const std::u16string& name) {
  const std::uint64_t serial = client_.sessionSerial();
  client_.SetLocalModal(true);
  std::u16string path = effects_.ChooseFile(save, name);
  client_.SetLocalModal(false);
  // The dialog ran the message loop: the session may have ended or another begun meanwhile.
  if (client_.sessionSerial() != serial || client_.toolsSession() == nullptr) return {};
  return path;
}

void CommandDispatcher::FileCommand(int command) {
  PeerSession* session = client_.toolsSession();
  if (command == cmd::kSendFile && (session == nullptr || !session->files().CanOffer())) {
    client_.ShowStatusLine("Permission disabled");
    return;
  }
  if (session == nullptr) throw std::runtime_error("command unavailable");
  switch (command) {
    case cmd::kSendFile: {
      const std::u16string path = ChooseFileInSession(false, u"");
      PeerSession* now = client_.toolsSession();
      if (path.empty() || now == nullptr) return;
      now->files().OfferFile(path);
      ui_.page = 2;
      break;
    }
    case cmd::kCancelTransfer:
      session->files().CancelAll();
      break;
    case cmd::kSaveFileAs: {
      const auto& offer = session->files().pendingOffer();
      if (!offer) return;
      const std::string id = offer->id;
      const std::u16string path = ChooseFileInSession(true, offer->name);
      if (path.empty()) return;
      PeerSession* now = client_.toolsSession();
      if (now == nullptr) return;
      const auto& still = now->files().pendingOffer();
      if (!still || still->id != id) return;
      try {
        now->files().AcceptOffer(id, path);
      } catch (const std::runtime_error& refused) {
        // The offer stays pending; the prompt's "Save as" can choose again.
        const std::string_view why = refused.what();
        if (why != kErrorZoneUnsupported && why != kErrorDestinationExists) throw;
        client_.ShowStatusLine(kChooseNtfsNameStatus);
        return;
      }
      ui_.page = 2;
      break;
    }
    case cmd::kRejectFile:
      session->files().DeclineOffer();
      break;
    default:
      break;
  }
  effects_.Relayout();
}

PeerSession& CommandDispatcher::ViewerSession() {
  PeerSession* session = client_.viewerSession();
  if (session == nullptr || !session->control().helloComplete()) {
    throw std::runtime_error("command unavailable");
  }
  return *session;
}

void CommandDispatcher::ViewCommand(int command) {
  PeerSession& session = ViewerSession();
  ViewerDisplay& display = session.display();
  const PeerControl& control = session.control();
  switch (command) {
    case cmd::kFit:
      display.Fit();
      break;
    case cmd::kActualSize:
      display.OneToOne();
      break;
    case cmd::kZoomIn:
      display.ZoomIn(effects_.RemoteViewArea());
      break;
    case cmd::kZoomOut:
      display.ZoomOut(effects_.RemoteViewArea());
      break;
    // The menus run the message loop; `session`, `display` and `control` may be gone when they
    // return, so every choice reaches the session again through the client.
    case cmd::kZoomMenu: {
      const int chosen = ChooseInSession(ZoomMenu(display.view().fit, display.view().zoom));
      if (chosen == cmd::kFit || chosen == cmd::kActualSize || chosen > cmd::kZoomPercentBase) {
        ViewCommand(chosen);
      }
      return;
    }
    case cmd::kDisplayMenu: {
      const int chosen = ChooseInSession(DisplayMenu(control.screens(), control.selectedDisplay()));
      if (chosen == 0) return;
      const PeerControl& now = ViewerSession().control();
      const int index = chosen - kDisplayChoiceBase;
      if (index < 0 || index >= static_cast<int>(now.screens().size())) return;
      return client_.SelectDisplay(index, now.profile());
    }
    case cmd::kQualityMenu: {
      const int chosen = ChooseInSession(QualityMenu(control.profile()));
      if (chosen == 0) return;
      const PeerControl& now = ViewerSession().control();
      const int profile = chosen - kQualityChoiceBase;
      if (profile < 0 || profile > 3) return;
      return client_.SelectDisplay(now.selectedDisplay(), profile);
    }
    case cmd::kConnectionInfo: {
      const ViewRect area = effects_.RemoteViewArea();
      return effects_.ShowConnectionInfo(
          session.Figures(area.width / static_cast<float>(ui_.scale)));
    }
    default:
      // A zoom percentage: 50, 75, 125, 150, 200, 300 or 400.
      if (!display.ZoomPreset(command - cmd::kZoomPercentBase)) {
        throw std::runtime_error("command unavailable");
      }
      break;
  }
  effects_.Relayout();
}

void CommandDispatcher::Copy(int command) {
  const bool id = command == cmd::kCopyId;
  const std::string& value = id ? client_.deviceId() : client_.sessionPassword();
  const bool copyable = client_.registered() && !client_.viewerRole() &&
                        (id ? IsValidDeviceId(value) : IsValidSessionPassword(value));
  if (!copyable) {
    client_.ShowStatusLine("Offline");
    return;
  }
  std::wstring text = WidenAscii(value);  // the bare digits or characters, no separator
  const bool copied = effects_.CopyText(text);
  SecureWipe(text.data(), text.size() * sizeof(wchar_t));
  if (!copied) {
    client_.ShowStatusLine(kStatusActionFailed);
    return;
  }
  ui_.copiedCommand = command;
  ui_.copyFeedbackUntil = clock_.NowMs() + kCopyFeedbackMs;
  effects_.EndCopyFeedbackAfter(kCopyFeedbackMs);
  client_.ShowStatusLine(id ? "ID copied" : "Password copied");
}

void CommandDispatcher::ToggleApproval() {
  if (client_.sessionActive() || client_.busy()) return;
  bool ask = client_.approvalSetting();
  const bool written = ToggleAskBeforeConnection(ask, client_.previewMode() ? nullptr : settings_);
  client_.SetApprovalSetting(ask);
  if (!written) client_.ShowStatusLine(kApprovalNotSavedStatus);
  effects_.Relayout();
}

void CommandDispatcher::TogglePermission(int command) {
  LocalPermissions permissions = client_.permissions();
  if (command == cmd::kAllowControl) {
    if (client_.viewerRole()) return;  // the viewer has nothing to allow
    permissions.control = !permissions.control;
  } else if (command == cmd::kAllowFiles) {
    permissions.files = !permissions.files;
  } else {
    const bool on = !permissions.clipboard;
    if (on && !client_.previewMode()) {
      // While the question is open, remote input is held off this desktop.
      client_.SetLocalModal(true);
      const bool yes = effects_.AskYesNo(
          "Sync clipboard", "Copied text is shared while connected. Enable on this device?");
      client_.SetLocalModal(false);
      if (!yes) return;
    }
    permissions.clipboard = on;
  }
  client_.SetLocalPermissions(permissions);
  // A session's tools say so themselves when they take the new permission.
  if (command == cmd::kSyncClipboard && client_.session() == nullptr) {
    client_.ShowStatusLine(kStatusEnableClipboardSync);
  }
  effects_.Relayout();
}

}  // namespace ov
