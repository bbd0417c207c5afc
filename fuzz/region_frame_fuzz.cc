// A received region frame, and the host's region encoder feeding the viewer.
//
// Selector bit 0 clear: the rest is a region-frame message (epoch 5) for a viewer that holds a
// gray picture of the message's own size (selector bit 1 clear, when that size is small) or none.
// Checked: the parser accepts exactly what keeps its rules (inside, at least 1 x 1, disjoint, at
// most 64, a full message covering the picture) and writes back to the same bytes; a refusal is a
// ProtocolError "frame header", "frame sequence" or "invalid image"; an accepted message leaves a
// picture of its size, changed only within the receipt's bounds, or asks for a whole picture
// when there was none.
//
// Selector bit 0 set: the rest scripts pictures for the encoder: a size, then edits (x, y, w, h,
// value) applied one picture after another, with a width limit and a quality from the selector.
// Checked: every message the encoder makes is one the viewer accepts, and after each the viewer's
// picture has the encoded size and differs from the host's scaled picture only as much as JPEG
// noise allows (what a whole JPEG at the same quality misses by, or a fixed mean if that is more).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "base/protocol_error.h"
#include "fuzz/fuzz_check.h"
#include "screen/jpeg_codec.h"
#include "screen/picture.h"
#include "screen/region_encoder.h"
#include "screen/region_frame.h"
#include "screen/viewer_display.h"

namespace {

using ov::FrameHeader;
using ov::PixelBuffer;
using ov::RegionFrame;

std::vector<std::uint8_t> FullMessage(int width, int height) {
  PixelBuffer gray;
  gray.width = width;
  gray.height = height;
  gray.bytes.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0x80);
  const auto jpeg = ov::EncodeJpeg(ov::PixelView{gray.bytes.data(), width, height}, 50);
  RegionFrame frame;
  frame.header = FrameHeader{5, 1};
  frame.full = true;
  frame.width = width;
  frame.height = height;
  frame.parts.push_back(ov::RegionPart{ov::RegionRect{0, 0, width, height}, jpeg});
  std::vector<std::uint8_t> out;
  OV_FUZZ_CHECK(ov::BuildRegionFrame(frame, out));
  return out;
}

void Receive(std::uint8_t selector, std::span<const std::uint8_t> message) {
  // The parser alone.
  bool parsed = false;
  RegionFrame frame;
  try {
    frame = ov::ParseRegionFrame(message);
    parsed = true;
  } catch (const ov::ProtocolError& e) {
    OV_FUZZ_CHECK(std::string(e.what()) == "frame header");
  }
  if (parsed) {
    OV_FUZZ_CHECK(frame.parts.size() <= ov::kMaxRegionRects);
    OV_FUZZ_CHECK(ov::RegionRectsValid(frame.parts, frame.width, frame.height));
    std::int64_t area = 0;
    for (const auto& part : frame.parts) area += std::int64_t{part.rect.width} * part.rect.height;
    OV_FUZZ_CHECK(area <= std::int64_t{frame.width} * frame.height);
    if (frame.full) OV_FUZZ_CHECK(area == std::int64_t{frame.width} * frame.height);
    std::vector<std::uint8_t> again;
    OV_FUZZ_CHECK(ov::BuildRegionFrame(frame, again));
    OV_FUZZ_CHECK(again.size() == message.size() &&
                  std::memcmp(again.data(), message.data(), again.size()) == 0);
  }

  // The viewer, with a picture of the message's size when it is small enough to make one.
  ov::ViewerDisplay display(0);
  const bool withPicture = (selector & 2) == 0 && parsed && !frame.full &&
                           std::int64_t{frame.width} * frame.height <= 256 * 256;
  if (withPicture) OV_FUZZ_CHECK(display.ReceiveRegions(FullMessage(frame.width, frame.height), 5));
  const std::vector<std::uint8_t> before = withPicture ? display.picture()->bytes : std::vector<std::uint8_t>{};
  try {
    const auto receipt = display.ReceiveRegions(message, 5);
    if (!receipt) {
      OV_FUZZ_CHECK(message.size() > 8 && ov::ReadFrameHeader(message).epoch != 5);
      return;
    }
    OV_FUZZ_CHECK(parsed);
    if (receipt->needFull) {
      OV_FUZZ_CHECK(!withPicture && !frame.full && !display.picture());
      return;
    }
    OV_FUZZ_CHECK(display.picture() && display.picture()->width == frame.width &&
                  display.picture()->height == frame.height);
    if (!withPicture) return;
    const ov::RegionRect& c = receipt->changed;
    const auto& after = display.picture()->bytes;
    for (int y = 0; y < frame.height; ++y) {
      for (int x = 0; x < frame.width; ++x) {
        if (x >= c.x && x < c.x + c.width && y >= c.y && y < c.y + c.height) continue;
        const std::size_t at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(frame.width) +
                                static_cast<std::size_t>(x)) * 4;
        OV_FUZZ_CHECK(std::memcmp(&after[at], &before[at], 4) == 0);
      }
    }
  } catch (const ov::ProtocolError& e) {
    const std::string what = e.what();
    OV_FUZZ_CHECK(what == "frame header" || what == "frame sequence" || what == "invalid image");
  }
}

void Encode(std::uint8_t selector, std::span<const std::uint8_t> script) {
  if (script.size() < 2) return;
  const int width = 1 + script[0] % 160;
  const int height = 1 + script[1] % 120;
  const int maxWidth = (selector & 2) != 0 ? std::max(1, width / 2) : 1920;
  const int quality = 20 + (selector >> 2) % 76;
  PixelBuffer picture;
  picture.width = width;
  picture.height = height;
  picture.bytes.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  for (std::size_t i = 0; i < picture.bytes.size(); ++i) picture.bytes[i] = static_cast<std::uint8_t>(i * 7 / 5);

  ov::RegionEncoder encoder;
  ov::ViewerDisplay display(0);
  std::uint32_t seq = 0;
  std::uint64_t now = 0;
  auto deliver = [&](const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> message;
    ov::BuildFrameMessage(FrameHeader{5, ++seq}, body, message);
    const auto receipt = display.ReceiveRegions(message, 5);  // any refusal aborts: a fault
    OV_FUZZ_CHECK(receipt && !receipt->needFull);
  };
  for (std::size_t at = 2; at + 5 <= script.size() && seq < 64; at += 5) {
    const int x = script[at] % width;
    const int y = script[at + 1] % height;
    const int w = std::min(width - x, 1 + script[at + 2] % 64);
    const int h = std::min(height - y, 1 + script[at + 3] % 64);
    for (int yy = y; yy < y + h; ++yy) {
      std::memset(picture.bytes.data() + (static_cast<std::size_t>(yy) * static_cast<std::size_t>(width) +
                                          static_cast<std::size_t>(x)) * 4,
                  script[at + 4], static_cast<std::size_t>(w) * 4);
    }
    now += (script[at + 4] & 1) != 0 ? 1000 : 50;
    encoder.SetNow(now);
    const auto outcome = encoder.Encode(ov::PixelView{picture.bytes.data(), width, height}, maxWidth, quality);
    OV_FUZZ_CHECK(outcome != ov::PictureEncoder::Outcome::Failed);
    if (outcome == ov::PictureEncoder::Outcome::Encoded) deliver(encoder.output());
    if (encoder.Refine(900) == ov::PictureEncoder::Outcome::Encoded) deliver(encoder.output());
    const ov::TargetSize target = ov::ScaledSize(width, height, maxWidth);
    OV_FUZZ_CHECK(display.picture() && display.picture()->width == target.width &&
                  display.picture()->height == target.height);
  }
  if (seq == 0) return;
  // Against a whole JPEG of the last picture at the highest quality: the composed picture may
  // differ by JPEG noise, not by a stale or misplaced rectangle (a mean error bound). The noise of
  // a low quality on a tiny picture of hard edges is itself large, so the bound is the larger of a
  // fixed mean and twice what a whole JPEG at the stream's own quality misses by.
  const auto whole = ov::ScaleAndEncode(picture.bytes.data(), width, height, maxWidth, 95);
  const auto reference = ov::DecodeFrameJpeg(whole.data(), whole.size());
  const auto atQuality = ov::ScaleAndEncode(picture.bytes.data(), width, height, maxWidth, quality);
  const auto plain = ov::DecodeFrameJpeg(atQuality.data(), atQuality.size());
  OV_FUZZ_CHECK(reference.has_value() && plain.has_value());
  const auto missedBy = [&](const std::vector<std::uint8_t>& bytes) {
    std::uint64_t error = 0;
    for (std::size_t i = 0; i < reference->bytes.size(); ++i) {
      error += static_cast<std::uint64_t>(std::abs(int{reference->bytes[i]} - int{bytes[i]}));
    }
    return error;
  };
  OV_FUZZ_CHECK(missedBy(display.picture()->bytes) <=
                std::max<std::uint64_t>(reference->bytes.size() * 40, 2 * missedBy(plain->bytes)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = ov::fuzz::Select(data, size);
  if ((input.selector & 1) == 0) {
    Receive(input.selector, input.rest);
  } else {
    Encode(input.selector, input.rest);
  }
  return 0;
}
