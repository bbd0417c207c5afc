// The application core's two speed figures, each against a baseline from the same run:
// - pairing through a local kestrova-relay, from ConnectToDevice to "End-to-end encrypted",
//   against the bare cryptographic work of one pairing (both ends' SPAKE2 and confirmations);
// - sealed control messages per second through the send queue and its send thread, against
//   sealing the same messages directly.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "app/client.h"
#include "app/relay_link.h"
#include "app/testing/client_harness.h"
#include "app/testing/relay_process.h"
#include "crypto/pake_exchange.h"
#include "crypto/primitives.h"
#include "bench/ratio_reporter.h"

namespace {

using ov::testing::ClientHarness;
using namespace std::chrono_literals;

std::unique_ptr<ov::testing::RelayProcess> g_relay;

bool PumpUntil(ClientHarness& a, ClientHarness& b, const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    a.Pump(1ms);
    b.Pump(0ms);
  }
  return true;
}

void PairingBaseline(benchmark::State& state) {
  const std::string password = ov::GenerateSessionPassword();
  const std::string id = ov::GenerateDeviceId();
  const std::string rid = ov::RandomHex(16);
  for (auto _ : state) {
    const std::string nonce = ov::RandomHex(16);
    auto viewer = ov::PakeExchange::Create(password, id, nonce, false);
    auto host = ov::PakeExchange::Create(password, id, nonce, true);
    host->Process(viewer->OwnMessageHex(), rid);
    viewer->Process(host->OwnMessageHex(), rid);
    if (!viewer->CheckPeerConfirmation(host->OwnConfirmationHex()) ||
        !host->CheckPeerConfirmation(viewer->OwnConfirmationHex())) {
      state.SkipWithError("confirmation mismatch");
      return;
    }
    benchmark::DoNotOptimize(viewer->CreateChannel());
    benchmark::DoNotOptimize(host->CreateChannel());
  }
}

void PairingThroughRelay(benchmark::State& state) {
  if (!g_relay || !g_relay->ok()) {
    state.SkipWithError("kestrova-relay not available");
    return;
  }
  ov::ManualClock clock;
  auto factory = [] { return ov::CreateTransport(); };
  ClientHarness host(clock, factory, g_relay->url());
  ClientHarness viewer(clock, factory, g_relay->url());
  host.StartUp();
  viewer.StartUp();
  for (auto _ : state) {
    state.PauseTiming();
    host.client->RegisterAsHost();
    clock.Advance(60000);  // stay clear of the host's attempt limit
    if (!PumpUntil(host, viewer, [&] { return host.status() == ov::kStatusReady; })) {
      state.SkipWithError("host did not register");
      return;
    }
    const std::string& id = host.client->deviceId();
    viewer.window.remoteId = std::wstring(id.begin(), id.end());
    viewer.window.password = host.client->sessionPassword();
    state.ResumeTiming();
    viewer.client->ConnectToDevice();
    if (!PumpUntil(viewer, host, [&] { return viewer.status() == ov::kStatusEncrypted; })) {
      state.SkipWithError("pairing did not complete");
      return;
    }
  }
}

std::shared_ptr<ov::CryptoSession> FixedChannel() {
  std::uint8_t send[32];
  std::uint8_t receive[32];
  for (int i = 0; i < 32; ++i) {
    send[i] = static_cast<std::uint8_t>(i);
    receive[i] = static_cast<std::uint8_t>(255 - i);
  }
  return std::make_shared<ov::CryptoSession>(send, receive);
}

std::vector<std::uint8_t> ControlMessage() {
  const std::string text = R"({"epoch":1,"op":"frameAck","seq":12345})";
  return {text.begin(), text.end()};
}

void RawSeal(benchmark::State& state) {
  auto channel = FixedChannel();
  const auto message = ControlMessage();
  std::vector<std::uint8_t> sealed;
  for (auto _ : state) {
    channel->SealInto(static_cast<std::uint8_t>(ov::SealedKind::Control), message, sealed);
    benchmark::DoNotOptimize(sealed.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void SealedThroughSendQueue(benchmark::State& state) {
  auto transport = std::make_shared<ov::testing::ScriptedTransport>();
  transport->keepBinaries = false;
  ov::RelayLink link([] {}, [transport] { return transport; }, L"wss://relay.test/ws");
  link.Open(R"({"type":"register"})");
  if (!transport->WaitConnected()) {
    state.SkipWithError("no connection");
    return;
  }
  auto channel = FixedChannel();
  const auto message = ControlMessage();
  constexpr std::size_t kBatch = 1000;
  std::size_t queued = 0;
  for (auto _ : state) {
    for (std::size_t i = 0; i < kBatch; ++i) {
      auto item = [&] {
        ov::SendItem made;
        made.kind = static_cast<std::uint8_t>(ov::SealedKind::Control);
        made.payload = message;
        made.channel = channel;
        return made;
      };
      while (!link.Enqueue(item())) std::this_thread::yield();  // queue full: wait
    }
    queued += kBatch;
    while (transport->binaryCount() < queued) std::this_thread::yield();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kBatch));
}

BENCHMARK(PairingBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(PairingThroughRelay)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);
BENCHMARK(RawSeal)->UseRealTime();
BENCHMARK(SealedThroughSendQueue)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
#ifdef OV_RELAY_BINARY
  g_relay = std::make_unique<ov::testing::RelayProcess>(
      OV_RELAY_BINARY, std::vector<std::string>{"--quiet", "--registrations-per-minute", "100000"});
#endif
  benchmark::Initialize(&argc, argv);
  ov::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto* pairing = reporter.Find("PairingThroughRelay/iterations:20/real_time");
  const auto* baseline = reporter.Find("PairingBaseline/real_time");
  if (pairing && baseline && baseline->realNanosPerIteration > 0) {
    // Both pairing benchmarks report in milliseconds.
    std::printf("pairing: ConnectToDevice to \"End-to-end encrypted\" %.2f ms; %.1fx the bare "
                "pairing cryptography (%.3f ms)\n",
                pairing->realNanosPerIteration,
                pairing->realNanosPerIteration / baseline->realNanosPerIteration,
                baseline->realNanosPerIteration);
  }
  const auto* queue = reporter.Find("SealedThroughSendQueue/real_time");
  const auto* raw = reporter.Find("RawSeal/real_time");
  if (queue && raw && raw->itemsPerSecond > 0) {
    std::printf("ratio sealed control messages via send queue / raw Seal %6.3f  (%.0f vs %.0f "
                "messages/s)\n",
                queue->itemsPerSecond / raw->itemsPerSecond, queue->itemsPerSecond,
                raw->itemsPerSecond);
  }
  benchmark::Shutdown();
  g_relay.reset();
  return 0;
}
