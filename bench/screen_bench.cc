// Capture-and-encode and decode of the JPEG pipeline with libjpeg-turbo, at the "Balanced"
// settings (quality 70, width 1920). Every figure is also reported relative to a baseline
// measured in the same run: one plain copy of the 1920x1080 picture (counter "x_baseline",
// time per frame divided by time per copy).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "screen/jpeg_codec.h"
#include "screen/synthetic_capturer.h"

namespace {

using namespace ov;

const PixelBuffer& Desktop1080() {
  static const PixelBuffer picture =
      PaintSyntheticPicture(SyntheticScene::MovingPattern, 1920, 1080, 0);
  return picture;
}

// Seconds per copy of the 1920x1080 picture, measured once per run.
double BaselineSeconds() {
  static const double seconds = [] {
    const PixelBuffer& p = Desktop1080();
    std::vector<std::uint8_t> copy(p.bytes.size());
    const int rounds = 200;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
      std::memcpy(copy.data(), p.bytes.data(), copy.size());
      benchmark::DoNotOptimize(copy.data());
      benchmark::ClobberMemory();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / rounds;
  }();
  return seconds;
}

// Wall time of the measured loop, for the counters below.
class LoopTimer {
 public:
  LoopTimer() : start_(std::chrono::steady_clock::now()) {}
  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

// fps (wall clock), average JPEG size and the time per frame as a multiple of the baseline copy.
void Report(benchmark::State& state, const LoopTimer& timer, std::size_t jpegBytes) {
  const double frames = static_cast<double>(state.iterations());
  if (frames <= 0) return;
  const double perFrame = timer.Seconds() / frames;
  state.counters["fps"] = 1.0 / perFrame;
  state.counters["jpeg_bytes"] = static_cast<double>(jpegBytes) / frames;
  state.counters["x_baseline"] = perFrame / BaselineSeconds();
}

void BM_Baseline_Copy1080(benchmark::State& state) {
  const PixelBuffer& p = Desktop1080();
  std::vector<std::uint8_t> copy(p.bytes.size());
  BaselineSeconds();
  const LoopTimer timer;
  for (auto _ : state) {
    std::memcpy(copy.data(), p.bytes.data(), copy.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  Report(state, timer, 0);
}
BENCHMARK(BM_Baseline_Copy1080)->Unit(benchmark::kMillisecond)->UseRealTime();

// The synthetic capturer paints a new moving-pattern frame, runs the black test, encodes.
void BM_CaptureEncode1080_Balanced(benchmark::State& state) {
  SyntheticCapturer capturer(SyntheticScene::MovingPattern);
  const DisplayInfo display{L"", ScreenRect{0, 0, 1920, 1080}, true};
  std::size_t bytes = 0;
  BaselineSeconds();
  const LoopTimer timer;
  for (auto _ : state) {
    CaptureStatus status;
    bytes += capturer.CaptureFrame(display, 1920, 70, status).jpeg.size();
  }
  Report(state, timer, bytes);
}
BENCHMARK(BM_CaptureEncode1080_Balanced)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Encode1080_Balanced(benchmark::State& state) {
  const PixelBuffer& p = Desktop1080();
  std::size_t bytes = 0;
  BaselineSeconds();
  const LoopTimer timer;
  for (auto _ : state) bytes += ScaleAndEncode(p.bytes.data(), 1920, 1080, 1920, 70).size();
  Report(state, timer, bytes);
}
BENCHMARK(BM_Encode1080_Balanced)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ScaleEncode2160To1920_Balanced(benchmark::State& state) {
  static const PixelBuffer uhd = PaintSyntheticPicture(SyntheticScene::MovingPattern, 3840, 2160, 0);
  std::size_t bytes = 0;
  BaselineSeconds();
  const LoopTimer timer;
  for (auto _ : state) bytes += ScaleAndEncode(uhd.bytes.data(), 3840, 2160, 1920, 70).size();
  Report(state, timer, bytes);
}
BENCHMARK(BM_ScaleEncode2160To1920_Balanced)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Decode1080(benchmark::State& state) {
  const PixelBuffer& p = Desktop1080();
  const auto jpeg = ScaleAndEncode(p.bytes.data(), 1920, 1080, 1920, 70);
  BaselineSeconds();
  const LoopTimer timer;
  for (auto _ : state) {
    auto picture = DecodeFrameJpeg(jpeg.data(), jpeg.size());
    benchmark::DoNotOptimize(picture);
  }
  Report(state, timer, jpeg.size() * static_cast<std::size_t>(state.iterations()));
}
BENCHMARK(BM_Decode1080)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
