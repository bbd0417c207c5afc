#include "screen/capture_policy.h"

namespace ov {
namespace {

constexpr std::int32_t kGdi = static_cast<std::int32_t>(CaptureBackend::Gdi);
constexpr std::int32_t kWgc = static_cast<std::int32_t>(CaptureBackend::Wgc);

class Call {
 public:
  Call(CaptureSteps& steps, bool& preferWgc, const DisplayInfo& display, const ScreenRect& rect,
       int maxWidth, int quality, CaptureStatus& status)
      : steps_(steps), preferWgc_(preferWgc), display_(display), rect_(rect), maxWidth_(maxWidth),
        quality_(quality), status_(status) {}

  // Runs the WGC path at most once per call.
  std::vector<std::uint8_t> TryWgcOnce() {
    if (wgcTried_) return {};
    wgcTried_ = true;
    auto jpeg = steps_.TryWgc(display_, rect_, maxWidth_, quality_, status_);
    if (!jpeg.empty()) {
      status_.backend = kWgc;
      preferWgc_ = true;
    }
    return jpeg;
  }

  std::vector<std::uint8_t> EncodeGdi(int slot, bool black) {
    auto jpeg = steps_.EncodeSurface(slot, rect_, maxWidth_, quality_);
    if (!jpeg.empty()) {
      status_.backend = kGdi;
      status_.black = black;
    }
    return jpeg;
  }

  std::vector<std::uint8_t> Run() {
    if (preferWgc_) {
      auto jpeg = TryWgcOnce();
      if (!jpeg.empty()) return jpeg;
    }
    bool firstBlack = true;
    const auto first = steps_.CopyScreen(0, rect_, firstBlack);
    if (first == CaptureSteps::CopyResult::NoSurface) return TryWgcOnce();
    const bool firstOk = first == CaptureSteps::CopyResult::Ok;
    if (firstOk && !firstBlack) return EncodeGdi(0, false);

    bool secondBlack = true;
    const bool secondOk = steps_.CopyScreen(1, rect_, secondBlack) == CaptureSteps::CopyResult::Ok;
    if (secondOk && !secondBlack) return EncodeGdi(1, false);
    if (secondOk) {  // the second picture is black
      auto jpeg = TryWgcOnce();
      if (!jpeg.empty()) return jpeg;
      return EncodeGdi(firstOk ? 0 : 1, true);
    }
    // The second copy failed.
    if (!firstOk) return TryWgcOnce();
    auto jpeg = TryWgcOnce();
    if (!jpeg.empty()) return jpeg;
    return EncodeGdi(0, true);
  }

 private:
  CaptureSteps& steps_;
  bool& preferWgc_;
  const DisplayInfo& display_;
  ScreenRect rect_;
  int maxWidth_;
  int quality_;
  CaptureStatus& status_;
  bool wgcTried_ = false;
};

}  // namespace

CaptureResult RunCaptureFrame(CaptureSteps& steps, bool& preferWgc, const DisplayInfo& display,
                              int maxWidth, int quality, CaptureStatus& status) {
  status = CaptureStatus{};
  try {
    if (maxWidth <= 0) return CaptureResult::GiveUp();
    if (!steps.InputDesktopActive()) {
      steps.ResetWgc();
      status.desktop = false;
      return CaptureResult::TryAgain();
    }
    // A display that is not listed at the moment may come back (a mode change in progress);
    // one whose rectangle can never be captured will not.
    const auto rect = steps.ResolveBounds(display);
    if (!rect) return CaptureResult::TryAgain();
    if (!SurfaceSizeAllowed(rect->Width(), rect->Height())) return CaptureResult::GiveUp();
    Call call(steps, preferWgc, display, *rect, maxWidth, quality, status);
    return CaptureResult::Picture(call.Run());
  } catch (...) {
    status.backend = static_cast<std::int32_t>(CaptureBackend::None);
    status.black = false;
    return CaptureResult::TryAgain();
  }
}

}  // namespace ov
