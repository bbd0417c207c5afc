#include "screen/synthetic_capturer.h"

#include <gtest/gtest.h>

#include "screen/jpeg_check.h"
#include "screen/jpeg_codec.h"
#include "screen/picture.h"

namespace ov {
namespace {

const DisplayInfo kDisplay{L"", ScreenRect{0, 0, 1280, 720}, true};

TEST(SyntheticCapturer, ScenesAndTheirBlackVerdicts) {
  SyntheticCapturer capturer(SyntheticScene::MovingPattern);
  CaptureStatus status;
  const auto a = capturer.CaptureFrame(kDisplay, 1920, 70, status).jpeg;
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(status.backend, 1);
  EXPECT_FALSE(status.black);
  const auto b = capturer.CaptureFrame(kDisplay, 1920, 70, status).jpeg;
  EXPECT_NE(a, b);  // the pattern moves

  // A static screen is encoded once: the same pixels at the same settings come back as
  // Unchanged, and a change of quality encodes again, to the bytes a fresh encode gives.
  capturer.SetScene(SyntheticScene::Static);
  const auto s1 = capturer.CaptureFrame(kDisplay, 1920, 70, status);
  ASSERT_EQ(s1.next, CaptureResult::Next::Picture);
  const std::uint64_t encodes = capturer.encodes();
  EXPECT_EQ(capturer.CaptureFrame(kDisplay, 1920, 70, status).next, CaptureResult::Next::Unchanged);
  EXPECT_FALSE(status.black);
  EXPECT_EQ(capturer.encodes(), encodes);
  SyntheticCapturer unchecked(SyntheticScene::Static);
  unchecked.SetRepeatCheck(false);
  EXPECT_EQ(unchecked.CaptureFrame(kDisplay, 1920, 70, status).jpeg, s1.jpeg);
  EXPECT_EQ(unchecked.CaptureFrame(kDisplay, 1920, 70, status).jpeg, s1.jpeg)
      << "the encoder is deterministic, so skipping it changes nothing on the wire";
  EXPECT_EQ(unchecked.encodes(), 2u);
  const auto s3 = capturer.CaptureFrame(kDisplay, 1920, 50, status);
  ASSERT_EQ(s3.next, CaptureResult::Next::Picture);
  EXPECT_EQ(capturer.encodes(), encodes + 1);

  for (auto scene : {SyntheticScene::Black, SyntheticScene::NearBlack}) {
    capturer.SetScene(scene);
    const auto jpeg = capturer.CaptureFrame(kDisplay, 640, 70, status).jpeg;
    ASSERT_FALSE(jpeg.empty());
    EXPECT_TRUE(status.black);
    const auto header = CheckJpegMarkers(jpeg);
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->width, 640);
    EXPECT_EQ(header->height, 360);
  }
  EXPECT_EQ(capturer.calls(), 7u);
  EXPECT_EQ(capturer.framesProduced(), 7u);
}

TEST(SyntheticCapturer, DesktopAndFailureKnobs) {
  SyntheticCapturer capturer(SyntheticScene::Static);
  CaptureStatus status;
  using Next = CaptureResult::Next;
  capturer.SetDesktopReachable(false);
  EXPECT_EQ(capturer.CaptureFrame(kDisplay, 1920, 70, status).next, Next::TryAgain);
  EXPECT_FALSE(status.desktop);
  capturer.SetDesktopReachable(true);
  capturer.FailNext(2);
  EXPECT_EQ(capturer.CaptureFrame(kDisplay, 1920, 70, status).next, Next::TryAgain);
  EXPECT_TRUE(status.desktop);
  EXPECT_EQ(capturer.CaptureFrame(kDisplay, 1920, 70, status).next, Next::TryAgain);
  const CaptureResult picture = capturer.CaptureFrame(kDisplay, 1920, 70, status);
  EXPECT_EQ(picture.next, Next::Picture);
  EXPECT_FALSE(picture.jpeg.empty());
  // Requests that can never be met: an empty rectangle, no width to scale to.
  EXPECT_EQ(capturer.CaptureFrame(DisplayInfo{}, 1920, 70, status).next, Next::GiveUp);
  EXPECT_EQ(capturer.CaptureFrame(kDisplay, 0, 70, status).next, Next::GiveUp);
}

TEST(SyntheticPicture, NearBlackIsThreeEverywhere) {
  const auto p = PaintSyntheticPicture(SyntheticScene::NearBlack, 8, 4, 0);
  EXPECT_TRUE(IsBlackPicture(p.bytes.data(), 8, 4));
  EXPECT_EQ(p.bytes[0], 3);
  const auto pattern = PaintSyntheticPicture(SyntheticScene::Static, 64, 32, 0);
  EXPECT_FALSE(IsBlackPicture(pattern.bytes.data(), 64, 32));
}

}  // namespace
}  // namespace ov
