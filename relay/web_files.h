// The browser viewer's files as the relay serves them at https://HOST/: loaded once from the
// folder web/build.mjs writes (packaged at /usr/share/kestrova-relay/web/), answered from memory.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ov::relay {

// The largest file the folder may hold; the viewer's files are a few hundred KiB.
inline constexpr std::size_t kMaxWebFileSize = std::size_t{8} << 20;

// The list of files to serve inside the folder: one line per file, "<name> <content type>".
inline constexpr std::string_view kWebManifestName = "manifest.txt";

struct WebHeader {
  std::string_view name;
  std::string_view value;
};

// One file to answer with. Every view points into the WebFiles that made it (or into static
// text) and lives as long as it. The caller adds Content-Type, Content-Length and
// Content-Security-Policy (ContentSecurityPolicy below) and, for HEAD, writes the header alone.
struct WebAnswer {
  std::string_view body;
  std::string_view contentType;
  // Cache-Control (no-cache for index.html; a year and immutable for the hashed assets), then
  // X-Content-Type-Options, Referrer-Policy, Cross-Origin-Opener-Policy and X-Frame-Options.
  std::span<const WebHeader> headers;
};

class WebFiles {
 public:
  // Reads the folder's manifest and every file it lists into memory. Throws
  // std::invalid_argument naming the folder and the problem when the folder is missing or holds
  // a symlink, a subfolder or anything but a regular file, or a file over kMaxWebFileSize; when
  // the manifest is missing, malformed or lists a name twice; when it lists a file that is not
  // there, or no index.html; or when a listed asset's name does not carry a hash
  // ("<stem>.<8 or more lower-case hex digits>.<extension>": only such names may be cached for
  // good).
  // Regular files the manifest does not list are neither read nor served (the development build
  // keeps the node tests' files next to the page's).
  explicit WebFiles(const std::string& folder);

  WebFiles(const WebFiles&) = delete;
  WebFiles& operator=(const WebFiles&) = delete;

  // The file a GET or HEAD request target names: "/" and "/index.html" name index.html, "/<name>"
  // a listed asset by its exact name. A query string ("?...") is ignored; nothing else is
  // decoded, so percent escapes, dot segments and further slashes name nothing. Nothing for any
  // other target (the caller answers 404).
  std::optional<WebAnswer> Find(std::string_view target) const;

  std::size_t FileCount() const { return files_.size(); }

 private:
  struct File {
    std::string bytes;
    std::string contentType;
    bool isIndex = false;
  };
  std::map<std::string, File, std::less<>> files_;
};

// True for a Host header value the relay accepts: a host name (letters, digits and hyphens in
// dot-separated labels of 1 to 63 characters, no label starting or ending with a hyphen, at most
// 253 characters, no trailing dot), an IPv4 address, or an IPv6 address in brackets (no zone),
// each optionally followed by ":<port>" (1 to 65535). A page request whose Host fails this gets
// 400 from the server, like any HTTP/1.1 request with an invalid Host.
bool IsValidHost(std::string_view host);

// The page's Content-Security-Policy: nothing but its own scripts, style and images (and blob:
// and data: images), WebSocket connections only to wss://<host>, no base, forms or framing.
// The host is written in lower case. For a host that IsValidHost refuses the policy says
// "connect-src 'none'", so an unchecked header can never put text of its own into the policy.
std::string ContentSecurityPolicy(std::string_view host);

// True when a WebSocket upgrade's Origin header is the relay's own page: "https://" + host
// ("http://" + host when `tls` is false), the scheme and host compared case-insensitively and the
// scheme's default port (:443, :80) counting as no port. Anything else, including "null", an
// origin with a path or trailing slash, or an invalid host, is not the relay's own.
bool IsOwnOrigin(std::string_view origin, std::string_view host, bool tls);

}  // namespace ov::relay
