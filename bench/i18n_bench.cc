// Translate, called for every visible text on every paint, against the least any lookup that
// returns a wide string must do: copy that string. Also the one-time parse of the whole table
// against a plain UTF-8 decode of the same bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "i18n/catalogue.h"
#include "i18n/utf8.h"

namespace {

std::vector<std::string> Keys() {
  std::vector<std::string> keys;
  const std::string_view table = ov::CatalogueTable();
  std::size_t start = 0;
  while (start < table.size()) {
    std::size_t end = table.find('\n', start);
    if (end == std::string_view::npos) end = table.size();
    const std::string_view line = table.substr(start, end - start);
    if (!line.empty()) keys.emplace_back(line.substr(0, line.find('|')));
    start = end + 1;
  }
  return keys;
}

void CopyTranslation(benchmark::State& state) {
  std::vector<std::wstring> texts;
  for (const std::string& key : Keys()) texts.push_back(ov::Translate(6, key));
  std::size_t i = 0;
  for (auto _ : state) {
    std::wstring text = texts[i];
    benchmark::DoNotOptimize(text);
    i = (i + 1) % texts.size();
  }
}

void TranslateKnown(benchmark::State& state) {
  const std::vector<std::string> keys = Keys();
  std::size_t i = 0;
  for (auto _ : state) {
    std::wstring text = ov::Translate(6, keys[i]);
    benchmark::DoNotOptimize(text);
    i = (i + 1) % keys.size();
  }
}

void TranslateUnknown(benchmark::State& state) {
  const std::string key = "Remote screen 2 of 3";
  for (auto _ : state) {
    std::wstring text = ov::Translate(6, key);
    benchmark::DoNotOptimize(text);
  }
}

void DecodeTable(benchmark::State& state) {
  const std::string_view table = ov::CatalogueTable();
  for (auto _ : state) {
    std::wstring text = ov::DecodeUtf8(table);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(table.size()));
}

void ParseTable(benchmark::State& state) {
  const std::string_view table = ov::CatalogueTable();
  for (auto _ : state) {
    ov::Catalogue catalogue = ov::Catalogue::Parse(table);
    benchmark::DoNotOptimize(catalogue);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(table.size()));
}

BENCHMARK(CopyTranslation);
BENCHMARK(TranslateKnown);
BENCHMARK(TranslateUnknown);
BENCHMARK(DecodeTable);
BENCHMARK(ParseTable);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ov::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.PrintTimeRatio("TranslateKnown", "CopyTranslation",
                          "string copy time / Translate time");
  reporter.PrintTimeRatio("TranslateUnknown", "CopyTranslation",
                          "string copy time / unknown-key time");
  reporter.PrintThroughputRatio("ParseTable", "DecodeTable", "table parse / plain decode", 0.2);
  benchmark::Shutdown();
  return 0;
}
