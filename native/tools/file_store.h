// The file system as file transfer and the updater reach it: reading a chosen file, and the safe
// write path for a received one (a temporary file created beside its destination, written,
// flushed, marked as coming from the Internet, then moved into place without ever replacing
// anything). One implementation per platform (file_store_win.cc, file_store_posix.cc) and a fake
// (testing/fake_file_store.h).
//
// Paths are UTF-16. Nothing here throws; every failure is a result the caller turns into its
// fixed text. Objects are used on one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ov {

// A file opened for reading: shared for reading only, read once from the start.
class SourceFile {
 public:
  SourceFile() = default;
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;
  virtual ~SourceFile() = default;

  // The size when the file was opened.
  virtual std::uint64_t size() const = 0;
  // Reads the next `size` bytes into `out`; false when fewer could be read or reading failed.
  virtual bool ReadExact(std::uint8_t* out, std::size_t size) = 0;
};

// How marking a written file as coming from the Internet went.
enum class OriginMark {
  Written,
  Unsupported,  // the destination's file system cannot hold the mark; nothing was left behind
  WriteFailed,
  FlushFailed,
};

// A temporary file being written, created exclusively and not shared. Destroying it closes it and,
// unless Commit succeeded, deletes it together with anything the origin mark made, so an
// abandoned or failed write leaves nothing on disk.
class PartialFile {
 public:
  PartialFile() = default;
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;
  virtual ~PartialFile() = default;

  const std::u16string& path() const noexcept { return path_; }

  // Before anything is written: false when MarkOrigin surely cannot succeed here (the file
  // system cannot hold the mark), so that a download is refused before it is received.
  virtual bool CanMarkOrigin() = 0;
  // Appends all `size` bytes; false when not everything was written.
  virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;
  // Makes the data durable and ends writing. Write must not be called after it.
  virtual bool Flush() = 0;
  // After Flush: records that the file came from `originUrl` (an "https://host/" origin).
  virtual OriginMark MarkOrigin(std::string_view originUrl) = 0;
  // After MarkOrigin: moves the file to `destination`, failing when anything exists there.
  virtual bool Commit(const std::u16string& destination) = 0;

 protected:
  explicit PartialFile(std::u16string path) : path_(std::move(path)) {}

 private:
  std::u16string path_;
};

class FileStore {
 public:
  FileStore() = default;
  FileStore(const FileStore&) = delete;
  FileStore& operator=(const FileStore&) = delete;
  virtual ~FileStore() = default;

  // Opens an existing disk file for reading; null when it cannot be opened, is not a disk file
  // (a device, pipe or directory) or its size cannot be read.
  virtual std::unique_ptr<SourceFile> OpenSource(const std::u16string& path) = 0;
  // True when something (file, folder, link) is known to exist at `path`.
  virtual bool Exists(const std::u16string& path) = 0;
  // Creates `path` as a new, empty file for writing; null when it exists or cannot be created.
  virtual std::unique_ptr<PartialFile> CreatePartial(const std::u16string& path) = 0;
  // The separator placed between a folder and a name ('\\' on Windows, '/' elsewhere).
  virtual char16_t PathSeparator() const = 0;
  // The names of the files directly in `folder` (no folders, no links); empty when it cannot be
  // read.
  virtual std::vector<std::u16string> ListFiles(const std::u16string& folder) = 0;
  // Deletes the temporary file at `path` unless a PartialFile (of any process) still has it
  // open; true when it was deleted.
  virtual bool DeleteAbandoned(const std::u16string& path) = 0;
};

// This system's file store: Win32 files with the ":Zone.Identifier" stream on Windows, POSIX files
// with the "user.xdg.origin.url" extended attribute elsewhere.
std::unique_ptr<FileStore> CreateSystemFileStore();

}  // namespace ov
