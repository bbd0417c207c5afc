#include "screen/repeat_encoder.h"

#include <gtest/gtest.h>

#include <cstring>

#include "screen/jpeg_codec.h"
#include "screen/synthetic_capturer.h"

namespace ov {
namespace {

// Both ways in (a view of someone else's pixels, the encoder's own capture buffer) give the same
// verdicts: only the same pixels at the same settings are Same, the JPEG is then the one a fresh
// encode gives, and a failure forgets the last picture.
TEST(RepeatEncoder, OnlyTheSamePixelsAtTheSameSettingsAreSame) {
  using O = RepeatEncoder::Outcome;
  const PixelBuffer base = PaintSyntheticPicture(SyntheticScene::Static, 96, 64, 0);
  PixelBuffer lastByte = base;
  lastByte.bytes.back() ^= 1;  // the ignored fourth byte of the last pixel still counts
  struct Step {
    const PixelBuffer* picture;
    int maxWidth;
    int quality;
    O outcome;
  };
  const Step steps[] = {
      {&base, 96, 70, O::Encoded},    {&base, 96, 70, O::Same},     {&lastByte, 96, 70, O::Encoded},
      {&base, 96, 70, O::Encoded},    {&base, 48, 70, O::Encoded},  {&base, 48, 71, O::Encoded},
      {&base, 48, 71, O::Same},       {nullptr, 48, 71, O::Failed}, {&base, 48, 71, O::Encoded},
  };
  for (const bool captured : {false, true}) {
    RepeatEncoder encoder;
    int index = 0;
    for (const Step& step : steps) {
      O outcome;
      if (captured) {
        if (step.picture == nullptr) {
          EXPECT_EQ(encoder.CaptureBuffer(0, 64), nullptr);
          outcome = encoder.Encode(PixelView{}, step.maxWidth, step.quality);
        } else {
          std::uint8_t* buffer = encoder.CaptureBuffer(96, 64);
          std::memcpy(buffer, step.picture->bytes.data(), step.picture->bytes.size());
          outcome = encoder.EncodeCaptured(step.maxWidth, step.quality);
        }
      } else {
        outcome = encoder.Encode(
            step.picture ? PixelView{step.picture->bytes.data(), 96, 64} : PixelView{},
            step.maxWidth, step.quality);
      }
      EXPECT_EQ(outcome, step.outcome) << "captured " << captured << " step " << index;
      if (outcome != O::Failed) {
        EXPECT_EQ(encoder.jpeg(), ScaleAndEncode(step.picture->bytes.data(), 96, 64, step.maxWidth,
                                                 step.quality))
            << index;
      }
      ++index;
    }
    EXPECT_EQ(encoder.encodes(), 6u);
  }
  RepeatEncoder off;
  off.SetEnabled(false);
  EXPECT_EQ(off.Encode(PixelView{base.bytes.data(), 96, 64}, 96, 70), RepeatEncoder::Outcome::Encoded);
  EXPECT_EQ(off.Encode(PixelView{base.bytes.data(), 96, 64}, 96, 70), RepeatEncoder::Outcome::Encoded);
}

}  // namespace
}  // namespace ov
