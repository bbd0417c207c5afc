#include "tools/clipboard.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace ov {
namespace {

int g_updates = 0;

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_CLIPBOARDUPDATE) ++g_updates;
  return DefWindowProcW(window, message, wparam, lparam);
}

// A message-only window of this thread, destroyed with the object.
class TestWindow {
 public:
  TestWindow() {
    static const ATOM atom = [] {
      WNDCLASSW wc{};
      wc.lpfnWndProc = CountingProc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpszClassName = L"KestrovaClipboardTest";
      return RegisterClassW(&wc);
    }();
    EXPECT_NE(atom, 0);
    hwnd_ = CreateWindowExW(0, L"KestrovaClipboardTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                            nullptr, GetModuleHandleW(nullptr), nullptr);
    EXPECT_NE(hwnd_, nullptr);
  }
  ~TestWindow() { DestroyWindow(hwnd_); }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;
  HWND get() const { return hwnd_; }

 private:
  HWND hwnd_ = nullptr;
};

// Another program's way of filling the clipboard: a CF_UNICODETEXT block of exactly `bytes`.
void SetRawBlock(HWND owner, const std::vector<unsigned char>& bytes) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  ASSERT_NE(block, nullptr);
  std::memcpy(GlobalLock(block), bytes.data(), bytes.size());
  GlobalUnlock(block);
  ASSERT_TRUE(OpenClipboard(owner));
  EmptyClipboard();
  ASSERT_NE(SetClipboardData(CF_UNICODETEXT, block), nullptr);
  CloseClipboard();
}

std::vector<unsigned char> Units(const std::u16string& text, std::size_t extraBytes = 0) {
  std::vector<unsigned char> bytes(text.size() * 2 + extraBytes, 0);
  std::memcpy(bytes.data(), text.data(), text.size() * 2);
  return bytes;
}

// Dispatches this thread's messages for up to `ms` or until `done`.
template <typename Done>
void Pump(DWORD ms, Done done) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (!done() && GetTickCount64() < end) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
}

TEST(WindowsClipboard, WritesReadsAndCountsChanges) {
  TestWindow window;
  const auto clipboard = CreateSystemClipboard(window.get());
  const std::u16string text = u"h\u00e9llo \u20ac \U0001F600 line\r\nend";
  const std::uint32_t before = clipboard->SequenceNumber();
  ASSERT_TRUE(clipboard->WriteText(text));
  const std::uint32_t after = clipboard->SequenceNumber();
  EXPECT_NE(after, before);
  EXPECT_NE(after, 0u);
  EXPECT_EQ(clipboard->ReadText(), text);
  EXPECT_EQ(clipboard->SequenceNumber(), after);  // reading changes nothing
  ASSERT_TRUE(clipboard->WriteText(u""));
  EXPECT_EQ(clipboard->ReadText(), u"");
  ASSERT_TRUE(clipboard->WriteText(std::u16string(kClipboardTextLimit, u'z')));
  EXPECT_EQ(clipboard->ReadText(), std::u16string(kClipboardTextLimit, u'z'));
}

TEST(WindowsClipboard, BlockRules) {
  TestWindow window;
  const auto clipboard = CreateSystemClipboard(window.get());
  const std::u16string full(kClipboardTextLimit, u'x');
  struct Case {
    const char* name;
    std::vector<unsigned char> block;
    std::u16string text;
  };
  // Blocks without a NUL are left to the block test: Wine terminates every text block it hands
  // out, whatever was put there.
  const std::vector<Case> cases = {
      {"16387 bytes", Units(full + u'\0', 1), full},
      {"16388 bytes", Units(full + u"y" + u'\0'), u""},
      {"an empty text", Units(std::u16string(1, u'\0')), u""},
      {"1 byte", std::vector<unsigned char>{0}, u""},
      {"text before the first NUL", Units(std::u16string(u"ab\0cd\0", 6)), u"ab"},
      {"odd size, NUL in the last whole unit", Units(std::u16string(u"ab\0", 3), 1), u"ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetRawBlock(window.get(), c.block);
    EXPECT_EQ(clipboard->ReadText(), c.text);
  }
  // A clipboard without text reads as an empty text, not as a failure.
  ASSERT_TRUE(OpenClipboard(window.get()));
  EmptyClipboard();
  CloseClipboard();
  EXPECT_EQ(clipboard->ReadText(), u"");
}

TEST(WindowsClipboard, HeldByAnotherWindow) {
  TestWindow ours;
  TestWindow theirs;
  const auto clipboard = CreateSystemClipboard(ours.get());
  ASSERT_TRUE(clipboard->WriteText(u"kept"));
  ASSERT_TRUE(OpenClipboard(theirs.get()));
  EXPECT_EQ(clipboard->ReadText(), std::nullopt);
  EXPECT_FALSE(clipboard->WriteText(u"lost"));
  CloseClipboard();
  // Neither call left the clipboard open or changed it.
  EXPECT_EQ(clipboard->ReadText(), u"kept");
  ASSERT_TRUE(OpenClipboard(theirs.get()));
  CloseClipboard();
}

TEST(WindowsClipboard, ListenerReportsChangesUntilStopped) {
  TestWindow ours;
  TestWindow theirs;
  const auto clipboard = CreateSystemClipboard(ours.get());
  ASSERT_TRUE(clipboard->StartListening());
  EXPECT_TRUE(clipboard->StartListening());  // once is enough
  Pump(200, [] { return false; });
  g_updates = 0;
  SetRawBlock(theirs.get(), Units(std::u16string(u"x\0", 2)));
  Pump(5000, [] { return g_updates > 0; });
  EXPECT_GT(g_updates, 0);

  clipboard->StopListening();
  Pump(200, [] { return false; });
  g_updates = 0;
  SetRawBlock(theirs.get(), Units(std::u16string(u"y\0", 2)));
  Pump(500, [] { return g_updates > 0; });
  EXPECT_EQ(g_updates, 0);
}

}  // namespace
}  // namespace ov
