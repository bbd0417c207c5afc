#include "tools/file_store_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <utility>
#include <vector>

#include "tools/file_names.h"
#include "tools/utf16.h"

namespace ov {
namespace {

// A path as the file system takes it; false for text that has no UTF-8 form.
bool NativePath(const std::u16string& path, std::string& out) {
  try {
    out = Utf16ToUtf8(path);
  } catch (const std::exception&) {
    return false;
  }
  return !out.empty();
}

void CloseQuietly(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Makes a directory entry change durable; a failure leaves the file in place all the same.
void SyncParentDirectory(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string parent =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

class PosixSource final : public SourceFile {
 public:
  PosixSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  ~PosixSource() override { CloseQuietly(fd_); }
  std::uint64_t size() const override { return size_; }
  bool ReadExact(std::uint8_t* out, std::size_t size) override {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t got = ::read(fd_, out + done, size - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
  const std::uint64_t size_;
};

class PosixPartial final : public PartialFile {
 public:
  PosixPartial(std::u16string path, std::string native, int fd, const std::string& attribute)
      : PartialFile(std::move(path)), native_(std::move(native)), fd_(fd), attribute_(attribute) {}
  ~PosixPartial() override {
    CloseQuietly(fd_);
    if (!committed_) ::unlink(native_.c_str());
  }

  // A file system without the user namespace refuses even reading the attribute.
  bool CanMarkOrigin() override {
    if (fd_ < 0) return false;
    if (::fgetxattr(fd_, attribute_.c_str(), nullptr, 0) >= 0) return true;
    return errno != ENOTSUP && errno != EOPNOTSUPP;
  }

  bool Write(const std::uint8_t* data, std::size_t size) override {
    if (fd_ < 0 || flushed_) return false;
    std::size_t done = 0;
    while (done < size) {
      const ssize_t put = ::write(fd_, data + done, size - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      done += static_cast<std::size_t>(put);
    }
    return true;
  }

  bool Flush() override {
    if (fd_ < 0 || flushed_) return false;
    flushed_ = true;
    return ::fsync(fd_) == 0;
  }

  // The attribute is set on the open descriptor, so it lands on this very file; a file system
  // without the namespace refuses it before anything is created.
  OriginMark MarkOrigin(std::string_view originUrl) override {
    if (fd_ < 0 || !flushed_) return OriginMark::WriteFailed;
    if (::fsetxattr(fd_, attribute_.c_str(), originUrl.data(), originUrl.size(), XATTR_CREATE) !=
        0) {
      return (errno == ENOTSUP || errno == EOPNOTSUPP) ? OriginMark::Unsupported
                                                       : OriginMark::WriteFailed;
    }
    if (::fsync(fd_) != 0) return OriginMark::FlushFailed;
    marked_ = true;
    return OriginMark::Written;
  }

  bool Commit(const std::u16string& destination) override {
    std::string target;
    if (!marked_ || !NativePath(destination, target)) return false;
    if (::close(fd_) != 0) {
      fd_ = -1;
      return false;
    }
    fd_ = -1;
    if (::renameat2(AT_FDCWD, native_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
      // File systems without the exclusive rename: a hard link fails just as surely when the
      // name is taken; the temporary name is removed once the file has its final one.
      if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
      if (::link(native_.c_str(), target.c_str()) != 0) return false;
      ::unlink(native_.c_str());
    }
    committed_ = true;
    SyncParentDirectory(target);
    return true;
  }

 private:
  const std::string native_;
  int fd_;
  const std::string attribute_;
  bool flushed_ = false;
  bool marked_ = false;
  bool committed_ = false;
};

class PosixFileStore final : public FileStore {
 public:
  explicit PosixFileStore(std::string attribute) : attribute_(std::move(attribute)) {}

  std::unique_ptr<SourceFile> OpenSource(const std::u16string& path) override {
    std::string native;
    if (!NativePath(path, native)) return nullptr;
    // Non-blocking, so that naming a FIFO cannot hang the open; regular files ignore it.
    const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
      ::close(fd);
      return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return std::make_unique<PosixSource>(fd, static_cast<std::uint64_t>(info.st_size));
  }

  bool Exists(const std::u16string& path) override {
    std::string native;
    if (!NativePath(path, native)) return false;
    struct stat info {};
    return ::lstat(native.c_str(), &info) == 0;
  }

  std::unique_ptr<PartialFile> CreatePartial(const std::u16string& path) override {
    std::string native;
    if (!NativePath(path, native)) return nullptr;
    const int fd =
        ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return nullptr;
    // Held while the file is written: the start-up sweep leaves a file it cannot lock alone.
    ::flock(fd, LOCK_EX | LOCK_NB);
    return std::make_unique<PosixPartial>(path, std::move(native), fd, attribute_);
  }

  char16_t PathSeparator() const override { return u'/'; }

  std::vector<std::u16string> ListFiles(const std::u16string& folder) override {
    std::vector<std::u16string> names;
    std::string native;
    if (!NativePath(folder, native)) return names;
    DIR* dir = ::opendir(native.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
      struct stat info {};
      if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISREG(info.st_mode)) {
        continue;
      }
      try {
        names.push_back(Utf8ToUtf16(entry->d_name));
      } catch (const std::exception&) {
        // A name without a UTF-16 form is none of ours.
      }
    }
    ::closedir(dir);
    return names;
  }

  bool DeleteAbandoned(const std::u16string& path) override {
    std::string native;
    if (!NativePath(path, native)) return false;
    int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat opened {};
    struct stat named {};
    const bool abandoned = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &opened) == 0 &&
                           ::lstat(native.c_str(), &named) == 0 &&
                           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
    const bool deleted = abandoned && ::unlink(native.c_str()) == 0;
    CloseQuietly(fd);
    return deleted;
  }

 private:
  const std::string attribute_;
};

}  // namespace

std::unique_ptr<FileStore> CreatePosixFileStore(std::string originAttribute) {
  return std::make_unique<PosixFileStore>(std::move(originAttribute));
}

std::unique_ptr<FileStore> CreateSystemFileStore() {
  return CreatePosixFileStore(kOriginAttribute);
}

}  // namespace ov
