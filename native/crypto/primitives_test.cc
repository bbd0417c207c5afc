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

}  // namespace
}  // namespace ov
