// The main window's side of the controller on Windows: the custom-drawn window (the portable
// painter on a double-buffered GDI+ canvas), its child controls placed by the painter's layout,
// the frame hit test, the wake-up message, the sharing banner and the window's own effects for
// the command dispatcher.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/viewer_input.h"
#include "app/window_side.h"
#include "app/commands.h"
#include "ui/controls.h"
#include "ui/gdiplus_canvas_win.h"
#include "ui/painter.h"
#include "ui/preview_page.h"
#include "ui/transfer_meter.h"
#include "ui/ui_state.h"

namespace ov {

inline constexpr UINT kWakeMessage = WM_APP + 1;
inline constexpr UINT_PTR kTickTimerId = 1;
inline constexpr UINT_PTR kCopyFeedbackTimerId = 2;
inline constexpr int kNewIdHotKeyId = 1;

inline constexpr int kRemoteIdControl = 101;
inline constexpr int kPasswordControl = 102;
inline constexpr int kChatInputControl = 135;
inline constexpr int kLanguageControl = 138;

inline constexpr int kBannerWidth = 304;
inline constexpr int kBannerHeight = 48;

inline constexpr wchar_t kMainWindowClass[] = L"OrvantisNative";
inline constexpr wchar_t kBannerWindowClass[] = L"OrvantisBanner";
inline constexpr wchar_t kMainWindowTitle[] = L"Kestrova";
inline constexpr wchar_t kBannerTitle[] = L"Kestrova - Screen sharing";

class Client;

// One WM_PAINT: BeginPaint now and EndPaint on every way out of the scope, an exception included,
// so that a failure while drawing still ends the paint (the region validated, the caret shown
// again, the display context released) instead of repeating on every repaint.
class PaintScope {
 public:
  explicit PaintScope(HWND window) noexcept : window_(window), dc_(BeginPaint(window, &paint_)) {}
  ~PaintScope() { EndPaint(window_, &paint_); }
  PaintScope(const PaintScope&) = delete;
  PaintScope& operator=(const PaintScope&) = delete;

  HDC dc() const noexcept { return dc_; }
  // The bounds of what is to be painted, in client pixels.
  const RECT& area() const noexcept { return paint_.rcPaint; }

 private:
  HWND window_;
  PAINTSTRUCT paint_{};
  HDC dc_;
};

class MainWindowSide final : public WindowSide, public WindowEffects, public InputWindow {
 public:
  explicit MainWindowSide(HINSTANCE instance) : instance_(instance) {}
  ~MainWindowSide() override;

  // The controller the window draws; must outlive the window's messages.
  void Attach(const Client* client) noexcept { client_ = client; }
  // WM_CREATE: keeps the handle and creates the five child controls; false when one fails.
  bool Create(HWND window);
  HWND window() const noexcept { return window_.load(); }
  void Detach() noexcept { window_.store(nullptr); }
  bool IsChildControl(HWND control) const noexcept;
  // Every child control, in creation order (the five of WM_CREATE).
  std::array<HWND, 5> ChildControls() const noexcept {
    return {remoteId_, password_, language_, chatInput_, chatLog_};
  }
  // Installs `proc` (subclass id 1) on every child control; false when one refuses.
  bool SubclassChildControls(SUBCLASSPROC proc);
  // Masks the session password again (minimising does this without leaving the page).
  void HidePassword();
  const UiState& ui() const noexcept { return ui_; }
  UiState& ui() noexcept { return ui_; }
  HWND remoteIdBox() const noexcept { return remoteId_; }
  HWND passwordBox() const noexcept { return password_; }
  HWND chatInputBox() const noexcept { return chatInput_; }
  HWND languageBox() const noexcept { return language_; }
  // The interface language (index into Languages()): selected in the language box, the cue
  // texts re-set in it, the window and the banner repainted. An index outside 0-7 is ignored.
  void SetLanguage(int language);
  int language() const noexcept { return language_index_; }

  // WM_PAINT of the main window and of the banner.
  void Paint();
  // Grows the window to the current layout's minimum size when it is smaller (not when
  // minimised, maximised, in full screen or in preview mode).
  void GrowToMinimum();
  void PaintBanner(HWND banner);
  // The pointer is over the banner's "End session" or not; it shows its hover state.
  void SetBannerButtonHovered(HWND banner, bool hovered);
  // Preview: the window as it stands (or the sharing banner alone) rendered into a PNG file.
  // False when the image could not be made or written.
  bool RenderToPng(const std::wstring& path);
  bool RenderBannerToPng(const std::wstring& path);
  // Preview: shows the given sidebar page, the password revealed or not.
  void SetPreviewState(int page, bool revealPassword) noexcept {
    ui_.page = page;
    ui_.passwordRevealed = revealPassword;
  }
  // Preview: the page's state drawn in place of the controller's, which stays offline: the
  // viewer's session with the offline test frame (and the input notice), or the update card in
  // a state. Also selects the page's sidebar page and the password's visibility.
  void SetPreviewPage(const PreviewPage& page, bool revealPassword);

  // Pointer: the command under a client point (pixels), hover tracking, and the window part for
  // WM_NCHITTEST at a screen point.
  int CommandAt(POINT client) const;
  void SetHovered(int command);
  LRESULT HitTestFrame(POINT screen, LRESULT defaultHit) const;
  // The smallest window size in pixels for the current layout.
  POINT MinimumTrackSize(HWND window) const;
  // Tooltips: the control serving the window; its tools follow the hit regions (rebuilt only
  // when they or the scale change), their texts fetched on demand and translated.
  void AttachTooltip(HWND tooltip) noexcept { tooltip_ = tooltip; }
  void FillTooltip(NMTTDISPINFOW& request, std::uint64_t now);
  // The 500 ms tick: ends a copy button's feedback when its time is up.
  // A one-shot timer (kCopyFeedbackTimerId) ends the check mark on time; its WM_TIMER calls
  // ExpireCopyFeedback as the tick does.
  void EndCopyFeedbackAfter(std::uint64_t ms) override;
  void ExpireCopyFeedback(std::uint64_t now);
  float scale() const noexcept { return scale_; }
  // The viewer's full-window remote view is what the window shows.
  bool ShowsRemoteView() const { return RemoteView(); }

  // InputWindow (the remote view's input capture).
  ViewRect ViewArea() const override;
  bool FullScreen() const override { return fullScreen_; }
  void LeaveFullScreen() override { SetFullScreen(false); }
  void CaptureMouse() override;
  void ReleaseMouse() override { ReleaseMouseCapture(); }
  bool HasMouseCapture() const override;

  // WindowSide.
  void ShowStatus(const std::string& status) override;
  void Layout() override;
  void Repaint() override;
  void RepaintPictureArea(int x, int y, int width, int height) override;
  void PostWake() override;
  void RestoreAndForeground() override;
  void CreateBanner() override;
  void DestroyBanner() override;
  void ReleaseMouseCapture() override;
  void ShowFirstPage() override;
  std::wstring ReadRemoteId() override;
  std::string ReadPasswordUtf8() override;
  void ClearPasswordBox() override;
  void DropRemotePicture() override;

  // WindowEffects.
  void Minimize() override;
  void ToggleMaximize() override;
  void Close() override;
  bool CopyText(const std::wstring& text) override;
  int ChooseFromMenu(const std::vector<MenuItem>& items) override;
  bool AskYesNo(const std::string& caption, const std::string& question) override;
  void Relayout() override { Layout(); }
  ViewRect RemoteViewArea() override { return ViewArea(); }
  bool FullScreen() override { return fullScreen_; }
  void SetFullScreen(bool on) override;
  void ShowConnectionInfo(const ViewerFigures& figures) override;
  std::u16string ChooseFile(bool save, const std::u16string& name) override;
  void ShowFileInFolder(const std::filesystem::path& file) override;
  std::u16string ReadChatText() override;
  void ClearChatText() override;

 private:
  // Paints the window into `dc` (`width` x `height` pixels) and keeps the layout it made.
  void PaintFrame(HDC dc, int width, int height);
  // What the painter shows: the controller's view with the window's own parts (focus, the
  // status strip, the transfer's figures) and, in a preview, the preview page's state.
  MainView CurrentView(float widthDip);
  // The controller's view with the preview page's state over it.
  MainView BaseView() const;
  // The main window's own subclass (language box drawing and choice, DPI changes).
  static LRESULT CALLBACK WindowSubclass(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR id, DWORD_PTR self);
  static LRESULT CALLBACK LanguageBoxSubclass(HWND box, UINT message, WPARAM wParam,
                                              LPARAM lParam, UINT_PTR id, DWORD_PTR self);
  static LRESULT CALLBACK BannerSubclass(HWND banner, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR id, DWORD_PTR self);
  void DrawLanguageItem(const DRAWITEMSTRUCT& item);
  void PaintLanguageBox(HDC dc);
  void OnLanguageChosen();
  void SetCueTexts();
  // The child controls' font ("Segoe UI", weight 400, sized from the scale; made again only when
  // its pixel height changes) and the language box's item heights.
  void UpdateChildFonts();
  void ApplyPlacements();
  void UpdateScale();
  std::wstring Translate(std::string_view key) const;
  bool RemoteView() const;

  HINSTANCE instance_;
  const Client* client_ = nullptr;
  std::atomic<HWND> window_{nullptr};
  HWND remoteId_ = nullptr;
  HWND password_ = nullptr;
  HWND language_ = nullptr;
  HWND chatInput_ = nullptr;
  HWND chatLog_ = nullptr;
  HWND banner_ = nullptr;
  UiState ui_;
  ov::Layout layout_;
  FontCache fonts_;
  FontCache bannerFonts_;
  float scale_ = 1.0f;
  int language_index_ = 0;
  bool placementsDirty_ = true;
  bool fullScreen_ = false;
  std::uint64_t chatLogShownStamp_ = 0;  // the chat log's change stamp last written into its box
  // Writes the session's chat log into the log box when it changed.
  void SyncChatLog();
  WINDOWPLACEMENT savedPlacement_{};  // where the window was before full screen
  void SyncTooltipTools();
  HWND tooltip_ = nullptr;
  std::vector<HitRegion> tooltipRegions_;  // the regions the tooltip's tools were made from
  float tooltipScale_ = 0;
  std::wstring tooltipText_;
  // Preview state (empty outside a preview).
  std::optional<PreviewPage> preview_;
  std::optional<PixelBuffer> previewFrame_;
  TransferMeter meter_;
  HFONT childFont_ = nullptr;
  int childFontPixels_ = 0;
  float languageScale_ = 0;
  bool languageHover_ = false;
  bool bannerButtonHovered_ = false;
};

// The preview's offline test frame: 1920 x 1080, a grid every 120 pixels and two lines of text.
// Empty when GDI+ could not draw it.
PixelBuffer MakeOfflineTestFrame();

}  // namespace ov
