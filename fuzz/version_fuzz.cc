// Release version texts as a manifest announces them: the bytes up to the first 0x00 are one
// text, the bytes after it another.
//
// ParseVersion must agree with an independent statement of the rule in version.h (1 to 17
// characters, three dot-separated parts of 1 to 5 ASCII digits, no leading zero but a lone "0",
// each at most 65535) and return the parts' values; IsNewerVersion must be the strict order of
// the parsed parts, false whenever the announced text does not parse.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "update/version.h"

namespace {

std::optional<std::vector<std::uint32_t>> Reference(std::string_view text) {
  if (text.empty() || text.size() > 17) return std::nullopt;
  std::vector<std::uint32_t> parts;
  std::string part;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (part.empty() || part.size() > 5 || (part.size() > 1 && part[0] == '0'))
        return std::nullopt;
      const std::uint32_t value = static_cast<std::uint32_t>(std::stoul(part));
      if (value > 65535) return std::nullopt;
      parts.push_back(value);
      part.clear();
    } else if (text[i] >= '0' && text[i] <= '9') {
      part.push_back(text[i]);
    } else {
      return std::nullopt;
    }
  }
  if (parts.size() != 3) return std::nullopt;
  return parts;
}

void Check(std::string_view text, const std::optional<std::vector<std::uint32_t>>& expected) {
  const std::optional<ov::Version> parsed = ov::ParseVersion(text);
  OV_FUZZ_CHECK(parsed.has_value() == expected.has_value());
  if (parsed) {
    OV_FUZZ_CHECK(parsed->major == (*expected)[0] && parsed->minor == (*expected)[1] &&
                  parsed->patch == (*expected)[2]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = all.find('\0');
  const std::string_view announced = all.substr(0, cut);
  const std::string_view running = cut == std::string_view::npos ? "0.3.9" : all.substr(cut + 1);
  const auto a = Reference(announced);
  const auto r = Reference(running);
  Check(announced, a);
  Check(running, r);
  if (r) OV_FUZZ_CHECK(ov::IsNewerVersion(announced, running) == (a.has_value() && *a > *r));
  return 0;
}
