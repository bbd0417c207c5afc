#include "update/manifest.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "update/base64.h"
#include "update/manifest_verify.h"
#include "update/testing/test_release_key.h"

namespace ov {
namespace {

using testing::EnvelopeOf;
using testing::PayloadText;
using testing::TestReleaseKey;

const std::string kDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::string B64(std::string_view text) { return EncodeBase64(text.data(), text.size()); }
std::string B64(const std::vector<std::uint8_t>& bytes) { return EncodeBase64(bytes.data(), bytes.size()); }

// The outcome of VerifyManifest: "ok" or the failure's text.
std::string Outcome(const std::string& envelope, const std::string& key, ReleaseManifest* out = nullptr) {
  try {
    const ReleaseManifest manifest = VerifyManifest(envelope, key);
    if (out != nullptr) *out = manifest;
    return "ok";
  } catch (const std::exception& e) {
    return e.what();
  }
}

class ManifestTest : public ::testing::Test {
 protected:
  std::string Signed(const std::string& payload) const { return key_.Envelope(payload); }
  // A payload text with one member replaced by a raw JSON value.
  static std::string With(const std::string& member, const std::string& rawValue) {
    Json payload = ParseMessage(PayloadText("0.4.0", 65536, kDigest));
    payload[member] = ParseMessage(rawValue);
    return SerializeMessage(payload);
  }

  TestReleaseKey key_;
};

TEST_F(ManifestTest, AcceptsAWellSignedPayloadAndReturnsItsMembers) {
  for (const char* version : {"0.3.9", "0.3.10", "0.4.0", "65535.65535.65535", "0.0.0"}) {
    SCOPED_TRACE(version);
    ReleaseManifest manifest;
    ASSERT_EQ(Outcome(Signed(PayloadText(version, 65536, kDigest)), key_.publicBase64(), &manifest), "ok");
    EXPECT_EQ(manifest, (ReleaseManifest{version, 65536, kDigest}));
  }
  ReleaseManifest largest;
  ASSERT_EQ(Outcome(Signed(PayloadText("1.0.0", 33554432, kDigest)), key_.publicBase64(), &largest), "ok");
  EXPECT_EQ(largest.bytes, 33554432u);
  // The release tool writes payloads with SerializeManifestPayload: the same text.
  EXPECT_EQ(SerializeManifestPayload({"0.4.0", 65536, kDigest}), PayloadText("0.4.0", 65536, kDigest));
}

// Every envelope failure, in the order the checks run.
TEST_F(ManifestTest, EnvelopeFailuresHaveTheirTexts) {
  const TestReleaseKey other;
  const std::string payload = PayloadText("0.4.0", 65536, kDigest);
  const std::string signature = B64(key_.Sign({reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()}));
  const std::string key = key_.publicBase64();
  std::vector<std::uint8_t> keyBytes = *DecodeBase64Strict(key);
  std::vector<std::uint8_t> offCurve = keyBytes;
  offCurve[40] ^= 1;
  std::vector<std::uint8_t> flipped = *DecodeBase64Strict(signature);
  flipped[10] ^= 0x80;
  const std::vector<std::uint8_t> sig63(63, 1), sig65(65, 1);
  const std::string padded = Signed(payload) + std::string(16384 - Signed(payload).size(), ' ');

  struct Case {
    const char* name;
    std::string envelope;
    std::string key;
    std::string expected;  // a text, or a prefix ending in '*'
  } cases[] = {
      {"16384 bytes with white space", padded, key, "ok"},
      {"empty", "", key, "manifest bound"},
      {"16385 bytes", padded + " ", key, "manifest bound"},
      {"not JSON", "{\"payload\":", key, "[json.exception.parse_error*"},
      {"comment", "/**/" + Signed(payload), key, "[json.exception.parse_error*"},
      {"too deep", "{\"payload\":[[[\"x\"]]],\"signature\":\"\"}", key, "Update verification failed"},
      {"array", "[\"" + B64(payload) + "\",\"" + signature + "\"]", key, "manifest envelope"},
      {"one member", "{\"payload\":\"" + B64(payload) + "\"}", key, "manifest envelope"},
      {"three members", "{\"payload\":\"" + B64(payload) + "\",\"signature\":\"" + signature + "\",\"x\":1}", key,
       "manifest envelope"},
      {"other name", "{\"payload\":\"" + B64(payload) + "\",\"sig\":\"" + signature + "\"}", key,
       "manifest envelope"},
      {"payload a number", "{\"payload\":5,\"signature\":\"" + signature + "\"}", key, "[json.exception.type_error*"},
      {"payload empty", EnvelopeOf("", signature), key, "Update verification failed"},
      {"payload trailing garbage", EnvelopeOf(B64(payload) + "!", signature), key, "Update verification failed"},
      {"signature with a line break", EnvelopeOf(B64(payload), signature.substr(0, 64) + "\n" + signature.substr(64)),
       key, "Update verification failed"},
      {"key not Base64", Signed(payload), key.substr(0, 95) + "*", "Update verification failed"},
      {"signature of 63 bytes", EnvelopeOf(B64(payload), B64(sig63)), key, "manifest lengths"},
      {"signature of 65 bytes", EnvelopeOf(B64(payload), B64(sig65)), key, "manifest lengths"},
      {"payload of 8193 bytes", EnvelopeOf(B64(std::string(8193, ' ')), signature), key, "manifest lengths"},
      {"key of 69 bytes", Signed(payload), B64(std::vector<std::uint8_t>(keyBytes.begin(), keyBytes.end() - 3)),
       "manifest lengths"},
      {"key off the curve", Signed(payload), B64(offCurve), "signature key"},
      {"signature over another payload", EnvelopeOf(B64(PayloadText("0.4.1", 65536, kDigest)), signature), key,
       "manifest signature"},
      {"signature with a flipped bit", EnvelopeOf(B64(payload), B64(flipped)), key, "manifest signature"},
      {"another key's signature", other.Envelope(payload), key, "manifest signature"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string outcome = Outcome(c.envelope, c.key);
    if (c.expected.back() == '*') {
      EXPECT_EQ(outcome.substr(0, c.expected.size() - 1), c.expected.substr(0, c.expected.size() - 1)) << outcome;
    } else {
      EXPECT_EQ(outcome, c.expected);
    }
  }
}

// Every payload failure, signed correctly, so only the payload's rules can refuse it.
TEST_F(ManifestTest, PayloadFailuresHaveTheirTexts) {
  const std::string valid = PayloadText("0.4.0", 65536, kDigest);
  Json sixMembers = ParseMessage(valid);
  sixMembers["extra"] = 1;
  Json fourMembers = ParseMessage(valid);
  fourMembers.erase("sha256");
  Json renamed = fourMembers;
  renamed["digest"] = kDigest;

  struct Case {
    const char* name;
    std::string payload;
    std::string expected;
  } cases[] = {
      {"bytes 65536", valid, "ok"},
      {"not JSON", "{\"schema\":1", "[json.exception.parse_error*"},
      {"too deep", With("sha256", "{\"a\":{\"b\":[1]}}"), "Update verification failed"},
      {"array", "[1,2,3,4,5]", "manifest schema"},
      {"four members", SerializeMessage(fourMembers), "manifest schema"},
      {"six members", SerializeMessage(sixMembers), "manifest schema"},
      {"schema 2", With("schema", "2"), "manifest schema"},
      {"schema 0", With("schema", "0"), "manifest schema"},
      {"schema -1", With("schema", "-1"), "manifest schema"},
      {"schema 1.0", With("schema", "1.0"), "manifest schema"},
      {"schema a string", With("schema", "\"1\""), "manifest schema"},
      {"other platform", With("platform", "\"windows-arm64\""), "manifest schema"},
      {"platform a number", With("platform", "64"), "[json.exception.type_error*"},
      {"version 0.03.9", With("version", "\"0.03.9\""), "manifest version"},
      {"version of two parts", With("version", "\"0.4\""), "manifest version"},
      {"version 65536.0.0", With("version", "\"65536.0.0\""), "manifest version"},
      {"version a number", With("version", "4"), "[json.exception.type_error*"},
      {"bytes 65535", With("bytes", "65535"), "manifest size"},
      {"bytes 33554433", With("bytes", "33554433"), "manifest size"},
      {"bytes -65536", With("bytes", "-65536"), "manifest size"},
      {"bytes 65536.0", With("bytes", "65536.0"), "manifest size"},
      {"bytes a string", With("bytes", "\"65536\""), "[json.exception.type_error*"},
      {"sha256 upper case", With("sha256", "\"" + std::string(64, 'A') + "\""), "manifest hash"},
      {"sha256 of 63", With("sha256", "\"" + kDigest.substr(1) + "\""), "manifest hash"},
      {"sha256 of 65", With("sha256", "\"" + kDigest + "0\""), "manifest hash"},
      {"sha256 a number", With("sha256", "0"), "[json.exception.type_error*"},
      {"sha256 missing, five members", SerializeMessage(renamed), "[json.exception.out_of_range*"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string outcome = Outcome(Signed(c.payload), key_.publicBase64());
    if (c.expected.back() == '*') {
      EXPECT_EQ(outcome.substr(0, c.expected.size() - 1), c.expected.substr(0, c.expected.size() - 1)) << outcome;
    } else {
      EXPECT_EQ(outcome, c.expected);
    }
  }
}

TEST(ReleaseBody, OnlyTheAnnouncedBytesPass) {
  std::vector<std::uint8_t> body(65536, 0x90);
  body[0] = 'M';
  body[1] = 'Z';
  // SHA-256 of this body, computed independently (Python hashlib).
  const ReleaseManifest manifest{"0.4.0", 65536, "ff0da711b4acedcde4aed12be267e36bba83437c817f025377a029debe31dbd9"};
  auto outcome = [](const std::vector<std::uint8_t>& b, const ReleaseManifest& m) -> std::string {
    try {
      VerifyReleaseBody(b, m);
      return "ok";
    } catch (const std::exception& e) {
      return e.what();
    }
  };
  std::vector<std::uint8_t> notMz = body;
  notMz[1] = 'Y';
  std::vector<std::uint8_t> longer = body;
  longer.push_back(0);
  ReleaseManifest otherDigest = manifest;
  otherDigest.sha256[63] = otherDigest.sha256[63] == '0' ? '1' : '0';
  EXPECT_EQ(outcome(body, manifest), "ok");
  EXPECT_EQ(outcome(body, otherDigest), "Update verification failed");
  EXPECT_EQ(outcome(notMz, manifest), "Update verification failed");
  EXPECT_EQ(outcome(longer, manifest), "Update verification failed");
  EXPECT_EQ(outcome({'M', 'Z'}, {"0.4.0", 2, manifest.sha256}), "Update verification failed");
  EXPECT_FALSE(HasReleaseShape(std::vector<std::uint8_t>{'M'}, 1));
  EXPECT_EQ(ReleasePath("0.4.0"), "/download/releases/0.4.0/Orvantis.exe");
  EXPECT_EQ(ManifestPath(1234), "/download/update.json?check=1234");
  EXPECT_EQ(DownloadFileName("0.4.0", "0a1b2c3d"), "Kestrova-0.4.0-0a1b2c3d.exe");
}

}  // namespace
}  // namespace ov
