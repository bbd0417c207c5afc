#include "crypto/crypto_session.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "crypto/test_util.h"

namespace ov {

// Reaches the send counter, which only an exhausted session would otherwise show.
struct CryptoSessionTestAccess {
  static void SetSendSequence(CryptoSession& session, std::uint64_t value) {
    session.sendSequence_ = value;
  }
};

namespace {

using testing::Bytes;
using testing::FromHex;
using testing::ToHex;

// One direction of a channel: `sender` seals with key A, `receiver` opens with key A.
struct Pair {
  std::vector<std::uint8_t> keyA = std::vector<std::uint8_t>(32, 0x11);
  std::vector<std::uint8_t> keyB = std::vector<std::uint8_t>(32, 0x22);
  CryptoSession sender{keyA.data(), keyB.data()};
  CryptoSession receiver{keyB.data(), keyA.data()};
};

bool Open(CryptoSession& session, const std::vector<std::uint8_t>& sealed,
          std::vector<std::uint8_t>* plaintext = nullptr, std::uint8_t* kind = nullptr) {
  std::vector<std::uint8_t> out;
  std::uint8_t k = 0;
  const bool ok = session.Unseal(sealed, k, out);
  if (plaintext != nullptr) *plaintext = out;
  if (kind != nullptr) *kind = k;
  return ok;
}

// The expected bytes were computed by an independent AES-GCM implementation from the layout:
// header "OV" 03 kind seq(8, big-endian); nonce 00000000 + seq; header as AAD; tag at the end.
// Both the CNG build and the BoringSSL build must produce exactly these bytes.
TEST(CryptoSession, SealedBytesMatchIndependentReference) {
  std::vector<std::uint8_t> key(32);
  for (std::size_t i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i);
  const std::vector<std::uint8_t> other(32, 0);
  CryptoSession session(key.data(), other.data());
  EXPECT_EQ(ToHex(session.Seal(4, Bytes(R"({"op":"ping","t":1})"))),
            "4f56030400000000000000016ef4d08c66ce126e6740361bc0844ed52fae6158cf7548964c5a044dbc"
            "25d87040407a");
  EXPECT_EQ(ToHex(session.Seal(1, {})), "4f56030100000000000000021bb7378d692d8d174bde580dd492625f");

  // And the receiving end (keys swapped) opens them.
  CryptoSession peer(other.data(), key.data());
  std::vector<std::uint8_t> plaintext;
  std::uint8_t kind = 0;
  ASSERT_TRUE(Open(peer,
                   FromHex("4f56030400000000000000016ef4d08c66ce126e6740361bc0844ed52fae6158cf75"
                           "48964c5a044dbc25d87040407a"),
                   &plaintext, &kind));
  EXPECT_EQ(kind, 4);
  EXPECT_EQ(plaintext, Bytes(R"({"op":"ping","t":1})"));
}

TEST(CryptoSession, SequencesRiseStrictlyWithGapsAllowed) {
  Pair p;
  std::vector<std::vector<std::uint8_t>> sealed;
  for (int i = 1; i <= 5; ++i) sealed.push_back(p.sender.Seal(4, Bytes("m" + std::to_string(i))));
  // The first message of a direction carries sequence 1.
  EXPECT_EQ(ToHex(std::vector<std::uint8_t>(sealed[0].begin() + 4, sealed[0].begin() + 12)),
            "0000000000000001");

  std::vector<std::uint8_t> text;
  ASSERT_TRUE(Open(p.receiver, sealed[0], &text));
  EXPECT_EQ(text, Bytes("m1"));
  EXPECT_FALSE(Open(p.receiver, sealed[0]));  // replay
  ASSERT_TRUE(Open(p.receiver, sealed[2], &text));  // 3 after 1: gap accepted
  EXPECT_EQ(text, Bytes("m3"));
  EXPECT_FALSE(Open(p.receiver, sealed[1]));  // 2 after 3: older
  ASSERT_TRUE(Open(p.receiver, sealed[4]));   // 5 after 3
  EXPECT_FALSE(Open(p.receiver, sealed[3]));  // 4 after 5
  EXPECT_FALSE(Open(p.receiver, sealed[4]));  // 5 again

  // A refused message changes nothing: the next genuine one still opens.
  const auto sixth = p.sender.Seal(2, Bytes("m6"));
  ASSERT_TRUE(Open(p.receiver, sixth, &text));
  EXPECT_EQ(text, Bytes("m6"));
}

TEST(CryptoSession, EveryTamperedByteIsRefused) {
  Pair p;
  const auto sealed = p.sender.Seal(4, Bytes("hello, viewer"));
  for (std::size_t i = 0; i < sealed.size(); ++i) {
    for (int bit : {0x01, 0x80}) {
      auto bad = sealed;
      bad[i] = static_cast<std::uint8_t>(bad[i] ^ bit);
      EXPECT_FALSE(Open(p.receiver, bad)) << "byte " << i;
    }
  }
  // Kind 0, a foreign version and a sequence of 0 are refused even before the tag is checked.
  auto zeroKind = sealed;
  zeroKind[3] = 0;
  EXPECT_FALSE(Open(p.receiver, zeroKind));
  auto zeroSequence = sealed;
  std::fill(zeroSequence.begin() + 4, zeroSequence.begin() + 12, 0);
  EXPECT_FALSE(Open(p.receiver, zeroSequence));
  // Truncated and extended messages.
  EXPECT_FALSE(Open(p.receiver, std::vector<std::uint8_t>(sealed.begin(), sealed.end() - 1)));
  auto longer = sealed;
  longer.push_back(0);
  EXPECT_FALSE(Open(p.receiver, longer));
  // The direction keys differ: a session cannot open what it sealed itself.
  EXPECT_FALSE(Open(p.sender, sealed));
  // None of the refusals consumed the sequence: the original still opens.
  EXPECT_TRUE(Open(p.receiver, sealed));
}

TEST(CryptoSession, SizeBounds) {
  Pair p;
  // Empty plaintext: exactly 28 bytes, and it opens.
  const auto empty = p.sender.Seal(3, {});
  ASSERT_EQ(empty.size(), 28u);
  std::vector<std::uint8_t> text = {1, 2, 3};
  std::uint8_t kind = 0;
  ASSERT_TRUE(Open(p.receiver, empty, &text, &kind));
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(kind, 3);
  EXPECT_FALSE(Open(p.receiver, std::vector<std::uint8_t>(empty.begin(), empty.end() - 1)));
  // With no ciphertext at all, the tag alone must still be checked.
  auto forged = p.sender.Seal(3, {});
  forged[27] ^= 1;
  EXPECT_FALSE(Open(p.receiver, forged));

  // The largest plaintext seals to exactly 8 MiB and opens; one byte more is refused.
  std::vector<std::uint8_t> largest(kMaxSealedPlaintext);
  for (std::size_t i = 0; i < largest.size(); ++i) largest[i] = static_cast<std::uint8_t>(i * 7);
  const auto big = p.sender.Seal(1, largest);
  ASSERT_EQ(big.size(), 8388608u);
  ASSERT_TRUE(Open(p.receiver, big, &text));
  EXPECT_EQ(text, largest);
  largest.push_back(0);
  try {
    p.sender.Seal(1, largest);
    FAIL() << "oversized plaintext sealed";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Invalid encrypted message size or kind");
  }
  try {
    p.sender.Seal(0, Bytes("x"));
    FAIL() << "kind 0 sealed";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Invalid encrypted message size or kind");
  }
  // An input over 8 MiB is refused by length alone.
  EXPECT_FALSE(Open(p.receiver, std::vector<std::uint8_t>(8388609, 0)));
}

TEST(CryptoSession, SequenceExhaustionAndReuseOfBuffers) {
  Pair p;
  CryptoSessionTestAccess::SetSendSequence(p.sender,
                                           std::numeric_limits<std::uint64_t>::max() - 1);
  const auto last = p.sender.Seal(4, Bytes("last"));
  try {
    p.sender.Seal(4, Bytes("one too many"));
    FAIL() << "sequence wrapped";
  } catch (const std::overflow_error& e) {
    EXPECT_STREQ(e.what(), "Encryption sequence exhausted");
  }
  std::vector<std::uint8_t> text;
  ASSERT_TRUE(Open(p.receiver, last, &text));
  EXPECT_EQ(text, Bytes("last"));

  // SealInto reuses a larger buffer and sizes it exactly.
  Pair q;
  std::vector<std::uint8_t> buffer(4096, 0xEE);
  q.sender.SealInto(4, Bytes("abc"), buffer);
  EXPECT_EQ(buffer.size(), 31u);
  ASSERT_TRUE(Open(q.receiver, buffer, &text));
  EXPECT_EQ(text, Bytes("abc"));
}

}  // namespace
}  // namespace ov
