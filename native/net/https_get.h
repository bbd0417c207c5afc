// One HTTPS GET against the update service: a bounded body, fetched with the updater's fixed rules.
//
// Rules (both platforms): user agent "Orvantis-Updater/1"; resolve 3 s, connect 5 s, send 5 s and
// each receive 5 s; TLS 1.2 (Windows: exactly 1.2; POSIX: 1.2 or newer, the certificate verified
// against the system's authorities and the host name); no cookies, no redirects, no automatic
// authentication; the header "Cache-Control: no-cache"; only status 200 is accepted; the body is
// read in pieces of at most 32768 bytes and must be complete within 15 s of the status (limits of
// at most 16384 bytes) or 120 s (larger limits). Windows uses WinHTTP with the automatic proxy;
// POSIX uses Boost.Beast over BoringSSL and connects directly.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ov {

inline constexpr char kUpdateUserAgent[] = "Orvantis-Updater/1";
// The failure texts of a GET.
inline constexpr char kUpdateCheckFailedText[] = "Update check failed";
inline constexpr char kUpdateVerificationFailedText[] = "Update verification failed";

inline constexpr std::size_t kHttpsPieceBytes = 32768;
// Bodies allowed up to this size get the short deadline.
inline constexpr std::uint64_t kHttpsShortBodyLimit = 16384;
inline constexpr std::uint32_t kHttpsShortBodyDeadlineMs = 15000;
inline constexpr std::uint32_t kHttpsLongBodyDeadlineMs = 120000;

struct HttpsGetRequest {
  std::string host;          // a DNS name or an IP address literal, without brackets
  std::uint16_t port = 443;
  std::string path;          // see IsValidUpdatePath
  std::uint64_t limit = 0;   // the largest body accepted, in bytes
  // Read before the request is sent and before every read of the body; when set the GET fails.
  // May be null. Must outlive the call.
  const std::atomic<bool>* cancel = nullptr;
  // Called on the calling thread after every piece with the number of body bytes so far.
  std::function<void(std::uint64_t)> progress;
  // POSIX only: a PEM file of extra trusted authorities (tests name their own). Windows always
  // uses the system's certificate stores.
  std::string extraCaFile;
};

// True when `path` may be requested: longer than 9 characters, beginning with "/download/",
// without CR, LF, '#' or '\'.
bool IsValidUpdatePath(std::string_view path) noexcept;

// Fetches the body of `request.path`. Throws std::runtime_error(kUpdateVerificationFailedText)
// for a path that IsValidUpdatePath refuses or a body (announced or received) longer than the
// limit, and std::runtime_error(kUpdateCheckFailedText) for every other failure: connection, TLS,
// a status other than 200 (redirects included), a deadline, a cancellation. All handles and
// sockets are closed on every path. Any thread; calls do not share state.
std::vector<std::uint8_t> HttpsGet(const HttpsGetRequest& request);

// The shape of HttpsGet, for callers that let tests stand in for the network.
using HttpsGetFunction = std::function<std::vector<std::uint8_t>(const HttpsGetRequest&)>;

}  // namespace ov
