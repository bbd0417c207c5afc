// The Linux build's clipboard: text held in memory by the object, with the same reading rules as
// the system clipboard of Windows (a text longer than the block bound reads as no text).
#include "tools/clipboard.h"

namespace ov {
namespace {

class MemoryClipboard final : public Clipboard {
 public:
  std::optional<std::u16string> ReadText() override {
    if (text_.size() > kClipboardTextLimit) return std::u16string();
    return text_;
  }

  bool WriteText(std::u16string_view text) override {
    text_.assign(text.substr(0, text.find(u'\0')));
    if (++sequence_ == 0) sequence_ = 1;
    return true;
  }

  std::uint32_t SequenceNumber() override { return sequence_; }
  bool StartListening() override { return true; }
  void StopListening() override {}

 private:
  std::u16string text_;
  std::uint32_t sequence_ = 1;
};

}  // namespace

std::unique_ptr<Clipboard> CreateSystemClipboard(void* /*window*/) {
  return std::make_unique<MemoryClipboard>();
}

}  // namespace ov
