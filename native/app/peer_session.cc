#include "app/peer_session.h"

#include <span>

#include "base/json_codec.h"
#include "base/protocol_error.h"
#include "crypto/crypto_session.h"
#include "session/status_texts.h"

namespace ov {

void FrameFigures::Update(std::uint64_t now) {
  if (periodStart_ == 0) {
    periodStart_ = now;
    periodFrames_ = frames;
    periodBytes_ = bytes;
    return;
  }
  if (now < periodStart_ + kPeriodMs) return;
  const double seconds = static_cast<double>(now - periodStart_) / 1000.0;
  frameRate = static_cast<double>(frames - periodFrames_) / seconds;
  byteRate = static_cast<double>(bytes - periodBytes_) / seconds;
  periodStart_ = now;
  periodFrames_ = frames;
  periodBytes_ = bytes;
}

PeerSession::PeerSession(bool isHost, SessionOwner& owner, Platform& platform,
                         const LocalPermissions& permissions)
    : owner_(owner), platform_(platform), control_(isHost, *this, permissions) {}

PeerSession::~PeerSession() {
  StopStreaming();
  ReleaseHeldInput();
}

void PeerSession::Dispatch(std::uint8_t kind, const std::vector<std::uint8_t>& plaintext) {
  const bool helloComplete = control_.helloComplete();
  switch (static_cast<SealedKind>(kind)) {
    case SealedKind::Control: {
      if (plaintext.size() > kControlMessageLimit) Fail("control limit");
      control_.HandleControl(ParseMessage(std::span<const std::uint8_t>(plaintext)));
      return;
    }
    case SealedKind::Tools:
      if (helloComplete) return HandleToolsChunk(plaintext);
      break;
    case SealedKind::Input:
      if (isHost() && helloComplete) {
        if (plaintext.size() > kInputMessageLimit) Fail("input limit");
        return HandleInput(ParseMessage(std::span<const std::uint8_t>(plaintext)));
      }
      break;
    case SealedKind::Frame:
      if (!isHost() && helloComplete) return HandleFrame(plaintext);
      break;
    case SealedKind::Binding:
      break;
  }
  Fail("wrong direction");
}

void PeerSession::ExpireIndicators(std::uint64_t now) {
  if (inputNoticeUntil_ != 0 && now >= inputNoticeUntil_) {
    inputNoticeUntil_ = 0;
    owner_.Repaint();
  }
}

void PeerSession::Tick(std::uint64_t now) {
  try {
    if (!isHost()) frames_.Update(now);
    control_.ControlTick();
  } catch (const std::exception&) {
    owner_.EndSession(kStatusClosed);
  }
}

void PeerSession::OnDisplayChange() {
  if (isHost() && control_.helloComplete()) {
    control_.ReselectDisplay(0, control_.profile(), /*reenumerate=*/true);
  }
}

bool PeerSession::SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) {
  return owner_.SendSealed(kind, std::move(plaintext));
}

// The capture-and-stream thread is not part of this build: the session keeps the target it was
// asked to stream, and a new request replaces it.
void PeerSession::StopStreaming() { stream_.reset(); }

void PeerSession::StartStreaming(const DisplayInfo& display, std::int32_t epoch,
                                 std::int32_t profile) {
  StopStreaming();
  stream_ = StreamTarget{display, epoch, profile};
}

// Input injection is not part of this build, so nothing is ever held for the viewer.
void PeerSession::ReleaseHeldInput() {}

void PeerSession::ShowInputNotice(std::uint64_t until) {
  inputNoticeUntil_ = until;
  owner_.Repaint();
}

// Without clipboard tracking, a pending paste or running transfers in this build, a change of
// the peer's permissions has nothing to stop; PeerControl has recorded the new permissions.
void PeerSession::PeerPermissionsChanged(bool /*filesChanged*/, bool /*clipboardChanged*/) {}

// No session tools in this build: every message PeerControl does not know is unknown.
bool PeerSession::HandleToolsMessage(const Json& /*message*/) { return false; }

// An input event is bounded and parsed by Dispatch; injecting it is not part of this build.
void PeerSession::HandleInput(const Json& event) {
  if (!event.is_object()) Fail("input event");
}

// Decoding and showing frames is not part of this build: a frame is counted for the figures.
void PeerSession::HandleFrame(const std::vector<std::uint8_t>& frame) { frames_.Count(frame.size()); }

// No transfer is ever accepted in this build, so a chunk can never belong to one.
void PeerSession::HandleToolsChunk(const std::vector<std::uint8_t>& /*chunk*/) {
  Fail("file chunk without local acceptance");
}

}  // namespace ov
