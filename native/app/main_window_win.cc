#include "app/main_window_win.h"

#include <commctrl.h>
#include <objidl.h>
// objidl.h first: GDI+ needs its types, which WIN32_LEAN_AND_MEAN leaves out.
#include <gdiplus.h>

#include <cstdint>
#include <cwchar>
#include <stdexcept>
#include <vector>

#include "app/client.h"
#include "base/secure_memory.h"
#include "crypto/primitives.h"

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

HWND MakeControl(HWND parent, HINSTANCE instance, const wchar_t* cls, DWORD style, int id) {
  return CreateWindowExW(0, cls, L"", WS_CHILD | style, 0, 0, 10, 10, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

}  // namespace

bool MainWindowSide::Create(HWND window) {
  window_.store(window);
  remoteId_ = MakeControl(window, instance_, L"EDIT",
                          WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, kRemoteIdControl);
  password_ = MakeControl(window, instance_, L"EDIT",
                          WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD,
                          kPasswordControl);
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
  return true;
}

bool MainWindowSide::IsChildControl(HWND control) const noexcept {
  return control != nullptr && (control == remoteId_ || control == password_ ||
                                control == language_ || control == chatInput_ ||
                                control == chatLog_);
}

void MainWindowSide::ShowStatus(const std::string& status) {
  status_ = WidenUtf8(status);
  Repaint();
}

void MainWindowSide::Layout() {
  const HWND window = window_.load();
  if (!window) return;
  RECT client{};
  GetClientRect(window, &client);
  const int width = client.right - client.left;
  MoveWindow(remoteId_, 40, 260, 260, 28, TRUE);
  MoveWindow(password_, 40, 300, 260, 28, TRUE);
  MoveWindow(language_, width > 290 ? width - 290 : 0, 16, 250, 260, TRUE);
  Repaint();
}

void MainWindowSide::Repaint() {
  if (const HWND window = window_.load()) InvalidateRect(window, nullptr, TRUE);
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
  if (banner_ || !window_.load()) return;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - kBannerWidth) / 2;
  banner_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kBannerWindowClass,
                            kMainWindowTitle, WS_POPUP | WS_VISIBLE, x, 8, kBannerWidth,
                            kBannerHeight, nullptr, nullptr, instance_, nullptr);
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

void MainWindowSide::Paint(const Client& client) {
  const HWND window = window_.load();
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(window, &paint);
  RECT area{};
  GetClientRect(window, &area);
  PaintTo(dc, area, client);
  EndPaint(window, &paint);
}

void MainWindowSide::PaintTo(HDC dc, const RECT& area, const Client& client) {
  HBRUSH background = CreateSolidBrush(RGB(0x10, 0x1a, 0x26));
  FillRect(dc, &area, background);
  DeleteObject(background);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0xe5, 0xf2, 0xfc));
  const int x = area.left + 40;
  TextOutW(dc, x, area.top + 24, kMainWindowTitle, static_cast<int>(wcslen(kMainWindowTitle)));
  TextOutW(dc, x, area.top + 60, status_.c_str(), static_cast<int>(status_.size()));
  if (!client.viewerRole() && !client.deviceId().empty()) {
    const std::wstring id = WidenAscii(FormatDeviceId(client.deviceId()));
    std::string shown = ShownPassword(client.sessionPassword(), ui_.passwordRevealed);
    std::wstring password = WidenUtf8(shown);
    SecureClear(shown);
    TextOutW(dc, x, area.top + 120, id.c_str(), static_cast<int>(id.size()));
    TextOutW(dc, x, area.top + 150, password.c_str(), static_cast<int>(password.size()));
    SecureWipe(password.data(), password.size() * sizeof(wchar_t));
  }
}

void MainWindowSide::PaintBanner(HWND banner) {
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(banner, &paint);
  RECT area{};
  GetClientRect(banner, &area);
  PaintBannerTo(dc, area);
  EndPaint(banner, &paint);
}

void MainWindowSide::PaintBannerTo(HDC dc, const RECT& area) {
  HBRUSH background = CreateSolidBrush(RGB(0x1d, 0x2d, 0x40));
  FillRect(dc, &area, background);
  DeleteObject(background);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0x86, 0xe5, 0xcf));
  const wchar_t* text = L"Session active";
  TextOutW(dc, area.left + 16, area.top + 16, text, static_cast<int>(wcslen(text)));
}

namespace {

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
  bool SavePng(const std::wstring& path) {
    SelectObject(dc_, old_);
    old_ = nullptr;
    CLSID png{};
    if (!FindEncoder(L"image/png", png)) return false;
    Gdiplus::Bitmap image(bitmap_, nullptr);
    return image.GetLastStatus() == Gdiplus::Ok &&
           image.Save(path.c_str(), &png, nullptr) == Gdiplus::Ok;
  }

 private:
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
};

}  // namespace

bool MainWindowSide::RenderToPng(const std::wstring& path, const Client& client) {
  const HWND window = window_.load();
  if (!window) return false;
  // The whole window, its frame drawn by the painter: the client area and each visible child
  // control at its place, the controls drawing themselves through WM_PRINT.
  RECT outer{};
  GetWindowRect(window, &outer);
  const int width = outer.right - outer.left;
  const int height = outer.bottom - outer.top;
  if (width <= 0 || height <= 0) return false;
  MemoryCanvas canvas(width, height);
  if (!canvas.ok()) return false;
  PaintTo(canvas.dc(), RECT{0, 0, width, height}, client);
  for (HWND control : ChildControls()) {
    if (!control || (GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE) == 0) continue;
    RECT placed{};
    GetWindowRect(control, &placed);
    // A control may leave its clipping, font or origin in the DC: each draws into a fresh state.
    const int saved = SaveDC(canvas.dc());
    SetViewportOrgEx(canvas.dc(), placed.left - outer.left, placed.top - outer.top, nullptr);
    SendMessageW(control, WM_PRINT, reinterpret_cast<WPARAM>(canvas.dc()),
                 PRF_CLIENT | PRF_NONCLIENT | PRF_ERASEBKGND | PRF_CHILDREN);
    RestoreDC(canvas.dc(), saved);
  }
  return canvas.SavePng(path);
}

bool MainWindowSide::RenderBannerToPng(const std::wstring& path) {
  MemoryCanvas canvas(kBannerWidth, kBannerHeight);
  if (!canvas.ok()) return false;
  PaintBannerTo(canvas.dc(), RECT{0, 0, kBannerWidth, kBannerHeight});
  return canvas.SavePng(path);
}

}  // namespace ov
