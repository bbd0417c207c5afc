#include "update/base64.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace ov {
namespace {

std::string Text(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

TEST(Base64, Rfc4648VectorsBothWays) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},         {"f", "Zg=="},       {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    SCOPED_TRACE(encoded);
    EXPECT_EQ(EncodeBase64(plain, std::char_traits<char>::length(plain)), encoded);
    const auto decoded = DecodeBase64Strict(encoded);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(Text(*decoded), plain);
  }
  // Every byte value and both characters beyond the letters and digits survive a round trip.
  std::vector<std::uint8_t> all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  const std::string encoded = EncodeBase64(all.data(), all.size());
  EXPECT_NE(encoded.find('+'), std::string::npos);
  EXPECT_NE(encoded.find('/'), std::string::npos);
  EXPECT_EQ(DecodeBase64Strict(encoded), all);
}

TEST(Base64, RefusesEveryNonCanonicalText) {
  for (const char* bad : {
           "Zg",          // unpadded
           "Zg=",         // short padding
           "Zg===",       // too much padding
           "Z===",        // three '='
           "====",
           "Zm9vYg==Zm9v",  // padding in the middle
           "Zm=v",        // '=' inside a group
           "Zm9vYg==\n",  // trailing line break
           "Zm9v\r\nYmFy",
           "Zm9v YmFy",
           " Zm9v",
           "Zm9v-_==",    // URL-safe alphabet
           "Zh==",        // 'h' leaves non-zero bits under the padding
           "Zm9=",        // '9' likewise
           "Zm9vYmFyA",   // a lone extra character
           "Zm9v\xc3\xa9",
       }) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(DecodeBase64Strict(bad).has_value());
  }
  // Trailing bytes after a complete text, including a NUL, are refused.
  EXPECT_FALSE(DecodeBase64Strict(std::string("Zm9vYmFy\0\0\0\0", 12)).has_value());
  EXPECT_FALSE(DecodeBase64Strict(std::string("Zm9v\0mFy", 8)).has_value());
}

TEST(Base64, UpdateBoundsOnTextAndBytes) {
  const auto fail = [](const std::string& text) {
    try {
      DecodeUpdateBase64(text);
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  const std::vector<std::uint8_t> max(kUpdateBase64MaxBytes, 0xa5);
  const std::string maxText = EncodeBase64(max.data(), max.size());  // 21848 characters
  EXPECT_EQ(DecodeUpdateBase64(maxText), max);
  const std::vector<std::uint8_t> over(kUpdateBase64MaxBytes + 1, 0xa5);
  EXPECT_EQ(fail(EncodeBase64(over.data(), over.size())), "Update verification failed");
  EXPECT_EQ(fail(""), "Update verification failed");
  EXPECT_EQ(fail("Zg"), "Update verification failed");
  // Any strict text above 21848 characters decodes to more than 16384 bytes, so the byte bound
  // refuses these before the 24000-character bound matters; both give the same text.
  EXPECT_EQ(fail(std::string(kUpdateBase64MaxText, 'A')), "Update verification failed");
  EXPECT_EQ(fail(std::string(kUpdateBase64MaxText + 4, 'A')), "Update verification failed");
  EXPECT_EQ(DecodeUpdateBase64("AAAA"), std::vector<std::uint8_t>(3, 0));
}

}  // namespace
}  // namespace ov
