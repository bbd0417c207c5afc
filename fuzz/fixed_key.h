// An ECDSA P-256 key from a fixed private scalar, signing with a nonce derived from the key and
// the digest (HMAC-SHA256 of the digest and a counter, keyed with the scalar), so that a target
// that signs inside its harness gives the same bytes for the same input in every process: a
// saved input reproduces alone.
#pragma once

#include <openssl/bn.h>
#include <openssl/digest.h>
#include <openssl/ec.h>
#include <openssl/ec_key.h>
#include <openssl/hmac.h>
#include <openssl/nid.h>
#include <openssl/sha.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_check.h"

namespace ov::fuzz {

class FixedP256Key {
 public:
  explicit FixedP256Key(std::uint64_t scalar) {
    key_ = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
    OV_FUZZ_CHECK(key_ != nullptr);
    const EC_GROUP* group = EC_KEY_get0_group(key_);
    BIGNUM* d = BN_new();
    EC_POINT* q = EC_POINT_new(group);
    OV_FUZZ_CHECK(d != nullptr && q != nullptr && BN_set_word(d, scalar) == 1 &&
                  EC_POINT_mul(group, q, d, nullptr, nullptr, nullptr) == 1 &&
                  EC_KEY_set_private_key(key_, d) == 1 && EC_KEY_set_public_key(key_, q) == 1);
    std::uint8_t point[65];
    OV_FUZZ_CHECK(EC_POINT_point2oct(group, q, POINT_CONVERSION_UNCOMPRESSED, point, sizeof point,
                                     nullptr) == sizeof point);
    const std::uint8_t header[8] = {0x45, 0x43, 0x53, 0x31, 0x20, 0, 0, 0};  // "ECS1", 32
    std::memcpy(blob_.data(), header, 8);
    std::memcpy(blob_.data() + 8, point + 1, 64);
    EC_POINT_free(q);
    BN_free(d);
  }
  ~FixedP256Key() { EC_KEY_free(key_); }
  FixedP256Key(const FixedP256Key&) = delete;
  FixedP256Key& operator=(const FixedP256Key&) = delete;

  const EC_KEY* key() const { return key_; }
  const BIGNUM* order() const { return EC_GROUP_get0_order(EC_KEY_get0_group(key_)); }
  // The 72-byte public blob: "ECS1", the 32-bit length 32, then X and Y.
  const std::array<std::uint8_t, 72>& blob() const { return blob_; }

  // The r||s signature of SHA-256(data).
  std::array<std::uint8_t, 64> Sign(const std::uint8_t* data, std::size_t size) const {
    std::uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(data, size, digest);
    const EC_GROUP* group = EC_KEY_get0_group(key_);
    const BIGNUM* n = order();
    const BIGNUM* d = EC_KEY_get0_private_key(key_);
    std::uint8_t secret[32];
    OV_FUZZ_CHECK(BN_bn2bin_padded(secret, sizeof secret, d) == 1);
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* e = BN_bin2bn(digest, sizeof digest, nullptr);
    BIGNUM* k = BN_new();
    BIGNUM* x = BN_new();
    BIGNUM* r = BN_new();
    BIGNUM* s = BN_new();
    BIGNUM* kInverse = BN_new();
    EC_POINT* point = EC_POINT_new(group);
    OV_FUZZ_CHECK(ctx && e && k && x && r && s && kInverse && point);
    for (std::uint8_t counter = 0;; ++counter) {
      std::uint8_t message[sizeof digest + 1];
      std::memcpy(message, digest, sizeof digest);
      message[sizeof digest] = counter;
      std::uint8_t mac[SHA256_DIGEST_LENGTH];
      unsigned macSize = 0;
      OV_FUZZ_CHECK(HMAC(EVP_sha256(), secret, sizeof secret, message, sizeof message, mac,
                         &macSize) != nullptr &&
                    macSize == sizeof mac);
      OV_FUZZ_CHECK(BN_bin2bn(mac, sizeof mac, k) != nullptr && BN_nnmod(k, k, n, ctx) == 1);
      if (BN_is_zero(k)) continue;
      OV_FUZZ_CHECK(EC_POINT_mul(group, point, k, nullptr, nullptr, ctx) == 1 &&
                    EC_POINT_get_affine_coordinates_GFp(group, point, x, nullptr, ctx) == 1 &&
                    BN_nnmod(r, x, n, ctx) == 1);
      if (BN_is_zero(r)) continue;
      // s = k^-1 (e + r d) mod n
      OV_FUZZ_CHECK(BN_mod_inverse(kInverse, k, n, ctx) != nullptr &&
                    BN_mod_mul(s, r, d, n, ctx) == 1 && BN_mod_add(s, s, e, n, ctx) == 1 &&
                    BN_mod_mul(s, s, kInverse, n, ctx) == 1);
      if (!BN_is_zero(s)) break;
    }
    std::array<std::uint8_t, 64> signature{};
    OV_FUZZ_CHECK(BN_bn2bin_padded(signature.data(), 32, r) == 1 &&
                  BN_bn2bin_padded(signature.data() + 32, 32, s) == 1);
    EC_POINT_free(point);
    BN_free(kInverse);
    BN_free(s);
    BN_free(r);
    BN_free(x);
    BN_free(k);
    BN_free(e);
    BN_CTX_free(ctx);
    return signature;
  }

 private:
  EC_KEY* key_ = nullptr;
  std::array<std::uint8_t, 72> blob_{};
};

}  // namespace ov::fuzz
