// What makes a message between the nodes of a fleet trustworthy: keys derived from the fleet's
// shared secret, the sealed envelope every NATS message travels in (encrypted, and authenticated
// with the subject, the sender's instance and a counter, so that a message is read only by a
// holder of the secret and accepted once, on the subject it was sent to, and only from a holder
// of the secret), the replay window per sender, and the proof a
// dialling node gives in its link hello (an HMAC over the accepting node's fresh challenge and
// the TLS channel, so a recorded hello proves nothing on another connection).
//
// Pure functions and a small class; no I/O. OpenSSL does the hashing and the cipher.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ov::relay::fleet {

using Key = std::array<std::uint8_t, 32>;

struct Keys {
  Key nats;   // seals the messages published on NATS
  Key link;   // the TLS 1.3 pre-shared key of the direct links
  Key hello;  // the link hello's proof
};

// The shortest secret taken (bytes, after trailing whitespace is cut).
inline constexpr std::size_t kMinSecret = 16;

// Reads the fleet secret from `path`: its bytes without trailing whitespace (so a file written
// with echo works). Throws std::runtime_error when it cannot be read or is shorter than
// kMinSecret, or when others than its owner may read it.
std::string ReadSecretFile(const std::string& path);
// Independent keys for each use, from the secret (HMAC-SHA256 with a label per key).
Keys DeriveKeys(std::string_view secret);

// --- The sealed envelope -------------------------------------------------------------------------
//
// version (1) | instance (8, little-endian) | counter (8) | encrypted payload | tag (16)
// AES-256-GCM under a key of the sender's instance (HMAC of the NATS key and the instance), with
// the counter as nonce; the subject the message is published to and the first 17 bytes are
// authenticated with it. A sender never seals two messages with one counter in a run.

inline constexpr std::uint8_t kSealVersion = 2;
inline constexpr std::size_t kSealOverhead = 1 + 8 + 8 + 16;

void Seal(const Key& key, std::string_view subject, std::uint64_t instance, std::uint64_t counter,
          std::string_view payload, std::string& out);

struct Opened {
  std::uint64_t instance = 0;
  std::uint64_t counter = 0;
  std::vector<std::uint8_t> payload;  // decrypted
};
// Nothing when `bytes` is not an envelope sealed with `key` for `subject`.
std::optional<Opened> Open(const Key& key, std::string_view subject,
                           std::span<const std::uint8_t> bytes);

// Refuses a counter a sender's instance has used before. Counters of an instance may arrive out of
// order within a window of 64; older ones are refused. A sender's last kInstances instances are
// remembered (a node that restarts gets a new random instance). Not thread-safe.
class ReplayGuard {
 public:
  static constexpr std::size_t kInstances = 64;
  // True (and remembered) when `counter` of (`sender`, `instance`) is new. Counter 0 is never
  // accepted.
  bool Accept(std::string_view sender, std::uint64_t instance, std::uint64_t counter);

 private:
  struct Window {
    std::uint64_t instance = 0;
    std::uint64_t top = 0;   // the highest counter accepted
    std::uint64_t seen = 0;  // bit i: top - i was accepted
  };
  std::unordered_map<std::string, std::vector<Window>> senders_;  // most recent instance last
};

// --- The link hello ----------------------------------------------------------------------------

inline constexpr std::size_t kChallenge = 32;
inline constexpr std::size_t kProof = 32;
// The TLS exporter label both ends derive the channel binding with.
inline constexpr std::string_view kExporterLabel = "EXPORTER-kestrova-fleet-link";

// The dialler's proof: HMAC(hello key, challenge | channel binding | node | instance).
std::array<std::uint8_t, kProof> HelloProof(const Key& key,
                                            std::span<const std::uint8_t> challenge,
                                            std::span<const std::uint8_t> binding,
                                            std::string_view node, std::uint64_t instance);
// Constant-time comparison of a received proof with the expected one.
bool ProofEquals(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

// Random bytes from the system's generator (OpenSSL's); throws when it fails.
void RandomBytes(std::span<std::uint8_t> out);
std::uint64_t RandomU64();

}  // namespace ov::relay::fleet
