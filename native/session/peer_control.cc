#include "session/peer_control.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "base/protocol_error.h"
#include "session/status_texts.h"

namespace ov {
namespace {

constexpr std::uint64_t kPingIntervalMs = 3000;
constexpr std::uint64_t kInputNoticeMs = 6000;
constexpr std::int64_t kMaxRoundTripMs = 99999;
constexpr std::size_t kMaxBuildLength = 24;
constexpr std::int32_t kMaxInt = std::numeric_limits<std::int32_t>::max();

// A member that must be a JSON boolean; `reason` when it is not (absent included).
bool RequireBool(const Json& message, const char* name, const char* reason) {
  auto it = message.find(name);
  if (it == message.end() || !it->is_boolean()) Fail(reason);
  return it->get<bool>();
}

// A required boolean field: a missing one or one of another type is the library's error.
bool BoolField(const Json& message, const char* name) { return message.at(name).get<bool>(); }

// A member that must be a non-negative JSON integer (floating-point numbers are refused).
std::uint64_t RequireUnsigned(const Json& message, const char* name, const char* reason) {
  auto it = message.find(name);
  if (it == message.end() || !it->is_number_integer()) Fail(reason);
  if (it->is_number_unsigned()) return it->get<std::uint64_t>();
  const auto value = it->get<std::int64_t>();
  if (value < 0) Fail(reason);
  return static_cast<std::uint64_t>(value);
}

bool IsBuildText(const std::string& build) {
  if (build.empty() || build.size() > kMaxBuildLength) return false;
  return std::all_of(build.begin(), build.end(),
                     [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

Json Op(const char* name) {
  Json message = Json::object();
  message["op"] = name;
  return message;
}

}  // namespace

PeerControl::PeerControl(bool isHost, PeerControlDelegate& delegate, const LocalPermissions& local)
    : isHost_(isHost), delegate_(delegate), local_(local) {}

void PeerControl::EnumerateOwnDisplays() {
  displays_ = delegate_.EnumerateDisplays();
  if (displays_.size() > kMaxDisplays) displays_.resize(kMaxDisplays);
}

void PeerControl::Start() {
  epoch_ = 1;
  selected_ = 0;
  framesSent_ = 0;
  ackedSequence_ = 0;
  wholePictureRequested_ = false;
  EnumerateOwnDisplays();
  if (displays_.empty()) Fail("no display");
}

void PeerControl::SendHello(const char* op) {
  Json message = Op(op);
  message["version"] = kControlProtocolVersion;
  message["build"] = kProgramBuild;
  message["captureStatus"] = true;
  message["inputStatus"] = true;
  message["clipboardSync"] = true;
  if (announceRegions_) message["regionFrames"] = true;
  Json screens = Json::array();
  for (const DisplayInfo& display : displays_) {
    const ScreenInfo s = ToScreenInfo(display);
    Json entry = Json::object();
    entry["width"] = s.width;
    entry["height"] = s.height;
    entry["hz"] = s.hz;
    entry["primary"] = s.primary;
    screens.push_back(std::move(entry));
  }
  message["screens"] = std::move(screens);
  message["epoch"] = epoch_;
  message["selected"] = selected_;
  message["profile"] = profile_;
  SendControl(PermissionsFields(std::move(message)));
}

Json PeerControl::PermissionsFields(Json message) const {
  message["control"] = isHost_ ? local_.control : false;
  message["files"] = local_.files;
  message["clipboard"] = local_.clipboard;
  return message;
}

void PeerControl::SendControl(const Json& message) {
  const std::string text = SerializeMessage(message);
  if (text.size() > kControlMessageLimit) Fail("feature send");
  if (!delegate_.SendSealed(4, std::vector<std::uint8_t>(text.begin(), text.end()))) {
    Fail("feature send");
  }
}

void PeerControl::HandleControl(const Json& message) {
  const std::string op = message.at("op").get<std::string>();
  if (isHost_ && op == "helloAck") return HandleHelloAck(message);
  if (!isHost_ && (op == "hello" || op == "screen")) return HandleHello(message, op == "screen");
  if (!helloComplete_) Fail("features before hello");

  if (op == "clipboardAck") {
    // Defined by the clipboard tool; only a viewer may receive it.
    if (isHost_) Fail("clipboard acknowledgement");
  } else if (op == "inputStatus" && !isHost_) {
    return HandleInputStatus(message);
  } else if (op == "captureStatus" && !isHost_) {
    return HandleCaptureStatus(message);
  } else if (op == "releaseInput" && isHost_) {
    delegate_.ReleaseHeldInput();
    return;
  } else if (op == "permissions") {
    return HandlePermissions(message);
  } else if (op == "selectDisplay" && isHost_) {
    const auto count = static_cast<std::int32_t>(displays_.size());
    const std::int32_t selected = RequireInt(message, "selected", 0, count - 1);
    const std::int32_t profile = RequireInt(message, "profile", 0, 3);
    return ReselectDisplay(selected, profile, false);
  } else if (op == "frameAck" && isHost_) {
    return HandleFrameAck(message);
  } else if (op == "frameRequest" && isHost_) {
    return HandleFrameRequest(message);
  } else if (op == "ping") {
    Json pong = Op("pong");
    pong["token"] = RequireUnsigned(message, "token", "input number");
    return SendControl(pong);
  } else if (op == "pong") {
    return HandlePong(message);
  }
  if (!delegate_.HandleToolsMessage(message)) Fail("unknown feature");
}

void PeerControl::HandleHello(const Json& message, bool isScreen) {
  RequireInt(message, "version", kControlProtocolVersion, kControlProtocolVersion);
  if (isScreen != helloComplete_) Fail("payload version");

  const Json& list = message.at("screens");
  if (!list.is_array() || list.empty() || list.size() > kMaxDisplays) Fail("display list");
  std::vector<ScreenInfo> screens;
  screens.reserve(list.size());
  for (const Json& entry : list) {
    ScreenInfo s;
    s.width = RequireInt(entry, "width", 1, 32768);
    s.height = RequireInt(entry, "height", 1, 32768);
    s.hz = RequireInt(entry, "hz", 1, 1000);
    s.primary = BoolField(entry, "primary");
    screens.push_back(s);
  }

  const std::int32_t epoch = RequireInt(message, "epoch", 1, kMaxInt);
  if (isScreen && epoch <= epoch_) Fail("stale display");
  const auto count = static_cast<std::int32_t>(screens.size());
  const std::int32_t selected = RequireInt(message, "selected", 0, count - 1);
  const std::int32_t profile = RequireInt(message, "profile", 0, 3);
  const bool control = BoolField(message, "control");
  const bool files = BoolField(message, "files");
  const bool clipboard = BoolField(message, "clipboard");
  ReadCapabilities(message);

  epoch_ = epoch;
  selected_ = selected;
  profile_ = profile;
  peerControl_ = control;
  peerFiles_ = files;
  peerClipboard_ = clipboard;
  screens_ = std::move(screens);
  delegate_.DropPicture(/*newStream=*/true);
  captureStatus_ = CaptureStatus{};

  if (!isScreen) {
    helloComplete_ = true;
    lastPingSent_ = delegate_.NowMs();
    delegate_.ClearPairingDeadline();
    Json ack = Op("helloAck");
    ack["version"] = kControlProtocolVersion;
    ack["build"] = kProgramBuild;
    ack["captureStatus"] = true;
    ack["inputStatus"] = true;
    ack["clipboardSync"] = true;
    if (announceRegions_) ack["regionFrames"] = true;
    ack["files"] = local_.files;
    ack["clipboard"] = local_.clipboard;
    SendControl(ack);
  }
  delegate_.ShowStatus(kStatusEncrypted);
}

void PeerControl::HandleHelloAck(const Json& message) {
  if (helloComplete_) Fail("hello acknowledgement");
  RequireInt(message, "version", kControlProtocolVersion, kControlProtocolVersion);
  const bool files = BoolField(message, "files");
  const bool clipboard = BoolField(message, "clipboard");
  ReadCapabilities(message);
  peerFiles_ = files;
  peerClipboard_ = clipboard;
  helloComplete_ = true;
  lastPingSent_ = delegate_.NowMs();
  delegate_.ClearPairingDeadline();
  framesSent_ = 0;
  ackedSequence_ = 0;
  wholePictureRequested_ = false;
  delegate_.StartStreaming(displays_.at(static_cast<std::size_t>(selected_)), epoch_, profile_);
}

void PeerControl::ReadCapabilities(const Json& message) {
  peerClipboardSync_ = false;
  peerInputStatus_ = false;
  peerCaptureStatus_ = false;
  peerRegionFrames_ = false;
  peerBuild_.clear();
  if (message.contains("clipboardSync")) {
    peerClipboardSync_ = RequireBool(message, "clipboardSync", "clipboard capability");
  }
  if (message.contains("inputStatus")) {
    peerInputStatus_ = RequireBool(message, "inputStatus", "input capability");
  }
  if (message.contains("captureStatus")) {
    peerCaptureStatus_ = RequireBool(message, "captureStatus", "capture capability");
  }
  if (message.contains("regionFrames")) {
    peerRegionFrames_ = RequireBool(message, "regionFrames", "region capability");
  }
  if (message.contains("build")) {
    const Json& build = message["build"];
    if (!build.is_string()) Fail("build type");
    std::string text = build.get<std::string>();
    if (!IsBuildText(text)) Fail("build format");
    peerBuild_ = std::move(text);
  }
}

void PeerControl::HandleInputStatus(const Json& message) {
  if (!peerInputStatus_) Fail("input status");
  const std::uint64_t error = RequireUnsigned(message, "error", "input status");
  if (error > 4294967295ULL) Fail("input error bound");
  bool localOnly = false;
  if (message.contains("localOnly")) localOnly = RequireBool(message, "localOnly", "input notice");
  inputError_ = static_cast<std::uint32_t>(error);
  if (localOnly) delegate_.ShowInputNotice(delegate_.NowMs() + kInputNoticeMs);
}

void PeerControl::HandleCaptureStatus(const Json& message) {
  if (!peerCaptureStatus_) Fail("unnegotiated capture status");
  const std::int32_t epoch = RequireInt(message, "epoch", 1, kMaxInt);
  if (epoch != epoch_) return;  // a status of an earlier display choice
  const std::int32_t backend = RequireInt(message, "backend", 0, 2);
  const bool black = RequireBool(message, "black", "capture status type");
  const bool desktop = RequireBool(message, "desktop", "capture status type");
  const std::uint64_t error = RequireUnsigned(message, "error", "capture status type");
  if (error > 4294967295ULL) Fail("capture error bound");
  captureStatus_ = CaptureStatus{backend, black, desktop, static_cast<std::uint32_t>(error)};
  if (!desktop) delegate_.DropPicture(/*newStream=*/false);
}

void PeerControl::HandlePermissions(const Json& message) {
  const bool control = BoolField(message, "control");
  const bool files = BoolField(message, "files");
  const bool clipboard = BoolField(message, "clipboard");
  const bool filesChanged = files != peerFiles_;
  const bool clipboardChanged = clipboard != peerClipboard_;
  peerFiles_ = files;
  peerClipboard_ = clipboard;
  if (!isHost_) peerControl_ = control;
  if (filesChanged || clipboardChanged) delegate_.PeerPermissionsChanged(filesChanged, clipboardChanged);
}

void PeerControl::HandleFrameAck(const Json& message) {
  const std::int32_t epoch = RequireInt(message, "epoch", 1, kMaxInt);
  const std::int32_t seq = RequireInt(message, "seq", 1, kMaxInt);
  if (epoch != epoch_) return;
  if (seq > framesSent_.load()) Fail("frame acknowledgement");
  std::int32_t acked = ackedSequence_.load();
  while (seq > acked && !ackedSequence_.compare_exchange_weak(acked, seq)) {
  }
}

void PeerControl::HandlePong(const Json& message) {
  const std::uint64_t token = RequireUnsigned(message, "token", "input number");
  if (!pingSent_ || token != lastPingToken_) return;
  const std::uint64_t now = delegate_.NowMs();
  if (now < token) return;  // the clock went back past the ping
  roundTripMs_ = static_cast<std::int64_t>(
      std::min<std::uint64_t>(now - token, static_cast<std::uint64_t>(kMaxRoundTripMs)));
}

void PeerControl::ReselectDisplay(std::int32_t index, std::int32_t profile, bool reenumerate) {
  if (!helloComplete_) return;
  delegate_.StopStreaming();
  delegate_.ReleaseHeldInput();
  delegate_.RemoveQueuedFrames();
  if (reenumerate) EnumerateOwnDisplays();
  if (displays_.empty()) Fail("no display");
  profile_ = profile;
  if (epoch_ == kMaxInt) Fail("display epoch exhausted");
  ++epoch_;
  selected_ = std::clamp(index, 0, static_cast<std::int32_t>(displays_.size()) - 1);
  framesSent_ = 0;
  ackedSequence_ = 0;
  wholePictureRequested_ = false;
  SendHello("screen");
  delegate_.StartStreaming(displays_[static_cast<std::size_t>(selected_)], epoch_, profile_);
}

void PeerControl::SendPermissions() {
  if (!helloComplete_) return;
  SendControl(PermissionsFields(Op("permissions")));
}

void PeerControl::SendSelectDisplay(std::int32_t index, std::int32_t profile) {
  if (!helloComplete_ || isHost_) return;
  Json message = Op("selectDisplay");
  message["selected"] = index;
  message["profile"] = profile;
  SendControl(message);
}

void PeerControl::SendReleaseInput() {
  if (!helloComplete_ || isHost_) return;
  try {
    SendControl(Op("releaseInput"));
  } catch (const ProtocolError&) {
    // Losing focus must not end the session; the host releases held input at session end anyway.
  }
}

void PeerControl::ControlTick() {
  if (!helloComplete_) return;
  const std::uint64_t now = delegate_.NowMs();
  if (now - lastPingSent_ < kPingIntervalMs && now >= lastPingSent_) return;
  lastPingSent_ = now;
  lastPingToken_ = now;
  pingSent_ = true;
  Json ping = Op("ping");
  ping["token"] = now;
  SendControl(ping);
}

void PeerControl::HandleFrameRequest(const Json& message) {
  if (!regionFrames()) Fail("unnegotiated region frames");
  const std::int32_t epoch = RequireInt(message, "epoch", 1, kMaxInt);
  // A request for an earlier stream is met already: every stream starts with a whole picture.
  if (epoch != epoch_) return;
  wholePictureRequested_.store(true);
}

void PeerControl::SendFrameRequest() {
  Json request = Op("frameRequest");
  request["epoch"] = epoch_;
  SendControl(request);
}

}  // namespace ov
