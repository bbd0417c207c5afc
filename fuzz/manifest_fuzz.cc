// The update manifest as the updater reads it from the service: the envelope, its signature over
// the payload, and the payload's members. A fixed release key signs inside the harness, so that
// the fuzzer's payloads get past the signature to the payload checks.
//
//   byte 0 % 3 = 0: the rest is a whole response body, checked with the run's key.
//   byte 0 % 3 = 1: the rest is a payload, signed and put in an envelope; VerifyManifest must
//                   give exactly what CheckManifestPayload gives for it.
//   byte 0 % 3 = 2: as 1, then the envelope's byte at (byte 1, byte 2) is changed by XOR with
//                   byte 3; the rest after those three bytes is the payload. A changed envelope
//                   that still verifies must carry the signed payload unchanged.
//
// Every refusal is one of the fixed texts the update card shows or the JSON library's own; every
// manifest returned has a valid version, a size within the release limits and a lower-case hex
// digest, and its payload written back out checks to the same manifest; an accepted payload has
// exactly its five members, schema 1 and the platform "windows-x64".
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_codec.h"
#include "fuzz/fixed_key.h"
#include "fuzz/fuzz_check.h"
#include "update/manifest.h"
#include "update/base64.h"
#include "update/manifest_verify.h"
#include "update/testing/test_release_key.h"
#include "update/version.h"

namespace {

// A release key from a fixed scalar, signing deterministically: an input gives the same envelope
// in every process, so a saved input reproduces alone.
class FixedReleaseKey {
 public:
  FixedReleaseKey()
      : publicBase64_(ov::EncodeBase64(fixed_.blob().data(), fixed_.blob().size())) {}
  const std::string& publicBase64() const { return publicBase64_; }
  std::string Envelope(std::string_view payload) const {
    const std::array<std::uint8_t, 64> signature =
        fixed_.Sign(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
    return ov::testing::EnvelopeOf(ov::EncodeBase64(payload.data(), payload.size()),
                                   ov::EncodeBase64(signature.data(), signature.size()));
  }

 private:
  ov::fuzz::FixedP256Key fixed_{0x72656c65617365};
  std::string publicBase64_;
};

const FixedReleaseKey& Key() {
  static const FixedReleaseKey key;
  return key;
}

bool KnownRefusal(std::string_view text) {
  for (const char* fixed :
       {"manifest bound", "manifest envelope", "manifest lengths", "manifest schema",
        "manifest version", "manifest size", "manifest hash", "Update verification failed",
        "signature key", "signature provider", "manifest signature"}) {
    if (text == fixed) return true;
  }
  return text.starts_with("[json.exception.");
}

bool LowerHex64(std::string_view text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

struct Outcome {
  std::optional<ov::ReleaseManifest> manifest;
  std::string refusal;
};

template <typename Check>
Outcome Run(Check check) {
  Outcome out;
  try {
    out.manifest = check();
  } catch (const std::exception& error) {
    out.refusal = error.what();
    OV_FUZZ_CHECK(KnownRefusal(out.refusal));
  }
  if (out.manifest) {
    const ov::ReleaseManifest& m = *out.manifest;
    OV_FUZZ_CHECK(ov::ParseVersion(m.version).has_value());
    OV_FUZZ_CHECK(m.bytes >= ov::kReleaseMinBytes && m.bytes <= ov::kReleaseMaxBytes);
    OV_FUZZ_CHECK(LowerHex64(m.sha256));
    const std::string written = ov::SerializeManifestPayload(m);
    OV_FUZZ_CHECK(ov::CheckManifestPayload(std::span(
                      reinterpret_cast<const std::uint8_t*>(written.data()), written.size())) == m);
  }
  return out;
}

// An accepted payload, read again by the JSON library alone: exactly the five members, schema the
// unsigned 1, the one platform, and the members the manifest was given.
void ExpectPayloadRules(const std::string& payload, const ov::ReleaseManifest& m) {
  const ov::Json p = ov::Json::parse(payload);
  OV_FUZZ_CHECK(p.is_object() && p.size() == 5);
  OV_FUZZ_CHECK(p.at("schema").is_number_unsigned() && p.at("schema").get<std::uint64_t>() == 1);
  OV_FUZZ_CHECK(p.at("platform") == "windows-x64");
  OV_FUZZ_CHECK(p.at("version") == m.version && p.at("sha256") == m.sha256);
  OV_FUZZ_CHECK(p.at("bytes").is_number_unsigned() && p.at("bytes").get<std::uint64_t>() == m.bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string& key = Key().publicBase64();
  const int mode = data[0] % 3;
  if (mode == 0) {
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    try {
      const ov::ManifestEnvelope envelope = ov::ParseManifestEnvelope(body, key);
      OV_FUZZ_CHECK(!envelope.payload.empty() &&
                    envelope.payload.size() <= ov::kManifestPayloadMaxBytes);
      OV_FUZZ_CHECK(envelope.signature.size() == 64 && envelope.key.size() == 72);
    } catch (const std::exception& error) {
      OV_FUZZ_CHECK(KnownRefusal(error.what()));
    }
    Run([&] { return ov::VerifyManifest(body, key); });
    return 0;
  }

  const std::size_t skip = mode == 1 ? 1 : 4;
  if (size <= skip) return 0;
  const std::string payload(reinterpret_cast<const char*>(data + skip), size - skip);
  if (payload.size() > ov::kManifestPayloadMaxBytes) return 0;
  std::string envelope = Key().Envelope(payload);
  const auto* payloadBytes = reinterpret_cast<const std::uint8_t*>(payload.data());

  if (mode == 1) {
    const Outcome signedOutcome = Run([&] { return ov::VerifyManifest(envelope, key); });
    const Outcome direct =
        Run([&] { return ov::CheckManifestPayload(std::span(payloadBytes, payload.size())); });
    OV_FUZZ_CHECK(signedOutcome.manifest == direct.manifest);
    OV_FUZZ_CHECK(signedOutcome.refusal == direct.refusal);
    if (direct.manifest) ExpectPayloadRules(payload, *direct.manifest);
    return 0;
  }

  const std::size_t at = ((std::size_t{data[1]} << 8) | data[2]) % envelope.size();
  if (data[3] == 0) return 0;
  envelope[at] = static_cast<char>(envelope[at] ^ data[3]);
  const Outcome changed = Run([&] { return ov::VerifyManifest(envelope, key); });
  if (changed.manifest) {
    const ov::ManifestEnvelope parts = ov::ParseManifestEnvelope(envelope, key);
    OV_FUZZ_CHECK(std::string(parts.payload.begin(), parts.payload.end()) == payload);
  }
  return 0;
}
