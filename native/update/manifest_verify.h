// The signature and release checks of the update manifest, with the platform's crypto provider.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "update/manifest.h"

namespace ov {

// Verifies a whole manifest response against the release key (Base64 of its 72-byte blob):
// ParseManifestEnvelope, then the ECDSA P-256 signature over the payload ("signature key" when
// the key is not a valid P-256 point, "signature provider" when the provider fails, "manifest
// signature" when the signature does not verify), then CheckManifestPayload.
ReleaseManifest VerifyManifest(std::string_view envelope, std::string_view releaseKeyBase64);

// Throws std::runtime_error("Update verification failed") unless `body` has the release's shape
// (HasReleaseShape) and its SHA-256 in lower-case hex equals `manifest.sha256` exactly.
void VerifyReleaseBody(std::span<const std::uint8_t> body, const ReleaseManifest& manifest);

}  // namespace ov
