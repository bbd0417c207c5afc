#include "update/manifest.h"

#include <stdexcept>

#include "update/base64.h"
#include "update/version.h"

namespace ov {
namespace {

[[noreturn]] void Fail(const char* text) { throw std::runtime_error(text); }

bool IsLowerHex64(std::string_view text) noexcept {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

ManifestEnvelope ParseManifestEnvelope(std::string_view text, std::string_view releaseKeyBase64) {
  if (text.empty() || text.size() > kManifestMaxBytes) Fail("manifest bound");
  const Json envelope = BoundedJson(text);
  if (!envelope.is_object() || envelope.size() != 2 || !envelope.contains("payload") ||
      !envelope.contains("signature")) {
    Fail("manifest envelope");
  }
  const auto payloadText = envelope.at("payload").get<std::string>();
  const auto signatureText = envelope.at("signature").get<std::string>();
  ManifestEnvelope out;
  out.payload = DecodeUpdateBase64(payloadText);
  out.signature = DecodeUpdateBase64(signatureText);
  out.key = DecodeUpdateBase64(releaseKeyBase64);
  if (out.payload.size() > kManifestPayloadMaxBytes || out.signature.size() != 64 || out.key.size() != 72) {
    Fail("manifest lengths");
  }
  return out;
}

ReleaseManifest CheckManifestPayload(std::span<const std::uint8_t> payload) {
  const Json p =
      BoundedJson(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
  if (!p.is_object() || p.size() != 5 || !p.contains("schema") || !p.at("schema").is_number_unsigned()) {
    Fail("manifest schema");
  }
  if (p.at("schema").get<std::uint64_t>() != kManifestSchema) Fail("manifest schema");
  if (p.at("platform").get<std::string>() != kReleasePlatform) Fail("manifest schema");

  ReleaseManifest out;
  out.version = p.at("version").get<std::string>();
  if (!ParseVersion(out.version)) Fail("manifest version");

  const Json& bytes = p.at("bytes");
  if (!bytes.is_number()) (void)bytes.get<std::uint64_t>();  // the library's type error
  if (!bytes.is_number_unsigned()) Fail("manifest size");
  const auto size = bytes.get<std::uint64_t>();
  if (size < kReleaseMinBytes || size > kReleaseMaxBytes) Fail("manifest size");
  out.bytes = static_cast<std::uint32_t>(size);

  out.sha256 = p.at("sha256").get<std::string>();
  if (!IsLowerHex64(out.sha256)) Fail("manifest hash");
  return out;
}

std::string SerializeManifestPayload(const ReleaseManifest& manifest) {
  Json payload = Json::object();
  payload["schema"] = kManifestSchema;
  payload["platform"] = std::string(kReleasePlatform);
  payload["version"] = manifest.version;
  payload["bytes"] = manifest.bytes;
  payload["sha256"] = manifest.sha256;
  return SerializeMessage(payload);
}

std::string ManifestPath(std::uint64_t tick) {
  return std::string(kManifestPathPrefix) + std::to_string(tick);
}

std::string ReleasePath(std::string_view version) {
  return std::string(kReleasePathPrefix) + std::string(version) + "/" + std::string(kReleaseExecutableName);
}

std::string DownloadFileName(std::string_view version, std::string_view hex8) {
  return "Kestrova-" + std::string(version) + "-" + std::string(hex8) + ".exe";
}

bool HasReleaseShape(std::span<const std::uint8_t> body, std::uint32_t bytes) noexcept {
  return body.size() == bytes && body.size() > 1 && body[0] == 0x4D && body[1] == 0x5A;
}

}  // namespace ov
