#include "app/peer_session.h"

#include <span>

#include "base/json_codec.h"
#include "base/protocol_error.h"
#include "crypto/crypto_session.h"
#include "session/status_texts.h"

namespace ov {

PeerSession::PeerSession(bool isHost, SessionOwner& owner, Platform& platform,
                         const LocalPermissions& permissions)
    : owner_(owner),
      platform_(platform),
      control_(isHost, *this, permissions),
      display_(owner.NowMs()) {}

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
    if (!isHost() && display_.figures().Update(now)) owner_.Repaint();
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

void PeerSession::StopStreaming() {
  streamThread_.reset();  // stops and joins
  streamOutput_.reset();
  stream_.reset();
}

void PeerSession::StartStreaming(const DisplayInfo& display, std::int32_t epoch,
                                 std::int32_t profile) {
  StopStreaming();
  StreamParams params;
  params.display = display;
  params.epoch = static_cast<std::uint32_t>(epoch);
  params.profile = profile;
  params.statusEnabled = control_.peerCaptureStatus();
  streamOutput_ = std::make_unique<StreamOutput>(owner_, owner_.ConnectionGeneration());
  streamThread_ = std::make_unique<StreamThread>(
      std::move(params), [this] { return platform_.CreateCapturer(); }, CreateSteadyStreamClock(),
      *streamOutput_, StreamCounters{control_.framesSent(), control_.ackedSequence()});
  stream_ = StreamTarget{display, epoch, profile};
}

void PeerSession::DropPicture(bool newStream) {
  if (newStream) {
    display_.StartStream();
  } else {
    display_.DropPicture();
  }
  owner_.DropRemotePicture();
}

ViewerFigures PeerSession::Figures(float windowWidthDip) const {
  ViewerFigures f;
  f.fps = display_.figures().fps;
  f.kBps = display_.figures().kBps;
  f.roundTripMs = control_.roundTripMs();
  if (const auto& picture = display_.picture()) {
    f.hasPicture = true;
    f.pictureWidth = picture->width;
    f.pictureHeight = picture->height;
  }
  f.captureStatusNegotiated = control_.peerCaptureStatus();
  f.capture = control_.captureStatus();
  f.inputError = control_.inputError();
  f.controlNotice = inputNoticeUntil_ != 0;
  f.peerAllowsControl = control_.peerControl();
  f.peerBuild = control_.peerBuild();
  f.windowWidthDip = windowWidthDip;
  return f;
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

// One frame of the host's stream: decoded into the latest picture and acknowledged, or dropped
// when it belongs to another display epoch.
void PeerSession::HandleFrame(const std::vector<std::uint8_t>& frame) {
  const std::optional<FrameHeader> header =
      display_.Receive(frame, static_cast<std::uint32_t>(control_.epoch()));
  if (!header) return;
  control_.SendControl(Json{{"op", "frameAck"}, {"epoch", header->epoch}, {"seq", header->seq}});
  owner_.Repaint();
}

// No transfer is ever accepted in this build, so a chunk can never belong to one.
void PeerSession::HandleToolsChunk(const std::vector<std::uint8_t>& /*chunk*/) {
  Fail("file chunk without local acceptance");
}

}  // namespace ov
