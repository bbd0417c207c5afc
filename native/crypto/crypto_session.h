// The sealed channel between host and viewer: two AES-256-GCM keys, one per direction, and
// per-direction sequence numbers. Every binary peer message is one sealed message:
//
//   offset 0  "OV" (0x4F 0x56)      offset 2  version (3)      offset 3  kind (1-5)
//   offset 4  sequence, u64 big-endian, at least 1
//   offset 12 ciphertext (as long as the plaintext)            then a 16-byte GCM tag
//
// The GCM nonce is 4 zero bytes followed by the 8 sequence bytes; the 12-byte header is the
// additional authenticated data. Shared between the controller and queued items by shared_ptr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "crypto/primitives.h"

namespace ov {

enum class SealedKind : std::uint8_t {
  Frame = 1,    // host to viewer: frame header and JPEG
  Input = 2,    // viewer to host: one JSON input event
  Binding = 3,  // host to viewer: the 32-character request ID
  Control = 4,  // both: one JSON control message
  Tools = 5,    // both: one file chunk
};

inline constexpr std::uint8_t kChannelVersion = 3;
inline constexpr std::size_t kSealedHeaderSize = 12;
inline constexpr std::size_t kSealedOverhead = kSealedHeaderSize + kGcmTagSize;  // 28
inline constexpr std::size_t kMaxSealedSize = 8388608;                            // 8 MiB
inline constexpr std::size_t kMaxSealedPlaintext = kMaxSealedSize - kSealedOverhead;

class CryptoSession {
 public:
  // Opens the AES-GCM provider and imports the send key, then the receive key (32 bytes each).
  // Throws the provider's texts, or std::runtime_error("AES key import failed"). The caller
  // wipes its copies of the keys.
  CryptoSession(const std::uint8_t* sendKey32, const std::uint8_t* receiveKey32);
  ~CryptoSession();
  CryptoSession(const CryptoSession&) = delete;
  CryptoSession& operator=(const CryptoSession&) = delete;

  // Seals one message of `kind` (1-255 accepted by the layout; the protocol uses 1-5).
  // Throws std::invalid_argument("Invalid encrypted message size or kind") for kind 0 or a
  // plaintext over kMaxSealedPlaintext, std::overflow_error("Encryption sequence exhausted"),
  // std::runtime_error("Authenticated encryption failed") or ("Unexpected encryption length").
  // The sequence is consumed before encrypting, so a failure leaves a gap.
  std::vector<std::uint8_t> Seal(std::uint8_t kind, std::span<const std::uint8_t> plaintext);
  // The same, writing into `sealed` (its storage is reused when large enough).
  void SealInto(std::uint8_t kind, std::span<const std::uint8_t> plaintext,
                std::vector<std::uint8_t>& sealed);

  // Opens one sealed message. Returns false, and changes nothing, for a wrong length (not 28 to
  // 8388608), magic, version or kind 0, a sequence that does not rise strictly, or a failed tag
  // check. Gaps in the sequence are accepted. On success `plaintext` holds exactly the message;
  // on refusal it never holds unauthenticated bytes (it is emptied or left as it was).
  bool Unseal(std::span<const std::uint8_t> sealed, std::uint8_t& kind,
              std::vector<std::uint8_t>& plaintext);

 private:
  friend struct CryptoSessionTestAccess;

  std::mutex mutex_;
  AesGcmProvider provider_;
  std::optional<AesGcmKey> sendKey_;
  std::optional<AesGcmKey> receiveKey_;
  std::uint64_t sendSequence_ = 0;         // the number last used
  std::uint64_t lastReceiveSequence_ = 0;  // the last one accepted
  const std::uint8_t version_ = kChannelVersion;
};

}  // namespace ov
