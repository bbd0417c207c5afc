// The Windows clipboard: CF_UNICODETEXT opened on the program's window, the system's sequence
// number, and the window registered as a clipboard format listener.
#include "tools/clipboard.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace ov {
namespace {

// Holds the clipboard open for the life of the object; Close on every path.
class OpenedClipboard {
 public:
  explicit OpenedClipboard(HWND window) : open_(OpenClipboard(window) != FALSE) {}
  ~OpenedClipboard() {
    if (open_) CloseClipboard();
  }
  OpenedClipboard(const OpenedClipboard&) = delete;
  OpenedClipboard& operator=(const OpenedClipboard&) = delete;
  bool ok() const noexcept { return open_; }

 private:
  const bool open_;
};

// The text of a CF_UNICODETEXT block, read while it is locked.
std::u16string TextOfBlock(HANDLE block) {
  const SIZE_T size = GlobalSize(block);
  const void* data = GlobalLock(block);
  if (data == nullptr) return {};
  std::u16string text = TextOfClipboardBlock(data, size);
  GlobalUnlock(block);
  return text;
}

class WindowsClipboard final : public Clipboard {
 public:
  explicit WindowsClipboard(HWND window) : window_(window) {}
  ~WindowsClipboard() override { StopListening(); }

  std::optional<std::u16string> ReadText() override {
    OpenedClipboard opened(window_);
    if (!opened.ok()) return std::nullopt;
    HANDLE block = GetClipboardData(CF_UNICODETEXT);
    if (block == nullptr) return std::u16string();
    return TextOfBlock(block);
  }

  bool WriteText(std::u16string_view text) override {
    const std::u16string_view kept = text.substr(0, text.find(u'\0'));
    const SIZE_T bytes = (kept.size() + 1) * sizeof(char16_t);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (block == nullptr) return false;
    void* data = GlobalLock(block);
    if (data == nullptr) {
      GlobalFree(block);
      return false;
    }
    std::memcpy(data, kept.data(), kept.size() * sizeof(char16_t));
    const char16_t nul = u'\0';
    std::memcpy(static_cast<char*>(data) + kept.size() * sizeof(char16_t), &nul, sizeof(nul));
    GlobalUnlock(block);

    OpenedClipboard opened(window_);
    if (!opened.ok() || !EmptyClipboard() || SetClipboardData(CF_UNICODETEXT, block) == nullptr) {
      GlobalFree(block);  // the system took no ownership of it
      return false;
    }
    return true;  // the block belongs to the system now
  }

  std::uint32_t SequenceNumber() override {
    return static_cast<std::uint32_t>(GetClipboardSequenceNumber());
  }

  bool StartListening() override {
    if (listening_) return true;
    listening_ = AddClipboardFormatListener(window_) != FALSE;
    return listening_;
  }

  void StopListening() override {
    if (!listening_) return;
    RemoveClipboardFormatListener(window_);
    listening_ = false;
  }

 private:
  const HWND window_;
  bool listening_ = false;
};

}  // namespace

std::unique_ptr<Clipboard> CreateSystemClipboard(void* window) {
  return std::make_unique<WindowsClipboard>(static_cast<HWND>(window));
}

}  // namespace ov
