#include "tools/clipboard.h"

#include <gtest/gtest.h>

namespace ov {
namespace {

// The Linux build's clipboard keeps the contract the session tools rely on: every write is a new
// sequence number (never 0), text past the bound reads as none, and each object is its own.
TEST(MemoryClipboard, KeepsTheClipboardContract) {
  const auto first = CreateSystemClipboard(nullptr);
  const auto second = CreateSystemClipboard(nullptr);
  EXPECT_EQ(first->ReadText(), u"");
  std::uint32_t sequence = first->SequenceNumber();
  EXPECT_NE(sequence, 0u);
  for (const auto& [written, read] : std::vector<std::pair<std::u16string, std::u16string>>{
           {u"h\u00e9llo", u"h\u00e9llo"},
           {std::u16string(u"ab\0cd", 5), u"ab"},
           {std::u16string(kClipboardTextLimit, u'x'), std::u16string(kClipboardTextLimit, u'x')},
           {std::u16string(kClipboardTextLimit + 1, u'x'), u""},
           {u"", u""}}) {
    ASSERT_TRUE(first->WriteText(written));
    EXPECT_NE(first->SequenceNumber(), sequence);
    sequence = first->SequenceNumber();
    EXPECT_EQ(first->ReadText(), read);
  }
  EXPECT_TRUE(first->StartListening());
  EXPECT_EQ(second->ReadText(), u"");
}

}  // namespace
}  // namespace ov
