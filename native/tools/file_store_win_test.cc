#include "tools/file_store_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crypto/primitives.h"
#include "tools/file_texts.h"
#include "tools/file_transfer.h"
#include "tools/testing/transfer_harness.h"

namespace ov {
namespace {

std::u16string U16(const std::wstring& wide) { return std::u16string(wide.begin(), wide.end()); }

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string ReadAll(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "(cannot open)";
  std::string text;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

// A fresh folder per test inside the prefix's temporary folder.
class WinFileStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t base[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, base), 0u);
    dir_ = std::wstring(base) + L"ov-file-store-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount64());
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
  }
  void TearDown() override {
    for (const std::wstring& name : Entries()) DeleteFileW((dir_ + L"\\" + name).c_str());
    RemoveDirectoryW(dir_.c_str());
  }
  std::vector<std::wstring> Entries() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir_ + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      const std::wstring name = data.cFileName;
      if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
  }
  std::wstring Path(const std::wstring& name) const { return dir_ + L"\\" + name; }

  std::wstring dir_;
  std::unique_ptr<FileStore> store_ = CreateSystemFileStore();
};

// The whole safe write path. Where the volume keeps streams (NTFS) the file lands with its zone
// mark; where it does not (Wine keeps none) the save fails with the metadata text and the folder
// is left exactly as it was, with no temporary file and no stray "name:Zone.Identifier" file.
TEST_F(WinFileStoreTest, SavesWithTheZoneMarkOrLeavesNothing) {
  std::vector<std::uint8_t> data(70000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13);
  std::string error;
  std::u16string saved;
  try {
    saved = SaveVerifiedFile(*store_, U16(dir_), u"update.exe", data, Sha256Of(data));
  } catch (const std::runtime_error& failure) {
    error = failure.what();
  }
  if (UnderWine()) {
    EXPECT_EQ(error, kErrorZoneUnsupported);
    EXPECT_TRUE(Entries().empty()) << Entries().size() << " entries left behind";
    // Without asking the volume, the stream is created as a file of its own: it is recognised as
    // not belonging to the temporary file and removed with it.
    const auto unasked = CreateWinFileStore(false);
    try {
      SaveVerifiedFile(*unasked, U16(dir_), u"update.exe", data, Sha256Of(data));
      ADD_FAILURE() << "saved without a zone stream";
    } catch (const std::runtime_error& failure) {
      EXPECT_STREQ(failure.what(), kErrorZoneUnsupported);
    }
    EXPECT_TRUE(Entries().empty()) << Entries().size() << " entries left behind";
    return;
  }
  ASSERT_EQ(error, "");
  EXPECT_EQ(saved, U16(Path(L"update.exe")));
  EXPECT_EQ(Entries(), std::vector<std::wstring>{L"update.exe"});
  EXPECT_EQ(ReadAll(Path(L"update.exe:Zone.Identifier")),
            std::string("[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=") + kDefaultFileOrigin + "\r\n");
  // A second save under the same name is refused and changes nothing.
  try {
    SaveVerifiedFile(*store_, U16(dir_), u"update.exe", {}, Sha256Of({}));
    ADD_FAILURE() << "replaced";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ(failure.what(), kErrorDestinationExists);
  }
  EXPECT_EQ(ReadAll(Path(L"update.exe")), std::string(data.begin(), data.end()));
}

// The start-up sweep on real files: a temporary file nobody holds goes; the one a receiver is
// writing (open without sharing) stays, and so do other files.
TEST_F(WinFileStoreTest, TheSweepLeavesAFileBeingReceived) {
  for (const wchar_t* name : {L"old.bin.orvantis-0123456789abcdef.part", L"mine.txt"}) {
    const HANDLE file = CreateFileW(Path(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
  }
  auto partial = store_->CreatePartial(U16(Path(L"new.bin.orvantis-fedcba9876543210.part")));
  ASSERT_NE(partial, nullptr);
  EXPECT_EQ(SweepAbandonedTemporaryFiles(*store_, U16(dir_)), 1u);
  EXPECT_EQ(Entries(), (std::vector<std::wstring>{L"mine.txt",
                                                  L"new.bin.orvantis-fedcba9876543210.part"}));
  partial.reset();
  EXPECT_EQ(Entries(), std::vector<std::wstring>{L"mine.txt"});
}

TEST_F(WinFileStoreTest, SourcesAndExclusiveTemporaryFiles) {
  {
    auto partial = store_->CreatePartial(U16(Path(L"s.bin")));
    ASSERT_NE(partial, nullptr);
    EXPECT_EQ(store_->CreatePartial(U16(Path(L"s.bin"))), nullptr);  // CREATE_NEW
    const std::uint8_t bytes[] = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_TRUE(partial->Write(bytes, sizeof bytes));
    EXPECT_TRUE(store_->Exists(U16(Path(L"s.bin"))));
  }
  EXPECT_TRUE(Entries().empty());  // never committed: deleted with the object

  HANDLE file = CreateFileW(Path(L"r.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, "abcdef", 6, &written, nullptr);
  CloseHandle(file);
  auto source = store_->OpenSource(U16(Path(L"r.bin")));
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->size(), 6u);
  std::uint8_t buffer[8];
  EXPECT_TRUE(source->ReadExact(buffer, 6));
  EXPECT_FALSE(source->ReadExact(buffer, 1));
  // Shared for reading only: nobody may write to the file while it is being sent.
  EXPECT_EQ(CreateFileW(Path(L"r.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  source.reset();
  EXPECT_EQ(store_->OpenSource(U16(dir_)), nullptr);  // a folder
  EXPECT_EQ(store_->OpenSource(u"NUL"), nullptr);     // a device
  EXPECT_EQ(store_->OpenSource(U16(Path(L"missing.bin"))), nullptr);
  EXPECT_FALSE(store_->Exists(U16(Path(L"missing.bin"))));
  EXPECT_EQ(store_->PathSeparator(), u'\\');
}

// A file received between two ends on real files. Under Wine the volume has no zone streams:
// "Save as" is refused before anything is received, the offer stays for another choice, and
// only the source remains.
TEST_F(WinFileStoreTest, ReceivesBetweenTwoEndsOnRealFiles) {
  std::vector<std::uint8_t> data(200000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + 7);
  HANDLE file = CreateFileW(Path(L"src.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  CloseHandle(file);

  TransferEnd a(*store_);
  TransferEnd b(*store_);
  a.tools->OfferFile(U16(Path(L"src.bin")));
  Exchange(a, b);
  ASSERT_TRUE(b.tools->pendingOffer().has_value());
  EXPECT_EQ(b.tools->pendingOffer()->name, u"src.bin");
  if (UnderWine()) {
    try {
      b.tools->AcceptOffer(b.tools->pendingOffer()->id, U16(Path(L"dst.bin")));
      ADD_FAILURE() << "accepted onto a volume without zone streams";
    } catch (const std::runtime_error& failure) {
      EXPECT_STREQ(failure.what(), kErrorZoneUnsupported);
    }
    EXPECT_TRUE(b.owner.TakeControl().empty()) << "nothing was accepted";
    EXPECT_TRUE(b.tools->pendingOffer().has_value());
    EXPECT_EQ(b.tools->receiver(), nullptr);
    EXPECT_EQ(Entries(), std::vector<std::wstring>{L"src.bin"});
    return;
  }
  b.tools->AcceptOffer(b.tools->pendingOffer()->id, U16(Path(L"dst.bin")));
  Exchange(a, b);
  EXPECT_EQ(b.tools->status(), kFileStatusCompleted);
  EXPECT_EQ(a.tools->status(), kFileStatusCompleted);
  EXPECT_EQ(ReadAll(Path(L"dst.bin")), std::string(data.begin(), data.end()));
  EXPECT_EQ(Entries(), (std::vector<std::wstring>{L"dst.bin", L"src.bin"}));
}

}  // namespace
}  // namespace ov
