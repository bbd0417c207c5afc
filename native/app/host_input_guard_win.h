// The host's protection of its own windows against the input it injects for a remote viewer.
// Injected input carries the marker of session/input_event.h in its extra information; the
// thread's message extra information tells a window procedure whether the message it is
// handling came from there. Each window of the host asks the function for its kind.
#pragma once

#include <windows.h>

namespace ov {

// Mouse, keyboard and non-client mouse messages.
bool IsInputMessage(UINT message) noexcept;

// The message being handled carries the injection marker.
bool IsInjectedInput() noexcept;

// The commands an injected left click may press while remote control is in force: the page
// tabs, the new-ID command and the window buttons.
bool RemoteSafeCommand(int command) noexcept;

// What the main window does with an injected input message while it hosts a session.
enum class InjectedVerdict {
  kHandle,                // the usual handling
  kSwallow,               // dropped
  kSwallowAndLocalOnly,   // dropped; the viewer is told that the control needs the local user
};

// Without remote control in force everything is swallowed. With it, a left press or release on a
// remote-safe command and a left press on the caption or a sizing border (`wParam` of a
// WM_NCLBUTTONDOWN) are handled; a left press on any other control is swallowed with the
// local-only report; everything else is swallowed. `command` is the command under the pointer
// of a client-area button message (0 for none).
InjectedVerdict JudgeInjectedMainInput(bool remoteControlInForce, UINT message, WPARAM wParam,
                                       int command) noexcept;

// The main window: true when the message must not be handled. `commandAt` is asked only for
// injected messages while hosting; `reportLocalOnly` is called for the local-only verdict.
template <typename CommandAt, typename ReportLocalOnly>
bool MainWindowDropsInput(bool hostingSession, bool remoteControlInForce, UINT message,
                          WPARAM wParam, LPARAM lParam, CommandAt&& commandAt,
                          ReportLocalOnly&& reportLocalOnly) {
  if (!hostingSession || !IsInputMessage(message) || !IsInjectedInput()) return false;
  const int command =
      message == WM_LBUTTONDOWN || message == WM_LBUTTONUP ? commandAt(lParam) : 0;
  switch (JudgeInjectedMainInput(remoteControlInForce, message, wParam, command)) {
    case InjectedVerdict::kHandle:
      return false;
    case InjectedVerdict::kSwallowAndLocalOnly:
      reportLocalOnly();
      return true;
    case InjectedVerdict::kSwallow:
      break;
  }
  return true;
}

// The main window's child controls, and the message loop for every window but the main one:
// injected input is dropped while the program hosts a session.
bool ChildDropsInput(bool hostingSession, UINT message) noexcept;

// The sharing banner: injected input and a close request it caused are dropped, always.
bool BannerDropsInput(UINT message) noexcept;

}  // namespace ov
