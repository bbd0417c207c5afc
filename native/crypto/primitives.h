// Cryptographic and identity primitives: system randomness, lowercase hex, device IDs and session
// passwords, HMAC-SHA256, HKDF-SHA256, incremental SHA-256, AES-256-GCM and constant-time compare.
//
// The cryptographic operations are done by the platform's provider, chosen at link time:
// primitives_cng_win.cc (Windows CNG) or primitives_boringssl_posix.cc (BoringSSL). Both throw
// the same exception types with the same texts and obey the same limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ov {

inline constexpr std::string_view kPasswordAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
inline constexpr std::size_t kDeviceIdLength = 9;
inline constexpr std::size_t kSessionPasswordLength = 8;

// ---- Randomness and hex ----------------------------------------------------------------------

// Fills `size` bytes from the system's preferred generator.
// Throws std::runtime_error("System random generator failed").
void SystemRandom(void* buffer, std::size_t size);

// `byteCount` random bytes as lowercase hex. Throws std::length_error("Random buffer too large")
// above 4294967295 bytes and std::length_error("Hex buffer too large") when the text would not fit.
std::string RandomHex(std::uint64_t byteCount);

std::string HexEncode(const void* data, std::size_t size);
// True only when `text` is exactly 2 * byteCount characters of 0-9a-f; then writes `out`.
bool HexDecode(std::string_view text, std::uint8_t* out, std::size_t byteCount) noexcept;
// True when `text` is exactly `length` characters of 0-9a-f.
bool IsLowerHex(std::string_view text, std::size_t length) noexcept;

// ---- Device ID and session password ------------------------------------------------------------

// A uniformly chosen 9-digit ID (first digit 1-9), by rejection sampling of 32-bit draws.
std::string GenerateDeviceId();
// The ID for one 32-bit draw, or nothing when the draw must be discarded (3600000000 or more).
std::optional<std::string> DeviceIdFromDraw(std::uint32_t draw);
bool IsValidDeviceId(std::string_view text) noexcept;
// Keeps only the digits 0-9 of what the user typed, in order.
std::string NormalizeDeviceIdInput(std::wstring_view typed);
// "123 456 789" form.
std::string FormatDeviceId(std::string_view id);

// 8 characters of kPasswordAlphabet, uniform.
std::string GenerateSessionPassword();
// The password for 8 random bytes: character i is kPasswordAlphabet[bytes[i] & 31].
std::string SessionPasswordFromBytes(const std::uint8_t (&bytes)[8]);
bool IsValidSessionPassword(std::string_view text) noexcept;
// Drops white space (tab, LF, VT, FF, CR, space) and '-', upper-cases a-z, keeps everything else.
std::string NormalizeSessionPassword(std::string_view typed);
// "ABCD-EFGH" for a valid password, otherwise "".
std::string FormatSessionPassword(std::string_view password);

// ---- Hashing and key derivation ----------------------------------------------------------------

inline constexpr std::size_t kSha256Size = 32;

// HMAC-SHA256 of `data` under `key` into `out` (32 bytes). A fresh provider per call.
// Throws std::length_error("HMAC input too large") for inputs over 4294967295 bytes, and
// std::runtime_error "HMAC provider failed" / "HMAC key failed" / "HMAC update failed" /
// "HMAC finish failed".
void HmacSha256(const void* key, std::size_t keyLength, const void* data, std::size_t dataLength,
                std::uint8_t* out);

// RFC 5869 HKDF-Expand with SHA-256. Throws std::length_error("HKDF output too large") when the
// output exceeds 8160 bytes or the info 4096 bytes. Intermediates are wiped.
void HkdfExpandSha256(const std::uint8_t* prk, const void* info, std::size_t infoLength,
                      std::uint8_t* out, std::size_t outLength);

// Incremental SHA-256 for data fed in pieces of at most kSha256ChunkLimit bytes. Move-only.
inline constexpr std::size_t kSha256ChunkLimit = 32768;
class Sha256Stream {
 public:
  // Throws std::runtime_error "SHA256 provider" / "SHA256 storage" / "SHA256 create".
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(Sha256Stream&&) noexcept;
  Sha256Stream& operator=(Sha256Stream&&) noexcept;
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;

  // Throws "SHA256 chunk" after FinishHex or above kSha256ChunkLimit bytes, "SHA256 update" when
  // hashing fails. A size of 0 does nothing.
  void Update(const void* data, std::size_t size);
  // The digest as 64 lowercase hex characters; later calls return the same text.
  // Throws "SHA256 finish".
  std::string FinishHex();

  struct State;

 private:
  std::unique_ptr<State> state_;
  std::string digestHex_;
  bool finished_ = false;
};

// ---- AES-256-GCM -------------------------------------------------------------------------------

inline constexpr std::size_t kAesKeySize = 32;
inline constexpr std::size_t kGcmNonceSize = 12;
inline constexpr std::size_t kGcmTagSize = 16;

// The opened AES-GCM algorithm of the provider. Move-only; closes on destruction.
class AesGcmProvider {
 public:
  AesGcmProvider();
  ~AesGcmProvider();
  AesGcmProvider(AesGcmProvider&&) noexcept;
  AesGcmProvider& operator=(AesGcmProvider&&) noexcept;
  AesGcmProvider(const AesGcmProvider&) = delete;
  AesGcmProvider& operator=(const AesGcmProvider&) = delete;

  bool IsOpen() const noexcept;

  struct State;
  State* state() const noexcept { return state_.get(); }

 private:
  friend void OpenAesGcmProvider(AesGcmProvider& provider);
  std::unique_ptr<State> state_;
};

// Opens "AES" in GCM mode and checks that 128-bit tags are available. The handle is stored in
// `provider` before the checks, so its destructor closes it when a later step fails.
// Throws std::runtime_error "AES provider failed" / "AES-GCM mode unavailable" /
// "AES-GCM tag query failed" / "AES-GCM 128-bit tags unavailable".
void OpenAesGcmProvider(AesGcmProvider& provider);

// One imported 256-bit key. Move-only; the key material is destroyed with it.
class AesGcmKey {
 public:
  // Throws std::runtime_error("AES key import failed"). `provider` must be open and must outlive
  // the key.
  AesGcmKey(const AesGcmProvider& provider, const std::uint8_t* key32);
  ~AesGcmKey();
  AesGcmKey(AesGcmKey&&) noexcept;
  AesGcmKey& operator=(AesGcmKey&&) noexcept;
  AesGcmKey(const AesGcmKey&) = delete;
  AesGcmKey& operator=(const AesGcmKey&) = delete;

  // Encrypts `length` bytes (in place allowed: `ciphertext` may equal `plaintext`), writing a
  // 16-byte tag. Returns false on provider failure; `written` is the ciphertext length produced.
  bool Encrypt(const std::uint8_t* nonce12, const std::uint8_t* aad, std::size_t aadLength,
               const std::uint8_t* plaintext, std::size_t length, std::uint8_t* ciphertext,
               std::uint8_t* tag16, std::size_t& written) const noexcept;
  // Decrypts and verifies. Returns false when the tag does not match or the provider fails;
  // `plaintext` is then unspecified and the caller must not use it.
  bool Decrypt(const std::uint8_t* nonce12, const std::uint8_t* aad, std::size_t aadLength,
               const std::uint8_t* ciphertext, std::size_t length, const std::uint8_t* tag16,
               std::uint8_t* plaintext, std::size_t& written) const noexcept;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// ---- ECDSA P-256 with SHA-256 ------------------------------------------------------------------

// A public key is the 72-byte BCrypt ECC public blob: the magic "ECS1" (0x31534345, little-endian,
// BCRYPT_ECDSA_PUBLIC_P256_MAGIC), the key length 32 (little-endian), then X and Y, 32 bytes each,
// big-endian. A signature is 64 bytes: r then s, 32 bytes each, big-endian.
inline constexpr std::size_t kEcdsaP256PublicBlobSize = 72;
inline constexpr std::size_t kEcdsaP256SignatureSize = 64;
inline constexpr std::uint32_t kEcdsaP256PublicMagic = 0x31534345;

// True when `blob72` has the magic and key length above and (X, Y) is a point of P-256: both
// coordinates below the field prime and y^2 = x^3 - 3x + b. Decided here, not by the provider,
// so every build refuses exactly the same keys.
bool IsValidEcdsaP256PublicBlob(const std::uint8_t* blob72) noexcept;

// Verifies an ECDSA P-256 signature over the SHA-256 of `data` (`size` bytes; `data` may be null
// when `size` is 0). Returns false for any signature that does not verify, including r or s equal
// to 0 or at least the group order. Both forms of s (s and n - s) are accepted, as the standard
// verification does; the signature is brought to the low form before the provider sees it, so a
// provider's own policy on high s cannot change the answer.
// Throws std::runtime_error("signature key") when the blob is not a valid public key (see
// IsValidEcdsaP256PublicBlob) and std::runtime_error("signature provider") when the provider
// cannot be opened or cannot hash.
bool VerifyEcdsaP256Sha256(const std::uint8_t* publicKeyBlob72, const void* data, std::size_t size,
                           const std::uint8_t* signature64);

namespace detail {
// The provider's half of VerifyEcdsaP256Sha256, for that function alone. Expects a blob that
// IsValidEcdsaP256PublicBlob accepts and a signature with r and s in [1, n - 1]. Throws
// "signature provider" or "signature key" (the provider refused the blob) as above.
bool ProviderVerifyEcdsaP256Sha256(const std::uint8_t* publicKeyBlob72, const void* data,
                                   std::size_t size, const std::uint8_t* signature64);
}  // namespace detail

// ---- Comparison --------------------------------------------------------------------------------

// Compares every byte without early exit.
bool ConstantTimeEqual(const void* a, const void* b, std::size_t length) noexcept;

}  // namespace ov
