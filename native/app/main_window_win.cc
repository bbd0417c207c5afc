#include "app/main_window_win.h"

#include <commctrl.h>

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
  const int x = (GetSystemMetrics(SM_CXSCREEN) - 304) / 2;
  banner_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kBannerWindowClass,
                            kMainWindowTitle, WS_POPUP | WS_VISIBLE, x, 8, 304, 48, nullptr,
                            nullptr, instance_, nullptr);
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
  HBRUSH background = CreateSolidBrush(RGB(0x10, 0x1a, 0x26));
  FillRect(dc, &area, background);
  DeleteObject(background);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0xe5, 0xf2, 0xfc));
  TextOutW(dc, 40, 24, kMainWindowTitle, static_cast<int>(wcslen(kMainWindowTitle)));
  TextOutW(dc, 40, 60, status_.c_str(), static_cast<int>(status_.size()));
  if (!client.viewerRole() && !client.deviceId().empty()) {
    const std::wstring id = WidenAscii(FormatDeviceId(client.deviceId()));
    std::string shown = ShownPassword(client.sessionPassword(), ui_.passwordRevealed);
    std::wstring password = WidenUtf8(shown);
    SecureClear(shown);
    TextOutW(dc, 40, 120, id.c_str(), static_cast<int>(id.size()));
    TextOutW(dc, 40, 150, password.c_str(), static_cast<int>(password.size()));
    SecureWipe(password.data(), password.size() * sizeof(wchar_t));
  }
  EndPaint(window, &paint);
}

void MainWindowSide::PaintBanner(HWND banner) {
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(banner, &paint);
  RECT area{};
  GetClientRect(banner, &area);
  HBRUSH background = CreateSolidBrush(RGB(0x1d, 0x2d, 0x40));
  FillRect(dc, &area, background);
  DeleteObject(background);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0x86, 0xe5, 0xcf));
  const wchar_t* text = L"Session active";
  TextOutW(dc, 16, 16, text, static_cast<int>(wcslen(text)));
  EndPaint(banner, &paint);
}

}  // namespace ov
