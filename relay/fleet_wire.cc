#include "relay/fleet_wire.h"

#include "relay/fleet.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <stdexcept>

namespace ov::relay::fleet {
namespace {

using Piece = std::span<const std::uint8_t>;

Piece Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void PutU64(std::uint8_t* p, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xff);
}

std::uint64_t GetU64(const std::uint8_t* p) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// HMAC-SHA256 over the pieces in order, each but the last followed by its length (so that no two
// different lists of pieces hash alike).
Key Mac(const Key& key, std::initializer_list<Piece> pieces) {
  static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  if (mac == nullptr) throw std::runtime_error("OpenSSL has no HMAC");
  const std::unique_ptr<EVP_MAC_CTX, decltype(&EVP_MAC_CTX_free)> ctx(EVP_MAC_CTX_new(mac),
                                                                       &EVP_MAC_CTX_free);
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_end()};
  if (!ctx || EVP_MAC_init(ctx.get(), key.data(), key.size(), params) != 1) {
    throw std::runtime_error("HMAC init");
  }
  std::size_t left = pieces.size();
  for (const Piece& piece : pieces) {
    bool ok = EVP_MAC_update(ctx.get(), piece.data(), piece.size()) == 1;
    if (--left > 0) {
      std::uint8_t length[8];
      PutU64(length, piece.size());
      ok = ok && EVP_MAC_update(ctx.get(), length, sizeof length) == 1;
    }
    if (!ok) throw std::runtime_error("HMAC update");
  }
  Key out{};
  std::size_t n = 0;
  if (EVP_MAC_final(ctx.get(), out.data(), &n, out.size()) != 1 || n != out.size()) {
    throw std::runtime_error("HMAC final");
  }
  return out;
}

}  // namespace

std::string ReadSecretFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    const std::string why = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("fleet secret " + path + ": " + why);
  }
  std::string secret;
  std::string problem;
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    problem = "readable by others than its owner (chmod 600 it)";
  } else if (!S_ISREG(st.st_mode) || st.st_size > 4096) {
    problem = "not a file of at most 4096 bytes";
  } else {
    char buffer[4097];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && secret.size() <= 4096) {
      secret.append(buffer, static_cast<std::size_t>(n));
    }
    if (n < 0) problem = std::strerror(errno);
  }
  ::close(fd);
  if (!problem.empty()) throw std::runtime_error("fleet secret " + path + ": " + problem);
  constexpr std::string_view kSpace = " \t\r\n";
  while (!secret.empty() && kSpace.find(secret.back()) != std::string_view::npos) {
    secret.pop_back();
  }
  if (secret.size() < kMinSecret) {
    throw std::runtime_error("fleet secret " + path + ": shorter than " +
                             std::to_string(kMinSecret) + " bytes");
  }
  return secret;
}

Keys DeriveKeys(std::string_view secret) {
  Key root{};
  // The secret, of any length, is first brought to a key (HMAC keyed with a fixed label).
  const std::string_view label = "kestrova fleet secret";
  std::copy_n(reinterpret_cast<const std::uint8_t*>(label.data()),
              std::min(label.size(), root.size()), root.begin());
  root = Mac(root, {Bytes(secret)});
  Keys keys;
  keys.nats = Mac(root, {Bytes("nats messages")});
  keys.link = Mac(root, {Bytes("link pre-shared key")});
  keys.hello = Mac(root, {Bytes("link hello")});
  return keys;
}

namespace {

constexpr std::size_t kHead = 17;
constexpr std::size_t kTag = 16;

// AES-256-GCM over `in` into `out` (as long as `in`) under the key of the sender's instance, the
// nonce its counter, authenticating the subject and the envelope's head. Sealing writes `tag`;
// opening checks it. False when the cipher fails or (opening) the tag does not match.
bool Gcm(bool seal, const Key& key, std::string_view subject, Piece head, Piece in,
         std::uint8_t* out, std::uint8_t* tag) {
  if (in.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return false;
  // One key per instance (a node's counters start again with each run); the counter, unique
  // within a run, is the nonce.
  const Key instanceKey = Mac(key, {Bytes("instance"), head.subspan(1, 8)});
  std::uint8_t nonce[12] = {};
  std::copy_n(head.data() + 9, 8, nonce);
  const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(
      EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  if (!ctx) return false;
  auto* init = seal ? &EVP_EncryptInit_ex : &EVP_DecryptInit_ex;
  auto* update = seal ? &EVP_EncryptUpdate : &EVP_DecryptUpdate;
  int n = 0;
  std::uint8_t length[8];
  PutU64(length, subject.size());
  bool ok = init(ctx.get(), EVP_aes_256_gcm(), nullptr, instanceKey.data(), nonce) == 1;
  for (const Piece aad : {Piece(length, sizeof length), Bytes(subject), head}) {
    ok = ok && (aad.empty() ||
                update(ctx.get(), nullptr, &n, aad.data(), static_cast<int>(aad.size())) == 1);
  }
  ok = ok && (in.empty() ||
              update(ctx.get(), out, &n, in.data(), static_cast<int>(in.size())) == 1);
  if (!ok) return false;
  if (seal) {
    return EVP_EncryptFinal_ex(ctx.get(), out + in.size(), &n) == 1 &&
           EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTag), tag) == 1;
  }
  return EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTag), tag) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), out + in.size(), &n) == 1;
}

}  // namespace

void Seal(const Key& key, std::string_view subject, std::uint64_t instance, std::uint64_t counter,
          std::string_view payload, std::string& out) {
  std::uint8_t head[kHead];
  head[0] = kSealVersion;
  PutU64(head + 1, instance);
  PutU64(head + 9, counter);
  const std::size_t at = out.size();
  out.resize(at + kSealOverhead + payload.size());
  auto* bytes = reinterpret_cast<std::uint8_t*>(out.data()) + at;
  std::copy_n(head, kHead, bytes);
  if (!Gcm(true, key, subject, Piece(head, kHead), Bytes(payload), bytes + kHead,
           bytes + kHead + payload.size())) {
    throw std::runtime_error("AES-GCM seal");
  }
}

std::optional<Opened> Open(const Key& key, std::string_view subject,
                           std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kSealOverhead || bytes[0] != kSealVersion) return std::nullopt;
  const Piece head = bytes.first(kHead);
  const Piece sealed = bytes.subspan(kHead, bytes.size() - kSealOverhead);
  std::uint8_t tag[kTag];
  std::copy_n(bytes.data() + bytes.size() - kTag, kTag, tag);
  Opened opened;
  opened.payload.resize(sealed.size());
  if (!Gcm(false, key, subject, head, sealed, opened.payload.data(), tag)) return std::nullopt;
  opened.instance = GetU64(bytes.data() + 1);
  opened.counter = GetU64(bytes.data() + 9);
  return opened;
}

bool ReplayGuard::Accept(std::string_view sender, std::uint64_t instance, std::uint64_t counter) {
  if (counter == 0) return false;
  auto& windows = senders_[std::string(sender)];
  auto it = std::find_if(windows.begin(), windows.end(),
                         [instance](const Window& w) { return w.instance == instance; });
  if (it == windows.end()) {
    if (windows.size() >= kInstances) windows.erase(windows.begin());
    windows.push_back(Window{instance, counter, 1});
    return true;
  }
  Window& w = *it;
  if (counter > w.top) {
    const std::uint64_t shift = counter - w.top;
    w.seen = shift >= 64 ? 1 : (w.seen << shift) | 1;
    w.top = counter;
    return true;
  }
  const std::uint64_t age = w.top - counter;
  if (age >= 64) return false;
  const std::uint64_t bit = std::uint64_t{1} << age;
  if ((w.seen & bit) != 0) return false;
  w.seen |= bit;
  return true;
}

std::array<std::uint8_t, kProof> HelloProof(const Key& key,
                                            std::span<const std::uint8_t> challenge,
                                            std::span<const std::uint8_t> binding,
                                            std::string_view node, std::uint64_t instance) {
  std::uint8_t id[8];
  PutU64(id, instance);
  return Mac(key, {Bytes("hello"), challenge, binding, Bytes(node), Piece(id, sizeof id)});
}

bool ProofEquals(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

void RandomBytes(std::span<std::uint8_t> out) {
  if (RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) {
    throw std::runtime_error("no random bytes from the system");
  }
}

std::uint64_t RandomU64() {
  std::uint8_t bytes[8];
  RandomBytes(bytes);
  return GetU64(bytes);
}

// --- The message form ---------------------------------------------------------------------------

namespace {

void AppendU64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::uint64_t ReadU64(const std::uint8_t* p) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

}  // namespace

bool IsNodeName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNodeName) return false;
  for (const char ch : name) {
    const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                    (ch >= '0' && ch <= '9') || ch == '-' || ch == '_';
    if (!ok) return false;
  }
  return true;
}

void Encode(const Message& message, std::string& out) {
  out.push_back(static_cast<char>(message.kind));
  out.push_back(static_cast<char>(message.from.size()));
  out.append(message.from);
  AppendU64(out, message.conn);
  AppendU64(out, message.seq);
  out.push_back(static_cast<char>(message.flags));
  out.append(reinterpret_cast<const char*>(message.body.data()), message.body.size());
}

std::optional<Message> Decode(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 2) return std::nullopt;
  Message m;
  const std::uint8_t kind = bytes[0];
  if (kind < static_cast<std::uint8_t>(Kind::kViewer) ||
      kind > static_cast<std::uint8_t>(Kind::kBye)) {
    return std::nullopt;
  }
  m.kind = static_cast<Kind>(kind);
  const std::size_t nameSize = bytes[1];
  if (bytes.size() < 2 + nameSize + 17) return std::nullopt;
  m.from = std::string_view(reinterpret_cast<const char*>(bytes.data() + 2), nameSize);
  if (!IsNodeName(m.from)) return std::nullopt;
  const std::uint8_t* p = bytes.data() + 2 + nameSize;
  m.conn = ReadU64(p);
  m.seq = ReadU64(p + 8);
  m.flags = p[16];
  if ((m.flags & ~kMore) != 0 || (m.flags != 0 && m.kind != Kind::kData)) return std::nullopt;
  m.body = bytes.subspan(2 + nameSize + 17);
  return m;
}

}  // namespace ov::relay::fleet
