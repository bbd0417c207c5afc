// The main window's side of the controller on Windows: status line, child controls, wake-up
// message and sharing banner. Drawing is deliberately plain (a status line and, for the host, the
// device ID and password); the full pages are the user interface component's.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <array>
#include <atomic>
#include <string>

#include "app/window_side.h"
#include "ui/ui_state.h"

namespace ov {

inline constexpr UINT kWakeMessage = WM_APP + 1;
inline constexpr UINT_PTR kTickTimerId = 1;
inline constexpr int kNewIdHotKeyId = 1;
// Extra information carried by every input event the host injects for its remote viewer.
inline constexpr ULONG_PTR kInjectedInputMarker = 0x4F565445;  // "OVTE"

inline constexpr int kRemoteIdControl = 101;
inline constexpr int kPasswordControl = 102;
inline constexpr int kChatInputControl = 135;
inline constexpr int kLanguageControl = 138;

inline constexpr int kBannerWidth = 304;
inline constexpr int kBannerHeight = 48;

inline constexpr wchar_t kMainWindowClass[] = L"OrvantisNative";
inline constexpr wchar_t kBannerWindowClass[] = L"OrvantisBanner";
inline constexpr wchar_t kMainWindowTitle[] = L"Kestrova";

class Client;

class MainWindowSide final : public WindowSide {
 public:
  explicit MainWindowSide(HINSTANCE instance) : instance_(instance) {}

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
  HWND remoteIdBox() const noexcept { return remoteId_; }
  HWND passwordBox() const noexcept { return password_; }
  HWND chatInputBox() const noexcept { return chatInput_; }
  HWND languageBox() const noexcept { return language_; }

  // WM_PAINT of the main window and of the banner, and the painters they use.
  void Paint(const Client& client);
  void PaintBanner(HWND banner);
  void PaintTo(HDC dc, const RECT& area, const Client& client);
  void PaintBannerTo(HDC dc, const RECT& area);
  // Preview: the window as it stands (or the sharing banner alone) rendered into a PNG file.
  // False when the image could not be made or written.
  bool RenderToPng(const std::wstring& path, const Client& client);
  bool RenderBannerToPng(const std::wstring& path);
  // Preview: shows the given sidebar page, the password revealed or not.
  void SetPreviewState(int page, bool revealPassword) noexcept {
    ui_.page = page;
    ui_.passwordRevealed = revealPassword;
  }

  void ShowStatus(const std::string& status) override;
  void Layout() override;
  void Repaint() override;
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

 private:
  HINSTANCE instance_;
  std::atomic<HWND> window_{nullptr};
  HWND remoteId_ = nullptr;
  HWND password_ = nullptr;
  HWND language_ = nullptr;
  HWND chatInput_ = nullptr;
  HWND chatLog_ = nullptr;
  HWND banner_ = nullptr;
  std::wstring status_;
  UiState ui_;
};

}  // namespace ov
