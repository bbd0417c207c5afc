#include "crypto/pake_exchange.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "crypto/primitives.h"
#include "crypto/test_util.h"

namespace ov {
namespace {

using testing::Bytes;

constexpr char kId[] = "123456789";
constexpr char kPassword[] = "ABCD2345";
constexpr char kNonce[] = "00112233445566778899aabbccddeeff";
constexpr char kRequest[] = "0123456789abcdef0123456789abcdef";

struct Ends {
  std::unique_ptr<PakeExchange> viewer;
  std::unique_ptr<PakeExchange> host;
};

// Runs the exchange up to both confirmations being computed, as the two ends would.
Ends Exchange(const std::string& viewerPassword = kPassword,
              const std::string& hostPassword = kPassword, const std::string& viewerId = kId,
              const std::string& hostId = kId, const std::string& viewerNonce = kNonce,
              const std::string& hostNonce = kNonce, const std::string& viewerRequest = kRequest,
              const std::string& hostRequest = kRequest) {
  Ends e;
  e.viewer = PakeExchange::Create(viewerPassword, viewerId, viewerNonce, false);
  e.host = PakeExchange::Create(hostPassword, hostId, hostNonce, true);
  e.host->Process(e.viewer->OwnMessageHex(), hostRequest);
  e.viewer->Process(e.host->OwnMessageHex(), viewerRequest);
  return e;
}

// Sealing from one channel and opening with the other proves both ends hold the same keys,
// in the right directions.
void ExpectChannelsAgree(CryptoSession& host, CryptoSession& viewer) {
  std::vector<std::uint8_t> text;
  std::uint8_t kind = 0;
  ASSERT_TRUE(viewer.Unseal(host.Seal(3, Bytes(kRequest)), kind, text));
  EXPECT_EQ(text, Bytes(kRequest));
  ASSERT_TRUE(host.Unseal(viewer.Seal(4, Bytes(R"({"op":"helloAck"})")), kind, text));
  EXPECT_EQ(kind, 4);
  // Each direction has its own key: a session cannot open its own output.
  EXPECT_FALSE(host.Unseal(host.Seal(4, Bytes("x")), kind, text));
}

// The schedule against values computed independently from its definition (HMAC-SHA-256 by
// another implementation), so that a changed label, separator or order fails here even though
// both ends of one build would still agree with each other.
TEST(PakeSchedule, KnownAnswer) {
  std::uint8_t shared[64];
  for (int i = 0; i < 64; ++i) shared[i] = static_cast<std::uint8_t>(i);
  PakeSchedule schedule;
  DerivePakeSchedule(shared, kId, kNonce, "ffeeddccbbaa99887766554433221100", schedule);
  const auto hex = [](const SecretArray<32>& value) { return HexEncode(value.data(), 32); };
  EXPECT_EQ(hex(schedule.hostToViewer),
            "02a7edcaf2514b97b442071a4460f6c31d89b5e2635792e07bcd29bb8b401337");
  EXPECT_EQ(hex(schedule.viewerToHost),
            "fb79b629e55af1facd23cfaa5d67d659f83a342c9c9ce8c60e2a58fdb71a49bf");
  EXPECT_EQ(hex(schedule.hostConfirmation),
            "295b27751b6cd1159cd620b608978c0706e3aa84a669fa5e99ae0f5f35a2efd8");
  EXPECT_EQ(hex(schedule.viewerConfirmation),
            "76d107684f86b6a14221d25254cb815c17ad6e4fb31894b08797d2d506025e52");
}

TEST(PakeExchange, SamePasswordConfirmsBothWaysAndAgreesOnKeys) {
  Ends e = Exchange();
  EXPECT_EQ(e.viewer->OwnMessageHex().size(), 64u);
  EXPECT_NE(e.viewer->OwnMessageHex(), e.host->OwnMessageHex());
  ASSERT_TRUE(e.viewer->CheckPeerConfirmation(e.host->OwnConfirmationHex()));
  ASSERT_TRUE(e.host->CheckPeerConfirmation(e.viewer->OwnConfirmationHex()));
  EXPECT_NE(e.viewer->OwnConfirmationHex(), e.host->OwnConfirmationHex());
  auto viewerChannel = e.viewer->CreateChannel();
  auto hostChannel = e.host->CreateChannel();
  ExpectChannelsAgree(*hostChannel, *viewerChannel);
}

TEST(PakeExchange, OneCharacterOfPasswordMakesTheViewerRefuse) {
  Ends e = Exchange("ABCD2345", "ABCD2346");
  EXPECT_FALSE(e.viewer->CheckPeerConfirmation(e.host->OwnConfirmationHex()));
  EXPECT_THROW(e.viewer->CreateChannel(), std::logic_error);
}

TEST(PakeExchange, TranscriptBindsIdNonceAndRequest) {
  const std::string otherId = "987654321";
  const std::string otherNonce = "ffeeddccbbaa99887766554433221100";
  const std::string otherRequest = "fedcba9876543210fedcba9876543210";
  struct Case {
    const char* what;
    Ends ends;
  };
  Case cases[] = {
      {"device ID", Exchange(kPassword, kPassword, kId, otherId)},
      {"nonce", Exchange(kPassword, kPassword, kId, kId, kNonce, otherNonce)},
      {"request ID", Exchange(kPassword, kPassword, kId, kId, kNonce, kNonce, kRequest, otherRequest)},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(c.ends.viewer->CheckPeerConfirmation(c.ends.host->OwnConfirmationHex()));
    EXPECT_FALSE(c.ends.host->CheckPeerConfirmation(c.ends.viewer->OwnConfirmationHex()));
  }
}

TEST(PakeExchange, EveryStepRunsOnce) {
  Ends e = Exchange();
  // A second Process is refused whatever its input.
  try {
    e.host->Process(e.viewer->OwnMessageHex(), kRequest);
    FAIL() << "second Process accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "PAKE message");
  }
  // One confirmation test: a retry with the right value is refused.
  EXPECT_FALSE(e.viewer->CheckPeerConfirmation(std::string(64, '0')));
  EXPECT_FALSE(e.viewer->CheckPeerConfirmation(e.host->OwnConfirmationHex()));
  EXPECT_THROW(e.viewer->CreateChannel(), std::logic_error);

  ASSERT_TRUE(e.host->CheckPeerConfirmation(e.viewer->OwnConfirmationHex()));
  auto channel = e.host->CreateChannel();
  ASSERT_NE(channel, nullptr);
  try {
    e.host->CreateChannel();
    FAIL() << "second channel created";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "PAKE confirmation required");
  }
  try {
    (void)e.host->OwnConfirmationHex();
    FAIL() << "confirmation after the channel";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "PAKE not complete");
  }
}

TEST(PakeExchange, RefusesOutOfOrderAndMalformedInput) {
  auto viewer = PakeExchange::Create(kPassword, kId, kNonce, false);
  EXPECT_FALSE(viewer->CheckPeerConfirmation(std::string(64, 'a')));  // before Process
  EXPECT_THROW((void)viewer->OwnConfirmationHex(), std::logic_error);
  EXPECT_THROW(viewer->CreateChannel(), std::logic_error);

  auto host = PakeExchange::Create(kPassword, kId, kNonce, true);
  const std::string message = host->OwnMessageHex();
  std::string upper = message;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& bad : {message.substr(1), message + "0", upper}) {
    if (bad == message) continue;  // an all-digit message has no upper case
    auto fresh = PakeExchange::Create(kPassword, kId, kNonce, false);
    EXPECT_THROW(fresh->Process(bad, kRequest), std::invalid_argument);
    // A refused input did not use up the exchange.
    EXPECT_NO_THROW(fresh->Process(message, kRequest));
  }
  EXPECT_THROW(viewer->Process(message, "0123456789ABCDEF0123456789ABCDEF"), std::invalid_argument);
  EXPECT_THROW(viewer->Process(message, "0123"), std::invalid_argument);

  // A malformed confirmation counts as the one test and fails.
  auto e = Exchange();
  EXPECT_FALSE(e.viewer->CheckPeerConfirmation("not hex"));
  EXPECT_FALSE(e.viewer->CheckPeerConfirmation(e.host->OwnConfirmationHex()));
}

TEST(PakeExchange, CreateChecksItsTexts) {
  const char* cases[][3] = {
      {"ABCD234", kId, kNonce},           {"ABCD234I", kId, kNonce},
      {"abcd2345", kId, kNonce},          {kPassword, "012345678", kNonce},
      {kPassword, "12345678", kNonce},    {kPassword, kId, "00112233445566778899AABBCCDDEEFF"},
      {kPassword, kId, "0011223344556677"},
  };
  for (auto& c : cases) {
    try {
      PakeExchange::Create(c[0], c[1], c[2], false);
      ADD_FAILURE() << c[0] << " " << c[1] << " " << c[2];
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "PAKE context");
    }
  }
}

TEST(PairingOffer, ExactShape) {
  auto viewer = PakeExchange::Create(kPassword, kId, kNonce, false);
  const std::string offer = MakePairingOffer(kNonce, viewer->OwnMessageHex());
  ASSERT_EQ(offer.size(), 100u);
  std::string nonce, message;
  ASSERT_TRUE(ParsePairingOffer(offer, nonce, message));
  EXPECT_EQ(nonce, kNonce);
  EXPECT_EQ(message, viewer->OwnMessageHex());

  EXPECT_FALSE(ParsePairingOffer(offer.substr(0, 99), nonce, message));
  EXPECT_FALSE(ParsePairingOffer(offer + "0", nonce, message));
  std::string upper = offer;
  upper[3] = 'A';
  EXPECT_FALSE(ParsePairingOffer(upper, nonce, message));
  std::string prefix = offer;
  prefix[1] = '2';
  EXPECT_FALSE(ParsePairingOffer(prefix, nonce, message));
  std::string colon = offer;
  colon[35] = '-';
  EXPECT_FALSE(ParsePairingOffer(colon, nonce, message));
  std::string messageUpper = offer;
  messageUpper[99] = 'G';
  EXPECT_FALSE(ParsePairingOffer(messageUpper, nonce, message));
}

}  // namespace
}  // namespace ov
