#include "app/main_window_win.h"

#include <commctrl.h>
#include <dwmapi.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>
// objidl.h first: GDI+ needs its types, which WIN32_LEAN_AND_MEAN leaves out.
#include <gdiplus.h>

#include <algorithm>
#include <deque>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <stdexcept>
#include <vector>

#include "app/client.h"
#include "base/secure_memory.h"
#include "crypto/primitives.h"
#include "i18n/catalogue.h"
#include "i18n/language.h"
#include "ui/painter.h"

namespace ov {
namespace {

std::wstring WidenAscii(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring WidenUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
  if (length <= 0) return WidenAscii(text);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

constexpr UINT_PTR kSideSubclassId = 2;  // the entry's own subclass of the controls is 1

bool IsClipboardNotice(const std::string& status) {
  return status == "Enable clipboard sync on both devices." ||
         status == "Clipboard unavailable; paste cancelled.";
}

HWND MakeControl(HWND parent, HINSTANCE instance, const wchar_t* cls, DWORD style, int id) {
  return CreateWindowExW(0, cls, L"", WS_CHILD | style, 0, 0, 10, 10, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

}  // namespace

MainWindowSide::~MainWindowSide() {
  if (childFont_) DeleteObject(childFont_);
}

bool MainWindowSide::Create(HWND window) {
  window_.store(window);
  // First, so that the language box's item measurements during its creation reach it.
  if (!SetWindowSubclass(window, WindowSubclass, kSideSubclassId, reinterpret_cast<DWORD_PTR>(this))) {
    return false;
  }
  // The painter draws the two boxes' rounded borders.
  remoteId_ = MakeControl(window, instance_, L"EDIT", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
                          kRemoteIdControl);
  password_ = MakeControl(window, instance_, L"EDIT",
                          WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, kPasswordControl);
  language_ = MakeControl(window, instance_, L"COMBOBOX",
                          WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED |
                              CBS_HASSTRINGS | WS_VSCROLL,
                          kLanguageControl);
  chatInput_ = MakeControl(window, instance_, L"EDIT", WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL,
                           kChatInputControl);
  chatLog_ = MakeControl(window, instance_, L"EDIT",
                         WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0);
  if (!remoteId_ || !password_ || !language_ || !chatInput_ || !chatLog_) return false;
  SendMessageW(remoteId_, EM_SETLIMITTEXT, 11, 0);
  SendMessageW(password_, EM_SETLIMITTEXT, 32, 0);
  SendMessageW(chatInput_, EM_SETLIMITTEXT, 1000, 0);
  SendMessageW(chatLog_, EM_SETLIMITTEXT, 110000, 0);
  SendMessageW(remoteId_, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(L"123 456 789"));
  SetWindowPos(language_, nullptr, 0, 0, 250, 260, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  for (const LanguageInfo& language : Languages()) {
    const std::wstring name(language.displayName);
    SendMessageW(language_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  }
  SendMessageW(language_, CB_SETMINVISIBLE, 8, 0);
  if (!SetWindowSubclass(language_, LanguageBoxSubclass, kSideSubclassId,
                         reinterpret_cast<DWORD_PTR>(this))) {
    return false;
  }
  UpdateScale();
  UpdateChildFonts();
  SetLanguage(language_index_);
  return true;
}

void MainWindowSide::SetLanguage(int language) {
  if (language < 0 || language >= kLanguageCount) return;
  language_index_ = language;
  if (language_ && SendMessageW(language_, CB_GETCURSEL, 0, 0) != language) {
    SendMessageW(language_, CB_SETCURSEL, static_cast<WPARAM>(language), 0);
  }
  SetCueTexts();
  Repaint();
  if (language_) InvalidateRect(language_, nullptr, FALSE);
  if (banner_) InvalidateRect(banner_, nullptr, FALSE);
}

void MainWindowSide::SetCueTexts() {
  if (password_) {
    const std::wstring cue = Translate("Paste session password");
    SendMessageW(password_, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(cue.c_str()));
  }
  if (chatInput_) {
    const std::wstring cue = Translate("Type a message");
    SendMessageW(chatInput_, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(cue.c_str()));
  }
}

void MainWindowSide::OnLanguageChosen() {
  const LRESULT chosen = SendMessageW(language_, CB_GETCURSEL, 0, 0);
  if (chosen < 0 || chosen >= kLanguageCount) return;
  int language = language_index_;
  // The choice is remembered except in a preview, which neither reads nor writes settings; also
  // the choice of the language already shown (which may have come from the system's, and must
  // stay when that changes).
  const bool save = client_ == nullptr || !client_->previewMode();
  const bool changed = chosen != language_index_;
  if (ov::SetLanguage(language, static_cast<int>(chosen), save) && changed) SetLanguage(language);
}

void MainWindowSide::UpdateChildFonts() {
  const int pixels = std::max(8, static_cast<int>(14.0f * scale_ + 0.5f));
  if (pixels != childFontPixels_) {
    HFONT font = CreateFontW(-pixels, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
    if (font) {
      for (HWND control : ChildControls()) {
        if (control) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
      }
      if (childFont_) DeleteObject(childFont_);
      childFont_ = font;
      childFontPixels_ = pixels;
      // The borderless boxes keep their text off the drawn frame.
      const WORD margin = static_cast<WORD>(8.0f * scale_ + 0.5f);
      for (HWND box : {remoteId_, password_}) {
        if (box) SendMessageW(box, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN,
                              MAKELPARAM(margin, margin));
      }
    }
  }
  const float s = std::clamp(scale_, 0.5f, 4.0f);
  if (language_ && s != languageScale_) {
    languageScale_ = s;
    // The selection field is 36 x s high with the control's edges; each list item 40 x s.
    SendMessageW(language_, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1),
                 std::max(8, static_cast<int>(36.0f * s + 0.5f) - 6));
    SendMessageW(language_, CB_SETITEMHEIGHT, 0, static_cast<int>(40.0f * s + 0.5f));
  }
}

bool MainWindowSide::IsChildControl(HWND control) const noexcept {
  return control != nullptr && (control == remoteId_ || control == password_ ||
                                control == language_ || control == chatInput_ ||
                                control == chatLog_);
}

void MainWindowSide::ShowStatus(const std::string&) { Repaint(); }

void MainWindowSide::Layout() {
  placementsDirty_ = true;
  GrowToMinimum();
  Repaint();
}

// The minimum track size holds for resizing by hand; a layout that needs more room than the
// window has now (the sidebar pages after a small remote view) grows the window to it.
void MainWindowSide::GrowToMinimum() {
  const HWND window = window_.load();
  if (!window || IsIconic(window) || IsZoomed(window) || fullScreen_ ||
      (client_ != nullptr && client_->previewMode())) {
    return;
  }
  RECT rect{};
  if (!GetWindowRect(window, &rect)) return;
  const POINT minimum = MinimumTrackSize(window);
  const LONG width = rect.right - rect.left;
  const LONG height = rect.bottom - rect.top;
  if (width >= minimum.x && height >= minimum.y) return;
  SetWindowPos(window, nullptr, 0, 0, std::max(width, minimum.x), std::max(height, minimum.y),
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MainWindowSide::Repaint() {
  if (const HWND window = window_.load()) InvalidateRect(window, nullptr, FALSE);
}

void MainWindowSide::RepaintPictureArea(int x, int y, int width, int height) {
  const HWND window = window_.load();
  if (!window) return;
  const PeerSession* session = client_ != nullptr ? client_->session() : nullptr;
  if (session == nullptr || session->isHost() || !session->display().picture()) return Repaint();
  const PixelBuffer& picture = *session->display().picture();
  // Placed as the painter places it (a copy of the view: the pan is clamped there).
  ViewState view = session->display().view();
  const ViewRect area = ViewArea();
  const ViewRect placed = LayoutImage(view, area, picture.width, picture.height);
  const ClientBox box =
      PictureAreaOnScreen(placed, picture.width, picture.height, RegionRect{x, y, width, height}, area);
  if (box.empty()) return;
  const RECT rect{box.left, box.top, box.right, box.bottom};
  InvalidateRect(window, &rect, FALSE);
}

void MainWindowSide::PostWake() {
  if (const HWND window = window_.load()) PostMessageW(window, kWakeMessage, 0, 0);
}

void MainWindowSide::RestoreAndForeground() {
  const HWND window = window_.load();
  if (!window) return;
  ShowWindow(window, SW_RESTORE);
  SetForegroundWindow(window);
}

void MainWindowSide::CreateBanner() {
  const HWND window = window_.load();
  if (banner_ || !window) return;
  // 304 x 48 DIP, 12 DIP from the right and bottom of the work area of the window's monitor.
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor);
  const float scale = std::max(static_cast<float>(GetDpiForWindow(window)) / 96.0f, 0.75f);
  const int width = static_cast<int>(kBannerWidth * scale);
  const int height = static_cast<int>(kBannerHeight * scale);
  const int margin = static_cast<int>(12 * scale);
  banner_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kBannerWindowClass,
                            kBannerTitle, WS_POPUP, monitor.rcWork.right - margin - width,
                            monitor.rcWork.bottom - margin - height, width, height, nullptr,
                            nullptr, instance_, nullptr);
  if (!banner_) return;
  SetWindowSubclass(banner_, BannerSubclass, kSideSubclassId, 0);
  const DWORD round = 2;  // DWMWCP_ROUND
  DwmSetWindowAttribute(banner_, 33, &round, sizeof round);  // DWMWA_WINDOW_CORNER_PREFERENCE
  ShowWindow(banner_, SW_SHOWNOACTIVATE);
}

void MainWindowSide::DestroyBanner() {
  if (banner_) DestroyWindow(banner_);
  banner_ = nullptr;
}

void MainWindowSide::ReleaseMouseCapture() {
  if (window_.load() && GetCapture() == window_.load()) ReleaseCapture();
}

void MainWindowSide::ShowFirstPage() {
  ui_.ShowFirstPage();
  Repaint();
}

void MainWindowSide::HidePassword() {
  ui_.passwordRevealed = false;
  Repaint();
}

bool MainWindowSide::SubclassChildControls(SUBCLASSPROC proc) {
  for (HWND control : ChildControls()) {
    if (!control || !SetWindowSubclass(control, proc, 1, 0)) return false;
  }
  return true;
}

std::wstring MainWindowSide::ReadRemoteId() {
  if (!remoteId_) return {};
  const int length = GetWindowTextLengthW(remoteId_);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(remoteId_, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
  return text;
}

std::string MainWindowSide::ReadPasswordUtf8() {
  if (!password_) return {};
  const int length = GetWindowTextLengthW(password_);
  std::vector<wchar_t> wide(static_cast<std::size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(password_, wide.data(), length + 1);
  std::string utf8;
  if (copied > 0) {
    const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), copied,
                                          nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
      SecureWipe(wide.data(), wide.size() * sizeof(wchar_t));
      throw std::runtime_error("invalid Unicode");
    }
    utf8.resize(static_cast<std::size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), copied, utf8.data(), bytes,
                        nullptr, nullptr);
  }
  SecureWipe(wide.data(), wide.size() * sizeof(wchar_t));
  return utf8;
}

void MainWindowSide::ClearPasswordBox() {
  if (password_) SetWindowTextW(password_, L"");
}

void MainWindowSide::DropRemotePicture() { Repaint(); }

namespace {

// A bitmap of the given size selected into a memory DC; both released on destruction.
class MemoryCanvas {
 public:
  MemoryCanvas(int width, int height) {
    HDC screen = GetDC(nullptr);
    dc_ = CreateCompatibleDC(screen);
    bitmap_ = CreateCompatibleBitmap(screen, width, height);
    ReleaseDC(nullptr, screen);
    if (dc_ && bitmap_) old_ = SelectObject(dc_, bitmap_);
  }
  ~MemoryCanvas() {
    if (dc_ && old_) SelectObject(dc_, old_);
    if (bitmap_) DeleteObject(bitmap_);
    if (dc_) DeleteDC(dc_);
  }
  MemoryCanvas(const MemoryCanvas&) = delete;
  MemoryCanvas& operator=(const MemoryCanvas&) = delete;

  bool ok() const noexcept { return dc_ && bitmap_ && old_; }
  HDC dc() const noexcept { return dc_; }
  // Deselects the bitmap and writes it as PNG.
  bool SavePng(const std::wstring& path);

 private:
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
};

// The GDI+ encoder for `mime`, if the system has one.
bool FindEncoder(const wchar_t* mime, CLSID& out) {
  UINT count = 0;
  UINT bytes = 0;
  if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0) return false;
  std::vector<std::uint8_t> storage(bytes);
  auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(storage.data());
  if (Gdiplus::GetImageEncoders(count, bytes, codecs) != Gdiplus::Ok) return false;
  for (UINT i = 0; i < count; ++i) {
    if (wcscmp(codecs[i].MimeType, mime) == 0) {
      out = codecs[i].Clsid;
      return true;
    }
  }
  return false;
}

bool MemoryCanvas::SavePng(const std::wstring& path) {
  SelectObject(dc_, old_);
  old_ = nullptr;
  CLSID png{};
  if (!FindEncoder(L"image/png", png)) return false;
  Gdiplus::Bitmap image(bitmap_, nullptr);
  return image.GetLastStatus() == Gdiplus::Ok &&
         image.Save(path.c_str(), &png, nullptr) == Gdiplus::Ok;
}

std::wstring WidenKey(std::string_view key) {
  std::string text(key);
  return WidenUtf8(text);
}

}  // namespace

std::wstring MainWindowSide::Translate(std::string_view key) const {
  try {
    return ov::Translate(language_index_, key);
  } catch (const std::exception&) {
    return WidenKey(key);
  }
}

void MainWindowSide::UpdateScale() {
  const HWND window = window_.load();
  const UINT dpi = window ? GetDpiForWindow(window) : 96;
  scale_ = static_cast<float>(dpi == 0 ? 96 : dpi) / 96.0f;
  ui_.scale = scale_;
}

bool MainWindowSide::RemoteView() const {
  return client_ != nullptr && ov::ShowsRemoteView(BaseView(), ui_);
}

MainView MainWindowSide::BaseView() const {
  MainView view = MakeMainView(*client_);
  if (!preview_) return view;
  if (preview_->viewerSession) {
    view.viewerRole = view.sessionActive = view.toolsUp = view.registered = true;
    view.busy = false;
    view.prompt = PromptKind::None;
    view.deviceId.clear();
    view.viewState = ViewState{};
    view.fitMode = true;
    view.zoom = 1.0;
    if (previewFrame_ && !previewFrame_->Empty()) {
      view.picture = &*previewFrame_;
      view.firstFrameShown = true;
    }
  }
  if (preview_->updateCard) {
    view.gateOpen = false;
    view.updateState = preview_->updateState;
    view.newVersion = kPreviewNewVersion;
    view.progress = kPreviewProgress;
  }
  return view;
}

MainView MainWindowSide::CurrentView(float widthDip) {
  MainView view = BaseView();
  const HWND focus = GetFocus();
  view.remoteIdFocused = focus != nullptr && focus == remoteId_;
  view.passwordFocused = focus != nullptr && focus == password_;
  const HWND window = window_.load();
  view.maximised = window != nullptr && IsZoomed(window);
  view.fullScreen = fullScreen_;
  const PeerSession* session = client_->session();
  if (preview_ && preview_->viewerSession) {
    ViewerFigures figures;
    figures.hasPicture = view.picture != nullptr;
    figures.pictureWidth = kTestFrameWidth;
    figures.pictureHeight = kTestFrameHeight;
    figures.controlNotice = preview_->inputNotice;
    figures.windowWidthDip = widthDip;
    view.strip = ViewerStatusLine(figures);
  } else if (session != nullptr && !session->isHost()) {
    view.strip = ViewerStatusLine(session->Figures(widthDip));
    if (IsClipboardNotice(view.status)) {
      view.strip.first = view.status;
      view.strip.warning = false;
    }
  }
  std::optional<FileTransfer::Progress> progress;
  if (session != nullptr) {
    progress = session->files().outgoing();
    if (!progress) progress = session->files().incoming();
  }
  if (progress) {
    meter_.Observe(GetTickCount64(), progress->done, progress->size);
    view.transfer = MainView::Transfer{std::wstring(progress->name.begin(), progress->name.end()),
                                       progress->size, progress->done, meter_.BytesPerSecond()};
  } else {
    meter_.Reset();
  }
  return view;
}

void MainWindowSide::SetPreviewPage(const PreviewPage& page, bool revealPassword) {
  preview_ = page;
  SetPreviewState(page.sidebarPage, revealPassword);
  if (page.viewerSession && !previewFrame_) previewFrame_ = MakeOfflineTestFrame();
  Layout();
}

void MainWindowSide::PaintFrame(HDC dc, int width, int height) {
  UpdateScale();
  Gdiplus::Graphics graphics(dc);
  GdiplusCanvas canvas(graphics, fonts_, scale_);
  ov::Layout layout;
  const Translator translate = [this](std::string_view key) { return Translate(key); };
  DrawContext ctx{canvas, layout, translate};
  ctx.hovered = ui_.hoveredCommand;
  ctx.copyFeedback = ui_.copyFeedbackUntil != 0 ? ui_.copiedCommand : 0;
  if (client_ != nullptr) {
    const MainView view = CurrentView(static_cast<float>(width) / scale_);
    SyncChatLog();
    PaintMainWindow(ctx, view, ui_, static_cast<float>(width) / scale_,
                    static_cast<float>(height) / scale_);
  }
  layout_ = std::move(layout);
}

void MainWindowSide::ApplyPlacements() {
  placementsDirty_ = false;
  UpdateChildFonts();
  const std::pair<ChildControl, HWND> children[] = {
      {ChildControl::RemoteId, remoteId_},   {ChildControl::Password, password_},
      {ChildControl::ChatInput, chatInput_}, {ChildControl::ChatLog, chatLog_},
      {ChildControl::Language, language_}};
  for (const auto& [control, window] : children) {
    if (!window) continue;
    const ControlPlacement* placement = layout_.Placement(control);
    if (placement == nullptr) {
      ShowWindow(window, SW_HIDE);
      continue;
    }
    const RectF& r = placement->rect;
    int height = static_cast<int>(r.height * scale_);
    // A drop-down list's window height includes its list: eight items at most.
    if (control == ChildControl::Language) {
      height += static_cast<int>(8 * 40.0f * std::clamp(scale_, 0.5f, 4.0f)) + 4;
    }
    int top = static_cast<int>(r.y * scale_);
    // The borderless ID and password boxes hold one line, centred in the drawn frame.
    if ((control == ChildControl::RemoteId || control == ChildControl::Password) &&
        childFontPixels_ > 0) {
      const int line = std::min(height, childFontPixels_ * 3 / 2);
      top += (height - line) / 2;
      height = line;
    }
    MoveWindow(window, static_cast<int>(r.x * scale_), top, static_cast<int>(r.width * scale_),
               height, TRUE);
    EnableWindow(window, placement->enabled ? TRUE : FALSE);
    // A page's controls are disabled while a prompt covers the page; a native window would draw
    // over the prompt's card, so they are hidden until it goes. The sidebar's language box lies
    // outside the overlay and only greys.
    const bool underPrompt = !placement->enabled && control != ChildControl::Language;
    ShowWindow(window, underPrompt ? SW_HIDE : SW_SHOWNA);
  }
}

void MainWindowSide::Paint() {
  const HWND window = window_.load();
  {
    const PaintScope paint(window);
    RECT area{};
    GetClientRect(window, &area);
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    const RECT& due = paint.area();
    if (width > 0 && height > 0 && due.right > due.left && due.bottom > due.top) {
      // Drawn off-screen and copied at once: no flicker, no background erase. Only what is due
      // is drawn and copied (a frame that changed a few lines invalidates only those).
      MemoryCanvas buffer(width, height);
      if (buffer.ok()) {
        IntersectClipRect(buffer.dc(), due.left, due.top, due.right, due.bottom);
        PaintFrame(buffer.dc(), width, height);
        BitBlt(paint.dc(), due.left, due.top, due.right - due.left, due.bottom - due.top, buffer.dc(),
               due.left, due.top, SRCCOPY);
      }
    }
  }
  if (placementsDirty_) ApplyPlacements();
  SyncTooltipTools();
}

void MainWindowSide::SyncTooltipTools() {
  const HWND window = window_.load();
  if (!tooltip_ || !window) return;
  const auto& regions = layout_.regions();
  const bool same =
      tooltipScale_ == scale_ && regions.size() == tooltipRegions_.size() &&
      std::equal(regions.begin(), regions.end(), tooltipRegions_.begin(),
                 [](const HitRegion& a, const HitRegion& b) {
                   return a.command == b.command && a.rect == b.rect;
                 });
  if (same) return;
  for (std::size_t i = 0; i < tooltipRegions_.size(); ++i) {
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = window;
    tool.uId = i + 1;
    SendMessageW(tooltip_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
  tooltipRegions_ = regions;
  tooltipScale_ = scale_;
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const RectF& r = regions[i].rect;
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_SUBCLASS;
    tool.hwnd = window;
    tool.uId = i + 1;
    tool.rect = RECT{static_cast<LONG>(r.x * scale_), static_cast<LONG>(r.y * scale_),
                     static_cast<LONG>(r.Right() * scale_), static_cast<LONG>(r.Bottom() * scale_)};
    tool.lpszText = LPSTR_TEXTCALLBACKW;
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

void MainWindowSide::FillTooltip(NMTTDISPINFOW& request, std::uint64_t now) {
  request.lpszText = nullptr;
  request.szText[0] = L'\0';
  const std::size_t index = request.hdr.idFrom;
  if (index == 0 || index > tooltipRegions_.size()) return;
  TooltipState state;
  state.copyFeedback = ui_.copyFeedbackUntil > now ? ui_.copiedCommand : 0;
  state.passwordShown = ui_.passwordRevealed;
  state.approvalChangeable = client_ != nullptr && !client_->sessionActive() && !client_->busy();
  const std::string key = TooltipKey(tooltipRegions_[index - 1].command, state);
  if (key.empty()) return;
  tooltipText_ = Translate(key);
  request.lpszText = tooltipText_.data();
}

void MainWindowSide::PaintBanner(HWND banner) {
  const PaintScope paint(banner);
  RECT area{};
  GetClientRect(banner, &area);
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  MemoryCanvas buffer(std::max(1, width), std::max(1, height));
  if (buffer.ok()) {
    const float scale = std::max(static_cast<float>(GetDpiForWindow(banner)) / 96.0f, 0.75f);
    Gdiplus::Graphics graphics(buffer.dc());
    GdiplusCanvas canvas(graphics, bannerFonts_, scale);
    ov::Layout layout;
    const Translator translate = [this](std::string_view key) { return Translate(key); };
    DrawContext ctx{canvas, layout, translate};
    ctx.hovered = bannerButtonHovered_ ? cmd::kDisconnect : 0;
    PaintSharingBanner(ctx, static_cast<float>(width) / scale, static_cast<float>(height) / scale);
    BitBlt(paint.dc(), 0, 0, width, height, buffer.dc(), 0, 0, SRCCOPY);
  }
}

void MainWindowSide::SetBannerButtonHovered(HWND banner, bool hovered) {
  if (bannerButtonHovered_ == hovered) return;
  bannerButtonHovered_ = hovered;
  InvalidateRect(banner, nullptr, FALSE);
}

bool MainWindowSide::RenderToPng(const std::wstring& path) {
  const HWND window = window_.load();
  if (!window) return false;
  RECT area{};
  GetClientRect(window, &area);
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  if (width <= 0 || height <= 0) return false;
  MemoryCanvas canvas(width, height);
  if (!canvas.ok()) return false;
  PaintFrame(canvas.dc(), width, height);
  ApplyPlacements();
  // Each visible child control prints itself at its place, clipped to it.
  for (HWND control : ChildControls()) {
    if (!control || (GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE) == 0) continue;
    RECT placed{};
    GetWindowRect(control, &placed);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&placed), 2);
    // A control may leave its clipping, font or origin in the DC: each draws into a fresh state.
    const int saved = SaveDC(canvas.dc());
    IntersectClipRect(canvas.dc(), placed.left, placed.top, placed.right, placed.bottom);
    SetViewportOrgEx(canvas.dc(), placed.left, placed.top, nullptr);
    SendMessageW(control, WM_PRINT, reinterpret_cast<WPARAM>(canvas.dc()),
                 PRF_CLIENT | PRF_NONCLIENT | PRF_ERASEBKGND | PRF_CHILDREN);
    RestoreDC(canvas.dc(), saved);
  }
  return canvas.SavePng(path);
}

bool MainWindowSide::RenderBannerToPng(const std::wstring& path) {
  MemoryCanvas buffer(kBannerWidth, kBannerHeight);
  if (!buffer.ok()) return false;
  {
    Gdiplus::Graphics graphics(buffer.dc());
    GdiplusCanvas canvas(graphics, bannerFonts_, 1.0f);
    ov::Layout layout;
    const Translator translate = [this](std::string_view key) { return Translate(key); };
    DrawContext ctx{canvas, layout, translate};
    PaintSharingBanner(ctx, kBannerWidth, kBannerHeight);
  }
  return buffer.SavePng(path);
}

int MainWindowSide::CommandAt(POINT client) const {
  return layout_.HitTest(PointF{static_cast<float>(client.x) / scale_,
                                static_cast<float>(client.y) / scale_});
}

void MainWindowSide::SetHovered(int command) {
  if (ui_.hoveredCommand == command) return;
  ui_.hoveredCommand = command;
  Repaint();
}

LRESULT MainWindowSide::HitTestFrame(POINT screen, LRESULT defaultHit) const {
  const HWND window = window_.load();
  if (!window) return defaultHit;
  RECT bounds{};
  GetWindowRect(window, &bounds);
  // Full screen is a borderless pop-up: its edges are the picture's, never resize borders.
  if (!IsZoomed(window) && !fullScreen_) {
    const UINT dpi = GetDpiForWindow(window);
    const int band = GetSystemMetricsForDpi(SM_CXPADDEDBORDER, dpi) +
                     GetSystemMetricsForDpi(SM_CXSIZEFRAME, dpi);
    const bool left = screen.x < bounds.left + band;
    const bool right = screen.x >= bounds.right - band;
    const bool top = screen.y < bounds.top + band;
    const bool bottom = screen.y >= bounds.bottom - band;
    if (top && left) return HTTOPLEFT;
    if (top && right) return HTTOPRIGHT;
    if (bottom && left) return HTBOTTOMLEFT;
    if (bottom && right) return HTBOTTOMRIGHT;
    if (top) return HTTOP;
    if (bottom) return HTBOTTOM;
    if (left) return HTLEFT;
    if (right) return HTRIGHT;
  }
  POINT client = screen;
  ScreenToClient(window, &client);
  const PointF dip{static_cast<float>(client.x) / scale_, static_cast<float>(client.y) / scale_};
  return ClassifyPoint(layout_, dip, RemoteView(), fullScreen_) == WindowPart::Caption
             ? HTCAPTION
             : HTCLIENT;
}

POINT MainWindowSide::MinimumTrackSize(HWND window) const {
  // The window's DPI as it is now: the first query comes before WM_CREATE, and one during a DPI
  // change before the scale is updated.
  UINT dpi = window ? GetDpiForWindow(window) : 0;
  if (dpi == 0) dpi = GetDpiForSystem();
  const float scale = static_cast<float>(dpi == 0 ? 96 : dpi) / 96.0f;
  const bool remote = RemoteView();
  return POINT{static_cast<LONG>((remote ? 480.0f : 1000.0f) * scale),
               static_cast<LONG>((remote ? 320.0f : 660.0f) * scale)};
}

void MainWindowSide::EndCopyFeedbackAfter(std::uint64_t ms) {
  if (const HWND window = window_.load()) {
    SetTimer(window, kCopyFeedbackTimerId, static_cast<UINT>(std::min<std::uint64_t>(ms, 60000)),
             nullptr);
  }
}

void MainWindowSide::ExpireCopyFeedback(std::uint64_t now) {
  if (ui_.copyFeedbackUntil != 0 && now >= ui_.copyFeedbackUntil) {
    ui_.copyFeedbackUntil = 0;
    ui_.copiedCommand = 0;
    Repaint();
  }
}

void MainWindowSide::Minimize() {
  if (const HWND window = window_.load()) PostMessageW(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
}

void MainWindowSide::ToggleMaximize() {
  if (const HWND window = window_.load()) ShowWindow(window, IsZoomed(window) ? SW_RESTORE : SW_MAXIMIZE);
}

void MainWindowSide::Close() {
  if (const HWND window = window_.load()) PostMessageW(window, WM_CLOSE, 0, 0);
}

bool MainWindowSide::CopyText(const std::wstring& text) {
  const HWND window = window_.load();
  if (!window || !OpenClipboard(window)) return false;
  bool placed = false;
  const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  if (EmptyClipboard()) {
    if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
      if (void* target = GlobalLock(memory)) {
        std::memcpy(target, text.c_str(), bytes);
        GlobalUnlock(memory);
        placed = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
      }
      if (!placed) GlobalFree(memory);
    }
  }
  CloseClipboard();
  return placed;
}

int MainWindowSide::ChooseFromMenu(const std::vector<MenuItem>& items) {
  const HWND window = window_.load();
  HMENU menu = CreatePopupMenu();
  if (!window || !menu) return 0;
  for (const MenuItem& item : items) {
    if (item.command == 0) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    UINT flags = MF_STRING;
    if (item.checked) flags |= MF_CHECKED;
    if (item.greyed) flags |= MF_GRAYED;
    const std::wstring label = Translate(item.label) + WidenUtf8(item.detail);
    AppendMenuW(menu, flags, static_cast<UINT_PTR>(item.command), label.c_str());
  }
  POINT at{};
  GetCursorPos(&at);
  const int chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, window,
                                    nullptr);
  DestroyMenu(menu);
  return chosen;
}

bool MainWindowSide::AskYesNo(const std::string& caption, const std::string& question) {
  const std::wstring title = Translate(caption);
  const std::wstring text = Translate(question);
  return MessageBoxW(window_.load(), text.c_str(), title.c_str(),
                     MB_YESNO | MB_ICONINFORMATION) == IDYES;
}

ViewRect MainWindowSide::ViewArea() const {
  RECT client{};
  if (const HWND window = window_.load()) GetClientRect(window, &client);
  return ov::ViewArea(client.right - client.left, client.bottom - client.top, scale_);
}

void MainWindowSide::CaptureMouse() {
  const HWND window = window_.load();
  if (!window) return;
  SetFocus(window);
  SetCapture(window);
}

bool MainWindowSide::HasMouseCapture() const {
  const HWND window = window_.load();
  return window != nullptr && GetCapture() == window;
}

// Entering: the placement is saved and the window becomes a borderless pop-up over the whole
// monitor that holds it. Leaving: the sizing frame and the placement come back.
void MainWindowSide::SetFullScreen(bool on) {
  const HWND window = window_.load();
  if (!window || on == fullScreen_) return;
  const LONG_PTR visible = GetWindowLongPtrW(window, GWL_STYLE) & WS_VISIBLE;
  if (on) {
    savedPlacement_.length = sizeof savedPlacement_;
    if (!GetWindowPlacement(window, &savedPlacement_)) return;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) return;
    SetWindowLongPtrW(window, GWL_STYLE, WS_POPUP | WS_CLIPCHILDREN | WS_SYSMENU | visible);
    const RECT& r = monitor.rcMonitor;
    SetWindowPos(window, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOOWNERZORDER | SWP_FRAMECHANGED);
  } else {
    SetWindowLongPtrW(window, GWL_STYLE,
                      WS_POPUP | WS_CLIPCHILDREN | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX |
                          WS_MAXIMIZEBOX | visible);
    SetWindowPlacement(window, &savedPlacement_);
    SetWindowPos(window, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOOWNERZORDER | SWP_FRAMECHANGED);
  }
  fullScreen_ = on;
  Layout();
}

void MainWindowSide::ShowConnectionInfo(const ViewerFigures& figures) {
  const TranslateFn translate = [this](const std::string& key) {
    const std::wstring wide = Translate(key);
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
    if (length > 0) {
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(),
                          length, nullptr, nullptr);
    }
    return text;
  };
  const std::wstring text = WidenUtf8(ConnectionInfoText(figures, translate));
  const std::wstring caption = Translate("Connection info");
  MessageBoxW(window_.load(), text.c_str(), caption.c_str(), MB_OK | MB_ICONINFORMATION);
}

// The shell's file dialog, modal to the window: the chosen item's file-system path, or empty.
std::u16string MainWindowSide::ChooseFile(bool save, const std::u16string& name) {
  IFileDialog* dialog = nullptr;
  const HRESULT made =
      CoCreateInstance(save ? CLSID_FileSaveDialog : CLSID_FileOpenDialog, nullptr,
                       CLSCTX_INPROC_SERVER, IID_IFileDialog, reinterpret_cast<void**>(&dialog));
  if (FAILED(made) || dialog == nullptr) return {};
  std::u16string chosen;
  FILEOPENDIALOGOPTIONS options = 0;
  dialog->GetOptions(&options);
  options |= FOS_NOCHANGEDIR | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST | FOS_DONTADDTORECENT;
  if (save) {
    options &= ~static_cast<FILEOPENDIALOGOPTIONS>(FOS_OVERWRITEPROMPT);
  } else {
    options |= FOS_FILEMUSTEXIST;
  }
  dialog->SetOptions(options);
  const std::wstring title = Translate(save ? "Save as" : "Send file");
  dialog->SetTitle(title.c_str());
  if (save) {
    const std::wstring suggested(name.begin(), name.end());
    dialog->SetFileName(suggested.c_str());
  }
  if (SUCCEEDED(dialog->Show(window_.load()))) {
    IShellItem* item = nullptr;
    if (SUCCEEDED(dialog->GetResult(&item)) && item != nullptr) {
      PWSTR path = nullptr;
      if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) && path != nullptr) {
        for (const wchar_t* c = path; *c != L'\0'; ++c) chosen.push_back(static_cast<char16_t>(*c));
        CoTaskMemFree(path);
      }
      item->Release();
    }
  }
  dialog->Release();
  return chosen;
}

void MainWindowSide::ShowFileInFolder(const std::filesystem::path& file) {
  PIDLIST_ABSOLUTE item = ILCreateFromPathW(file.wstring().c_str());
  if (item == nullptr) throw std::runtime_error("downloaded file not found");
  const HRESULT shown = SHOpenFolderAndSelectItems(item, 0, nullptr, 0);
  ILFree(item);
  if (FAILED(shown)) throw std::runtime_error("shell refused to show the file");
}

std::u16string MainWindowSide::ReadChatText() {
  std::u16string text;
  if (!chatInput_) return text;
  const int length = GetWindowTextLengthW(chatInput_);
  if (length <= 0) return text;
  std::wstring wide(static_cast<std::size_t>(length) + 1, L'\0');
  const int read = GetWindowTextW(chatInput_, wide.data(), length + 1);
  wide.resize(static_cast<std::size_t>(std::max(read, 0)));
  text.assign(wide.begin(), wide.end());
  return text;
}

void MainWindowSide::ClearChatText() {
  if (chatInput_) SetWindowTextW(chatInput_, L"");
}

void MainWindowSide::SyncChatLog() {
  if (!chatLog_ || client_ == nullptr) return;
  const PeerSession* session = client_->session();
  static const std::deque<std::u16string> kNoLines;
  const std::deque<std::u16string>& lines = session ? session->tools().chatLog() : kNoLines;
  const std::uint64_t stamp = session ? session->tools().chatLogStamp() : 0;
  if (stamp == chatLogShownStamp_) return;
  chatLogShownStamp_ = stamp;
  std::wstring text;
  for (const std::u16string& line : lines) {
    if (!text.empty()) text += L"\r\n\r\n";  // a blank line between messages
    text.append(line.begin(), line.end());
  }
  SetWindowTextW(chatLog_, text.c_str());
  // The newest line in view.
  SendMessageW(chatLog_, EM_SETSEL, static_cast<WPARAM>(text.size()), static_cast<LPARAM>(text.size()));
  SendMessageW(chatLog_, EM_SCROLLCARET, 0, 0);
}

// The window's own messages, ahead of the entry's window procedure: the language box's list
// items and choice, and the re-scaling after a DPI change. Nothing here may throw into the
// system: a failure leaves the element undrawn.
LRESULT CALLBACK MainWindowSide::WindowSubclass(HWND window, UINT message, WPARAM wParam,
                                                LPARAM lParam, UINT_PTR, DWORD_PTR self) {
  auto& side = *reinterpret_cast<MainWindowSide*>(self);
  try {
    switch (message) {
      case WM_MEASUREITEM:
        if (wParam == kLanguageControl) {
          auto& item = *reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
          const float s = std::clamp(side.scale_, 0.5f, 4.0f);
          item.itemHeight = item.itemID == static_cast<UINT>(-1)
                                ? static_cast<UINT>(std::max(8, static_cast<int>(36 * s + 0.5f) - 6))
                                : static_cast<UINT>(40 * s + 0.5f);
          return TRUE;
        }
        break;
      case WM_DRAWITEM:
        if (wParam == kLanguageControl) {
          const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
          // The selection field is painted by the box itself.
          if ((item.itemState & ODS_COMBOBOXEDIT) == 0) side.DrawLanguageItem(item);
          return TRUE;
        }
        break;
      case WM_COMMAND:
        if (lParam != 0 && reinterpret_cast<HWND>(lParam) == side.language_) {
          if (HIWORD(wParam) == CBN_SELCHANGE) side.OnLanguageChosen();
          InvalidateRect(side.language_, nullptr, FALSE);
        }
        break;
      case WM_DPICHANGED: {
        const LRESULT result = DefSubclassProc(window, message, wParam, lParam);
        side.UpdateScale();
        side.UpdateChildFonts();
        side.Layout();
        return result;
      }
      case WM_NCDESTROY:
        RemoveWindowSubclass(window, WindowSubclass, kSideSubclassId);
        break;
      default:
        break;
    }
  } catch (const std::exception&) {
    side.Repaint();
  }
  return DefSubclassProc(window, message, wParam, lParam);
}

LRESULT CALLBACK MainWindowSide::LanguageBoxSubclass(HWND box, UINT message, WPARAM wParam,
                                                     LPARAM lParam, UINT_PTR, DWORD_PTR self) {
  auto& side = *reinterpret_cast<MainWindowSide*>(self);
  try {
    switch (message) {
      case WM_PAINT: {
        const PaintScope paint(box);
        side.PaintLanguageBox(paint.dc());
        return 0;
      }
      case WM_PRINTCLIENT:
        side.PaintLanguageBox(reinterpret_cast<HDC>(wParam));
        return 0;
      case WM_ERASEBKGND:
        return 1;
      case WM_MOUSEMOVE:
        if (!side.languageHover_) {
          side.languageHover_ = true;
          TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, box, 0};
          TrackMouseEvent(&track);
          InvalidateRect(box, nullptr, FALSE);
        }
        break;
      case WM_MOUSELEAVE:
        side.languageHover_ = false;
        InvalidateRect(box, nullptr, FALSE);
        break;
      case WM_SETFOCUS:
      case WM_KILLFOCUS:
      case WM_ENABLE:
      case WM_KEYUP:
      case WM_LBUTTONUP:
      case CB_SETCURSEL: {
        const LRESULT result = DefSubclassProc(box, message, wParam, lParam);
        InvalidateRect(box, nullptr, FALSE);
        return result;
      }
      case WM_NCDESTROY:
        RemoveWindowSubclass(box, LanguageBoxSubclass, kSideSubclassId);
        break;
      default:
        break;
    }
  } catch (const std::exception&) {
  }
  return DefSubclassProc(box, message, wParam, lParam);
}

namespace {

// A language's name and region code, as the box and its list show them.
void DrawLanguageEntry(GdiplusCanvas& canvas, int index, const RectF& rect, Argb text) {
  if (index < 0 || index >= kLanguageCount) return;
  const LanguageInfo& language = Languages()[static_cast<std::size_t>(index)];
  TextStyle name;
  name.size = 13;
  canvas.Text(std::wstring(language.displayName), RectF{rect.x + 12, rect.y, rect.width - 60,
                                                        rect.height},
              name, text);
  TextStyle region;
  region.size = 11;
  region.bold = true;
  region.align = TextAlign::Right;
  canvas.Text(std::wstring(language.region), RectF{rect.Right() - 70, rect.y, 40, rect.height},
              region, 0xFF788B99);
}

}  // namespace

void MainWindowSide::PaintLanguageBox(HDC dc) {
  RECT area{};
  GetClientRect(language_, &area);
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  if (width <= 0 || height <= 0) return;
  MemoryCanvas buffer(width, height);
  if (!buffer.ok()) return;
  {
    const float s = std::clamp(scale_, 0.5f, 4.0f);
    Gdiplus::Graphics graphics(buffer.dc());
    GdiplusCanvas canvas(graphics, fonts_, s);
    const float w = static_cast<float>(width) / s;
    const float h = static_cast<float>(height) / s;
    const bool enabled = IsWindowEnabled(language_) != FALSE;
    const bool focused = GetFocus() == language_;
    canvas.FillRect(RectF{0, 0, w, h}, 0xFFFAFCFD);  // the sidebar behind the box
    const Argb border = focused ? 0xFF10786D : languageHover_ && enabled ? 0xFF9FB4BE : 0xFFD3DCE1;
    canvas.RoundRect(RectF{0.5f, 0.5f, w - 1, h - 1}, enabled ? 0xFFFFFFFF : 0xFFF1F5F7, 8,
                     border);
    const int selected = static_cast<int>(SendMessageW(language_, CB_GETCURSEL, 0, 0));
    DrawLanguageEntry(canvas, selected, RectF{0, 0, w, h}, enabled ? 0xFF1C3141 : 0xFF8A979E);
    // The drop-down chevron.
    const float cx = w - 16;
    const float cy = h / 2;
    canvas.Polyline({PointF{cx - 4, cy - 2}, PointF{cx, cy + 2}, PointF{cx + 4, cy - 2}},
                    0xFF586C7B, 1.6f, false);
  }
  BitBlt(dc, 0, 0, width, height, buffer.dc(), 0, 0, SRCCOPY);
}

void MainWindowSide::DrawLanguageItem(const DRAWITEMSTRUCT& item) {
  const int width = item.rcItem.right - item.rcItem.left;
  const int height = item.rcItem.bottom - item.rcItem.top;
  if (width <= 0 || height <= 0) return;
  MemoryCanvas buffer(width, height);
  if (!buffer.ok()) return;
  {
    const float s = std::clamp(scale_, 0.5f, 4.0f);
    Gdiplus::Graphics graphics(buffer.dc());
    GdiplusCanvas canvas(graphics, fonts_, s);
    const RectF rect{0, 0, static_cast<float>(width) / s, static_cast<float>(height) / s};
    canvas.FillRect(rect, (item.itemState & ODS_SELECTED) != 0 ? 0xFFE7F4F2 : 0xFFFFFFFF);
    DrawLanguageEntry(canvas, static_cast<int>(item.itemID), rect, 0xFF1C3141);
  }
  BitBlt(item.hDC, item.rcItem.left, item.rcItem.top, width, height, buffer.dc(), 0, 0, SRCCOPY);
}

// The banner follows DPI changes: 304 x 48 at the new scale, kept on its monitor.
LRESULT CALLBACK MainWindowSide::BannerSubclass(HWND banner, UINT message, WPARAM wParam,
                                                LPARAM lParam, UINT_PTR, DWORD_PTR) {
  if (message == WM_DPICHANGED) {
    const float scale = std::max(static_cast<float>(HIWORD(wParam)) / 96.0f, 0.75f);
    const int width = static_cast<int>(kBannerWidth * scale);
    const int height = static_cast<int>(kBannerHeight * scale);
    const RECT& suggested = *reinterpret_cast<const RECT*>(lParam);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromRect(&suggested, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT& m = monitor.rcMonitor;
    const LONG x = std::clamp(suggested.left, m.left, std::max(m.left, m.right - width));
    const LONG y = std::clamp(suggested.top, m.top, std::max(m.top, m.bottom - height));
    SetWindowPos(banner, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(banner, nullptr, FALSE);
    return 0;
  }
  if (message == WM_NCDESTROY) RemoveWindowSubclass(banner, BannerSubclass, kSideSubclassId);
  return DefSubclassProc(banner, message, wParam, lParam);
}

PixelBuffer MakeOfflineTestFrame() {
  PixelBuffer frame;
  Gdiplus::Bitmap bitmap(kTestFrameWidth, kTestFrameHeight, PixelFormat32bppARGB);
  if (bitmap.GetLastStatus() != Gdiplus::Ok) return frame;
  {
    Gdiplus::Graphics graphics(&bitmap);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
    graphics.Clear(Gdiplus::Color(0xFF1D2D40));
    Gdiplus::Pen grid(Gdiplus::Color(0xFF2B4258), 1.0f);
    for (int x = 120; x < kTestFrameWidth; x += 120) {
      graphics.DrawLine(&grid, x, 0, x, kTestFrameHeight);
    }
    for (int y = 120; y < kTestFrameHeight; y += 120) {
      graphics.DrawLine(&grid, 0, y, kTestFrameWidth, y);
    }
    Gdiplus::StringFormat centred;
    centred.SetAlignment(Gdiplus::StringAlignmentCenter);
    centred.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    Gdiplus::Font title(L"Segoe UI", 96, Gdiplus::FontStyleBold, Gdiplus::UnitPixel);
    Gdiplus::Font detail(L"Segoe UI", 44, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
    Gdiplus::SolidBrush titleInk(Gdiplus::Color(0xFF86E5CF));
    Gdiplus::SolidBrush detailInk(Gdiplus::Color(0xFFE5F2FC));
    graphics.DrawString(L"OFFLINE TEST FRAME", -1, &title,
                        Gdiplus::RectF(0, 380, kTestFrameWidth, 150), &centred, &titleInk);
    graphics.DrawString(L"1920 \u00d7 1080 / no desktop capture", -1, &detail,
                        Gdiplus::RectF(0, 540, kTestFrameWidth, 80), &centred, &detailInk);
  }
  Gdiplus::Rect all(0, 0, kTestFrameWidth, kTestFrameHeight);
  Gdiplus::BitmapData data{};
  if (bitmap.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) !=
      Gdiplus::Ok) {
    return frame;
  }
  frame.width = kTestFrameWidth;
  frame.height = kTestFrameHeight;
  frame.bytes.resize(static_cast<std::size_t>(kTestFrameWidth) * kTestFrameHeight * 4);
  for (int row = 0; row < kTestFrameHeight; ++row) {
    std::memcpy(frame.bytes.data() + static_cast<std::size_t>(row) * kTestFrameWidth * 4,
                static_cast<const std::uint8_t*>(data.Scan0) +
                    static_cast<std::ptrdiff_t>(row) * data.Stride,
                static_cast<std::size_t>(kTestFrameWidth) * 4);
  }
  bitmap.UnlockBits(&data);
  return frame;
}

}  // namespace ov
