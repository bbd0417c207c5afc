// HTTPS GET over WinHTTP in synchronous mode. Each blocking call is bounded by the session's
// timeouts, so a cancellation is noticed at the latest one receive timeout (5 s) after it is set;
// a server that keeps sending is noticed at the next piece.

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/https_get.h"

namespace ov {
namespace {

constexpr int kResolveTimeoutMs = 3000;
constexpr int kConnectTimeoutMs = 5000;
constexpr int kSendTimeoutMs = 5000;
constexpr int kReceiveTimeoutMs = 5000;
constexpr DWORD kDisabledFeatures =
    WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_AUTHENTICATION;

[[noreturn]] void CheckFailed() { throw std::runtime_error(kUpdateCheckFailedText); }
[[noreturn]] void VerificationFailed() { throw std::runtime_error(kUpdateVerificationFailedText); }

// Closes a WinHTTP handle on every path. Not copyable.
class Handle {
 public:
  explicit Handle(HINTERNET handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr) WinHttpCloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HINTERNET get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HINTERNET handle_;
};

// The printable ASCII of a validated host or path as UTF-16.
std::wstring Widen(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E) CheckFailed();
    out.push_back(static_cast<wchar_t>(byte));
  }
  return out;
}

}  // namespace

std::vector<std::uint8_t> HttpsGet(const HttpsGetRequest& request) {
  if (!IsValidUpdatePath(request.path)) VerificationFailed();
  auto cancelled = [&] { return request.cancel != nullptr && request.cancel->load(); };
  const std::wstring host = Widen(request.host);
  const std::wstring path = Widen(request.path);
  if (host.empty()) CheckFailed();

  Handle session(WinHttpOpen(Widen(kUpdateUserAgent).c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) CheckFailed();
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
  if (!WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                          kReceiveTimeoutMs) ||
      !WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) {
    CheckFailed();
  }
  Handle connection(WinHttpConnect(session.get(), host.c_str(), request.port, 0));
  if (!connection) CheckFailed();
  Handle get(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH));
  if (!get) CheckFailed();
  DWORD disabled = kDisabledFeatures;
  if (!WinHttpSetOption(get.get(), WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof(disabled))) {
    CheckFailed();
  }

  if (cancelled()) CheckFailed();
  if (!WinHttpSendRequest(get.get(), L"Cache-Control: no-cache\r\n", static_cast<DWORD>(-1L),
                          WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(get.get(), nullptr)) {
    CheckFailed();
  }
  DWORD status = 0;
  DWORD statusSize = sizeof(status);
  if (!WinHttpQueryHeaders(get.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX) ||
      status != 200) {
    CheckFailed();
  }
  const ULONGLONG statusAt = GetTickCount64();
  const ULONGLONG deadlineMs =
      request.limit <= kHttpsShortBodyLimit ? kHttpsShortBodyDeadlineMs : kHttpsLongBodyDeadlineMs;

  // The announced length, when there is one: a longer one is refused at once, and a body that
  // ends before it is a failure (a dropped connection, not the end of the file).
  bool announced = false;
  std::uint64_t announcedLength = 0;
  wchar_t lengthText[32] = {};
  DWORD lengthSize = sizeof(lengthText);
  if (WinHttpQueryHeaders(get.get(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, lengthText,
                          &lengthSize, WINHTTP_NO_HEADER_INDEX)) {
    announced = lengthText[0] != L'\0';
    for (const wchar_t* c = lengthText; *c != L'\0'; ++c) {
      if (*c < L'0' || *c > L'9' || announcedLength > (std::uint64_t{1} << 40)) CheckFailed();
      announcedLength = announcedLength * 10 + static_cast<std::uint64_t>(*c - L'0');
    }
    if (announced && announcedLength > request.limit) VerificationFailed();
  }

  std::vector<std::uint8_t> body;
  std::vector<std::uint8_t> piece(kHttpsPieceBytes);
  for (;;) {
    if (cancelled() || GetTickCount64() - statusAt >= deadlineMs) CheckFailed();
    // Waiting for data first keeps each read short: a read of a whole piece would wait for the
    // piece to fill, past the deadline, while a server trickles bytes.
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(get.get(), &available)) CheckFailed();
    if (available == 0) break;
    if (cancelled() || GetTickCount64() - statusAt >= deadlineMs) CheckFailed();
    DWORD read = 0;
    const DWORD ask = available < piece.size() ? available : static_cast<DWORD>(piece.size());
    if (!WinHttpReadData(get.get(), piece.data(), ask, &read)) CheckFailed();
    if (read == 0) break;
    if (read > request.limit - body.size()) VerificationFailed();
    body.insert(body.end(), piece.begin(), piece.begin() + read);
    if (request.progress) request.progress(body.size());
  }
  if (announced && body.size() != announcedLength) CheckFailed();
  return body;
}

}  // namespace ov
