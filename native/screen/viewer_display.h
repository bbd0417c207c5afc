// The viewer's side of the screen stream: received frame messages become the latest picture, the
// view state places it in the window (fit, zoom, pan), and the figures and texts of the status
// line and the connection information are derived here. Portable and UI-thread only: the window
// paints `picture()` into the rectangle of `Layout()`, remote input maps pointer positions through
// the same rectangle.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "screen/capture_types.h"
#include "screen/frame_message.h"
#include "screen/region_frame.h"
#include "session/display_info.h"

namespace ov {

inline constexpr float kMinZoom = 0.1f;
inline constexpr float kMaxZoom = 4.0f;
inline constexpr float kZoomInFactor = 1.25f;
inline constexpr float kZoomOutFactor = 0.8f;
inline constexpr int kZoomPresets[] = {50, 75, 125, 150, 200, 300, 400};
// The viewer page's toolbar above the view area and status strip below it, in DIP.
inline constexpr float kViewerToolbarHeight = 52.0f;
inline constexpr float kViewerStatusStripHeight = 22.0f;

struct ViewState {
  bool fit = true;
  float zoom = 1.0f;  // image pixels to screen pixels, when fit is off
  float panX = 0.0f;  // offset of the picture's centre from the view area's centre
  float panY = 0.0f;
};

// A rectangle in window client pixels.
struct ViewRect {
  float x = 0.0f;
  float y = 0.0f;
  float width = 0.0f;
  float height = 0.0f;
};

// The part of the client area that shows the picture, with `uiScale` the viewer page's scale.
ViewRect ViewArea(int clientWidth, int clientHeight, float uiScale) noexcept;

// Where the picture goes: fitted (which may enlarge), or at the zoom with the pan clamped so that
// a picture larger than the area can move until its edge meets the area's edge and a smaller one
// stays centred. Writes the clamped (or, fitted, zero) pan back into `view`.
ViewRect LayoutImage(ViewState& view, const ViewRect& area, int imageWidth, int imageHeight) noexcept;

// Whole client pixels, right and bottom exclusive.
struct ClientBox {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  bool empty() const noexcept { return right <= left || bottom <= top; }
  friend bool operator==(const ClientBox&, const ClientBox&) = default;
};

// Pixels around a changed area that are repainted with it: a scaled picture's smoothing takes
// its neighbours into the pixels at the area's edge.
inline constexpr int kRepaintMarginPixels = 2;

// The client pixels that show `changed` (in picture pixels) of a pictureWidth x pictureHeight
// picture drawn at `placed`: its edges rounded outwards, widened by kRepaintMarginPixels when the
// picture is scaled, and cut to `area`. Empty when none of it shows there, or the sizes are not
// positive.
ClientBox PictureAreaOnScreen(const ViewRect& placed, int pictureWidth, int pictureHeight,
                              const RegionRect& changed, const ViewRect& area) noexcept;

// The view commands. A zoom step starts from the fitted scale when fit is on, then multiplies the
// zoom by `factor` within 0.1..4.0 and keeps the (re-clamped) pan.
void ZoomStep(ViewState& view, const ViewRect& area, int imageWidth, int imageHeight,
              float factor) noexcept;
void FitToWindow(ViewState& view) noexcept;
void ActualSize(ViewState& view) noexcept;
// `percent` must be one of kZoomPresets; false (and nothing changed) otherwise.
bool ApplyZoomPreset(ViewState& view, int percent) noexcept;

// Received frames and bytes over the current measuring window, and the rates of the last one.
struct StreamFigures {
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  std::uint64_t windowStart = 0;  // ms
  double fps = 0.0;
  double kBps = 0.0;  // kilobytes of 1000 bytes per second

  void Count(std::size_t messageBytes) noexcept {
    ++frames;
    bytes += messageBytes;
  }
  // Closes the window once more than 999 ms have passed since it began; true when it did (the
  // caller repaints).
  bool Update(std::uint64_t now) noexcept;
};

// What the status line and the connection information are made of.
struct ViewerFigures {
  double fps = 0.0;
  double kBps = 0.0;
  std::int64_t roundTripMs = -1;  // negative while not measured
  bool hasPicture = false;
  int pictureWidth = 0;
  int pictureHeight = 0;
  bool captureStatusNegotiated = false;
  CaptureStatus capture;
  std::uint32_t inputError = 0;
  bool controlNotice = false;  // "This control requires the local user." is being shown
  bool peerAllowsControl = true;
  std::string peerBuild;        // empty when none was received
  float windowWidthDip = 0.0f;  // client width divided by the UI scale
};

struct StatusLine {
  std::string first;   // a catalogue key
  bool warning = false;
  std::string second;  // figures, no catalogue words
};

// Translates one catalogue key (the window passes the catalogue; tests pass the identity).
using TranslateFn = std::function<std::string(const std::string&)>;

StatusLine ViewerStatusLine(const ViewerFigures& figures);
std::string ConnectionInfoText(const ViewerFigures& figures, const TranslateFn& translate);

class ViewerDisplay {
 public:
  // `now`: when the first measuring window begins.
  explicit ViewerDisplay(std::uint64_t now) { figures_.windowStart = now; }

  // One frame message of the stream whose epoch is `epoch`. Returns the header to acknowledge, or
  // nullopt for a frame of another epoch (dropped without a trace). Throws ProtocolError "frame
  // header" (shorter than 9 bytes), "frame sequence" (seq below 1 as a signed value) or "invalid
  // image" (the JPEG was refused; the latest picture is dropped then).
  std::optional<FrameHeader> Receive(std::span<const std::uint8_t> message, std::uint32_t epoch);

  // One region-frame message (region_frame.h) of the stream whose epoch is `epoch`: its
  // rectangles are decoded and composed onto the latest picture (a full message replaces it).
  // nullopt for another epoch, as for whole frames. Throws ProtocolError "frame header" (short,
  // malformed, or a partial message whose size differs from the latest picture's), "frame
  // sequence" or "invalid image" (a JPEG refused or not of its rectangle's size; the latest
  // picture is dropped then). A partial message while there is no picture cannot be composed:
  // it is acknowledged with needFull set, and the caller asks the host for a whole picture.
  struct RegionReceipt {
    FrameHeader header;
    bool needFull = false;
    RegionRect changed;  // bounding box of the composed rectangles in picture pixels; 0 x 0 if none
  };
  std::optional<RegionReceipt> ReceiveRegions(std::span<const std::uint8_t> message,
                                              std::uint32_t epoch);

  // A new stream (the host's hello or screen): no picture, fit on, pan 0.
  void StartStream();
  // The host's desktop is unavailable: no picture, the view is kept.
  void DropPicture() {
    picture_.reset();
    pictureFrame_.reset();
  }

  const std::optional<PixelBuffer>& picture() const noexcept { return picture_; }
  // The epoch and sequence number of the latest picture, while there is one.
  const std::optional<FrameHeader>& pictureFrame() const noexcept { return pictureFrame_; }
  const ViewState& view() const noexcept { return view_; }
  // The picture's rectangle in `area` (clamping the pan); nullopt without a picture.
  std::optional<ViewRect> Layout(const ViewRect& area);

  // View commands; the zoom steps and presets change nothing without a picture (false then).
  bool ZoomIn(const ViewRect& area) { return Zoom(area, kZoomInFactor); }
  bool ZoomOut(const ViewRect& area) { return Zoom(area, kZoomOutFactor); }
  bool ZoomPreset(int percent);
  void Fit() { FitToWindow(view_); }
  void OneToOne() { ActualSize(view_); }
  // The pan gesture moved by (dx, dy) client pixels, clamped at once to the limits in `area`.
  void PanBy(const ViewRect& area, float dx, float dy);

  StreamFigures& figures() noexcept { return figures_; }
  const StreamFigures& figures() const noexcept { return figures_; }

 private:
  bool Zoom(const ViewRect& area, float factor);

  std::optional<PixelBuffer> picture_;
  std::optional<FrameHeader> pictureFrame_;
  ViewState view_;
  StreamFigures figures_;
};

}  // namespace ov
