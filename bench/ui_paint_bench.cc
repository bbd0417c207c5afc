// Full paints of the main window: the Connections page at 1100x720 and the viewer's remote view
// with a 1920x1080 frame at fit. Under Wine on the GDI+ canvas into a 32-bit bitmap (what WM_PAINT
// does into its back buffer), natively on the recording canvas (the painter's own cost). The
// baseline of each run is one clear of the same bitmap (GDI+) or one empty layout (recording).
// Target under Wine: at most 8 ms per paint.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "bench/ratio_reporter.h"
#include "screen/synthetic_capturer.h"
#include "ui/painter.h"
#include "ui/testing/recording_canvas.h"

#if defined(_WIN32)
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include "ui/gdiplus_canvas_win.h"
#endif

namespace {

using namespace ov;

constexpr float kWidth = 1100;
constexpr float kHeight = 720;

MainView ConnectionsView() {
  static const std::string password = "ABCDEFGH";
  MainView view;
  view.registered = true;
  view.deviceId = "482913775";
  view.password = &password;
  view.status = "Ready";
  return view;
}

MainView RemoteViewOf(const PixelBuffer& frame) {
  MainView view;
  view.viewerRole = true;
  view.sessionActive = true;
  view.toolsUp = true;
  view.picture = &frame;
  view.firstFrameShown = true;
  view.status = "End-to-end encrypted";
  return view;
}

const PixelBuffer& Frame() {
  static const PixelBuffer frame =
      PaintSyntheticPicture(SyntheticScene::MovingPattern, 1920, 1080, 2);
  return frame;
}

const Translator& Identity() {
  static const Translator translate = [](std::string_view key) {
    return std::wstring(key.begin(), key.end());
  };
  return translate;
}

void PaintRecording(benchmark::State& state, const MainView& view) {
  UiState ui;
  for (auto _ : state) {
    testing::RecordingCanvas canvas;
    Layout layout;
    DrawContext ctx{canvas, layout, Identity()};
    PaintMainWindow(ctx, view, ui, kWidth, kHeight);
    benchmark::DoNotOptimize(canvas.shapes.size());
  }
}

void BM_RecordingBaseline(benchmark::State& state) {
  for (auto _ : state) {
    testing::RecordingCanvas canvas;
    Layout layout;
    benchmark::DoNotOptimize(&layout);
  }
}
void BM_RecordingConnections(benchmark::State& s) { PaintRecording(s, ConnectionsView()); }
void BM_RecordingRemoteView(benchmark::State& s) { PaintRecording(s, RemoteViewOf(Frame())); }
BENCHMARK(BM_RecordingBaseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RecordingConnections)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RecordingRemoteView)->Unit(benchmark::kMicrosecond);

#if defined(_WIN32)
void PaintGdiplus(benchmark::State& state, const MainView* view) {
  Gdiplus::Bitmap bitmap(static_cast<INT>(kWidth), static_cast<INT>(kHeight),
                         PixelFormat32bppPARGB);
  FontCache fonts;
  UiState ui;
  for (auto _ : state) {
    Gdiplus::Graphics graphics(&bitmap);
    if (view == nullptr) {
      graphics.Clear(Gdiplus::Color(255, 255, 255, 255));
      continue;
    }
    GdiplusCanvas canvas(graphics, fonts, 1.0f);
    Layout layout;
    DrawContext ctx{canvas, layout, Identity()};
    PaintMainWindow(ctx, *view, ui, kWidth, kHeight);
  }
}
void BM_GdiplusBaselineClear(benchmark::State& s) { PaintGdiplus(s, nullptr); }
void BM_GdiplusConnections(benchmark::State& s) {
  const MainView view = ConnectionsView();
  PaintGdiplus(s, &view);
}
void BM_GdiplusRemoteView(benchmark::State& s) {
  const MainView view = RemoteViewOf(Frame());
  PaintGdiplus(s, &view);
}
BENCHMARK(BM_GdiplusBaselineClear)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GdiplusConnections)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GdiplusRemoteView)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return 1;
#endif
  benchmark::Initialize(&argc, argv);
  ov::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  const char* rows[][3] = {
      {"BM_RecordingConnections", "BM_RecordingBaseline", "recording canvas, Connections"},
      {"BM_RecordingRemoteView", "BM_RecordingBaseline", "recording canvas, remote view"},
      {"BM_GdiplusConnections/real_time", "BM_GdiplusBaselineClear/real_time",
       "GDI+, Connections 1100x720"},
      {"BM_GdiplusRemoteView/real_time", "BM_GdiplusBaselineClear/real_time",
       "GDI+, remote view 1920x1080 frame"}};
  for (const auto& row : rows) {
    const auto* m = reporter.Find(row[0]);
    const auto* b = reporter.Find(row[1]);
    if (m == nullptr || b == nullptr || b->realNanosPerIteration <= 0) continue;
    // Figures are in each benchmark's unit (recording: us, GDI+: ms); the ratio is per paint.
    std::printf("paint %-36s %9.3f (its unit) = %7.1f x the baseline\n", row[2],
                m->realNanosPerIteration, m->realNanosPerIteration / b->realNanosPerIteration);
  }
#if defined(_WIN32)
  benchmark::Shutdown();
  Gdiplus::GdiplusShutdown(token);
#endif
  return 0;
}
