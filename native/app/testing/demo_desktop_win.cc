// The host's desktop in the two-device demo and its end-to-end test: a test pattern that fills the
// screen behind every other window, and a recording window that logs the clicks and keys it
// receives. Both are drawn by Wine's GDI, so the host's screen capture sees them as it sees any
// Windows program.
//
// Usage: demo_desktop LOG_FILE [PATTERN]
//   LOG_FILE  each event is appended as one line and flushed at once:
//               "ready X Y W H"      the recording window's screen rectangle, once at start
//               "click X Y"          a left press, in screen coordinates
//               "key VK" / "char C"  a key press (virtual-key code) / a typed character (UTF-16 unit)
//   PATTERN   0 (default) the pattern the test expects; 1 the same layout with every cell in
//             another colour (a wrong picture, to see the test fail).
//
// The pattern: 8 columns x 5 rows of equal cells over the whole screen; the cell in column c and
// row r has colour kPalette[(c + 3 * r + 4 * PATTERN) % 8]. The test holds the same table.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <deque>
#include <initializer_list>
#include <string>

namespace {

constexpr COLORREF kPalette[8] = {
    RGB(0xE5, 0x39, 0x35), RGB(0x43, 0xA0, 0x47), RGB(0x1E, 0x88, 0xE5), RGB(0xFD, 0xD8, 0x35),
    RGB(0x8E, 0x24, 0xAA), RGB(0x00, 0xAC, 0xC1), RGB(0xFB, 0x8C, 0x00), RGB(0x6D, 0x4C, 0x41),
};
constexpr int kColumns = 8;
constexpr int kRows = 5;
constexpr int kRecorderWidth = 640;
constexpr int kRecorderHeight = 360;
constexpr std::size_t kShownLines = 14;

int g_pattern = 0;
FILE* g_log = nullptr;
std::deque<std::wstring> g_lines;
bool g_clicked = false;

// "word n1 n2 ...".
std::wstring Line(const wchar_t* word, std::initializer_list<long> numbers) {
  std::wstring line = word;
  for (const long number : numbers) line += L" " + std::to_wstring(number);
  return line;
}

// Appends one line to the log and to the lines shown in `window` (when given).
void Record(HWND window, const std::wstring& line) {
  if (g_log != nullptr) {
    std::fprintf(g_log, "%ls\n", line.c_str());
    std::fflush(g_log);
  }
  g_lines.emplace_back(line);
  while (g_lines.size() > kShownLines) g_lines.pop_front();
  if (window != nullptr) InvalidateRect(window, nullptr, TRUE);
}

// The pattern window: the whole screen, always at the bottom, never activated, so that clicks on
// it leave the other windows where they are.
LRESULT CALLBACK PatternProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_MOUSEACTIVATE:
      return MA_NOACTIVATE;
    case WM_WINDOWPOSCHANGING:
      reinterpret_cast<WINDOWPOS*>(lParam)->hwndInsertAfter = HWND_BOTTOM;
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT client;
      GetClientRect(window, &client);
      for (int row = 0; row < kRows; ++row) {
        for (int column = 0; column < kColumns; ++column) {
          const RECT cell{client.right * column / kColumns, client.bottom * row / kRows,
                          client.right * (column + 1) / kColumns, client.bottom * (row + 1) / kRows};
          HBRUSH brush = CreateSolidBrush(kPalette[(column + 3 * row + 4 * g_pattern) % 8]);
          FillRect(dc, &cell, brush);
          DeleteObject(brush);
        }
      }
      EndPaint(window, &paint);
      return 0;
    }
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

LRESULT CALLBACK RecorderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_LBUTTONDOWN: {
      POINT point{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
      ClientToScreen(window, &point);
      g_clicked = true;
      SetFocus(window);
      Record(window, Line(L"click", {point.x, point.y}));
      return 0;
    }
    case WM_KEYDOWN:
      Record(window, Line(L"key", {static_cast<long>(wParam)}));
      return 0;
    case WM_CHAR:
      Record(window, Line(L"char", {static_cast<long>(wParam)}));
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT client;
      GetClientRect(window, &client);
      HBRUSH background = CreateSolidBrush(g_clicked ? RGB(0xE8, 0xF8, 0xEE) : RGB(0xFF, 0xFF, 0xFF));
      FillRect(dc, &client, background);
      DeleteObject(background);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, RGB(0x10, 0x20, 0x30));
      int y = 10;
      const std::wstring title = L"Recording window: clicks and keys received";
      TextOutW(dc, 12, y, title.c_str(), static_cast<int>(title.size()));
      y += 28;
      for (const std::wstring& line : g_lines) {
        TextOutW(dc, 12, y, line.c_str(), static_cast<int>(line.size()));
        y += 20;
      }
      EndPaint(window, &paint);
      return 0;
    }
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: demo_desktop LOG_FILE [PATTERN]\n");
    return 2;
  }
  if (argc == 3) {
    const std::wstring pattern = argv[2];
    if (pattern != L"0" && pattern != L"1") {
      std::fprintf(stderr, "demo_desktop: PATTERN must be 0 or 1\n");
      return 2;
    }
    g_pattern = pattern == L"1" ? 1 : 0;
  }
  g_log = _wfopen(argv[1], L"a");
  LocalFree(argv);
  if (g_log == nullptr) {
    std::fprintf(stderr, "demo_desktop: cannot open the log file\n");
    return 1;
  }

  WNDCLASSW pattern{};
  pattern.lpfnWndProc = PatternProc;
  pattern.hInstance = instance;
  pattern.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  pattern.lpszClassName = L"KestrovaDemoPattern";
  WNDCLASSW recorder{};
  recorder.lpfnWndProc = RecorderProc;
  recorder.hInstance = instance;
  recorder.hCursor = pattern.hCursor;
  recorder.lpszClassName = L"KestrovaDemoRecorder";
  if (RegisterClassW(&pattern) == 0 || RegisterClassW(&recorder) == 0) return 1;

  const int width = GetSystemMetrics(SM_CXSCREEN);
  const int height = GetSystemMetrics(SM_CYSCREEN);
  HWND background = CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, pattern.lpszClassName,
                                    L"Test pattern", WS_POPUP | WS_VISIBLE, 0, 0, width, height,
                                    nullptr, nullptr, instance, nullptr);
  // Top right, clear of the program's window at the top left and its banner at the bottom right.
  const int x = width - kRecorderWidth - 40;
  const int y = 60;
  HWND window = CreateWindowExW(0, recorder.lpszClassName, L"Recording window",
                                WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, x, y,
                                kRecorderWidth, kRecorderHeight, nullptr, nullptr, instance, nullptr);
  if (background == nullptr || window == nullptr) return 1;
  SetWindowPos(background, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  RECT placed;
  GetWindowRect(window, &placed);
  Record(nullptr, Line(L"ready", {placed.left, placed.top, placed.right - placed.left,
                                  placed.bottom - placed.top}));
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  std::fclose(g_log);
  return 0;
}
