// A console reporter that also remembers each benchmark's figures, so a program can print ratios
// between a measured path and its baseline from the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace ov::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      Figures& f = figures_[run.benchmark_name()];
      f.realNanosPerIteration = run.GetAdjustedRealTime();
      auto bytes = run.counters.find("bytes_per_second");
      if (bytes != run.counters.end()) f.bytesPerSecond = bytes->second.value;
      auto items = run.counters.find("items_per_second");
      if (items != run.counters.end()) f.itemsPerSecond = items->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  struct Figures {
    double realNanosPerIteration = 0;
    double bytesPerSecond = 0;
    double itemsPerSecond = 0;
  };

  const Figures* Find(const std::string& name) const {
    auto it = figures_.find(name);
    return it == figures_.end() ? nullptr : &it->second;
  }

  // Prints measured/baseline for throughput (higher is better for the measured path).
  void PrintThroughputRatio(const std::string& measured, const std::string& baseline,
                            const char* label, double target) const {
    const Figures* m = Find(measured);
    const Figures* b = Find(baseline);
    if (m == nullptr || b == nullptr || b->bytesPerSecond <= 0) return;
    const double ratio = m->bytesPerSecond / b->bytesPerSecond;
    std::printf("ratio %-40s %6.3f  (%s %.0f MB/s vs %.0f MB/s; target >= %.2f)\n", label, ratio,
                measured.c_str(), m->bytesPerSecond / 1e6, b->bytesPerSecond / 1e6, target);
  }

  // Prints baseline time / measured time (1.0 means no overhead over the baseline).
  void PrintTimeRatio(const std::string& measured, const std::string& baseline,
                      const char* label) const {
    const Figures* m = Find(measured);
    const Figures* b = Find(baseline);
    if (m == nullptr || b == nullptr || m->realNanosPerIteration <= 0) return;
    std::printf("ratio %-40s %6.3f  (%.0f ns vs baseline %.0f ns per call)\n", label,
                b->realNanosPerIteration / m->realNanosPerIteration, m->realNanosPerIteration,
                b->realNanosPerIteration);
  }

 private:
  std::map<std::string, Figures> figures_;
};

}  // namespace ov::bench
