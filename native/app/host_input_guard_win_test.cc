// The host's guards against its own injected input, driven through the system: SendInput with and
// without the injection marker onto a window laid out with the consent buttons, the permission
// toggles and a page tab, onto a text box, and onto a banner. The window procedures ask the
// guards exactly as the program's do; what reaches each handler is recorded.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/host_input_guard_win.h"
#include "session/input_event.h"
#include "ui/commands.h"

namespace ov {
namespace {

// The test's main window: five controls of 100 x 100 px in a row, a text box below them.
constexpr int kCommands[] = {cmd::kAllowConnection, cmd::kRejectConnection, cmd::kAllowControl,
                             cmd::kAllowFiles, cmd::kConnections};
constexpr int kMainX = 100, kMainY = 100, kMainWidth = 600, kMainHeight = 200;
constexpr int kBannerX = 100, kBannerY = 450, kBannerWidth = 304, kBannerHeight = 48;

struct Recorded {
  bool hosting = false;
  bool remoteControl = false;
  int pressed = 0;
  std::vector<int> taken;  // commands whose press and release both reached the handler
  int localOnly = 0;
  int bannerClicks = 0;
  int sentinels = 0;  // the local user's right clicks on the main window
} g_state;

int CommandAt(LPARAM at) {
  const int x = static_cast<short>(LOWORD(at));
  const int y = static_cast<short>(HIWORD(at));
  if (y < 0 || y >= 100 || x < 0 || x >= 500) return 0;
  return kCommands[x / 100];
}

LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (MainWindowDropsInput(g_state.hosting, g_state.remoteControl, message, wParam, lParam,
                           CommandAt, [] { ++g_state.localOnly; })) {
    return 0;
  }
  switch (message) {
    case WM_RBUTTONUP:
      ++g_state.sentinels;
      return 0;
    case WM_LBUTTONDOWN:
      g_state.pressed = CommandAt(lParam);
      return 0;
    case WM_LBUTTONUP:
      if (g_state.pressed != 0 && CommandAt(lParam) == g_state.pressed) {
        g_state.taken.push_back(g_state.pressed);
      }
      g_state.pressed = 0;
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

LRESULT CALLBACK ChildSubclass(HWND control, UINT message, WPARAM wParam, LPARAM lParam,
                               UINT_PTR, DWORD_PTR) {
  if (ChildDropsInput(g_state.hosting, message)) return 0;
  return DefSubclassProc(control, message, wParam, lParam);
}

LRESULT CALLBACK BannerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (BannerDropsInput(message)) return 0;
  if (message == WM_LBUTTONUP) ++g_state.bannerClicks;
  if (message == WM_CLOSE) return 0;
  return DefWindowProcW(window, message, wParam, lParam);
}

// The program's message loop: input for any window but the main one is dropped before it is
// translated into characters.
void Pump(HWND mainWindow, DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (GetTickCount64() < end) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.hwnd != mainWindow && ChildDropsInput(g_state.hosting, message.message)) continue;
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Sleep(5);
  }
}

ULONG_PTR Extra(bool marked) { return marked ? ULONG_PTR{kInjectedInputMarker} : 0; }

bool ClickAt(int x, int y, bool marked, bool right = false) {
  const int width = GetSystemMetrics(SM_CXSCREEN);
  const int height = GetSystemMetrics(SM_CYSCREEN);
  INPUT inputs[3]{};
  const DWORD flags[3] = {MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE,
                          right ? DWORD{MOUSEEVENTF_RIGHTDOWN} : DWORD{MOUSEEVENTF_LEFTDOWN},
                          right ? DWORD{MOUSEEVENTF_RIGHTUP} : DWORD{MOUSEEVENTF_LEFTUP}};
  for (int i = 0; i < 3; ++i) {
    inputs[i].type = INPUT_MOUSE;
    inputs[i].mi.dx = MulDiv(x, 65536, width) + 1;
    inputs[i].mi.dy = MulDiv(y, 65536, height) + 1;
    inputs[i].mi.dwFlags = flags[i] | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE;
    inputs[i].mi.dwExtraInfo = Extra(marked);
  }
  return SendInput(3, inputs, sizeof(INPUT)) == 3;
}

bool TypeKey(WORD key, bool marked) {
  INPUT inputs[2]{};
  for (int i = 0; i < 2; ++i) {
    inputs[i].type = INPUT_KEYBOARD;
    inputs[i].ki.wVk = key;
    inputs[i].ki.dwFlags = i == 0 ? 0 : KEYEVENTF_KEYUP;
    inputs[i].ki.dwExtraInfo = Extra(marked);
  }
  return SendInput(2, inputs, sizeof(INPUT)) == 2;
}

// Input is delivered in the order it was sent: once a local right click sent after the input
// under test has arrived, that input has been handled or dropped.
bool SettleInput(HWND mainWindow) {
  const int before = g_state.sentinels;
  if (!ClickAt(kMainX + 550, kMainY + 50, false, true)) return false;
  for (int waited = 0; waited < 10000 && g_state.sentinels == before; waited += 20) {
    Pump(mainWindow, 20);
  }
  Pump(mainWindow, 20);
  return g_state.sentinels > before;
}

class HostInputGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW main{};
    main.lpfnWndProc = MainProc;
    main.hInstance = instance;
    main.lpszClassName = L"KestrovaGuardTestMain";
    RegisterClassW(&main);
    WNDCLASSW banner{};
    banner.lpfnWndProc = BannerProc;
    banner.hInstance = instance;
    banner.lpszClassName = L"KestrovaGuardTestBanner";
    RegisterClassW(&banner);
    main_ = CreateWindowExW(WS_EX_TOPMOST, main.lpszClassName, L"guard", WS_POPUP | WS_VISIBLE,
                            kMainX, kMainY, kMainWidth, kMainHeight, nullptr, nullptr, instance,
                            nullptr);
    ASSERT_NE(main_, nullptr);
    box_ = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL, 0, 120, 300,
                           40, main_, nullptr, instance, nullptr);
    ASSERT_NE(box_, nullptr);
    ASSERT_TRUE(SetWindowSubclass(box_, ChildSubclass, 1, 0));
    banner_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, banner.lpszClassName, L"banner",
                              WS_POPUP | WS_VISIBLE, kBannerX, kBannerY, kBannerWidth,
                              kBannerHeight, nullptr, nullptr, instance, nullptr);
    ASSERT_NE(banner_, nullptr);
    SetForegroundWindow(main_);
    Pump(main_, 200);
  }
  void TearDown() override {
    if (banner_) DestroyWindow(banner_);
    if (main_) DestroyWindow(main_);
    g_state = Recorded{};
  }

  HWND main_ = nullptr;
  HWND box_ = nullptr;
  HWND banner_ = nullptr;
};

// Clicks on the main window's controls: while the program hosts, injected clicks on the consent
// buttons and the permissions never press them (the permissions tell the viewer so once remote
// control is in force), a page tab works only under remote control; the local user's clicks
// always press them, and nothing is guarded without a hosted session.
TEST_F(HostInputGuardTest, InjectedClicksOnTheHostsControls) {
  struct Row {
    const char* label;
    int command;
    bool hosting;
    bool remoteControl;
    bool marked;
    bool taken;
    int localOnly;
  };
  const Row rows[] = {
      {"consent allow, injected", cmd::kAllowConnection, true, false, true, false, 0},
      {"consent allow, local", cmd::kAllowConnection, true, false, false, true, 0},
      {"consent reject, injected", cmd::kRejectConnection, true, false, true, false, 0},
      {"consent reject, local", cmd::kRejectConnection, true, false, false, true, 0},
      {"control permission, injected", cmd::kAllowControl, true, true, true, false, 1},
      {"control permission, local", cmd::kAllowControl, true, true, false, true, 0},
      {"files permission, injected", cmd::kAllowFiles, true, true, true, false, 1},
      {"files permission, injected, no control", cmd::kAllowFiles, true, false, true, false, 0},
      {"files permission, local", cmd::kAllowFiles, true, true, false, true, 0},
      {"page tab, injected under control", cmd::kConnections, true, true, true, true, 0},
      {"page tab, injected without control", cmd::kConnections, true, false, true, false, 0},
      {"consent allow, marked, not hosting", cmd::kAllowConnection, false, false, true, true, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    g_state = Recorded{};
    g_state.hosting = row.hosting;
    g_state.remoteControl = row.remoteControl;
    int column = 0;
    while (kCommands[column] != row.command) ++column;
    ASSERT_TRUE(ClickAt(kMainX + column * 100 + 50, kMainY + 50, row.marked));
    ASSERT_TRUE(SettleInput(main_));
    EXPECT_EQ(g_state.taken, row.taken ? std::vector<int>{row.command} : std::vector<int>{});
    EXPECT_EQ(g_state.localOnly, row.localOnly);
  }
}

// The banner drops every injected click, hosted session or not; the local user's click gets
// through. Typing into a child control: injected keys never reach it while the program hosts.
TEST_F(HostInputGuardTest, InjectedInputOnTheBannerAndTheTextBox) {
  struct Row {
    const char* label;
    bool marked;
    int bannerClicks;
  };
  const Row banner[] = {{"injected", true, 0}, {"local", false, 1}};
  for (const Row& row : banner) {
    SCOPED_TRACE(std::string("banner, ") + row.label);
    g_state = Recorded{};
    g_state.hosting = true;
    ASSERT_TRUE(ClickAt(kBannerX + 150, kBannerY + 24, row.marked));
    ASSERT_TRUE(SettleInput(main_));
    EXPECT_EQ(g_state.bannerClicks, row.bannerClicks);
  }

  struct KeyRow {
    const char* label;
    bool hosting;
    bool marked;
    const wchar_t* text;
  };
  const KeyRow keys[] = {
      {"injected while hosting", true, true, L""},
      {"local while hosting", true, false, L"a"},
      {"injected without a session", false, true, L"a"},
  };
  for (const KeyRow& row : keys) {
    SCOPED_TRACE(std::string("text box, ") + row.label);
    g_state = Recorded{};
    SetWindowTextW(box_, L"");
    SetForegroundWindow(main_);
    SetFocus(box_);
    Pump(main_, 100);
    ASSERT_EQ(GetFocus(), box_);
    g_state.hosting = row.hosting;
    ASSERT_TRUE(TypeKey('A', row.marked));
    ASSERT_TRUE(SettleInput(main_));
    wchar_t text[16]{};
    GetWindowTextW(box_, text, 16);
    EXPECT_EQ(std::wstring(text), row.text);
  }
}

}  // namespace
}  // namespace ov
