// The signature check of the update manifest: the portable front end of ECDSA P-256 (the public
// blob's header and curve check, the range of r and s, the low form of s) against BoringSSL's own
// decoding and verification, used here directly as the reference.
//
//   byte 0 % 3 = 0: the rest is a public blob; IsValidEcdsaP256PublicBlob must accept exactly
//                   the blobs with the right header whose point BoringSSL decodes on P-256.
//   byte 0 % 3 = 1: the rest is a signature (64 bytes) and the data after it, checked with a
//                   fixed key; both verifiers must agree.
//   byte 0 % 3 = 2: the data after two bytes is signed with that key, the signature then changed
//                   as the first of them says (kept, s made high, a bit flipped at the second,
//                   r or s set to 0 or to the group order); both verifiers must agree, and the
//                   first two must verify.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ec_key.h>
#include <openssl/ecdsa.h>
#include <openssl/nid.h>
#include <openssl/sha.h>

#include "crypto/primitives.h"
#include "fuzz/fixed_key.h"
#include "fuzz/fuzz_check.h"

namespace {

struct Reference {
  // A fixed private scalar and a nonce derived from it and the digest: every signature, and so
  // every run of an input, is the same in each process.
  ov::fuzz::FixedP256Key fixed{0x4b657374726f7661};
  const EC_KEY* key = fixed.key();
  const std::array<std::uint8_t, ov::kEcdsaP256PublicBlobSize>& blob = fixed.blob();
  const BIGNUM* order = fixed.order();

  Reference() { OV_FUZZ_CHECK(ov::IsValidEcdsaP256PublicBlob(blob.data())); }

  static bool BlobDecodes(const std::uint8_t* blob72) {
    const std::uint8_t header[8] = {0x45, 0x43, 0x53, 0x31, 0x20, 0, 0, 0};
    if (std::memcmp(blob72, header, 8) != 0) return false;
    std::uint8_t point[65];
    point[0] = 0x04;
    std::memcpy(point + 1, blob72 + 8, 64);
    EC_GROUP* group = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
    EC_POINT* p = EC_POINT_new(group);
    const bool ok = EC_POINT_oct2point(group, p, point, sizeof point, nullptr) == 1;
    EC_POINT_free(p);
    EC_GROUP_free(group);
    return ok;
  }

  bool Verifies(const std::uint8_t* data, std::size_t size, const std::uint8_t* signature64) const {
    std::uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(data, size, digest);
    ECDSA_SIG* sig = ECDSA_SIG_new();
    BIGNUM* r = BN_bin2bn(signature64, 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature64 + 32, 32, nullptr);
    ECDSA_SIG_set0(sig, r, s);
    const bool ok = ECDSA_do_verify(digest, sizeof digest, sig, key) == 1;
    ECDSA_SIG_free(sig);
    return ok;
  }

  void Sign(const std::uint8_t* data, std::size_t size, std::uint8_t* signature64) const {
    const std::array<std::uint8_t, 64> signature = fixed.Sign(data, size);
    std::memcpy(signature64, signature.data(), signature.size());
  }
};

const Reference& TheReference() {
  static const Reference* reference = new Reference();
  return *reference;
}

bool FrontEndVerifies(const std::uint8_t* data, std::size_t size, const std::uint8_t* signature64) {
  return ov::VerifyEcdsaP256Sha256(TheReference().blob.data(), size == 0 ? nullptr : data, size,
                                   signature64);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ov::fuzz::Selected in = ov::fuzz::Select(data, size);
  const Reference& reference = TheReference();
  switch (in.selector % 3) {
    case 0: {
      if (in.rest.size() < ov::kEcdsaP256PublicBlobSize) return 0;
      OV_FUZZ_CHECK(ov::IsValidEcdsaP256PublicBlob(in.rest.data()) ==
                    Reference::BlobDecodes(in.rest.data()));
      return 0;
    }
    case 1: {
      if (in.rest.size() < ov::kEcdsaP256SignatureSize) return 0;
      const std::uint8_t* message = in.rest.data() + ov::kEcdsaP256SignatureSize;
      const std::size_t length = in.rest.size() - ov::kEcdsaP256SignatureSize;
      OV_FUZZ_CHECK(FrontEndVerifies(message, length, in.rest.data()) ==
                    reference.Verifies(message, length, in.rest.data()));
      return 0;
    }
    default: {
      if (in.rest.size() < 2) return 0;
      const std::uint8_t change = in.rest[0] % 6;
      const std::uint8_t* message = in.rest.data() + 2;
      const std::size_t length = in.rest.size() - 2;
      std::uint8_t signature[ov::kEcdsaP256SignatureSize];
      reference.Sign(message, length, signature);
      BIGNUM* value = BN_new();
      switch (change) {
        case 1:  // the other form of s: n - s
          BN_bin2bn(signature + 32, 32, value);
          BN_sub(value, reference.order, value);
          BN_bn2bin_padded(signature + 32, 32, value);
          break;
        case 2:
          signature[(in.rest[1] >> 3) % sizeof signature] ^= static_cast<std::uint8_t>(1u << (in.rest[1] & 7));
          break;
        case 3:
          std::memset(signature, 0, 32);
          break;
        case 4:
          BN_bn2bin_padded(signature + 32, 32, reference.order);
          break;
        case 5:
          BN_bn2bin_padded(signature, 32, reference.order);
          break;
        default:
          break;
      }
      BN_free(value);
      const bool expected = reference.Verifies(message, length, signature);
      OV_FUZZ_CHECK(FrontEndVerifies(message, length, signature) == expected);
      if (change <= 1) OV_FUZZ_CHECK(expected);
      return 0;
    }
  }
}
