#include "screen/viewer_display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/protocol_error.h"
#include "screen/jpeg_codec.h"
#include "session/peer_control.h"

namespace ov {
namespace {

constexpr char kDot3[] = "   \xC2\xB7   ";  // "   ·   "
constexpr char kDot2[] = "  \xC2\xB7  ";    // "  ·  "
constexpr char kTimes[] = " \xC3\x97 ";     // " × "
constexpr char kDash[] = "\xE2\x80\x94";     // "—"

std::string RoundTrip(std::int64_t ms) { return ms < 0 ? std::string(kDash) : std::to_string(ms); }

std::string Rounded(double value) { return std::to_string(std::llround(value)); }

const char* BackendLabel(std::int32_t backend) {
  if (backend == static_cast<std::int32_t>(CaptureBackend::Wgc)) return "WGC";
  if (backend == static_cast<std::int32_t>(CaptureBackend::Gdi)) return "GDI";
  return kDash;
}

}  // namespace

ViewRect ViewArea(int clientWidth, int clientHeight, float uiScale) noexcept {
  const float top = kViewerToolbarHeight * uiScale;
  const float height = static_cast<float>(clientHeight) -
                       (kViewerToolbarHeight + kViewerStatusStripHeight) * uiScale;
  return ViewRect{0.0f, top, static_cast<float>(clientWidth), std::max(height, 1.0f)};
}

ClientBox PictureAreaOnScreen(const ViewRect& placed, int pictureWidth, int pictureHeight,
                              const RegionRect& changed, const ViewRect& area) noexcept {
  if (pictureWidth <= 0 || pictureHeight <= 0 || changed.width <= 0 || changed.height <= 0 ||
      !(placed.width > 0.0f) || !(placed.height > 0.0f)) {
    return {};
  }
  const auto d = [](auto v) { return static_cast<double>(v); };
  const double sx = d(placed.width) / pictureWidth;
  const double sy = d(placed.height) / pictureHeight;
  const bool scaled = std::abs(sx - 1.0) > 1e-6 || std::abs(sy - 1.0) > 1e-6;
  const double margin = scaled ? kRepaintMarginPixels : 0.0;
  // In doubles and cut to the area before the conversion, so that no size or zoom overflows.
  const double left = std::max(std::floor(d(placed.x) + d(changed.x) * sx - margin), std::floor(d(area.x)));
  const double top = std::max(std::floor(d(placed.y) + d(changed.y) * sy - margin), std::floor(d(area.y)));
  const double right = std::min(std::ceil(d(placed.x) + (d(changed.x) + d(changed.width)) * sx + margin),
                                std::ceil(d(area.x) + d(area.width)));
  const double bottom = std::min(std::ceil(d(placed.y) + (d(changed.y) + d(changed.height)) * sy + margin),
                                 std::ceil(d(area.y) + d(area.height)));
  if (!(right > left) || !(bottom > top)) return {};
  return ClientBox{static_cast<int>(left), static_cast<int>(top), static_cast<int>(right),
                   static_cast<int>(bottom)};
}

ViewRect LayoutImage(ViewState& view, const ViewRect& area, int imageWidth, int imageHeight) noexcept {
  const auto w0 = static_cast<float>(std::max(imageWidth, 1));
  const auto h0 = static_cast<float>(std::max(imageHeight, 1));
  float w = 0;
  float h = 0;
  if (view.fit) {
    const float k = std::min(area.height / h0, area.width / w0);
    w = w0 * k;
    h = h0 * k;
    view.panX = 0;
    view.panY = 0;
  } else {
    w = w0 * view.zoom;
    h = h0 * view.zoom;
    const float mx = std::max((w - area.width) / 2, 0.0f);
    const float my = std::max((h - area.height) / 2, 0.0f);
    view.panX = std::clamp(view.panX, -mx, mx);
    view.panY = std::clamp(view.panY, -my, my);
  }
  return ViewRect{(area.width - w) / 2 + area.x + view.panX, (area.height - h) / 2 + area.y + view.panY,
                  w, h};
}

void ZoomStep(ViewState& view, const ViewRect& area, int imageWidth, int imageHeight,
              float factor) noexcept {
  if (view.fit) {
    ViewState fitted = view;
    view.zoom = LayoutImage(fitted, area, imageWidth, imageHeight).width /
                static_cast<float>(std::max(imageWidth, 1));
  }
  view.fit = false;
  view.zoom = std::clamp(factor * view.zoom, kMinZoom, kMaxZoom);
  LayoutImage(view, area, imageWidth, imageHeight);
}

void FitToWindow(ViewState& view) noexcept {
  view.fit = true;
  view.panX = view.panY = 0;
}

void ActualSize(ViewState& view) noexcept {
  view.fit = false;
  view.zoom = 1.0f;
  view.panX = view.panY = 0;
}

bool ApplyZoomPreset(ViewState& view, int percent) noexcept {
  if (std::find(std::begin(kZoomPresets), std::end(kZoomPresets), percent) == std::end(kZoomPresets)) {
    return false;
  }
  view.fit = false;
  view.zoom = static_cast<float>(percent) / 100.0f;
  view.panX = view.panY = 0;
  return true;
}

bool StreamFigures::Update(std::uint64_t now) noexcept {
  if (now < windowStart || now - windowStart <= 999) return false;
  const auto elapsed = static_cast<double>(now - windowStart);
  fps = static_cast<double>(frames) * 1000.0 / elapsed;
  kBps = static_cast<double>(bytes) / elapsed;
  frames = 0;
  bytes = 0;
  windowStart = now;
  return true;
}

StatusLine ViewerStatusLine(const ViewerFigures& f) {
  StatusLine line;
  line.warning = true;
  if (f.controlNotice) {
    line.first = "This control requires the local user.";
  } else if (!f.capture.desktop) {
    line.first = "Desktop unavailable or locked";
  } else if (f.capture.black) {
    line.first = "Source returned a black frame";
  } else if (f.inputError != 0) {
    line.first = "Windows blocked remote input";
  } else {
    line.first = f.peerAllowsControl ? "Session active" : "View only";
    line.warning = false;
  }
  line.second = Rounded(f.fps) + " fps" + kDot3 + RoundTrip(f.roundTripMs) + " ms";
  if (f.windowWidthDip >= 640.0f && f.hasPicture) {
    line.second += kDot3 + std::to_string(f.pictureWidth) + kTimes + std::to_string(f.pictureHeight);
  }
  if (f.captureStatusNegotiated && f.capture.backend != 0) {
    line.second += std::string(kDot3) + BackendLabel(f.capture.backend);
  }
  return line;
}

std::string ConnectionInfoText(const ViewerFigures& f, const TranslateFn& translate) {
  std::string text = std::string("Kestrova ") + kProgramBuild + "\n";
  text += translate("Capture source") + ": " + BackendLabel(f.capture.backend) + "\n";
  text += translate("Remote version") + ": " + (f.peerBuild.empty() ? std::string(kDash) : f.peerBuild) +
          "\n";
  text += "\n";
  text += Rounded(f.fps) + " fps" + kDot2 + std::to_string(static_cast<std::int64_t>(f.kBps)) +
          " kB/s" + kDot2 + RoundTrip(f.roundTripMs) + " ms";
  if (f.capture.error != 0) {
    char hresult[32];
    std::snprintf(hresult, sizeof hresult, "\nWGC HRESULT: 0x%08X", static_cast<unsigned>(f.capture.error));
    text += hresult;
  }
  if (f.inputError != 0) {
    text += "\n" + translate("Windows blocked remote input") + " (Windows error " +
            std::to_string(f.inputError) + ")";
  }
  if (f.controlNotice) text += "\n" + translate("This control requires the local user.");
  text += "\n\n" + translate("Panning: hold Space and drag. Ctrl+wheel: zoom.");
  return text;
}

std::optional<FrameHeader> ViewerDisplay::Receive(std::span<const std::uint8_t> message,
                                                  std::uint32_t epoch) {
  if (message.size() <= kFrameHeaderBytes) Fail("frame header");
  const FrameHeader header = ReadFrameHeader(message);
  if (header.epoch != epoch) return std::nullopt;
  if (static_cast<std::int32_t>(header.seq) < 1) Fail("frame sequence");
  const std::span<const std::uint8_t> jpeg = message.subspan(kFrameHeaderBytes);
  pictureFrame_.reset();
  // The picture being replaced lends its memory to the new one.
  PixelBuffer previous = picture_ ? std::move(*picture_) : PixelBuffer();
  picture_ = DecodeFrameJpeg(jpeg.data(), jpeg.size(), std::move(previous));
  if (!picture_) Fail("invalid image");
  pictureFrame_ = header;
  figures_.Count(message.size());
  return header;
}

void ViewerDisplay::StartStream() {
  DropPicture();
  FitToWindow(view_);
}

std::optional<ViewRect> ViewerDisplay::Layout(const ViewRect& area) {
  if (!picture_) return std::nullopt;
  return LayoutImage(view_, area, picture_->width, picture_->height);
}

bool ViewerDisplay::Zoom(const ViewRect& area, float factor) {
  if (!picture_) return false;
  ZoomStep(view_, area, picture_->width, picture_->height, factor);
  return true;
}

bool ViewerDisplay::ZoomPreset(int percent) {
  if (!picture_) return false;
  return ApplyZoomPreset(view_, percent);
}

void ViewerDisplay::PanBy(const ViewRect& area, float dx, float dy) {
  view_.panX += dx;
  view_.panY += dy;
  // Clamped at once, so that a drag past an edge leaves no overshoot to undo on the way back.
  Layout(area);
}

}  // namespace ov
