// The Windows capture path against the real (Wine/Xvfb) screen: a window of known colours is
// captured through GDI, encoded with GDI+ and decoded again.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>


#include "screen/displays.h"
#include "screen/dxgi_duplication_win.h"
#include "screen/gdi_capturer_win.h"
#include "screen/jpeg_codec.h"
#include "screen/region_encoder.h"
#include "screen/synthetic_capturer.h"
#include "screen/viewer_display.h"
#include "windows_capture/wgc_platform_win.h"

namespace ov {
namespace {

constexpr COLORREF kBlocks[4] = {RGB(0xD0, 0x20, 0x10), RGB(0x20, 0xC0, 0x40),
                                 RGB(0x20, 0x40, 0xE0), RGB(0xF0, 0xF0, 0xF0)};

LRESULT CALLBACK PaintProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    const bool black = GetWindowLongPtrW(window, GWLP_USERDATA) != 0;
    for (int i = 0; i < 4; ++i) {
      RECT block{client.right * i / 4, 0, client.right * (i + 1) / 4, client.bottom};
      HBRUSH brush = CreateSolidBrush(black ? RGB(0, 0, 0) : kBlocks[i]);
      FillRect(dc, &block, brush);
      DeleteObject(brush);
    }
    EndPaint(window, &ps);
    return 0;
  }
  if (message == WM_ERASEBKGND) return 1;
  return DefWindowProcW(window, message, wparam, lparam);
}

void PumpFor(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (GetTickCount64() < end) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(10);
  }
}

// A topmost borderless window painted with four colour blocks (or all black).
class TestWindow {
 public:
  TestWindow(RECT at, bool black) {
    static const ATOM atom = [] {
      WNDCLASSW wc{};
      wc.lpfnWndProc = &PaintProc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpszClassName = L"ScreenCaptureTestWindow";
      wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
      return RegisterClassW(&wc);
    }();
    window_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, MAKEINTATOM(atom), L"capture test",
                              WS_POPUP, at.left, at.top, at.right - at.left, at.bottom - at.top,
                              nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, black ? 1 : 0);
    ShowWindow(window_, SW_SHOWNOACTIVATE);
    UpdateWindow(window_);
    SetCursorPos(at.right + 5 < 1280 ? 1275 : 0, 795);  // keep the pointer off the blocks
    PumpFor(600);
    InvalidateRect(window_, nullptr, FALSE);
    UpdateWindow(window_);
    PumpFor(300);
  }
  ~TestWindow() {
    DestroyWindow(window_);
    PumpFor(100);
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;
  bool ok() const { return window_ != nullptr; }

 private:
  HWND window_ = nullptr;
};

DisplayInfo Primary() {
  const auto displays = EnumerateDisplays();
  return displays.empty() ? DisplayInfo{} : displays.front();
}

// The four blocks of a TestWindow at `at`, each read at its centre in a picture of the display.
void ExpectBlocks(const PixelBuffer& picture, const DisplayInfo& display, const RECT& at) {
  for (int i = 0; i < 4; ++i) {
    const int x = at.left - display.rect.left + (at.right - at.left) * (2 * i + 1) / 8;
    const int y = at.top - display.rect.top + (at.bottom - at.top) / 2;
    const std::uint8_t* px = picture.bytes.data() +
        (static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width) + static_cast<std::size_t>(x)) * 4;
    EXPECT_NEAR(px[0], GetBValue(kBlocks[i]), 12) << "block " << i;
    EXPECT_NEAR(px[1], GetGValue(kBlocks[i]), 12) << "block " << i;
    EXPECT_NEAR(px[2], GetRValue(kBlocks[i]), 12) << "block " << i;
  }
}

TEST(WindowsDisplays, PrimaryIsListedResolvedAndReachable) {
  const auto displays = EnumerateDisplays();
  ASSERT_FALSE(displays.empty());
  EXPECT_TRUE(displays.front().primary);
  EXPECT_FALSE(displays.front().rect.Empty());
  const auto resolved = ResolveDisplayBounds(DisplayInfo{});
  ASSERT_TRUE(resolved.has_value());
  EXPECT_EQ(*resolved, displays.front().rect);
  EXPECT_EQ(ResolveDisplayBounds(displays.front()), resolved);
  EXPECT_FALSE(ResolveDisplayBounds(DisplayInfo{L"\\\\.\\NO-SUCH-DISPLAY", {}, false}).has_value());
  // The primary display's rate as its device context reports it: an independent reading (0 or
  // 1 stands for the hardware's default and is replaced by 60).
  const HDC screen = GetDC(nullptr);
  const int vertical = GetDeviceCaps(screen, VREFRESH);
  ReleaseDC(nullptr, screen);
  EXPECT_EQ(DisplayRefreshRate(displays.front()), vertical > 1 ? vertical : 60) << vertical;
  EXPECT_EQ(DisplayRefreshRate(DisplayInfo{L"\\\\.\\NO-SUCH-DISPLAY", {}, false}), 60);
  // A normal desktop, under Wine too (where the terminal-services query is not implemented).
  EXPECT_TRUE(IsInputDesktopActive());
}

TEST(WindowsCapture, GdiCapturesAWindowOfKnownColours) {
  const RECT at{100, 120, 100 + 400, 120 + 200};
  TestWindow window(at, false);
  ASSERT_TRUE(window.ok());
  const DisplayInfo display = Primary();
  auto capturer = CreateScreenCapturer();
  CaptureStatus status;
  const auto jpeg = capturer->CaptureFrame(display, 1920, 90, status).jpeg;
  ASSERT_FALSE(jpeg.empty());
  EXPECT_EQ(status.backend, 1);
  EXPECT_FALSE(status.black);
  EXPECT_TRUE(status.desktop);
  EXPECT_EQ(status.error, 0u);  // WGC was not needed, so not tried
  const auto picture = DecodeFrameJpeg(jpeg.data(), jpeg.size());
  ASSERT_TRUE(picture.has_value());
  ASSERT_EQ(picture->width, display.rect.Width());
  ASSERT_EQ(picture->height, display.rect.Height());
  ExpectBlocks(*picture, display, at);

  // Scaled to a narrower profile width.
  const auto small = capturer->CaptureFrame(display, 640, 50, status).jpeg;
  const auto smallPicture = DecodeFrameJpeg(small.data(), small.size());
  ASSERT_TRUE(smallPicture.has_value());
  EXPECT_EQ(smallPicture->width, 640);
  EXPECT_EQ(smallPicture->height, static_cast<int>(display.rect.Height() * 640 / display.rect.Width()));
}

// A region stream's capturer: the pictures go through the lent encoder; a window that appears is
// a change confined to its area, composed by a viewer into the colours it shows; the capturer's
// own whole JPEGs come back once the encoder is taken away.
TEST(WindowsCapture, ALentRegionEncoderGetsThePictures) {
  const DisplayInfo display = Primary();
  auto capturer = CreateScreenCapturer();
  RegionEncoder encoder;
  ASSERT_TRUE(capturer->UseEncoder(&encoder));
  ViewerDisplay viewer(0);
  std::uint32_t seq = 0;
  auto deliver = [&](const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> message;
    BuildFrameMessage(FrameHeader{1, ++seq}, body, message);
    return viewer.ReceiveRegions(message, 1).has_value();
  };
  CaptureStatus status;
  CaptureResult first = capturer->CaptureFrame(display, 1920, 80, status);
  ASSERT_EQ(first.next, CaptureResult::Next::Picture);
  ASSERT_TRUE(deliver(first.jpeg));
  EXPECT_TRUE(encoder.lastWasFull());

  const RECT at{96, 112, 96 + 320, 112 + 160};
  TestWindow window(at, false);
  ASSERT_TRUE(window.ok());
  CaptureResult change = capturer->CaptureFrame(display, 1920, 80, status);
  ASSERT_EQ(change.next, CaptureResult::Next::Picture);
  ASSERT_TRUE(deliver(change.jpeg));
  EXPECT_FALSE(encoder.lastWasFull());
  const int left = at.left - display.rect.left;
  const int top = at.top - display.rect.top;
  const int right = at.right - display.rect.left;
  const int bottom = at.bottom - display.rect.top;
  for (const RegionRect& r : encoder.rects()) {
    // The window's area in tiles of 16 (the pointer moved too: rectangles away from the window
    // are not checked).
    if (r.x + r.width <= left || r.x >= right || r.y + r.height <= top || r.y >= bottom) continue;
    EXPECT_GE(r.x, left - 16);
    EXPECT_LE(r.x + r.width, right + 16);
    EXPECT_GE(r.y, top - 16);
    EXPECT_LE(r.y + r.height, bottom + 16);
  }
  const PixelBuffer& picture = *viewer.picture();
  ExpectBlocks(picture, display, at);

  ASSERT_TRUE(capturer->UseEncoder(nullptr));
  const auto jpeg = capturer->CaptureFrame(display, 1920, 80, status).jpeg;
  ASSERT_GE(jpeg.size(), 2u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);
}

// Wine has no Windows.Graphics.Capture: the activation of its classes fails with
// REGDB_E_CLASSNOTREG. Real Windows 10 1903 and later have it.
bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

constexpr std::uint32_t kClassNotRegistered = 0x80040154;  // REGDB_E_CLASSNOTREG

// Duplication of a scripted screen: `next` lists what changed since the last copy; with
// `reportAll` every copy is reported as all of the screen (what no hint amounts to).
class ScriptedDuplication final : public ScreenDuplication {
 public:
  ScriptedDuplication(const PixelBuffer& screen, const std::vector<RegionRect>& next, bool reportAll)
      : screen_(screen), next_(next), reportAll_(reportAll) {}
  Result Copy(const ScreenRect&, std::uint8_t* dest, std::size_t stride, bool whole,
              std::span<const RegionRect> restore, std::vector<RegionRect>& changed) override {
    changed.clear();
    if (whole || reportAll_) {
      changed.push_back(RegionRect{0, 0, screen_.width, screen_.height});
    } else {
      changed = next_;
      changed.insert(changed.end(), restore.begin(), restore.end());
    }
    for (const RegionRect& r : changed) {
      const int x0 = std::max(r.x, 0);
      const int x1 = std::min(r.x + r.width, screen_.width);
      for (int y = std::max(r.y, 0); y < std::min(r.y + r.height, screen_.height) && x1 > x0; ++y) {
        const std::size_t from = (static_cast<std::size_t>(y) * static_cast<std::size_t>(screen_.width) + static_cast<std::size_t>(x0)) * 4;
        std::memcpy(dest + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x0) * 4,
                    screen_.bytes.data() + from, static_cast<std::size_t>(x1 - x0) * 4);
      }
    }
    return Result::Copied;
  }
  void AllowRetry() noexcept override {}
  std::uint32_t lastError() const noexcept override { return 0; }
  std::uint32_t attempts() const noexcept override { return 1; }

 private:
  const PixelBuffer& screen_;
  const std::vector<RegionRect>& next_;
  bool reportAll_;
};

// The capturer's use of duplication's rectangles: the lent encoder, told only where the screen
// changed and where the cursor was and is drawn, sends exactly the bytes it sends when told that
// all of the screen may have changed, frame after frame, as the screen and the pointer change.
TEST(WindowsCapture, DuplicationsRectanglesAndTheCursorMakeAHintThatMissesNothing) {
  const DisplayInfo display = Primary();
  const auto width = static_cast<int>(display.rect.Width());
  const auto height = static_cast<int>(display.rect.Height());
  // A window under the pointer wherever it goes, so that it shows the window's arrow (the
  // pictures themselves are the scripted screen).
  TestWindow window(RECT{display.rect.left, display.rect.top, display.rect.right, display.rect.bottom}, false);
  ASSERT_TRUE(window.ok());
  SetForegroundWindow(FindWindowW(L"ScreenCaptureTestWindow", nullptr));
  PixelBuffer screen = PaintSyntheticPicture(SyntheticScene::MovingPattern, width, height, 0);
  std::vector<RegionRect> next;
  auto hinted = CreateGdiWgcCapturer(CreateWindowsWgcPlatform(), std::make_unique<ScriptedDuplication>(screen, next, false));
  auto plain = CreateGdiWgcCapturer(CreateWindowsWgcPlatform(), std::make_unique<ScriptedDuplication>(screen, next, true));
  RegionEncoder hintedEncoder;
  RegionEncoder plainEncoder;
  ASSERT_TRUE(hinted->UseEncoder(&hintedEncoder));
  ASSERT_TRUE(plain->UseEncoder(&plainEncoder));
  const auto change = [&](int x, int y, int w, int h) {
    for (int yy = y; yy < y + h; ++yy) {
      for (int xx = x; xx < x + w; ++xx) {
        std::uint8_t* px = screen.bytes.data() + (static_cast<std::size_t>(yy) * static_cast<std::size_t>(width) + static_cast<std::size_t>(xx)) * 4;
        px[0] = static_cast<std::uint8_t>(px[0] ^ 0x55);
        px[1] = static_cast<std::uint8_t>(px[1] ^ 0x3C);
      }
    }
    next.push_back(RegionRect{x, y, w, h});
  };
  struct Step {
    const char* name;
    POINT pointer;  // on the display
    std::function<void()> paint;
    CaptureResult::Next expected;
  };
  using N = CaptureResult::Next;
  const std::vector<Step> steps = {
      {"the first picture", {40, 40}, [] {}, N::Picture},
      {"a block changed", {40, 40}, [&] { change(100, 100, 40, 20); }, N::Picture},
      {"nothing changed", {40, 40}, [] {}, N::Unchanged},
      {"the pointer moved", {300, 200}, [] {}, N::Picture},
      {"the last row and column", {300, 200}, [&] { change(width - 3, height - 2, 3, 2); }, N::Picture},
      {"a change and the pointer back", {40, 40}, [&] { change(10, 10, 5, 5); }, N::Picture},
      {"the pointer half off the display", {width - 2, height - 2}, [] {}, N::Picture},
      {"two changes on a tile edge", {width - 2, height - 2},
       [&] { change(15, 15, 2, 2); change(200, 31, 1, 1); }, N::Picture},
  };
  CaptureStatus status;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    next.clear();
    step.paint();
    SetCursorPos(static_cast<int>(display.rect.left) + step.pointer.x, static_cast<int>(display.rect.top) + step.pointer.y);
    PumpFor(30);
    SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)));  // the arrow
    const CaptureResult h = hinted->CaptureFrame(display, 1920, 80, status);
    const ScreenCopyReport report = LastScreenCopy(*hinted);
    const CaptureResult p = plain->CaptureFrame(display, 1920, 80, status);
    EXPECT_EQ(report.path, ScreenCopyPath::Duplication) << step.name;
    EXPECT_EQ(report.hinted, i > 0) << step.name;
    EXPECT_EQ(h.next, step.expected) << step.name;
    EXPECT_EQ(p.next, step.expected) << step.name;
    EXPECT_EQ(h.jpeg, p.jpeg) << step.name << ": the same message";
  }
}

// The black test on duplication's pictures: a pixel known not to be black spares reading the
// picture again only while nothing is written over it.
TEST(WindowsCapture, ADuplicatedPictureTurnsBlackWhenItsLastBrightPixelDoes) {
  const DisplayInfo display = Primary();
  const auto width = static_cast<int>(display.rect.Width());
  const auto height = static_cast<int>(display.rect.Height());
  PixelBuffer screen{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0)};
  std::vector<RegionRect> next;
  auto capturer = CreateGdiWgcCapturer(CreateWindowsWgcPlatform(), std::make_unique<ScriptedDuplication>(screen, next, false));
  const auto paint = [&](int x, int y, std::uint8_t value) {
    std::uint8_t* px = screen.bytes.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 4;
    px[0] = px[1] = px[2] = value;
    next.assign(1, RegionRect{x, y, 1, 1});
  };
  struct Step {
    const char* name;
    int x, y;
    std::uint8_t value;
    bool black;
  };
  const Step steps[] = {
      {"one bright pixel", 5, 5, 200, false},
      {"another one after it", 900, 600, 200, false},
      {"the first one black again", 5, 5, 0, false},
      {"the last one black too", 900, 600, 0, true},
      {"bright again", 900, 600, 200, false},
  };
  CaptureStatus status;
  for (const Step& step : steps) {
    paint(step.x, step.y, step.value);
    const CaptureResult result = capturer->CaptureFrame(display, 1920, 80, status);
    ASSERT_NE(result.next, CaptureResult::Next::TryAgain) << step.name;
    const ScreenCopyReport report = LastScreenCopy(*capturer);
    if (step.black) {
      // The duplicated picture is black: GDI's plain copy is taken when it is not, else the
      // black picture goes out as black.
      EXPECT_TRUE(report.path == ScreenCopyPath::Gdi || status.black) << step.name;
    } else {
      EXPECT_EQ(report.path, ScreenCopyPath::Duplication) << step.name;
      EXPECT_FALSE(status.black) << step.name;
    }
  }
}

// The first copy of a display goes through Desktop Duplication where the system offers it and
// through GDI where it does not (Wine has no DuplicateOutput); a failed duplication is not tried
// again on every frame, only on a clear reason (another rectangle, AllowRetry).
TEST(WindowsCapture, DuplicationWhereOfferedElseGdiAndNoRetryOnEveryFrame) {
  const DisplayInfo display = Primary();
  const RECT at{160, 96, 160 + 320, 96 + 160};
  TestWindow window(at, false);
  ASSERT_TRUE(window.ok());
  auto capturer = CreateScreenCapturer();
  RegionEncoder encoder;
  ASSERT_TRUE(capturer->UseEncoder(&encoder));
  ViewerDisplay viewer(0);
  std::uint32_t seq = 0;
  CaptureStatus status;
  std::vector<ScreenCopyReport> reports;
  for (int i = 0; i < 3; ++i) {
    const CaptureResult result = capturer->CaptureFrame(display, 1920, 80, status);
    ASSERT_NE(result.next, CaptureResult::Next::TryAgain) << i;
    ASSERT_NE(result.next, CaptureResult::Next::GiveUp) << i;
    EXPECT_EQ(status.backend, 1) << i;  // a screen copy either way
    if (result.next == CaptureResult::Next::Picture) {
      std::vector<std::uint8_t> message;
      BuildFrameMessage(FrameHeader{1, ++seq}, result.jpeg, message);
      ASSERT_TRUE(viewer.ReceiveRegions(message, 1).has_value()) << i;
    }
    reports.push_back(LastScreenCopy(*capturer));
  }
  ASSERT_TRUE(viewer.picture().has_value());
  const PixelBuffer& picture = *viewer.picture();
  ExpectBlocks(picture, display, at);
  if (RunningUnderWine()) {
    for (const ScreenCopyReport& r : reports) {
      EXPECT_EQ(r.path, ScreenCopyPath::Gdi) << std::hex << r.duplicationError;
      EXPECT_NE(r.duplicationError, 0u) << "the reason duplication is not used";
      EXPECT_EQ(r.duplicationAttempts, 1u) << "tried once, not on every frame";
      EXPECT_FALSE(r.hinted) << "a GDI copy tells nothing of what changed";
    }
    DesktopDuplication duplication;
    const auto width = static_cast<int>(display.rect.Width());
    const auto height = static_cast<int>(display.rect.Height());
    std::vector<std::uint8_t> dest(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0x5A);
    std::vector<RegionRect> changed{{1, 2, 3, 4}};
    const auto copy = [&](const ScreenRect& rect) {
      return duplication.Copy(rect, dest.data(), static_cast<std::size_t>(width) * 4, true, {}, changed);
    };
    EXPECT_EQ(copy(display.rect), DesktopDuplication::Result::Unavailable);
    EXPECT_TRUE(changed.empty());
    EXPECT_EQ(copy(display.rect), DesktopDuplication::Result::Unavailable);
    EXPECT_EQ(duplication.attempts(), 1u);
    EXPECT_FALSE(duplication.active());
    duplication.AllowRetry();
    EXPECT_EQ(copy(display.rect), DesktopDuplication::Result::Unavailable);
    EXPECT_EQ(duplication.attempts(), 2u);
    ScreenRect smaller = display.rect;
    smaller.right -= 16;  // another mode of the display
    EXPECT_EQ(copy(smaller), DesktopDuplication::Result::Unavailable);
    EXPECT_EQ(duplication.attempts(), 3u);
    EXPECT_TRUE(std::all_of(dest.begin(), dest.end(), [](std::uint8_t b) { return b == 0x5A; }))
        << "nothing written";
    return;
  }
  // A real system: duplication unless it is refused here (a session without the right to it).
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const ScreenCopyReport& r = reports[i];
    if (r.path == ScreenCopyPath::Duplication) {
      EXPECT_EQ(r.duplicationError, 0u);
      if (i > 0 && reports[i - 1].path == ScreenCopyPath::Duplication) {
        EXPECT_TRUE(r.hinted) << i;
      }
    } else {
      EXPECT_EQ(r.path, ScreenCopyPath::Gdi) << i;
      EXPECT_NE(r.duplicationError, 0u) << i;
    }
  }
}

TEST(WindowsCapture, BlackScreenIsDeliveredAsBlackAfterWgcFails) {
  const DisplayInfo display = Primary();
  TestWindow window(RECT{display.rect.left, display.rect.top, display.rect.right, display.rect.bottom}, true);
  ASSERT_TRUE(window.ok());
  auto capturer = CreateScreenCapturer();
  CaptureStatus status;
  const auto jpeg = capturer->CaptureFrame(display, 1920, 70, status).jpeg;
  ASSERT_FALSE(jpeg.empty());
  if (status.backend == 2) {
    GTEST_SKIP() << "Windows.Graphics.Capture is available here; the GDI fallback is not used";
  }
  EXPECT_EQ(status.backend, 1);
  EXPECT_TRUE(status.black);
  EXPECT_TRUE(status.desktop);
  EXPECT_NE(status.error & 0x80000000u, 0u) << "the failed WGC attempt is reported";
  if (RunningUnderWine()) {
    EXPECT_EQ(status.error, kClassNotRegistered);
  }
  // During the back-off the stored error keeps being reported, and GDI keeps delivering (the same
  // picture as Unchanged, without encoding it again).
  CaptureStatus again;
  const CaptureResult next = capturer->CaptureFrame(display, 1920, 70, again);
  EXPECT_TRUE(next.next == CaptureResult::Next::Unchanged || !next.jpeg.empty());
  EXPECT_EQ(again.error, status.error);
  EXPECT_TRUE(again.black);
}

// A WGC platform that always delivers a frame of one colour.
class SolidWgcPlatform : public WgcPlatform {
 public:
  SolidWgcPlatform(WgcSize size, std::uint8_t value) : size_(size), value_(value) {}
  std::uint32_t InitializeRuntime() override { return 0; }
  void UninitializeRuntime() noexcept override {}
  std::unique_ptr<WgcSession> Start(const DisplayInfo&, const ScreenRect&) override {
    return std::make_unique<Session>(size_, value_);
  }
  std::uint64_t NowMs() override { return GetTickCount64(); }

 private:
  class Frame : public WgcFrame {
   public:
    Frame(WgcSize size, std::uint8_t value) : size_(size), memory_(static_cast<std::size_t>(size.width) * 4 * static_cast<std::size_t>(size.height), value) {}
    WgcSize ContentSize() override { return size_; }
    WgcTextureDesc Describe() override {
      return WgcTextureDesc{static_cast<std::uint32_t>(size_.width), static_cast<std::uint32_t>(size_.height), true, 1, 1, 1};
    }
    const std::uint8_t* MapStaging(const WgcTextureDesc&, std::uint32_t& pitch) override {
      pitch = static_cast<std::uint32_t>(size_.width) * 4;
      return memory_.data();
    }
    void Unmap() noexcept override {}

   private:
    WgcSize size_;
    std::vector<std::uint8_t> memory_;
  };
  class Session : public WgcSession {
   public:
    Session(WgcSize size, std::uint8_t value) : size_(size), value_(value) {}
    WgcSize PoolSize() const override { return size_; }
    std::unique_ptr<WgcFrame> TryGetNextFrame() override {
      if (delivered_) return nullptr;
      delivered_ = true;
      return std::make_unique<Frame>(size_, value_);
    }

   private:
    WgcSize size_;
    std::uint8_t value_;
    bool delivered_ = false;
  };
  WgcSize size_;
  std::uint8_t value_;
};

TEST(WindowsCapture, WgcPictureIsUsedWhenGdiIsBlackAndThenPreferred) {
  const DisplayInfo display = Primary();
  TestWindow window(RECT{display.rect.left, display.rect.top, display.rect.right, display.rect.bottom}, true);
  const WgcSize size{static_cast<std::int32_t>(display.rect.Width()), static_cast<std::int32_t>(display.rect.Height())};
  auto capturer = CreateGdiWgcCapturer(std::make_unique<SolidWgcPlatform>(size, 0x80));
  CaptureStatus status;
  const auto jpeg = capturer->CaptureFrame(display, 1920, 70, status).jpeg;
  ASSERT_FALSE(jpeg.empty());
  EXPECT_EQ(status.backend, 2);
  EXPECT_FALSE(status.black);
  EXPECT_EQ(status.error, 0u);
  const auto picture = DecodeFrameJpeg(jpeg.data(), jpeg.size());
  ASSERT_TRUE(picture.has_value());
  EXPECT_NEAR(picture->bytes[4 * 10], 0x80, 6);
  // Preferred from now on: the kept frame is handed out again, even though the screen is black;
  // its pixels are those of the last picture, so it is not encoded again.
  const CaptureResult second = capturer->CaptureFrame(display, 1920, 70, status);
  EXPECT_EQ(status.backend, 2);
  EXPECT_EQ(second.next, CaptureResult::Next::Unchanged);
  // Asked at another quality, the same pixels are encoded afresh.
  const CaptureResult third = capturer->CaptureFrame(display, 1920, 60, status);
  EXPECT_EQ(third.next, CaptureResult::Next::Picture);
  EXPECT_FALSE(third.jpeg.empty());
}

TEST(WindowsCapture, RealWgcBackendDeliversOrFailsWithTheSystemsReason) {
  const DisplayInfo display = Primary();
  WgcSource source(CreateWindowsWgcPlatform());
  std::uint32_t error = 0;
  const PixelBuffer* frame = source.GetFrame(display, display.rect, error);
  if (RunningUnderWine()) {
    // The capture API is missing: that exact failure, the session stopped, a back-off set, and
    // no new attempt within it.
    ASSERT_EQ(frame, nullptr);
    EXPECT_EQ(error, kClassNotRegistered);
    EXPECT_FALSE(source.running());
    const std::uint64_t retryAt = source.retryNotBefore();
    EXPECT_GT(retryAt, GetTickCount64());
    EXPECT_LE(retryAt, GetTickCount64() + kWgcRetryDelayMs);
    std::uint32_t again = 0;
    EXPECT_EQ(source.GetFrame(display, display.rect, again), nullptr);
    EXPECT_EQ(source.retryNotBefore(), retryAt) << "no attempt during the back-off";
    return;
  }
  // A real system: the first frame arrives within the first-frame wait.
  const std::uint64_t end = GetTickCount64() + kWgcFirstFrameWaitMs + 1000;
  while (frame == nullptr && error == wgc_error::kNoFrameYet && GetTickCount64() < end) {
    Sleep(20);
    frame = source.GetFrame(display, display.rect, error);
  }
  ASSERT_NE(frame, nullptr) << std::hex << error;
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(frame->width, display.rect.Width());
  EXPECT_EQ(frame->height, display.rect.Height());
}

}  // namespace
}  // namespace ov
