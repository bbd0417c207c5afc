#include "region_vectors.h"

#include <openssl/sha.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/protocol_error.h"
#include "crypto/primitives.h"
#include "screen/frame_message.h"
#include "screen/jpeg_codec.h"
#include "screen/region_encoder.h"
#include "screen/region_frame.h"
#include "screen/synthetic_capturer.h"
#include "screen/viewer_display.h"

namespace webpeer {
namespace {

using ov::Json;
using Bytes = std::vector<std::uint8_t>;

std::string Hex(const Bytes& bytes) { return ov::HexEncode(bytes.data(), bytes.size()); }

std::string PictureHash(const ov::PixelBuffer& picture) {
  std::uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(picture.bytes.data(), picture.bytes.size(), digest);
  return ov::HexEncode(digest, sizeof digest);
}

// A picture whose every row differs from the others (so that a scroll can be found), shifted up
// by `scroll` rows, with a block of `mark` drawn at (markX, markY) when mark is not 0.
ov::PixelBuffer Page(int width, int height, int scroll, int markX = 0, int markY = 0, int mark = 0) {
  ov::PixelBuffer p;
  p.width = width;
  p.height = height;
  p.bytes.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  for (int y = 0; y < height; ++y) {
    const int row = y + scroll;
    for (int x = 0; x < width; ++x) {
      std::uint8_t* px = &p.bytes[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 4];
      px[0] = static_cast<std::uint8_t>(x * 3 + row * 7);
      px[1] = static_cast<std::uint8_t>((row * 5) ^ x);
      px[2] = static_cast<std::uint8_t>(((x >> 3) + (row >> 3)) * 20);
      px[3] = 0xFF;
      if (mark != 0 && x >= markX && x < markX + 24 && y >= markY && y < markY + 16) {
        px[0] = static_cast<std::uint8_t>(mark);
        px[1] = static_cast<std::uint8_t>(255 - mark);
        px[2] = static_cast<std::uint8_t>(mark * 3);
      }
    }
  }
  return p;
}

Bytes Jpeg(int width, int height, std::uint32_t frame) {
  const ov::PixelBuffer p = ov::PaintSyntheticPicture(ov::SyntheticScene::MovingPattern, width, height, frame);
  Bytes jpeg = ov::EncodeJpeg(ov::PixelView{p.bytes.data(), width, height}, 80);
  if (jpeg.empty()) throw std::runtime_error("jpeg encoder");
  return jpeg;
}

struct Part {
  ov::RegionRect rect;
  Bytes jpeg;
};

Bytes Build(std::uint32_t seq, bool full, int width, int height, std::vector<Part> parts,
            std::optional<ov::RegionCopy> copy = std::nullopt, std::uint32_t epoch = 3) {
  ov::RegionFrame frame;
  frame.header = ov::FrameHeader{epoch, seq};
  frame.full = full;
  frame.copy = copy;
  frame.width = width;
  frame.height = height;
  for (const Part& part : parts) frame.parts.push_back(ov::RegionPart{part.rect, part.jpeg});
  Bytes out;
  if (!ov::BuildRegionFrame(frame, out)) throw std::runtime_error("region frame builder");
  return out;
}

void PutU16(Bytes& b, std::size_t at, int value) {
  b.at(at) = static_cast<std::uint8_t>(value >> 8);
  b.at(at + 1) = static_cast<std::uint8_t>(value);
}
void PutU32(Bytes& b, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) b.at(at + i) = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

}  // namespace

Json ParseRegion(const Bytes& message) {
  try {
    const ov::RegionFrame f = ov::ParseRegionFrame(message);
    Json rects = Json::array();
    for (const ov::RegionPart& part : f.parts) {
      rects.push_back(Json::array({part.rect.x, part.rect.y, part.rect.width, part.rect.height,
                                   part.jpeg.data() - message.data(), part.jpeg.size()}));
    }
    Json copy = nullptr;
    if (f.copy) {
      copy = Json::array({f.copy->source.x, f.copy->source.y, f.copy->source.width, f.copy->source.height,
                          f.copy->toX, f.copy->toY});
    }
    return Json{{"epoch", f.header.epoch}, {"seq", f.header.seq}, {"full", f.full}, {"copy", copy},
                {"width", f.width}, {"height", f.height}, {"rects", rects}};
  } catch (const ov::ProtocolError& e) {
    return Json{{"error", e.what()}};
  }
}

namespace {

Json PictureFields(const ov::ViewerDisplay& display) {
  const auto& picture = display.picture();
  if (!picture) return Json{{"picture", nullptr}};
  return Json{{"picture", PictureHash(*picture)}, {"width", picture->width}, {"height", picture->height}};
}

// One message through the program's viewer display, as its session hands it over (a region
// frame when the byte after the header is the region marker, else a whole frame).
Json Receive(ov::ViewerDisplay& display, const Bytes& message, std::uint32_t epoch) {
  try {
    if (ov::IsRegionFrameMessage(message)) {
      const auto receipt = display.ReceiveRegions(message, epoch);
      if (!receipt) return Json{{"dropped", true}};
      Json out = PictureFields(display);
      out["ack"] = Json::array({receipt->header.epoch, receipt->header.seq});
      out["needFull"] = receipt->needFull;
      const ov::RegionRect& c = receipt->changed;
      out["changed"] = Json::array({c.x, c.y, c.width, c.height});
      return out;
    }
    const auto header = display.Receive(message, epoch);
    if (!header) return Json{{"dropped", true}};
    Json out = PictureFields(display);
    out["ack"] = Json::array({header->epoch, header->seq});
    return out;
  } catch (const ov::ProtocolError& e) {
    return Json{{"error", e.what()}};
  }
}

class Scenes {
 public:
  // A scene: messages given to one fresh viewer display of epoch 3 until one is refused.
  void Add(const std::string& name, const std::vector<std::pair<std::string, Bytes>>& messages) {
    ov::ViewerDisplay display(0);
    Json steps = Json::array();
    for (const auto& [what, message] : messages) {
      Json expect = Receive(display, message, 3);
      const bool refused = expect.contains("error");
      steps.push_back(Json{{"what", what}, {"message", Hex(message)}, {"parsed", ParseRegion(message)},
                           {"expect", std::move(expect)}});
      if (refused) break;
    }
    scenes_.push_back(Json{{"name", name}, {"steps", std::move(steps)}});
  }
  Json Take() { return std::move(scenes_); }

 private:
  Json scenes_ = Json::array();
};

}  // namespace

Json RegionVectors() {
  constexpr int kW = 64;
  constexpr int kH = 48;
  const Bytes whole = Build(1, true, kW, kH, {{{0, 0, kW, kH}, Jpeg(kW, kH, 0)}});
  const Bytes partial = Build(2, false, kW, kH, {{{0, 0, 16, 16}, Jpeg(16, 16, 1)}, {{32, 16, 32, 32}, Jpeg(32, 32, 2)}});
  // Offsets in `partial`: flags 9, width 10, height 12, count 14, first rectangle 16 (x, y, w, h,
  // JPEG length at 24, JPEG at 28).
  const std::size_t firstJpeg = ov::kRegionFrameFixedBytes + ov::kRegionRectHeaderBytes;
  const std::size_t firstLength = Jpeg(16, 16, 1).size();
  const std::size_t second = firstJpeg + firstLength;
  const auto edited = [&](const std::function<void(Bytes&)>& edit, Bytes base = {}) {
    Bytes b = base.empty() ? partial : std::move(base);
    edit(b);
    return b;
  };

  Scenes s;
  s.Add("a whole picture, a change, nothing changed, a whole picture again", {
      {"whole", whole},
      {"two rectangles", partial},
      {"nothing changed", Build(3, false, kW, kH, {})},
      {"whole again", Build(4, true, kW, kH, {{{0, 0, kW, kH}, Jpeg(kW, kH, 5)}})},
  });
  s.Add("a whole frame (not a region frame) composed onto", {
      {"whole frame", [&] {
         Bytes m;
         ov::BuildFrameMessage(ov::FrameHeader{3, 1}, Jpeg(kW, kH, 3), m);
         return m;
       }()},
      {"two rectangles", partial},
  });
  s.Add("a change without a picture to compose onto", {
      {"two rectangles first", partial},
      {"nothing changed", Build(3, false, kW, kH, {})},
      {"whole", Build(4, true, kW, kH, {{{0, 0, kW, kH}, Jpeg(kW, kH, 0)}})},
      {"two rectangles", Build(5, false, kW, kH, {{{0, 0, 16, 16}, Jpeg(16, 16, 1)}, {{32, 16, 32, 32}, Jpeg(32, 32, 2)}})},
  });
  s.Add("scrolls up and down, overlapping areas", {
      {"whole", whole},
      {"up", Build(2, false, kW, kH, {{{0, 32, kW, 16}, Jpeg(kW, 16, 7)}}, ov::RegionCopy{{0, 16, kW, 32}, 0, 0})},
      {"down", Build(3, false, kW, kH, {{{0, 0, kW, 8}, Jpeg(kW, 8, 8)}}, ov::RegionCopy{{0, 0, kW, 40}, 0, 8})},
      {"sideways, no rectangle", Build(4, false, kW, kH, {}, ov::RegionCopy{{8, 8, 40, 24}, 16, 20})},
  });
  {
    std::vector<Part> tiles;
    for (int y = 0; y < kH; y += 6) {
      for (int x = 0; x < kW; x += 8) tiles.push_back({{x, y, 8, 6}, Jpeg(8, 6, static_cast<std::uint32_t>(x + y))});
    }
    s.Add("sixty-four rectangles tile a whole picture", {{"64 rectangles", Build(1, true, kW, kH, tiles)}});
  }
  s.Add("other epochs are dropped", {
      {"whole", whole},
      {"an older epoch's change", Build(2, false, kW, kH, {{{8, 8, 48, 32}, Jpeg(48, 32, 9)}}, std::nullopt, 2)},
      {"a later epoch's broken message", edited([](Bytes& b) { PutU32(b, 0, 4); b.resize(12); })},
      {"an older epoch's whole frame", Build(9, true, kW, kH, {{{0, 0, kW, kH}, Jpeg(kW, kH, 4)}}, std::nullopt, 2)},
      {"two rectangles", partial},
  });

  // Each refused message after a whole picture.
  const std::vector<std::pair<std::string, Bytes>> refused = {
      {"nine bytes", edited([](Bytes& b) { b.resize(9); })},
      {"fifteen bytes", edited([](Bytes& b) { b.resize(15); })},
      {"sequence 0", edited([](Bytes& b) { PutU32(b, 4, 0); })},
      {"sequence above 2^31", edited([](Bytes& b) { PutU32(b, 4, 0x80000000u); })},
      {"marker cut off", edited([](Bytes& b) { b.resize(8); })},
      {"an unknown flag", edited([](Bytes& b) { b[9] = 0x04; })},
      {"full and copy", edited([](Bytes& b) { b[9] = 0x03; })},
      {"width 0", edited([](Bytes& b) { PutU16(b, 10, 0); })},
      {"width 7681", edited([](Bytes& b) { PutU16(b, 10, 7681); })},
      {"height 4321", edited([](Bytes& b) { PutU16(b, 12, 4321); })},
      {"65 rectangles", edited([](Bytes& b) { PutU16(b, 14, 65); })},
      {"a count above the rectangles", edited([](Bytes& b) { PutU16(b, 14, 3); })},
      {"a count below the rectangles", edited([](Bytes& b) { PutU16(b, 14, 1); })},
      {"a rectangle past the right edge", edited([](Bytes& b) { PutU16(b, 16, 49); })},
      {"a rectangle past the bottom edge", edited([&](Bytes& b) { PutU16(b, second + 2, 17); })},
      {"a rectangle 0 wide", edited([](Bytes& b) { PutU16(b, 20, 0); })},
      {"a rectangle 0 high", edited([](Bytes& b) { PutU16(b, 22, 0); })},
      {"a rectangle at 65535", edited([](Bytes& b) { PutU16(b, 16, 65535); })},
      {"overlapping rectangles", edited([&](Bytes& b) { PutU16(b, second, 8); PutU16(b, second + 2, 8); })},
      {"a JPEG length of 3", edited([](Bytes& b) { PutU32(b, 24, 3); })},
      {"a JPEG length past the end", edited([](Bytes& b) { PutU32(b, 24, 0x7FFFFF); })},
      {"a JPEG length over the limit", edited([](Bytes& b) { PutU32(b, 24, 0x800000); })},
      {"a byte after the last JPEG", edited([](Bytes& b) { b.push_back(0xD9); })},
      {"the last byte cut off", edited([](Bytes& b) { b.pop_back(); })},
      {"full without rectangles", edited([](Bytes& b) { b[9] = 0x01; PutU16(b, 14, 0); b.resize(16); })},
      {"full, not covering", Build(2, false, kW, kH, {{{0, 0, kW, 32}, Jpeg(kW, 32, 1)}}) /* flag set below */},
      {"a copy cut short", edited([](Bytes& b) { b[9] = 0x02; PutU16(b, 14, 0); b.resize(16 + 10); })},
      {"a copy leaving the picture", Build(2, false, kW, kH, {}, ov::RegionCopy{{0, 0, kW, 16}, 0, 32})},
      {"a copy source 0 high", Build(2, false, kW, kH, {}, ov::RegionCopy{{0, 0, kW, 16}, 0, 0})},
      {"another picture size", edited([](Bytes& b) { PutU16(b, 10, 80); })},
      {"a broken JPEG", edited([&](Bytes& b) {
         for (std::size_t i = firstJpeg + firstLength / 2; i < firstJpeg + firstLength - 2; ++i) b[i] = 0xFF;
       })},
      {"a JPEG without its start", edited([&](Bytes& b) { b[firstJpeg + 1] = 0x00; })},
      {"a JPEG of another size than its rectangle", Build(2, false, kW, kH, {{{0, 0, 16, 16}, Jpeg(16, 24, 1)}})},
      {"a 4-byte JPEG", Build(2, false, kW, kH, {{{0, 0, 16, 16}, Bytes{0xFF, 0xD8, 0xFF, 0xD9}}})},
  };
  for (auto [what, message] : refused) {
    if (what == "full, not covering") message[9] = 0x01;
    if (what == "a copy leaving the picture") PutU16(message, 16 + 10, 40);
    if (what == "a copy source 0 high") PutU16(message, 16 + 6, 0);
    s.Add("refused: " + what, {{"whole", whole}, {what, message}});
  }
  return Json{{"epoch", 3}, {"scenes", s.Take()}};
}

Json DecodeJpeg(const Bytes& jpeg) {
  const std::optional<ov::PixelBuffer> pixels = ov::DecodeFrameJpeg(jpeg.data(), jpeg.size());
  if (!pixels) return Json{{"refused", true}};
  return Json{{"width", pixels->width}, {"height", pixels->height}, {"pixels", Hex(pixels->bytes)}};
}

Json RegionStream(std::uint32_t epoch, int width, int height, int pictures, bool skipFirst) {
  if (width < 16 || height < 16 || width > 1920 || height > 1080 || pictures < 1 || pictures > 64) {
    throw std::invalid_argument("stream size");
  }
  ov::RegionEncoder encoder;
  ov::ViewerDisplay display(0);
  Json out = Json::array();
  std::uint32_t seq = 0;
  std::uint64_t now = 0;
  const auto send = [&](const Bytes& body) {
    Bytes message(ov::kFrameHeaderBytes);
    message.insert(message.end(), body.begin(), body.end());
    PutU32(message, 0, epoch);
    PutU32(message, 4, ++seq);
    if (skipFirst && seq == 1) return;
    Json step = Receive(display, message, epoch);
    step["message"] = Hex(message);
    const ov::RegionFrame parsed = ov::ParseRegionFrame(message);
    step["full"] = parsed.full;
    step["copy"] = parsed.copy.has_value();
    step["rects"] = parsed.parts.size();
    out.push_back(std::move(step));
  };
  for (int i = 0; i < pictures; ++i) {
    // A page that types a block, moves it, and scrolls by 16 rows every fourth picture.
    const int scroll = (i / 4) * 16;
    const ov::PixelBuffer p = Page(width, height, scroll, (i * 24) % (width - 24), 16 + (i % 3) * 8, 40 + i * 13);
    encoder.SetNow(now += 50);
    const auto outcome = encoder.Encode(ov::PixelView{p.bytes.data(), width, height}, 7680, 70);
    if (outcome == ov::PictureEncoder::Outcome::Failed) throw std::runtime_error("region encoder");
    send(outcome == ov::PictureEncoder::Outcome::Same ? encoder.Unchanged() : encoder.output());
  }
  encoder.SetNow(now += 2000);
  if (encoder.Refine() == ov::PictureEncoder::Outcome::Encoded) send(encoder.output());
  return out;
}

}  // namespace webpeer
