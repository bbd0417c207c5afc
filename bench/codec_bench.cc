// ParseMessage (depth-bounded parse) against the library's plain parse of the same text.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "base/json_codec.h"
#include "bench/ratio_reporter.h"

namespace {

// A typical control message: acknowledgement with statistics.
const std::string kMessage =
    R"({"op":"capabilities","version":"0.3.9","input":true,"clipboard":true,"files":true,)"
    R"("displays":[{"id":0,"name":"\\\\.\\DISPLAY1","x":0,"y":0,"width":1920,"height":1080,)"
    R"("primary":true},{"id":1,"name":"\\\\.\\DISPLAY2","x":1920,"y":0,"width":2560,)"
    R"("height":1440,"primary":false}],"profile":2,"quality":70,"maxWidth":1920})";

void PlainParse(benchmark::State& state) {
  for (auto _ : state) {
    ov::Json value = ov::Json::parse(kMessage);
    benchmark::DoNotOptimize(value);
  }
}

void BoundedParse(benchmark::State& state) {
  for (auto _ : state) {
    ov::Json value = ov::ParseMessage(kMessage);
    benchmark::DoNotOptimize(value);
  }
}

void Serialize(benchmark::State& state) {
  const ov::Json value = ov::ParseMessage(kMessage);
  for (auto _ : state) {
    std::string text = ov::SerializeMessage(value);
    benchmark::DoNotOptimize(text);
  }
}

BENCHMARK(PlainParse);
BENCHMARK(BoundedParse);
BENCHMARK(Serialize);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ov::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.PrintTimeRatio("BoundedParse", "PlainParse", "plain parse time / ParseMessage time");
  benchmark::Shutdown();
  return 0;
}
