// A clipboard for tests: its text and change counter in the open, and knobs for the failures of
// the real one (held by another program, a refused write).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tools/clipboard.h"

namespace ov {

struct FakeClipboard final : Clipboard {
  std::u16string text;
  std::uint32_t sequence = 1;
  bool busy = false;        // every open fails
  bool writeFails = false;  // opens for reading, refuses writes
  bool listening = false;

  // Another program puts `copied` on the clipboard.
  void CopyElsewhere(std::u16string copied) {
    text = std::move(copied);
    ++sequence;
  }

  std::optional<std::u16string> ReadText() override {
    if (busy) return std::nullopt;
    return text;
  }
  bool WriteText(std::u16string_view written) override {
    if (busy || writeFails) return false;
    text.assign(written);
    ++sequence;
    return true;
  }
  std::uint32_t SequenceNumber() override { return sequence; }
  bool StartListening() override { return listening = true; }
  void StopListening() override { listening = false; }
};

}  // namespace ov
