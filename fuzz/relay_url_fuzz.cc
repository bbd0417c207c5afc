// Relay URL validation on hostile text:
//
//   byte 0 bit 0 = 0: the rest, one byte per character; = 1: two bytes per character (UTF-16
//   code units, little-endian), so non-ASCII and NUL reach the checks too.
//
// Checked: a refusal gives one of the four fixed texts and leaves the result untouched; an
// accepted URL has a printable-ASCII host and path (the path starting with "/"), a port, is
// secure unless loopback, and the URL put together again from its parts is accepted as the same
// (or, past the length bound, refused for its length).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "net/relay_url.h"

namespace {

bool PrintableAscii(const std::wstring& text) {
  for (wchar_t c : text) {
    if (c <= L' ' || c >= 0x7F) return false;
  }
  return true;
}

bool Same(const ov::RelayUrl& a, const ov::RelayUrl& b) {
  return a.host == b.host && a.path == b.path && a.port == b.port && a.secure == b.secure &&
         a.loopback == b.loopback;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ov::fuzz::Selected in = ov::fuzz::Select(data, size);
  std::wstring url;
  if ((in.selector & 1) == 0) {
    for (std::uint8_t b : in.rest) url.push_back(static_cast<wchar_t>(b));
  } else {
    for (std::size_t i = 0; i + 1 < in.rest.size(); i += 2) {
      url.push_back(static_cast<wchar_t>(in.rest[i] | (in.rest[i + 1] << 8)));
    }
  }

  ov::RelayUrl parsed;
  parsed.host = L"untouched";
  std::string error;
  if (!ov::ParseRelayUrl(url, parsed, error)) {
    OV_FUZZ_CHECK(error == ov::kInvalidUrlText || error == ov::kBadSchemeText ||
                  error == ov::kBadAuthorityText || error == ov::kPlainNotLoopbackText);
    OV_FUZZ_CHECK(parsed.host == L"untouched");
    return 0;
  }
  OV_FUZZ_CHECK(error.empty());
  OV_FUZZ_CHECK(!parsed.host.empty() && PrintableAscii(parsed.host));
  OV_FUZZ_CHECK(parsed.host.find(L'@') == std::wstring::npos);
  OV_FUZZ_CHECK(!parsed.path.empty() && parsed.path.front() == L'/' && PrintableAscii(parsed.path));
  OV_FUZZ_CHECK(parsed.port != 0);
  OV_FUZZ_CHECK(parsed.secure || parsed.loopback);

  const std::wstring again = std::wstring(parsed.secure ? L"wss://" : L"ws://") + parsed.host +
                             L":" + std::to_wstring(parsed.port) + parsed.path;
  // Spelling the default port out (or "localhost" as 127.0.0.1) may take a URL at the length
  // bound past it; such a one is refused for its length alone.
  ov::RelayUrl reparsed;
  if (again.size() > ov::kMaxRelayUrlChars) {
    OV_FUZZ_CHECK(!ov::ParseRelayUrl(again, reparsed, error) && error == ov::kInvalidUrlText);
    return 0;
  }
  OV_FUZZ_CHECK(ov::ParseRelayUrl(again, reparsed, error));
  OV_FUZZ_CHECK(Same(parsed, reparsed));
  return 0;
}
