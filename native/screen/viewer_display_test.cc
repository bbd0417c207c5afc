// The viewer's display: frame reception, the view transform and its commands, the figures and the
// texts built from them.
#include "screen/viewer_display.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/protocol_error.h"
#include "screen/jpeg_codec.h"
#include "screen/synthetic_capturer.h"

namespace ov {
namespace {

std::vector<std::uint8_t> Frame(std::uint32_t epoch, std::uint32_t seq,
                                const std::vector<std::uint8_t>& jpeg) {
  std::vector<std::uint8_t> out;
  BuildFrameMessage(FrameHeader{epoch, seq}, jpeg, out);
  return out;
}

std::vector<std::uint8_t> TestJpeg(int width, int height) {
  const PixelBuffer picture = PaintSyntheticPicture(SyntheticScene::Static, width, height, 0);
  return EncodeJpeg(PixelView{picture.bytes.data(), width, height}, 70);
}

std::string Outcome(ViewerDisplay& display, const std::vector<std::uint8_t>& frame,
                    std::uint32_t epoch) {
  try {
    const auto header = display.Receive(frame, epoch);
    return header ? "ack " + std::to_string(header->seq) : "dropped";
  } catch (const ProtocolError& e) {
    return e.what();
  }
}

TEST(ViewerDisplay, FrameReception) {
  const auto jpeg = TestJpeg(64, 32);
  ASSERT_FALSE(jpeg.empty());
  std::vector<std::uint8_t> damaged = jpeg;
  damaged[1] = 0x00;  // no start-of-image marker
  struct Row {
    const char* name;
    std::vector<std::uint8_t> frame;
    const char* outcome;
  };
  const std::vector<Row> rows = {
      {"8 bytes", Frame(3, 1, {}), "frame header"},
      {"9 bytes, seq 0", Frame(3, 0, {0xFF}), "frame sequence"},
      {"9 bytes, other epoch", Frame(2, 0, {0xFF}), "dropped"},
      {"negative seq", Frame(3, 0x80000000u, jpeg), "frame sequence"},
      {"newer epoch", Frame(4, 1, jpeg), "dropped"},
      {"9 bytes, seq 1", Frame(3, 1, {0xFF}), "invalid image"},
      {"not a JPEG", Frame(3, 1, damaged), "invalid image"},
      {"good", Frame(3, 9, jpeg), "ack 9"},
  };
  for (const Row& row : rows) {
    ViewerDisplay display(100);
    ASSERT_EQ(display.Receive(Frame(3, 1, jpeg), 3), (FrameHeader{3, 1}));
    EXPECT_EQ(Outcome(display, row.frame, 3), row.outcome) << row.name;
    const bool accepted = row.outcome[0] == 'a';
    const bool dropped = std::string(row.outcome) == "dropped";
    // A frame of another epoch leaves no trace; a refused image takes the old picture with it.
    EXPECT_EQ(display.picture().has_value(), accepted || dropped || row.outcome[0] == 'f') << row.name;
    EXPECT_EQ(display.figures().frames, accepted ? 2u : 1u) << row.name;
    if (accepted) {
      EXPECT_EQ(display.figures().bytes, 2 * (jpeg.size() + 8));
      EXPECT_EQ(display.picture()->width, 64);
      EXPECT_EQ(display.picture()->height, 32);
    }
  }
  EXPECT_EQ(Frame(3, 1, {}).size(), 8u);
}

TEST(ViewLayout, FitZoomAndPanClamps) {
  const ViewRect area{0, 0, 1000, 500};
  ViewState view;
  ViewRect r = LayoutImage(view, area, 1920, 1080);
  EXPECT_NEAR(r.width, 888.9f, 0.05f);
  EXPECT_FLOAT_EQ(r.height, 500.0f);
  EXPECT_NEAR(r.x, (1000 - 888.89f) / 2, 0.05f) << "centred horizontally";
  EXPECT_FLOAT_EQ(r.y, 0.0f);

  // Zoom 2.0: the picture can move until its edges meet the area's, and no further.
  view.fit = false;
  view.zoom = 2.0f;
  struct Pan {
    float dx, dy, panX, panY;
  };
  for (const Pan& p : {Pan{5000, 5000, 1420, 830}, Pan{-5000, -5000, -1420, -830}, Pan{100, -40, 100, -40},
                       Pan{1419, 829, 1419, 829}}) {
    view.panX = p.dx;
    view.panY = p.dy;
    r = LayoutImage(view, area, 1920, 1080);
    EXPECT_FLOAT_EQ(view.panX, p.panX);
    EXPECT_FLOAT_EQ(view.panY, p.panY);
    EXPECT_FLOAT_EQ(r.x, (1000 - 3840) / 2.0f + p.panX);
    EXPECT_FLOAT_EQ(r.y, (500 - 2160) / 2.0f + p.panY);
  }
  // Smaller than the area: always centred. Fitting enlarges; a zero-sized picture counts as 1.
  view.zoom = 0.1f;
  view.panX = 300;
  r = LayoutImage(view, area, 1920, 1080);
  EXPECT_FLOAT_EQ(view.panX, 0.0f);
  EXPECT_FLOAT_EQ(r.x, (1000 - 192) / 2.0f);
  ViewState fit;
  EXPECT_FLOAT_EQ(LayoutImage(fit, area, 100, 100).width, 500.0f);
  EXPECT_FLOAT_EQ(LayoutImage(fit, area, 0, 0).width, 500.0f);
  // The view area: below the toolbar, above the status strip, never empty; offset by its top.
  const ViewRect a = ViewArea(1000, 574, 1.0f);
  EXPECT_FLOAT_EQ(a.y, 52.0f);
  EXPECT_FLOAT_EQ(a.height, 500.0f);
  EXPECT_FLOAT_EQ(ViewArea(1000, 574, 2.0f).y, 104.0f);
  EXPECT_FLOAT_EQ(ViewArea(1000, 50, 1.0f).height, 1.0f);
  EXPECT_FLOAT_EQ(LayoutImage(fit, a, 1920, 1080).y, 52.0f);
}

TEST(ViewLayout, AChangedAreaRepaintsOnlyTheClientPixelsThatShowIt) {
  const ViewRect area{0, 52, 1000, 500};
  struct Row {
    const char* name;
    ViewRect placed;
    int width, height;
    RegionRect changed;
    ClientBox box;
  };
  const Row rows[] = {
      {"one to one: exactly the area", {10, 52, 800, 400}, 800, 400, {16, 32, 48, 16}, {26, 84, 74, 100}},
      {"halved: rounded outwards, two pixels around", {0, 52, 960, 540}, 1920, 1080, {101, 33, 10, 10},
       {48, 66, 58, 76}},
      {"doubled and panned: cut to the area", {-300, -100, 2000, 1200}, 1000, 600, {100, 60, 400, 20},
       {0, 52, 702, 62}},
      {"below the area: nothing", {0, 52, 1000, 2000}, 1000, 2000, {0, 1500, 64, 16}, {}},
      {"no change", {0, 52, 1000, 500}, 1000, 500, {0, 0, 0, 0}, {}},
      {"no picture size", {0, 52, 1000, 500}, 0, 500, {0, 0, 16, 16}, {}},
      {"the whole picture", {100, 52, 800, 450}, 1920, 1080, {0, 0, 1920, 1080}, {98, 52, 902, 504}},
  };
  for (const Row& row : rows) {
    const ClientBox box = PictureAreaOnScreen(row.placed, row.width, row.height, row.changed, area);
    EXPECT_EQ(box, row.box) << row.name << ": " << box.left << "," << box.top << " - " << box.right
                            << "," << box.bottom;
    EXPECT_EQ(box.empty(), row.box.empty()) << row.name;
  }
}

TEST(ViewLayout, ZoomStepsPresetsAndCommands) {
  const ViewRect area{0, 0, 1000, 500};
  struct Row {
    const char* name;
    float factor;
    int steps;
    float before, reached;  // the zoom one step before the last, and after it
  };
  for (const Row& row : {Row{"zoom in", kZoomInFactor, 7, 3.8147f, 4.0f},
                         Row{"zoom out", kZoomOutFactor, 11, 0.10737f, 0.1f}}) {
    ViewState view;
    ActualSize(view);
    for (int i = 1; i < row.steps; ++i) ZoomStep(view, area, 1920, 1080, row.factor);
    EXPECT_NEAR(view.zoom, row.before, 1e-4f) << row.name;
    ZoomStep(view, area, 1920, 1080, row.factor);
    EXPECT_FLOAT_EQ(view.zoom, row.reached) << row.name;
    ZoomStep(view, area, 1920, 1080, row.factor);
    EXPECT_FLOAT_EQ(view.zoom, row.reached) << row.name << " stays";
  }
  // From fit, the first step starts at the fitted scale.
  ViewState view;
  ZoomStep(view, area, 1920, 1080, kZoomInFactor);
  EXPECT_FALSE(view.fit);
  EXPECT_NEAR(view.zoom, 500.0f / 1080.0f * 1.25f, 1e-5f);
  // A step keeps the pan, clamped to the new size.
  view.zoom = 2.0f;
  view.panX = 1400;
  ZoomStep(view, area, 1920, 1080, kZoomOutFactor);  // 1.6: margin (3072 - 1000) / 2
  EXPECT_FLOAT_EQ(view.panX, 1036.0f);

  for (int percent : kZoomPresets) {
    ViewState v;
    v.panX = 5;
    ASSERT_TRUE(ApplyZoomPreset(v, percent));
    EXPECT_FALSE(v.fit);
    EXPECT_FLOAT_EQ(v.zoom, static_cast<float>(percent) / 100.0f);
    EXPECT_FLOAT_EQ(v.panX, 0.0f);
  }
  ViewState v;
  EXPECT_FALSE(ApplyZoomPreset(v, 100));
  EXPECT_FALSE(ApplyZoomPreset(v, 0));
  EXPECT_TRUE(v.fit);

  // Without a picture the steps and presets do nothing; a new stream resets the view.
  ViewerDisplay display(0);
  EXPECT_FALSE(display.ZoomIn(area));
  EXPECT_FALSE(display.ZoomPreset(200));
  EXPECT_TRUE(display.view().fit);
  const auto jpeg = TestJpeg(64, 32);
  std::vector<std::uint8_t> frame;
  BuildFrameMessage(FrameHeader{1, 1}, jpeg, frame);
  ASSERT_TRUE(display.Receive(frame, 1).has_value());
  EXPECT_TRUE(display.ZoomPreset(400));
  display.PanBy(area, -30, 2000);
  EXPECT_FLOAT_EQ(display.view().panX, 0.0f) << "256 wide: centred";
  EXPECT_FLOAT_EQ(display.view().panY, 0.0f);
  // Each pan step is clamped as it comes: dragging back from past an edge moves at once.
  const ViewRect small{0, 0, 100, 50};  // 256 x 128 in it: margins 78 and 39
  display.PanBy(small, 500, -500);
  EXPECT_FLOAT_EQ(display.view().panX, 78.0f);
  EXPECT_FLOAT_EQ(display.view().panY, -39.0f);
  display.PanBy(small, -10, 4);
  EXPECT_FLOAT_EQ(display.view().panX, 68.0f);
  EXPECT_FLOAT_EQ(display.view().panY, -35.0f);
  ASSERT_TRUE(display.Layout(area).has_value());
  display.DropPicture();
  EXPECT_FALSE(display.view().fit) << "a locked desktop keeps the view";
  EXPECT_FALSE(display.Layout(area).has_value());
  display.StartStream();
  EXPECT_TRUE(display.view().fit);
}

TEST(StreamFigures, OneSecondWindows) {
  StreamFigures figures;
  figures.windowStart = 10000;
  for (int i = 0; i < 4; ++i) figures.Count(2500);
  EXPECT_FALSE(figures.Update(10999));
  EXPECT_EQ(figures.frames, 4u);
  EXPECT_TRUE(figures.Update(12000));  // 2 s
  EXPECT_DOUBLE_EQ(figures.fps, 2.0);
  EXPECT_DOUBLE_EQ(figures.kBps, 5.0);
  EXPECT_EQ(figures.frames, 0u);
  EXPECT_EQ(figures.bytes, 0u);
  EXPECT_EQ(figures.windowStart, 12000u);
  EXPECT_FALSE(figures.Update(11000)) << "a clock that went back measures nothing";
}

TEST(ViewerTexts, StatusLineAndConnectionInfo) {
  const std::string dot = "   \xC2\xB7   ";
  ViewerFigures base;
  base.fps = 19.6;
  base.kBps = 812.9;
  base.hasPicture = true;
  base.pictureWidth = 1920;
  base.pictureHeight = 1080;
  base.windowWidthDip = 640;
  base.captureStatusNegotiated = true;
  base.capture.backend = 2;

  struct Row {
    const char* name;
    std::function<void(ViewerFigures&)> change;
    const char* first;
    bool warning;
    std::string second;
  };
  const std::vector<Row> rows = {
      {"measured", [](ViewerFigures& f) { f.roundTripMs = 42; }, "Session active", false,
       "20 fps" + dot + "42 ms" + dot + "1920 \xC3\x97 1080" + dot + "WGC"},
      {"no round trip yet", [](ViewerFigures&) {}, "Session active", false,
       "20 fps" + dot + "\xE2\x80\x94 ms" + dot + "1920 \xC3\x97 1080" + dot + "WGC"},
      {"narrow, GDI, view only",
       [](ViewerFigures& f) {
         f.windowWidthDip = 639;
         f.capture.backend = 1;
         f.peerAllowsControl = false;
       },
       "View only", false, "20 fps" + dot + "\xE2\x80\x94 ms" + dot + "GDI"},
      {"not negotiated, no picture",
       [](ViewerFigures& f) {
         f.captureStatusNegotiated = false;
         f.hasPicture = false;
       },
       "Session active", false, "20 fps" + dot + "\xE2\x80\x94 ms"},
      {"input blocked", [](ViewerFigures& f) { f.inputError = 5; }, "Windows blocked remote input", true, ""},
      {"black over input blocked",
       [](ViewerFigures& f) {
         f.inputError = 5;
         f.capture.black = true;
       },
       "Source returned a black frame", true, ""},
      {"desktop over black",
       [](ViewerFigures& f) {
         f.capture.black = true;
         f.capture.desktop = false;
       },
       "Desktop unavailable or locked", true, ""},
      {"control notice over all",
       [](ViewerFigures& f) {
         f.capture.desktop = false;
         f.controlNotice = true;
       },
       "This control requires the local user.", true, ""},
  };
  for (const Row& row : rows) {
    ViewerFigures f = base;
    row.change(f);
    const StatusLine line = ViewerStatusLine(f);
    EXPECT_EQ(line.first, row.first) << row.name;
    EXPECT_EQ(line.warning, row.warning) << row.name;
    if (!row.second.empty()) {
      EXPECT_EQ(line.second, row.second) << row.name;
    }
  }

  const TranslateFn upper = [](const std::string& key) { return "[" + key + "]"; };
  ViewerFigures f = base;
  EXPECT_EQ(ConnectionInfoText(f, upper),
            "Kestrova 0.3.9\n[Capture source]: WGC\n[Remote version]: \xE2\x80\x94\n\n"
            "20 fps  \xC2\xB7  812 kB/s  \xC2\xB7  \xE2\x80\x94 ms\n\n"
            "[Panning: hold Space and drag. Ctrl+wheel: zoom.]");
  f.capture.backend = 0;
  f.capture.error = 0x80040154;
  f.peerBuild = "0.3.9";
  f.roundTripMs = 7;
  f.inputError = 5;
  f.controlNotice = true;
  EXPECT_EQ(ConnectionInfoText(f, upper),
            "Kestrova 0.3.9\n[Capture source]: \xE2\x80\x94\n[Remote version]: 0.3.9\n\n"
            "20 fps  \xC2\xB7  812 kB/s  \xC2\xB7  7 ms\nWGC HRESULT: 0x80040154\n"
            "[Windows blocked remote input] (Windows error 5)\n"
            "[This control requires the local user.]\n\n"
            "[Panning: hold Space and drag. Ctrl+wheel: zoom.]");
}

}  // namespace
}  // namespace ov
