#include "app/peer_session.h"

#include <algorithm>
#include <cmath>
#include <span>

#include "base/json_codec.h"
#include "base/protocol_error.h"
#include "crypto/crypto_session.h"
#include "session/input_event.h"
#include "session/status_texts.h"
#include "update/service_config.h"

namespace ov {

PeerSession::PeerSession(bool isHost, SessionOwner& owner, Platform& platform,
                         const LocalPermissions& permissions, Clipboard& clipboard)
    : owner_(owner),
      platform_(platform),
      permissions_(permissions),
      control_(isHost, *this, permissions),
      display_(owner.NowMs()),
      tools_(owner, control_, permissions, clipboard, *this),
      filesGate_(control_, permissions),
      files_(owner, platform.Files(), filesGate_, kServiceZoneOrigin) {}

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
      // The session tools are up from here: the pages that show them (the chat boxes are
      // native windows) are laid out, not only repainted.
      if (!helloComplete && control_.helloComplete()) owner_.RequestLayout();
      return;
    }
    case SealedKind::Tools:
      if (helloComplete) return files_.HandleChunk(plaintext);
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
    tools_.Tick(now);
    files_.Tick(now);
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
  params.regionFrames = control_.regionFrames();
  streamOutput_ = std::make_unique<StreamOutput>(owner_, owner_.ConnectionGeneration());
  streamThread_ = std::make_unique<StreamThread>(
      std::move(params), [this] { return platform_.CreateCapturer(); }, CreateSteadyStreamClock(),
      *streamOutput_,
      StreamCounters{control_.framesSent(), control_.ackedSequence(), &control_.wholePictureRequested()});
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

// Only a host injects; a viewer's session end leaves the process's injector alone.
void PeerSession::ReleaseHeldInput() {
  if (isHost()) platform_.Injector().ReleaseHeld();
}

void PeerSession::SetLocalModal(bool open) {
  localModal_ = open;
  if (open) ReleaseHeldInput();
}

bool PeerSession::LocalAnswerPending() const noexcept {
  return localModal_ || tools_.clipboardRequestPending() || files_.pendingOffer().has_value();
}

const std::string& PeerSession::toolsStatus() const {
  return files_.statusStamp() > tools_.toolsStatusStamp() ? files_.status() : tools_.toolsStatus();
}

void PeerSession::LocalPermissionsChanged(const LocalPermissions& before) {
  if (before.control && !permissions_.control) ReleaseHeldInput();
  if (before.files != permissions_.files) files_.LocalPermissionChanged();
  if (before.clipboard != permissions_.clipboard) {
    tools_.LocalClipboardPermissionChanged([this] { control_.SendPermissions(); });
  } else {
    control_.SendPermissions();
  }
}

bool PeerSession::RemoteControlInForce() const noexcept {
  return isHost() && permissions_.control && !LocalAnswerPending();
}

void PeerSession::ReportLocalOnly() {
  if (!isHost() || !control_.helloComplete() || !control_.peerInputStatus()) return;
  const std::uint64_t now = owner_.NowMs();
  if (localOnlyReported_ && now - lastLocalOnlyReport_ < 1000) return;
  localOnlyReported_ = true;
  lastLocalOnlyReport_ = now;
  control_.SendControl(Json{{"op", "inputStatus"}, {"localOnly", true}, {"error", 0}});
  // The viewer takes the 0 as the input status: a failure after this is news to it again.
  lastReportedInput_ = 0;
}

void PeerSession::ShowInputNotice(std::uint64_t until) {
  inputNoticeUntil_ = until;
  owner_.Repaint();
}

// PeerControl has recorded the new permissions; the tools act on what changed.
void PeerSession::PeerPermissionsChanged(bool filesChanged, bool clipboardChanged) {
  if (clipboardChanged) tools_.PeerClipboardPermissionChanged();
  if (filesChanged) files_.PeerPermissionChanged();
}

// Control messages PeerControl does not know go to the session tools. A request that now waits
// for the local user releases the input held for the peer before the prompt shows. The window is
// laid out after every message that leaves one waiting: a clipboard request that arrives while a
// file prompt shows takes that prompt's place, and its buttons must not stay where the file
// prompt's were until something else repaints.
bool PeerSession::HandleToolsMessage(const Json& message) {
  const bool waiting = LocalAnswerPending();
  if (tools_.HandleMessage(message) || files_.HandleMessage(message)) {
    if (LocalAnswerPending()) {
      if (!waiting) ReleaseHeldInput();
      owner_.RequestLayout();
    }
    return true;
  }
  return false;
}

// One validated event is injected on the shared display, unless the local user does not allow
// control, it belongs to another display epoch, or something local waits for an answer; those
// are dropped without a trace. Injection failures only change the reported code.
void PeerSession::HandleInput(const Json& message) {
  const InputEvent event = ParseInputEvent(message);
  const auto selected = static_cast<std::size_t>(control_.selectedDisplay());
  if (!permissions_.control || event.epoch != control_.epoch() || LocalAnswerPending() ||
      control_.selectedDisplay() < 0 || selected >= control_.displays().size()) {
    return;
  }
  const InjectResult result = platform_.Injector().Inject(control_.displays()[selected], event);
  if (!control_.peerInputStatus()) return;
  const std::uint32_t code = result.ok ? 0 : result.code;
  if (code == lastReportedInput_) return;
  const std::uint64_t now = owner_.NowMs();
  if (now - lastInputReport_ <= 999) return;  // a later event reports it
  control_.SendControl(Json{{"op", "inputStatus"}, {"error", code}});
  lastReportedInput_ = code;
  lastInputReport_ = now;
}

// Viewer. Nothing is sent before the hello exchange or while the host does not allow control.
void PeerSession::SendInputEvent(InputAction action, std::int32_t x, std::int32_t y,
                                 std::int32_t button, std::int32_t key) {
  if (isHost() || !control_.helloComplete() || !control_.peerControl()) return;
  const InputEvent event{action, x, y, button, key, control_.epoch()};
  const std::string text = SerializeMessage(InputEventJson(event));
  if (!owner_.SendSealed(static_cast<std::uint8_t>(SealedKind::Input),
                         std::vector<std::uint8_t>(text.begin(), text.end()))) {
    owner_.PostEndEvent(owner_.ConnectionGeneration(), kInputSendFailed);
  }
}

void PeerSession::SendPointer(InputAction action, ClientPoint point, const ViewRect& area,
                              std::int32_t button, std::int32_t key) {
  if (isHost() || !display_.picture() || LocalAnswerPending()) return;
  const std::optional<ViewRect> placed = display_.Layout(area);
  if (!placed) return;
  const ViewRect& r = *placed;
  const bool inPicture = point.x >= r.x && point.x < r.x + r.width && point.y >= r.y &&
                         point.y < r.y + r.height;
  const bool inArea = point.x >= area.x && point.x < area.x + area.width && point.y >= area.y &&
                      point.y < area.y + area.height;
  if (!(inPicture && inArea) && action != InputAction::Up) return;
  auto scale = [](float offset, float extent) {
    const double v = static_cast<double>(offset) / std::max(static_cast<double>(extent), 1.0) *
                     kInputCoordinateMax;
    return static_cast<std::int32_t>(std::clamp(std::trunc(v), 0.0, double{kInputCoordinateMax}));
  };
  SendInputEvent(action, scale(point.x - r.x, r.width), scale(point.y - r.y, r.height), button,
                 key);
}

void PeerSession::ZoomStep(const ViewRect& area, float factor) {
  if (factor > 1.0f ? display_.ZoomIn(area) : display_.ZoomOut(area)) owner_.Repaint();
}

void PeerSession::Pan(const ViewRect& area, float dx, float dy) {
  display_.PanBy(area, dx, dy);
  owner_.Repaint();
}

// One frame of the host's stream: decoded into the latest picture and acknowledged, or dropped
// when it belongs to another display epoch.
void PeerSession::HandleFrame(const std::vector<std::uint8_t>& frame) {
  if (control_.regionFrames() && IsRegionFrameMessage(frame)) return HandleRegionFrame(frame);
  const std::optional<FrameHeader> header =
      display_.Receive(frame, static_cast<std::uint32_t>(control_.epoch()));
  if (!header) return;
  control_.SendControl(Json{{"op", "frameAck"}, {"epoch", header->epoch}, {"seq", header->seq}});
  owner_.Repaint();
}

// A region frame (both ends announced them): composed onto the latest picture, acknowledged, and
// followed by a request for a whole picture when there was none to compose onto. Only what shows
// the changed area is repainted, unless the picture came or changed size (the layout moves then).
void PeerSession::HandleRegionFrame(const std::vector<std::uint8_t>& frame) {
  const auto& picture = display_.picture();
  const bool had = picture.has_value();
  const int width = had ? picture->width : 0;
  const int height = had ? picture->height : 0;
  const auto receipt = display_.ReceiveRegions(frame, static_cast<std::uint32_t>(control_.epoch()));
  if (!receipt) return;
  control_.SendControl(
      Json{{"op", "frameAck"}, {"epoch", receipt->header.epoch}, {"seq", receipt->header.seq}});
  if (receipt->needFull) control_.SendFrameRequest();
  const RegionRect& changed = receipt->changed;
  if (changed.width <= 0) return;
  if (had && picture && picture->width == width && picture->height == height) {
    owner_.RepaintPictureArea(changed.x, changed.y, changed.width, changed.height);
  } else {
    owner_.Repaint();
  }
}

}  // namespace ov
