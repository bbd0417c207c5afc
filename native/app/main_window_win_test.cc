// The main window's side in this process: every child control it creates is subclassed, so that
// input injected for a remote viewer can be swallowed on each of them.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <set>

#include "app/main_window_win.h"

namespace ov {
namespace {

std::set<HWND> g_seen;

LRESULT CALLBACK RecordingSubclass(HWND control, UINT message, WPARAM wParam, LPARAM lParam,
                                   UINT_PTR, DWORD_PTR) {
  if (message == WM_USER + 7) g_seen.insert(control);
  return DefSubclassProc(control, message, wParam, lParam);
}

TEST(MainWindowSide, EveryChildControlIsSubclassed) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW cls{};
  cls.lpfnWndProc = DefWindowProcW;
  cls.hInstance = instance;
  cls.lpszClassName = L"KestrovaWindowSideTest";
  ASSERT_NE(RegisterClassW(&cls), 0);
  HWND window = CreateWindowExW(0, cls.lpszClassName, L"test", WS_POPUP, 0, 0, 800, 600, nullptr,
                                nullptr, instance, nullptr);
  ASSERT_NE(window, nullptr);
  MainWindowSide side(instance);
  ASSERT_TRUE(side.Create(window));
  ASSERT_TRUE(side.SubclassChildControls(RecordingSubclass));

  // Every child window of the main window, found by the system rather than by the side.
  std::set<HWND> children;
  EnumChildWindows(
      window,
      [](HWND child, LPARAM found) {
        reinterpret_cast<std::set<HWND>*>(found)->insert(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  EXPECT_EQ(children.size(), 5u);
  for (HWND child : children) SendMessageW(child, WM_USER + 7, 0, 0);
  EXPECT_EQ(g_seen, children) << "a child control is not subclassed";
  DestroyWindow(window);
}

}  // namespace
}  // namespace ov
