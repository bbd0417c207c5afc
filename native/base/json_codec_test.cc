#include "base/json_codec.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace ov {
namespace {

std::string NestingError(std::string_view text) {
  try {
    ParseMessage(text);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(ParseMessage, NestingBoundIsDepthFour) {
  EXPECT_EQ(ParseMessage(R"({"a":{"b":{"c":{"d":1}}}})")["a"]["b"]["c"]["d"], 1);
  EXPECT_EQ(NestingError(R"({"a":{"b":{"c":{"d":{"e":1}}}}})"), "message nesting");
  // An empty container at the fifth level reports its start and end at depth 4.
  EXPECT_TRUE(ParseMessage(R"({"a":{"b":{"c":{"d":{}}}}})")["a"]["b"]["c"]["d"].is_object());
  EXPECT_TRUE(ParseMessage(R"({"a":{"b":{"c":{"d":[]}}}})")["a"]["b"]["c"]["d"].is_array());
  EXPECT_EQ(NestingError(R"({"a":{"b":{"c":{"d":[1]}}}})"), "message nesting");
  // Arrays count like objects.
  EXPECT_EQ(ParseMessage("[[[[1]]]]")[0][0][0][0], 1);
  EXPECT_EQ(NestingError("[[[[[1]]]]]"), "message nesting");
  // A deeply nested attack is refused long before it could exhaust the stack.
  EXPECT_EQ(NestingError(std::string(100000, '[') + std::string(100000, ']')), "message nesting");
}

TEST(ParseMessage, AcceptsExactlyOneValue) {
  EXPECT_TRUE(ParseMessage(std::string_view("[1,2]")).is_array());  // the caller refuses non-objects
  EXPECT_TRUE(ParseMessage(" {\"type\":\"x\"} \n\r\t").is_object());
  EXPECT_THROW(ParseMessage(R"({"a":1}{"b":2})"), Json::parse_error);
  EXPECT_THROW(ParseMessage(R"({"a":1} x)"), Json::parse_error);
  EXPECT_THROW(ParseMessage(""), Json::parse_error);
  EXPECT_THROW(ParseMessage(std::span<const std::uint8_t>()), Json::parse_error);  // no data at all
  EXPECT_THROW(ParseMessage(R"({"a":1,})"), Json::parse_error);
  EXPECT_THROW(ParseMessage("{\"a\":1 /* c */}"), Json::parse_error);
  EXPECT_THROW(ParseMessage("// c\n{}"), Json::parse_error);
  // The library alone would stop at a NUL byte and ignore what follows it.
  for (const std::string_view nul : {std::string_view("{}\0junk", 7), std::string_view("1\0", 2),
                                     std::string_view("\0", 1), std::string_view("[1,\0 2]", 7)}) {
    EXPECT_THROW(ParseMessage(nul), Json::parse_error) << nul.size();
    EXPECT_THROW(BoundedJson(nul), Json::parse_error) << nul.size();
  }
}

TEST(ParseMessage, RefusesInvalidUtf8AndKeepsLastDuplicate) {
  const std::uint8_t lone[] = {'"', 0x80, '"'};
  EXPECT_THROW(ParseMessage(std::span<const std::uint8_t>(lone)), Json::parse_error);
  const std::uint8_t overlong[] = {'"', 0xC0, 0xAF, '"'};
  EXPECT_THROW(ParseMessage(std::span<const std::uint8_t>(overlong)), Json::parse_error);
  const std::uint8_t fine[] = {'"', 0xC3, 0xA9, '"'};
  EXPECT_EQ(ParseMessage(std::span<const std::uint8_t>(fine)).get<std::string>(), "\xC3\xA9");
  EXPECT_EQ(ParseMessage(R"({"k":1,"k":2})")["k"], 2);
}

TEST(BoundedJson, NestingBoundIsDepthThreeWithUpdateText) {
  EXPECT_EQ(BoundedJson(R"({"a":{"b":{"c":1}}})")["a"]["b"]["c"], 1);
  try {
    BoundedJson(R"({"a":{"b":{"c":{"d":1}}}})");
    FAIL() << "depth 4 accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Update verification failed");
  }
  EXPECT_THROW(BoundedJson(R"({"a":1} 2)"), Json::parse_error);
}

TEST(SerializeMessage, CompactSortedUtf8AndStrict) {
  Json message;
  message["type"] = "register";
  message["role"] = "host";
  message["protocol"] = 3;
  EXPECT_EQ(SerializeMessage(message), R"({"protocol":3,"role":"host","type":"register"})");

  Json text = Json::object();
  text["text"] = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93 \"q\"\n";
  EXPECT_EQ(SerializeMessage(text), "{\"text\":\"Gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93 \\\"q\\\"\\n\"}");

  Json bad = Json::object();
  bad["text"] = std::string("ok\x80");
  EXPECT_THROW(SerializeMessage(bad), Json::type_error);
  Json badKey = Json::object();
  badKey[std::string("\xC3")] = 1;
  EXPECT_THROW(SerializeMessage(badKey), Json::type_error);

  // Written text parses back to the same value.
  Json round = ParseMessage(SerializeMessage(text));
  EXPECT_EQ(round, text);
}

TEST(RequireInt, AcceptsOnlyIntegersInRange) {
  const Json m = ParseMessage(
      R"({"max":65535,"over":65536,"neg":-1,"float":12.0,"str":"12","t":true,"n":null,)"
      R"("o":{},"a":[],"zero":0,"big":18446744073709551615,"min":-2147483648})");
  EXPECT_EQ(RequireInt(m, "max", 0, 65535), 65535);
  EXPECT_EQ(RequireInt(m, "zero", 0, 65535), 0);
  EXPECT_EQ(RequireInt(m, "neg", -1, 0), -1);
  EXPECT_EQ(RequireInt(m, "min", INT32_MIN, INT32_MAX), INT32_MIN);

  auto reason = [&](const char* name, std::int32_t lo, std::int32_t hi) -> std::string {
    try {
      RequireInt(m, name, lo, hi);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "accepted";
  };
  EXPECT_EQ(reason("over", 0, 65535), "input range");
  EXPECT_EQ(reason("neg", 0, 65535), "input range");
  EXPECT_EQ(reason("zero", 1, 10), "input range");
  EXPECT_EQ(reason("big", INT32_MIN, INT32_MAX), "input range");
  EXPECT_EQ(reason("max", -10, -1), "input range");
  for (const char* name : {"float", "str", "t", "n", "o", "a"}) {
    EXPECT_EQ(reason(name, 0, 65535), "input number") << name;
  }
  EXPECT_THROW(RequireInt(m, "missing", 0, 1), Json::out_of_range);
  EXPECT_THROW(RequireInt(Json::array({1}), "x", 0, 1), Json::type_error);
  EXPECT_THROW(RequireInt(Json("s"), "x", 0, 1), Json::type_error);
}

// Every string of a message that carried a confirmation is wiped, however deep it sits.
TEST(SecureClearStrings, WipesEveryStringAndKeepsTheShape) {
  Json message = {{"type", "authChallenge"},
                  {"confirmation", std::string(64, 'f')},
                  {"nested", {{"list", Json::array({"a", 1, Json::array({"deep"})})}}}};
  const std::string* confirmation = message["confirmation"].get_ptr<const std::string*>();
  const char* storage = confirmation->data();
  SecureClearStrings(message);
  EXPECT_EQ(SerializeMessage(message),
            R"({"confirmation":"","nested":{"list":["",1,[""]]},"type":""})");
  // Cleared in place: the buffer that held the confirmation was zeroed before anything freed it.
  EXPECT_EQ(confirmation->data(), storage);
  for (std::size_t i = 0; i < 64; ++i) EXPECT_EQ(storage[i], '\0') << i;
}

}  // namespace
}  // namespace ov
