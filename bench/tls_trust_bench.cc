// A TLS client context made ready to verify a server, as the relay transport and the update
// check make one per connection: the system's authorities from the certificates parsed once per
// process, against the baseline of the context reading and parsing the distribution bundle itself.
#include <benchmark/benchmark.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <cstdio>

#include "bench/ratio_reporter.h"
#include "net/tls_trust_posix.h"

namespace {

const char kBundle[] = "/etc/ssl/certs/ca-certificates.crt";

void ContextReadingTheBundle(benchmark::State& state) {
  for (auto _ : state) {
    bssl::UniquePtr<SSL_CTX> ctx(SSL_CTX_new(TLS_method()));
    if (SSL_CTX_load_verify_locations(ctx.get(), kBundle, nullptr) != 1 ||
        SSL_CTX_load_verify_locations(ctx.get(), nullptr, "/etc/ssl/certs") != 1) {
      state.SkipWithError("the bundle did not load");
      break;
    }
    benchmark::DoNotOptimize(ctx.get());
  }
}

void ContextWithSystemTrust(benchmark::State& state) {
  for (auto _ : state) {
    bssl::UniquePtr<SSL_CTX> ctx(SSL_CTX_new(TLS_method()));
    ov::net_internal::LoadSystemTrust(ctx.get());
    benchmark::DoNotOptimize(ctx.get());
  }
}

BENCHMARK(ContextReadingTheBundle);
BENCHMARK(ContextWithSystemTrust);

}  // namespace

int main(int argc, char** argv) {
  if (::access(kBundle, R_OK) != 0) {
    std::fprintf(stderr, "tls_trust_bench: no distribution bundle at %s\n", kBundle);
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  ov::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintTimeRatio("ContextWithSystemTrust", "ContextReadingTheBundle",
                          "context set-up: bundle read / parsed once");
  benchmark::Shutdown();
  return 0;
}
