// The controller fed relay and peer messages in each state a connection goes through, host and
// viewer (see ControllerState), through the real HandleNetEvent:
//
//   byte 0 % 12  the state (a real pairing up to it, with the peer played by the driver)
//   byte 1       0xFF: the rest is a script (below); otherwise, % 7, what the rest is, as one
//                message: 0: a relay text message; 1-5: sealed as that kind under the peer's key
//                (raw, as an unsealable binary, in states without a channel); 6: a binary
//                message as it is
//   rest         the message, or the script: up to 32 steps, each a tag byte and a 2-byte
//                big-endian number. Tag % 8 below 7 is a message as above, the number its length
//                (cut to what is left); 7 moves the clock on by the number in 100 ms steps (up to
//                about 110 minutes) and runs the window timer's tick.
//
// A script reaches what one message cannot: the pairing attempt limit, a repeated nonce, the
// consent and step deadlines, pings and the session's own timers. It ends at the first step that
// ends the connection, as the event queue drops whatever arrives for an old connection.
//
// Whatever arrives, the Client must be in a consistent state after every step: a message that
// ends the connection leaves no transport, session or pairing behind, and the status line says
// why. Each input gets a state of its own, built for it and destroyed after it, so that no thread
// of one input runs into the next and every input reproduces alone.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/controller_driver.h"
#include "fuzz/fuzz_check.h"
#include "session/status_texts.h"

using ov::fuzz::ControllerState;
using ov::fuzz::DrivenController;

namespace {

constexpr std::uint8_t kScript = 0xFF;
constexpr int kMaxSteps = 32;
constexpr std::uint64_t kStepMs = 100;

// One message, as `mode` (0-6) says.
void Deliver(DrivenController& driven, int mode, std::span<const std::uint8_t> message) {
  if (mode == 0) {
    driven.HandleText(std::string(message.begin(), message.end()));
  } else if (mode <= 5 && driven.hasPeerChannel()) {
    driven.HandleSealed(static_cast<std::uint8_t>(mode), message);
  } else {
    driven.HandleBinary({message.begin(), message.end()});
  }
}

// Checks what must hold after any step; true when the connection of `generation` has ended.
bool CheckConsistent(ov::Client& client, std::uint32_t generation) {
  const bool ended = client.generation() != generation && !client.hasTransport();
  if (ended) {
    // The connection ended: nothing of the attempt or the session may survive it.
    OV_FUZZ_CHECK(!client.sessionActive() && !client.hasChannel() && !client.hasPairing());
    OV_FUZZ_CHECK(!client.toolsUp() && !client.consentPending() && !client.consentGiven());
    OV_FUZZ_CHECK(client.connectDeadline() == 0 && client.consentDeadline() == 0);
    OV_FUZZ_CHECK(client.status() == ov::kStatusSecurityFailed ||
                  client.status() == ov::kStatusClosed || client.status() == ov::kStatusTimedOut);
  }
  // A session is active only with a channel and the relay's word that both ends are joined.
  if (client.sessionActive()) {
    OV_FUZZ_CHECK(client.hasChannel() && client.relayConnected() && !client.hasPairing());
  }
  // A prompt that is open has a deadline, and no pairing runs beside it.
  if (client.consentPending()) {
    OV_FUZZ_CHECK(client.consentDeadline() != 0 && !client.hasPairing());
  }
  return ended || client.generation() != generation;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t index = data[0] % ov::fuzz::kControllerStateCount;
  std::span<const std::uint8_t> rest(data + 2, size - 2);

  auto driven = std::make_unique<DrivenController>(static_cast<ControllerState>(index));
  ov::Client& client = driven->client();
  const std::uint32_t generation = client.generation();

  if (data[1] != kScript) {
    Deliver(*driven, data[1] % 7, rest);
    CheckConsistent(client, generation);
    return 0;
  }
  for (int step = 0; step < kMaxSteps && rest.size() >= 3; ++step) {
    const int tag = rest[0] % 8;
    const std::size_t number = (std::size_t{rest[1]} << 8) | rest[2];
    rest = rest.subspan(3);
    if (tag == 7) {
      driven->AdvanceClock(number * kStepMs);
      client.OnTimerTick();
    } else {
      const std::size_t length = std::min(number, rest.size());
      Deliver(*driven, tag, rest.first(length));
      rest = rest.subspan(length);
    }
    if (CheckConsistent(client, generation)) break;
    driven->SettleSends();
  }
  return 0;
}
