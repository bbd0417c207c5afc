// Primitives over BoringSSL (the Linux build). Mirrors primitives_cng_win.cc: same limits, same
// exception types, same texts.
#include <openssl/aead.h>
#include <openssl/bn.h>
#include <openssl/digest.h>
#include <openssl/ec.h>
#include <openssl/ec_key.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/hmac.h>
#include <openssl/nid.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <limits>
#include <stdexcept>

#include "base/secure_memory.h"
#include "crypto/primitives.h"

namespace ov {

void SystemRandom(void* buffer, std::size_t size) {
  if (size == 0) return;
  if (RAND_bytes(static_cast<std::uint8_t*>(buffer), size) != 1) {
    throw std::runtime_error("System random generator failed");
  }
}

void HmacSha256(const void* key, std::size_t keyLength, const void* data, std::size_t dataLength,
                std::uint8_t* out) {
  if (keyLength > 4294967295ULL || dataLength > 4294967295ULL) {
    throw std::length_error("HMAC input too large");
  }
  const EVP_MD* md = EVP_sha256();
  if (md == nullptr) throw std::runtime_error("HMAC provider failed");
  HMAC_CTX ctx;
  HMAC_CTX_init(&ctx);
  const char* failure = nullptr;
  static const std::uint8_t kEmpty = 0;
  if (HMAC_Init_ex(&ctx, keyLength ? key : &kEmpty, keyLength, md, nullptr) != 1) {
    failure = "HMAC key failed";
  } else if (dataLength > 0 &&
             HMAC_Update(&ctx, static_cast<const std::uint8_t*>(data), dataLength) != 1) {
    failure = "HMAC update failed";
  } else {
    unsigned int written = 0;
    if (HMAC_Final(&ctx, out, &written) != 1 || written != kSha256Size) {
      failure = "HMAC finish failed";
    }
  }
  HMAC_CTX_cleanup(&ctx);  // also wipes the keyed state
  if (failure != nullptr) throw std::runtime_error(failure);
}

// ---- Sha256Stream ------------------------------------------------------------------------------

struct Sha256Stream::State {
  SHA256_CTX context;
  ~State() { SecureWipe(&context, sizeof context); }
};

Sha256Stream::Sha256Stream() : state_(std::make_unique<State>()) {
  if (SHA256_Init(&state_->context) != 1) throw std::runtime_error("SHA256 create");
}

Sha256Stream::~Sha256Stream() = default;
Sha256Stream::Sha256Stream(Sha256Stream&&) noexcept = default;
Sha256Stream& Sha256Stream::operator=(Sha256Stream&&) noexcept = default;

void Sha256Stream::Update(const void* data, std::size_t size) {
  if (finished_ || !state_ || size > kSha256ChunkLimit) throw std::runtime_error("SHA256 chunk");
  if (size == 0) return;
  if (SHA256_Update(&state_->context, data, size) != 1) throw std::runtime_error("SHA256 update");
}

std::string Sha256Stream::FinishHex() {
  if (finished_) return digestHex_;
  if (!state_) throw std::runtime_error("SHA256 finish");
  SecretArray<kSha256Size> digest;
  if (SHA256_Final(digest.data(), &state_->context) != 1) throw std::runtime_error("SHA256 finish");
  digestHex_ = HexEncode(digest.data(), digest.size());
  finished_ = true;
  return digestHex_;
}

// ---- AES-256-GCM -------------------------------------------------------------------------------

struct AesGcmProvider::State {
  const EVP_AEAD* aead = nullptr;
};

AesGcmProvider::AesGcmProvider() = default;
AesGcmProvider::~AesGcmProvider() = default;
AesGcmProvider::AesGcmProvider(AesGcmProvider&&) noexcept = default;
AesGcmProvider& AesGcmProvider::operator=(AesGcmProvider&&) noexcept = default;

bool AesGcmProvider::IsOpen() const noexcept { return state_ && state_->aead != nullptr; }

void OpenAesGcmProvider(AesGcmProvider& provider) {
  provider.state_ = std::make_unique<AesGcmProvider::State>();
  const EVP_AEAD* aead = EVP_aead_aes_256_gcm();
  if (aead == nullptr) throw std::runtime_error("AES provider failed");
  provider.state_->aead = aead;
  if (EVP_AEAD_nonce_length(aead) != kGcmNonceSize) {
    throw std::runtime_error("AES-GCM mode unavailable");
  }
  if (EVP_AEAD_max_tag_len(aead) < kGcmTagSize) {
    throw std::runtime_error("AES-GCM 128-bit tags unavailable");
  }
}

// BoringSSL's AES-GCM cleanup frees nothing and clears nothing: the key schedule (whose first
// round keys are the key itself) and the GHASH key live in the context, so it is wiped here.
struct AesGcmKey::State {
  EVP_AEAD_CTX context;
  ~State() {
    EVP_AEAD_CTX_cleanup(&context);
    SecureWipe(&context, sizeof context);
  }
};

AesGcmKey::AesGcmKey(const AesGcmProvider& provider, const std::uint8_t* key32) {
  if (!provider.IsOpen()) throw std::runtime_error("AES key import failed");
  auto state = std::make_unique<State>();
  EVP_AEAD_CTX_zero(&state->context);
  if (EVP_AEAD_CTX_init(&state->context, provider.state()->aead, key32, kAesKeySize, kGcmTagSize,
                        nullptr) != 1) {
    throw std::runtime_error("AES key import failed");
  }
  state_ = std::move(state);
}

AesGcmKey::~AesGcmKey() = default;
AesGcmKey::AesGcmKey(AesGcmKey&&) noexcept = default;
AesGcmKey& AesGcmKey::operator=(AesGcmKey&&) noexcept = default;

bool AesGcmKey::Encrypt(const std::uint8_t* nonce12, const std::uint8_t* aad, std::size_t aadLength,
                        const std::uint8_t* plaintext, std::size_t length,
                        std::uint8_t* ciphertext, std::uint8_t* tag16,
                        std::size_t& written) const noexcept {
  written = 0;
  if (!state_) return false;
  std::size_t tagLength = 0;
  if (EVP_AEAD_CTX_seal_scatter(&state_->context, ciphertext, tag16, &tagLength, kGcmTagSize,
                                nonce12, kGcmNonceSize, plaintext, length, nullptr, 0, aad,
                                aadLength) != 1 ||
      tagLength != kGcmTagSize) {
    return false;
  }
  written = length;
  return true;
}

bool AesGcmKey::Decrypt(const std::uint8_t* nonce12, const std::uint8_t* aad, std::size_t aadLength,
                        const std::uint8_t* ciphertext, std::size_t length,
                        const std::uint8_t* tag16, std::uint8_t* plaintext,
                        std::size_t& written) const noexcept {
  written = 0;
  if (!state_) return false;
  if (EVP_AEAD_CTX_open_gather(&state_->context, plaintext, nonce12, kGcmNonceSize, ciphertext,
                               length, tag16, kGcmTagSize, aad, aadLength) != 1) {
    return false;
  }
  written = length;
  return true;
}

// ---- ECDSA P-256 -------------------------------------------------------------------------------

bool detail::ProviderVerifyEcdsaP256Sha256(const std::uint8_t* publicKeyBlob72, const void* data,
                                           std::size_t size, const std::uint8_t* signature64) {
  static const std::uint8_t kEmpty = 0;
  std::uint8_t digest[kSha256Size];
  SHA256(size ? static_cast<const std::uint8_t*>(data) : &kEmpty, size, digest);

  bssl::UniquePtr<EC_KEY> key(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  bssl::UniquePtr<BIGNUM> x(BN_bin2bn(publicKeyBlob72 + 8, 32, nullptr));
  bssl::UniquePtr<BIGNUM> y(BN_bin2bn(publicKeyBlob72 + 40, 32, nullptr));
  bssl::UniquePtr<ECDSA_SIG> signature(ECDSA_SIG_new());
  if (!key || !x || !y || !signature) {
    ERR_clear_error();
    throw std::runtime_error("signature provider");
  }
  if (EC_KEY_set_public_key_affine_coordinates(key.get(), x.get(), y.get()) != 1) {
    ERR_clear_error();
    throw std::runtime_error("signature key");
  }
  BIGNUM* r = BN_bin2bn(signature64, 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature64 + 32, 32, nullptr);
  if (r == nullptr || s == nullptr || ECDSA_SIG_set0(signature.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    ERR_clear_error();
    throw std::runtime_error("signature provider");
  }
  const bool valid = ECDSA_do_verify(digest, sizeof digest, signature.get(), key.get()) == 1;
  ERR_clear_error();  // a refused signature leaves an entry on this thread's error queue
  return valid;
}

}  // namespace ov
