#include "tools/file_store_win.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace ov {
namespace {

constexpr wchar_t kZoneStreamSuffix[] = L":Zone.Identifier";

std::wstring Wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

// Owns one handle; not copyable.
class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) noexcept : handle_(handle) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  HANDLE get() const noexcept { return handle_; }
  // Gives the handle up without closing it.
  HANDLE Release() noexcept { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
  bool valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  // True when the handle closed cleanly (or there was none).
  bool Close() noexcept {
    if (!valid()) return true;
    const BOOL closed = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return closed != FALSE;
  }

 private:
  HANDLE handle_;
};

struct FileIdentity {
  DWORD volume = 0;
  DWORD indexHigh = 0;
  DWORD indexLow = 0;
  bool operator==(const FileIdentity&) const = default;
};

bool Identify(HANDLE handle, FileIdentity& out) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info)) return false;
  out = FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}

bool WriteAll(HANDLE handle, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const DWORD piece = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handle, data, piece, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

// Whether the volume holding `path` says that it keeps named streams. Unknown counts as no.
bool VolumeSaysNamedStreams(const std::wstring& path) {
  std::vector<wchar_t> root(path.size() + 2);
  if (!GetVolumePathNameW(path.c_str(), root.data(), static_cast<DWORD>(root.size()))) {
    return false;
  }
  DWORD flags = 0;
  if (!GetVolumeInformationW(root.data(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    return false;
  }
  return (flags & FILE_NAMED_STREAMS) != 0;
}

// Whether the folder of `path` keeps named streams: the volume says so, or a probe shows it. The
// probe is a file `path` + ".probe" that goes when its handle closes (also when the process
// dies); its zone stream must be that file, not a file of its own beside it (a file system
// without streams may take the colon into the name). Some systems keep streams without
// saying so in the volume's flags (Wine on an NTFS volume). Nothing is left behind either way.
bool FolderKeepsNamedStreams(const std::wstring& path) {
  if (VolumeSaysNamedStreams(path)) return true;
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const std::wstring probe = path + L".probe";
  const Handle file(CreateFileW(probe.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  FileIdentity fileIdentity;
  if (!file.valid() || !Identify(file.get(), fileIdentity)) return false;
  const std::wstring stream = probe + kZoneStreamSuffix;
  Handle mark(CreateFileW(stream.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!mark.valid()) return false;
  FileIdentity markIdentity;
  const bool same = Identify(mark.get(), markIdentity) && markIdentity == fileIdentity;
  mark.Close();
  DeleteFileW(stream.c_str());
  return same;
}

class WinSource final : public SourceFile {
 public:
  WinSource(HANDLE handle, std::uint64_t size) : handle_(handle), size_(size) {}
  std::uint64_t size() const override { return size_; }
  bool ReadExact(std::uint8_t* out, std::size_t size) override {
    while (size > 0) {
      const DWORD piece = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
      DWORD got = 0;
      if (!ReadFile(handle_.get(), out, piece, &got, nullptr) || got == 0) return false;
      out += got;
      size -= got;
    }
    return true;
  }

 private:
  Handle handle_;
  const std::uint64_t size_;
};

class WinPartial final : public PartialFile {
 public:
  WinPartial(std::u16string path, HANDLE handle, bool askVolume)
      : PartialFile(std::move(path)),
        wide_(Wide(this->path())),
        handle_(handle),
        askVolume_(askVolume) {}
  ~WinPartial() override {
    handle_.Close();
    // Deleting the file takes its streams with it.
    if (!committed_) DeleteFileW(wide_.c_str());
  }

  bool CanMarkOrigin() override { return !askVolume_ || FolderKeepsNamedStreams(wide_); }

  bool Write(const std::uint8_t* data, std::size_t size) override {
    return handle_.valid() && WriteAll(handle_.get(), data, size);
  }

  bool Flush() override {
    if (!handle_.valid()) return false;
    const bool flushed = FlushFileBuffers(handle_.get()) != FALSE;
    const bool identified = Identify(handle_.get(), identity_);
    const bool closed = handle_.Close();
    flushed_ = flushed && identified && closed;
    return flushed_;
  }

  // Creates the zone stream. Where a file system has no streams the same name can create an
  // ordinary file beside this one instead (Wine does): the folder is asked first, and a created
  // object that is not this file is removed again and reported as unsupported.
  OriginMark MarkOrigin(std::string_view originUrl) override {
    if (!flushed_) return OriginMark::WriteFailed;
    if (askVolume_ && !FolderKeepsNamedStreams(wide_)) return OriginMark::Unsupported;
    const std::wstring stream = wide_ + kZoneStreamSuffix;
    Handle mark(CreateFileW(stream.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!mark.valid()) return OriginMark::Unsupported;
    FileIdentity identity;
    if (!Identify(mark.get(), identity) || !(identity == identity_)) {
      mark.Close();
      DeleteFileW(stream.c_str());
      return OriginMark::Unsupported;
    }
    std::string content = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=";
    content.append(originUrl);
    content += "\r\n";
    DWORD written = 0;
    if (!WriteFile(mark.get(), content.data(), static_cast<DWORD>(content.size()), &written,
                   nullptr) ||
        written != content.size()) {
      return OriginMark::WriteFailed;
    }
    if (!FlushFileBuffers(mark.get()) || !mark.Close()) return OriginMark::FlushFailed;
    marked_ = true;
    return OriginMark::Written;
  }

  bool Commit(const std::u16string& destination) override {
    if (!marked_) return false;
    // Never MOVEFILE_REPLACE_EXISTING: an existing destination makes the move fail.
    if (!MoveFileExW(wide_.c_str(), Wide(destination).c_str(), MOVEFILE_WRITE_THROUGH)) {
      return false;
    }
    committed_ = true;
    return true;
  }

 private:
  const std::wstring wide_;
  Handle handle_;
  const bool askVolume_;
  FileIdentity identity_;
  bool flushed_ = false;
  bool marked_ = false;
  bool committed_ = false;
};

class WinFileStore final : public FileStore {
 public:
  explicit WinFileStore(bool askVolume) : askVolume_(askVolume) {}

  std::unique_ptr<SourceFile> OpenSource(const std::u16string& path) override {
    HANDLE handle =
        CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    Handle owned(handle);
    LARGE_INTEGER size{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size) ||
        size.QuadPart < 0) {
      return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return nullptr;
    }
    return std::make_unique<WinSource>(owned.Release(), static_cast<std::uint64_t>(size.QuadPart));
  }

  bool Exists(const std::u16string& path) override {
    return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  std::unique_ptr<PartialFile> CreatePartial(const std::u16string& path) override {
    HANDLE handle = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<WinPartial>(path, handle, askVolume_);
  }

  char16_t PathSeparator() const override { return u'\\'; }

  std::vector<std::u16string> ListFiles(const std::u16string& folder) override {
    std::vector<std::u16string> names;
    WIN32_FIND_DATAW found{};
    const HANDLE find = FindFirstFileW((Wide(folder) + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      if ((found.dwFileAttributes &
           (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
        const std::wstring name(found.cFileName);
        names.emplace_back(name.begin(), name.end());
      }
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return names;
  }

  // A temporary file that is being written is open without any sharing: the delete fails then.
  bool DeleteAbandoned(const std::u16string& path) override {
    return DeleteFileW(Wide(path).c_str()) != FALSE;
  }

 private:
  const bool askVolume_;
};

}  // namespace

std::unique_ptr<FileStore> CreateWinFileStore(bool askVolumeForStreams) {
  return std::make_unique<WinFileStore>(askVolumeForStreams);
}

std::unique_ptr<FileStore> CreateSystemFileStore() { return CreateWinFileStore(true); }

}  // namespace ov
