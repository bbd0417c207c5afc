#include "screen/capture_policy.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace ov {
namespace {

using Copy = CaptureSteps::CopyResult;

// Scripted system: each copy slot has a result and a black verdict; WGC yields a picture or not.
class FakeSteps : public CaptureSteps {
 public:
  bool desktop = true;
  std::optional<ScreenRect> bounds = ScreenRect{0, 0, 1280, 800};
  Copy copy[2] = {Copy::Ok, Copy::Ok};
  bool black[2] = {false, false};
  bool wgcYields = false;
  std::uint32_t wgcError = 0x80040154;
  bool throwInCopy = false;

  std::string log;  // "D" desktop, "R" reset WGC, "C0"/"C1" copies, "E0"/"E1" encodes, "W" WGC

  bool InputDesktopActive() override { log += "D"; return desktop; }
  void ResetWgc() override { log += "R"; }
  std::optional<ScreenRect> ResolveBounds(const DisplayInfo&) override { return bounds; }
  Copy CopyScreen(int slot, const ScreenRect&, bool& isBlack) override {
    if (throwInCopy) throw std::runtime_error("boom");
    log += "C" + std::to_string(slot);
    isBlack = black[slot];
    return copy[slot];
  }
  std::vector<std::uint8_t> EncodeSurface(int slot, const ScreenRect&, int, int) override {
    log += "E" + std::to_string(slot);
    return {0xFF, 0xD8, static_cast<std::uint8_t>(slot), 0xD9};
  }
  std::vector<std::uint8_t> TryWgc(const DisplayInfo&, const ScreenRect&, int, int,
                                   CaptureStatus& status) override {
    log += "W";
    if (!wgcYields) {
      status.error = wgcError;
      return {};
    }
    status.error = 0;
    status.black = true;
    return {0xFF, 0xD8, 0x57, 0xD9};
  }
};

struct Outcome {
  std::vector<std::uint8_t> jpeg;
  CaptureResult::Next next = CaptureResult::Next::Picture;
  CaptureStatus status;
};

Outcome RunOnce(FakeSteps& steps, bool& preferWgc) {
  Outcome out;
  out.status.backend = 7;  // must be reset by the call
  out.status.desktop = false;
  CaptureResult result = RunCaptureFrame(steps, preferWgc, DisplayInfo{}, 1920, 70, out.status);
  out.jpeg = std::move(result.jpeg);
  out.next = result.next;
  // A picture and only a picture says "send it".
  EXPECT_EQ(out.next == CaptureResult::Next::Picture, !out.jpeg.empty());
  return out;
}

TEST(CapturePolicy, ClearGdiPictureIsSentWithoutTouchingWgc) {
  FakeSteps steps;
  bool prefer = false;
  const auto out = RunOnce(steps, prefer);
  EXPECT_EQ(steps.log, "DC0E0");
  EXPECT_EQ(out.jpeg[2], 0);
  EXPECT_EQ(out.status.backend, 1);
  EXPECT_FALSE(out.status.black);
  EXPECT_TRUE(out.status.desktop);
  EXPECT_EQ(out.status.error, 0u);
  EXPECT_FALSE(prefer);
}

TEST(CapturePolicy, BlackTable) {
  struct Case {
    const char* name;
    Copy c0;
    bool b0;
    Copy c1;
    bool b1;
    bool wgc;
    const char* log;
    int encodedSlot;  // -1 none, 2 = WGC
    bool black;
  };
  const Case cases[] = {
      {"both black, WGC fails", Copy::Ok, true, Copy::Ok, true, false, "DC0C1WE0", 0, true},
      {"both black, WGC yields", Copy::Ok, true, Copy::Ok, true, true, "DC0C1W", 2, true},
      {"first black, second clear", Copy::Ok, true, Copy::Ok, false, false, "DC0C1E1", 1, false},
      {"first failed, second clear", Copy::Failed, false, Copy::Ok, false, false, "DC0C1E1", 1, false},
      {"first failed, second black", Copy::Failed, false, Copy::Ok, true, false, "DC0C1WE1", 1, true},
      {"both failed", Copy::Failed, false, Copy::Failed, false, false, "DC0C1W", -1, false},
      {"both failed, WGC yields", Copy::Failed, false, Copy::Failed, false, true, "DC0C1W", 2, true},
      {"first black, second failed", Copy::Ok, true, Copy::Failed, false, false, "DC0C1WE0", 0, true},
      {"first black, second failed, WGC", Copy::Ok, true, Copy::NoSurface, false, true, "DC0C1W", 2, true},
      {"no screen context", Copy::NoSurface, false, Copy::Ok, false, false, "DC0W", -1, false},
      {"no screen context, WGC", Copy::NoSurface, false, Copy::Ok, false, true, "DC0W", 2, true},
  };
  for (const Case& c : cases) {
    FakeSteps steps;
    steps.copy[0] = c.c0;
    steps.black[0] = c.b0;
    steps.copy[1] = c.c1;
    steps.black[1] = c.b1;
    steps.wgcYields = c.wgc;
    bool prefer = false;
    const auto out = RunOnce(steps, prefer);
    EXPECT_EQ(steps.log, c.log) << c.name;
    if (c.encodedSlot < 0) {
      EXPECT_TRUE(out.jpeg.empty()) << c.name;
      EXPECT_EQ(out.status.backend, 0) << c.name;
    } else {
      ASSERT_EQ(out.jpeg.size(), 4u) << c.name;
      EXPECT_EQ(out.jpeg[2], c.encodedSlot == 2 ? 0x57 : c.encodedSlot) << c.name;
      EXPECT_EQ(out.status.backend, c.encodedSlot == 2 ? 2 : 1) << c.name;
      EXPECT_EQ(out.status.black, c.black) << c.name;
    }
    const bool triedWgc = std::string(c.log).find('W') != std::string::npos;
    EXPECT_EQ(out.status.error, triedWgc && !c.wgc ? 0x80040154u : 0u) << c.name;
    EXPECT_EQ(prefer, c.wgc && triedWgc) << c.name;
  }
}

TEST(CapturePolicy, PreferredWgcIsTriedFirstAndOnlyOnce) {
  FakeSteps steps;
  steps.wgcYields = true;
  bool prefer = true;
  auto out = RunOnce(steps, prefer);
  EXPECT_EQ(steps.log, "DW");
  EXPECT_EQ(out.status.backend, 2);

  // WGC fails while preferred: GDI follows and WGC is not asked a second time, even for black.
  steps.log.clear();
  steps.wgcYields = false;
  steps.black[0] = steps.black[1] = true;
  out = RunOnce(steps, prefer);
  EXPECT_EQ(steps.log, "DWC0C1E0");
  EXPECT_EQ(out.status.backend, 1);
  EXPECT_TRUE(out.status.black);
  EXPECT_EQ(out.status.error, 0x80040154u);
  EXPECT_TRUE(prefer);  // never cleared
}

TEST(CapturePolicy, UnreachableDesktopStopsWgcAndReportsIt) {
  FakeSteps steps;
  steps.desktop = false;
  bool prefer = true;
  const auto out = RunOnce(steps, prefer);
  EXPECT_EQ(steps.log, "DR");
  EXPECT_TRUE(out.jpeg.empty());
  EXPECT_FALSE(out.status.desktop);
  EXPECT_EQ(out.status.backend, 0);
}

TEST(CapturePolicy, MissingDisplayBadWidthAndFailuresGiveNothing) {
  FakeSteps gone;
  gone.bounds.reset();
  bool prefer = false;
  EXPECT_TRUE(RunOnce(gone, prefer).jpeg.empty());
  EXPECT_EQ(gone.log, "D");

  FakeSteps flat;
  flat.bounds = ScreenRect{0, 0, 100, 0};
  EXPECT_EQ(RunOnce(flat, prefer).next, CaptureResult::Next::GiveUp);

  FakeSteps steps;
  CaptureStatus status;
  EXPECT_EQ(RunCaptureFrame(steps, prefer, DisplayInfo{}, 0, 70, status).next,
            CaptureResult::Next::GiveUp);
  EXPECT_EQ(steps.log, "");

  FakeSteps throwing;
  throwing.throwInCopy = true;
  const auto out = RunOnce(throwing, prefer);
  EXPECT_EQ(out.next, CaptureResult::Next::TryAgain);
  EXPECT_EQ(out.status.backend, 0);
}

}  // namespace
}  // namespace ov
