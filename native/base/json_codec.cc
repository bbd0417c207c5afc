#include "base/json_codec.h"

#include <cstring>
#include <stdexcept>

#include "base/protocol_error.h"
#include "base/secure_memory.h"

namespace ov {
namespace {

Json ParseBounded(const char* begin, const char* end, int maxDepth, const char* nestingError) {
  // The library takes a NUL byte for the end of the input (for C strings), so "{}\0junk" would
  // read as {} with the junk ignored. No JSON text holds a NUL byte, not even inside a string
  // (control characters there must be escaped), so one is a syntax error wherever it stands.
  const auto size = static_cast<std::size_t>(end - begin);
  const void* nul = size == 0 ? nullptr : std::memchr(begin, 0, size);  // an empty range may be null
  if (nul != nullptr) {
    const auto at = static_cast<std::size_t>(static_cast<const char*>(nul) - begin);
    throw Json::parse_error::create(101, at + 1, "syntax error: a NUL byte in the input", nullptr);
  }
  // The callback sees every parse event with its depth: 0 for the top-level value, one more for
  // each enclosing object or array. Events are never filtered, only refused when too deep.
  Json::parser_callback_t bound = [maxDepth, nestingError](int depth, Json::parse_event_t,
                                                           Json&) -> bool {
    if (depth > maxDepth) throw ProtocolError(nestingError);
    return true;
  };
  return Json::parse(begin, end, bound, /*allow_exceptions=*/true, /*ignore_comments=*/false);
}

}  // namespace

Json ParseMessage(std::span<const std::uint8_t> utf8) {
  const char* begin = reinterpret_cast<const char*>(utf8.data());
  return ParseBounded(begin, begin + utf8.size(), kMessageMaxDepth, "message nesting");
}

Json ParseMessage(std::string_view utf8) {
  return ParseBounded(utf8.data(), utf8.data() + utf8.size(), kMessageMaxDepth, "message nesting");
}

Json BoundedJson(std::string_view utf8) {
  return ParseBounded(utf8.data(), utf8.data() + utf8.size(), kManifestMaxDepth,
                      "Update verification failed");
}

std::string SerializeMessage(const Json& message) {
  return message.dump(-1, ' ', /*ensure_ascii=*/false, Json::error_handler_t::strict);
}

std::int32_t RequireInt(const Json& message, const std::string& name, std::int32_t min,
                        std::int32_t max) {
  const Json& member = message.at(name);
  if (member.is_number_unsigned()) {
    const auto value = member.get<std::uint64_t>();
    const bool aboveMax = max < 0 || value > static_cast<std::uint64_t>(max);
    const bool belowMin = min > 0 && value < static_cast<std::uint64_t>(min);
    if (aboveMax || belowMin) throw ProtocolError("input range");
    return static_cast<std::int32_t>(value);
  }
  if (member.is_number_integer()) {
    const auto value = member.get<std::int64_t>();
    if (value < min || value > max) throw ProtocolError("input range");
    return static_cast<std::int32_t>(value);
  }
  throw ProtocolError("input number");
}

void SecureClearStrings(Json& value) noexcept {
  if (value.is_string()) {
    SecureClear(*value.get_ptr<std::string*>());
  } else if (value.is_structured()) {
    for (Json& child : value) SecureClearStrings(child);
  }
}

}  // namespace ov
