#include "update/manifest_verify.h"

#include <algorithm>
#include <stdexcept>

#include "crypto/primitives.h"

namespace ov {

ReleaseManifest VerifyManifest(std::string_view envelope, std::string_view releaseKeyBase64) {
  const ManifestEnvelope parts = ParseManifestEnvelope(envelope, releaseKeyBase64);
  if (!VerifyEcdsaP256Sha256(parts.key.data(), parts.payload.data(), parts.payload.size(),
                             parts.signature.data())) {
    throw std::runtime_error("manifest signature");
  }
  return CheckManifestPayload(parts.payload);
}

void VerifyReleaseBody(std::span<const std::uint8_t> body, const ReleaseManifest& manifest) {
  if (!HasReleaseShape(body, manifest.bytes)) throw std::runtime_error("Update verification failed");
  Sha256Stream digest;
  for (std::size_t at = 0; at < body.size(); at += kSha256ChunkLimit) {
    digest.Update(body.data() + at, std::min(kSha256ChunkLimit, body.size() - at));
  }
  if (digest.FinishHex() != manifest.sha256) throw std::runtime_error("Update verification failed");
}

}  // namespace ov
