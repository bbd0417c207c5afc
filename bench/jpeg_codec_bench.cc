// The JPEG codec under Wine: libjpeg-turbo (the codec both builds use) against GDI+ (what the
// Windows build used before) on the same 1920x1080 picture at quality 70: frames per second and
// bytes, for encoding and decoding, and the 3840x2160 scale-and-encode at "Balanced" (1920 wide).
// Each ratio is libjpeg-turbo's rate over GDI+'s in the same run.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "jpeg_gdiplus_win.h"
#include "screen/jpeg_codec.h"
#include "screen/synthetic_capturer.h"

namespace {

using namespace ov;

constexpr int kQuality = 70;

const PixelBuffer& Picture(int width, int height) {
  static const PixelBuffer p1080 = PaintSyntheticPicture(SyntheticScene::MovingPattern, 1920, 1080, 3);
  static const PixelBuffer p4k = PaintSyntheticPicture(SyntheticScene::MovingPattern, 3840, 2160, 3);
  return width == 1920 && height == 1080 ? p1080 : p4k;
}

void Encode(benchmark::State& state, bool turbo) {
  const PixelBuffer& p = Picture(1920, 1080);
  const PixelView view{p.bytes.data(), p.width, p.height};
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::vector<std::uint8_t> jpeg =
        turbo ? EncodeJpeg(view, kQuality) : GdiplusEncodeJpeg(view, kQuality);
    if (jpeg.empty()) state.SkipWithError("encode failed");
    bytes = jpeg.size();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["jpeg_bytes"] = static_cast<double>(bytes);
}

void Decode(benchmark::State& state, bool turbo) {
  const PixelBuffer& p = Picture(1920, 1080);
  // Both decoders read the same file (libjpeg-turbo's), so only the decoder differs.
  const std::vector<std::uint8_t> jpeg = EncodeJpeg(PixelView{p.bytes.data(), p.width, p.height}, kQuality);
  for (auto _ : state) {
    const auto picture = turbo ? DecodeJpegPixels(jpeg) : GdiplusDecodeJpeg(jpeg);
    if (!picture) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(picture);
  }
  state.SetItemsProcessed(state.iterations());
}

void ScaleEncode4K(benchmark::State& state, bool turbo) {
  const PixelBuffer& p = Picture(3840, 2160);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::vector<std::uint8_t> jpeg =
        turbo ? ScaleAndEncode(p.bytes.data(), p.width, p.height, 1920, kQuality)
              : GdiplusScaleAndEncode(p.bytes.data(), p.width, p.height, 1920, kQuality);
    if (jpeg.empty()) state.SkipWithError("scale and encode failed");
    bytes = jpeg.size();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["jpeg_bytes"] = static_cast<double>(bytes);
}

void BM_EncodeTurbo(benchmark::State& s) { Encode(s, true); }
void BM_EncodeGdiplus(benchmark::State& s) { Encode(s, false); }
void BM_DecodeTurbo(benchmark::State& s) { Decode(s, true); }
void BM_DecodeGdiplus(benchmark::State& s) { Decode(s, false); }
void BM_ScaleEncode4KTurbo(benchmark::State& s) { ScaleEncode4K(s, true); }
void BM_ScaleEncode4KGdiplus(benchmark::State& s) { ScaleEncode4K(s, false); }
BENCHMARK(BM_EncodeTurbo)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EncodeGdiplus)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeTurbo)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeGdiplus)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScaleEncode4KTurbo)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScaleEncode4KGdiplus)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return 1;
  benchmark::Initialize(&argc, argv);
  ov::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  const char* pairs[][3] = {{"BM_EncodeTurbo/real_time", "BM_EncodeGdiplus/real_time", "encode fps, turbo/GDI+"},
                            {"BM_DecodeTurbo/real_time", "BM_DecodeGdiplus/real_time", "decode fps, turbo/GDI+"},
                            {"BM_ScaleEncode4KTurbo/real_time", "BM_ScaleEncode4KGdiplus/real_time",
                             "4K scale+encode fps, turbo/GDI+"}};
  for (const auto& p : pairs) {
    const auto* t = reporter.Find(p[0]);
    const auto* g = reporter.Find(p[1]);
    if (t == nullptr || g == nullptr || t->realNanosPerIteration <= 0) continue;
    // The figures are in the benchmarks' unit, milliseconds.
    std::printf("ratio %-40s %6.2f  (%.1f ms vs %.1f ms per picture; target >= 1.5)\n", p[2],
                g->realNanosPerIteration / t->realNanosPerIteration, t->realNanosPerIteration,
                g->realNanosPerIteration);
  }
  benchmark::Shutdown();
  Gdiplus::GdiplusShutdown(token);
  return 0;
}
