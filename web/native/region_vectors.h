// Region-frame references for the web viewer's tests, made by the program's own message builder,
// parser, region encoder, JPEG codec and viewer composition.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/json_codec.h"

namespace webpeer {

// Scenes of region-frame (and whole-frame) messages, valid and malformed, each with what the
// program's parser reads from every message and what its viewer display does with it.
ov::Json RegionVectors();

// What the program's region-frame parser reads from a message: {epoch, seq, full, copy, width,
// height, rects: [[x, y, width, height, JPEG offset, JPEG length]...]}, or {error}.
ov::Json ParseRegion(const std::vector<std::uint8_t>& message);

// The JPEG as the program's viewer decodes it: {width, height, pixels: hex} in its pixel layout,
// or {refused: true}.
ov::Json DecodeJpeg(const std::vector<std::uint8_t>& jpeg);

// A host's region stream over moving synthetic pictures, composed by a native viewer display as
// it goes: one {message: hex, full, copy, rects (count), ack, needFull, changed, picture:
// SHA-256 hex or null} per capture.
// `skipFirst` leaves the first (whole) picture out, so that the viewer has nothing to compose
// onto.
ov::Json RegionStream(std::uint32_t epoch, int width, int height, int pictures, bool skipFirst);

}  // namespace webpeer
