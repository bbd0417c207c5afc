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

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <memory>
#include <vector>

#include "app/client.h"
#include "app/clock.h"
#include "app/command_line.h"
#include "app/main_window_win.h"
#include "app/platform.h"
#include "app/update_service.h"
#include "settings/settings_store.h"

namespace ov {
namespace {

Client* g_client = nullptr;
MainWindowSide* g_side = nullptr;
Platform* g_platform = nullptr;
bool g_previewMode = false;

constexpr DWORD kMainWindowStyle = 0x820F0000;  // popup, clip children, system menu, sizing, min/max
constexpr DWORD kCornerPreferenceAttribute = 33;  // DWMWA_WINDOW_CORNER_PREFERENCE
constexpr DWORD kRoundCorners = 2;                // DWMWCP_ROUND

bool IsInputMessage(UINT message) {
  return (message >= 0x00A0 && message <= 0x00AD) || (message >= 0x0100 && message <= 0x0109) ||
         (message >= 0x0200 && message <= 0x020E);
}

bool IsInjected() { return static_cast<ULONG_PTR>(GetMessageExtraInfo()) == kInjectedInputMarker; }

// Child controls swallow input that the program injected for a remote viewer while it hosts.
LRESULT CALLBACK ControlSubclassProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR, DWORD_PTR) {
  if (g_client && g_client->hostOfActiveSession() && IsInputMessage(message) && IsInjected()) {
    return 0;
  }
  return DefSubclassProc(control, message, wParam, lParam);
}

LRESULT HandleMainMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Client& client = *g_client;
  MainWindowSide& side = *g_side;
  // Injected input on the main window while hosting: the remote-click filter that would let a
  // viewer press some of this window's commands is not part of this build, so all of it is
  // swallowed.
  if (client.hostOfActiveSession() && IsInputMessage(message) && IsInjected()) return 0;

  switch (message) {
    case WM_CREATE: {
      if (!side.Create(window)) return -1;
      if (!g_previewMode) {
        if (auto settings = g_platform->OpenSettings()) {
          client.SetApprovalSetting(settings->LoadAskBeforeConnection());
        }
      }
      if (!side.SubclassChildControls(ControlSubclassProc)) return -1;
      if (!g_previewMode) {
        AddClipboardFormatListener(window);
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
        }
      }
      return 0;
    }
    case WM_TIMER:
      if (wParam == kTickTimerId) client.OnTimerTick();
      return 0;
    case WM_HOTKEY:
      if (wParam == kNewIdHotKeyId) client.RegisterAsHost();
      return 0;
    case WM_CLIPBOARDUPDATE:
      // Clipboard synchronisation is not part of this build.
      return 0;
    case kWakeMessage:
      client.DrainNetEvents();
      return 0;
    case WM_KILLFOCUS:
      client.OnFocusLost();
      return 0;
    case WM_DISPLAYCHANGE:
      client.OnDisplayChange();
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) side.Layout();
      return 0;
    case WM_GETMINMAXINFO:
      // A preview may be rendered larger than this machine's screen.
      if (g_previewMode) {
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
        side.HidePassword();
        client.OnMinimize();
      }
      return DefWindowProcW(window, message, wParam, lParam);
    case WM_NCHITTEST: {
      // No drawn caption yet: the top band of the window moves it.
      const LRESULT hit = DefWindowProcW(window, message, wParam, lParam);
      if (hit == HTCLIENT) {
        POINT point{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        ScreenToClient(window, &point);
        if (point.y < 40) return HTCAPTION;
      }
      return hit;
    }
    case WM_PAINT:
      side.Paint(client);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_CLOSE:
      client.ResetSession();
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      RemoveClipboardFormatListener(window);
      UnregisterHotKey(window, kNewIdHotKeyId);
      KillTimer(window, kTickTimerId);
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

LRESULT CALLBACK BannerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT && g_side != nullptr) {
    g_side->PaintBanner(window);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
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
  if (g_client && g_client->hostOfActiveSession() && IsInputMessage(message.message) &&
      IsInjected() && message.hwnd != mainWindow) {
    return true;
  }
  if (message.message != WM_KEYDOWN || g_side == nullptr || g_client == nullptr) return false;
  const HWND focus = message.hwnd;
  if (message.wParam == VK_RETURN) {
    if (focus == g_side->remoteIdBox() || focus == g_side->passwordBox()) {
      g_client->RunGuarded([] { g_client->ConnectToDevice(); });
      return true;
    }
    if (focus == g_side->chatInputBox()) {
      // Chat is not part of this build; the key is consumed as the send command would.
      g_side->Layout();
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

// Design preview: the window stays hidden and offline; it is sized as asked (both sides given),
// laid out and rendered into the output file (page 5: the sharing banner alone). The pages'
// own states and the language come with the user interface's painter; this renders what the
// window draws today. Exit code 0, or 3 when the image could not be written.
int RenderPreview(HWND window, MainWindowSide& side, Client& client, const PreviewOptions& preview) {
  client.SetApprovalSetting(preview.approval);
  side.SetPreviewState(ClampSidebarPage(preview.page), preview.reveal);
  if (preview.width != 0 && preview.height != 0) {
    SetWindowPos(window, nullptr, 0, 0, ClampPreviewWidth(preview.width),
                 ClampPreviewHeight(preview.height), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  side.Layout();
  UpdateWindow(window);
  const bool written = preview.page == 5 ? side.RenderBannerToPng(preview.outputPath)
                                         : side.RenderToPng(preview.outputPath, client);
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
  NoUpdateService updater;
  MainWindowSide side(instance);
  const std::unique_ptr<Platform> platform = CreateSystemPlatform();
  g_platform = platform.get();
  ClientEnvironment environment;
  environment.clock = &clock;
  environment.window = &side;
  environment.updater = &updater;
  environment.platform = platform.get();
  environment.previewMode = g_previewMode;
  int exitCode = 0;
  {
    Client client(std::move(environment));
    g_client = &client;
    g_side = &side;

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
      SetWindowPos(window, nullptr, 0, 0, 0, 0,
                   SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
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
  }
  g_side = nullptr;
  g_platform = nullptr;
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
