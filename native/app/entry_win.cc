// The program's entry on Windows: start-up, the main window's procedure, the message loop and
// shutdown. The Client lives on this function's stack; window procedures reach it through the one
// process-wide pointer below, which is set right after construction and cleared before
// destruction.
#include <windows.h>

#include <commctrl.h>
#include <dwmapi.h>
#include <gdiplus.h>
#include <objbase.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <memory>
#include <vector>

#include "app/client.h"
#include "app/clock.h"
#include "app/command_line.h"
#include "app/host_input_guard_win.h"
#include "app/main_window_win.h"
#include "app/commands.h"
#include "app/platform.h"
#include "i18n/catalogue.h"
#include "i18n/language.h"
#include "app/file_download_sink.h"
#include "tools/file_transfer.h"
#include "update/downloads_folder.h"
#include "update/service_config.h"
#include "update/updater.h"
#include "app/viewer_input.h"
#include "session/input_event.h"
#include "tools/clipboard.h"
#include "settings/settings_store.h"

namespace ov {
namespace {

Client* g_client = nullptr;
MainWindowSide* g_side = nullptr;
Platform* g_platform = nullptr;
SettingsStore* g_settings = nullptr;
CommandDispatcher* g_dispatcher = nullptr;
Clock* g_clock = nullptr;
int g_pressed = 0;  // the command under the pointer when the left button went down
bool g_previewMode = false;
std::unique_ptr<Clipboard> g_clipboard;  // the main window's, while it exists

constexpr DWORD kMainWindowStyle = 0x820F0000;  // popup, clip children, system menu, sizing, min/max
constexpr DWORD kCornerPreferenceAttribute = 33;  // DWMWA_WINDOW_CORNER_PREFERENCE
constexpr DWORD kRoundCorners = 2;                // DWMWCP_ROUND

ClientPoint PointOf(LPARAM lParam) {
  return ClientPoint{static_cast<float>(GET_X_LPARAM(lParam)),
                     static_cast<float>(GET_Y_LPARAM(lParam))};
}

bool KeyDown(int key) { return (GetKeyState(key) & 0x8000) != 0; }

// The viewer's remote view: mouse, wheel and keys go to the input capture. Returns true when the
// message was consumed (a press on the window's own controls is left to the window).
bool HandleRemoteViewInput(ViewerInput& input, MainWindowSide& side, UINT message, WPARAM wParam,
                           LPARAM lParam) {
  switch (message) {
    case WM_MOUSEMOVE:
      input.OnMouseMove(side, PointOf(lParam), g_clock->NowMs());
      return false;  // hover tracking goes on
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN: {
      const int button = message == WM_LBUTTONDOWN ? kButtonLeft
                         : message == WM_RBUTTONDOWN ? kButtonRight
                                                     : kButtonMiddle;
      const bool onControl =
          side.CommandAt(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}) != 0;
      return input.OnButtonDown(side, button, PointOf(lParam), onControl);
    }
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP: {
      if (message == WM_LBUTTONUP && g_pressed != 0) return false;  // a command's press
      const int button = message == WM_LBUTTONUP ? kButtonLeft
                         : message == WM_RBUTTONUP ? kButtonRight
                                                   : kButtonMiddle;
      return input.OnButtonUp(side, button, PointOf(lParam));
    }
    case WM_MOUSEWHEEL: {
      POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      ScreenToClient(side.window(), &at);
      input.OnWheel(side, GET_WHEEL_DELTA_WPARAM(wParam),
                    (GET_KEYSTATE_WPARAM(wParam) & MK_CONTROL) != 0,
                    ClientPoint{static_cast<float>(at.x), static_cast<float>(at.y)});
      return true;
    }
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      input.OnKeyDown(side, static_cast<std::int32_t>(wParam & 0xFF), (lParam & (1 << 30)) != 0,
                      KeyDown(VK_CONTROL), KeyDown(VK_MENU));
      return true;
    case WM_KEYUP:
    case WM_SYSKEYUP:
      input.OnKeyUp(static_cast<std::int32_t>(wParam & 0xFF));
      return true;
    default:
      return false;
  }
}

// Child controls swallow input that the program injected for a remote viewer while it hosts.
LRESULT CALLBACK ControlSubclassProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR, DWORD_PTR) {
  if (g_client && ChildDropsInput(g_client->hostOfActiveSession(), message)) return 0;
  return DefSubclassProc(control, message, wParam, lParam);
}

LRESULT HandleMainMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Client& client = *g_client;
  MainWindowSide& side = *g_side;
  // Input the program injected for the viewer: see host_input_guard_win.h.
  if (MainWindowDropsInput(
          client.hostOfActiveSession(), client.RemoteControlInForce(), message, wParam, lParam,
          [&side](LPARAM at) { return side.CommandAt(POINT{GET_X_LPARAM(at), GET_Y_LPARAM(at)}); },
          [&client] { client.ReportLocalOnly(); })) {
    return 0;
  }
  if (ViewerInput* input = client.viewerInput(); input && side.ShowsRemoteView() &&
      HandleRemoteViewInput(*input, side, message, wParam, lParam)) {
    return 0;
  }

  switch (message) {
    case WM_CREATE: {
      if (!side.Create(window)) return -1;
      if (!g_previewMode) {
        if (g_settings) client.SetApprovalSetting(g_settings->LoadAskBeforeConnection());
      }
      if (!side.SubclassChildControls(ControlSubclassProc)) return -1;
      if (!g_previewMode) {
        // The clipboard is opened on this window and reports its changes here.
        g_clipboard = CreateSystemClipboard(window);
        g_clipboard->StartListening();
        client.AttachClipboard(g_clipboard.get());
        RegisterHotKey(window, kNewIdHotKeyId, MOD_CONTROL | MOD_ALT | MOD_SHIFT | MOD_NOREPEAT,
                       VK_F12);
        SetTimer(window, kTickTimerId, 500, nullptr);
        HWND tooltip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                       WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT,
                                       CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr,
                                       GetModuleHandleW(nullptr), nullptr);
        if (tooltip) {
          SendMessageW(tooltip, TTM_SETMAXTIPWIDTH, 0, 320);
          SendMessageW(tooltip, TTM_SETDELAYTIME, TTDT_INITIAL, 450);
          side.AttachTooltip(tooltip);
        }
      }
      return 0;
    }
    case WM_TIMER:
      if (wParam == kTickTimerId) {
        client.OnTimerTick();
        side.ExpireCopyFeedback(g_clock->NowMs());
      } else if (wParam == kCopyFeedbackTimerId) {
        // Set again by every copy, so it fires for the latest one: its check mark ends now.
        KillTimer(window, kCopyFeedbackTimerId);
        side.ExpireCopyFeedback(UINT64_MAX);
      }
      return 0;
    case WM_COMMAND:
      if (lParam != 0) {
        // A child control's notification: focus moves redraw the boxes' borders.
        if (HIWORD(wParam) == EN_SETFOCUS || HIWORD(wParam) == EN_KILLFOCUS) side.Repaint();
        return 0;
      }
      g_dispatcher->Dispatch(LOWORD(wParam));
      return 0;
    case WM_MOUSEMOVE: {
      side.SetHovered(side.CommandAt(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}));
      TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, window, 0};
      TrackMouseEvent(&track);
      return 0;
    }
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lParam);
      if (header->code == TTN_GETDISPINFOW) {
        side.FillTooltip(*reinterpret_cast<NMTTDISPINFOW*>(lParam), g_clock->NowMs());
        return 0;
      }
      return DefWindowProcW(window, message, wParam, lParam);
    }
    case WM_MOUSELEAVE:
      side.SetHovered(0);
      return 0;
    case WM_LBUTTONDOWN:
      g_pressed = side.CommandAt(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
      if (g_pressed != 0) SetCapture(window);
      return 0;
    case WM_LBUTTONUP: {
      const int pressed = g_pressed;
      g_pressed = 0;
      if (GetCapture() == window) ReleaseCapture();
      if (pressed != 0 &&
          side.CommandAt(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}) == pressed) {
        g_dispatcher->Dispatch(pressed);
      }
      return 0;
    }
    case WM_NCCALCSIZE:
      // The window draws its own frame: the client area is the whole window.
      if (wParam == TRUE) return 0;
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_HOTKEY:
      if (wParam == kNewIdHotKeyId) client.RegisterAsHost();
      return 0;
    case WM_CLIPBOARDUPDATE:
      client.OnClipboardChanged();
      return 0;
    case kWakeMessage:
      client.DrainNetEvents();
      return 0;
    case WM_KILLFOCUS:
      client.OnFocusLost(side);
      return 0;
    case WM_SETCURSOR:
      if (LOWORD(lParam) == HTCLIENT) {
        POINT at{};
        GetCursorPos(&at);
        ScreenToClient(window, &at);
        const ViewerInput* input = client.viewerInput();
        const bool remote = input != nullptr && side.ShowsRemoteView();
        const wchar_t* shape = remote && input->spaceHeld() ? IDC_SIZEALL
                               : side.CommandAt(at) != 0    ? IDC_HAND
                                                            : IDC_ARROW;
        SetCursor(LoadCursorW(nullptr, shape));
        return TRUE;
      }
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_DISPLAYCHANGE:
      client.OnDisplayChange();
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) side.Layout();
      return 0;
    case WM_GETMINMAXINFO:
      if (!g_previewMode) {
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize = side.MinimumTrackSize(window);
        // Maximised, the frameless window covers its monitor's work area, not the taskbar (the
        // system's default for a sizable pop-up is the monitor and a frame band beyond it).
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        if (GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) {
          info->ptMaxPosition = POINT{monitor.rcWork.left - monitor.rcMonitor.left,
                                      monitor.rcWork.top - monitor.rcMonitor.top};
          info->ptMaxSize = POINT{monitor.rcWork.right - monitor.rcWork.left,
                                  monitor.rcWork.bottom - monitor.rcWork.top};
        }
        return 0;
      }
      // A preview may be rendered larger (or smaller) than a running window.
      {
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMaxTrackSize.x = std::max<LONG>(info->ptMaxTrackSize.x, ClampPreviewWidth(INT_MAX));
        info->ptMaxTrackSize.y = std::max<LONG>(info->ptMaxTrackSize.y, ClampPreviewHeight(INT_MAX));
        return 0;
      }
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_DPICHANGED: {
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(window, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_MINIMIZE) {
        // No press, drag, pan or paste survives the minimise: their releases may never come.
        side.HidePassword();
        g_pressed = 0;
        if (GetCapture() == window) ReleaseCapture();
        client.OnMinimize();
      }
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_NCHITTEST:
      return side.HitTestFrame(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)},
                               DefWindowProcW(window, message, wParam, lParam));
    case WM_PAINT:
      side.Paint();
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_CLOSE:
      client.ResetSession();
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      client.AttachClipboard(nullptr);
      if (g_clipboard) g_clipboard->StopListening();
      g_clipboard.reset();
      UnregisterHotKey(window, kNewIdHotKeyId);
      KillTimer(window, kTickTimerId);
      KillTimer(window, kCopyFeedbackTimerId);
      side.Detach();
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (g_client == nullptr || g_side == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  LRESULT result = message == WM_CREATE ? -1 : 0;
  g_client->RunGuarded([&] { result = HandleMainMessage(window, message, wParam, lParam); });
  return result;
}

// The sharing banner: "End session" (press and release on it), a drag from anywhere else once the
// pointer has moved more than 4 px, a double-click that restores the main window. Input that
// the program injected for the viewer, and a close it caused, are ignored.
struct BannerPointer {
  bool pressed = false;
  bool onButton = false;
  bool dragging = false;
  POINT start{};
  RECT startRect{};
} g_bannerPointer;

bool OnBannerButton(HWND banner, POINT client) {
  const float scale = std::max(static_cast<float>(GetDpiForWindow(banner)) / 96.0f, 0.75f);
  const float x = static_cast<float>(client.x) / scale;
  const float y = static_cast<float>(client.y) / scale;
  return x >= 228 && x < 296 && y >= 8 && y < 40;
}

void EndSessionFromBanner() {
  if (g_side && g_side->window()) PostMessageW(g_side->window(), WM_COMMAND, 111, 0);
}

LRESULT HandleBannerMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (BannerDropsInput(message)) return 0;
  BannerPointer& pointer = g_bannerPointer;
  const POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  switch (message) {
    case WM_PAINT:
      if (g_side == nullptr) break;
      g_side->PaintBanner(window);
      return 0;
    case WM_LBUTTONDOWN:
      pointer = BannerPointer{};
      pointer.pressed = true;
      pointer.onButton = OnBannerButton(window, at);
      GetCursorPos(&pointer.start);
      GetWindowRect(window, &pointer.startRect);
      SetCapture(window);
      return 0;
    case WM_MOUSEMOVE: {
      if (g_side != nullptr) {
        g_side->SetBannerButtonHovered(window, OnBannerButton(window, at));
        TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, window, 0};
        TrackMouseEvent(&track);
      }
      if (!pointer.pressed || pointer.onButton || (wParam & MK_LBUTTON) == 0) return 0;
      POINT now{};
      GetCursorPos(&now);
      const LONG dx = now.x - pointer.start.x;
      const LONG dy = now.y - pointer.start.y;
      if (!pointer.dragging && std::abs(dx) + std::abs(dy) <= 4) return 0;
      pointer.dragging = true;
      MONITORINFO monitor{};
      monitor.cbSize = sizeof monitor;
      GetMonitorInfoW(MonitorFromPoint(now, MONITOR_DEFAULTTONEAREST), &monitor);
      const LONG width = pointer.startRect.right - pointer.startRect.left;
      const LONG height = pointer.startRect.bottom - pointer.startRect.top;
      const LONG x = std::clamp(pointer.startRect.left + dx, monitor.rcMonitor.left,
                                std::max(monitor.rcMonitor.left, monitor.rcMonitor.right - width));
      const LONG y = std::clamp(pointer.startRect.top + dy, monitor.rcMonitor.top,
                                std::max(monitor.rcMonitor.top, monitor.rcMonitor.bottom - height));
      SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_LBUTTONUP: {
      const bool endSession = pointer.pressed && pointer.onButton && OnBannerButton(window, at);
      pointer = BannerPointer{};
      if (GetCapture() == window) ReleaseCapture();
      if (endSession) EndSessionFromBanner();
      return 0;
    }
    case WM_CAPTURECHANGED:
      // A press whose release this banner will not see (another window took the capture) ends
      // here, so that no later move drags the banner.
      if (reinterpret_cast<HWND>(lParam) != window) pointer = BannerPointer{};
      return 0;
    case WM_LBUTTONDBLCLK:
      if (!OnBannerButton(window, at) && g_side && g_side->window()) {
        // Restored from the taskbar, else shown as it is (a maximised window stays maximised).
        const HWND main = g_side->window();
        ShowWindow(main, IsIconic(main) ? SW_RESTORE : SW_SHOW);
        SetForegroundWindow(main);
      }
      return 0;
    case WM_MOUSELEAVE:
      if (g_side != nullptr) g_side->SetBannerButtonHovered(window, false);
      return 0;
    case WM_DESTROY:
      pointer = BannerPointer{};
      if (g_side != nullptr) g_side->SetBannerButtonHovered(window, false);
      break;
    case WM_CLOSE:
      EndSessionFromBanner();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// The banner's exception barrier, as the main window's: a failure while it handles a message
// (painting included) ends the session and says so, rather than escaping into the system; the
// banner, the sign that the screen is shared, goes with the session.
LRESULT CALLBACK BannerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (g_client == nullptr) {
    try {
      result = HandleBannerMessage(window, message, wParam, lParam);
    } catch (...) {
      result = DefWindowProcW(window, message, wParam, lParam);
    }
    return result;
  }
  g_client->RunGuarded([&] { result = HandleBannerMessage(window, message, wParam, lParam); });
  return result;
}

bool RegisterClasses(HINSTANCE instance) {
  WNDCLASSEXW main{};
  main.cbSize = sizeof main;
  main.lpfnWndProc = MainWindowProc;
  main.hInstance = instance;
  main.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  main.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(101), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXICON),
                                             GetSystemMetrics(SM_CYICON), 0));
  main.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(101), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
  main.lpszClassName = kMainWindowClass;
  if (!RegisterClassExW(&main)) return false;
  WNDCLASSEXW banner{};
  banner.cbSize = sizeof banner;
  banner.style = CS_DBLCLKS;
  banner.lpfnWndProc = BannerWindowProc;
  banner.hInstance = instance;
  banner.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  banner.lpszClassName = kBannerWindowClass;
  return RegisterClassExW(&banner) != 0;
}

// Enter starts the viewer connection from the ID and password boxes; Tab moves between the
// boxes. Returns true when the message was consumed.
bool PreTranslate(MSG& message, HWND mainWindow) {
  if (g_client && message.hwnd != mainWindow &&
      ChildDropsInput(g_client->hostOfActiveSession(), message.message)) {
    return true;
  }
  if (message.message != WM_KEYDOWN || g_side == nullptr || g_client == nullptr) return false;
  const HWND focus = message.hwnd;
  // Escape declines a pending connection, as "Reject" does, wherever the focus is.
  if (message.wParam == VK_ESCAPE && g_dispatcher && !IsInjectedInput()) {
    bool declined = false;
    g_client->RunGuarded([&declined] { declined = g_dispatcher->OnEscape(); });
    if (declined) return true;
  }
  if (message.wParam == VK_RETURN) {
    if (focus == g_side->remoteIdBox() || focus == g_side->passwordBox()) {
      g_client->RunGuarded([] { g_client->ConnectToDevice(); });
      return true;
    }
    if (focus == g_side->chatInputBox()) {
      if (g_dispatcher) g_client->RunGuarded([] { g_dispatcher->Dispatch(cmd::kSendChat); });
      return true;
    }
  }
  if (message.wParam == VK_TAB &&
      (focus == g_side->remoteIdBox() || focus == g_side->passwordBox() ||
       focus == g_side->languageBox() || focus == g_side->chatInputBox())) {
    const bool backwards = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
    if (HWND next = GetNextDlgTabItem(mainWindow, focus, backwards ? TRUE : FALSE)) SetFocus(next);
    return true;
  }
  return false;
}

void DebugNote(const wchar_t* text) {
  OutputDebugStringW(text);
  std::fwprintf(stderr, L"%ls\n", text);
}

void RunMessageLoop(HWND window) {
  MSG message{};
  for (;;) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0 || got == -1) break;
    if (PreTranslate(message, window)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// Design preview: the window stays hidden and offline; the page's state is drawn (the viewer's
// session with the offline test frame, the update card's states), the window is sized as asked
// (both sides given), laid out and rendered into the output file (page 5: the sharing banner
// alone). The language was chosen before the window was made. Exit code 0, or 3 when the image
// could not be written.
int RenderPreview(HWND window, MainWindowSide& side, Client& client, const PreviewOptions& preview) {
  client.SetApprovalSetting(preview.approval);
  const PreviewPage page = DescribePreviewPage(preview.page);
  side.SetPreviewPage(page, preview.reveal);
  if (const auto size = PreviewWindowSize(preview)) {
    SetWindowPos(window, nullptr, 0, 0, size->width, size->height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  side.Layout();
  UpdateWindow(window);
  const bool written = page.bannerOnly ? side.RenderBannerToPng(preview.outputPath)
                                       : side.RenderToPng(preview.outputPath);
  if (!written) {
    DebugNote(L"Kestrova: the preview image could not be written.");
    return 3;
  }
  return 0;
}

int Run(HINSTANCE instance, int showCommand) {
  int argc = 0;
  std::vector<std::wstring> arguments;
  if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
    for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i]);
    LocalFree(argv);
  }
  const PreviewOptions preview = ParsePreviewOptions(arguments);
  g_previewMode = preview.enabled();

  SystemClock clock;
  MainWindowSide side(instance);
  const std::unique_ptr<Platform> platform = CreateSystemPlatform();
  g_platform = platform.get();
  // Temporary files of downloads that a crash or a power cut interrupted, in the folder updates
  // and (by default) received files are saved to; files still being written stay.
  if (!g_previewMode) {
    if (const auto folder = DownloadsFolder()) {
      const std::wstring path = folder->wstring();
      SweepAbandonedTemporaryFiles(platform->Files(), std::u16string(path.begin(), path.end()));
    }
  }
  // The verified download is saved through the same safe write path as a received file.
  FileDownloadSink downloads(platform->Files(), kServiceZoneOrigin);
  UpdaterOptions updaterOptions = DefaultUpdaterOptions();
  updaterOptions.sink = &downloads;
  Updater updater(std::move(updaterOptions));
  ClientEnvironment environment;
  environment.clock = &clock;
  environment.window = &side;
  environment.updater = &updater;
  environment.platform = platform.get();
  environment.previewMode = g_previewMode;
  // Preview mode neither reads nor writes the settings.
  const std::unique_ptr<SettingsStore> settings =
      g_previewMode ? nullptr : platform->OpenSettings();
  g_settings = settings.get();
  g_clock = &clock;
  int language = 0;
  if (g_previewMode) {
    // The system's language (never the stored one), unless the command line names another.
    ChooseLanguage(language, /*useStored=*/false);
    const auto languages = Languages();
    for (int i = 0; i < kLanguageCount; ++i) {
      if (languages[static_cast<std::size_t>(i)].code == preview.language) language = i;
    }
  } else {
    ChooseLanguage(language, /*useStored=*/true);
  }
  side.SetLanguage(language);
  int exitCode = 0;
  {
    Client client(std::move(environment));
    CommandDispatcher dispatcher(client, side.ui(), side, clock, settings.get());
    side.Attach(&client);
    g_client = &client;
    g_side = &side;
    g_dispatcher = &dispatcher;

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    HWND window = nullptr;
    if (RegisterClasses(instance)) {
      window = CreateWindowExW(0, kMainWindowClass, kMainWindowTitle, kMainWindowStyle,
                               CW_USEDEFAULT, CW_USEDEFAULT, 1100, 720, nullptr, nullptr, instance,
                               nullptr);
    }
    if (window == nullptr) {
      exitCode = 2;
    } else {
      const DWORD corners = kRoundCorners;
      DwmSetWindowAttribute(window, kCornerPreferenceAttribute, &corners, sizeof corners);
      // The first size is 1100 x 720 DIP at the DPI of the monitor the window opened on.
      const int dpi = static_cast<int>(GetDpiForWindow(window));
      SetWindowPos(window, nullptr, 0, 0, MulDiv(1100, dpi > 0 ? dpi : 96, 96),
                   MulDiv(720, dpi > 0 ? dpi : 96, 96),
                   SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
      side.Layout();
      client.RunGuarded([&] { client.RegisterAsHost(); });
      if (g_previewMode) {
        exitCode = RenderPreview(window, side, client, preview);
        DestroyWindow(window);
      } else {
        client.StartUpdateCheck();
        ShowWindow(window, showCommand);
        UpdateWindow(window);
        RunMessageLoop(window);
      }
    }
    g_client = nullptr;
    g_dispatcher = nullptr;
    side.Attach(nullptr);
  }
  g_side = nullptr;
  g_platform = nullptr;
  g_settings = nullptr;
  g_clock = nullptr;
  return exitCode;
}

}  // namespace
}  // namespace ov

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR gdiplusToken = 0;
  if (Gdiplus::GdiplusStartup(&gdiplusToken, &input, nullptr) != Gdiplus::Ok) {
    if (SUCCEEDED(com)) CoUninitialize();
    return 1;
  }
  const int exitCode = ov::Run(instance, showCommand);
  Gdiplus::GdiplusShutdown(gdiplusToken);
  if (SUCCEEDED(com)) CoUninitialize();
  return exitCode;
}
