#include "screen/region_frame.h"

#include "base/byte_reader.h"
#include "base/protocol_error.h"
#include "screen/capture_types.h"

namespace ov {
namespace {

void PutU16(std::vector<std::uint8_t>& out, std::size_t at, int value) {
  out[at] = static_cast<std::uint8_t>(value >> 8);
  out[at + 1] = static_cast<std::uint8_t>(value);
}

void PutU32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
  for (std::size_t b = 0; b < 4; ++b) out[at + b] = static_cast<std::uint8_t>(value >> (24 - 8 * b));
}

bool Overlap(const RegionRect& a, const RegionRect& b) noexcept {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

bool PictureSizeValid(int width, int height) noexcept {
  return width >= 1 && height >= 1 && width <= kMaxEncodedWidth && height <= kMaxEncodedHeight;
}

// The rectangles of a full message cover the picture: disjoint, so their areas add up to it.
bool Covers(std::span<const RegionPart> parts, int width, int height) noexcept {
  std::int64_t area = 0;
  for (const RegionPart& part : parts) {
    area += std::int64_t{part.rect.width} * part.rect.height;
  }
  return area == std::int64_t{width} * height;
}

}  // namespace

bool RegionRectsValid(std::span<const RegionPart> parts, int width, int height) noexcept {
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const RegionRect& r = parts[i].rect;
    if (r.x < 0 || r.y < 0 || r.width < 1 || r.height < 1 || r.x > width - r.width ||
        r.y > height - r.height) {
      return false;
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (Overlap(r, parts[j].rect)) return false;
    }
  }
  return true;
}

bool RegionCopyValid(const RegionCopy& copy, int width, int height) noexcept {
  const RegionRect& r = copy.source;
  return r.x >= 0 && r.y >= 0 && r.width >= 1 && r.height >= 1 && r.x <= width - r.width &&
         r.y <= height - r.height && copy.toX >= 0 && copy.toY >= 0 && copy.toX <= width - r.width &&
         copy.toY <= height - r.height;
}

std::size_t RegionFrameSize(std::span<const RegionPart> parts, bool copy) noexcept {
  std::size_t size = kRegionFrameFixedBytes + (copy ? kRegionCopyBytes : 0);
  for (const RegionPart& part : parts) size += kRegionRectHeaderBytes + part.jpeg.size();
  return size;
}

bool BuildRegionFrame(const RegionFrame& frame, std::vector<std::uint8_t>& out) {
  out.clear();
  const std::span<const RegionPart> parts(frame.parts);
  if (!PictureSizeValid(frame.width, frame.height) || parts.size() > kMaxRegionRects ||
      (frame.full && (parts.empty() || !Covers(parts, frame.width, frame.height))) ||
      !RegionRectsValid(parts, frame.width, frame.height) ||
      (frame.copy && (frame.full || !RegionCopyValid(*frame.copy, frame.width, frame.height)))) {
    return false;
  }
  for (const RegionPart& part : parts) {
    if (part.jpeg.size() < kMinJpegBytes || part.jpeg.size() > kMaxJpegBytes) return false;
  }
  const std::size_t size = RegionFrameSize(parts, frame.copy.has_value());
  if (size > kMaxFrameMessageBytes) return false;
  out.resize(size);
  PutU32(out, 0, frame.header.epoch);
  PutU32(out, 4, frame.header.seq);
  out[8] = kRegionFrameMarker;
  out[9] = frame.full ? kRegionFlagFull : frame.copy ? kRegionFlagCopy : 0;
  PutU16(out, 10, frame.width);
  PutU16(out, 12, frame.height);
  PutU16(out, 14, static_cast<int>(parts.size()));
  std::size_t at = kRegionFrameFixedBytes;
  if (frame.copy) {
    const RegionCopy& c = *frame.copy;
    const int fields[6] = {c.source.x, c.source.y, c.source.width, c.source.height, c.toX, c.toY};
    for (int field : fields) {
      PutU16(out, at, field);
      at += 2;
    }
  }
  for (const RegionPart& part : parts) {
    PutU16(out, at, part.rect.x);
    PutU16(out, at + 2, part.rect.y);
    PutU16(out, at + 4, part.rect.width);
    PutU16(out, at + 6, part.rect.height);
    PutU32(out, at + 8, static_cast<std::uint32_t>(part.jpeg.size()));
    at += kRegionRectHeaderBytes;
    std::copy(part.jpeg.begin(), part.jpeg.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    at += part.jpeg.size();
  }
  return true;
}

RegionFrame ParseRegionFrame(std::span<const std::uint8_t> message) {
  constexpr const char* kBad = "frame header";
  if (message.size() > kMaxFrameMessageBytes) Fail(kBad);
  ByteReader reader(message);
  RegionFrame frame;
  std::uint8_t marker = 0;
  std::uint8_t flags = 0;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint16_t count = 0;
  if (!reader.ReadU32BE(frame.header.epoch) || !reader.ReadU32BE(frame.header.seq) ||
      !reader.ReadU8(marker) || !reader.ReadU8(flags) || !reader.ReadU16BE(width) ||
      !reader.ReadU16BE(height) || !reader.ReadU16BE(count)) {
    Fail(kBad);
  }
  if (marker != kRegionFrameMarker || (flags & ~(kRegionFlagFull | kRegionFlagCopy)) != 0 ||
      flags == (kRegionFlagFull | kRegionFlagCopy)) {
    Fail(kBad);
  }
  if (!PictureSizeValid(width, height) || count > kMaxRegionRects) Fail(kBad);
  frame.full = (flags & kRegionFlagFull) != 0;
  frame.width = width;
  frame.height = height;
  if ((flags & kRegionFlagCopy) != 0) {
    std::uint16_t f[6] = {};
    for (std::uint16_t& field : f) {
      if (!reader.ReadU16BE(field)) Fail(kBad);
    }
    frame.copy = RegionCopy{RegionRect{f[0], f[1], f[2], f[3]}, f[4], f[5]};
    if (!RegionCopyValid(*frame.copy, width, height)) Fail(kBad);
  }
  frame.parts.reserve(count);
  for (std::uint16_t i = 0; i < count; ++i) {
    std::uint16_t x = 0, y = 0, w = 0, h = 0;
    std::uint32_t length = 0;
    RegionPart part;
    if (!reader.ReadU16BE(x) || !reader.ReadU16BE(y) || !reader.ReadU16BE(w) ||
        !reader.ReadU16BE(h) || !reader.ReadU32BE(length) || length < kMinJpegBytes ||
        length > kMaxJpegBytes || !reader.ReadBytes(length, part.jpeg)) {
      Fail(kBad);
    }
    part.rect = RegionRect{x, y, w, h};
    frame.parts.push_back(part);
  }
  if (!reader.AtEnd()) Fail(kBad);
  if (!RegionRectsValid(frame.parts, frame.width, frame.height)) Fail(kBad);
  if (frame.full && (frame.parts.empty() || !Covers(frame.parts, frame.width, frame.height))) {
    Fail(kBad);
  }
  return frame;
}

}  // namespace ov
