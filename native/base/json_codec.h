// Reading and writing of the program's JSON messages (relay messages, peer messages, the update
// manifest). Every message is parsed with a bound on nesting and written with one setting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace ov {

using Json = nlohmann::json;

// Deepest parser depth a message may reach (0 is the top-level value itself).
inline constexpr int kMessageMaxDepth = 4;
// Deepest parser depth the update manifest may reach.
inline constexpr int kManifestMaxDepth = 3;

// Size bounds, in bytes of UTF-8, that receivers check before parsing.
inline constexpr std::size_t kRelayTextLimit = 16384;
inline constexpr std::size_t kControlMessageLimit = 48000;
inline constexpr std::size_t kInputMessageLimit = 1024;

// Parses exactly one JSON text (white space around it allowed, no comments). Throws the
// library's parse_error on bad syntax, invalid UTF-8 or trailing data, and
// std::runtime_error("message nesting") when any value lies deeper than kMessageMaxDepth.
// Repeated member names keep the last occurrence.
Json ParseMessage(std::span<const std::uint8_t> utf8);
Json ParseMessage(std::string_view utf8);

// The update manifest's reader: the same rules with depth kManifestMaxDepth, failing with
// std::runtime_error("Update verification failed") when nested deeper.
Json BoundedJson(std::string_view utf8);

// The program's one way of writing JSON: compact, members in ascending byte order of their names,
// non-ASCII written as UTF-8. A string holding invalid UTF-8 throws the library's type_error and
// nothing is produced.
std::string SerializeMessage(const Json& message);

// Wipes every string inside `value` (member values, array elements, nested), leaving them empty:
// for messages that carry a secret, once they have been written out. Member names are kept.
void SecureClearStrings(Json& value) noexcept;

// Reads member `name` of `message` as a 32-bit integer within [min, max].
// Not an object: the library's type_error; no such member: the library's out_of_range;
// an integer outside the range: std::runtime_error("input range"); any other type (including
// floating-point numbers such as 3.0): std::runtime_error("input number").
std::int32_t RequireInt(const Json& message, const std::string& name, std::int32_t min,
                        std::int32_t max);

}  // namespace ov
