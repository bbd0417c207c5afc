// The message codec on raw bytes: ParseMessage and the manifest's BoundedJson over the same
// input, RequireInt over every member of what parses, and the one serialisation.
//
// Checked: the two parsers agree (the manifest's bound is the stricter one); neither takes a text
// with a NUL byte in it; on valid JSON each
// accepts exactly what nests no deeper than its bound (4, the manifest's 3), counted on the text
// itself; a parsed message written out parses back to the same value within the same bound; and
// RequireInt returns only integers that the member holds and that lie within the asked range, or
// refuses with "input range" only for an integer outside it.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/json_codec.h"
#include "base/protocol_error.h"
#include "fuzz/fuzz_check.h"

namespace {

using ov::Json;

std::optional<Json> TryParse(std::string_view text, bool manifest, bool& tooDeep) {
  tooDeep = false;
  try {
    return manifest ? ov::BoundedJson(text) : ov::ParseMessage(text);
  } catch (const Json::exception&) {
    return std::nullopt;
  } catch (const ov::ProtocolError& e) {
    const std::string expected = manifest ? "Update verification failed" : "message nesting";
    OV_FUZZ_CHECK(e.what() == expected);
    tooDeep = true;
    return std::nullopt;
  }
}

// The deepest parse event of valid JSON text, counted on the text: each key, value or container
// start is at the number of containers open around it (a container's end is where its start was).
// Duplicate keys count too, though the parsed value keeps only the last of them.
int TextDepth(std::string_view text) {
  int open = 0;
  int deepest = 0;
  bool inString = false;
  bool inToken = false;  // inside a number or a literal
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    const bool separator = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ':';
    if (separator || c == '[' || c == '{' || c == ']' || c == '}' || c == '"') inToken = false;
    if (c == '[' || c == '{') {
      deepest = std::max(deepest, open);
      ++open;
    } else if (c == ']' || c == '}') {
      --open;
    } else if (c == '"') {
      deepest = std::max(deepest, open);
      inString = true;
    } else if (!separator && !inToken) {
      deepest = std::max(deepest, open);
      inToken = true;
    }
  }
  return deepest;
}

bool HasNonFiniteNumber(const Json& value) {
  if (value.is_number_float()) return !std::isfinite(value.get<double>());
  if (value.is_structured()) {
    for (const Json& child : value) {
      if (HasNonFiniteNumber(child)) return true;
    }
  }
  return false;
}

void CheckRequireInt(const Json& message, const std::string& name, std::int32_t min,
                     std::int32_t max) {
  std::int32_t value = 0;
  try {
    value = ov::RequireInt(message, name, min, max);
  } catch (const ov::ProtocolError& e) {
    const std::string reason = e.what();
    OV_FUZZ_CHECK(reason == "input range" || reason == "input number");
    const Json& member = message.at(name);
    if (reason == "input number") OV_FUZZ_CHECK(!member.is_number_integer());
    if (reason == "input range") {
      OV_FUZZ_CHECK(member.is_number_integer());
      if (member.is_number_unsigned()) {
        const std::uint64_t held = member.get<std::uint64_t>();
        const bool below = min > 0 && held < static_cast<std::uint64_t>(min);
        const bool above = max < 0 || held > static_cast<std::uint64_t>(max);
        OV_FUZZ_CHECK(below || above);
      } else {
        const std::int64_t held = member.get<std::int64_t>();
        OV_FUZZ_CHECK(held < min || held > max);
      }
    }
    return;
  } catch (const Json::type_error&) {
    OV_FUZZ_CHECK(!message.is_object());
    return;
  } catch (const Json::out_of_range&) {
    OV_FUZZ_CHECK(message.is_object() && !message.contains(name));
    return;
  }
  OV_FUZZ_CHECK(min <= value && value <= max);
  const Json& member = message.at(name);
  OV_FUZZ_CHECK(member.is_number_integer());
  if (member.is_number_unsigned()) {
    OV_FUZZ_CHECK(member.get<std::uint64_t>() == static_cast<std::uint64_t>(value));
  } else {
    OV_FUZZ_CHECK(member.get<std::int64_t>() == value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  bool messageTooDeep = false;
  bool manifestTooDeep = false;
  const std::optional<Json> message = TryParse(text, /*manifest=*/false, messageTooDeep);
  const std::optional<Json> manifest = TryParse(text, /*manifest=*/true, manifestTooDeep);

  // What the manifest reader takes, the message reader takes too, as the same value; what is too
  // deep for a message is too deep for the manifest.
  if (manifest) OV_FUZZ_CHECK(message && *message == *manifest);
  if (messageTooDeep) OV_FUZZ_CHECK(manifestTooDeep);
  // No JSON text holds a NUL byte (the library alone would stop reading at one); on any other
  // valid JSON the nesting bound alone decides.
  if (text.find('\0') != std::string_view::npos) {
    OV_FUZZ_CHECK(!message && !manifest);
  } else if (!Json::parse(text, nullptr, /*allow_exceptions=*/false).is_discarded()) {
    const int depth = TextDepth(text);
    OV_FUZZ_CHECK(message.has_value() == (depth <= 4) && messageTooDeep == (depth > 4));
    OV_FUZZ_CHECK(manifest.has_value() == (depth <= 3) && manifestTooDeep == (depth > 3));
  }
  if (!message) return 0;

  if (!HasNonFiniteNumber(*message)) {
    const std::string written = ov::SerializeMessage(*message);
    bool tooDeep = false;
    const std::optional<Json> again = TryParse(written, /*manifest=*/false, tooDeep);
    OV_FUZZ_CHECK(again && *again == *message);
    OV_FUZZ_CHECK(ov::SerializeMessage(*again) == written);
  }

  // RequireInt over each member (and a missing one) with a range from the input's length.
  const std::int32_t bounds[][2] = {{0, 65535},
                                    {1, std::numeric_limits<std::int32_t>::max()},
                                    {std::numeric_limits<std::int32_t>::min(), -1},
                                    {-5, 5}};
  const auto& range = bounds[size % 4];
  CheckRequireInt(*message, "missing member", range[0], range[1]);
  if (message->is_object()) {
    for (const auto& member : message->items()) {
      CheckRequireInt(*message, member.key(), range[0], range[1]);
    }
  }
  return 0;
}
