#include "crypto/primitives.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "crypto/test_util.h"

namespace ov {
namespace {

using testing::Bytes;
using testing::FromHex;
using testing::ToHex;

template <class E, class F>
std::string ThrownText(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "no exception";
}

std::string Hmac(const std::vector<std::uint8_t>& key, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> out(32);
  HmacSha256(key.data(), key.size(), data.data(), data.size(), out.data());
  return ToHex(out);
}

TEST(Hmac, Rfc4231Vectors) {
  EXPECT_EQ(Hmac(std::vector<std::uint8_t>(20, 0x0b), Bytes("Hi There")),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(Hmac(Bytes("Jefe"), Bytes("what do ya want for nothing?")),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(Hmac(std::vector<std::uint8_t>(20, 0xaa), std::vector<std::uint8_t>(50, 0xdd)),
            "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
  // A key longer than the block is hashed first.
  EXPECT_EQ(Hmac(std::vector<std::uint8_t>(131, 0xaa),
                 Bytes("Test Using Larger Than Block-Size Key - Hash Key First")),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
  // Empty key and empty data.
  EXPECT_EQ(Hmac({}, {}), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

TEST(Hmac, RefusesOversizedInputsBeforeTouchingThem) {
  std::uint8_t out[32];
  const std::uint8_t byte = 0;
  // The lengths are checked first, so the (tiny) buffers are never read at these sizes.
  EXPECT_EQ(ThrownText<std::length_error>(
                [&] { HmacSha256(&byte, 4294967296ULL, &byte, 1, out); }),
            "HMAC input too large");
  EXPECT_EQ(ThrownText<std::length_error>(
                [&] { HmacSha256(&byte, 1, &byte, 4294967296ULL, out); }),
            "HMAC input too large");
}

TEST(Hkdf, Rfc5869Vectors) {
  // Test case 1: extract with a salt, then expand 42 bytes.
  const auto ikm = std::vector<std::uint8_t>(22, 0x0b);
  const auto salt = FromHex("000102030405060708090a0b0c");
  const auto info = FromHex("f0f1f2f3f4f5f6f7f8f9");
  std::vector<std::uint8_t> prk(32);
  HmacSha256(salt.data(), salt.size(), ikm.data(), ikm.size(), prk.data());
  EXPECT_EQ(ToHex(prk), "077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5");
  std::vector<std::uint8_t> okm(42);
  HkdfExpandSha256(prk.data(), info.data(), info.size(), okm.data(), okm.size());
  EXPECT_EQ(ToHex(okm),
            "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");

  // Test case 3: empty salt (zero-length key) and empty info.
  HmacSha256(nullptr, 0, ikm.data(), ikm.size(), prk.data());
  EXPECT_EQ(ToHex(prk), "19ef24a32c717b167f33a91d6f648bdf96596776afdb6377ac434c1c293ccb04");
  HkdfExpandSha256(prk.data(), nullptr, 0, okm.data(), okm.size());
  EXPECT_EQ(ToHex(okm),
            "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8");
}

TEST(Hkdf, LimitsAndBlockBoundaries) {
  std::vector<std::uint8_t> prk(32, 7);
  std::vector<std::uint8_t> out(8161);
  const std::string info = "ctx";
  HkdfExpandSha256(prk.data(), info.data(), info.size(), out.data(), 8160);  // 255 blocks
  EXPECT_EQ(ThrownText<std::length_error>([&] {
              HkdfExpandSha256(prk.data(), info.data(), info.size(), out.data(), 8161);
            }),
            "HKDF output too large");
  std::vector<std::uint8_t> bigInfo(4097);
  EXPECT_EQ(ThrownText<std::length_error>([&] {
              HkdfExpandSha256(prk.data(), bigInfo.data(), bigInfo.size(), out.data(), 32);
            }),
            "HKDF output too large");
  HkdfExpandSha256(prk.data(), bigInfo.data(), 4096, out.data(), 32);  // 4096 is allowed

  // Output is a prefix-stable stream: the first 32 bytes of a 33-byte output are the one-block
  // output, and the 33rd byte is the start of the second block T(2) = HMAC(T(1) | info | 2).
  std::vector<std::uint8_t> one(32), two(33);
  HkdfExpandSha256(prk.data(), info.data(), info.size(), one.data(), 32);
  HkdfExpandSha256(prk.data(), info.data(), info.size(), two.data(), 33);
  EXPECT_TRUE(std::equal(one.begin(), one.end(), two.begin()));
  std::vector<std::uint8_t> blockInput(one);
  blockInput.insert(blockInput.end(), info.begin(), info.end());
  blockInput.push_back(2);
  std::vector<std::uint8_t> t2(32);
  HmacSha256(prk.data(), 32, blockInput.data(), blockInput.size(), t2.data());
  EXPECT_EQ(two[32], t2[0]);
  EXPECT_EQ(out[8159], [&] {
    std::vector<std::uint8_t> again(8160);
    HkdfExpandSha256(prk.data(), info.data(), info.size(), again.data(), again.size());
    return again[8159];
  }());
}

TEST(Sha256Stream, KnownDigestsAndChunkRules) {
  EXPECT_EQ(Sha256Stream().FinishHex(),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  Sha256Stream abc;
  abc.Update("ab", 2);
  abc.Update("", 0);
  abc.Update("c", 1);
  EXPECT_EQ(abc.FinishHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(abc.FinishHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { abc.Update("d", 1); }), "SHA256 chunk");

  // One million 'a' in the largest allowed pieces (30 x 32768 + remainder).
  Sha256Stream million;
  const std::vector<std::uint8_t> piece(kSha256ChunkLimit, 'a');
  std::size_t left = 1000000;
  while (left > 0) {
    const std::size_t n = std::min(left, piece.size());
    million.Update(piece.data(), n);
    left -= n;
  }
  EXPECT_EQ(million.FinishHex(),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

  Sha256Stream tooBig;
  const std::vector<std::uint8_t> big(kSha256ChunkLimit + 1, 'a');
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { tooBig.Update(big.data(), big.size()); }),
            "SHA256 chunk");

  // Moving keeps the running digest.
  Sha256Stream first;
  first.Update("ab", 2);
  Sha256Stream moved(std::move(first));
  moved.Update("c", 1);
  EXPECT_EQ(moved.FinishHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(AesGcm, PublishedVectors) {
  AesGcmProvider provider;
  OpenAesGcmProvider(provider);
  ASSERT_TRUE(provider.IsOpen());
  struct Vector {
    const char *key, *iv, *aad, *plaintext, *ciphertext, *tag;
  };
  // McGrew & Viega, "The Galois/Counter Mode of Operation", test cases 13 to 16 (AES-256).
  const Vector vectors[] = {
      {"0000000000000000000000000000000000000000000000000000000000000000",
       "000000000000000000000000", "", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
      {"0000000000000000000000000000000000000000000000000000000000000000",
       "000000000000000000000000", "", "00000000000000000000000000000000",
       "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
      {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
       "cafebabefacedbaddecaf888", "",
       "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e24"
       "49a6b525b16aedf5aa0de657ba637b391aafd255",
       "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b10"
       "56828838c5f61e6393ba7a0abcc9f662898015ad",
       "b094dac5d93471bdec1a502270e3cc6c"},
      {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
       "cafebabefacedbaddecaf888", "feedfacedeadbeeffeedfacedeadbeefabaddad2",
       "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e24"
       "49a6b525b16aedf5aa0de657ba637b39",
       "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b10"
       "56828838c5f61e6393ba7a0abcc9f662",
       "76fc6ece0f4e1768cddf8853bb2d551b"},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.tag);
    const auto key = FromHex(v.key);
    const auto iv = FromHex(v.iv);
    const auto aad = FromHex(v.aad);
    const auto plaintext = FromHex(v.plaintext);
    AesGcmKey gcm(provider, key.data());
    std::vector<std::uint8_t> ciphertext(plaintext.size() + 1);
    std::vector<std::uint8_t> tag(16);
    std::size_t written = 99;
    ASSERT_TRUE(gcm.Encrypt(iv.data(), aad.data(), aad.size(), plaintext.data(), plaintext.size(),
                            ciphertext.data(), tag.data(), written));
    ASSERT_EQ(written, plaintext.size());
    ciphertext.resize(written);
    EXPECT_EQ(ToHex(ciphertext), v.ciphertext);
    EXPECT_EQ(ToHex(tag), v.tag);

    std::vector<std::uint8_t> opened(plaintext.size() + 1);
    ASSERT_TRUE(gcm.Decrypt(iv.data(), aad.data(), aad.size(), ciphertext.data(),
                            ciphertext.size(), tag.data(), opened.data(), written));
    opened.resize(written);
    EXPECT_EQ(opened, plaintext);

    tag[15] ^= 1;
    EXPECT_FALSE(gcm.Decrypt(iv.data(), aad.data(), aad.size(), ciphertext.data(),
                             ciphertext.size(), tag.data(), opened.data(), written));
  }
}

TEST(Random, HexAndLimits) {
  EXPECT_EQ(RandomHex(0), "");
  const std::string a = RandomHex(16);
  const std::string b = RandomHex(16);
  EXPECT_TRUE(IsLowerHex(a, 32));
  EXPECT_NE(a, b);
  EXPECT_EQ(ThrownText<std::length_error>([] { RandomHex(4294967296ULL); }),
            "Random buffer too large");
  // Every byte value shows up over enough draws (catches a broken or constant generator).
  std::set<std::uint8_t> seen;
  std::uint8_t buffer[4096];
  SystemRandom(buffer, sizeof buffer);
  seen.insert(buffer, buffer + sizeof buffer);
  EXPECT_GT(seen.size(), 250u);
}

TEST(Hex, EncodeDecodeRules) {
  const std::uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
  EXPECT_EQ(HexEncode(bytes, 4), "000fa5ff");
  std::uint8_t out[4] = {};
  EXPECT_TRUE(HexDecode("000fa5ff", out, 4));
  EXPECT_EQ(std::vector<std::uint8_t>(out, out + 4), std::vector<std::uint8_t>(bytes, bytes + 4));
  std::uint8_t one = 0;
  EXPECT_FALSE(HexDecode("AB", &one, 1));   // uppercase
  EXPECT_FALSE(HexDecode("abc", &one, 1));  // wrong length
  EXPECT_FALSE(HexDecode("a", &one, 1));
  EXPECT_FALSE(HexDecode("g0", &one, 1));
  EXPECT_TRUE(HexDecode("", nullptr, 0));
}

TEST(DeviceId, DrawMappingAndValidation) {
  EXPECT_EQ(DeviceIdFromDraw(3599999999U), "999999999");
  EXPECT_EQ(DeviceIdFromDraw(3600000000U), std::nullopt);
  EXPECT_EQ(DeviceIdFromDraw(4294967295U), std::nullopt);
  EXPECT_EQ(DeviceIdFromDraw(0), "100000000");
  EXPECT_EQ(DeviceIdFromDraw(900000000U), "100000000");
  EXPECT_EQ(DeviceIdFromDraw(123456788U), "223456788");

  for (int i = 0; i < 200; ++i) {
    const std::string id = GenerateDeviceId();
    ASSERT_TRUE(IsValidDeviceId(id)) << id;
  }
  EXPECT_TRUE(IsValidDeviceId("123456789"));
  EXPECT_FALSE(IsValidDeviceId("012345678"));
  EXPECT_FALSE(IsValidDeviceId("12345678"));
  EXPECT_FALSE(IsValidDeviceId("1234567890"));
  EXPECT_FALSE(IsValidDeviceId("12345678a"));
  EXPECT_FALSE(IsValidDeviceId(""));

  EXPECT_EQ(NormalizeDeviceIdInput(L"123-456-789"), "123456789");
  EXPECT_EQ(NormalizeDeviceIdInput(L"123 456 789"), "123456789");
  EXPECT_EQ(NormalizeDeviceIdInput(L" 1a2\x0663" L"3"), "123");  // Arabic-Indic digit dropped
  EXPECT_EQ(NormalizeDeviceIdInput(L"0123456789"), "0123456789");  // caller refuses 10 digits
  EXPECT_EQ(FormatDeviceId("123456789"), "123 456 789");
}

TEST(SessionPassword, MappingNormalisationAndFormat) {
  const std::uint8_t draws[8] = {0, 32, 224, 31, 255, 8, 14, 23};
  EXPECT_EQ(SessionPasswordFromBytes(draws), "AAA99JQZ");
  for (int i = 0; i < 200; ++i) {
    const std::string password = GenerateSessionPassword();
    ASSERT_TRUE(IsValidSessionPassword(password)) << password;
  }
  EXPECT_EQ(NormalizeSessionPassword("abcd-efgh"), "ABCDEFGH");
  EXPECT_EQ(NormalizeSessionPassword("abcd efgh"), "ABCDEFGH");
  EXPECT_EQ(NormalizeSessionPassword(" abcd - efgh\t\r\n\v\f"), "ABCDEFGH");
  EXPECT_EQ(NormalizeSessionPassword("abcd_efgh"), "ABCD_EFGH");
  EXPECT_FALSE(IsValidSessionPassword(NormalizeSessionPassword("abcd_efgh")));
  EXPECT_EQ(NormalizeSessionPassword("\xC3\xA9"), "\xC3\xA9");  // non-ASCII passes through
  for (const char* bad : {"ABCDEFGI", "ABCDEFGO", "ABCDEFG0", "ABCDEFG1", "ABCDEFG", "ABCDEFGHJ",
                          "abcdefgh"}) {
    EXPECT_FALSE(IsValidSessionPassword(bad)) << bad;
  }
  EXPECT_EQ(FormatSessionPassword("ABCD2345"), "ABCD-2345");
  EXPECT_EQ(FormatSessionPassword("ABCD234"), "");
  EXPECT_EQ(FormatSessionPassword("ABCD234I"), "");
}

TEST(ConstantTimeEqual, ComparesWholeLength) {
  const std::uint8_t a[] = {1, 2, 3, 4};
  const std::uint8_t b[] = {1, 2, 3, 5};
  EXPECT_TRUE(ConstantTimeEqual(a, a, 4));
  EXPECT_FALSE(ConstantTimeEqual(a, b, 4));
  EXPECT_TRUE(ConstantTimeEqual(a, b, 3));
  EXPECT_TRUE(ConstantTimeEqual(a, b, 0));
}

// ---- ECDSA P-256 -------------------------------------------------------------------------------

constexpr const char* kOrderHex = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
constexpr const char* kPrimeHex = "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff";

std::vector<std::uint8_t> EcdsaBlob(std::string_view x, std::string_view y,
                                    std::uint32_t magic = kEcdsaP256PublicMagic,
                                    std::uint32_t keyLength = 32) {
  std::vector<std::uint8_t> blob;
  for (std::uint32_t word : {magic, keyLength}) {
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
  }
  for (std::string_view half : {x, y}) {
    const auto bytes = FromHex(half);
    blob.insert(blob.end(), bytes.begin(), bytes.end());
  }
  return blob;
}

// n - v for a 32-byte big-endian v < n: the other form of s, or the negated Y (with p).
std::string Negate(std::string_view modulusHex, std::string_view valueHex) {
  const auto m = FromHex(modulusHex);
  const auto v = FromHex(valueHex);
  std::vector<std::uint8_t> out(32);
  int borrow = 0;
  for (std::size_t i = 32; i-- > 0;) {
    const int d = m[i] - v[i] - borrow;
    out[i] = static_cast<std::uint8_t>(d & 0xff);
    borrow = d < 0;
  }
  return ToHex(out);
}

// Flips the lowest bit of hex digit `index`.
std::string FlipBit(std::string hex, std::size_t index) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  hex[index] = kDigits[kDigits.find(hex[index]) ^ 1];
  return hex;
}

enum class Verdict { kValid, kInvalid, kKeyRefused };

Verdict VerifyVerdict(const std::vector<std::uint8_t>& blob, std::string_view message,
                      std::string_view r, std::string_view s) {
  auto signature = FromHex(r);
  const auto sBytes = FromHex(s);
  signature.insert(signature.end(), sBytes.begin(), sBytes.end());
  try {
    return VerifyEcdsaP256Sha256(blob.data(), message.empty() ? nullptr : message.data(),
                                 message.size(), signature.data())
               ? Verdict::kValid
               : Verdict::kInvalid;
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "signature key");
    return Verdict::kKeyRefused;
  }
}

// RFC 6979, A.2.5: the P-256 key and its deterministic SHA-256 signatures of "sample" (whose s
// is the high form) and "test" (low form).
constexpr const char* kRfcX = "60fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6";
constexpr const char* kRfcY = "7903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299";
constexpr const char* kSampleR = "efd48b2aacb6a8fd1140dd9cd45e81d69d2c877b56aaf991c34d0ea84eaf3716";
constexpr const char* kSampleS = "f7cb1c942d657c41d436c7a1b6e29f65f3e900dbb9aff4064dc4ab2f843acda8";
constexpr const char* kTestR = "f1abb023518351cd71d881567b1ea663ed3efcf6c5132b354f28d3b0b7d38367";
constexpr const char* kTestS = "019f4113742a2b14bd25926b49c649155f267e60d3814b4c0cc84250e46f0083";
// A key and signatures made by the OpenSSL command line (randomised k), over the empty message
// (high s) and over {"schema":1} (low s).
constexpr const char* kSslX = "161daa4645d178cf278d6114ea89acee3490e4ba7cd21ed4ca88db6734214be8";
constexpr const char* kSslY = "b67dd201a73737cfdd1f7b10dc17e678f7b007243c51fa32de7ceadfc216698b";
constexpr const char* kEmptyR = "06d401b99312c3388740de5928d50edf4179a877d5312ed196091a35836832cc";
constexpr const char* kEmptyS = "af05447dbe5a1f77afb09ef2a5db855d5e5f8218f7bf088d40c87c51a2aaa12c";
constexpr const char* kSchemaR = "0c90178fdbcdaf27ed8309cbee78b0e508a524cd73eba3ff01ded60280f3a8b6";
constexpr const char* kSchemaS = "3ef9217a00adc0cb70d00f122823a2ba5c0e45db99281ee71f922a3acd63e9e0";

// The same table runs against CNG (Windows, Wine) and BoringSSL (Linux): identical verdicts.
TEST(EcdsaP256, VerdictsOnPublishedAndDerivedCases) {
  const auto rfc = EcdsaBlob(kRfcX, kRfcY);
  const auto ssl = EcdsaBlob(kSslX, kSslY);
  const std::string zero(64, '0');
  const std::string one = std::string(63, '0') + "1";
  const std::string ones(64, 'f');
  const std::string orderMinusOne = Negate(kOrderHex, one);
  const std::string orderPlusOne = std::string(kOrderHex).substr(0, 63) + "2";
  struct Case {
    const char* name;
    std::vector<std::uint8_t> blob;
    std::string message, r, s;
    Verdict expected;
  };
  const Case cases[] = {
      {"rfc6979 sample, high s", rfc, "sample", kSampleR, kSampleS, Verdict::kValid},
      {"rfc6979 sample, low s", rfc, "sample", kSampleR, Negate(kOrderHex, kSampleS),
       Verdict::kValid},
      {"rfc6979 test, low s", rfc, "test", kTestR, kTestS, Verdict::kValid},
      {"rfc6979 test, high s", rfc, "test", kTestR, Negate(kOrderHex, kTestS), Verdict::kValid},
      {"openssl, empty message", ssl, "", kEmptyR, kEmptyS, Verdict::kValid},
      {"openssl, empty message, low s", ssl, "", kEmptyR, Negate(kOrderHex, kEmptyS),
       Verdict::kValid},
      {"openssl, json payload", ssl, "{\"schema\":1}", kSchemaR, kSchemaS, Verdict::kValid},
      // Valid signatures that do not fit what they are checked against.
      {"signature of another message", rfc, "test", kSampleR, kSampleS, Verdict::kInvalid},
      {"message with one bit flipped", ssl, "{\"schema\":0}", kSchemaR, kSchemaS,
       Verdict::kInvalid},
      {"other key", ssl, "sample", kSampleR, kSampleS, Verdict::kInvalid},
      {"negated key (-Q, a valid point)", EcdsaBlob(kRfcX, Negate(kPrimeHex, kRfcY)), "sample",
       kSampleR, kSampleS, Verdict::kInvalid},
      {"r with one bit flipped", rfc, "sample", FlipBit(kSampleR, 63), kSampleS,
       Verdict::kInvalid},
      {"s with one bit flipped", rfc, "sample", kSampleR, FlipBit(kSampleS, 0), Verdict::kInvalid},
      {"r and s swapped", rfc, "sample", kSampleS, kSampleR, Verdict::kInvalid},
      // r and s outside [1, n - 1].
      {"r = 0", rfc, "sample", zero, kSampleS, Verdict::kInvalid},
      {"s = 0", rfc, "sample", kSampleR, zero, Verdict::kInvalid},
      {"r = s = 0", rfc, "sample", zero, zero, Verdict::kInvalid},
      {"r = n", rfc, "sample", kOrderHex, kSampleS, Verdict::kInvalid},
      {"s = n", rfc, "sample", kSampleR, kOrderHex, Verdict::kInvalid},
      {"r = n + 1", rfc, "sample", orderPlusOne, kSampleS, Verdict::kInvalid},
      {"s = 2^256 - 1", rfc, "sample", kSampleR, ones, Verdict::kInvalid},
      // In range, but wrong: the extremes reach the provider.
      {"r = 1, s = 1", rfc, "sample", one, one, Verdict::kInvalid},
      {"r = n - 1, s = n - 1", rfc, "sample", orderMinusOne, orderMinusOne, Verdict::kInvalid},
      // Keys that are not P-256 public keys, refused whatever the signature.
      {"point off the curve (low bit of y flipped)", EcdsaBlob(kRfcX, FlipBit(kRfcY, 63)), "sample", kSampleR,
       kSampleS, Verdict::kKeyRefused},
      {"x = p", EcdsaBlob(kPrimeHex, kRfcY), "sample", kSampleR, kSampleS, Verdict::kKeyRefused},
      {"y = p", EcdsaBlob(kRfcX, kPrimeHex), "sample", kSampleR, kSampleS,
       Verdict::kKeyRefused},
      {"(0, 0)", EcdsaBlob(zero, zero), "sample", kSampleR, kSampleS, Verdict::kKeyRefused},
      {"all ones", EcdsaBlob(ones, ones), "sample", kSampleR, kSampleS, Verdict::kKeyRefused},
      {"private-key magic ECS2", EcdsaBlob(kRfcX, kRfcY, 0x32534345), "sample", kSampleR, kSampleS,
       Verdict::kKeyRefused},
      {"ECDH magic ECK1", EcdsaBlob(kRfcX, kRfcY, 0x314B4345), "sample", kSampleR, kSampleS,
       Verdict::kKeyRefused},
      {"P-384 magic ECS3", EcdsaBlob(kRfcX, kRfcY, 0x33534345), "sample", kSampleR, kSampleS,
       Verdict::kKeyRefused},
      {"key length 48", EcdsaBlob(kRfcX, kRfcY, kEcdsaP256PublicMagic, 48), "sample", kSampleR,
       kSampleS, Verdict::kKeyRefused},
      {"key length byte-swapped", EcdsaBlob(kRfcX, kRfcY, kEcdsaP256PublicMagic, 0x20000000),
       "sample", kSampleR, kSampleS, Verdict::kKeyRefused},
      {"bad key and bad signature: the key decides", EcdsaBlob(zero, zero), "sample", zero, zero,
       Verdict::kKeyRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(VerifyVerdict(c.blob, c.message, c.r, c.s), c.expected);
    EXPECT_EQ(IsValidEcdsaP256PublicBlob(c.blob.data()), c.expected != Verdict::kKeyRefused);
  }
}

}  // namespace
}  // namespace ov
