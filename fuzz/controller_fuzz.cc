// The controller fed one relay message in each state a connection goes through, host and viewer
// (see ControllerState), through the real HandleNetEvent:
//
//   byte 0 % 12  the state (a real pairing up to it, with the peer played by the driver)
//   byte 1 % 7   0: the rest is a relay text message; 1-5: the rest is sealed as that kind under
//                the peer's key (raw, as an unsealable binary, in states without a channel);
//                6: the rest is a binary message as it is
//   rest         the message
//
// Whatever arrives, the Client must end in a consistent state: a message that ends the
// connection leaves no transport, session or pairing behind, and the status line says why.
// Each input gets a state of its own, built for it and destroyed after it, so that no thread of
// one input runs into the next and every input reproduces alone.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/controller_driver.h"
#include "fuzz/fuzz_check.h"
#include "session/status_texts.h"

using ov::fuzz::ControllerState;
using ov::fuzz::DrivenController;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t index = data[0] % ov::fuzz::kControllerStateCount;
  const int mode = data[1] % 7;
  const std::span<const std::uint8_t> message(data + 2, size - 2);

  auto driven = std::make_unique<DrivenController>(static_cast<ControllerState>(index));
  const std::uint32_t generation = driven->client().generation();

  if (mode == 0) {
    driven->HandleText(std::string(message.begin(), message.end()));
  } else if (mode <= 5 && driven->hasPeerChannel()) {
    driven->HandleSealed(static_cast<std::uint8_t>(mode), message);
  } else {
    driven->HandleBinary({message.begin(), message.end()});
  }

  ov::Client& client = driven->client();
  if (client.generation() != generation && !client.hasTransport()) {
    // The connection ended: nothing of the attempt or the session may survive it.
    OV_FUZZ_CHECK(!client.sessionActive() && !client.hasChannel() && !client.hasPairing());
    OV_FUZZ_CHECK(!client.toolsUp() && !client.consentPending() && !client.consentGiven());
    OV_FUZZ_CHECK(client.connectDeadline() == 0 && client.consentDeadline() == 0);
    OV_FUZZ_CHECK(client.status() == ov::kStatusSecurityFailed ||
                  client.status() == ov::kStatusClosed);
  }
  // A session is active only with a channel and the relay's word that both ends are joined.
  if (client.sessionActive()) {
    OV_FUZZ_CHECK(client.hasChannel() && client.relayConnected() && !client.hasPairing());
  }
  return 0;
}
