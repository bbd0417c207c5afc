#include "base/secure_memory.h"

#include <cstring>

namespace ov {

void SecureWipe(void* data, std::size_t size) noexcept {
  if (data == nullptr || size == 0) return;
  std::memset(data, 0, size);
  // The empty assembly statement takes the pointer and clobbers memory, so the compiler must
  // assume the zeros are read and cannot drop the memset as a dead store.
  __asm__ __volatile__("" : : "r"(data) : "memory");
}

void SecureClear(std::string& text) noexcept {
  SecureWipe(text.data(), text.size());
  text.clear();
}

void MoveSecret(std::string& to, std::string& from) noexcept {
  SecureClear(to);  // zeroed before a move can free or hand over its buffer
  to = std::move(from);
  // A short string's characters were copied and stay in `from`'s own buffer; whatever buffer
  // `from` holds now is wiped whole. Growing to the capacity never reallocates.
  from.resize(from.capacity());
  SecureWipe(from.data(), from.size());
  from.clear();
}

void SecureClear(std::vector<std::uint8_t>& bytes) noexcept {
  SecureWipe(bytes.data(), bytes.size());
  bytes.clear();
}

}  // namespace ov
