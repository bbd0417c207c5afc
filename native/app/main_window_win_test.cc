// The main window's side in this process: every child control it creates is subclassed, so that
// input injected for a remote viewer can be swallowed on each of them; and a paint that fails
// still ends.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <vector>

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

// Each WM_PAINT of the test window runs `g_paint`, which throws after taking the paint's display
// context; the window procedure is the barrier.
std::vector<HDC> g_paintDcs;
void (*g_paint)(HWND) = nullptr;

LRESULT CALLBACK ThrowingPaintProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_PAINT) return DefWindowProcW(window, message, wParam, lParam);
  try {
    g_paint(window);
  } catch (const std::runtime_error&) {
  }
  return 0;
}

// A paint that throws inside a PaintScope still ends: the next paint gets the released display
// context back and nothing stays invalid. The control row, the pattern the window used before
// (BeginPaint with EndPaint after the drawing), shows that the check tells them apart: its
// display contexts stay taken.
TEST(PaintScope, APaintThatThrowsStillEnds) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW cls{};
  cls.lpfnWndProc = ThrowingPaintProc;
  cls.hInstance = instance;
  cls.lpszClassName = L"KestrovaPaintScopeTest";
  ASSERT_NE(RegisterClassW(&cls), 0);
  struct Row {
    const char* label;
    void (*paint)(HWND);
    bool released;
  };
  const Row rows[] = {
      {"paint scope",
       [](HWND window) {
         const PaintScope paint(window);
         g_paintDcs.push_back(paint.dc());
         throw std::runtime_error("drawing failed");
       },
       true},
      {"begin without a guaranteed end",
       [](HWND window) {
         PAINTSTRUCT paint{};
         g_paintDcs.push_back(BeginPaint(window, &paint));
         throw std::runtime_error("drawing failed");
         // EndPaint(window, &paint) was never reached.
       },
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    g_paint = row.paint;
    g_paintDcs.clear();
    HWND window = CreateWindowExW(0, cls.lpszClassName, L"paint", WS_POPUP | WS_VISIBLE, 0, 0, 200,
                                  100, nullptr, nullptr, instance, nullptr);
    ASSERT_NE(window, nullptr);
    for (int i = 0; i < 3; ++i) {
      InvalidateRect(window, nullptr, FALSE);
      UpdateWindow(window);
    }
    ASSERT_EQ(g_paintDcs.size(), 3u);
    EXPECT_FALSE(GetUpdateRect(window, nullptr, FALSE)) << "nothing is left to repaint";
    const bool sameDc = g_paintDcs[0] == g_paintDcs[1] && g_paintDcs[1] == g_paintDcs[2];
    EXPECT_EQ(sameDc, row.released);
    DestroyWindow(window);
  }
}

}  // namespace
}  // namespace ov
