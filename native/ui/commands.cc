#include "ui/commands.h"

namespace ov {

bool CommandPassesGate(int command, bool gateOpen) noexcept {
  if (gateOpen) return true;
  switch (command) {
    case cmd::kMinimize:
    case cmd::kMaximize:
    case cmd::kClose:
    case cmd::kUpdate:
    case cmd::kTryAgain:
    case cmd::kShowDownload:
      return true;
    default:
      return false;
  }
}

std::string TooltipKey(int command, const TooltipState& state) {
  switch (command) {
    case cmd::kCopyId:
      return state.copyFeedback == cmd::kCopyId ? "ID copied" : "Copy ID";
    case cmd::kShowPassword:
      return state.passwordShown ? "Hide" : "Show";
    case cmd::kNewCredentials: return "New ID and password";
    case cmd::kConnections: return "Connections";
    case cmd::kSecurity: return "Security";
    case cmd::kDisconnect: return "Disconnect";
    case cmd::kMinimize: return "Minimize";
    case cmd::kMaximize: return "Maximize or restore";
    case cmd::kClose: return "Close";
    case cmd::kApproval:
      return state.approvalChangeable ? "Ask before every connection"
                                      : "End the session to change this setting.";
    case cmd::kFiles: return "Files";
    case cmd::kChat: return "Chat";
    case cmd::kFit: return "Fit to window";
    case cmd::kZoomIn: return "Zoom in";
    case cmd::kZoomOut: return "Zoom out";
    case cmd::kFullScreen: return "Full screen";
    case cmd::kDisplayMenu: return "Display";
    case cmd::kQualityMenu: return "Quality";
    case cmd::kMoreTools: return "More tools";
    case cmd::kZoomMenu: return "Zoom";
    case cmd::kCopyPassword:
      return state.copyFeedback == cmd::kCopyPassword ? "Password copied" : "Copy password";
    default:
      return {};
  }
}

std::vector<MenuItem> ToolsMenu(bool canSendClipboard, bool clipboardSyncOn) {
  return {
      {cmd::kFiles, "Files", false, false, {}},
      {cmd::kChat, "Chat", false, false, {}},
      {cmd::kSendClipboard, "Send clipboard", false, !canSendClipboard, {}},
      {cmd::kDisplayMenu, "Display", false, false, {}},
      {cmd::kQualityMenu, "Quality", false, false, {}},
      {cmd::kZoomMenu, "Zoom", false, false, {}},
      {cmd::kFit, "Fit to window", false, false, {}},
      {cmd::kActualSize, "Actual size", false, false, {}},
      {cmd::kFullScreen, "Full screen", false, false, {}},
      {0, "", false, false, {}},
      {cmd::kConnectionInfo, "Connection info", false, false, {}},
      {cmd::kSyncClipboard, "Sync clipboard", clipboardSyncOn, false, {}},
  };
}

std::vector<MenuItem> ZoomMenu(bool fitMode, double zoom) {
  std::vector<MenuItem> items = {
      {cmd::kFit, "Fit to window", fitMode, false, {}},
      {cmd::kActualSize, "1:1 (100%)", !fitMode && zoom == 1.0, false, {}},
      {0, "", false, false, {}},
  };
  for (int percent : {50, 75, 125, 150, 200, 300, 400}) {
    items.push_back({cmd::kZoomPercentBase + percent, std::to_string(percent) + "%", false, false, {}});
  }
  return items;
}

std::vector<MenuItem> DisplayMenu(const std::vector<ScreenInfo>& screens, int selected) {
  std::vector<MenuItem> items;
  for (std::size_t i = 0; i < screens.size(); ++i) {
    const ScreenInfo& s = screens[i];
    const int index = static_cast<int>(i);
    items.push_back({kDisplayChoiceBase + index, "Display", index == selected, false,
                     " " + std::to_string(index + 1) + "  \xC2\xB7  " + std::to_string(s.width) +
                         " \xC3\x97 " + std::to_string(s.height) + " / " + std::to_string(s.hz) +
                         " Hz"});
  }
  return items;
}

std::vector<MenuItem> QualityMenu(int profile) {
  const char* names[] = {"Automatic", "Data saver", "Balanced", "High quality"};
  std::vector<MenuItem> items;
  for (int p = 0; p < 4; ++p) items.push_back({kQualityChoiceBase + p, names[p], p == profile, false, {}});
  return items;
}

}  // namespace ov
