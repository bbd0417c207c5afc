#include "crypto/pake_exchange.h"

#include <openssl/curve25519.h>

#include <algorithm>
#include <stdexcept>

#include "crypto/primitives.h"

namespace ov {
namespace {

constexpr std::size_t kSpake2MessageSize = 32;
constexpr std::size_t kSpake2KeySize = 64;

const char* RoleName(bool host) { return host ? "host" : "viewer"; }

// context prefix + device ID + "|" + nonce + "|"
std::string NameBase(std::string_view deviceId, std::string_view nonceHex) {
  std::string base(kPakeContextPrefix);
  base.append(deviceId).append("|").append(nonceHex).append("|");
  return base;
}

// HKDF-Expand(PRK, T + "|" + label, 32) into `out`.
void DeriveLabel(const SecretArray<32>& prk, const std::string& transcript, std::string_view label,
                 SecretArray<32>& out) {
  std::string info = transcript;
  info.append("|").append(label);
  HkdfExpandSha256(prk.data(), info.data(), info.size(), out.data(), out.size());
}

}  // namespace

void DerivePakeSchedule(const std::uint8_t* sharedKey64, std::string_view deviceId,
                        std::string_view nonceHex, std::string_view requestIdHex,
                        PakeSchedule& out) {
  std::string transcript(kPakeContextPrefix);
  transcript.append(deviceId).append("|").append(nonceHex).append("|").append(requestIdHex);

  // HKDF-Extract with an all-zero salt.
  const SecretArray<32> zeroSalt;
  SecretArray<32> prk;
  HmacSha256(zeroSalt.data(), zeroSalt.size(), sharedKey64, kSpake2KeySize, prk.data());

  SecretArray<32> hostConfirmationKey;
  SecretArray<32> viewerConfirmationKey;
  DeriveLabel(prk, transcript, "host-to-viewer", out.hostToViewer);
  DeriveLabel(prk, transcript, "viewer-to-host", out.viewerToHost);
  DeriveLabel(prk, transcript, "host-confirmation", hostConfirmationKey);
  DeriveLabel(prk, transcript, "viewer-confirmation", viewerConfirmationKey);
  HmacSha256(hostConfirmationKey.data(), hostConfirmationKey.size(), transcript.data(),
             transcript.size(), out.hostConfirmation.data());
  HmacSha256(viewerConfirmationKey.data(), viewerConfirmationKey.size(), transcript.data(),
             transcript.size(), out.viewerConfirmation.data());
  // The PRK and the confirmation keys wipe themselves on return.
}

std::string MakePairingOffer(std::string_view nonceHex, std::string_view messageHex) {
  std::string offer = "p3:";
  offer.append(nonceHex).append(":").append(messageHex);
  return offer;
}

bool ParsePairingOffer(std::string_view offer, std::string& nonceHex, std::string& messageHex) {
  if (offer.size() != kOfferLength || offer.substr(0, 3) != "p3:" || offer[35] != ':') return false;
  const std::string_view nonce = offer.substr(3, kPakeNonceHexLength);
  const std::string_view message = offer.substr(36, kPakeMessageHexLength);
  if (!IsLowerHex(nonce, kPakeNonceHexLength) || !IsLowerHex(message, kPakeMessageHexLength)) {
    return false;
  }
  nonceHex.assign(nonce);
  messageHex.assign(message);
  return true;
}

void PakeExchange::ContextDeleter::operator()(spake2_ctx_st* context) const noexcept {
  SPAKE2_CTX_free(context);
}

PakeExchange::~PakeExchange() = default;  // SecretArray members wipe themselves

std::unique_ptr<PakeExchange> PakeExchange::Create(std::string_view sessionPassword,
                                                   std::string_view deviceId,
                                                   std::string_view nonceHex, bool isHost) {
  if (!IsValidSessionPassword(sessionPassword) || !IsValidDeviceId(deviceId) ||
      !IsLowerHex(nonceHex, kPakeNonceHexLength)) {
    throw std::invalid_argument("PAKE context");
  }
  std::unique_ptr<PakeExchange> exchange(new PakeExchange());
  exchange->isHost_ = isHost;
  exchange->deviceId_.assign(deviceId);
  exchange->nonceHex_.assign(nonceHex);

  const std::string base = NameBase(deviceId, nonceHex);
  const std::string ownName = base + RoleName(isHost);
  const std::string peerName = base + RoleName(!isHost);
  exchange->context_.reset(SPAKE2_CTX_new(
      isHost ? spake2_role_bob : spake2_role_alice,
      reinterpret_cast<const std::uint8_t*>(ownName.data()), ownName.size(),
      reinterpret_cast<const std::uint8_t*>(peerName.data()), peerName.size()));
  if (!exchange->context_) throw std::runtime_error("PAKE generation");

  std::uint8_t message[kSpake2MessageSize];
  std::size_t messageLength = 0;
  if (SPAKE2_generate_msg(exchange->context_.get(), message, &messageLength, sizeof message,
                          reinterpret_cast<const std::uint8_t*>(sessionPassword.data()),
                          sessionPassword.size()) != 1 ||
      messageLength != kSpake2MessageSize) {
    throw std::runtime_error("PAKE generation");
  }
  exchange->ownMessageHex_ = HexEncode(message, sizeof message);
  return exchange;
}

void PakeExchange::Process(std::string_view peerMessageHex, std::string_view requestIdHex) {
  std::uint8_t peerMessage[kSpake2MessageSize];
  if (derived_ || !IsLowerHex(requestIdHex, kRequestIdHexLength) ||
      !HexDecode(peerMessageHex, peerMessage, sizeof peerMessage)) {
    throw std::invalid_argument("PAKE message");
  }
  derived_ = true;

  SecretArray<kSpake2KeySize> sharedKey;
  std::size_t keyLength = 0;
  if (!context_ ||
      SPAKE2_process_msg(context_.get(), sharedKey.data(), &keyLength, sharedKey.size(),
                         peerMessage, sizeof peerMessage) != 1 ||
      keyLength != kSpake2KeySize) {
    throw std::runtime_error("PAKE exchange");
  }
  context_.reset();

  PakeSchedule schedule;
  DerivePakeSchedule(sharedKey.data(), deviceId_, nonceHex_, requestIdHex, schedule);
  const auto copy = [](const SecretArray<32>& from, SecretArray<32>& to) {
    std::copy(from.data(), from.data() + 32, to.data());
  };
  copy(isHost_ ? schedule.hostToViewer : schedule.viewerToHost, sendKey_);
  copy(isHost_ ? schedule.viewerToHost : schedule.hostToViewer, receiveKey_);
  copy(isHost_ ? schedule.hostConfirmation : schedule.viewerConfirmation, ownConfirmation_);
  copy(isHost_ ? schedule.viewerConfirmation : schedule.hostConfirmation,
       expectedPeerConfirmation_);
  // The shared key and the schedule wipe themselves on return.
}

bool PakeExchange::CheckPeerConfirmation(std::string_view confirmationHex) noexcept {
  if (!derived_ || context_ || confirmationTested_) return false;
  confirmationTested_ = true;
  SecretArray<32> received;
  const bool decoded = HexDecode(confirmationHex, received.data(), received.size());
  peerConfirmed_ = decoded && ConstantTimeEqual(received.data(), expectedPeerConfirmation_.data(),
                                                received.size());
  return peerConfirmed_;
}

std::string PakeExchange::OwnConfirmationHex() const {
  if (!derived_ || context_ || channelCreated_) throw std::logic_error("PAKE not complete");
  return HexEncode(ownConfirmation_.data(), ownConfirmation_.size());
}

std::shared_ptr<CryptoSession> PakeExchange::CreateChannel() {
  if (!peerConfirmed_ || channelCreated_) throw std::logic_error("PAKE confirmation required");
  channelCreated_ = true;
  auto channel = std::make_shared<CryptoSession>(sendKey_.data(), receiveKey_.data());
  sendKey_.Wipe();
  receiveKey_.Wipe();
  return channel;
}

}  // namespace ov
