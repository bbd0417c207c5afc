#include "settings/settings_file_posix.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <utility>

#include "base/json_codec.h"
#include "base/unicode.h"

namespace ov {
namespace {

constexpr const char* kFileName = "settings.json";
// A settings file is a few dozen bytes; anything much larger is not ours.
constexpr off_t kMaxFileSize = 64 * 1024;

enum class FileState {
  Absent,     // no file (or no directory): nothing stored
  Ok,         // `object` holds the parsed settings
  Corrupt,    // a regular file that is not a JSON object of reasonable size
  Unreadable  // the file exists but could not be opened or read
};

struct Snapshot {
  FileState state = FileState::Absent;
  Json object;
};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded (it can report a late write error).
  bool Close() {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

Snapshot ReadSettings(const std::string& path) {
  Snapshot snapshot;
  if (path.empty()) return snapshot;
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) {
    snapshot.state = (errno == ENOENT || errno == ENOTDIR) ? FileState::Absent : FileState::Unreadable;
    return snapshot;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    snapshot.state = FileState::Unreadable;
    return snapshot;
  }
  if (!S_ISREG(info.st_mode) || info.st_size > kMaxFileSize) {
    snapshot.state = FileState::Corrupt;
    return snapshot;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      snapshot.state = FileState::Unreadable;
      return snapshot;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > static_cast<std::size_t>(kMaxFileSize)) {
      snapshot.state = FileState::Corrupt;
      return snapshot;
    }
  }
  try {
    snapshot.object = ParseMessage(text);
  } catch (const std::exception&) {
    snapshot.state = FileState::Corrupt;
    return snapshot;
  }
  snapshot.state = snapshot.object.is_object() ? FileState::Ok : FileState::Corrupt;
  return snapshot;
}

// Decodes UTF-8 that the JSON parser has already validated.
std::wstring WideFromValidUtf8(const std::string& text) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0xFFFD;
    if (!NextUtf8CodePoint(text, i, cp)) ++i;  // not met: the parser let only valid text through
    AppendWide(out, cp);
  }
  return out;
}

std::size_t Utf16Length(const std::wstring& text) {
  std::size_t units = 0;
  for (const wchar_t c : text) units += static_cast<std::uint32_t>(c) >= 0x10000 ? 2 : 1;
  return units;
}

// Encodes text as UTF-8; false for a NUL, a lone surrogate or a value beyond U+10FFFF.
bool Utf8FromWide(std::wstring_view text, std::string& out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t cp = static_cast<std::uint32_t>(text[i]);
    if (cp == 0 || cp > 0x10FFFF) return false;
    if (cp >= 0xD800 && cp <= 0xDBFF && sizeof(wchar_t) == 2 && i + 1 < text.size()) {
      const auto low = static_cast<std::uint32_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    AppendUtf8(out, cp);
  }
  return true;
}

bool MakeDirectories(const std::string& directory) {
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = directory.find('/', pos + 1);
    const std::string part = directory.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat info {};
  return ::stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

// Sets member `name` of the settings file to `value`, keeping the other members. A file that
// exists but cannot be read is left alone and the write fails; a file that is not a settings
// object is kept beside the new one as settings.json.bad.
bool UpdateSettings(const std::string& directory, const std::string& path, const char* name,
                    Json value) {
  if (directory.empty() || directory.front() != '/' || !MakeDirectories(directory)) return false;
  Fd lock(::open((directory + "/settings.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (lock.get() < 0) return false;
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }

  Snapshot current = ReadSettings(path);
  Json object = Json::object();
  switch (current.state) {
    case FileState::Absent: break;
    case FileState::Ok: object = std::move(current.object); break;
    case FileState::Unreadable: return false;
    case FileState::Corrupt:
      if (::rename(path.c_str(), (path + ".bad").c_str()) != 0) return false;
      break;
  }
  object[name] = std::move(value);

  std::string text;
  try {
    text = SerializeMessage(object) + "\n";
  } catch (const std::exception&) {
    return false;
  }
  const std::string temporary = path + ".tmp";
  Fd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (out.get() < 0) return false;
  const bool written = WriteAll(out.get(), text) && ::fsync(out.get()) == 0 && out.Close();
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  Fd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());  // best effort: the rename itself has succeeded
  return true;
}

std::string NarrowName(std::wstring_view name) {
  return std::string(name.begin(), name.end());  // the value names are ASCII
}

}  // namespace

FileSettingsStore::FileSettingsStore(std::string directory)
    : directory_(std::move(directory)),
      path_(directory_.empty() ? std::string() : directory_ + "/" + kFileName) {}

std::string FileSettingsStore::DefaultDirectory() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/kestrova";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.config/kestrova";
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr &&
                                                    entry->pw_dir[0] == '/') {
    return std::string(entry->pw_dir) + "/.config/kestrova";
  }
  return {};
}

bool FileSettingsStore::LoadAskBeforeConnection() {
  const Snapshot snapshot = ReadSettings(path_);
  if (snapshot.state == FileState::Absent) return false;
  if (snapshot.state != FileState::Ok) return true;
  const auto member = snapshot.object.find(NarrowName(kAskBeforeConnectionValue));
  if (member == snapshot.object.end()) return false;
  // Only a whole number that fits 32 bits is a stored value; anything else counts as a damaged
  // setting and reads as on.
  if (!member->is_number_unsigned()) return true;
  const auto number = member->get<std::uint64_t>();
  return number != 0;  // a number beyond 32 bits is damaged as well: on either way
}

bool FileSettingsStore::StoreAskBeforeConnection(bool ask) {
  return UpdateSettings(directory_, path_, NarrowName(kAskBeforeConnectionValue).c_str(),
                        Json(ask ? 1 : 0));
}

std::optional<std::wstring> FileSettingsStore::LoadLanguage() {
  const Snapshot snapshot = ReadSettings(path_);
  if (snapshot.state != FileState::Ok) return std::nullopt;
  const auto member = snapshot.object.find(NarrowName(kLanguageValue));
  if (member == snapshot.object.end() || !member->is_string()) return std::nullopt;
  std::wstring text = WideFromValidUtf8(member->get<std::string>());
  if (Utf16Length(text) > kStoredLanguageMaxLength) return std::nullopt;
  return text;
}

bool FileSettingsStore::StoreLanguage(std::wstring_view code) {
  std::string utf8;
  if (!Utf8FromWide(code, utf8)) return false;
  if (Utf16Length(std::wstring(code)) > kStoredLanguageMaxLength) return false;
  return UpdateSettings(directory_, path_, NarrowName(kLanguageValue).c_str(), Json(utf8));
}

std::unique_ptr<SettingsStore> OpenUserSettings() {
  return std::make_unique<FileSettingsStore>(FileSettingsStore::DefaultDirectory());
}

}  // namespace ov
