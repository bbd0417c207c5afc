// The update manifest: its envelope (a signed payload), the payload's five members, and the URL
// paths of the update service. This file has no cryptography, so that the release tool can build
// and check manifests with its own; the signature is verified by VerifyManifest
// (manifest_verify.h).
//
// Every failure is an exception carrying a fixed text that the update card shows:
// "manifest bound", "manifest envelope", "manifest lengths", "manifest schema",
// "manifest version", "manifest size", "manifest hash", "Update verification failed" (strict
// Base64, nesting deeper than level 3), or the JSON library's own text (bad syntax, a member of
// the wrong JSON type, a missing member).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_codec.h"

namespace ov {

inline constexpr std::size_t kManifestMaxBytes = 16384;
inline constexpr std::size_t kManifestPayloadMaxBytes = 8192;
inline constexpr std::uint32_t kReleaseMinBytes = 65536;
inline constexpr std::uint32_t kReleaseMaxBytes = 33554432;
inline constexpr std::uint64_t kManifestSchema = 1;
inline constexpr std::string_view kReleasePlatform = "windows-x64";
inline constexpr std::string_view kManifestPathPrefix = "/download/update.json?check=";
inline constexpr std::string_view kReleasePathPrefix = "/download/releases/";
inline constexpr std::string_view kReleaseExecutableName = "Orvantis.exe";
// The Base64 text of the release key: 72 bytes.
inline constexpr std::size_t kReleaseKeyBase64Length = 96;

// A manifest's announcement: the payload's members that the program uses.
struct ReleaseManifest {
  std::string version;      // a valid version text
  std::uint32_t bytes = 0;  // kReleaseMinBytes to kReleaseMaxBytes
  std::string sha256;       // 64 lower-case hex characters

  friend bool operator==(const ReleaseManifest&, const ReleaseManifest&) = default;
};

// The decoded parts of an envelope, its signature not yet checked.
struct ManifestEnvelope {
  std::vector<std::uint8_t> payload;    // 1 to 8192 bytes
  std::vector<std::uint8_t> signature;  // 64 bytes: r then s
  std::vector<std::uint8_t> key;        // 72 bytes: the release key's BCrypt blob
};

// Checks, in this order: `text` is 1 to 16384 bytes ("manifest bound"); it parses (depth 3); it
// is an object of exactly the two members "payload" and "signature" ("manifest envelope"), both
// strings (else the library's type error); both and `releaseKeyBase64` are strict Base64 of 1 to
// 24000 characters ("Update verification failed"); the payload is at most 8192 bytes, the
// signature 64 and the key 72 ("manifest lengths").
ManifestEnvelope ParseManifestEnvelope(std::string_view text, std::string_view releaseKeyBase64);

// Checks the payload's members, in this order: a five-member object whose "schema" is an
// unsigned integer, equal to 1, and whose "platform" is "windows-x64" ("manifest schema");
// "version" a valid version text ("manifest version"); "bytes" an unsigned integer from 65536 to
// 33554432 ("manifest size"); "sha256" 64 characters 0-9a-f ("manifest hash"). A member of
// another JSON type than its rule names (a string for "bytes") gives the library's type error.
ReleaseManifest CheckManifestPayload(std::span<const std::uint8_t> payload);

// The payload text of `manifest` in the program's one JSON form (the members in byte order).
std::string SerializeManifestPayload(const ReleaseManifest& manifest);

// "/download/update.json?check=<tick>": the tick only defeats caches.
std::string ManifestPath(std::uint64_t tick);
// "/download/releases/<version>/Orvantis.exe".
std::string ReleasePath(std::string_view version);
// "Kestrova-<version>-<hex8>.exe": the saved download's name.
std::string DownloadFileName(std::string_view version, std::string_view hex8);

// True when `body` can be the announced release: exactly `bytes` long, more than 1 byte, and
// beginning with "MZ". The digest is checked by VerifyReleaseBody.
bool HasReleaseShape(std::span<const std::uint8_t> body, std::uint32_t bytes) noexcept;

}  // namespace ov
