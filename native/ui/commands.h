// The window's command identifiers (hit regions, menu items and WM_COMMAND carry the same
// numbers), the update gate over them, the tooltip table and the session menus as data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/display_info.h"

namespace ov {
namespace cmd {
inline constexpr int kConnect = 103;
inline constexpr int kCopyId = 104;
inline constexpr int kShowPassword = 105;
inline constexpr int kNewCredentials = 106;
inline constexpr int kConnections = 107;
inline constexpr int kSecurity = 108;
inline constexpr int kAllowConnection = 109;
inline constexpr int kRejectConnection = 110;
inline constexpr int kDisconnect = 111;
inline constexpr int kMinimize = 112;
inline constexpr int kMaximize = 113;
inline constexpr int kClose = 114;
inline constexpr int kApproval = 115;
inline constexpr int kAllowControl = 116;
inline constexpr int kAllowFiles = 117;
inline constexpr int kSyncClipboard = 118;
inline constexpr int kFiles = 119;
inline constexpr int kChat = 120;
inline constexpr int kFit = 121;
inline constexpr int kZoomIn = 122;
inline constexpr int kZoomOut = 123;
inline constexpr int kActualSize = 124;
inline constexpr int kFullScreen = 125;
inline constexpr int kDisplayMenu = 126;
inline constexpr int kQualityMenu = 127;
inline constexpr int kSendFile = 128;
inline constexpr int kCancelTransfer = 129;
inline constexpr int kSaveFileAs = 130;
inline constexpr int kRejectFile = 131;
inline constexpr int kSendClipboard = 132;
inline constexpr int kAllowClipboard = 133;
inline constexpr int kRejectClipboard = 134;
inline constexpr int kSendChat = 136;
inline constexpr int kRemoteDesktop = 137;
inline constexpr int kMoreTools = 139;
inline constexpr int kZoomMenu = 140;
inline constexpr int kConnectionInfo = 141;
inline constexpr int kCopyPassword = 142;
inline constexpr int kUpdate = 143;
inline constexpr int kTryAgain = 144;
inline constexpr int kShowDownload = 145;
inline constexpr int kZoomPercentBase = 1000;  // 1000 + percent
}  // namespace cmd

// While the update gate is closed only the window buttons and the update card's buttons run.
bool CommandPassesGate(int command, bool gateOpen) noexcept;

// What the tooltips depend on.
struct TooltipState {
  int copyFeedback = 0;          // copy button within its feedback time
  bool passwordShown = false;
  bool approvalChangeable = true;
};

// The English catalogue key of a command's tooltip, or "" when it has none.
std::string TooltipKey(int command, const TooltipState& state);

struct MenuItem {
  int command = 0;     // 0 for a separator
  std::string label;   // catalogue key, or text that passes through the catalogue unchanged
  bool checked = false;
  bool greyed = false;
  std::string detail;  // shown after the translated label, untranslated (figures)
};

// Menu choices that are not commands: the display menu's entries and the quality menu's.
inline constexpr int kDisplayChoiceBase = 2000;  // + display index
inline constexpr int kQualityChoiceBase = 3000;  // + profile

// The viewer's tools menu ("More tools").
std::vector<MenuItem> ToolsMenu(bool canSendClipboard, bool clipboardSyncOn);
// The zoom menu: fit, 1:1, then 50 ... 400 percent as 1000 + percent.
std::vector<MenuItem> ZoomMenu(bool fitMode, double zoom);
// The display menu: one entry per screen the host announced ("Display" 1  ·  1920 × 1080 /
// 60 Hz), the selected one checked. The quality menu: the four profiles, the current checked.
std::vector<MenuItem> DisplayMenu(const std::vector<ScreenInfo>& screens, int selected);
std::vector<MenuItem> QualityMenu(int profile);

}  // namespace ov
