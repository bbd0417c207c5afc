#include "screen/gdi_capturer_win.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "screen/capture_policy.h"
#include "screen/displays.h"
#include "screen/dxgi_duplication_win.h"
#include "screen/jpeg_codec.h"
#include "screen/picture.h"
#include "screen/repeat_encoder.h"
#include "windows_capture/wgc_platform_win.h"

namespace ov {
namespace {

// A top-down 32-bit DIB section selected into a memory context. Not copyable; released in
// reverse order of creation.
class DibSurface {
 public:
  DibSurface() = default;
  ~DibSurface() { Release(); }
  DibSurface(const DibSurface&) = delete;
  DibSurface& operator=(const DibSurface&) = delete;

  // `reference` may be null (a context compatible with the screen is made then).
  bool Create(HDC reference, int width, int height) {
    Release();
    if (!SurfaceSizeAllowed(width, height)) return false;
    dc_ = CreateCompatibleDC(reference);
    if (dc_ == nullptr) return false;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap_ == nullptr || bits == nullptr) {
      Release();
      return false;
    }
    old_ = SelectObject(dc_, bitmap_);
    if (old_ == nullptr || reinterpret_cast<INT_PTR>(old_) == -1) {  // HGDI_ERROR
      old_ = nullptr;
      Release();
      return false;
    }
    bits_ = static_cast<std::uint8_t*>(bits);
    width_ = width;
    height_ = height;
    return true;
  }

  void Release() noexcept {
    if (old_ != nullptr) SelectObject(dc_, old_);
    if (bitmap_ != nullptr) DeleteObject(bitmap_);
    if (dc_ != nullptr) DeleteDC(dc_);
    old_ = nullptr;
    bitmap_ = nullptr;
    dc_ = nullptr;
    bits_ = nullptr;
    width_ = height_ = 0;
  }

  HDC dc() const noexcept { return dc_; }
  std::uint8_t* bits() const noexcept { return bits_; }
  int width() const noexcept { return width_; }
  int height() const noexcept { return height_; }
  bool Valid() const noexcept { return bits_ != nullptr; }

 private:
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
  std::uint8_t* bits_ = nullptr;
  int width_ = 0;
  int height_ = 0;
};

class ScreenDc {
 public:
  ScreenDc() : dc_(GetDC(nullptr)) {}
  ~ScreenDc() {
    if (dc_ != nullptr) ReleaseDC(nullptr, dc_);
  }
  ScreenDc(const ScreenDc&) = delete;
  ScreenDc& operator=(const ScreenDc&) = delete;
  HDC get() const noexcept { return dc_; }

 private:
  HDC dc_;
};

class WindowsCaptureSteps : public CaptureSteps {
 public:
  WindowsCaptureSteps(std::unique_ptr<WgcPlatform> platform, std::unique_ptr<ScreenDuplication> duplication)
      : wgc_(std::move(platform)),
        duplication_(duplication != nullptr ? std::move(duplication) : std::make_unique<DesktopDuplication>()) {}

  bool InputDesktopActive() override { return IsInputDesktopActive(); }
  void ResetWgc() override {
    wgc_.StopAndAllowRetry();
    // The input desktop is another one (the secure desktop, a lock): once it is back,
    // duplication may be had again.
    duplication_->AllowRetry();
  }
  std::optional<ScreenRect> ResolveBounds(const DisplayInfo& display) override {
    return ResolveDisplayBounds(display);
  }

  CopyResult CopyScreen(int slot, const ScreenRect& rect, bool& black) override {
    DibSurface& surface = surfaces_[slot];
    if (slot == 0) copiedByDuplication_ = false;
    ScreenDc screen;
    if (screen.get() == nullptr) return CopyResult::NoSurface;
    const auto width = static_cast<int>(rect.Width());
    const auto height = static_cast<int>(rect.Height());
    // The surfaces are kept from call to call while the display keeps its size.
    const bool reusable = surface.Valid() && surface.width() == width && surface.height() == height;
    if (!reusable && !surface.Create(screen.get(), width, height)) return CopyResult::NoSurface;
    if (slot == 0) {
      if (!reusable) {
        duplicated_ = false;
        brightAt_ = -1;
      }
      if (CopyByDuplication(surface, rect)) {
        // A pixel known not to be black that nothing was written over keeps the picture from
        // being black without reading it all again (a dark desktop would be read to its end).
        const bool known = brightAt_ >= 0 && std::none_of(written_.begin(), written_.end(), [&](const RegionRect& r) {
                             const std::int64_t x = brightAt_ % width;
                             const std::int64_t y = brightAt_ / width;
                             return x >= r.x && x < std::int64_t{r.x} + r.width && y >= r.y && y < std::int64_t{r.y} + r.height;
                           });
        if (!known) brightAt_ = FirstNonBlackPixel(surface.bits(), width, height);
        black = brightAt_ < 0;
        return CopyResult::Ok;
      }
      duplicated_ = false;  // GDI writes all of it
      brightAt_ = -1;
    }
    const DWORD rop = slot == 0 ? (SRCCOPY | CAPTUREBLT) : SRCCOPY;
    const bool copied =
        BitBlt(surface.dc(), 0, 0, width, height, screen.get(), rect.left, rect.top, rop) != FALSE;
    const bool flushed = GdiFlush() != FALSE;
    if (!copied || !flushed) return CopyResult::Failed;
    black = IsBlackPicture(surface.bits(), width, height);
    return CopyResult::Ok;
  }

  std::vector<std::uint8_t> EncodeSurface(int slot, const ScreenRect& rect, int maxWidth,
                                          int quality) override {
    DibSurface& surface = surfaces_[slot];
    if (!surface.Valid()) return {};
    return Encode(surface, rect, maxWidth, quality);
  }

  std::vector<std::uint8_t> TryWgc(const DisplayInfo& display, const ScreenRect& rect,
                                   int maxWidth, int quality, CaptureStatus& status) override {
    std::uint32_t error = 0;
    const PixelBuffer* frame = wgc_.GetFrame(display, rect, error);
    status.error = error;
    if (frame == nullptr || frame->width != rect.Width() || frame->height != rect.Height()) {
      return {};
    }
    // Kept until the next capture, like the screen copies: a lent encoder may keep its pixels
    // as the last picture sent once the frame is queued.
    DibSurface& surface = wgcSurface_;
    const bool reusable = surface.Valid() && surface.width() == frame->width && surface.height() == frame->height;
    if (!reusable && !surface.Create(nullptr, frame->width, frame->height)) return {};
    std::memcpy(surface.bits(), frame->bytes.data(), frame->bytes.size());
    const bool black = IsBlackPicture(surface.bits(), frame->width, frame->height);
    auto jpeg = Encode(surface, rect, maxWidth, quality);
    if (!jpeg.empty()) status.black = black;
    return jpeg;
  }

  // True once when the picture of the last call was the one encoded before (same pixels, cursor
  // included, and same settings), so the returned JPEG is a copy of that one.
  bool TakeRepeated() noexcept {
    const bool repeated = repeated_;
    repeated_ = false;
    return repeated;
  }

 private:
  // Brings surface 0 up to the display's image through duplication: only what changed when it
  // holds the last image duplicated (and the cursor drawn on it since), all of it otherwise.
  // The areas written are added to the hint for the next Encode of that surface.
  bool CopyByDuplication(DibSurface& surface, const ScreenRect& rect) {
    const RegionRect restore[1] = {cursor_};
    const std::span<const RegionRect> drawnOver =
        cursor_.width > 0 ? std::span<const RegionRect>(restore) : std::span<const RegionRect>();
    const auto result = duplication_->Copy(rect, surface.bits(), static_cast<std::size_t>(surface.width()) * 4,
                                          !duplicated_, drawnOver, written_);
    if (result != ScreenDuplication::Result::Copied) return false;
    duplicated_ = true;
    copiedByDuplication_ = true;
    cursor_ = RegionRect{};
    AddToHint(written_);
    return true;
  }

  void AddToHint(std::span<const RegionRect> rects) {
    hint_.insert(hint_.end(), rects.begin(), rects.end());
    // Pictures copied but never encoded (a black one, a WGC one taken instead) add up; past a
    // bound the hint is all of the surface, which is as good as none.
    if (hint_.size() > kMaxHintRects) hint_.assign(1, RegionRect{0, 0, surfaces_[0].width(), surfaces_[0].height()});
  }

  std::vector<std::uint8_t> Encode(DibSurface& surface, const ScreenRect& rect, int maxWidth,
                                   int quality) {
    repeated_ = false;
    RECT drawn{};
    DrawCursorOverlay(surface.dc(), 1.0, rect, &drawn);
    // Only a surface written by duplication gets a hint: its pixels differ from those of the
    // last Encode (when that was of the same surface, also written by duplication) only where
    // duplication wrote and where the cursor was drawn.
    const bool duplicated = &surface == &surfaces_[0] && copiedByDuplication_;
    path_ = &surface == &wgcSurface_ ? ScreenCopyPath::Wgc : duplicated ? ScreenCopyPath::Duplication : ScreenCopyPath::Gdi;
    if (duplicated && drawn.right > drawn.left && drawn.bottom > drawn.top) {
      cursor_ = RegionRect{static_cast<int>(drawn.left), static_cast<int>(drawn.top),
                           static_cast<int>(drawn.right - drawn.left), static_cast<int>(drawn.bottom - drawn.top)};
      AddToHint(std::span<const RegionRect>(&cursor_, 1));
    }
    if (!GdiFlush()) return {};
    PictureEncoder& encoder = lent_ != nullptr ? *lent_ : encoder_;
    hinted_ = duplicated && hintable_;
    if (hinted_) encoder.HintChanged(hint_);
    hint_.clear();
    const auto outcome =
        encoder.Encode(PixelView{surface.bits(), surface.width(), surface.height()}, maxWidth, quality);
    hintable_ = duplicated && outcome != PictureEncoder::Outcome::Failed;
    if (outcome == PictureEncoder::Outcome::Failed) return {};
    repeated_ = outcome == PictureEncoder::Outcome::Same;
    return encoder.output();
  }

  static constexpr std::size_t kMaxHintRects = 1024;

  WgcSource wgc_;
  DibSurface surfaces_[2];
  DibSurface wgcSurface_;
  RepeatEncoder encoder_;
  PictureEncoder* lent_ = nullptr;
  bool repeated_ = false;
  std::unique_ptr<ScreenDuplication> duplication_;
  std::vector<RegionRect> written_;
  // Where surface 0 changed since the last Encode (of any surface).
  std::vector<RegionRect> hint_;
  RegionRect cursor_{};                // the cursor drawn on surface 0 since its last duplication copy
  std::int64_t brightAt_ = -1;         // a pixel of surface 0 not black in duplication's image
  bool duplicated_ = false;            // surface 0 holds duplication's image but for cursor_
  bool copiedByDuplication_ = false;   // this call's first copy came through duplication
  bool hintable_ = false;              // the last Encode was of surface 0 written by duplication
  bool hinted_ = false;
  ScreenCopyPath path_ = ScreenCopyPath::None;

 public:
  void Lend(PictureEncoder* encoder) noexcept {
    lent_ = encoder;
    hintable_ = false;  // its last Encode was of other pixels
  }
  void BeginCall() noexcept {
    path_ = ScreenCopyPath::None;
    hinted_ = false;
  }
  ScreenCopyReport Report() const noexcept {
    return ScreenCopyReport{path_, duplication_->lastError(), duplication_->attempts(), hinted_};
  }
};

class GdiWgcCapturer : public ScreenCapturer {
 public:
  GdiWgcCapturer(std::unique_ptr<WgcPlatform> platform, std::unique_ptr<ScreenDuplication> duplication)
      : steps_(std::move(platform), std::move(duplication)), preferWgc_(GetSystemMetrics(SM_REMOTESESSION) != 0) {}

  CaptureResult CaptureFrame(const DisplayInfo& display, int maxWidth, int quality,
                             CaptureStatus& status) override {
    steps_.TakeRepeated();
    steps_.BeginCall();
    CaptureResult result = RunCaptureFrame(steps_, preferWgc_, display, maxWidth, quality, status);
    if (steps_.TakeRepeated() && result.next == CaptureResult::Next::Picture) {
      return CaptureResult::Unchanged();
    }
    return result;
  }

  bool UseEncoder(PictureEncoder* encoder) override {
    steps_.Lend(encoder);
    return true;
  }

  ScreenCopyReport Report() const noexcept { return steps_.Report(); }

 private:
  WindowsCaptureSteps steps_;
  bool preferWgc_;
};

int RoundToInt(double v) { return static_cast<int>(std::lround(v)); }

}  // namespace

void DrawCursorOverlay(HDC dc, double scale, const ScreenRect& displayRect, RECT* drawn) {
  if (drawn != nullptr) *drawn = RECT{};
  CURSORINFO cursor{};
  cursor.cbSize = sizeof(cursor);
  if (!GetCursorInfo(&cursor) || (cursor.flags & CURSOR_SHOWING) == 0 || cursor.hCursor == nullptr) {
    return;
  }
  const POINT at = cursor.ptScreenPos;
  if (at.x < displayRect.left || at.x >= displayRect.right || at.y < displayRect.top ||
      at.y >= displayRect.bottom) {
    return;
  }
  ICONINFO icon{};
  if (!GetIconInfo(cursor.hCursor, &icon)) return;
  int width = GetSystemMetrics(SM_CXCURSOR);
  int height = GetSystemMetrics(SM_CYCURSOR);
  BITMAP bitmap{};
  if (icon.hbmColor != nullptr && GetObjectW(icon.hbmColor, sizeof(bitmap), &bitmap) != 0) {
    width = bitmap.bmWidth;
    height = bitmap.bmHeight;
  } else if (icon.hbmMask != nullptr && GetObjectW(icon.hbmMask, sizeof(bitmap), &bitmap) != 0) {
    width = bitmap.bmWidth;
    height = bitmap.bmHeight / 2;
  }
  const int x = RoundToInt((at.x - static_cast<LONG>(icon.xHotspot) - displayRect.left) * scale);
  const int y = RoundToInt((at.y - displayRect.top - static_cast<LONG>(icon.yHotspot)) * scale);
  const int w = std::max(1, RoundToInt(width * scale));
  const int h = std::max(1, RoundToInt(height * scale));
  // Given before drawing: a drawing that fails part way may have left some of it.
  if (drawn != nullptr) *drawn = RECT{x, y, x + w, y + h};
  DrawIconEx(dc, x, y, cursor.hCursor, w, h, 0, nullptr, DI_NORMAL);
  if (icon.hbmColor != nullptr) DeleteObject(icon.hbmColor);
  if (icon.hbmMask != nullptr) DeleteObject(icon.hbmMask);
}

std::unique_ptr<ScreenCapturer> CreateGdiWgcCapturer(std::unique_ptr<WgcPlatform> platform,
                                                     std::unique_ptr<ScreenDuplication> duplication) {
  return std::make_unique<GdiWgcCapturer>(std::move(platform), std::move(duplication));
}

ScreenCopyReport LastScreenCopy(const ScreenCapturer& capturer) {
  const auto* ours = dynamic_cast<const GdiWgcCapturer*>(&capturer);
  return ours != nullptr ? ours->Report() : ScreenCopyReport{};
}

std::unique_ptr<ScreenCapturer> CreateScreenCapturer() {
  return CreateGdiWgcCapturer(CreateWindowsWgcPlatform());
}

}  // namespace ov
