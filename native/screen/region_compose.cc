// The viewer's composition of region-frame messages onto its retained picture.
#include <algorithm>
#include <cstring>

#include "base/protocol_error.h"
#include "screen/jpeg_codec.h"
#include "screen/viewer_display.h"

namespace ov {
namespace {

// Copies a decoded rectangle into the picture (both in PixelBuffer layout).
void Blit(const PixelBuffer& part, const RegionRect& at, PixelBuffer& picture) {
  const std::size_t rowBytes = static_cast<std::size_t>(at.width) * 4;
  for (int y = 0; y < at.height; ++y) {
    const std::uint8_t* from = part.bytes.data() + static_cast<std::size_t>(y) * rowBytes;
    std::uint8_t* to = picture.bytes.data() +
                       (static_cast<std::size_t>(at.y + y) * static_cast<std::size_t>(picture.width) +
                        static_cast<std::size_t>(at.x)) * 4;
    std::memcpy(to, from, rowBytes);
  }
}

// Moves an area of the picture; source and destination may overlap.
void MoveArea(const RegionCopy& copy, PixelBuffer& picture) {
  const RegionRect& from = copy.source;
  const std::size_t rowBytes = static_cast<std::size_t>(from.width) * 4;
  const auto row = [&](int x, int y) {
    return picture.bytes.data() +
           (static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width) + static_cast<std::size_t>(x)) * 4;
  };
  // Rows in the order that never reads a row already overwritten.
  const bool down = copy.toY > from.y;
  for (int i = 0; i < from.height; ++i) {
    const int y = down ? from.height - 1 - i : i;
    std::memmove(row(copy.toX, copy.toY + y), row(from.x, from.y + y), rowBytes);
  }
}

RegionRect Bounds(const RegionRect& a, const RegionRect& b) {
  if (a.width == 0) return b;
  const int x0 = std::min(a.x, b.x);
  const int y0 = std::min(a.y, b.y);
  const int x1 = std::max(a.x + a.width, b.x + b.width);
  const int y1 = std::max(a.y + a.height, b.y + b.height);
  return RegionRect{x0, y0, x1 - x0, y1 - y0};
}

}  // namespace

std::optional<ViewerDisplay::RegionReceipt> ViewerDisplay::ReceiveRegions(
    std::span<const std::uint8_t> message, std::uint32_t epoch) {
  if (message.size() <= kFrameHeaderBytes) Fail("frame header");
  const FrameHeader header = ReadFrameHeader(message);
  if (header.epoch != epoch) return std::nullopt;
  if (static_cast<std::int32_t>(header.seq) < 1) Fail("frame sequence");
  const RegionFrame frame = ParseRegionFrame(message);

  RegionReceipt receipt;
  receipt.header = header;
  if (!frame.full) {
    if (!picture_) {
      // Nothing to compose onto (the picture was dropped while the desktop was away): the
      // rectangles are skipped, the frame still counts as received.
      receipt.needFull = true;
      figures_.Count(message.size());
      return receipt;
    }
    if (picture_->width != frame.width || picture_->height != frame.height) Fail("frame header");
  }

  // Every rectangle is decoded before the picture changes, so that a refused one leaves no
  // half-composed picture behind.
  std::vector<PixelBuffer> decoded;
  decoded.reserve(frame.parts.size());
  for (const RegionPart& part : frame.parts) {
    std::optional<PixelBuffer> pixels = DecodeFrameJpeg(part.jpeg.data(), part.jpeg.size());
    if (!pixels || pixels->width != part.rect.width || pixels->height != part.rect.height) {
      DropPicture();
      Fail("invalid image");
    }
    decoded.push_back(std::move(*pixels));
  }
  std::size_t composed = 0;
  if (frame.full && decoded.size() == 1 &&
      frame.parts[0].rect == RegionRect{0, 0, frame.width, frame.height}) {
    // One rectangle that is the whole picture (what the host sends): it becomes the picture as
    // decoded, without a cleared picture to copy it into.
    picture_ = std::move(decoded[0]);
    receipt.changed = frame.parts[0].rect;
    composed = 1;
  } else if (frame.full) {
    PixelBuffer fresh;
    fresh.width = frame.width;
    fresh.height = frame.height;
    fresh.bytes.assign(static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height) * 4, 0);
    picture_ = std::move(fresh);
  }
  if (frame.copy) {
    MoveArea(*frame.copy, *picture_);
    receipt.changed = RegionRect{frame.copy->toX, frame.copy->toY, frame.copy->source.width,
                                 frame.copy->source.height};
  }
  for (std::size_t i = composed; i < decoded.size(); ++i) {
    Blit(decoded[i], frame.parts[i].rect, *picture_);
    receipt.changed = Bounds(receipt.changed, frame.parts[i].rect);
  }
  pictureFrame_ = header;
  figures_.Count(message.size());
  return receipt;
}

}  // namespace ov
