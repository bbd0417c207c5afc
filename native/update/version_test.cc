#include "update/version.h"

#include <gtest/gtest.h>

#include <string>

namespace ov {
namespace {

TEST(Version, ParsesOnlyCanonicalTexts) {
  struct Case {
    std::string text;
    std::optional<Version> expected;
  };
  const Case cases[] = {
      {"0.3.9", Version{0, 3, 9}},
      {"0.3.10", Version{0, 3, 10}},
      {"0.0.0", Version{0, 0, 0}},
      {"65535.65535.65535", Version{65535, 65535, 65535}},  // 17 characters, the longest
      {"10.20.30", Version{10, 20, 30}},
      {"0.03.9", std::nullopt},  // leading zero
      {"00.3.9", std::nullopt},
      {"0.3.09", std::nullopt},
      {"65536.0.0", std::nullopt},  // above 65535
      {"0.0.99999", std::nullopt},
      {"0.0.100000", std::nullopt},  // six digits
      {"0.0.000001", std::nullopt},
      {"1.2", std::nullopt},
      {"1.2.3.4", std::nullopt},
      {"1.2.", std::nullopt},
      {".1.2", std::nullopt},
      {"1..2", std::nullopt},
      {"1.2.3 ", std::nullopt},
      {" 1.2.3", std::nullopt},
      {"+1.2.3", std::nullopt},
      {"1.-2.3", std::nullopt},
      {"1.2.3a", std::nullopt},
      {"v1.2.3", std::nullopt},
      {"1,2,3", std::nullopt},
      {std::string("1.2.3\0", 6), std::nullopt},
      {"\xd9\xa1.2.3", std::nullopt},  // a non-ASCII digit
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseVersion(c.text), c.expected);
  }
}

TEST(Version, ComparesPartByPartMajorFirst) {
  struct Case {
    const char* announced;
    const char* running;
    bool newer;
  };
  const Case cases[] = {
      {"0.3.9", "0.3.9", false},  // equal: up to date
      {"0.3.10", "0.3.9", true},  // numeric, not textual, order
      {"0.4.0", "0.3.9", true},
      {"1.0.0", "0.65535.65535", true},
      {"0.3.8", "0.3.9", false},  // older: up to date too
      {"0.2.99", "0.3.9", false},
      {"0.10.0", "0.9.65535", true},
      {"0.03.9", "0.3.9", false},  // invalid texts are never newer
      {"9.9.9", "0.3", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.announced) + " vs " + c.running);
    EXPECT_EQ(IsNewerVersion(c.announced, c.running), c.newer);
  }
  EXPECT_EQ(ParseVersion(kRunningVersion), (Version{0, 3, 9}));
}

}  // namespace
}  // namespace ov
