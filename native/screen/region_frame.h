// The changed-region frame message: the plaintext of one sealed Frame message once both ends
// have announced "regionFrames" in their hello. It carries the rectangles of the display that
// changed, each as its own JPEG, to be composed onto the viewer's retained picture. All integers
// big-endian:
//
//   0  4  epoch                      (as in the whole-frame message)
//   4  4  seq                        (as in the whole-frame message)
//   8  1  marker 0x52                (a whole frame has the JPEG's 0xFF here)
//   9  1  flags: bit 0 "full", the rectangles tile the whole picture and replace it; bit 1
//         "copy", a copy follows the fixed part; others 0 (and never both)
//  10  2  picture width   1..7680
//  12  2  picture height  1..4320
//  14  2  rectangle count 0..kMaxRegionRects (at least 1 when full)
//  16 12  with "copy" only: source x, y, width, height, destination x, y (2 bytes each): that
//         area of the retained picture moves to the destination (a scroll) before the
//         rectangles are drawn; both areas lie inside the picture and may overlap
//     ..  per rectangle: x, y, width, height (2 bytes each), JPEG length (4 bytes), the JPEG
//
// Rectangles lie inside the picture, do not overlap and are at least 1 x 1; a full message's
// rectangles cover every pixel. The message ends with the last JPEG. A message without
// rectangles or copy says "nothing changed" (the static-screen repeat).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "screen/frame_message.h"

namespace ov {

inline constexpr std::uint8_t kRegionFrameMarker = 0x52;
inline constexpr std::uint8_t kRegionFlagFull = 0x01;
inline constexpr std::uint8_t kRegionFlagCopy = 0x02;
inline constexpr std::size_t kRegionCopyBytes = 12;
inline constexpr std::size_t kRegionFrameFixedBytes = 16;
inline constexpr std::size_t kRegionRectHeaderBytes = 12;
inline constexpr std::size_t kMaxRegionRects = 64;

struct RegionRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const RegionRect&, const RegionRect&) = default;
};

// One rectangle of a message and its JPEG (a view into the message or the builder's input).
struct RegionPart {
  RegionRect rect;
  std::span<const std::uint8_t> jpeg;
};

// An area of the retained picture moved elsewhere in it.
struct RegionCopy {
  RegionRect source;
  int toX = 0;
  int toY = 0;
  friend bool operator==(const RegionCopy&, const RegionCopy&) = default;
};

struct RegionFrame {
  FrameHeader header;
  bool full = false;
  std::optional<RegionCopy> copy;  // never with full
  int width = 0;
  int height = 0;
  std::vector<RegionPart> parts;
};

// True when the message at offset 8 is a region frame rather than a JPEG.
inline bool IsRegionFrameMessage(std::span<const std::uint8_t> message) noexcept {
  return message.size() > kFrameHeaderBytes && message[kFrameHeaderBytes] == kRegionFrameMarker;
}

// Bytes of a message with these parts (and a copy when `copy`).
std::size_t RegionFrameSize(std::span<const RegionPart> parts, bool copy = false) noexcept;

// True when the copy's source and destination lie inside width x height and are at least 1 x 1.
bool RegionCopyValid(const RegionCopy& copy, int width, int height) noexcept;

// Writes the message into `out` (reusing its storage). The caller keeps to the rules above;
// false (and `out` empty) when the parts break them or the message would exceed the send path's
// limit.
bool BuildRegionFrame(const RegionFrame& frame, std::vector<std::uint8_t>& out);

// Reads a whole message whose header the caller has already checked (length, epoch, seq). Every
// rule above is checked; a message that breaks one throws ProtocolError "frame header". The
// parts view into `message`. The JPEGs themselves are not looked at.
RegionFrame ParseRegionFrame(std::span<const std::uint8_t> message);

// True when the rectangles are inside width x height, at least 1 x 1 and pairwise disjoint.
bool RegionRectsValid(std::span<const RegionPart> parts, int width, int height) noexcept;

}  // namespace ov
