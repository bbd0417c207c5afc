// Wiping of secrets (passwords, keys, confirmations) before their memory is released or reused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ov {

// Overwrites `size` bytes at `data` with zeros. The write is kept even when the optimiser can see
// that the memory is freed right after. `data` may be null when `size` is 0.
void SecureWipe(void* data, std::size_t size) noexcept;

// Wipes the whole current contents of a string or vector, then empties it.
void SecureClear(std::string& text) noexcept;
void SecureClear(std::vector<std::uint8_t>& bytes) noexcept;

// Replaces the secret in `to` by the one in `from`, wiping the old contents of `to` and every
// byte of `from` (a move would leave a short string's characters behind in `from`).
void MoveSecret(std::string& to, std::string& from) noexcept;

// A fixed-size secret held by value, zeroed on construction and on destruction.
template <std::size_t N>
class SecretArray {
 public:
  SecretArray() noexcept { SecureWipe(bytes_, N); }
  ~SecretArray() { SecureWipe(bytes_, N); }
  SecretArray(const SecretArray&) = delete;
  SecretArray& operator=(const SecretArray&) = delete;

  std::uint8_t* data() noexcept { return bytes_; }
  const std::uint8_t* data() const noexcept { return bytes_; }
  static constexpr std::size_t size() noexcept { return N; }
  void Wipe() noexcept { SecureWipe(bytes_, N); }

 private:
  std::uint8_t bytes_[N];
};

// A variable-size secret buffer; zeroed before its storage is released. Move-only.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::size_t size) : bytes_(size, 0) {}
  ~SecretBytes() { SecureClear(bytes_); }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {}
  SecretBytes& operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
      SecureClear(bytes_);
      bytes_ = std::move(other.bytes_);
    }
    return *this;
  }

  std::uint8_t* data() noexcept { return bytes_.data(); }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  std::size_t size() const noexcept { return bytes_.size(); }
  bool empty() const noexcept { return bytes_.empty(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace ov
