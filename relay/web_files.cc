#include "relay/web_files.h"

#include <arpa/inet.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <system_error>

namespace ov::relay {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kIndexName = "index.html";

constexpr std::array<WebHeader, 5> kIndexHeaders{{
    {"Cache-Control", "no-cache"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cross-Origin-Opener-Policy", "same-origin"},
    {"X-Frame-Options", "DENY"},
}};
constexpr std::array<WebHeader, 5> kAssetHeaders{{
    {"Cache-Control", "public, max-age=31536000, immutable"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cross-Origin-Opener-Policy", "same-origin"},
    {"X-Frame-Options", "DENY"},
}};

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }
bool IsLowerHex(char ch) { return IsDigit(ch) || (ch >= 'a' && ch <= 'f'); }
bool IsAlnum(char ch) {
  return IsDigit(ch) || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
}
char Lower(char ch) { return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch; }

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& ch : out) ch = Lower(ch);
  return out;
}

// A file name the manifest may list: letters, digits, '.', '-' and '_', not starting with '.'.
bool IsPlainName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name.front() == '.') return false;
  for (const char ch : name) {
    if (!IsAlnum(ch) && ch != '.' && ch != '-' && ch != '_') return false;
  }
  return true;
}

// "<stem>.<8 or more lower-case hex digits>.<extension>"
bool IsHashedName(std::string_view name) {
  const std::size_t extDot = name.rfind('.');
  if (extDot == std::string_view::npos || extDot + 1 == name.size()) return false;
  const std::string_view rest = name.substr(0, extDot);
  const std::size_t hashDot = rest.rfind('.');
  if (hashDot == std::string_view::npos || hashDot == 0) return false;
  const std::string_view hash = rest.substr(hashDot + 1);
  if (hash.size() < 8) return false;
  for (const char ch : hash) {
    if (!IsLowerHex(ch)) return false;
  }
  return true;
}

// A content type as it will go into a header: printable ASCII, not starting or ending in a space.
bool IsContentType(std::string_view type) {
  if (type.empty() || type.front() == ' ' || type.back() == ' ') return false;
  for (const char ch : type) {
    if (ch < 0x20 || ch > 0x7e) return false;
  }
  return true;
}

bool IsHostName(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = name.find('.', start);
    const std::string_view label =
        name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (label.empty() || label.size() > 63) return false;
    if (label.front() == '-' || label.back() == '-') return false;
    for (const char ch : label) {
      if (!IsAlnum(ch) && ch != '-') return false;
    }
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

bool IsPort(std::string_view port) {
  if (port.empty() || port.size() > 5 || port.front() == '0') return false;
  unsigned value = 0;
  for (const char ch : port) {
    if (!IsDigit(ch)) return false;
    value = value * 10 + static_cast<unsigned>(ch - '0');
  }
  return value <= 65535;
}

// The host of a Host value and its port ("" when none), or nothing when the value is invalid.
struct HostPort {
  std::string_view host;
  std::string_view port;
};
std::optional<HostPort> SplitHost(std::string_view value) {
  HostPort out;
  if (value.starts_with('[')) {
    const std::size_t close = value.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    const std::string address(value.substr(1, close - 1));
    in6_addr parsed{};
    if (address.empty() || inet_pton(AF_INET6, address.c_str(), &parsed) != 1) {
      return std::nullopt;
    }
    out.host = value.substr(0, close + 1);
    const std::string_view rest = value.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':' || !IsPort(rest.substr(1))) return std::nullopt;
      out.port = rest.substr(1);
    }
    return out;
  }
  const std::size_t colon = value.find(':');
  out.host = value.substr(0, colon);
  if (colon != std::string_view::npos) {
    out.port = value.substr(colon + 1);
    if (!IsPort(out.port)) return std::nullopt;
  }
  // Host names and IPv4 addresses alike are dot-separated labels of letters, digits and hyphens.
  if (!IsHostName(out.host)) return std::nullopt;
  return out;
}

// The host in lower case, without the port when it is the scheme's default.
std::optional<std::string> NormalOrigin(std::string_view host, std::string_view defaultPort) {
  const auto split = SplitHost(host);
  if (!split) return std::nullopt;
  std::string out = LowerCase(split->host);
  if (!split->port.empty() && split->port != defaultPort) {
    out += ':';
    out += split->port;
  }
  return out;
}

[[noreturn]] void Fail(const std::string& folder, const std::string& problem) {
  throw std::invalid_argument("web folder " + folder + ": " + problem);
}

// Reads a regular file of at most kMaxWebFileSize bytes.
std::string ReadSmallFile(const std::string& folder, const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(folder, "cannot read " + path.filename().string());
  std::string bytes;
  bytes.resize(kMaxWebFileSize + 1);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) Fail(folder, "cannot read " + path.filename().string());
  const auto got = static_cast<std::size_t>(in.gcount());
  if (got > kMaxWebFileSize) Fail(folder, path.filename().string() + " is over 8 MiB");
  bytes.resize(got);
  bytes.shrink_to_fit();
  return bytes;
}

}  // namespace

WebFiles::WebFiles(const std::string& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) Fail(folder, "not a folder");

  // Every entry must be a plain file of bounded size, whether the manifest lists it or not: a
  // link or a subfolder means the folder is not what the build wrote.
  std::set<std::string, std::less<>> present;
  fs::directory_iterator it(folder, ec);
  if (ec) Fail(folder, "cannot list: " + ec.message());
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path& path = it->path();
    const std::string name = path.filename().string();
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec) Fail(folder, "cannot inspect " + name + ": " + ec.message());
    if (fs::is_symlink(status)) Fail(folder, name + " is a symbolic link");
    if (fs::is_directory(status)) Fail(folder, name + " is a subfolder");
    if (!fs::is_regular_file(status)) Fail(folder, name + " is not a regular file");
    const auto size = fs::file_size(path, ec);
    if (ec) Fail(folder, "cannot inspect " + name + ": " + ec.message());
    if (size > kMaxWebFileSize) Fail(folder, name + " is over 8 MiB");
    present.insert(name);
  }
  if (ec) Fail(folder, "cannot list: " + ec.message());

  if (!present.contains(kWebManifestName)) {
    Fail(folder, "no " + std::string(kWebManifestName) + " (build it with web/build.mjs)");
  }
  const std::string manifest = ReadSmallFile(folder, fs::path(folder) / kWebManifestName);
  std::string_view lines = manifest;
  int number = 0;
  while (!lines.empty()) {
    ++number;
    const std::size_t end = lines.find('\n');
    const std::string_view line = lines.substr(0, end);
    lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
    const std::string where = std::string(kWebManifestName) + " line " + std::to_string(number);
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) Fail(folder, where + ": not \"<name> <content type>\"");
    const std::string_view name = line.substr(0, space);
    const std::string_view type = line.substr(space + 1);
    if (!IsPlainName(name) || name == kWebManifestName) {
      Fail(folder, where + ": bad file name");
    }
    if (!IsContentType(type)) Fail(folder, where + ": bad content type");
    const bool isIndex = name == kIndexName;
    if (!isIndex && !IsHashedName(name)) {
      Fail(folder, where + ": " + std::string(name) +
                       " carries no content hash (<stem>.<hex digits>.<extension>)");
    }
    if (files_.contains(name)) Fail(folder, where + ": " + std::string(name) + " listed twice");
    if (!present.contains(name)) Fail(folder, where + ": " + std::string(name) + " is missing");
    File file;
    file.bytes = ReadSmallFile(folder, fs::path(folder) / std::string(name));
    file.contentType = std::string(type);
    file.isIndex = isIndex;
    files_.emplace(std::string(name), std::move(file));
  }
  if (!files_.contains(kIndexName)) Fail(folder, "the manifest lists no index.html");
}

std::optional<WebAnswer> WebFiles::Find(std::string_view target) const {
  std::string_view path = target.substr(0, target.find('?'));
  if (!path.starts_with('/')) return std::nullopt;
  path.remove_prefix(1);
  if (path.empty()) path = kIndexName;
  // The names are checked plain file names, so only an exact name matches: no escape, dot
  // segment or further slash can.
  const auto found = files_.find(path);
  if (found == files_.end()) return std::nullopt;
  const File& file = found->second;
  return WebAnswer{file.bytes, file.contentType,
                   file.isIndex ? std::span<const WebHeader>(kIndexHeaders)
                                : std::span<const WebHeader>(kAssetHeaders)};
}

bool IsValidHost(std::string_view host) { return SplitHost(host).has_value(); }

std::string ContentSecurityPolicy(std::string_view host) {
  const std::string connect = IsValidHost(host) ? "wss://" + LowerCase(host) : "'none'";
  return "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
         "connect-src " +
         connect + "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

bool IsOwnOrigin(std::string_view origin, std::string_view host, bool tls) {
  const std::string_view scheme = tls ? "https://" : "http://";
  if (origin.size() <= scheme.size() || LowerCase(origin.substr(0, scheme.size())) != scheme) {
    return false;
  }
  const std::string_view defaultPort = tls ? "443" : "80";
  const auto fromOrigin = NormalOrigin(origin.substr(scheme.size()), defaultPort);
  const auto own = NormalOrigin(host, defaultPort);
  return fromOrigin && own && *fromOrigin == *own;
}

}  // namespace ov::relay
