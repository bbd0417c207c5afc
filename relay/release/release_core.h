// kestrova-release's work: P-256 release keys, signed manifests, and the publication of a
// release into the relay's update folder. Written against the EVP interface that OpenSSL (the
// tool) and BoringSSL (the program's tests, which publish in-process) both provide.
//
// Update folder layout (what the relay serves under /download/):
//   update.json                     the signed manifest of the current release
//   releases/X.Y.Z/Orvantis.exe     every published release
//
// Every failure throws std::runtime_error with a sentence for the person running the tool.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "update/manifest.h"

namespace ov::release {

// A P-256 private key. Move-only.
class ReleaseKey {
 public:
  // A fresh key from the library's generator.
  static ReleaseKey Generate();
  // A key from a PEM file (PKCS#8 or SEC 1). Throws unless it is a P-256 key.
  static ReleaseKey Load(const std::filesystem::path& file);

  ReleaseKey(ReleaseKey&&) noexcept;
  ReleaseKey& operator=(ReleaseKey&&) noexcept;
  ~ReleaseKey();

  // Writes the private key as PKCS#8 PEM to a new file with mode 0600; an existing file is never
  // replaced.
  void Save(const std::filesystem::path& file) const;
  // Base64 of the 72-byte BCrypt ECC public blob (96 characters): the program's build setting.
  std::string PublicBase64() const;
  // The 64-byte r||s signature over the SHA-256 of `data`.
  std::vector<std::uint8_t> Sign(std::span<const std::uint8_t> data) const;

  struct Pkey;

 private:
  explicit ReleaseKey(std::unique_ptr<Pkey> key);
  std::unique_ptr<Pkey> key_;
};

// Lower-case hex SHA-256.
std::string Sha256Hex(std::span<const std::uint8_t> data);

// True when `signature64` (r||s) verifies over `data` under the public blob (Base64).
bool VerifySignature(std::string_view publicBase64, std::span<const std::uint8_t> data,
                     std::span<const std::uint8_t> signature64);

// The manifest text for an executable's bytes: checks the version text, the size bounds
// (65536 to 33554432 bytes) and the "MZ" signature, then signs the payload.
std::string MakeManifest(const ReleaseKey& key, std::span<const std::uint8_t> exe, std::string_view version);

// Publishes `exe` as release `version` into `updateDir`: the release file is written first (to a
// temporary file, flushed, renamed), then update.json the same way, so that a relay serving the
// folder meanwhile answers either the old or the new manifest, and the release it names is always
// complete. Publishing a version again is allowed only with identical bytes. Returns the manifest.
ReleaseManifest Publish(const ReleaseKey& key, const std::filesystem::path& exe, std::string_view version,
                        const std::filesystem::path& updateDir);

// Checks `updateDir` as the program would: the manifest against `publicBase64` with the
// program's own rules, then the release file it names (size, "MZ", digest).
ReleaseManifest VerifyFolder(const std::filesystem::path& updateDir, std::string_view publicBase64);

}  // namespace ov::release
