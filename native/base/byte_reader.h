// Bounds-checked reading of binary formats (sealed headers, frame headers, JPEG markers...).
// Every read either succeeds completely or fails and leaves the position unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ov {

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> data) noexcept : data_(data) {}

  std::size_t position() const noexcept { return pos_; }
  std::size_t remaining() const noexcept { return data_.size() - pos_; }
  bool AtEnd() const noexcept { return pos_ == data_.size(); }

  bool ReadU8(std::uint8_t& out) noexcept {
    if (remaining() < 1) return false;
    out = data_[pos_++];
    return true;
  }
  bool ReadU16BE(std::uint16_t& out) noexcept { return ReadBE(out); }
  bool ReadU32BE(std::uint32_t& out) noexcept { return ReadBE(out); }
  bool ReadU64BE(std::uint64_t& out) noexcept { return ReadBE(out); }

  // Hands out the next `count` bytes without copying.
  bool ReadBytes(std::size_t count, std::span<const std::uint8_t>& out) noexcept {
    if (remaining() < count) return false;
    out = data_.subspan(pos_, count);
    pos_ += count;
    return true;
  }
  bool Skip(std::size_t count) noexcept {
    if (remaining() < count) return false;
    pos_ += count;
    return true;
  }
  // Looks at the byte `offset` places ahead without moving.
  bool Peek(std::size_t offset, std::uint8_t& out) const noexcept {
    if (offset >= remaining()) return false;
    out = data_[pos_ + offset];
    return true;
  }

 private:
  template <class T>
  bool ReadBE(T& out) noexcept {
    if (remaining() < sizeof(T)) return false;
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      value = static_cast<T>((value << 8) | data_[pos_ + i]);
    }
    pos_ += sizeof(T);
    out = value;
    return true;
  }

  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

// Appends `value` in big-endian byte order.
template <class T>
void AppendBE(std::vector<std::uint8_t>& out, T value) {
  for (std::size_t i = sizeof(T); i-- > 0;) {
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

// Writes `value` big-endian into exactly sizeof(T) bytes at `out`.
template <class T>
void StoreBE(std::uint8_t* out, T value) noexcept {
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out[i] = static_cast<std::uint8_t>(value >> (8 * (sizeof(T) - 1 - i)));
  }
}

}  // namespace ov
