#include "screen/region_encoder.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "screen/jpeg_codec.h"
#include "screen/picture.h"

namespace ov {
namespace {

// Most merge rounds before the rest is covered by one bounding box.
constexpr int kMergeRounds = 64;
// Unset tiles a merge may add for free: a JPEG's tables cost about as much as a few text tiles.
constexpr int kMergeSlackTiles = 4;
constexpr int kRefineSlackTiles = 16;
// A scroll is looked for from this many changed tiles, in an area at least this many rows high,
// and taken when it leaves at most half of the changed tiles to encode.
constexpr std::size_t kScrollMinTiles = 8;
constexpr int kScrollMinRows = 64;
constexpr int kScrollSampleStep = 8;
constexpr int kScrollQuickLookRows = 256;

// A row's hash for finding moved rows: 32 bytes out of every kHashStride (8 of every 32
// pixels), in four independent lanes of 8-byte words so that the multiplications overlap. Rows
// that differ only between the samples hash alike; a move found with them is checked on every
// pixel before it is used (ChangedAfter).
constexpr std::size_t kHashStride = 128;
std::uint64_t HashRow(const std::uint8_t* row, std::size_t bytes) {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
  std::uint64_t lane[4] = {0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL, 0xA4093822299F31D0ULL,
                           0x082EFA98EC4E6C89ULL};
  std::size_t i = 0;
  for (; i + 32 <= bytes; i += kHashStride) {
    for (int k = 0; k < 4; ++k) {
      std::uint64_t w = 0;
      std::memcpy(&w, row + i + static_cast<std::size_t>(k) * 8, 8);
      lane[k] = (lane[k] ^ w) * kMul;
    }
  }
  std::uint64_t h = lane[0] ^ (lane[1] >> 17) ^ (lane[2] << 23) ^ ((lane[3] >> 41) | (lane[3] << 23));
  h = (h ^ (h >> 29)) * kMul;
  for (; i < bytes; ++i) h = (h ^ row[i]) * 0x100000001B3ULL;
  return h ^ (h >> 32);
}

RegionRect Union(const RegionRect& a, const RegionRect& b) {
  const int x0 = std::min(a.x, b.x);
  const int y0 = std::min(a.y, b.y);
  const int x1 = std::max(a.x + a.width, b.x + b.width);
  const int y1 = std::max(a.y + a.height, b.y + b.height);
  return RegionRect{x0, y0, x1 - x0, y1 - y0};
}

void Fill(std::vector<std::uint8_t>& mask, int cols, const RegionRect& r) {
  for (int y = r.y; y < r.y + r.height; ++y) {
    std::fill_n(mask.begin() + static_cast<std::ptrdiff_t>(y) * cols + r.x, r.width, std::uint8_t{1});
  }
}

// Row runs of set tiles, each joined to the rectangle above it when that one has the same columns.
std::vector<RegionRect> RectsFromMask(const std::vector<std::uint8_t>& mask, int cols, int rows) {
  std::vector<RegionRect> rects;
  std::vector<std::size_t> open;  // rectangles that reach the previous row
  std::vector<std::size_t> next;
  for (int y = 0; y < rows; ++y) {
    next.clear();
    const std::uint8_t* row = mask.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(cols);
    for (int x = 0; x < cols;) {
      if (row[x] == 0) {
        ++x;
        continue;
      }
      int end = x;
      while (end < cols && row[end] != 0) ++end;
      const auto above = std::find_if(open.begin(), open.end(), [&](std::size_t i) {
        return rects[i].x == x && rects[i].width == end - x;
      });
      if (above != open.end()) {
        ++rects[*above].height;
        next.push_back(*above);
      } else {
        rects.push_back(RegionRect{x, y, end - x, 1});
        next.push_back(rects.size() - 1);
      }
      x = end;
    }
    open.swap(next);
  }
  return rects;
}

// The bounding box (in tiles) of the set tiles of a cols x rows mask; empty when none is set.
RegionRect SetTileBounds(const std::vector<std::uint8_t>& mask, int cols, int rows) {
  int tx0 = cols, ty0 = rows, tx1 = 0, ty1 = 0;
  for (int ty = 0; ty < rows; ++ty) {
    const std::uint8_t* row = mask.data() + static_cast<std::size_t>(ty) * static_cast<std::size_t>(cols);
    for (int tx = 0; tx < cols; ++tx) {
      if (row[tx] == 0) continue;
      tx0 = std::min(tx0, tx);
      ty0 = std::min(ty0, ty);
      tx1 = std::max(tx1, tx + 1);
      ty1 = std::max(ty1, ty + 1);
    }
  }
  if (tx1 <= tx0) return RegionRect{0, 0, 0, 0};
  return RegionRect{tx0, ty0, tx1 - tx0, ty1 - ty0};
}

}  // namespace

std::vector<RegionRect> MergeTiles(std::vector<std::uint8_t>& mask, int cols, int rows,
                                   std::size_t budget, int slackTiles,
                                   std::span<const std::uint8_t> flat) {
  const bool weighed = flat.size() == mask.size();
  std::vector<RegionRect> rects = RectsFromMask(mask, cols, rows);
  // The weight of unset tiles above and left of each corner (kFlatTilesPerTile for a tile, 1 for
  // a flat one), so that the waste of any box is counted at once.
  const auto stride = static_cast<std::size_t>(cols) + 1;
  std::vector<std::int32_t> sums(stride * (static_cast<std::size_t>(rows) + 1), 0);
  const auto at = [&](int x, int y) { return static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x); };
  for (int round = 0; round < kMergeRounds && rects.size() > 1; ++round) {
    for (int y = 0; y < rows; ++y) {
      for (int x = 0; x < cols; ++x) {
        const std::size_t t = static_cast<std::size_t>(y) * static_cast<std::size_t>(cols) + static_cast<std::size_t>(x);
        const int weight = mask[t] != 0 ? 0 : weighed && flat[t] != 0 ? 1 : kFlatTilesPerTile;
        sums[at(x + 1, y + 1)] = sums[at(x, y + 1)] + sums[at(x + 1, y)] - sums[at(x, y)] + weight;
      }
    }
    // The waste of a merge is the unset tiles of the pair's box. A box may take in parts of
    // other rectangles, whose tiles are set already and cost nothing; a box whose tiles are all
    // set changes nothing when filled (the rows split it as before), so it is never chosen.
    std::int64_t bestWaste = std::numeric_limits<std::int64_t>::max();
    RegionRect best;
    for (std::size_t i = 0; i < rects.size(); ++i) {
      for (std::size_t j = i + 1; j < rects.size(); ++j) {
        const RegionRect u = Union(rects[i], rects[j]);
        const std::int64_t waste = sums[at(u.x + u.width, u.y + u.height)] - sums[at(u.x, u.y + u.height)] -
                                   sums[at(u.x + u.width, u.y)] + sums[at(u.x, u.y)];
        if (waste > 0 && waste < bestWaste) {
          bestWaste = waste;
          best = u;
        }
      }
    }
    if (bestWaste == std::numeric_limits<std::int64_t>::max()) break;
    if (bestWaste > std::int64_t{slackTiles} * kFlatTilesPerTile && rects.size() <= budget) return rects;
    Fill(mask, cols, best);
    rects = RectsFromMask(mask, cols, rows);
  }
  if (rects.size() > budget) {
    RegionRect all = rects.front();
    for (const RegionRect& r : rects) all = Union(all, r);
    Fill(mask, cols, all);
    rects.assign(1, all);
  }
  return rects;
}

RegionEncoder::Band RegionEncoder::SourceCols(int tileX0, int tileX1) const noexcept {
  const std::int64_t x0 = std::int64_t{tileX0} * kRegionTile;
  const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{tileX1} * kRegionTile, width_);
  const std::int64_t first = x0 * sourceWidth_ / width_;
  const std::int64_t end = (x1 * sourceWidth_ + width_ - 1) / width_;
  return Band{static_cast<int>(first), static_cast<int>(std::min<std::int64_t>(end, sourceWidth_))};
}

RegionEncoder::Band RegionEncoder::SourceRows(int tileY0, int tileY1) const noexcept {
  const std::int64_t y0 = std::int64_t{tileY0} * kRegionTile;
  const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{tileY1} * kRegionTile, height_);
  const std::int64_t first = y0 * sourceHeight_ / height_;
  const std::int64_t end = (y1 * sourceHeight_ + height_ - 1) / height_;
  return Band{static_cast<int>(first), static_cast<int>(std::min<std::int64_t>(end, sourceHeight_))};
}

RegionRect RegionEncoder::OutputRect(const RegionRect& tiles) const noexcept {
  const int x = tiles.x * kRegionTile;
  const int y = tiles.y * kRegionTile;
  const int x1 = std::min((tiles.x + tiles.width) * kRegionTile, width_);
  const int y1 = std::min((tiles.y + tiles.height) * kRegionTile, height_);
  return RegionRect{x, y, x1 - x, y1 - y};
}

bool RegionEncoder::Reset(PixelView pixels, int maxWidth) {
  const TargetSize target = ScaledSize(pixels.width, pixels.height, maxWidth);
  if (target.width < 1 || target.height < 1) return false;
  const bool same = valid_ && pixels.width == sourceWidth_ && pixels.height == sourceHeight_ &&
                    target.width == width_ && target.height == height_;
  if (same) return true;
  valid_ = false;
  sourceWidth_ = pixels.width;
  sourceHeight_ = pixels.height;
  width_ = target.width;
  height_ = target.height;
  maxWidth_ = maxWidth;
  cols_ = (width_ + kRegionTile - 1) / kRegionTile;
  rows_ = (height_ + kRegionTile - 1) / kRegionTile;
  const auto tiles = static_cast<std::size_t>(cols_) * static_cast<std::size_t>(rows_);
  changed_.assign(tiles, 0);
  changedAt_.assign(tiles, 0);
  refined_.assign(tiles, 0);
  return true;
}

void RegionEncoder::HintChanged(std::span<const RegionRect> capturePixelRects) {
  hint_.emplace(capturePixelRects.begin(), capturePixelRects.end());
}

std::vector<std::uint8_t> RegionEncoder::HintedTiles(const std::vector<RegionRect>& hint) const {
  std::vector<std::uint8_t> hinted(changed_.size(), 0);
  for (const RegionRect& r : hint) {
    // Clipped to the capture, in 64 bits: the rectangle comes from outside.
    const std::int64_t x0 = std::max<std::int64_t>(r.x, 0);
    const std::int64_t y0 = std::max<std::int64_t>(r.y, 0);
    const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{r.x} + r.width, sourceWidth_);
    const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{r.y} + r.height, sourceHeight_);
    if (x1 <= x0 || y1 <= y0) continue;
    // A tile is touched when its source band (which the scaler reads, rounded outward) meets
    // the rectangle; the bands grow with the tile index, so the touched ones are one run.
    int tx0 = 0;
    while (tx0 < cols_ && SourceCols(tx0, tx0 + 1).end <= x0) ++tx0;
    int tx1 = tx0;
    while (tx1 < cols_ && SourceCols(tx1, tx1 + 1).first < x1) ++tx1;
    int ty0 = 0;
    while (ty0 < rows_ && SourceRows(ty0, ty0 + 1).end <= y0) ++ty0;
    int ty1 = ty0;
    while (ty1 < rows_ && SourceRows(ty1, ty1 + 1).first < y1) ++ty1;
    for (int ty = ty0; ty < ty1; ++ty) {
      std::fill_n(hinted.begin() + static_cast<std::ptrdiff_t>(ty) * cols_ + tx0, tx1 - tx0, std::uint8_t{1});
    }
  }
  return hinted;
}

void RegionEncoder::MarkChanged(PixelView pixels, const std::vector<std::uint8_t>* candidates) {
  std::fill(changed_.begin(), changed_.end(), std::uint8_t{0});
  const std::size_t stride = static_cast<std::size_t>(sourceWidth_) * 4;
  std::vector<Band> cols(static_cast<std::size_t>(cols_));
  for (int tx = 0; tx < cols_; ++tx) cols[static_cast<std::size_t>(tx)] = SourceCols(tx, tx + 1);
  // Per tile of a row, whether it is still to be compared: not yet known to have changed, and
  // a candidate.
  std::vector<std::uint8_t> open(static_cast<std::size_t>(cols_));
  for (int ty = 0; ty < rows_; ++ty) {
    const std::size_t rowAt = static_cast<std::size_t>(ty) * static_cast<std::size_t>(cols_);
    if (candidates != nullptr) {
      std::copy_n(candidates->begin() + static_cast<std::ptrdiff_t>(rowAt), cols_, open.begin());
      if (std::find(open.begin(), open.end(), std::uint8_t{1}) == open.end()) continue;
    } else {
      std::fill(open.begin(), open.end(), std::uint8_t{1});
    }
    const Band rows = SourceRows(ty, ty + 1);
    std::uint8_t* flags = changed_.data() + rowAt;
    // Each line is compared in runs of the tiles not yet known to have changed: the whole line
    // while none is (the common case, a line unchanged, takes one comparison), only the rest
    // once some are.
    for (int y = rows.first; y < rows.end; ++y) {
      const std::uint8_t* now = pixels.data + static_cast<std::size_t>(y) * stride;
      const std::uint8_t* before = sent_.data() + static_cast<std::size_t>(y) * stride;
      bool any = false;
      for (int tx = 0; tx < cols_;) {
        if (open[static_cast<std::size_t>(tx)] == 0) {
          ++tx;
          continue;
        }
        int end = tx;
        while (end < cols_ && open[static_cast<std::size_t>(end)] != 0) ++end;
        any = true;
        const Band& first = cols[static_cast<std::size_t>(tx)];
        const Band& last = cols[static_cast<std::size_t>(end - 1)];
        const std::size_t at = static_cast<std::size_t>(first.first) * 4;
        const std::size_t bytes = static_cast<std::size_t>(last.end - first.first) * 4;
        if (std::memcmp(now + at, before + at, bytes) != 0) {
          for (int t = tx; t < end; ++t) {
            const Band& c = cols[static_cast<std::size_t>(t)];
            const std::size_t tileAt = static_cast<std::size_t>(c.first) * 4;
            const std::size_t tileBytes = static_cast<std::size_t>(c.end - c.first) * 4;
            if (std::memcmp(now + tileAt, before + tileAt, tileBytes) != 0) {
              flags[t] = 1;
              open[static_cast<std::size_t>(t)] = 0;
            }
          }
        }
        tx = end;
      }
      if (!any) break;  // every tile still to compare in this row has changed
    }
  }
}

std::vector<std::uint8_t> RegionEncoder::EncodeRect(const std::uint8_t* source,
                                                    const RegionRect& tiles, int quality,
                                                    bool fullChroma) {
  const RegionRect out = OutputRect(tiles);
  const Band cols = SourceCols(tiles.x, tiles.x + tiles.width);
  const Band rows = SourceRows(tiles.y, tiles.y + tiles.height);
  const int bw = cols.end - cols.first;
  const int bh = rows.end - rows.first;
  // The rectangle is scaled or encoded where it lies in the picture, rows a picture's width
  // apart: a copy of it first would cost as much as the encoder's own pass for a large one (a
  // refinement of most of the screen) and would take memory that is touched for the first time.
  const std::size_t stride = static_cast<std::size_t>(sourceWidth_) * 4;
  const PixelView area{source + static_cast<std::size_t>(rows.first) * stride +
                           static_cast<std::size_t>(cols.first) * 4,
                       bw, bh};
  encodedPixels_ += static_cast<std::uint64_t>(out.width) * static_cast<std::uint64_t>(out.height);
  if (bw == out.width && bh == out.height) return EncodeJpeg(area, stride, quality, fullChroma);
  scaled_.resize(static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height) * 4);
  ResamplePixels(area, stride, scaled_.data(), out.width, out.height);
  return EncodeJpeg(PixelView{scaled_.data(), out.width, out.height}, quality, fullChroma);
}

std::optional<RegionCopy> RegionEncoder::FindScroll(PixelView pixels) const {
  // A move of the picture's rows is a move of whole rows of the capture only when every tile
  // edge falls on a capture pixel's edge (true unscaled, at 2/3 and at 1/2), and then only for
  // moves of whole picture rows.
  if ((std::int64_t{kRegionTile} * sourceHeight_) % height_ != 0 ||
      (std::int64_t{kRegionTile} * sourceWidth_) % width_ != 0) {
    return std::nullopt;
  }
  const RegionRect bounds = SetTileBounds(changed_, cols_, rows_);
  if (bounds.width == 0) return std::nullopt;
  const int tx0 = bounds.x, ty0 = bounds.y, tx1 = bounds.x + bounds.width, ty1 = bounds.y + bounds.height;
  const RegionRect out = OutputRect(RegionRect{tx0, ty0, tx1 - tx0, ty1 - ty0});
  if (out.height < kScrollMinRows) return std::nullopt;
  // The same area in capture pixels, where the rows are matched.
  const Band sourceCols = SourceCols(tx0, tx1);
  const Band sourceRows = SourceRows(ty0, ty1);
  const RegionRect area{sourceCols.first, sourceRows.first, sourceCols.end - sourceCols.first,
                        sourceRows.end - sourceRows.first};
  // Rows are compared on the middle three quarters of the area: a scroll bar at its edge moves
  // differently from the content.
  const int bandX = area.x + area.width / 8;
  const auto bandBytes = static_cast<std::size_t>(std::max(1, area.width * 3 / 4)) * 4;
  const std::size_t stride = static_cast<std::size_t>(sourceWidth_) * 4;
  const auto rowHash = [&](const std::uint8_t* picture, int y) {
    return HashRow(picture + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(bandX) * 4, bandBytes);
  };
  const int areaEnd = area.y + area.height;
  if (area.height >= kScrollQuickLookRows) {
    // A quick look first, at a small share of both pictures: one block of kScrollSampleStep rows
    // in every kScrollSampleStep of them in the last picture sent, against every
    // kScrollSampleStep-th row of this one. Content that moved shows about one in
    // kScrollSampleStep^2 of its rows in both samples, at another row; content that changed in
    // place (a video) shows none, and the search ends without reading all of the area. (A
    // lower area has too few rows in the samples to tell.)
    std::unordered_map<std::uint64_t, int> sample;
    for (int y = area.y; y < areaEnd; ++y) {
      if (((y - area.y) / kScrollSampleStep) % kScrollSampleStep == 0) sample.emplace(rowHash(sent_.data(), y), y);
    }
    bool moved = false;
    for (int y = area.y; y < areaEnd && !moved; y += kScrollSampleStep) {
      const auto it = sample.find(rowHash(pixels.data, y));
      moved = it != sample.end() && it->second != y;
    }
    if (!moved) return std::nullopt;
  }
  std::unordered_map<std::uint64_t, int> before;  // hash -> row, or -1 when not unique
  for (int y = area.y; y < areaEnd; ++y) {
    const auto [it, inserted] = before.emplace(rowHash(sent_.data(), y), y);
    if (!inserted) it->second = -1;
  }
  std::unordered_map<int, int> votes;
  int dy = 0;
  int best = 0;
  const auto vote = [&](int y) {
    const auto it = before.find(rowHash(pixels.data, y));
    if (it == before.end() || it->second < 0 || it->second == y) return;
    const int shift = y - it->second;
    const int count = ++votes[shift];
    if (count > best || (count == best && std::abs(shift) < std::abs(dy))) {
      dy = shift;
      best = count;
    }
  };
  const int needed = std::max(8, area.height / 8);
  // Every kScrollSampleStep-th row first: a move that explains enough rows shows in about that
  // share of them, and content that changed in place (a video) ends the search here.
  for (int y = area.y; y < areaEnd; y += kScrollSampleStep) vote(y);
  if (best * kScrollSampleStep * 2 < needed) return std::nullopt;
  for (int y = area.y; y < areaEnd; ++y) {
    if ((y - area.y) % kScrollSampleStep != 0) vote(y);
  }
  if (dy == 0 || best < needed || std::abs(dy) >= area.height) return std::nullopt;
  // In picture rows; a move that is no whole number of them is left to the rectangles.
  if ((std::int64_t{dy} * height_) % sourceHeight_ != 0) return std::nullopt;
  const auto shift = static_cast<int>(std::int64_t{dy} * height_ / sourceHeight_);
  if (shift == 0 || std::abs(shift) >= out.height) return std::nullopt;
  const int height = out.height - std::abs(shift);
  const int fromY = shift > 0 ? out.y : out.y - shift;
  const int toY = shift > 0 ? out.y + shift : out.y;
  return RegionCopy{RegionRect{out.x, fromY, out.width, height}, out.x, toY};
}

RegionCopy RegionEncoder::SourceCopy(const RegionCopy& copy) const noexcept {
  const auto x = [&](int v) { return static_cast<int>(std::int64_t{v} * sourceWidth_ / width_); };
  const auto y = [&](int v) { return static_cast<int>(std::int64_t{v} * sourceHeight_ / height_); };
  return RegionCopy{RegionRect{x(copy.source.x), y(copy.source.y), x(copy.source.width), y(copy.source.height)},
                    x(copy.toX), y(copy.toY)};
}

std::vector<std::uint8_t> RegionEncoder::ChangedAfter(PixelView pixels, const RegionCopy& copy) const {
  std::vector<std::uint8_t> mask = changed_;
  const std::size_t stride = static_cast<std::size_t>(sourceWidth_) * 4;
  const RegionCopy source = SourceCopy(copy);
  const int dy = source.toY - source.source.y;
  const int destEnd = source.toY + source.source.height;
  for (int ty = 0; ty < rows_; ++ty) {
    for (int tx = 0; tx < cols_; ++tx) {
      std::uint8_t& flag = mask[static_cast<std::size_t>(ty) * static_cast<std::size_t>(cols_) + static_cast<std::size_t>(tx)];
      const int x0 = tx * kRegionTile;
      const int y0 = ty * kRegionTile;
      // Outside the destination the reference is as it was; inside, every tile is compared
      // again, also one that was unchanged (the move may bring other content to it).
      if (x0 < copy.toX || x0 >= copy.toX + copy.source.width || y0 + kRegionTile <= copy.toY ||
          y0 >= copy.toY + copy.source.height) {
        continue;
      }
      const Band cols = SourceCols(tx, tx + 1);
      const Band rows = SourceRows(ty, ty + 1);
      const std::size_t at = static_cast<std::size_t>(cols.first) * 4;
      const std::size_t bytes = static_cast<std::size_t>(cols.end - cols.first) * 4;
      bool same = true;
      for (int y = rows.first; same && y < rows.end; ++y) {
        const int from = y >= source.toY && y < destEnd ? y - dy : y;
        same = std::memcmp(pixels.data + static_cast<std::size_t>(y) * stride + at,
                           sent_.data() + static_cast<std::size_t>(from) * stride + at, bytes) == 0;
      }
      flag = same ? 0 : 1;
    }
  }
  return mask;
}

void RegionEncoder::ApplyToSent(const RegionCopy& copy) {
  const std::size_t stride = static_cast<std::size_t>(sourceWidth_) * 4;
  const RegionCopy source = SourceCopy(copy);
  const bool down = source.toY > source.source.y;
  for (int i = 0; i < source.source.height; ++i) {
    const int y = down ? source.source.height - 1 - i : i;
    std::memmove(sent_.data() + static_cast<std::size_t>(source.toY + y) * stride + static_cast<std::size_t>(source.toX) * 4,
                 sent_.data() + static_cast<std::size_t>(source.source.y + y) * stride + static_cast<std::size_t>(source.source.x) * 4,
                 static_cast<std::size_t>(source.source.width) * 4);
  }
  // The viewer moves its own pixels, at the quality they had: a destination tile is refined when
  // every tile its pixels came from was (and, when the move covers it only in part, the tile
  // itself was). Any other rests anew and is refined once it has rested; tiles the move does not
  // explain are sent again and rest anew as well (Encode).
  const std::vector<std::uint8_t> before = refined_;
  const int dx = copy.toX - copy.source.x;
  const int dy = copy.toY - copy.source.y;
  const int destX1 = copy.toX + copy.source.width;
  const int destY1 = copy.toY + copy.source.height;
  const auto wasRefined = [&](int tx, int ty) {
    return before[static_cast<std::size_t>(ty) * static_cast<std::size_t>(cols_) + static_cast<std::size_t>(tx)] != 0;
  };
  for (int ty = copy.toY / kRegionTile; ty * kRegionTile < destY1; ++ty) {
    for (int tx = copy.toX / kRegionTile; tx * kRegionTile < destX1; ++tx) {
      const int x0 = tx * kRegionTile;
      const int y0 = ty * kRegionTile;
      const int x1 = std::min(x0 + kRegionTile, width_);
      const int y1 = std::min(y0 + kRegionTile, height_);
      // The part of the tile the move covers.
      const int cx0 = std::max(x0, copy.toX);
      const int cy0 = std::max(y0, copy.toY);
      const int cx1 = std::min(x1, destX1);
      const int cy1 = std::min(y1, destY1);
      bool fine = cx0 > x0 || cy0 > y0 || cx1 < x1 || cy1 < y1 ? wasRefined(tx, ty) : true;
      for (int sy = (cy0 - dy) / kRegionTile; fine && sy <= (cy1 - 1 - dy) / kRegionTile; ++sy) {
        for (int sx = (cx0 - dx) / kRegionTile; fine && sx <= (cx1 - 1 - dx) / kRegionTile; ++sx) {
          fine = wasRefined(sx, sy);
        }
      }
      const std::size_t t = static_cast<std::size_t>(ty) * static_cast<std::size_t>(cols_) + static_cast<std::size_t>(tx);
      changedAt_[t] = now_;
      refined_[t] = fine ? 1 : 0;
    }
  }
}

RegionEncoder::Outcome RegionEncoder::Emit(std::vector<std::vector<std::uint8_t>>& jpegs, bool full,
                                           const std::optional<RegionCopy>& copy) {
  RegionFrame frame;
  frame.full = full;
  frame.copy = copy;
  frame.width = width_;
  frame.height = height_;
  for (std::size_t i = 0; i < jpegs.size(); ++i) {
    frame.parts.push_back(RegionPart{rects_[i], jpegs[i]});
  }
  std::vector<std::uint8_t> message;
  if (!BuildRegionFrame(frame, message)) {
    valid_ = false;
    return Outcome::Failed;
  }
  output_.assign(message.begin() + static_cast<std::ptrdiff_t>(kFrameHeaderBytes), message.end());
  lastFull_ = full;
  lastCopy_ = copy;
  return Outcome::Encoded;
}

std::vector<std::uint8_t> RegionEncoder::FlatTiles(const std::uint8_t* source,
                                                   const std::vector<std::uint8_t>& mask) const {
  std::vector<std::uint8_t> flat(mask.size(), 0);
  const RegionRect bounds = SetTileBounds(mask, cols_, rows_);
  const int tx0 = bounds.x, ty0 = bounds.y, tx1 = bounds.x + bounds.width, ty1 = bounds.y + bounds.height;
  const std::size_t stride = static_cast<std::size_t>(sourceWidth_) * 4;
  for (int ty = ty0; ty < ty1; ++ty) {
    const Band rows = SourceRows(ty, ty + 1);
    for (int tx = tx0; tx < tx1; ++tx) {
      const std::size_t t = static_cast<std::size_t>(ty) * static_cast<std::size_t>(cols_) + static_cast<std::size_t>(tx);
      if (mask[t] != 0) continue;
      const Band cols = SourceCols(tx, tx + 1);
      // Every pixel equals the first one: each line equals itself one pixel on, and begins with it.
      const std::uint8_t* first = source + static_cast<std::size_t>(rows.first) * stride + static_cast<std::size_t>(cols.first) * 4;
      const std::size_t lineBytes = static_cast<std::size_t>(cols.end - cols.first - 1) * 4;
      bool same = true;
      for (int y = rows.first; same && y < rows.end; ++y) {
        const std::uint8_t* line = source + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(cols.first) * 4;
        same = std::memcmp(line, first, 4) == 0 && std::memcmp(line, line + 4, lineBytes) == 0;
      }
      flat[t] = same ? 1 : 0;
    }
  }
  return flat;
}

RegionEncoder::Outcome RegionEncoder::EmitTiles(const std::uint8_t* source,
                                                std::vector<std::uint8_t>& mask, int quality,
                                                bool fullChroma, const std::optional<RegionCopy>& copy) {
  const std::vector<std::uint8_t> flat = FlatTiles(source, mask);
  const std::vector<RegionRect> tiles = MergeTiles(mask, cols_, rows_, kRegionRectBudget,
                                                   fullChroma ? kRefineSlackTiles : kMergeSlackTiles, flat);
  std::vector<std::vector<std::uint8_t>> jpegs;
  rects_.clear();
  for (const RegionRect& t : tiles) {
    jpegs.push_back(EncodeRect(source, t, quality, fullChroma));
    if (jpegs.back().empty()) {
      valid_ = false;
      return Outcome::Failed;
    }
    rects_.push_back(OutputRect(t));
  }
  return Emit(jpegs, false, copy);
}

RegionEncoder::Outcome RegionEncoder::Encode(PixelView pixels, int maxWidth, int quality) {
  // The hint is this call's only: dropped whatever the call does with it.
  std::optional<std::vector<RegionRect>> hint = std::move(hint_);
  hint_.reset();
  if (pixels.data == nullptr || !SurfaceSizeAllowed(pixels.width, pixels.height) ||
      !Reset(pixels, maxWidth)) {
    valid_ = false;
    return Outcome::Failed;
  }
  const std::size_t bytes = static_cast<std::size_t>(sourceWidth_) * static_cast<std::size_t>(sourceHeight_) * 4;
  quality_ = quality;
  if (pending_.data != nullptr) {
    // The last whole picture was never kept: its pixels may be gone.
    pending_ = PixelView{};
    valid_ = false;
  }
  if (hint && std::any_of(hint->begin(), hint->end(), [](const RegionRect& r) { return r.width < 0 || r.height < 0; })) {
    hint.reset();
  }
  bool full = !valid_ || fullRequested_;
  std::optional<RegionCopy> copy;
  if (!full) {
    if (hint) {
      const std::vector<std::uint8_t> candidates = HintedTiles(*hint);
      MarkChanged(pixels, &candidates);
    } else {
      MarkChanged(pixels, nullptr);
    }
    auto count = static_cast<std::size_t>(std::count(changed_.begin(), changed_.end(), std::uint8_t{1}));
    if (count == 0) return Outcome::Same;
    if (count >= kScrollMinTiles) {
      copy = FindScroll(pixels);
      if (copy) {
        std::vector<std::uint8_t> rest = ChangedAfter(pixels, *copy);
        const auto left = static_cast<std::size_t>(std::count(rest.begin(), rest.end(), std::uint8_t{1}));
        if (left * 2 <= count) {
          ApplyToSent(*copy);
          changed_ = std::move(rest);
          count = left;
        } else {
          copy.reset();
        }
      }
    }
    full = count * 100 >= changed_.size() * kWholePictureTilePercent;
  }
  if (full) {
    fullRequested_ = false;
    valid_ = false;
    std::vector<std::vector<std::uint8_t>> jpegs(1);
    jpegs[0] = ScaleAndEncode(pixels.data, sourceWidth_, sourceHeight_, maxWidth, quality);
    if (jpegs[0].empty()) return Outcome::Failed;
    encodedPixels_ += static_cast<std::uint64_t>(width_) * static_cast<std::uint64_t>(height_);
    rects_.assign(1, RegionRect{0, 0, width_, height_});
    if (deferKeeping_) {
      pending_ = pixels;
    } else {
      sent_.assign(pixels.data, pixels.data + bytes);
    }
    std::fill(changedAt_.begin(), changedAt_.end(), now_);
    std::fill(refined_.begin(), refined_.end(), std::uint8_t{0});
    valid_ = true;
    return Emit(jpegs, true, std::nullopt);
  }

  const Outcome outcome = EmitTiles(pixels.data, changed_, quality, false, copy);
  if (outcome != Outcome::Encoded) return outcome;
  // What the viewer now has: the sent rectangles' source areas of this picture.
  const std::size_t stride = static_cast<std::size_t>(sourceWidth_) * 4;
  for (int ty = 0; ty < rows_; ++ty) {
    for (int tx = 0; tx < cols_; ++tx) {
      const std::size_t t = static_cast<std::size_t>(ty) * static_cast<std::size_t>(cols_) +
                            static_cast<std::size_t>(tx);
      if (changed_[t] == 0) continue;
      changedAt_[t] = now_;
      refined_[t] = 0;
    }
  }
  for (const RegionRect& r : rects_) {
    const Band cols = SourceCols(r.x / kRegionTile, (r.x + r.width + kRegionTile - 1) / kRegionTile);
    const Band rows = SourceRows(r.y / kRegionTile, (r.y + r.height + kRegionTile - 1) / kRegionTile);
    for (int y = rows.first; y < rows.end; ++y) {
      const std::size_t at = static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(cols.first) * 4;
      std::memcpy(sent_.data() + at, pixels.data + at, static_cast<std::size_t>(cols.end - cols.first) * 4);
    }
  }
  return Outcome::Encoded;
}

void RegionEncoder::Keep() {
  if (pending_.data == nullptr) return;
  const std::size_t bytes =
      static_cast<std::size_t>(pending_.width) * static_cast<std::size_t>(pending_.height) * 4;
  sent_.assign(pending_.data, pending_.data + bytes);
  pending_ = PixelView{};
}

RegionEncoder::Outcome RegionEncoder::Refine(std::uint64_t restMs) {
  if (!valid_ || pending_.data != nullptr) return Outcome::Same;
  std::vector<std::uint8_t> mask(changed_.size(), 0);
  bool any = false;
  for (std::size_t t = 0; t < mask.size(); ++t) {
    if (refined_[t] == 0 && now_ >= changedAt_[t] && now_ - changedAt_[t] >= restMs) {
      mask[t] = 1;
      any = true;
    }
  }
  if (!any) return Outcome::Same;
  const int quality = RefineQuality(quality_);
  const Outcome outcome = EmitTiles(sent_.data(), mask, quality, quality >= kFullChromaQuality);
  if (outcome != Outcome::Encoded) return outcome;
  for (std::size_t t = 0; t < mask.size(); ++t) {
    if (mask[t] != 0) refined_[t] = 1;
  }
  return outcome;
}

const std::vector<std::uint8_t>& RegionEncoder::Unchanged() {
  unchanged_.clear();
  if (!valid_) return unchanged_;
  RegionFrame frame;
  frame.width = width_;
  frame.height = height_;
  std::vector<std::uint8_t> message;
  if (BuildRegionFrame(frame, message)) {
    unchanged_.assign(message.begin() + static_cast<std::ptrdiff_t>(kFrameHeaderBytes), message.end());
  }
  return unchanged_;
}

}  // namespace ov
