// Seal+Unseal through the channel against raw AES-256-GCM of the same provider, same sizes, same
// run. The channel adds the header, the sequence rules and a mutex per call.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "bench/ratio_reporter.h"
#include "crypto/crypto_session.h"
#include "crypto/primitives.h"

namespace {

const std::vector<std::uint8_t> kKeyA(32, 0xA5);
const std::vector<std::uint8_t> kKeyB(32, 0x5A);

void RawAesGcm(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  ov::AesGcmProvider provider;
  ov::OpenAesGcmProvider(provider);
  ov::AesGcmKey key(provider, kKeyA.data());
  std::vector<std::uint8_t> plaintext(size, 0x42), ciphertext(size), opened(size);
  std::uint8_t nonce[12] = {}, tag[16], aad[12] = {};
  std::uint64_t counter = 0;
  for (auto _ : state) {
    ++counter;
    for (int i = 0; i < 8; ++i) nonce[4 + i] = static_cast<std::uint8_t>(counter >> (56 - 8 * i));
    std::size_t written = 0;
    if (!key.Encrypt(nonce, aad, sizeof aad, plaintext.data(), size, ciphertext.data(), tag,
                     written) ||
        !key.Decrypt(nonce, aad, sizeof aad, ciphertext.data(), size, tag, opened.data(),
                     written)) {
      state.SkipWithError("AES-GCM failed");
      break;
    }
    benchmark::DoNotOptimize(opened.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(size));
}

void SealUnseal(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  ov::CryptoSession sender(kKeyA.data(), kKeyB.data());
  ov::CryptoSession receiver(kKeyB.data(), kKeyA.data());
  std::vector<std::uint8_t> plaintext(size, 0x42), sealed, opened;
  std::uint8_t kind = 0;
  for (auto _ : state) {
    sender.SealInto(1, plaintext, sealed);
    if (!receiver.Unseal(sealed, kind, opened)) {
      state.SkipWithError("Unseal failed");
      break;
    }
    benchmark::DoNotOptimize(opened.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(size));
}

// The allocating form, as a caller that keeps no buffer would use it.
void SealUnsealFresh(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  ov::CryptoSession sender(kKeyA.data(), kKeyB.data());
  ov::CryptoSession receiver(kKeyB.data(), kKeyA.data());
  std::vector<std::uint8_t> plaintext(size, 0x42);
  std::uint8_t kind = 0;
  for (auto _ : state) {
    std::vector<std::uint8_t> opened;
    if (!receiver.Unseal(sender.Seal(1, plaintext), kind, opened)) {
      state.SkipWithError("Unseal failed");
      break;
    }
    benchmark::DoNotOptimize(opened.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(size));
}

BENCHMARK(RawAesGcm)->Arg(1024)->Arg(65536)->Arg(1 << 20)->UseRealTime();
BENCHMARK(SealUnseal)->Arg(1024)->Arg(65536)->Arg(1 << 20)->UseRealTime();
BENCHMARK(SealUnsealFresh)->Arg(1024)->Arg(65536)->Arg(1 << 20)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ov::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nSeal+Unseal throughput / raw AES-256-GCM encrypt+decrypt (same provider):\n");
  for (const char* size : {"1024", "65536", "1048576"}) {
    const std::string raw = std::string("RawAesGcm/") + size;
    reporter.PrintThroughputRatio(std::string("SealUnseal/") + size, raw,
                                  (std::string("reused buffers, ") + size + " B").c_str(), 0.9);
    reporter.PrintThroughputRatio(std::string("SealUnsealFresh/") + size, raw,
                                  (std::string("fresh buffers, ") + size + " B").c_str(), 0.9);
  }
  benchmark::Shutdown();
  return 0;
}
