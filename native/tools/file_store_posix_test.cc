#include "tools/file_store_posix.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crypto/primitives.h"
#include "tools/file_texts.h"
#include "tools/file_transfer.h"
#include "tools/testing/transfer_harness.h"

namespace ov {
namespace {

namespace fs = std::filesystem;

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::vector<std::uint8_t> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string OriginOf(const fs::path& path) {
  char value[256];
  const ssize_t size = ::getxattr(path.c_str(), kOriginAttribute, value, sizeof value);
  return size < 0 ? "(none)" : std::string(value, static_cast<std::size_t>(size));
}

// A fresh folder per test, on the file system of TMPDIR (ext4 or tmpfs here).
class PosixFileStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ov-file-store-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::u16string Path(const std::string& name) const { return U16((dir_ / name).string()); }

  fs::path dir_;
  std::unique_ptr<FileStore> store_ = CreateSystemFileStore();
};

TEST_F(PosixFileStoreTest, SavesWithTheOriginAndNeverReplaces) {
  std::vector<std::uint8_t> data(100000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 253);
  const std::string sha = Sha256Of(data);
  if (::setxattr(dir_.c_str(), "user.probe", "1", 1, 0) != 0 && errno == ENOTSUP) {
    GTEST_SKIP() << "TMPDIR's file system keeps no user extended attributes";
  }
  EXPECT_EQ(SaveVerifiedFile(*store_, U16(dir_.string()), u"a.bin", data, sha), Path("a.bin"));
  EXPECT_EQ(ReadAll(dir_ / "a.bin"), data);
  EXPECT_EQ(OriginOf(dir_ / "a.bin"), kDefaultFileOrigin);
  EXPECT_EQ(Entries(), std::vector<std::string>{"a.bin"});

  // An existing name is refused before anything is written, and is left as it was.
  const std::vector<std::uint8_t> other = {9, 9, 9};
  EXPECT_THROW(
      try {
        SaveVerifiedFile(*store_, U16(dir_.string()), u"a.bin", other, Sha256Of(other));
      } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), kErrorDestinationExists);
        throw;
      },
      std::runtime_error);
  EXPECT_EQ(ReadAll(dir_ / "a.bin"), data);

  // A name taken between the check and the move (another program): the move refuses it too.
  auto receiver = FileReceiver::Open(*store_, Path("b.bin"), other.size());
  receiver->Write(0, other);
  std::ofstream(dir_ / "b.bin") << "theirs";
  try {
    receiver->Finalize(Sha256Of(other), kDefaultFileOrigin);
    ADD_FAILURE() << "finalize replaced a file";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), kErrorFinalize);
  }
  receiver.reset();
  EXPECT_EQ(ReadAll(dir_ / "b.bin"), (std::vector<std::uint8_t>{'t', 'h', 'e', 'i', 'r', 's'}));
  EXPECT_EQ(Entries(), (std::vector<std::string>{"a.bin", "b.bin"}));
}

TEST_F(PosixFileStoreTest, FailuresLeaveNothingBehind) {
  const std::vector<std::uint8_t> data = {1, 2, 3, 4};
  const struct {
    const char* label;
    std::unique_ptr<FileStore> store;
    std::string sha;
    std::string error;
  } cases[] = {
      // Linux refuses an attribute outside the namespaces it knows exactly as a file system
      // without user attributes refuses "user.": with ENOTSUP, before anything is stored.
      {"no such attribute namespace", CreatePosixFileStore("nonamespace.origin"), "",
       kErrorZoneUnsupported},
      {"digest mismatch", CreateSystemFileStore(), std::string(64, '0'), kErrorDigestMismatch},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string sha = c.sha.empty() ? Sha256Of(data) : c.sha;
    try {
      SaveVerifiedFile(*c.store, U16(dir_.string()), u"c.bin", data, sha);
      ADD_FAILURE() << "saved";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), c.error);
    }
    EXPECT_TRUE(Entries().empty());
  }
  // A file system that cannot hold the mark is refused when the receiver opens, before any
  // data is taken, and leaves nothing.
  const auto unmarkable = CreatePosixFileStore("nonamespace.origin");
  try {
    FileReceiver::Open(*unmarkable, Path("e.bin"), data.size());
    ADD_FAILURE() << "opened";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), kErrorZoneUnsupported);
  }
  EXPECT_TRUE(Entries().empty());
  // Abandoned mid-way (the session ended): the temporary file goes with the receiver.
  auto receiver = FileReceiver::Open(*store_, Path("d.bin"), 10);
  receiver->Write(0, data);
  EXPECT_EQ(Entries().size(), 1u);
  EXPECT_EQ(Entries()[0].rfind("d.bin.orvantis-", 0), 0u);
  receiver.reset();
  EXPECT_TRUE(Entries().empty());
}

// The start-up sweep on real files: a temporary file nobody holds goes; the one a receiver is
// writing (locked) stays, and so do other files.
TEST_F(PosixFileStoreTest, TheSweepLeavesAFileBeingReceived) {
  std::ofstream(dir_ / "old.bin.orvantis-0123456789abcdef.part") << "left by a crash";
  std::ofstream(dir_ / "mine.txt") << "the user's";
  auto receiver = FileReceiver::Open(*store_, Path("new.bin"), 4);
  EXPECT_EQ(SweepAbandonedTemporaryFiles(*store_, U16(dir_.string())), 1u);
  ASSERT_EQ(Entries().size(), 2u);
  EXPECT_EQ(Entries()[0], "mine.txt");
  EXPECT_EQ(Entries()[1].rfind("new.bin.orvantis-", 0), 0u);
  receiver.reset();
  EXPECT_EQ(Entries(), std::vector<std::string>{"mine.txt"});
}

TEST_F(PosixFileStoreTest, SourcesMustBeReadableRegularFiles) {
  std::ofstream(dir_ / "s.bin") << "hello";
  ::mkfifo((dir_ / "fifo").c_str(), 0600);
  auto source = store_->OpenSource(Path("s.bin"));
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(source->size(), 5u);
  std::uint8_t buffer[8];
  EXPECT_TRUE(source->ReadExact(buffer, 5));
  EXPECT_FALSE(source->ReadExact(buffer, 1));  // past the end
  EXPECT_EQ(store_->OpenSource(Path("missing")), nullptr);
  EXPECT_EQ(store_->OpenSource(U16(dir_.string())), nullptr);  // a folder
  EXPECT_EQ(store_->OpenSource(Path("fifo")), nullptr);        // opened without blocking
  EXPECT_TRUE(store_->Exists(Path("fifo")));
  EXPECT_FALSE(store_->Exists(Path("missing")));
  EXPECT_EQ(store_->CreatePartial(Path("s.bin")), nullptr);  // exclusive creation

  // An 8 GiB sparse file is opened with its full size and refused one byte larger, unread.
  const fs::path sparse = dir_ / "sparse.bin";
  std::ofstream(sparse).close();
  fs::resize_file(sparse, kMaxFileSize);
  EXPECT_EQ(FileSender::Open(*store_, U16(sparse.string()))->size(), kMaxFileSize);
  fs::resize_file(sparse, kMaxFileSize + 1);
  try {
    FileSender::Open(*store_, U16(sparse.string()));
    ADD_FAILURE() << "opened";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), kErrorFileLimit);
  }
}

// Two ends exchanging a file on real files: the received copy is identical and carries its origin;
// a receiver that goes away mid-way (the session ended) leaves only the source behind.
TEST_F(PosixFileStoreTest, TransfersBetweenTwoEndsOnRealFiles) {
  std::vector<std::uint8_t> data(1048579);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + 7);
  std::ofstream(dir_ / "src.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  for (const bool endMidway : {false, true}) {
    SCOPED_TRACE(endMidway);
    TransferEnd a(*store_);
    TransferEnd b(*store_);
    a.tools->OfferFile(Path("src.bin"));
    Exchange(a, b);
    ASSERT_TRUE(b.tools->pendingOffer().has_value());
    b.tools->AcceptOffer(b.tools->pendingOffer()->id, Path("dst.bin"));
    if (endMidway) {
      ASSERT_TRUE(DeliverOne(b, a, "B", nullptr));  // the acceptance
      for (int i = 0; i < 5; ++i) DeliverOne(a, b, "A", nullptr);
      EXPECT_EQ(Entries().size(), 2u);  // the source and the temporary file
      b.tools.reset();
      EXPECT_EQ(Entries(), std::vector<std::string>{"src.bin"});
      continue;
    }
    Exchange(a, b);
    EXPECT_EQ(a.tools->status(), kFileStatusCompleted);
    EXPECT_EQ(b.tools->status(), kFileStatusCompleted);
    EXPECT_EQ(ReadAll(dir_ / "dst.bin"), data);
    EXPECT_EQ(OriginOf(dir_ / "dst.bin"), kDefaultFileOrigin);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"dst.bin", "src.bin"}));
    fs::remove(dir_ / "dst.bin");
  }
}

}  // namespace
}  // namespace ov
