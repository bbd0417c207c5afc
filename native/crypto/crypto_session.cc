#include "crypto/crypto_session.h"

#include <cstring>
#include <limits>
#include <stdexcept>

#include "base/byte_reader.h"
#include "base/secure_memory.h"

namespace ov {
namespace {

constexpr std::uint8_t kMagic0 = 0x4F;  // 'O'
constexpr std::uint8_t kMagic1 = 0x56;  // 'V'

void GcmNonce(std::uint64_t sequence, std::uint8_t (&nonce)[kGcmNonceSize]) {
  std::memset(nonce, 0, 4);
  StoreBE<std::uint64_t>(nonce + 4, sequence);
}

}  // namespace

CryptoSession::CryptoSession(const std::uint8_t* sendKey32, const std::uint8_t* receiveKey32) {
  OpenAesGcmProvider(provider_);
  sendKey_.emplace(provider_, sendKey32);
  receiveKey_.emplace(provider_, receiveKey32);
}

CryptoSession::~CryptoSession() {
  std::lock_guard<std::mutex> lock(mutex_);
  sendSequence_ = 0;
  lastReceiveSequence_ = 0;
  sendKey_.reset();
  receiveKey_.reset();
}

std::vector<std::uint8_t> CryptoSession::Seal(std::uint8_t kind,
                                              std::span<const std::uint8_t> plaintext) {
  std::vector<std::uint8_t> sealed;
  SealInto(kind, plaintext, sealed);
  return sealed;
}

void CryptoSession::SealInto(std::uint8_t kind, std::span<const std::uint8_t> plaintext,
                             std::vector<std::uint8_t>& sealed) {
  const std::size_t n = plaintext.size();
  if (kind == 0 || n > kMaxSealedPlaintext) {
    throw std::invalid_argument("Invalid encrypted message size or kind");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (sendSequence_ == std::numeric_limits<std::uint64_t>::max()) {
    throw std::overflow_error("Encryption sequence exhausted");
  }
  const std::uint64_t sequence = ++sendSequence_;

  sealed.resize(n + kSealedOverhead);
  std::uint8_t* header = sealed.data();
  header[0] = kMagic0;
  header[1] = kMagic1;
  header[2] = version_;
  header[3] = kind;
  StoreBE<std::uint64_t>(header + 4, sequence);
  std::uint8_t nonce[kGcmNonceSize];
  GcmNonce(sequence, nonce);

  std::size_t written = 0;
  if (!sendKey_->Encrypt(nonce, header, kSealedHeaderSize, plaintext.data(), n,
                         header + kSealedHeaderSize, header + kSealedHeaderSize + n, written)) {
    SecureClear(sealed);
    throw std::runtime_error("Authenticated encryption failed");
  }
  if (written != n) {
    SecureClear(sealed);
    throw std::runtime_error("Unexpected encryption length");
  }
}

bool CryptoSession::Unseal(std::span<const std::uint8_t> sealed, std::uint8_t& kind,
                           std::vector<std::uint8_t>& plaintext) {
  if (sealed.size() < kSealedOverhead || sealed.size() > kMaxSealedSize) return false;
  ByteReader header(sealed.first(kSealedHeaderSize));
  std::uint8_t magic0 = 0, magic1 = 0, version = 0, sealedKind = 0;
  std::uint64_t sequence = 0;
  if (!header.ReadU8(magic0) || !header.ReadU8(magic1) || !header.ReadU8(version) ||
      !header.ReadU8(sealedKind) || !header.ReadU64BE(sequence)) {
    return false;
  }
  if (magic0 != kMagic0 || magic1 != kMagic1 || version != version_ || sealedKind == 0) {
    return false;
  }

  std::lock_guard<std::mutex> lock(mutex_);
  if (sequence == 0 || sequence <= lastReceiveSequence_) return false;

  const std::size_t n = sealed.size() - kSealedOverhead;
  std::uint8_t nonce[kGcmNonceSize];
  GcmNonce(sequence, nonce);
  std::vector<std::uint8_t> opened;
  opened.swap(plaintext);  // reuse the caller's storage; the caller's contents are replaced
  opened.resize(n);
  std::size_t written = 0;
  const bool ok = receiveKey_->Decrypt(nonce, sealed.data(), kSealedHeaderSize,
                                       sealed.data() + kSealedHeaderSize, n,
                                       sealed.data() + kSealedHeaderSize + n, opened.data(),
                                       written);
  if (!ok || written != n) {
    SecureClear(opened);
    plaintext.clear();
    return false;
  }
  lastReceiveSequence_ = sequence;
  kind = sealedKind;
  plaintext.swap(opened);
  return true;
}

}  // namespace ov
