// The host's changed-region encoder: compares each captured picture with the last picture sent,
// in tiles of 16 x 16 pixels of the encoded picture (the JPEG's 4:2:0 block grid, so rectangles
// line up with the blocks a whole-picture JPEG would have), merges the changed tiles into a few
// disjoint rectangles, and scales and encodes only those. Its output is a region-frame message
// from offset 8 on (region_frame.h); the stream puts the epoch and sequence number in front.
//
// When many tiles changed because content moved up or down (a scroll), the move is sent as a copy
// within the viewer's picture and only what it does not explain is encoded; on a scaled picture,
// when the move is one of whole rows of both the capture and the picture.
//
// A whole picture (one rectangle, flagged full) goes out for the first picture, after
// RequestFull, when the encoded size changes, and when most tiles changed. Tiles that have rested
// for restMs since they last changed can be sent once more at a higher quality (Refine). One per stream; not thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "screen/picture_encoder.h"
#include "screen/region_frame.h"

namespace ov {

inline constexpr int kRegionTile = 16;
// A refinement is encoded this much above the stream's quality (at most 95), with full chroma
// from 90 on: "Data saver" refines at 75, "Balanced" and "High quality" at 95.
inline constexpr int kRefineQualityStep = 30;
inline constexpr int kFullChromaQuality = 90;
inline int RefineQuality(int streamQuality) noexcept {
  return streamQuality + kRefineQualityStep > 95 ? 95 : streamQuality + kRefineQualityStep;
}
inline constexpr std::uint64_t kRefineRestMs = 1000;
// Share of tiles (in percent) from which a whole picture is sent instead of rectangles.
inline constexpr int kWholePictureTilePercent = 50;
// At most this many rectangles are encoded separately; more are merged.
inline constexpr std::size_t kRegionRectBudget = 24;

class RegionEncoder final : public PictureEncoder {
 public:
  // Encoded: output() is a message with the changed rectangles (or the whole picture). Same: no
  // tile changed. Failed: no picture, or the encoder failed (the next call sends a whole one).
  Outcome Encode(PixelView pixels, int maxWidth, int quality) override;
  const std::vector<std::uint8_t>& output() const noexcept override { return output_; }

  // Only the tiles of the encoded picture whose source pixels these rectangles touch are
  // compared by the next Encode; the others count as unchanged. Ignored when that Encode sends
  // a whole picture (the first, after RequestFull, a new size, an unkept one, most tiles changed
  // and so on); a rectangle of negative size drops the whole hint.
  void HintChanged(std::span<const RegionRect> capturePixelRects) override;
  // The time the next Encode happens at (ms), for the rest of each tile.
  void SetNow(std::uint64_t nowMs) noexcept { now_ = nowMs; }
  // The next Encode sends the whole picture, changed or not.
  void RequestFull() noexcept { fullRequested_ = true; }
  // With `on`, a whole picture is kept as the last one sent by Keep(), called once its message
  // has gone out, instead of during Encode (the copy is off the way from capture to viewer). The
  // pixels given to that Encode must stay unchanged until Keep; an Encode or Refine before it
  // cannot trust the last picture sent, and starts over with a whole picture (or refines nothing).
  void DeferKeeping(bool on) noexcept { deferKeeping_ = on; }
  void Keep();
  // Tiles unchanged for restMs and not refined since they last changed, encoded again from the
  // last picture sent at RefineQuality of the last Encode's quality: Encoded (output() holds
  // them), Same when there are none, Failed when the encoder failed.
  Outcome Refine(std::uint64_t restMs = kRefineRestMs);
  // A message without rectangles at the current size ("nothing changed"); empty before the
  // first picture.
  const std::vector<std::uint8_t>& Unchanged();

  // The rectangles of the last Encoded result, and whether it was a whole picture.
  const std::vector<RegionRect>& rects() const noexcept { return rects_; }
  bool lastWasFull() const noexcept { return lastFull_; }
  // The move of the last Encoded result, if it had one.
  const std::optional<RegionCopy>& lastCopy() const noexcept { return lastCopy_; }
  // Pixels of the encoded picture handed to the JPEG encoder so far (for benchmarks).
  std::uint64_t encodedPixels() const noexcept { return encodedPixels_; }

 private:
  struct Band {
    int first = 0;  // first source row or column of a tile range
    int end = 0;    // one past the last
  };
  Band SourceCols(int tileX0, int tileX1) const noexcept;
  Band SourceRows(int tileY0, int tileY1) const noexcept;
  RegionRect OutputRect(const RegionRect& tiles) const noexcept;
  bool Reset(PixelView pixels, int maxWidth);
  // Per tile, whether the hint's rectangles touch its source pixels.
  std::vector<std::uint8_t> HintedTiles(const std::vector<RegionRect>& hint) const;
  // Sets changed_ for the tiles that differ from sent_, looking only at `candidates` when given.
  void MarkChanged(PixelView pixels, const std::vector<std::uint8_t>* candidates);
  // Per tile, whether an unset tile within the set tiles' bounding box is of one colour in
  // `source` (0 elsewhere).
  std::vector<std::uint8_t> FlatTiles(const std::uint8_t* source, const std::vector<std::uint8_t>& mask) const;
  std::vector<std::uint8_t> EncodeRect(const std::uint8_t* source, const RegionRect& tiles,
                                       int quality, bool fullChroma);
  Outcome EmitTiles(const std::uint8_t* source, std::vector<std::uint8_t>& mask, int quality,
                    bool fullChroma, const std::optional<RegionCopy>& copy = std::nullopt);
  Outcome Emit(std::vector<std::vector<std::uint8_t>>& jpegs, bool full,
               const std::optional<RegionCopy>& copy);
  // A vertical move of the changed area's content (a scroll), found by matching row hashes of
  // the capture against the last one sent; in picture pixels, a move of whole picture rows and
  // whole capture rows alike (a scaled picture: only on a scale that puts every tile edge on a
  // capture pixel's edge).
  std::optional<RegionCopy> FindScroll(PixelView pixels) const;
  // A move in picture pixels as the move of the capture's pixels it stands for.
  RegionCopy SourceCopy(const RegionCopy& copy) const noexcept;
  // The tiles that still differ once `copy` is applied to the last picture sent.
  std::vector<std::uint8_t> ChangedAfter(PixelView pixels, const RegionCopy& copy) const;
  void ApplyToSent(const RegionCopy& copy);

  // The last picture sent, at capture size, and the size it is encoded at.
  std::vector<std::uint8_t> sent_;
  int sourceWidth_ = 0;
  int sourceHeight_ = 0;
  int width_ = 0;
  int height_ = 0;
  int maxWidth_ = 0;
  int cols_ = 0;
  int rows_ = 0;
  std::vector<std::uint8_t> changed_;     // per tile, this call
  std::vector<std::uint64_t> changedAt_;  // per tile, ms of the last change sent
  std::vector<std::uint8_t> refined_;     // per tile, refined since that change
  std::vector<std::uint8_t> output_;
  std::vector<std::uint8_t> unchanged_;
  std::vector<RegionRect> rects_;
  std::vector<std::uint8_t> scaled_;
  std::uint64_t now_ = 0;
  int quality_ = 70;  // of the last Encode
  std::uint64_t encodedPixels_ = 0;
  bool valid_ = false;
  bool fullRequested_ = false;
  bool lastFull_ = false;
  bool deferKeeping_ = false;
  PixelView pending_{};  // a whole picture sent and not yet kept
  std::optional<std::vector<RegionRect>> hint_;  // for the next Encode
  std::optional<RegionCopy> lastCopy_;
};

// Disjoint rectangles (in tile units) covering the set tiles of a cols x rows mask: row runs
// joined downwards, then pairs merged while their bounding box adds at most `slackTiles` unset
// tiles, or while there are more than `budget` rectangles. Set tiles inside a merged box stay
// covered; the mask is updated to what the rectangles cover. With `flat` (one flag per tile), an
// unset tile flagged flat (one colour, a few bytes of JPEG) counts as 1/kFlatTilesPerTile of a
// tile, so that merges reach across plain background rather than paying for another JPEG.
inline constexpr int kFlatTilesPerTile = 8;
std::vector<RegionRect> MergeTiles(std::vector<std::uint8_t>& mask, int cols, int rows,
                                   std::size_t budget, int slackTiles,
                                   std::span<const std::uint8_t> flat = {});

}  // namespace ov
