// A Client brought into one of the states in which relay and peer messages can reach it, through
// a real pairing with a peer played here (the other end's exchange and channel), as the
// controller's own tests do it. The fuzz target then hands it messages through the real
// HandleNetEvent and moves its clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/testing/client_harness.h"
#include "crypto/crypto_session.h"
#include "crypto/pake_exchange.h"

namespace ov::fuzz {

enum class ControllerState : std::uint8_t {
  kHostUnregistered,     // connected, "registered" not yet received
  kHostRegistered,       // Ready
  kHostChallenged,       // "authChallenge" sent, pairing exchange pending
  kHostConsentPending,   // the viewer proved the password; the prompt is open
  kHostAccepted,         // consent given, waiting for "connected"
  kHostActive,           // "connected": binding and hello sent
  kHostHelloDone,        // the viewer's helloAck taken: stream, input and tools are open
  kViewerConnecting,     // "register" with the offer sent
  kViewerAuthenticated,  // "authResponse" sent, channel derived
  kViewerJoined,         // "connected" received, binding awaited
  kViewerActive,         // bound
  kViewerHelloDone,      // the host's hello taken
};
inline constexpr int kControllerStateCount = 12;

// The request ID the relay assigns in every driven pairing, and the host the viewer dials.
inline constexpr char kDriverRequestId[] = "0123456789abcdef0123456789abcdef";

class DrivenController {
 public:
  // Builds the state; aborts with a message when the pairing does not get there (a fault of
  // the program or of this driver, never of a fuzz input).
  explicit DrivenController(ControllerState state);
  ~DrivenController();
  DrivenController(const DrivenController&) = delete;
  DrivenController& operator=(const DrivenController&) = delete;

  ControllerState state() const { return state_; }
  // True from kHostConsentPending and kViewerAuthenticated on: the peer here holds the channel.
  bool hasPeerChannel() const { return peerChannel_ != nullptr; }

  // Through HandleNetEvent, as the event queue would deliver them.
  void HandleText(std::string text);
  void HandleBinary(std::vector<std::uint8_t> bytes);
  // Seals `plaintext` as `kind` under the peer's key and hands it in; requires hasPeerChannel.
  void HandleSealed(std::uint8_t kind, std::span<const std::uint8_t> plaintext);

  // Moves the Client's clock on; the caller runs the timer tick.
  void AdvanceClock(std::uint64_t ms) { clock_.Advance(ms); }
  // Waits until everything the Client queued has been handed to the transport.
  void SettleSends();

  Client& client() { return *harness_.client; }

 private:
  void BuildHost();
  void BuildViewer();
  void LetNetworkThreadFinish();
  void Expect(bool condition, const char* step);

  ControllerState state_;
  ManualClock clock_;
  testing::ClientHarness harness_{clock_};
  std::shared_ptr<testing::ScriptedTransport> transport_;
  std::unique_ptr<PakeExchange> peerPake_;
  std::shared_ptr<CryptoSession> peerChannel_;
};

}  // namespace ov::fuzz
