// Primitives over Windows CNG (bcrypt.dll). Mirrors primitives_boringssl_posix.cc: same limits,
// same exception types, same texts.
#include <windows.h>
#include <bcrypt.h>

#include <limits>
#include <stdexcept>
#include <vector>

#include "base/secure_memory.h"
#include "crypto/primitives.h"

namespace ov {
namespace {

bool Ok(NTSTATUS status) noexcept { return status >= 0; }

PUCHAR Bytes(const void* p) noexcept {
  return static_cast<PUCHAR>(const_cast<void*>(p));
}

// Closes an algorithm provider on every path.
struct AlgorithmHandle {
  BCRYPT_ALG_HANDLE handle = nullptr;
  AlgorithmHandle() = default;
  AlgorithmHandle(const AlgorithmHandle&) = delete;
  AlgorithmHandle& operator=(const AlgorithmHandle&) = delete;
  ~AlgorithmHandle() {
    if (handle != nullptr) BCryptCloseAlgorithmProvider(handle, 0);
  }
};

struct KeyHandle {
  BCRYPT_KEY_HANDLE handle = nullptr;
  KeyHandle() = default;
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  ~KeyHandle() {
    if (handle != nullptr) BCryptDestroyKey(handle);
  }
};

struct HashHandle {
  BCRYPT_HASH_HANDLE handle = nullptr;
  HashHandle() = default;
  HashHandle(const HashHandle&) = delete;
  HashHandle& operator=(const HashHandle&) = delete;
  ~HashHandle() {
    if (handle != nullptr) BCryptDestroyHash(handle);
  }
};

}  // namespace

void SystemRandom(void* buffer, std::size_t size) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    const ULONG piece = size > 0x40000000 ? 0x40000000UL : static_cast<ULONG>(size);
    if (!Ok(BCryptGenRandom(nullptr, out, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      throw std::runtime_error("System random generator failed");
    }
    out += piece;
    size -= piece;
  }
}

void HmacSha256(const void* key, std::size_t keyLength, const void* data, std::size_t dataLength,
                std::uint8_t* out) {
  if (keyLength > 4294967295ULL || dataLength > 4294967295ULL) {
    throw std::length_error("HMAC input too large");
  }
  AlgorithmHandle algorithm;
  if (!Ok(BCryptOpenAlgorithmProvider(&algorithm.handle, BCRYPT_SHA256_ALGORITHM, nullptr,
                                      BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
    algorithm.handle = nullptr;
    throw std::runtime_error("HMAC provider failed");
  }
  static const std::uint8_t kEmpty = 0;
  HashHandle hash;
  if (!Ok(BCryptCreateHash(algorithm.handle, &hash.handle, nullptr, 0,
                           Bytes(keyLength ? key : &kEmpty), static_cast<ULONG>(keyLength), 0))) {
    hash.handle = nullptr;
    throw std::runtime_error("HMAC key failed");
  }
  if (dataLength > 0 &&
      !Ok(BCryptHashData(hash.handle, Bytes(data), static_cast<ULONG>(dataLength), 0))) {
    throw std::runtime_error("HMAC update failed");
  }
  if (!Ok(BCryptFinishHash(hash.handle, out, static_cast<ULONG>(kSha256Size), 0))) {
    throw std::runtime_error("HMAC finish failed");
  }
}

// ---- Sha256Stream ------------------------------------------------------------------------------

struct Sha256Stream::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::vector<std::uint8_t> object;  // the hash object's storage, allocated once

  ~State() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
    SecureClear(object);
  }
};

Sha256Stream::Sha256Stream() : state_(std::make_unique<State>()) {
  State& s = *state_;
  if (!Ok(BCryptOpenAlgorithmProvider(&s.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    s.algorithm = nullptr;
    throw std::runtime_error("SHA256 provider");
  }
  DWORD objectLength = 0;
  ULONG got = 0;
  if (!Ok(BCryptGetProperty(s.algorithm, BCRYPT_OBJECT_LENGTH, Bytes(&objectLength),
                            sizeof objectLength, &got, 0)) ||
      got != sizeof objectLength) {
    throw std::runtime_error("SHA256 storage");
  }
  s.object.assign(objectLength, 0);
  if (!Ok(BCryptCreateHash(s.algorithm, &s.hash, s.object.data(), objectLength, nullptr, 0, 0))) {
    s.hash = nullptr;
    throw std::runtime_error("SHA256 create");
  }
}

Sha256Stream::~Sha256Stream() = default;
Sha256Stream::Sha256Stream(Sha256Stream&&) noexcept = default;
Sha256Stream& Sha256Stream::operator=(Sha256Stream&&) noexcept = default;

void Sha256Stream::Update(const void* data, std::size_t size) {
  if (finished_ || !state_ || size > kSha256ChunkLimit) throw std::runtime_error("SHA256 chunk");
  if (size == 0) return;
  if (!Ok(BCryptHashData(state_->hash, Bytes(data), static_cast<ULONG>(size), 0))) {
    throw std::runtime_error("SHA256 update");
  }
}

std::string Sha256Stream::FinishHex() {
  if (finished_) return digestHex_;
  if (!state_) throw std::runtime_error("SHA256 finish");
  SecretArray<kSha256Size> digest;
  if (!Ok(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0))) {
    throw std::runtime_error("SHA256 finish");
  }
  digestHex_ = HexEncode(digest.data(), digest.size());
  finished_ = true;
  return digestHex_;
}

// ---- AES-256-GCM -------------------------------------------------------------------------------

struct AesGcmProvider::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  ~State() {
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

AesGcmProvider::AesGcmProvider() = default;
AesGcmProvider::~AesGcmProvider() = default;
AesGcmProvider::AesGcmProvider(AesGcmProvider&&) noexcept = default;
AesGcmProvider& AesGcmProvider::operator=(AesGcmProvider&&) noexcept = default;

bool AesGcmProvider::IsOpen() const noexcept { return state_ && state_->algorithm != nullptr; }

void OpenAesGcmProvider(AesGcmProvider& provider) {
  provider.state_ = std::make_unique<AesGcmProvider::State>();
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!Ok(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_AES_ALGORITHM, nullptr, 0))) {
    throw std::runtime_error("AES provider failed");
  }
  provider.state_->algorithm = algorithm;  // closed by the provider's owner from here on
  if (!Ok(BCryptSetProperty(algorithm, BCRYPT_CHAINING_MODE, Bytes(BCRYPT_CHAIN_MODE_GCM),
                            sizeof(BCRYPT_CHAIN_MODE_GCM), 0))) {
    throw std::runtime_error("AES-GCM mode unavailable");
  }
  BCRYPT_AUTH_TAG_LENGTHS_STRUCT tags{};
  ULONG got = 0;
  if (!Ok(BCryptGetProperty(algorithm, BCRYPT_AUTH_TAG_LENGTH, Bytes(&tags), sizeof tags, &got,
                            0)) ||
      got != sizeof tags) {
    throw std::runtime_error("AES-GCM tag query failed");
  }
  if (tags.dwMinLength > kGcmTagSize || tags.dwMaxLength < kGcmTagSize) {
    throw std::runtime_error("AES-GCM 128-bit tags unavailable");
  }
}

struct AesGcmKey::State {
  BCRYPT_KEY_HANDLE key = nullptr;
  ~State() {
    if (key != nullptr) BCryptDestroyKey(key);
  }
};

AesGcmKey::AesGcmKey(const AesGcmProvider& provider, const std::uint8_t* key32) {
  if (!provider.IsOpen()) throw std::runtime_error("AES key import failed");
  auto state = std::make_unique<State>();
  if (!Ok(BCryptGenerateSymmetricKey(provider.state()->algorithm, &state->key, nullptr, 0,
                                     Bytes(key32), static_cast<ULONG>(kAesKeySize), 0))) {
    state->key = nullptr;
    throw std::runtime_error("AES key import failed");
  }
  state_ = std::move(state);
}

AesGcmKey::~AesGcmKey() = default;
AesGcmKey::AesGcmKey(AesGcmKey&&) noexcept = default;
AesGcmKey& AesGcmKey::operator=(AesGcmKey&&) noexcept = default;

namespace {

BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO GcmInfo(const std::uint8_t* nonce12, const std::uint8_t* aad,
                                              std::size_t aadLength, const std::uint8_t* tag16) {
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  BCRYPT_INIT_AUTH_MODE_INFO(info);
  info.pbNonce = Bytes(nonce12);
  info.cbNonce = static_cast<ULONG>(kGcmNonceSize);
  info.pbAuthData = aadLength ? Bytes(aad) : nullptr;
  info.cbAuthData = static_cast<ULONG>(aadLength);
  info.pbTag = Bytes(tag16);
  info.cbTag = static_cast<ULONG>(kGcmTagSize);
  return info;
}

// Never null, even for zero-length data: a null input is the provider's "query the output size"
// form, and at least one implementation (Wine) then returns success without checking the tag.
std::uint8_t gEmptyBuffer[1];

PUCHAR NonNull(const std::uint8_t* p) noexcept { return p != nullptr ? Bytes(p) : gEmptyBuffer; }

}  // namespace

bool AesGcmKey::Encrypt(const std::uint8_t* nonce12, const std::uint8_t* aad, std::size_t aadLength,
                        const std::uint8_t* plaintext, std::size_t length,
                        std::uint8_t* ciphertext, std::uint8_t* tag16,
                        std::size_t& written) const noexcept {
  written = 0;
  if (!state_ || length > 0xFFFFFFFFULL || aadLength > 0xFFFFFFFFULL) return false;
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = GcmInfo(nonce12, aad, aadLength, tag16);
  ULONG result = 0;
  if (!Ok(BCryptEncrypt(state_->key, NonNull(plaintext), static_cast<ULONG>(length), &info,
                        nullptr, 0, NonNull(ciphertext), static_cast<ULONG>(length), &result,
                        0))) {
    return false;
  }
  written = result;
  return true;
}

bool AesGcmKey::Decrypt(const std::uint8_t* nonce12, const std::uint8_t* aad, std::size_t aadLength,
                        const std::uint8_t* ciphertext, std::size_t length,
                        const std::uint8_t* tag16, std::uint8_t* plaintext,
                        std::size_t& written) const noexcept {
  written = 0;
  if (!state_ || length > 0xFFFFFFFFULL || aadLength > 0xFFFFFFFFULL) return false;
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = GcmInfo(nonce12, aad, aadLength, tag16);
  ULONG result = 0;
  if (!Ok(BCryptDecrypt(state_->key, NonNull(ciphertext), static_cast<ULONG>(length), &info,
                        nullptr, 0, NonNull(plaintext), static_cast<ULONG>(length), &result,
                        0))) {
    return false;
  }
  written = result;
  return true;
}

// ---- ECDSA P-256 -------------------------------------------------------------------------------

namespace {

// SHA-256 of any amount of data, fed to the provider in pieces that fit its 32-bit lengths.
bool Sha256Digest(const void* data, std::size_t size, std::uint8_t* out32) noexcept {
  AlgorithmHandle algorithm;
  if (!Ok(BCryptOpenAlgorithmProvider(&algorithm.handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    algorithm.handle = nullptr;
    return false;
  }
  HashHandle hash;
  if (!Ok(BCryptCreateHash(algorithm.handle, &hash.handle, nullptr, 0, nullptr, 0, 0))) {
    hash.handle = nullptr;
    return false;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ULONG piece = size > 0x40000000 ? 0x40000000UL : static_cast<ULONG>(size);
    if (!Ok(BCryptHashData(hash.handle, Bytes(bytes), piece, 0))) return false;
    bytes += piece;
    size -= piece;
  }
  return Ok(BCryptFinishHash(hash.handle, out32, static_cast<ULONG>(kSha256Size), 0));
}

}  // namespace

bool detail::ProviderVerifyEcdsaP256Sha256(const std::uint8_t* publicKeyBlob72, const void* data,
                                           std::size_t size, const std::uint8_t* signature64) {
  std::uint8_t digest[kSha256Size];
  if (!Sha256Digest(data, size, digest)) throw std::runtime_error("signature provider");
  AlgorithmHandle algorithm;
  if (!Ok(BCryptOpenAlgorithmProvider(&algorithm.handle, BCRYPT_ECDSA_P256_ALGORITHM, nullptr,
                                      0))) {
    algorithm.handle = nullptr;
    throw std::runtime_error("signature provider");
  }
  KeyHandle key;
  if (!Ok(BCryptImportKeyPair(algorithm.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key.handle,
                              Bytes(publicKeyBlob72),
                              static_cast<ULONG>(kEcdsaP256PublicBlobSize), 0))) {
    key.handle = nullptr;
    throw std::runtime_error("signature key");
  }
  return BCryptVerifySignature(key.handle, nullptr, digest, static_cast<ULONG>(sizeof digest),
                               Bytes(signature64), static_cast<ULONG>(kEcdsaP256SignatureSize),
                               0) == 0;  // STATUS_SUCCESS; STATUS_INVALID_SIGNATURE otherwise
}

}  // namespace ov
