// The program's start-up and shutdown, run as its own process: the main window appears with its
// class, title and style, and WM_CLOSE ends the process with exit code 0; preview mode writes
// nothing and exits at once with 0.
#include <windows.h>

#include <string>

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

TEST(EntryTest, PreviewModeWritesNothingAndExitsWithZero) {
  wchar_t folder[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
  const std::wstring output = std::wstring(folder) + L"kestrova-preview-test.png";
  DeleteFileW(output.c_str());
  Process program;
  ASSERT_TRUE(program.Start(L"--preview \"" + output + L"\" --preview-width 5000"));
  EXPECT_EQ(program.WaitExit(20000), 0u);
  EXPECT_EQ(GetFileAttributesW(output.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
