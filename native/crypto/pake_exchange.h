// One pairing attempt: SPAKE2 over Ed25519 (BoringSSL) with the session password, a key schedule
// bound to the device ID, the viewer's nonce and the relay's request ID, and mutual key
// confirmation. Every step can run once; a failed attempt needs a new exchange and a new nonce.
//
//   Create -> OwnMessageHex (sent to the peer) -> Process(peer message, request ID)
//          -> CheckPeerConfirmation / OwnConfirmationHex -> CreateChannel
//
// Used on one thread only (the controller's). Secrets are wiped when replaced or destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/secure_memory.h"
#include "crypto/crypto_session.h"

struct spake2_ctx_st;

namespace ov {

// "Kestrova/p3/SPAKE2-BoringSSL-ed25519|": the first bytes of every SPAKE2 name and transcript.
inline constexpr std::string_view kPakeContextPrefix = "Kestrova/p3/SPAKE2-BoringSSL-ed25519|";
inline constexpr std::size_t kPakeNonceHexLength = 32;
inline constexpr std::size_t kRequestIdHexLength = 32;
inline constexpr std::size_t kPakeMessageHexLength = 64;
inline constexpr std::size_t kOfferLength = 100;

// The viewer's offer "p3:" + nonce + ":" + SPAKE2 message, as carried in "register".
std::string MakePairingOffer(std::string_view nonceHex, std::string_view messageHex);
// Splits an offer; false unless it is exactly 100 characters, starts "p3:", has ':' at 35 and
// lowercase hex in both fields.
bool ParsePairingOffer(std::string_view offer, std::string& nonceHex, std::string& messageHex);

// The key schedule after SPAKE2, which both ends of every release must compute alike. With
// T = prefix + device ID + "|" + nonce + "|" + request ID and PRK = HKDF-Extract(32 zero bytes,
// the 64-byte shared key), each key is HKDF-Expand(PRK, T + "|" + its label, 32), and each
// confirmation is HMAC-SHA-256 over T under that side's confirmation key.
struct PakeSchedule {
  SecretArray<32> hostToViewer;
  SecretArray<32> viewerToHost;
  SecretArray<32> hostConfirmation;
  SecretArray<32> viewerConfirmation;
};
void DerivePakeSchedule(const std::uint8_t* sharedKey64, std::string_view deviceId,
                        std::string_view nonceHex, std::string_view requestIdHex,
                        PakeSchedule& out);

class PakeExchange {
 public:
  // Throws std::invalid_argument("PAKE context") for a malformed password, device ID or nonce
  // (32 lowercase hex), std::runtime_error("PAKE generation") when SPAKE2 fails.
  static std::unique_ptr<PakeExchange> Create(std::string_view sessionPassword,
                                              std::string_view deviceId,
                                              std::string_view nonceHex, bool isHost);
  ~PakeExchange();
  PakeExchange(const PakeExchange&) = delete;
  PakeExchange& operator=(const PakeExchange&) = delete;

  // The own SPAKE2 message, 64 lowercase hex characters.
  const std::string& OwnMessageHex() const noexcept { return ownMessageHex_; }

  // Takes the peer's message and derives the keys and confirmations. Runs at most once: a second
  // call, a malformed message (64 lowercase hex) or request ID (32 lowercase hex) throws
  // std::invalid_argument("PAKE message"); a SPAKE2 failure std::runtime_error("PAKE exchange").
  void Process(std::string_view peerMessageHex, std::string_view requestIdHex);

  // Tests the peer's confirmation once. False before Process, on a second call, for malformed
  // text and for a wrong value; never throws.
  bool CheckPeerConfirmation(std::string_view confirmationHex) noexcept;

  // Throws std::logic_error("PAKE not complete") before Process or after CreateChannel.
  std::string OwnConfirmationHex() const;

  // The channel, once the peer is confirmed; at most once. Throws
  // std::logic_error("PAKE confirmation required"), or the channel's own key-import texts.
  // The exchange's copies of the keys are wiped afterwards.
  std::shared_ptr<CryptoSession> CreateChannel();

  bool IsHost() const noexcept { return isHost_; }

 private:
  PakeExchange() = default;

  struct ContextDeleter {
    void operator()(spake2_ctx_st* context) const noexcept;
  };

  std::unique_ptr<spake2_ctx_st, ContextDeleter> context_;
  bool isHost_ = false;
  bool derived_ = false;
  bool confirmationTested_ = false;
  bool peerConfirmed_ = false;
  bool channelCreated_ = false;
  std::string deviceId_;
  std::string nonceHex_;
  std::string ownMessageHex_;
  SecretArray<32> sendKey_;
  SecretArray<32> receiveKey_;
  SecretArray<32> ownConfirmation_;
  SecretArray<32> expectedPeerConfirmation_;
};

}  // namespace ov
