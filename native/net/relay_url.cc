#include "net/relay_url.h"

#include <cstddef>
#include <utility>

namespace ov {
namespace {

wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

std::wstring LowerAscii(std::wstring_view s) {
  std::wstring out(s);
  for (wchar_t& c : out) c = LowerAscii(c);
  return out;
}

bool StartsWithNoCase(std::wstring_view s, std::wstring_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(s[i]) != prefix[i]) return false;
  }
  return true;
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool IsAlnum(wchar_t c) { return IsDigit(c) || (LowerAscii(c) >= L'a' && LowerAscii(c) <= L'z'); }
bool IsHex(wchar_t c) { return IsDigit(c) || (LowerAscii(c) >= L'a' && LowerAscii(c) <= L'f'); }

// Printable ASCII without space: what a request target may carry.
bool IsPathChar(wchar_t c) { return c > L' ' && c < 0x7F && c != L'\\'; }

bool IsHostName(std::wstring_view host) {
  if (host.empty()) return false;
  for (wchar_t c : host) {
    if (!IsAlnum(c) && c != L'-' && c != L'.' && c != L'_') return false;
  }
  return true;
}

bool IsBracketedIpv6(std::wstring_view host) {
  if (host.size() < 4 || host.front() != L'[' || host.back() != L']') return false;
  for (wchar_t c : host.substr(1, host.size() - 2)) {
    if (!IsHex(c) && c != L':' && c != L'.') return false;
  }
  return true;
}

// Splits the authority "[user[:password]@]host[:port]" the way a URL cracker does. Returns false
// for anything malformed, for a non-empty user name or password, and for a port outside 1-65535.
bool CrackAuthority(std::wstring_view authority, bool secure, std::wstring& host, std::uint16_t& port) {
  const std::size_t at = authority.rfind(L'@');
  if (at != std::wstring_view::npos) {
    if (at != 0) return false;  // user name or password present
    authority.remove_prefix(1);
  }
  std::wstring_view portText;
  bool hasPort = false;
  if (!authority.empty() && authority.front() == L'[') {
    const std::size_t close = authority.find(L']');
    if (close == std::wstring_view::npos) return false;
    host.assign(authority.substr(0, close + 1));
    std::wstring_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != L':') return false;
      portText = rest.substr(1);
      hasPort = true;
    }
    if (!IsBracketedIpv6(host)) return false;
  } else {
    const std::size_t colon = authority.find(L':');
    host.assign(authority.substr(0, colon));
    if (colon != std::wstring_view::npos) {
      portText = authority.substr(colon + 1);
      hasPort = true;
    }
    if (!IsHostName(host)) return false;
  }
  port = secure ? 443 : 80;
  if (hasPort && !portText.empty()) {
    if (portText.size() > 5) return false;
    std::uint32_t value = 0;
    for (wchar_t c : portText) {
      if (!IsDigit(c)) return false;
      value = value * 10 + static_cast<std::uint32_t>(c - L'0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
  }
  return true;
}

}  // namespace

bool ParseRelayUrl(std::wstring_view url, RelayUrl& out, std::string& error) {
  if (url.empty() || url.size() > kMaxRelayUrlChars ||
      url.find_first_of(std::wstring_view(L"\r\n#\0", 4)) != std::wstring_view::npos) {
    error = kInvalidUrlText;
    return false;
  }

  RelayUrl result;
  std::wstring_view rest;
  if (StartsWithNoCase(url, L"wss://")) {
    result.secure = true;
    rest = url.substr(6);
  } else if (StartsWithNoCase(url, L"ws://")) {
    rest = url.substr(5);
  } else {
    error = kBadSchemeText;
    return false;
  }

  const std::size_t authorityEnd = rest.find_first_of(L"/?");
  const std::wstring_view authority = rest.substr(0, authorityEnd);
  std::wstring_view target = authorityEnd == std::wstring_view::npos ? std::wstring_view() : rest.substr(authorityEnd);
  if (!CrackAuthority(authority, result.secure, result.host, result.port)) {
    error = kBadAuthorityText;
    return false;
  }
  for (wchar_t c : target) {
    if (!IsPathChar(c)) {
      error = kBadAuthorityText;
      return false;
    }
  }

  const std::wstring lowered = LowerAscii(result.host);
  result.loopback = lowered == L"localhost" || lowered == L"127.0.0.1" || lowered == L"::1" || lowered == L"[::1]";
  if (!result.secure) {
    if (!result.loopback) {
      error = kPlainNotLoopbackText;
      return false;
    }
    if (lowered == L"localhost") result.host = L"127.0.0.1";
  }

  const std::size_t queryStart = target.find(L'?');
  const std::wstring_view path = target.substr(0, queryStart);
  result.path = path.empty() ? std::wstring(L"/") : std::wstring(path);
  if (queryStart != std::wstring_view::npos) result.path.append(target.substr(queryStart));

  out = std::move(result);
  return true;
}

}  // namespace ov
