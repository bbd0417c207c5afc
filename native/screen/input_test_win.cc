// The injector against the real system: the cursor lands where it is put, and the keys and
// clicks reach a window of this thread carrying the marker as their extra information.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "screen/displays.h"
#include "screen/input_injector.h"

namespace ov {
namespace {

struct Received {
  UINT message;
  WPARAM wParam;
  bool marked;
};
std::vector<Received>* g_received = nullptr;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (g_received && (message == WM_KEYDOWN || message == WM_KEYUP || message == WM_LBUTTONDOWN ||
                     message == WM_LBUTTONUP || message == WM_MOUSEWHEEL)) {
    g_received->push_back(
        {message, wParam,
         static_cast<ULONG_PTR>(GetMessageExtraInfo()) == ULONG_PTR{kInjectedInputMarker}});
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void Pump() {
  for (int i = 0; i < 20; ++i) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(10);
  }
}

TEST(WindowsInput, InjectsOntoTheSharedDisplayWithTheMarker) {
  const std::vector<DisplayInfo> displays = EnumerateDisplays();
  ASSERT_FALSE(displays.empty());
  const DisplayInfo& display = displays.front();
  ASSERT_TRUE(IsInputDesktopActive());

  WNDCLASSW wc{};
  wc.lpfnWndProc = RecordingProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"KestrovaInputTest";
  RegisterClassW(&wc);
  const ScreenRect& r = display.rect;
  HWND window = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"input", WS_POPUP | WS_VISIBLE,
                                r.left, r.top, static_cast<int>(r.Width()),
                                static_cast<int>(r.Height()), nullptr, nullptr, wc.hInstance,
                                nullptr);
  ASSERT_NE(window, nullptr);
  SetForegroundWindow(window);
  SetFocus(window);
  Pump();

  std::vector<Received> received;
  g_received = &received;
  InputInjector injector(CreateSystemInputBackend());
  auto inject = [&](InputAction action, int x, int y, int button, int key) {
    return injector.Inject(display, InputEvent{action, x, y, button, key, 1});
  };

  // The cursor lands exactly on the mapped pixel, corners included.
  for (const auto& [x, y] : {std::pair{0, 0}, {65535, 65535}, {32768, 32768}}) {
    const InjectResult moved = inject(InputAction::Move, x, y, 1, 0);
    EXPECT_TRUE(moved.ok) << moved.code;
    POINT at{};
    GetCursorPos(&at);
    EXPECT_EQ(at.x, MapInputCoordinate(x, r.left, r.right));
    EXPECT_EQ(at.y, MapInputCoordinate(y, r.top, r.bottom));
  }

  EXPECT_TRUE(inject(InputAction::KeyDown, 0, 0, 0, 'K').ok);
  EXPECT_TRUE(injector.KeyHeld('K'));
  EXPECT_TRUE(inject(InputAction::Down, 32768, 32768, 1, 0).ok);
  EXPECT_TRUE(inject(InputAction::Wheel, 32768, 32768, 0, 120).ok);
  Pump();
  // Focus loss or a session end: what is held goes up.
  injector.ReleaseHeld();
  Pump();
  g_received = nullptr;
  EXPECT_FALSE(injector.KeyHeld('K'));
  EXPECT_FALSE(injector.ButtonHeld(1));

  const std::vector<UINT> expected{WM_KEYDOWN, WM_LBUTTONDOWN, WM_MOUSEWHEEL, WM_KEYUP,
                                   WM_LBUTTONUP};
  std::vector<UINT> got;
  for (const Received& m : received) {
    got.push_back(m.message);
    EXPECT_TRUE(m.marked) << "message " << m.message << " lost the marker";
  }
  EXPECT_EQ(got, expected);
  DestroyWindow(window);
}

}  // namespace
}  // namespace ov
