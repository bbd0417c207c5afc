// The main window's painter and the sharing banner's: what is drawn in each state, in the order
// the window shows it (remote view or sidebar and page, the host's stop button, the prompt
// overlay, the update card, the window buttons). It keeps no state: it reads the view of the
// session and the window's UiState, draws through the canvas and leaves the hit regions and the
// child-control placements in the layout.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "screen/viewer_display.h"
#include "ui/canvas.h"
#include "ui/controls.h"
#include "ui/ui_state.h"

namespace ov {

enum class PromptKind { None, Connection, File, Clipboard };

// The updater's states as the card shows them (the numbers are the updater's).
enum class UpdateCardState { Checking = 0, UpToDate = 1, Required = 2, Downloading = 3,
                             Downloaded = 4, Failed = 5 };

// What the painter shows of the session and the program: a snapshot taken for one paint.
struct MainView {
  bool previewMode = false;
  bool viewerRole = false;
  bool sessionActive = false;
  bool registered = false;
  bool toolsUp = false;
  bool busy = false;  // connecting, awaiting approval or otherwise not idle
  bool gateOpen = true;
  UpdateCardState updateState = UpdateCardState::UpToDate;
  std::string newVersion;
  int progress = 0;
  std::string updateError;
  std::string deviceId;
  const std::string* password = nullptr;  // the session password, drawn only when revealed
  std::string status;                     // the status line (a catalogue key)
  bool approval = false;
  bool allowControl = true;
  bool allowFiles = true;
  bool allowClipboard = false;
  PromptKind prompt = PromptKind::None;
  std::string toolsStatus;    // the Files page's state line (a catalogue key); empty: "Ready"
  bool canSendClipboard = false;
  std::wstring promptDetail;  // the file name and size, or the clipboard text
  bool remoteIdFocused = false;
  bool passwordFocused = false;
  // Viewer's remote view: the latest picture (null until the first frame) and the view state.
  const PixelBuffer* picture = nullptr;
  ViewState viewState;
  bool firstFrameShown = false;
  int selectedDisplay = 0;
  double zoom = 1.0;
  bool fitMode = true;
  bool fullScreen = false;
  bool maximised = false;
  // The remote view's status strip: the state line (a catalogue key) and the figures.
  StatusLine strip;
  // The file being sent or received, while one is: the Files page's progress line and the
  // toolbar's Files button show it.
  struct Transfer {
    std::wstring name;
    std::uint64_t size = 0;
    std::uint64_t done = 0;  // written by the receiver, or acknowledged by the peer
    double bytesPerSecond = -1;  // negative while not measured
  };
  std::optional<Transfer> transfer;
};

// Widths (DIP) from which the viewer toolbar shows its elements.
inline constexpr float kToolbarZoomWidth = 480;
inline constexpr float kToolbarDisplayWidth = 620;
inline constexpr float kToolbarNameWidth = 740;
inline constexpr float kToolbarQualityWidth = 880;
inline constexpr float kToolbarToolIconsWidth = 980;
inline constexpr float kToolbarToolLabelsWidth = 1150;

// Whether the painter shows the viewer's full-window remote view.
bool ShowsRemoteView(const MainView& view, const UiState& ui) noexcept;

// `ui.scale` is the window's device pixels per DIP (the picture is placed in device pixels).
void PaintMainWindow(DrawContext& ctx, const MainView& view, const UiState& ui, float width,
                     float height);
void PaintSharingBanner(DrawContext& ctx, float width, float height);

// The part of the window a point is in when no child control holds it: a hit region or a child
// control is client area; above 52 DIP (remote view) or 96 DIP (elsewhere) is caption.
enum class WindowPart { Client, Caption };
// In full screen nothing is a caption: the window is not dragged out of it.
WindowPart ClassifyPoint(const Layout& layout, PointF point, bool remoteView,
                         bool fullScreen = false) noexcept;

}  // namespace ov
