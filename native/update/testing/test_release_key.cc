#include "update/testing/test_release_key.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ec_key.h>
#include <openssl/ecdsa.h>
#include <openssl/nid.h>
#include <openssl/sha.h>

#include <cstring>
#include <stdexcept>

#include "base/json_codec.h"
#include "update/base64.h"

namespace ov::testing {

struct TestReleaseKey::Key {
  EC_KEY* ec = nullptr;
  ~Key() { EC_KEY_free(ec); }
};

TestReleaseKey::TestReleaseKey() : key_(std::make_unique<Key>()) {
  key_->ec = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
  if (key_->ec == nullptr || EC_KEY_generate_key(key_->ec) != 1) throw std::runtime_error("test key");
  std::uint8_t point[65];
  if (EC_POINT_point2oct(EC_KEY_get0_group(key_->ec), EC_KEY_get0_public_key(key_->ec),
                         POINT_CONVERSION_UNCOMPRESSED, point, sizeof point, nullptr) != sizeof point) {
    throw std::runtime_error("test key point");
  }
  std::uint8_t blob[72] = {'E', 'C', 'S', '1', 32, 0, 0, 0};
  std::memcpy(blob + 8, point + 1, 64);
  publicBase64_ = EncodeBase64(blob, sizeof blob);
}

TestReleaseKey::~TestReleaseKey() = default;

std::vector<std::uint8_t> TestReleaseKey::Sign(std::span<const std::uint8_t> data) const {
  std::uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(data.data(), data.size(), digest);
  ECDSA_SIG* sig = ECDSA_do_sign(digest, sizeof digest, key_->ec);
  if (sig == nullptr) throw std::runtime_error("test signature");
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig, &r, &s);
  std::vector<std::uint8_t> out(64);
  const bool ok = BN_bn2bin_padded(out.data(), 32, r) == 1 && BN_bn2bin_padded(out.data() + 32, 32, s) == 1;
  ECDSA_SIG_free(sig);
  if (!ok) throw std::runtime_error("test signature");
  return out;
}

std::string TestReleaseKey::Envelope(std::string_view payload) const {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
  const std::vector<std::uint8_t> signature = Sign({bytes, payload.size()});
  return EnvelopeOf(EncodeBase64(payload.data(), payload.size()),
                    EncodeBase64(signature.data(), signature.size()));
}

std::string EnvelopeOf(std::string_view payloadBase64, std::string_view signatureBase64) {
  Json envelope = Json::object();
  envelope["payload"] = std::string(payloadBase64);
  envelope["signature"] = std::string(signatureBase64);
  return SerializeMessage(envelope);
}

std::string PayloadText(std::string_view version, std::uint64_t bytes, std::string_view sha256) {
  Json payload = Json::object();
  payload["schema"] = 1;
  payload["platform"] = "windows-x64";
  payload["version"] = std::string(version);
  payload["bytes"] = bytes;
  payload["sha256"] = std::string(sha256);
  return SerializeMessage(payload);
}

}  // namespace ov::testing
