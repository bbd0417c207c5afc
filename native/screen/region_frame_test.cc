// Changed-region frames: the message's rules as the viewer enforces them, composition onto the
// retained picture, the host's tile differ and merger, and host-to-viewer round trips.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/protocol_error.h"
#include "screen/jpeg_codec.h"
#include "screen/picture.h"
#include "screen/region_encoder.h"
#include "screen/region_frame.h"
#include "screen/synthetic_capturer.h"
#include "screen/viewer_display.h"

namespace ov {
namespace {

// Byte offset of pixel (x, y) in a picture `width` pixels wide.
std::size_t At(int x, int y, int width) {
  return (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 4;
}

PixelBuffer Paint(int width, int height, std::uint32_t frame = 0) {
  return PaintSyntheticPicture(SyntheticScene::MovingPattern, width, height, frame);
}

std::vector<std::uint8_t> JpegOf(int width, int height, std::uint32_t frame = 0) {
  const PixelBuffer p = Paint(width, height, frame);
  return EncodeJpeg(PixelView{p.bytes.data(), width, height}, 80);
}

std::vector<std::uint8_t> Message(std::uint32_t epoch, std::uint32_t seq, bool full, int width,
                                  int height, const std::vector<RegionRect>& rects,
                                  const std::vector<std::vector<std::uint8_t>>& jpegs) {
  RegionFrame frame;
  frame.header = FrameHeader{epoch, seq};
  frame.full = full;
  frame.width = width;
  frame.height = height;
  for (std::size_t i = 0; i < rects.size(); ++i) frame.parts.push_back(RegionPart{rects[i], jpegs[i]});
  std::vector<std::uint8_t> out;
  EXPECT_TRUE(BuildRegionFrame(frame, out));
  return out;
}

void PutU16(std::vector<std::uint8_t>& m, std::size_t at, unsigned v) {
  m[at] = static_cast<std::uint8_t>(v >> 8);
  m[at + 1] = static_cast<std::uint8_t>(v);
}

std::string Outcome(ViewerDisplay& display, const std::vector<std::uint8_t>& message) {
  try {
    const auto receipt = display.ReceiveRegions(message, 5);
    if (!receipt) return "dropped";
    return std::string(receipt->needFull ? "need full " : "ack ") + std::to_string(receipt->header.seq);
  } catch (const ProtocolError& e) {
    return e.what();
  }
}

double Psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  double sum = 0;
  std::size_t n = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (i % 4 == 3) continue;
    const double d = double(a[i]) - double(b[i]);
    sum += d * d;
    ++n;
  }
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / (sum / double(n)));
}

// A 64 x 48 picture on the viewer, then one message that changes it.
TEST(RegionFrame, EveryMalformedMessageIsRefused) {
  const auto whole = JpegOf(64, 48);
  const auto tile = JpegOf(16, 16, 3);
  const auto tile2 = JpegOf(16, 16, 4);
  const auto wrongSize = JpegOf(16, 8);
  std::vector<std::uint8_t> notJpeg = tile;
  notJpeg[1] = 0x00;
  const RegionRect at{16, 16, 16, 16};
  const auto good = Message(5, 2, false, 64, 48, {at}, {tile});
  // Offsets in `good`: 9 flags, 10 width, 12 height, 14 count, 16 the rectangle, 28 its JPEG.
  using Edit = std::function<void(std::vector<std::uint8_t>&)>;
  struct Row {
    const char* name;
    std::vector<std::uint8_t> message;
    const char* outcome;
  };
  auto edited = [&](const Edit& edit) {
    std::vector<std::uint8_t> m = good;
    edit(m);
    return m;
  };
  // The second rectangle of `two` moved to (x, y); the builder would refuse an overlap.
  const auto two = Message(5, 2, false, 64, 48, {at, {40, 0, 16, 16}}, {tile, tile2});
  auto overlapping = [&](unsigned x, unsigned y) {
    std::vector<std::uint8_t> m = two;
    PutU16(m, 16 + 12 + tile.size(), x);
    PutU16(m, 16 + 12 + tile.size() + 2, y);
    return m;
  };
  // `good` with a copy of (x, y, w, h) to (x', y') in front of its rectangle.
  auto withCopy = [&](std::array<unsigned, 6> c) {
    std::vector<std::uint8_t> m(good.begin(), good.begin() + 16);
    m[9] = 0x02;
    for (unsigned v : c) {
      m.push_back(static_cast<std::uint8_t>(v >> 8));
      m.push_back(static_cast<std::uint8_t>(v));
    }
    m.insert(m.end(), good.begin() + 16, good.end());
    return m;
  };
  const std::vector<Row> rows = {
      {"good", good, "ack 2"},
      {"no rectangles", Message(5, 2, false, 64, 48, {}, {}), "ack 2"},
      {"older epoch, malformed beyond", edited([](auto& m) { m[3] = 4; m.resize(12); }), "dropped"},
      {"seq 0", edited([](auto& m) { m[7] = 0; }), "frame sequence"},
      {"cut in the fixed part", std::vector<std::uint8_t>(good.begin(), good.begin() + 15), "frame header"},
      {"cut in a rectangle", std::vector<std::uint8_t>(good.begin(), good.begin() + 24), "frame header"},
      {"cut in a JPEG", std::vector<std::uint8_t>(good.begin(), good.end() - 1), "frame header"},
      {"a byte after the last JPEG", edited([](auto& m) { m.push_back(0); }), "frame header"},
      {"unknown flag", edited([](auto& m) { m[9] = 0x02; }), "frame header"},
      {"width 0", edited([](auto& m) { PutU16(m, 10, 0); }), "frame header"},
      {"width 7681", edited([](auto& m) { PutU16(m, 10, 7681); }), "frame header"},
      {"height 4321", edited([](auto& m) { PutU16(m, 12, 4321); }), "frame header"},
      {"count above the bound", edited([](auto& m) { PutU16(m, 14, kMaxRegionRects + 1); }), "frame header"},
      {"count above the rectangles", edited([](auto& m) { PutU16(m, 14, 2); }), "frame header"},
      {"rectangle past the right edge", edited([](auto& m) { PutU16(m, 16, 49); }), "frame header"},
      {"rectangle past the bottom", edited([](auto& m) { PutU16(m, 18, 33); }), "frame header"},
      {"rectangle of width 0", edited([](auto& m) { PutU16(m, 20, 0); }), "frame header"},
      {"JPEG length 3", edited([](auto& m) { m[24] = m[25] = 0; m[26] = 0; m[27] = 3; }), "frame header"},
      {"JPEG length past the end", edited([](auto& m) { m[26] = 0x7F; }), "frame header"},
      {"two disjoint rectangles", two, "ack 2"},
      {"the same rectangle twice", overlapping(16, 16), "frame header"},
      {"overlapping by one pixel", overlapping(31, 31), "frame header"},
      {"touching, not overlapping", overlapping(32, 16), "ack 2"},
      {"full, not covering", edited([](auto& m) { m[9] = 0x01; }), "frame header"},
      {"full, no rectangles", edited([](auto& m) { m.resize(16); m[9] = 1; PutU16(m, 14, 0); }), "frame header"},
      {"partial of another size", edited([](auto& m) { PutU16(m, 10, 80); }), "frame header"},
      {"a scroll", withCopy({0, 8, 64, 40, 0, 0}), "ack 2"},
      {"a move onto itself, overlapping", withCopy({8, 8, 40, 30, 10, 12}), "ack 2"},
      {"copy source past the bottom", withCopy({0, 9, 64, 40, 0, 0}), "frame header"},
      {"copy destination past the right edge", withCopy({0, 0, 32, 8, 33, 0}), "frame header"},
      {"copy of height 0", withCopy({0, 0, 64, 0, 0, 0}), "frame header"},
      {"copy cut short", edited([](auto& m) { m[9] = 0x02; m.resize(20); PutU16(m, 14, 0); }), "frame header"},
      {"copy in a full message", edited([](auto& m) { m[9] = 0x03; }), "frame header"},
      {"not a JPEG", Message(5, 2, false, 64, 48, {at}, {notJpeg}), "invalid image"},
      {"JPEG of another size", Message(5, 2, false, 64, 48, {{16, 16, 16, 8}}, {tile}), "invalid image"},
      {"JPEG smaller than its rectangle",
       Message(5, 2, false, 64, 48, {{16, 16, 16, 16}}, {wrongSize}), "invalid image"},
  };
  for (const Row& row : rows) {
    ViewerDisplay display(0);
    ASSERT_EQ(Outcome(display, Message(5, 1, true, 64, 48, {{0, 0, 64, 48}}, {whole})), "ack 1");
    const PixelBuffer before = *display.picture();
    EXPECT_EQ(Outcome(display, row.message), row.outcome) << row.name;
    const std::string outcome = row.outcome;
    if (outcome == "invalid image") {
      EXPECT_FALSE(display.picture().has_value()) << row.name;
    } else if (outcome != "ack 2") {
      // Refused before anything was composed: the picture is as it was.
      ASSERT_TRUE(display.picture().has_value()) << row.name;
      EXPECT_EQ(display.picture()->bytes, before.bytes) << row.name;
    }
    EXPECT_EQ(display.figures().frames, outcome == "ack 2" ? 2u : 1u) << row.name;
  }
}

TEST(RegionFrame, ComposesOntoTheRetainedPicture) {
  const auto whole = JpegOf(64, 48);
  const auto tile = JpegOf(16, 16, 7);
  const auto edge = JpegOf(8, 5, 9);  // a rectangle ending at the picture's odd edge
  ViewerDisplay display(0);
  // A partial message before any picture cannot be placed: acknowledged, a whole one asked for.
  EXPECT_EQ(Outcome(display, Message(5, 1, false, 64, 48, {{0, 0, 16, 16}}, {tile})), "need full 1");
  EXPECT_FALSE(display.picture().has_value());

  ASSERT_EQ(Outcome(display, Message(5, 2, true, 64, 48, {{0, 0, 64, 48}}, {whole})), "ack 2");
  const PixelBuffer base = *display.picture();
  const auto message = Message(5, 3, false, 64, 48, {{16, 32, 16, 16}, {56, 43, 8, 5}}, {tile, edge});
  const auto receipt = display.ReceiveRegions(message, 5);
  ASSERT_TRUE(receipt.has_value());
  EXPECT_EQ(receipt->changed, (RegionRect{16, 32, 48, 16}));
  EXPECT_EQ(display.pictureFrame(), (FrameHeader{5, 3}));
  EXPECT_EQ(display.figures().bytes, 0 + Message(5, 2, true, 64, 48, {{0, 0, 64, 48}}, {whole}).size() +
                                         message.size() + Message(5, 1, false, 64, 48, {{0, 0, 16, 16}}, {tile}).size());
  const auto decodedTile = DecodeFrameJpeg(tile.data(), tile.size());
  const auto decodedEdge = DecodeFrameJpeg(edge.data(), edge.size());
  ASSERT_TRUE(decodedTile && decodedEdge);
  const PixelBuffer& picture = *display.picture();
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 64; ++x) {
      const std::size_t at = At(x, y, 64);
      const std::uint8_t* want = base.bytes.data() + at;
      if (x >= 16 && x < 32 && y >= 32) {
        want = decodedTile->bytes.data() + At(x - 16, y - 32, 16);
      } else if (x >= 56 && y >= 43) {
        want = decodedEdge->bytes.data() + At(x - 56, y - 43, 8);
      }
      ASSERT_EQ(std::memcmp(picture.bytes.data() + at, want, 4), 0) << x << "," << y;
    }
  }
}

TEST(RegionFrame, MergeTilesCoversEveryChangedTileWithDisjointRectangles) {
  struct Row {
    const char* name;
    int cols, rows;
    std::vector<int> set;  // tile indices
    std::size_t budget;
    std::size_t rects;     // expected count
    int covered = -1;      // expected tiles covered (-1: not checked)
    std::vector<int> flat = {};  // unset tiles of one colour
  };
  std::vector<int> checker;
  for (int i = 0; i < 20 * 20; ++i) {
    if ((i % 20 + i / 20) % 3 == 0) checker.push_back(i);
  }
  const std::vector<Row> rows = {
      {"nothing", 4, 4, {}, 24, 0},
      {"one tile", 4, 4, {5}, 24, 1},
      {"a 2 x 2 block", 4, 4, {5, 6, 9, 10}, 24, 1},
      {"an L joined cheaply", 4, 4, {0, 1, 4}, 24, 1},
      {"two far corners stay apart", 40, 40, {0, 1599}, 24, 2},
      {"a scattered pattern within the budget", 20, 20, checker, 24, 0},
      {"budget of one", 40, 40, {0, 1599, 800}, 1, 1},
      // The two short rows' box takes in part of the long row and nothing unset; filling it
      // changes nothing, so a short row merges with the long one instead of all three going
      // into one box.
      {"a box of set tiles only is no merge", 10, 3, {0, 1, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21}, 2, 2, 22},
      {"eight tiles of content apart", 10, 1, {0, 9}, 24, 2, 2},
      {"eight plain tiles apart", 10, 1, {0, 9}, 24, 1, 10, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"eight tiles apart, half of them content", 10, 1, {0, 9}, 24, 2, 2, {1, 2, 3, 4}},
  };
  for (const Row& row : rows) {
    std::vector<std::uint8_t> mask(static_cast<std::size_t>(row.cols * row.rows), 0);
    for (int t : row.set) mask[static_cast<std::size_t>(t)] = 1;
    const std::vector<std::uint8_t> original = mask;
    std::vector<std::uint8_t> flat;
    if (!row.flat.empty()) flat.assign(mask.size(), 0);
    for (int t : row.flat) flat[static_cast<std::size_t>(t)] = 1;
    const auto rects = MergeTiles(mask, row.cols, row.rows, row.budget, 4, flat);
    if (row.rects != 0 || row.set.empty()) {
      EXPECT_EQ(rects.size(), row.rects) << row.name;
    }
    EXPECT_LE(rects.size(), row.budget) << row.name;
    if (row.covered >= 0) {
      EXPECT_EQ(std::count(mask.begin(), mask.end(), std::uint8_t{1}), row.covered) << row.name;
    }
    std::vector<int> cover(mask.size(), 0);
    for (const RegionRect& r : rects) {
      for (int y = r.y; y < r.y + r.height; ++y) {
        for (int x = r.x; x < r.x + r.width; ++x) ++cover[static_cast<std::size_t>(y * row.cols + x)];
      }
    }
    for (std::size_t t = 0; t < mask.size(); ++t) {
      EXPECT_LE(cover[t], 1) << row.name << " tile " << t << " covered twice";
      if (original[t] != 0) {
        EXPECT_EQ(cover[t], 1) << row.name << " tile " << t << " lost";
      }
      EXPECT_EQ(mask[t] != 0, cover[t] == 1) << row.name << " mask out of step at " << t;
    }
  }
}

// One picture through the encoder and the viewer.
struct RoundTrip {
  RegionEncoder encoder;
  ViewerDisplay display{0};
  std::uint32_t seq = 0;

  PictureEncoder::Outcome Send(const PixelBuffer& p, int maxWidth, int quality = 80) {
    const auto outcome = encoder.Encode(PixelView{p.bytes.data(), p.width, p.height}, maxWidth, quality);
    if (outcome == PictureEncoder::Outcome::Encoded) Deliver(encoder.output());
    return outcome;
  }
  void Deliver(const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> message;
    BuildFrameMessage(FrameHeader{5, ++seq}, body, message);
    ASSERT_TRUE(display.ReceiveRegions(message, 5).has_value());
  }
};

void Scribble(PixelBuffer& p, int x, int y, int w, int h, std::uint8_t value) {
  for (int yy = y; yy < y + h; ++yy) {
    for (int xx = x; xx < x + w; ++xx) {
      std::uint8_t* px = p.bytes.data() + At(xx, yy, p.width);
      px[0] = px[1] = px[2] = value;
    }
  }
}

TEST(RegionEncoder, SendsOnlyTheChangedTilesAndWholePicturesWhenDue) {
  using O = PictureEncoder::Outcome;
  struct Row {
    const char* name;
    std::function<void(PixelBuffer&, RegionEncoder&)> change;
    O outcome;
    bool full;
    std::vector<RegionRect> rects;
  };
  const std::vector<Row> rows = {
      {"nothing changed", [](PixelBuffer&, RegionEncoder&) {}, O::Same, false, {}},
      {"one pixel", [](PixelBuffer& p, RegionEncoder&) { Scribble(p, 100, 50, 1, 1, 7); }, O::Encoded,
       false, {{96, 48, 16, 16}}},
      {"a typed word across two tiles", [](PixelBuffer& p, RegionEncoder&) { Scribble(p, 10, 3, 12, 9, 7); },
       O::Encoded, false, {{0, 0, 32, 16}}},
      {"two far corners", [](PixelBuffer& p, RegionEncoder&) { Scribble(p, 0, 0, 2, 2, 7); Scribble(p, 318, 198, 2, 2, 7); },
       O::Encoded, false, {{0, 0, 16, 16}, {304, 192, 16, 8}}},
      {"most of the screen", [](PixelBuffer& p, RegionEncoder&) { Scribble(p, 0, 0, 320, 110, 7); },
       O::Encoded, true, {{0, 0, 320, 200}}},
      {"asked for", [](PixelBuffer&, RegionEncoder& e) { e.RequestFull(); }, O::Encoded, true, {{0, 0, 320, 200}}},
  };
  for (const Row& row : rows) {
    RoundTrip trip;
    PixelBuffer p = Paint(320, 200);
    ASSERT_EQ(trip.Send(p, 1920), O::Encoded) << row.name;
    EXPECT_TRUE(trip.encoder.lastWasFull()) << row.name;
    row.change(p, trip.encoder);
    EXPECT_EQ(trip.Send(p, 1920), row.outcome) << row.name;
    if (row.outcome != O::Encoded) continue;
    EXPECT_EQ(trip.encoder.lastWasFull(), row.full) << row.name;
    EXPECT_EQ(trip.encoder.rects(), row.rects) << row.name;
    // The viewer's picture follows the capture as closely as a whole JPEG of it would.
    const auto whole = EncodeJpeg(PixelView{p.bytes.data(), p.width, p.height}, 80);
    const auto decoded = DecodeFrameJpeg(whole.data(), whole.size());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_GT(Psnr(trip.display.picture()->bytes, p.bytes), Psnr(decoded->bytes, p.bytes) - 0.5)
        << row.name;
    EXPECT_EQ(trip.Send(p, 1920), O::Same) << row.name << ": sent twice";
  }
}

// Changes apart on one row of tiles go out as one rectangle when plain background lies between
// them (a few bytes of JPEG), as two when content does.
TEST(RegionEncoder, MergesAcrossPlainBackgroundNotAcrossContent) {
  struct Row {
    const char* name;
    bool plain;
    std::vector<RegionRect> rects;
  };
  for (const Row& row : {Row{"plain between", true, {{0, 16, 160, 16}}},
                         Row{"content between", false, {{0, 16, 16, 16}, {144, 16, 16, 16}}}}) {
    RoundTrip trip;
    PixelBuffer p = Paint(320, 200);
    Scribble(p, 0, 16, 320, 16, 250);
    if (!row.plain) {
      for (int x = 0; x < 320; x += 3) Scribble(p, x, 16, 1, 16, 40);  // thin stripes: text-like content
    }
    ASSERT_EQ(trip.Send(p, 1920), PictureEncoder::Outcome::Encoded) << row.name;
    Scribble(p, 2, 18, 4, 4, 7);
    Scribble(p, 150, 18, 4, 4, 7);
    ASSERT_EQ(trip.Send(p, 1920), PictureEncoder::Outcome::Encoded) << row.name;
    EXPECT_EQ(trip.encoder.rects(), row.rects) << row.name;
    EXPECT_EQ(trip.Send(p, 1920), PictureEncoder::Outcome::Same) << row.name;
  }
}

TEST(RegionEncoder, ANewSizeStartsOverWithAWholePicture) {
  RoundTrip trip;
  PixelBuffer p = Paint(320, 200);
  ASSERT_EQ(trip.Send(p, 1920), PictureEncoder::Outcome::Encoded);
  ASSERT_EQ(trip.Send(p, 160), PictureEncoder::Outcome::Encoded);  // the profile's width fell
  EXPECT_TRUE(trip.encoder.lastWasFull());
  EXPECT_EQ(trip.display.picture()->width, 160);
  PixelBuffer q = Paint(256, 200);
  ASSERT_EQ(trip.Send(q, 160), PictureEncoder::Outcome::Encoded);  // the display changed mode
  EXPECT_TRUE(trip.encoder.lastWasFull());
  EXPECT_EQ(trip.display.picture()->width, 160);
  EXPECT_EQ(trip.display.picture()->height, 125);
}

// A display twice the encoded width: one changed pixel costs one encoded tile, not a picture.
TEST(RegionEncoder, ScalesOnlyTheChangedArea) {
  RoundTrip trip;
  PixelBuffer p = Paint(1280, 720);
  ASSERT_EQ(trip.Send(p, 640), PictureEncoder::Outcome::Encoded);
  const std::uint64_t afterFirst = trip.encoder.encodedPixels();
  EXPECT_EQ(afterFirst, 640u * 360u);
  Scribble(p, 401, 201, 2, 2, 250);
  ASSERT_EQ(trip.Send(p, 640), PictureEncoder::Outcome::Encoded);
  EXPECT_EQ(trip.encoder.rects(), (std::vector<RegionRect>{{192, 96, 16, 16}}));
  EXPECT_EQ(trip.encoder.encodedPixels() - afterFirst, 256u);
  // The composed picture equals a whole scaled encode of the new capture, up to JPEG noise.
  const auto whole = ScaleAndEncode(p.bytes.data(), 1280, 720, 640, 80);
  const auto decoded = DecodeFrameJpeg(whole.data(), whole.size());
  ASSERT_TRUE(decoded.has_value());
  EXPECT_GT(Psnr(trip.display.picture()->bytes, decoded->bytes), 38.0);
}

TEST(RegionEncoder, RefinesRestingTilesOnceAtHighQuality) {
  using O = PictureEncoder::Outcome;
  RoundTrip trip;
  PixelBuffer p = Paint(320, 200);
  trip.encoder.SetNow(1000);
  ASSERT_EQ(trip.Send(p, 1920, 60), O::Encoded);
  const double coarse = Psnr(trip.display.picture()->bytes, p.bytes);
  trip.encoder.SetNow(1999);
  EXPECT_EQ(trip.encoder.Refine(), O::Same) << "not at rest for a second yet";
  trip.encoder.SetNow(2000);
  ASSERT_EQ(trip.encoder.Refine(), O::Encoded);
  trip.Deliver(trip.encoder.output());
  EXPECT_EQ(trip.encoder.Refine(), O::Same) << "refined once only";
  const double fine = Psnr(trip.display.picture()->bytes, p.bytes);
  EXPECT_GT(fine, coarse + 5.0) << coarse << " -> " << fine;

  // A change after the refinement is sent at the stream's quality and rests again on its own.
  trip.encoder.SetNow(3000);
  Scribble(p, 40, 40, 4, 4, 200);
  ASSERT_EQ(trip.Send(p, 1920, 60), O::Encoded);
  EXPECT_EQ(trip.encoder.rects(), (std::vector<RegionRect>{{32, 32, 16, 16}}));
  trip.encoder.SetNow(3999);
  EXPECT_EQ(trip.encoder.Refine(), O::Same);
  trip.encoder.SetNow(4000);
  ASSERT_EQ(trip.encoder.Refine(), O::Encoded);
  EXPECT_EQ(trip.encoder.rects(), (std::vector<RegionRect>{{32, 32, 16, 16}}));
  trip.Deliver(trip.encoder.output());
  EXPECT_GT(Psnr(trip.display.picture()->bytes, p.bytes), fine - 0.5);
}

// A page of "text" scrolled by `dy` rows, new lines coming in at the edge.
PixelBuffer Page(int width, int height, int scrolled) {
  PixelBuffer p;
  p.width = width;
  p.height = height;
  p.bytes.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0xF0);
  for (int y = 0; y < height; ++y) {
    const int line = (y + scrolled) / 12;
    if ((y + scrolled) % 12 >= 8) continue;
    for (int x = 8; x < width - 40; ++x) {
      // Glyph-like marks that differ from line to line.
      const auto mix = (static_cast<std::uint32_t>(x) * 73856093u ^ static_cast<std::uint32_t>(y + scrolled) * 19349663u ^
                        static_cast<std::uint32_t>(line) * 83492791u) * 2654435761u;
      if ((mix >> 28) % 4 == 0) {
        std::uint8_t* px = p.bytes.data() + At(x, y, width);
        px[0] = px[1] = px[2] = 30;
      }
    }
  }
  // A scroll bar whose thumb moves with the page.
  for (int y = scrolled / 4 % height; y < std::min(height, scrolled / 4 % height + 40); ++y) {
    for (int x = width - 16; x < width; ++x) p.bytes[At(x, y, width) + 1] = 90;
  }
  return p;
}

TEST(RegionEncoder, AScrollIsSentAsAMoveAndTheLinesThatCameIn) {
  struct Row {
    const char* name;
    int from, to;  // scroll positions
    bool copy;
    int height = 240;  // from 256 rows on, a quick look at a sample of rows comes first
  };
  for (const Row& row : {Row{"down three lines", 0, 36, true}, Row{"up two lines", 60, 36, true},
                         Row{"down by 5 rows, off the tile grid", 0, 5, true},
                         Row{"a different page", 0, 5000, false},
                         Row{"tall: down three lines", 0, 36, true, 720},
                         Row{"tall: up by 100 rows", 300, 200, true, 720},
                         Row{"tall: down by 5 rows", 0, 5, true, 720},
                         Row{"tall: a different page", 0, 5000, false, 720}}) {
    RoundTrip trip;
    const int height = row.height;
    ASSERT_EQ(trip.Send(Page(320, height, row.from), 1920), PictureEncoder::Outcome::Encoded);
    const PixelBuffer next = Page(320, height, row.to);
    ASSERT_EQ(trip.Send(next, 1920), PictureEncoder::Outcome::Encoded) << row.name;
    ASSERT_EQ(trip.encoder.lastCopy().has_value(), row.copy) << row.name;
    if (row.copy) {
      const RegionCopy& c = *trip.encoder.lastCopy();
      EXPECT_EQ(c.toY - c.source.y, row.from - row.to) << row.name;
      EXPECT_FALSE(trip.encoder.lastWasFull()) << row.name;
      std::int64_t area = 0;
      for (const RegionRect& r : trip.encoder.rects()) area += std::int64_t{r.width} * r.height;
      EXPECT_LT(area, 320 * height / 3) << row.name << ": the move explains most of the picture";
    }
    const auto whole = EncodeJpeg(PixelView{next.bytes.data(), 320, height}, 80);
    const auto decoded = DecodeFrameJpeg(whole.data(), whole.size());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_GT(Psnr(trip.display.picture()->bytes, next.bytes), Psnr(decoded->bytes, next.bytes) - 1.0)
        << row.name;
    EXPECT_EQ(trip.Send(next, 1920), PictureEncoder::Outcome::Same) << row.name;
  }
}

// Moved content is in the viewer at the quality it had before the move: content refined before a
// scroll is not refined again, only the lines that came in are; content moved before its
// refinement is refined once it rests, like the rest of the picture. Either way every tile ends
// up refined once.
TEST(RegionEncoder, AScrollKeepsWhatWasRefinedAndRefinesTheRest) {
  using O = PictureEncoder::Outcome;
  struct Row {
    const char* name;
    int from, to;
    int width = 320;
    bool refinedBefore = true;
  };
  for (const Row& row : {Row{"refined, down three lines", 0, 36}, Row{"refined, up two lines", 60, 36},
                         Row{"refined, down by 5 rows, off the tile grid", 0, 5},
                         Row{"refined, a width off the tile grid", 0, 36, 330},
                         Row{"moved before its refinement", 0, 36, 320, false},
                         Row{"moved off the grid before its refinement", 0, 5, 320, false}}) {
    constexpr int kHeight = 240;
    RoundTrip trip;
    trip.encoder.SetNow(1000);
    ASSERT_EQ(trip.Send(Page(row.width, kHeight, row.from), 1920, 60), O::Encoded) << row.name;
    if (row.refinedBefore) {
      trip.encoder.SetNow(2000);
      ASSERT_EQ(trip.encoder.Refine(), O::Encoded) << row.name;
      trip.Deliver(trip.encoder.output());
    }
    // The viewer's picture before the move: fine when refined, coarse otherwise.
    const double before = Psnr(trip.display.picture()->bytes, Page(row.width, kHeight, row.from).bytes);
    trip.encoder.SetNow(3000);
    const PixelBuffer next = Page(row.width, kHeight, row.to);
    ASSERT_EQ(trip.Send(next, 1920, 60), O::Encoded) << row.name;
    ASSERT_TRUE(trip.encoder.lastCopy().has_value()) << row.name;
    trip.encoder.SetNow(4000);
    ASSERT_EQ(trip.encoder.Refine(), O::Encoded) << row.name << ": the lines that came in rest";
    trip.Deliver(trip.encoder.output());
    std::int64_t refined = 0;
    for (const RegionRect& r : trip.encoder.rects()) refined += std::int64_t{r.width} * r.height;
    if (row.refinedBefore) {
      EXPECT_LT(refined, row.width * kHeight / 3) << row.name << ": the moved lines were refined already";
    } else {
      EXPECT_EQ(refined, row.width * kHeight) << row.name << ": nothing was refined before";
    }
    EXPECT_EQ(trip.encoder.Refine(), O::Same) << row.name << ": refined once only";
    // Every tile of the viewer's picture is fine now, the moved ones included.
    const double after = Psnr(trip.display.picture()->bytes, next.bytes);
    if (row.refinedBefore) {
      EXPECT_GT(after, before - 1.0) << row.name << ": " << before << " -> " << after;
    } else {
      EXPECT_GT(after, before + 5.0) << row.name << ": " << before << " -> " << after;
    }
  }
}

// A scaled picture is moved when the scroll is whole rows of the capture and of the picture, on
// a scale that puts every tile edge on a capture pixel's edge; the viewer's picture is then as
// good as a whole picture of the scaled capture.
TEST(RegionEncoder, AScrollOfAScaledPictureIsMovedInWholeRowsOfBoth) {
  struct Row {
    const char* name;
    int width, height, maxWidth;
    int from, to;
    int moved;  // picture rows, 0: no move
  };
  for (const Row& row : {Row{"halved, down 24 rows", 640, 480, 320, 0, 24, -12},
                         Row{"halved, up 36 rows", 640, 480, 320, 96, 60, 18},
                         Row{"two thirds (Data saver), down 36 rows", 480, 360, 320, 0, 36, -24},
                         Row{"two thirds, 121 rows: no whole picture row", 480, 360, 320, 0, 121, 0},
                         Row{"halved, 5 rows: no whole picture row", 640, 480, 320, 0, 5, 0},
                         Row{"tiles off the capture's pixels", 330, 240, 320, 0, 36, 0}}) {
    RoundTrip trip;
    ASSERT_EQ(trip.Send(Page(row.width, row.height, row.from), row.maxWidth), PictureEncoder::Outcome::Encoded);
    const PixelBuffer next = Page(row.width, row.height, row.to);
    ASSERT_EQ(trip.Send(next, row.maxWidth), PictureEncoder::Outcome::Encoded) << row.name;
    ASSERT_EQ(trip.encoder.lastCopy().has_value(), row.moved != 0) << row.name;
    if (row.moved != 0) {
      const RegionCopy& c = *trip.encoder.lastCopy();
      EXPECT_EQ(c.toY - c.source.y, row.moved) << row.name;
      EXPECT_FALSE(trip.encoder.lastWasFull()) << row.name;
    }
    // Against a whole picture of the scaled capture.
    const TargetSize size = ScaledSize(row.width, row.height, row.maxWidth);
    std::vector<std::uint8_t> scaled(static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) * 4);
    ResamplePixels(PixelView{next.bytes.data(), row.width, row.height}, scaled.data(), size.width, size.height);
    const auto whole = EncodeJpeg(PixelView{scaled.data(), size.width, size.height}, 80);
    const auto decoded = DecodeFrameJpeg(whole.data(), whole.size());
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(trip.display.picture()->bytes.size(), scaled.size()) << row.name;
    EXPECT_GT(Psnr(trip.display.picture()->bytes, scaled), Psnr(decoded->bytes, scaled) - 1.0) << row.name;
    EXPECT_EQ(trip.Send(next, row.maxWidth), PictureEncoder::Outcome::Same) << row.name;
  }
}

// A whole picture kept after its message went out: the pixels are copied at Keep (the caller's
// buffer may change afterwards); without Keep, nothing is trusted and a whole picture follows.
TEST(RegionEncoder, AWholePictureKeptLaterIsComparedAgainstWhatWasKept) {
  struct Row {
    const char* name;
    bool keep;
    bool changeAfterKeep;  // the caller's buffer changes in a corner once kept
    PictureEncoder::Outcome next;
    bool nextFull;
  };
  const Row rows[] = {
      {"kept, the same screen again", true, false, PictureEncoder::Outcome::Same, false},
      {"kept, then a corner changes", true, true, PictureEncoder::Outcome::Encoded, false},
      {"never kept", false, false, PictureEncoder::Outcome::Encoded, true},
  };
  for (const Row& row : rows) {
    RoundTrip trip;
    trip.encoder.DeferKeeping(true);
    PixelBuffer screen = PaintSyntheticPicture(SyntheticScene::Static, 320, 180, 0);
    ASSERT_EQ(trip.Send(screen, 1920), PictureEncoder::Outcome::Encoded) << row.name;
    ASSERT_TRUE(trip.encoder.lastWasFull()) << row.name;
    EXPECT_EQ(trip.encoder.Refine(0), PictureEncoder::Outcome::Same) << row.name << ": nothing kept to refine";
    if (row.keep) trip.encoder.Keep();
    if (row.changeAfterKeep) Scribble(screen, 0, 0, 8, 8, 200);
    EXPECT_EQ(trip.Send(screen, 1920), row.next) << row.name;
    if (row.next == PictureEncoder::Outcome::Encoded) {
      EXPECT_EQ(trip.encoder.lastWasFull(), row.nextFull) << row.name;
      const auto whole = EncodeJpeg(PixelView{screen.bytes.data(), 320, 180}, 80);
      const auto decoded = DecodeFrameJpeg(whole.data(), whole.size());
      ASSERT_TRUE(decoded.has_value());
      EXPECT_GT(Psnr(trip.display.picture()->bytes, screen.bytes), Psnr(decoded->bytes, screen.bytes) - 0.5)
          << row.name << ": the viewer's picture is the screen";
    }
  }
}

// A hint of where the capture may have changed: one that covers every change gives the very
// message an unhinted encoder makes (at tile edges, the last row and column, odd and scaled
// sizes, where a scaled tile's source band overlaps its neighbour's); a change outside it is not
// looked at, and the next unhinted Encode finds it; the hint never outlives one Encode.
TEST(RegionEncoder, AHintLimitsTheComparisonToTheTilesItTouches) {
  using O = PictureEncoder::Outcome;
  struct Change {
    int x, y, w, h;
  };
  struct Row {
    const char* name;
    int width, height, maxWidth;
    std::vector<Change> changes;
    std::vector<RegionRect> hint;
    bool covers;  // else: the hint misses the changes, and the hinted Encode expects `missed`
    O missed = O::Same;
  };
  const std::vector<Row> rows = {
      {"one pixel, hinted exactly", 320, 200, 1920, {{100, 50, 1, 1}}, {{100, 50, 1, 1}}, true},
      {"last pixel of a tile", 320, 200, 1920, {{15, 15, 1, 1}}, {{15, 15, 1, 1}}, true},
      {"first pixel of a tile", 320, 200, 1920, {{16, 16, 1, 1}}, {{16, 16, 1, 1}}, true},
      {"across four tiles", 320, 200, 1920, {{14, 14, 4, 4}}, {{10, 10, 20, 20}}, true},
      {"last row and column of an odd size", 333, 211, 1920, {{332, 210, 1, 1}}, {{332, 210, 1, 1}}, true},
      {"two changes, two rectangles", 333, 211, 1920, {{0, 0, 2, 2}, {300, 180, 5, 5}},
       {{300, 180, 5, 5}, {0, 0, 1, 1}, {1, 1, 1, 1}}, true},
      {"larger than the capture", 320, 200, 1920, {{100, 50, 1, 1}}, {{-50, -50, 1000, 1000}}, true},
      {"scaled by 2", 1280, 720, 640, {{401, 201, 2, 2}}, {{401, 201, 2, 2}}, true},
      {"scaled, a pixel in two tiles' bands", 1100, 700, 640, {{27, 10, 1, 1}}, {{27, 10, 1, 1}}, true},
      {"scaled odd size, last pixel", 1101, 701, 640, {{1100, 700, 1, 1}}, {{1100, 700, 1, 1}}, true},
      {"a negative size drops the hint", 320, 200, 1920, {{100, 50, 1, 1}}, {{0, 0, -1, 5}}, true},
      {"no rectangle: nothing changed", 320, 200, 1920, {{100, 50, 1, 1}}, {}, false, O::Same},
      {"a tile away", 320, 200, 1920, {{100, 50, 1, 1}}, {{0, 0, 96, 48}}, false, O::Same},
      {"a rectangle outside the capture", 320, 200, 1920, {{319, 199, 1, 1}}, {{320, 0, 5, 500}}, false,
       O::Same},
      {"partly covered", 320, 200, 1920, {{10, 3, 30, 9}}, {{10, 3, 5, 5}}, false, O::Encoded},
  };
  for (const Row& row : rows) {
    PixelBuffer p = Paint(row.width, row.height);
    const PixelView view{p.bytes.data(), p.width, p.height};
    RegionEncoder plain;
    RegionEncoder hinted;
    ASSERT_EQ(plain.Encode(view, row.maxWidth, 70), O::Encoded) << row.name;
    hinted.HintChanged(std::vector<RegionRect>{{0, 0, 1, 1}});  // a first picture is whole anyway
    ASSERT_EQ(hinted.Encode(view, row.maxWidth, 70), O::Encoded) << row.name;
    ASSERT_EQ(plain.output(), hinted.output()) << row.name;
    for (const Change& c : row.changes) Scribble(p, c.x, c.y, c.w, c.h, 3);
    const O expected = plain.Encode(view, row.maxWidth, 70);
    ASSERT_EQ(expected, O::Encoded) << row.name;
    ASSERT_FALSE(plain.lastWasFull()) << row.name;
    hinted.HintChanged(row.hint);
    if (row.covers) {
      EXPECT_EQ(hinted.Encode(view, row.maxWidth, 70), expected) << row.name;
      EXPECT_EQ(hinted.output(), plain.output()) << row.name << ": the same message bytes";
      continue;
    }
    const O outcome = hinted.Encode(view, row.maxWidth, 70);
    EXPECT_EQ(outcome, row.missed) << row.name;
    if (outcome == O::Encoded) {
      EXPECT_NE(hinted.rects(), plain.rects()) << row.name << ": only the hinted part goes out";
    }
    // The hint was that Encode's only: the next one compares everything and sends the rest.
    ASSERT_EQ(hinted.Encode(view, row.maxWidth, 70), O::Encoded) << row.name;
    EXPECT_FALSE(hinted.lastWasFull()) << row.name;
    EXPECT_EQ(hinted.Encode(view, row.maxWidth, 70), O::Same) << row.name;
  }
  // A hint is no reason to skip a whole picture that is due: asked for, or at a new size.
  PixelBuffer p = Paint(320, 200);
  RegionEncoder encoder;
  ASSERT_EQ(encoder.Encode(PixelView{p.bytes.data(), 320, 200}, 1920, 70), O::Encoded);
  encoder.RequestFull();
  encoder.HintChanged({});
  ASSERT_EQ(encoder.Encode(PixelView{p.bytes.data(), 320, 200}, 1920, 70), O::Encoded);
  EXPECT_TRUE(encoder.lastWasFull());
  encoder.HintChanged({});
  ASSERT_EQ(encoder.Encode(PixelView{p.bytes.data(), 320, 200}, 160, 70), O::Encoded);
  EXPECT_TRUE(encoder.lastWasFull());
  // A failed Encode drops the hint too.
  encoder.HintChanged({});
  EXPECT_EQ(encoder.Encode(PixelView{}, 160, 70), O::Failed);
  ASSERT_EQ(encoder.Encode(PixelView{p.bytes.data(), 320, 200}, 160, 70), O::Encoded);
  EXPECT_TRUE(encoder.lastWasFull());
  Scribble(p, 0, 0, 4, 4, 3);
  ASSERT_EQ(encoder.Encode(PixelView{p.bytes.data(), 320, 200}, 160, 70), O::Encoded);
  EXPECT_FALSE(encoder.lastWasFull());
}

TEST(RegionEncoder, UnchangedIsAnEmptyMessageOfTheCurrentSize) {
  RegionEncoder encoder;
  EXPECT_TRUE(encoder.Unchanged().empty());
  PixelBuffer p = Paint(100, 60);
  ASSERT_EQ(encoder.Encode(PixelView{p.bytes.data(), 100, 60}, 1920, 70), PictureEncoder::Outcome::Encoded);
  std::vector<std::uint8_t> message;
  BuildFrameMessage(FrameHeader{1, 2}, encoder.Unchanged(), message);
  const RegionFrame frame = ParseRegionFrame(message);
  EXPECT_FALSE(frame.full);
  EXPECT_EQ(frame.width, 100);
  EXPECT_EQ(frame.height, 60);
  EXPECT_TRUE(frame.parts.empty());
}

}  // namespace
}  // namespace ov
