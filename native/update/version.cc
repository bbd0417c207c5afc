#include "update/version.h"

namespace ov {

std::optional<Version> ParseVersion(std::string_view text) noexcept {
  if (text.empty() || text.size() > 17) return std::nullopt;
  std::uint16_t parts[3] = {};
  std::size_t part = 0;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t start = pos;
    std::uint32_t value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (pos - start == 5) return std::nullopt;  // a sixth digit
      value = value * 10 + static_cast<std::uint32_t>(text[pos] - '0');
      ++pos;
    }
    const std::size_t digits = pos - start;
    if (digits == 0 || (digits > 1 && text[start] == '0') || value > 65535) return std::nullopt;
    parts[part++] = static_cast<std::uint16_t>(value);
    if (part == 3) break;
    if (pos == text.size() || text[pos] != '.') return std::nullopt;
    ++pos;
  }
  if (pos != text.size()) return std::nullopt;
  return Version{parts[0], parts[1], parts[2]};
}

bool IsNewerVersion(std::string_view announced, std::string_view running) noexcept {
  const auto a = ParseVersion(announced);
  const auto r = ParseVersion(running);
  return a && r && *a > *r;
}

}  // namespace ov
