// The status lines and Files-page states of chat and clipboard text. Each is an English catalogue
// key, translated when drawn; the catalogue holds every one of them.
#pragma once

namespace ov {

// The state shown on the Files page (SessionToolsState::toolsStatus).
inline constexpr char kToolsClipboardRequest[] = "Clipboard request";
inline constexpr char kToolsSent[] = "Sent";
inline constexpr char kToolsCompleted[] = "Completed";

// Status lines.
inline constexpr char kStatusPermissionDisabled[] = "Permission disabled";
inline constexpr char kStatusEnableClipboardSync[] = "Enable clipboard sync on both devices.";
inline constexpr char kStatusPasteCancelled[] = "Clipboard unavailable; paste cancelled.";

// The prompt for received clipboard text, and the question before sharing is switched on.
inline constexpr char kPromptClipboardTitle[] = "Accept clipboard text?";
inline constexpr char kPromptClipboardNote[] = "Nothing is pasted into other apps automatically.";
inline constexpr char kConfirmClipboardSharing[] =
    "Copied text is shared while connected. Enable on this device?";

}  // namespace ov
