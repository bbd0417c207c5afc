// The program's start-up and shutdown, run as its own process: the main window appears with its
// class, title and style, and WM_CLOSE ends the process with exit code 0; preview mode renders
// the window (or the banner) into a PNG of the size asked for and exits with 0.
#include <windows.h>

#include <cstring>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace {

std::wstring ProgramPath() {
  std::string path = OV_KESTROVA_EXE;
  std::wstring wide;
  if (!path.empty() && path[0] == '/') wide = L"Z:";  // Wine maps the Unix root to Z:
  for (char ch : path) wide.push_back(ch == '/' ? L'\\' : static_cast<wchar_t>(ch));
  return wide;
}

struct Process {
  PROCESS_INFORMATION info{};
  bool Start(const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + ProgramPath() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    return CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &info) != 0;
  }
  DWORD WaitExit(DWORD ms) {
    if (WaitForSingleObject(info.hProcess, ms) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    return code;
  }
  ~Process() {
    if (info.hProcess) {
      if (WaitForSingleObject(info.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(info.hProcess, 99);
      CloseHandle(info.hProcess);
      CloseHandle(info.hThread);
    }
  }
};

HWND FindMainWindow(DWORD processId, DWORD waitMs) {
  for (DWORD waited = 0; waited < waitMs; waited += 50) {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, L"OrvantisNative", nullptr)) != nullptr) {
      DWORD owner = 0;
      GetWindowThreadProcessId(window, &owner);
      if (owner == processId) return window;
    }
    Sleep(50);
  }
  return nullptr;
}

TEST(EntryTest, MainWindowAppearsAndCloseEndsTheProcess) {
  Process program;
  ASSERT_TRUE(program.Start(L"")) << GetLastError();
  HWND window = FindMainWindow(program.info.dwProcessId, 20000);
  ASSERT_NE(window, nullptr);
  wchar_t title[64] = {};
  GetWindowTextW(window, title, 64);
  EXPECT_STREQ(title, L"Kestrova");
  const auto style = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE));
  EXPECT_EQ(style & 0x820F0000u, 0x820F0000u);
  EXPECT_EQ(style & WS_CAPTION, 0u) << "a popup window draws its own frame";
  // The controller is running: the status line is painted and the timer ticks; closing resets
  // the session and ends the message loop.
  Sleep(1500);
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(program.WaitExit(20000), 0u);
}

// The width and height of a PNG file from its header, or {0, 0} when it is not one.
std::pair<unsigned, unsigned> PngSize(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return {0, 0};
  unsigned char header[24] = {};
  DWORD read = 0;
  const BOOL ok = ReadFile(file, header, sizeof header, &read, nullptr);
  CloseHandle(file);
  static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (!ok || read != sizeof header || memcmp(header, kSignature, 8) != 0 ||
      memcmp(header + 12, "IHDR", 4) != 0) {
    return {0, 0};
  }
  auto big = [&](int at) {
    return (unsigned{header[at]} << 24) | (unsigned{header[at + 1]} << 16) |
           (unsigned{header[at + 2]} << 8) | unsigned{header[at + 3]};
  };
  return {big(16), big(20)};
}

TEST(EntryTest, PreviewRendersAPngOfTheClampedSize) {
  struct Case {
    const wchar_t* arguments;
    unsigned width;
    unsigned height;
  };
  const Case cases[] = {
      {L"--preview-width 5000 --preview-height 5000", 3840, 2160},
      {L"--preview-width 10 --preview-height 10", 800, 600},
      {L"--preview-width 5000", 1100, 720},  // a width without a height leaves the size
      {L"--preview-page 5", 304, 48},        // the sharing banner alone
      {L"--preview-page -3 --preview-reveal --preview-approval", 1100, 720},
  };
  wchar_t folder[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
  const std::wstring output = std::wstring(folder) + L"kestrova-preview-test.png";
  for (const Case& c : cases) {
    DeleteFileW(output.c_str());
    Process program;
    ASSERT_TRUE(program.Start(L"--preview \"" + output + L"\" " + c.arguments));
    EXPECT_EQ(program.WaitExit(20000), 0u) << c.arguments;
    EXPECT_EQ(PngSize(output), std::make_pair(c.width, c.height)) << c.arguments;
  }
  DeleteFileW(output.c_str());
}

// A preview that cannot be written says so in its exit code instead of claiming success.
TEST(EntryTest, APreviewThatCannotBeWrittenFails) {
  Process program;
  ASSERT_TRUE(program.Start(L"--preview \"Z:\\no\\such\\folder\\preview.png\""));
  EXPECT_EQ(program.WaitExit(20000), 3u);
}

}  // namespace
