// Every status line the controller and the session features show. Each is an English catalogue
// key, translated when drawn; the catalogue holds every one of them.
#pragma once

namespace ov {

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
inline constexpr char kStatusInstallLatest[] = "Install the latest version before connecting.";

}  // namespace ov
