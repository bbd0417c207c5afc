// The frame message of a stream: the plaintext of one sealed Frame message. Big-endian epoch
// (4 bytes), big-endian sequence number (4 bytes, 1 for the first frame of an epoch), then one
// complete JPEG. Header-only: the host's stream builds it, the viewer's display reads it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ov {

inline constexpr std::size_t kFrameHeaderBytes = 8;
// The largest frame message the send path takes (the sealing limit).
inline constexpr std::size_t kMaxFrameMessageBytes = 8388580;

struct FrameHeader {
  std::uint32_t epoch = 0;
  std::uint32_t seq = 0;
  friend bool operator==(const FrameHeader&, const FrameHeader&) = default;
};

// Writes the header and the JPEG into `out`, reusing its storage.
inline void BuildFrameMessage(FrameHeader header, std::span<const std::uint8_t> jpeg,
                              std::vector<std::uint8_t>& out) {
  out.resize(kFrameHeaderBytes + jpeg.size());
  const std::uint32_t fields[2] = {header.epoch, header.seq};
  for (std::size_t f = 0; f < 2; ++f) {
    for (std::size_t b = 0; b < 4; ++b) {
      out[f * 4 + b] = static_cast<std::uint8_t>(fields[f] >> (24 - 8 * b));
    }
  }
  if (!jpeg.empty()) std::copy(jpeg.begin(), jpeg.end(), out.begin() + kFrameHeaderBytes);
}

// The header of a message of at least kFrameHeaderBytes bytes (the caller checks the length).
inline FrameHeader ReadFrameHeader(std::span<const std::uint8_t> message) noexcept {
  auto field = [&](std::size_t at) {
    return std::uint32_t{message[at]} << 24 | std::uint32_t{message[at + 1]} << 16 |
           std::uint32_t{message[at + 2]} << 8 | std::uint32_t{message[at + 3]};
  };
  return FrameHeader{field(0), field(4)};
}

}  // namespace ov
