// Release version texts: "MAJOR.MINOR.PATCH", each part 0 to 65535 in decimal without leading
// zeros. The manifest announces one; the running program compares it with its own.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ov {

// The version of this program.
inline constexpr std::string_view kRunningVersion = "0.3.9";

struct Version {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t patch = 0;

  // Part by part, major first.
  friend constexpr auto operator<=>(const Version&, const Version&) = default;
};

// The version for a valid text, otherwise nothing. Valid: 1 to 17 characters, exactly three parts
// separated by '.', each part 1 to 5 ASCII digits, no leading zero (a lone "0" is allowed), at
// most 65535. Nothing else is tolerated: no sign, no white space, no suffix.
std::optional<Version> ParseVersion(std::string_view text) noexcept;

// True when `announced` is a valid version text newer than `running` (itself valid). A text that
// does not parse is never newer; callers that must refuse it check ParseVersion first.
bool IsNewerVersion(std::string_view announced, std::string_view running = kRunningVersion) noexcept;

}  // namespace ov
