// The system clipboard as the session tools use it: plain text only, read and written whole, with
// the system's change counter and a listener that reports changes to the window.
//
// UI thread only. On Windows every read and write opens the clipboard on the window given to the
// factory and closes it on every path, so a call never leaves the clipboard held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ov {

// The largest text a clipboard read yields, in UTF-16 units, and the bounds of the system block
// that holds it (two bytes per unit; the text ends at the first NUL inside the block).
inline constexpr std::size_t kClipboardTextLimit = 8192;
inline constexpr std::size_t kClipboardBlockMin = 2;
inline constexpr std::size_t kClipboardBlockMax = 16387;

class Clipboard {
 public:
  Clipboard() = default;
  Clipboard(const Clipboard&) = delete;
  Clipboard& operator=(const Clipboard&) = delete;
  virtual ~Clipboard() = default;

  // The clipboard's text. nullopt when the clipboard cannot be opened (another program holds it).
  // An empty text when it holds no text, or a text block outside kClipboardBlockMin to
  // kClipboardBlockMax bytes or without a NUL inside it; otherwise the units before the first NUL
  // (so at most kClipboardTextLimit).
  virtual std::optional<std::u16string> ReadText() = 0;

  // Replaces the clipboard's whole content with `text` (the units up to a NUL inside it, if any).
  // False, with the clipboard untouched or emptied and nothing leaked, when it cannot.
  virtual bool WriteText(std::u16string_view text) = 0;

  // The system's clipboard change counter; 0 when it is not available. Every change of the
  // content, by this program or another, gives a different value.
  virtual std::uint32_t SequenceNumber() = 0;

  // Starts or stops reporting changes of the clipboard to the window (WM_CLIPBOARDUPDATE on
  // Windows; nothing to report elsewhere). StartListening is false when the system refuses.
  // Listening stops at the latest when the clipboard object is destroyed.
  virtual bool StartListening() = 0;
  virtual void StopListening() = 0;
};

// The text of a CF_UNICODETEXT block of `size` bytes at `data`, by the rules of ReadText: the
// units before the first NUL; empty when the size lies outside kClipboardBlockMin to
// kClipboardBlockMax or no NUL lies within the block (a trailing odd byte is ignored).
std::u16string TextOfClipboardBlock(const void* data, std::size_t size);

// The system clipboard. Windows: opened on `window` (an HWND that must outlive the object), which
// also receives the change reports. Elsewhere: a clipboard of this process held in memory, one
// per object, that `window` plays no part in.
std::unique_ptr<Clipboard> CreateSystemClipboard(void* window);

}  // namespace ov
