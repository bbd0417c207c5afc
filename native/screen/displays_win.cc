#include <windows.h>
#include <wtsapi32.h>

#include "screen/displays.h"

namespace ov {
namespace {

BOOL CALLBACK CollectMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM context) {
  auto* builder = reinterpret_cast<DisplayListBuilder*>(context);
  MONITORINFOEXW info{};
  info.cbSize = sizeof(info);
  DisplayInfo display;
  const bool readable = GetMonitorInfoW(monitor, &info) != FALSE;
  if (readable) {
    display.deviceName = info.szDevice;
    display.rect = ScreenRect{info.rcMonitor.left, info.rcMonitor.top, info.rcMonitor.right,
                              info.rcMonitor.bottom};
    display.primary = (info.dwFlags & MONITORINFOF_PRIMARY) != 0;
  }
  return builder->Add(display, readable) ? TRUE : FALSE;
}

// Whether the terminal-services query is a stub rather than an answer about the session: Wine's
// fails without setting any error code (ERROR_SUCCESS), or says it is not implemented. The real
// service always says why it failed, and any such failure (a stopped service, a failed call)
// means the desktop cannot be shown as reachable.
bool SessionQueryIsAStub(DWORD error) {
  return error == ERROR_SUCCESS || error == ERROR_CALL_NOT_IMPLEMENTED;
}

bool SessionIsActive() {
  DWORD sessionId = 0;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &sessionId)) return false;
  LPWSTR buffer = nullptr;
  DWORD bytes = 0;
  SetLastError(ERROR_SUCCESS);  // so that a stub failing silently is recognised
  if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId, WTSConnectState, &buffer,
                                  &bytes)) {
    bool active = false;
    if (buffer != nullptr && bytes >= sizeof(INT)) {
      INT state = 0;
      CopyMemory(&state, buffer, sizeof(state));
      active = state == WTSActive;
    }
    if (buffer != nullptr) WTSFreeMemory(buffer);
    return active;
  }
  const DWORD error = GetLastError();
  if (!SessionQueryIsAStub(error)) return false;
  // Without the query, the process's session is reachable when it is the console session.
  return WTSGetActiveConsoleSessionId() == sessionId;
}

// The monitors with their rectangles only (the per-frame bounds lookup needs no refresh rates).
std::vector<DisplayInfo> EnumerateMonitors() {
  DisplayListBuilder builder;
  EnumDisplayMonitors(nullptr, nullptr, &CollectMonitor, reinterpret_cast<LPARAM>(&builder));
  return std::move(builder).Finish();
}

}  // namespace

std::vector<DisplayInfo> EnumerateDisplays() {
  std::vector<DisplayInfo> displays = EnumerateMonitors();
  for (DisplayInfo& display : displays) display.hz = DisplayRefreshRate(display);
  return displays;
}

std::optional<ScreenRect> ResolveDisplayBounds(const DisplayInfo& display) {
  const auto found = FindDisplay(EnumerateMonitors(), display);
  if (!found) return std::nullopt;
  return found->rect;
}

int DisplayRefreshRate(const DisplayInfo& display) {
  DEVMODEW mode{};
  mode.dmSize = sizeof(mode);
  const wchar_t* name = display.deviceName.empty() ? nullptr : display.deviceName.c_str();
  if (!EnumDisplaySettingsW(name, ENUM_CURRENT_SETTINGS, &mode)) return 60;
  if (mode.dmDisplayFrequency < 2) return 60;
  return static_cast<int>(mode.dmDisplayFrequency);
}

bool IsInputDesktopActive() {
  if (!SessionIsActive()) return false;
  HDESK input = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
  if (input == nullptr) return false;
  wchar_t inputName[256] = {};
  wchar_t threadName[256] = {};  // 512 bytes each
  DWORD needed = 0;
  const bool inputRead =
      GetUserObjectInformationW(input, UOI_NAME, inputName, sizeof(inputName), &needed) != FALSE;
  CloseDesktop(input);
  HDESK own = GetThreadDesktop(GetCurrentThreadId());
  const bool ownRead =
      own != nullptr &&
      GetUserObjectInformationW(own, UOI_NAME, threadName, sizeof(threadName), &needed) != FALSE;
  if (!inputRead || !ownRead) return false;
  inputName[255] = 0;
  threadName[255] = 0;
  return CompareStringOrdinal(inputName, -1, threadName, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace ov
