#include "relay/release/release_core.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "base/json_codec.h"
#include "update/base64.h"
#include "update/version.h"

namespace ov::release {
namespace {

// The DER SubjectPublicKeyInfo of every P-256 key begins with these 26 bytes (id-ecPublicKey,
// prime256v1, a BIT STRING of 66 bytes); the uncompressed point 04 || X || Y follows.
constexpr std::uint8_t kP256SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                           0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                           0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
constexpr std::size_t kSpkiSize = sizeof(kP256SpkiPrefix) + 65;

[[noreturn]] void Fail(const std::string& text) {
  ERR_clear_error();
  throw std::runtime_error(text);
}

std::string StepText(const std::string& step, const std::filesystem::path& path, int error) {
  return step + " " + path.string() + ": " + std::strerror(error);
}

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path, std::uintmax_t maxBytes) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) Fail("cannot read " + path.string() + ": " + ec.message());
  if (size > maxBytes) Fail(path.string() + " is larger than " + std::to_string(maxBytes) + " bytes");
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  // One byte more must not be there: the file may not grow while it is read.
  if (!in.good() || in.peek() != std::ifstream::traits_type::eof()) Fail("cannot read " + path.string());
  return bytes;
}

// Flushes an open descriptor and closes it; throws on failure.
void SyncClose(int fd, const std::filesystem::path& path) {
  if (::fsync(fd) != 0) {
    const int error = errno;
    ::close(fd);
    Fail(StepText("cannot flush", path, error));
  }
  if (::close(fd) != 0) Fail(StepText("cannot close", path, errno));
}

void SyncFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) Fail(StepText("cannot open", folder, errno));
  SyncClose(fd, folder);
}

// Writes `bytes` to a temporary file beside `path`, flushes it and renames it over `path`, then
// flushes the folder: readers see the old file or the whole new one, never a part.
void WriteAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::string pattern = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) Fail(StepText("cannot create a temporary file in", path.parent_path(), errno));
  const std::filesystem::path temporary = pattern;
  try {
    if (::fchmod(fd, 0644) != 0) Fail(StepText("cannot set the mode of", temporary, errno));
    std::size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) Fail(StepText("cannot write", temporary, errno));
      written += static_cast<std::size_t>(n);
    }
  } catch (...) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw;
  }
  try {
    SyncClose(fd, temporary);
    if (::rename(temporary.c_str(), path.c_str()) != 0) Fail(StepText("cannot rename into", path, errno));
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  SyncFolder(path.parent_path());
}

std::vector<std::uint8_t> PublicSpki(EVP_PKEY* pkey) {
  std::uint8_t* der = nullptr;
  const int length = i2d_PUBKEY(pkey, &der);
  if (length <= 0) Fail("cannot encode the public key");
  std::vector<std::uint8_t> out(der, der + length);
  OPENSSL_free(der);
  return out;
}

bool IsP256Spki(const std::vector<std::uint8_t>& spki) {
  return spki.size() == kSpkiSize && std::memcmp(spki.data(), kP256SpkiPrefix, sizeof kP256SpkiPrefix) == 0 &&
         spki[sizeof kP256SpkiPrefix] == 0x04;
}

// The public key of a 72-byte blob in Base64, as an EVP key.
EVP_PKEY* PublicKeyFromBlob(std::string_view publicBase64) {
  const auto blob = DecodeBase64Strict(publicBase64);
  if (!blob || blob->size() != 72 || std::memcmp(blob->data(), "ECS1\x20\0\0\0", 8) != 0) {
    Fail("the public key is not the 96-character text that keygen prints");
  }
  std::vector<std::uint8_t> spki(kP256SpkiPrefix, kP256SpkiPrefix + sizeof kP256SpkiPrefix);
  spki.push_back(0x04);
  spki.insert(spki.end(), blob->begin() + 8, blob->end());
  const std::uint8_t* p = spki.data();
  EVP_PKEY* pkey = d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size()));
  if (pkey == nullptr) Fail("the public key is not a point of P-256");
  return pkey;
}

bool BigToPadded(const BIGNUM* n, std::uint8_t* out32) {
#ifdef OPENSSL_IS_BORINGSSL
  return BN_bn2bin_padded(out32, 32, n) == 1;
#else
  return BN_bn2binpad(n, out32, 32) == 32;
#endif
}

}  // namespace

struct ReleaseKey::Pkey {
  EVP_PKEY* pkey = nullptr;
  ~Pkey() { EVP_PKEY_free(pkey); }
};

ReleaseKey::ReleaseKey(std::unique_ptr<Pkey> key) : key_(std::move(key)) {}
ReleaseKey::ReleaseKey(ReleaseKey&&) noexcept = default;
ReleaseKey& ReleaseKey::operator=(ReleaseKey&&) noexcept = default;
ReleaseKey::~ReleaseKey() = default;

ReleaseKey ReleaseKey::Generate() {
  auto key = std::make_unique<Pkey>();
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr);
  const bool ok = ctx != nullptr && EVP_PKEY_keygen_init(ctx) == 1 &&
                  EVP_PKEY_CTX_set_ec_paramgen_curve_nid(ctx, NID_X9_62_prime256v1) == 1 &&
                  EVP_PKEY_keygen(ctx, &key->pkey) == 1;
  EVP_PKEY_CTX_free(ctx);
  if (!ok) Fail("cannot generate a P-256 key");
  return ReleaseKey(std::move(key));
}

ReleaseKey ReleaseKey::Load(const std::filesystem::path& file) {
  const std::vector<std::uint8_t> pem = ReadFile(file, 65536);
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  auto key = std::make_unique<Pkey>();
  key->pkey = bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  if (key->pkey == nullptr) Fail(file.string() + " holds no private key in PEM form");
  if (!IsP256Spki(PublicSpki(key->pkey))) Fail(file.string() + " is not a P-256 key");
  return ReleaseKey(std::move(key));
}

void ReleaseKey::Save(const std::filesystem::path& file) const {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr || PEM_write_bio_PrivateKey(bio, key_->pkey, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    BIO_free(bio);
    Fail("cannot encode the private key");
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  const std::string pem(data, static_cast<std::size_t>(length));
  BIO_free(bio);

  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) Fail(StepText("cannot create", file, errno));
  const bool written = ::fchmod(fd, 0600) == 0 &&
                       ::write(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size());
  const int error = errno;
  if (!written) {
    ::close(fd);
    ::unlink(file.c_str());
    Fail(StepText("cannot write", file, error));
  }
  SyncClose(fd, file);
}

std::string ReleaseKey::PublicBase64() const {
  const std::vector<std::uint8_t> spki = PublicSpki(key_->pkey);
  if (!IsP256Spki(spki)) Fail("the key is not a P-256 key");
  std::uint8_t blob[72] = {'E', 'C', 'S', '1', 32, 0, 0, 0};
  std::memcpy(blob + 8, spki.data() + sizeof kP256SpkiPrefix + 1, 64);
  return EncodeBase64(blob, sizeof blob);
}

std::vector<std::uint8_t> ReleaseKey::Sign(std::span<const std::uint8_t> data) const {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::vector<std::uint8_t> der(80);
  std::size_t derLength = der.size();
  const bool signedOk = ctx != nullptr && EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key_->pkey) == 1 &&
                        EVP_DigestSign(ctx, der.data(), &derLength, data.data(), data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  if (!signedOk) Fail("cannot sign");
  const std::uint8_t* p = der.data();
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLength));
  if (sig == nullptr) Fail("cannot decode the signature");
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig, &r, &s);
  std::vector<std::uint8_t> out(64);
  const bool ok = BigToPadded(r, out.data()) && BigToPadded(s, out.data() + 32);
  ECDSA_SIG_free(sig);
  if (!ok) Fail("cannot encode the signature");
  return out;
}

std::string Sha256Hex(std::span<const std::uint8_t> data) {
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length != 32) {
    Fail("cannot hash");
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 15]);
  }
  return out;
}

bool VerifySignature(std::string_view publicBase64, std::span<const std::uint8_t> data,
                     std::span<const std::uint8_t> signature64) {
  if (signature64.size() != 64) return false;
  EVP_PKEY* pkey = PublicKeyFromBlob(publicBase64);
  ECDSA_SIG* sig = ECDSA_SIG_new();
  BIGNUM* r = BN_bin2bn(signature64.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature64.data() + 32, 32, nullptr);
  std::uint8_t* der = nullptr;
  int derLength = 0;
  if (sig != nullptr && r != nullptr && s != nullptr && ECDSA_SIG_set0(sig, r, s) == 1) {
    r = s = nullptr;  // owned by sig now
    derLength = i2d_ECDSA_SIG(sig, &der);
  }
  BN_free(r);
  BN_free(s);
  ECDSA_SIG_free(sig);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok = derLength > 0 && ctx != nullptr &&
                  EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, pkey) == 1 &&
                  EVP_DigestVerify(ctx, der, static_cast<std::size_t>(derLength), data.data(), data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  OPENSSL_free(der);
  EVP_PKEY_free(pkey);
  ERR_clear_error();
  return ok;
}

std::string MakeManifest(const ReleaseKey& key, std::span<const std::uint8_t> exe, std::string_view version) {
  if (!ParseVersion(version)) {
    Fail("the version must be three numbers 0 to 65535 separated by '.', without leading zeros");
  }
  if (exe.size() < kReleaseMinBytes || exe.size() > kReleaseMaxBytes) {
    Fail("the executable must be 65536 to 33554432 bytes long (it is " + std::to_string(exe.size()) + ")");
  }
  if (exe[0] != 'M' || exe[1] != 'Z') Fail("the executable does not begin with \"MZ\"");
  const ReleaseManifest manifest{std::string(version), static_cast<std::uint32_t>(exe.size()), Sha256Hex(exe)};
  const std::string payload = SerializeManifestPayload(manifest);
  const auto* payloadBytes = reinterpret_cast<const std::uint8_t*>(payload.data());
  const std::vector<std::uint8_t> signature = key.Sign({payloadBytes, payload.size()});
  Json envelope = Json::object();
  envelope["payload"] = EncodeBase64(payload.data(), payload.size());
  envelope["signature"] = EncodeBase64(signature.data(), signature.size());
  return SerializeMessage(envelope) + "\n";
}

ReleaseManifest Publish(const ReleaseKey& key, const std::filesystem::path& exe, std::string_view version,
                        const std::filesystem::path& updateDir) {
  std::error_code ec;
  if (!std::filesystem::is_directory(updateDir, ec)) Fail("update folder not found: " + updateDir.string());
  const std::vector<std::uint8_t> bytes = ReadFile(exe, kReleaseMaxBytes);
  const std::string manifestText = MakeManifest(key, bytes, version);
  // The manifest must pass the program's own checks before anything is written.
  const ManifestEnvelope parts = ParseManifestEnvelope(manifestText, key.PublicBase64());
  if (!VerifySignature(key.PublicBase64(), parts.payload, parts.signature)) Fail("the new signature does not verify");
  const ReleaseManifest manifest = CheckManifestPayload(parts.payload);

  const std::filesystem::path folder = updateDir / "releases" / std::string(version);
  const std::filesystem::path release = folder / std::string(kReleaseExecutableName);
  std::filesystem::create_directories(folder, ec);
  if (ec) Fail("cannot create " + folder.string() + ": " + ec.message());
  if (std::filesystem::exists(release, ec)) {
    // A published release may be downloading right now under the manifest that names it.
    if (ReadFile(release, kReleaseMaxBytes) != bytes) {
      Fail("release " + std::string(version) + " is already published with other bytes; choose a new version");
    }
  } else {
    WriteAtomically(release, bytes);
  }
  const auto* text = reinterpret_cast<const std::uint8_t*>(manifestText.data());
  WriteAtomically(updateDir / "update.json", {text, manifestText.size()});
  return manifest;
}

ReleaseManifest VerifyFolder(const std::filesystem::path& updateDir, std::string_view publicBase64) {
  const std::vector<std::uint8_t> text = ReadFile(updateDir / "update.json", kManifestMaxBytes + 1);
  const ManifestEnvelope parts =
      ParseManifestEnvelope(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), publicBase64);
  if (!VerifySignature(publicBase64, parts.payload, parts.signature)) {
    Fail("update.json is not signed by this public key");
  }
  const ReleaseManifest manifest = CheckManifestPayload(parts.payload);
  const std::filesystem::path release = updateDir / "releases" / manifest.version / std::string(kReleaseExecutableName);
  const std::vector<std::uint8_t> bytes = ReadFile(release, kReleaseMaxBytes);
  if (!HasReleaseShape(bytes, manifest.bytes) || Sha256Hex(bytes) != manifest.sha256) {
    Fail(release.string() + " does not match update.json");
  }
  return manifest;
}

}  // namespace ov::release
