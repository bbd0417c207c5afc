// The peer session on its own, synchronously: a recording owner, the fake platform and a clock
// that the test moves. The other end of the protocol is played by hand.
#include "app/peer_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "app/testing/fake_platform.h"
#include "app/testing/recording_window.h"
#include "tools/testing/fake_clipboard.h"
#include "base/protocol_error.h"
#include "crypto/crypto_session.h"
#include "screen/frame_message.h"
#include "screen/jpeg_codec.h"
#include "screen/stream_thread.h"
#include "screen/region_frame.h"
#include "session/status_texts.h"

namespace ov {
namespace {

constexpr std::uint8_t kFrame = static_cast<std::uint8_t>(SealedKind::Frame);
constexpr std::uint8_t kInput = static_cast<std::uint8_t>(SealedKind::Input);
constexpr std::uint8_t kBinding = static_cast<std::uint8_t>(SealedKind::Binding);
constexpr std::uint8_t kControl = static_cast<std::uint8_t>(SealedKind::Control);
constexpr std::uint8_t kTools = static_cast<std::uint8_t>(SealedKind::Tools);

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// Records what the session asks of its owner. The host's stream thread calls SendSealed and
// PostEndEvent, so those are locked and can be waited for.
class RecordingOwner final : public SessionOwner {
 public:
  bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (refuseSends) return false;
    if (kind == kFrame) {
      frames_.push_back(ReadFrameHeader(plaintext));
    } else if (kind == kInput) {
      inputs.push_back(ParseMessage(std::span<const std::uint8_t>(plaintext)));
    } else {
      EXPECT_EQ(kind, kControl);
      Json message = ParseMessage(std::span<const std::uint8_t>(plaintext));
      if (message.value("op", "") == "captureStatus") {
        statusReports_.push_back(std::move(message));
      } else {
        sent.push_back(std::move(message));
      }
    }
    cv_.notify_all();
    return true;
  }
  std::uint32_t ConnectionGeneration() override { return generation; }
  void PostEndEvent(std::uint32_t g, const std::string& reason) override {
    std::lock_guard<std::mutex> lock(mutex_);
    endEvents_.push_back({g, reason});
    cv_.notify_all();
  }
  void RemoveQueuedFrames() override { ++framesRemoved; }
  std::uint64_t NowMs() override { return now; }
  void ShowStatus(const std::string& status) override { statuses.push_back(status); }
  void RequestLayout() override { ++layouts; }
  void Repaint() override { ++repaints; }
  void RepaintPictureArea(int x, int y, int width, int height) override {
    pictureAreas.push_back(RegionRect{x, y, width, height});
  }
  void DropRemotePicture() override { ++picturesDropped; }
  void ClearPairingDeadline() override { ++deadlinesCleared; }
  void EndSession(const std::string& status) override { endedWith.push_back(status); }

  // Waits (up to 20 s) until `done` holds for the frames queued so far.
  bool WaitForFrames(const std::function<bool(const std::vector<FrameHeader>&)>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return done(frames_); });
  }
  bool WaitForEnd() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return !endEvents_.empty(); });
  }
  std::vector<FrameHeader> Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  std::vector<Json> StatusReports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusReports_;
  }
  std::vector<std::pair<std::uint32_t, std::string>> EndEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    return endEvents_;
  }

  std::uint64_t now = 1000000;
  std::uint32_t generation = 41;
  std::atomic<bool> refuseSends{false};
  std::vector<Json> sent;  // control messages other than the stream's status reports
  std::vector<Json> inputs;  // input events (viewer)
  std::vector<std::string> statuses;
  std::vector<std::string> endedWith;
  int framesRemoved = 0;
  int layouts = 0;
  int repaints = 0;
  std::vector<RegionRect> pictureAreas;  // partial repaints
  int picturesDropped = 0;
  int deadlinesCleared = 0;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<FrameHeader> frames_;
  std::vector<Json> statusReports_;
  std::vector<std::pair<std::uint32_t, std::string>> endEvents_;
};

std::string Hello() {
  return SerializeMessage(
      {{"op", "hello"}, {"version", 3}, {"build", "0.3.9"}, {"captureStatus", true},
       {"inputStatus", true}, {"clipboardSync", true},
       {"screens", Json::array({{{"width", 1920}, {"height", 1080}, {"hz", 60}, {"primary", true}}})},
       {"epoch", 1}, {"selected", 0}, {"profile", 0}, {"control", true}, {"files", true},
       {"clipboard", false}});
}

const std::string kHelloAck = SerializeMessage(
    {{"op", "helloAck"}, {"version", 3}, {"build", "0.3.9"}, {"captureStatus", true},
     {"inputStatus", true}, {"clipboardSync", true}, {"files", true}, {"clipboard", false}});

std::string Outcome(PeerSession& session, std::uint8_t kind, const std::string& plaintext) {
  try {
    session.Dispatch(kind, Bytes(plaintext));
  } catch (const std::exception& e) {
    return e.what();
  }
  return "accepted";
}

class PeerSessionTest : public ::testing::Test {
 protected:
  RecordingOwner owner;
  testing::FakePlatform platform;
  LocalPermissions permissions;
  FakeClipboard clipboard;
};

std::string FrameAck(int epoch, int seq) {
  return SerializeMessage({{"op", "frameAck"}, {"epoch", epoch}, {"seq", seq}});
}

// The host streams the displays that the platform enumerated, device names included, from the
// acknowledgement of its hello: two frames, then only after an acknowledgement; a new display
// choice restarts the stream under a new epoch at seq 1, with the queued frames removed and no
// frame of the old epoch after the first of the new one.
TEST_F(PeerSessionTest, HostStreamsTheEnumeratedDisplays) {
  PeerSession host(/*isHost=*/true, owner, platform, permissions, clipboard);
  host.Start();
  host.SendHello();
  EXPECT_EQ(platform.enumerations, 1);
  ASSERT_EQ(owner.sent.size(), 1u);
  EXPECT_EQ(owner.sent[0].at("screens").size(), 2u);
  EXPECT_FALSE(host.stream().has_value()) << "nothing streams before the acknowledgement";
  EXPECT_TRUE(owner.Frames().empty());

  ASSERT_EQ(Outcome(host, kControl, kHelloAck), "accepted");
  ASSERT_TRUE(host.stream().has_value());
  EXPECT_EQ(host.stream()->display, platform.displays[0]);
  EXPECT_EQ(host.stream()->epoch, 1);
  EXPECT_EQ(owner.deadlinesCleared, 1);
  ASSERT_TRUE(owner.WaitForFrames([](const auto& f) { return f.size() >= 2; }));
  EXPECT_EQ(owner.Frames()[0], (FrameHeader{1, 1}));
  EXPECT_EQ(owner.Frames()[1], (FrameHeader{1, 2}));
  EXPECT_EQ(Outcome(host, kControl, FrameAck(1, 3)), "frame acknowledgement");
  ASSERT_EQ(Outcome(host, kControl, FrameAck(1, 2)), "accepted");
  ASSERT_TRUE(owner.WaitForFrames([](const auto& f) { return f.size() >= 3; }));
  EXPECT_EQ(owner.Frames()[2], (FrameHeader{1, 3}));

  ASSERT_EQ(Outcome(host, kControl, R"({"op":"selectDisplay","selected":1,"profile":2})"),
            "accepted");
  const std::size_t beforeRestart = owner.Frames().size();
  EXPECT_EQ(host.stream()->display.deviceName, L"\\\\.\\DISPLAY2");
  EXPECT_EQ(host.stream()->epoch, 2);
  EXPECT_EQ(host.stream()->profile, 2);
  EXPECT_EQ(owner.framesRemoved, 1);
  EXPECT_EQ(owner.sent.back().value("op", ""), "screen");
  ASSERT_TRUE(owner.WaitForFrames([&](const auto& f) { return f.size() >= beforeRestart + 2; }));
  const std::vector<FrameHeader> frames = owner.Frames();
  EXPECT_EQ(frames[beforeRestart], (FrameHeader{2, 1})) << "the old thread was joined before";
  EXPECT_EQ(frames[beforeRestart + 1], (FrameHeader{2, 2}));
  EXPECT_EQ(Outcome(host, kControl, FrameAck(1, 3)), "accepted") << "another epoch is ignored";
  // The viewer negotiated status reports: each stream reports under its own epoch.
  const std::vector<Json> reports = owner.StatusReports();
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports.front().at("epoch"), 1);
  EXPECT_EQ(reports.back().at("epoch"), 2);

  // The configuration changes: display 0 again, re-enumerated, under the next epoch.
  platform.displays.pop_back();
  host.OnDisplayChange();
  EXPECT_EQ(platform.enumerations, 2);
  EXPECT_EQ(host.stream()->display, platform.displays[0]);
  EXPECT_EQ(host.stream()->epoch, 3);
  EXPECT_EQ(platform.capturersMade.load() >= 2, true);
  EXPECT_TRUE(owner.EndEvents().empty());
}

// The hello exchange brings the session tools up on both ends; the window is laid out then, so
// that a page showing them (the Chat page's native boxes) places them, and not again for the
// control messages after it.
TEST_F(PeerSessionTest, TheHelloExchangeLaysTheWindowOut) {
  struct Case {
    bool host;
    std::string completes;  // the message that completes the exchange on this end
  };
  for (const Case& c : {Case{true, kHelloAck}, Case{false, Hello()}}) {
    SCOPED_TRACE(c.host ? "host" : "viewer");
    RecordingOwner end;
    PeerSession session(c.host, end, platform, permissions, clipboard);
    if (c.host) {
      session.Start();
      session.SendHello();
    }
    const int before = end.layouts;
    ASSERT_EQ(Outcome(session, kControl, c.completes), "accepted");
    EXPECT_EQ(end.layouts, before + 1);
    ASSERT_EQ(Outcome(session, kControl, R"({"op":"ping","token":7})"), "accepted");
    EXPECT_EQ(end.layouts, before + 1);
  }
}

// A stream that ends by itself posts its reason under the generation it was started on, and the
// session stays as it is until the owner acts on the event.
TEST_F(PeerSessionTest, AStreamThatEndsByItselfPostsItsEnd) {
  platform.capturerFactory = [] {
    auto capturer = std::make_unique<SyntheticCapturer>(SyntheticScene::Static);
    capturer->SetGiveUp(true);
    return capturer;
  };
  PeerSession host(/*isHost=*/true, owner, platform, permissions, clipboard);
  host.Start();
  host.SendHello();
  ASSERT_EQ(Outcome(host, kControl, kHelloAck), "accepted");
  owner.generation = 42;  // a later connection: the stream keeps the one it started on
  ASSERT_TRUE(owner.WaitForEnd());
  EXPECT_EQ(owner.EndEvents(),
            (std::vector<std::pair<std::uint32_t, std::string>>{{41, kStreamCaptureUnavailable}}));
  EXPECT_TRUE(owner.Frames().empty());
}

// Which sealed kinds each role takes, before and after the hello exchange.
TEST_F(PeerSessionTest, DispatchByKindRoleAndHello) {
  struct Case {
    bool host;
    bool helloDone;
    std::uint8_t kind;
    std::string plaintext;
    std::string outcome;
  };
  const std::string ping = R"({"op":"ping","token":7})";
  const std::vector<Case> cases = {
      {true, false, kControl, ping, "features before hello"},
      {true, false, kInput, "{}", "wrong direction"},
      {true, false, kTools, "chunk", "wrong direction"},
      {true, true, kInput, R"({"action":"move","x":1,"y":2,"button":1,"key":0,"epoch":1})",
       "accepted"},
      {true, true, kInput, R"({"t":"m"})", "input action"},
      {true, true, kInput, "[1]", "input event"},
      {true, true, kInput, std::string(1025, ' '), "input limit"},
      {true, true, kFrame, "jpeg", "wrong direction"},
      {true, true, kBinding, "id", "wrong direction"},
      {true, true, kTools, "chunk", "file chunk bounds"},
      {true, true, kTools, std::string(32, 'a') + std::string(8, '\0') + "x",
       "file chunk without local acceptance"},
      {true, true, kControl, std::string(48001, ' '), "control limit"},
      {true, true, kControl, R"({"op":"chat","text":"hi"})", "accepted"},
      {true, true, kControl, R"({"op":"teleport"})", "unknown feature"},
      {true, true, 9, "?", "wrong direction"},
      {false, false, kFrame, "jpeg", "wrong direction"},
      {false, true, kFrame, "jpeg", "frame header"},
      {false, true, kInput, "{}", "wrong direction"},
      {false, true, kControl, ping, "accepted"},
  };
  for (const Case& c : cases) {
    RecordingOwner fresh;
    PeerSession session(c.host, fresh, platform, permissions, clipboard);
    if (c.host) {
      session.Start();
      session.SendHello();
    }
    if (c.helloDone) {
      ASSERT_EQ(Outcome(session, kControl, c.host ? kHelloAck : Hello()), "accepted");
    }
    EXPECT_EQ(Outcome(session, c.kind, c.plaintext), c.outcome)
        << (c.host ? "host" : "viewer") << " hello " << c.helloDone << " kind " << int{c.kind};
  }
}

std::string TestFrame(std::uint32_t epoch, std::uint32_t seq) {
  static const std::vector<std::uint8_t> jpeg = [] {
    const std::vector<std::uint8_t> pixels(64 * 32 * 4, 0x80);
    return EncodeJpeg(PixelView{pixels.data(), 64, 32}, 70);
  }();
  std::vector<std::uint8_t> frame;
  BuildFrameMessage(FrameHeader{epoch, seq}, jpeg, frame);
  return std::string(frame.begin(), frame.end());
}

// Viewer: each decoded frame is acknowledged with its epoch and seq and becomes the picture; a
// frame of another epoch is dropped without an acknowledgement; the figures close a window once
// a second with a repaint; a locked desktop drops the picture, a new stream also resets the view.
TEST_F(PeerSessionTest, ViewerFramesAcknowledgementsAndFigures) {
  PeerSession viewer(/*isHost=*/false, owner, platform, permissions, clipboard);
  ASSERT_EQ(Outcome(viewer, kControl, Hello()), "accepted");
  owner.sent.clear();
  for (std::uint32_t seq = 1; seq <= 4; ++seq) {
    ASSERT_EQ(Outcome(viewer, kFrame, TestFrame(1, seq)), "accepted");
  }
  ASSERT_EQ(Outcome(viewer, kFrame, TestFrame(2, 5)), "accepted");
  ASSERT_EQ(owner.sent.size(), 4u);
  EXPECT_EQ(owner.sent[3], ParseMessage(FrameAck(1, 4)));
  ASSERT_TRUE(viewer.display().picture().has_value());
  EXPECT_EQ(viewer.display().picture()->width, 64);

  const int repaints = owner.repaints;
  viewer.Tick(owner.now + 999);
  EXPECT_EQ(viewer.display().figures().frames, 4u) << "the window is not over";
  viewer.Tick(owner.now + 2000);
  EXPECT_DOUBLE_EQ(viewer.display().figures().fps, 2.0);
  EXPECT_DOUBLE_EQ(viewer.display().figures().kBps, 4.0 * static_cast<double>(TestFrame(1, 1).size()) / 2000.0);
  EXPECT_EQ(owner.repaints, repaints + 1);
  const ViewerFigures figures = viewer.Figures(800);
  EXPECT_NE(ViewerStatusLine(figures).second.find("64 \xC3\x97 32"), std::string::npos);

  viewer.display().ZoomPreset(200);
  ASSERT_EQ(Outcome(viewer, kControl,
                    R"({"op":"captureStatus","epoch":1,"backend":1,"black":false,"desktop":false,"error":0})"),
            "accepted");
  EXPECT_FALSE(viewer.display().picture().has_value());
  EXPECT_FALSE(viewer.display().view().fit);
  EXPECT_EQ(ViewerStatusLine(viewer.Figures(800)).first, "Desktop unavailable or locked");
  ASSERT_EQ(Outcome(viewer, kFrame, TestFrame(1, 5)), "accepted");
  std::string screen = Hello();
  screen.replace(screen.find("\"hello\""), 7, "\"screen\"");
  screen.replace(screen.find("\"epoch\":1"), 9, "\"epoch\":2");
  ASSERT_EQ(Outcome(viewer, kControl, screen), "accepted");
  EXPECT_FALSE(viewer.display().picture().has_value());
  EXPECT_TRUE(viewer.display().view().fit);
  owner.sent.clear();
  ASSERT_EQ(Outcome(viewer, kFrame, TestFrame(1, 6)), "accepted");
  EXPECT_TRUE(owner.sent.empty()) << "the old epoch is dropped silently";
  ASSERT_EQ(Outcome(viewer, kFrame, TestFrame(2, 1)), "accepted");
  EXPECT_EQ(owner.sent.at(0), ParseMessage(FrameAck(2, 1)));
}

std::string RegionTestFrame(std::uint32_t seq, bool full) {
  const std::vector<std::uint8_t> pixels(64 * 32 * 4, 0x40);
  const auto jpeg = EncodeJpeg(PixelView{pixels.data(), full ? 64 : 16, full ? 32 : 16}, 70);
  RegionFrame frame;
  frame.header = FrameHeader{1, seq};
  frame.full = full;
  frame.width = 64;
  frame.height = 32;
  frame.parts.push_back(RegionPart{full ? RegionRect{0, 0, 64, 32} : RegionRect{16, 16, 16, 16}, jpeg});
  std::vector<std::uint8_t> out;
  EXPECT_TRUE(BuildRegionFrame(frame, out));
  return std::string(out.begin(), out.end());
}

// Viewer: region frames are taken only when the host announced them as well as the viewer; a change it cannot compose, for want of a picture, is acknowledged
// and followed by a request for a whole picture.
TEST_F(PeerSessionTest, ViewerRegionFramesAndRequestsForAWholePicture) {
  PeerSession old(/*isHost=*/false, owner, platform, permissions, clipboard);
  ASSERT_EQ(Outcome(old, kControl, Hello()), "accepted");
  EXPECT_EQ(owner.sent.at(0).value("regionFrames", false), true) << "the viewer's own announcement";
  EXPECT_FALSE(old.control().regionFrames()) << "the host did not announce them";
  EXPECT_EQ(Outcome(old, kFrame, RegionTestFrame(1, true)), "invalid image")
      << "without the capability a frame is a whole JPEG";

  owner.sent.clear();
  PeerSession viewer(/*isHost=*/false, owner, platform, permissions, clipboard);
  std::string hello = Hello();
  hello.replace(hello.find("\"screens\""), 0, "\"regionFrames\":true,");
  ASSERT_EQ(Outcome(viewer, kControl, hello), "accepted");
  EXPECT_TRUE(viewer.control().regionFrames());
  owner.sent.clear();
  ASSERT_EQ(Outcome(viewer, kFrame, RegionTestFrame(1, false)), "accepted");
  ASSERT_EQ(owner.sent.size(), 2u);
  EXPECT_EQ(owner.sent[0], ParseMessage(FrameAck(1, 1)));
  EXPECT_EQ(SerializeMessage(owner.sent[1]), R"({"epoch":1,"op":"frameRequest"})");
  EXPECT_FALSE(viewer.display().picture().has_value());

  owner.sent.clear();
  const int repaints = owner.repaints;
  ASSERT_EQ(Outcome(viewer, kFrame, RegionTestFrame(2, true)), "accepted");
  ASSERT_EQ(Outcome(viewer, kFrame, RegionTestFrame(3, false)), "accepted");
  EXPECT_EQ(owner.sent.size(), 2u) << "two acknowledgements, no request";
  EXPECT_EQ(owner.repaints, repaints + 1) << "the first picture: the whole window";
  EXPECT_EQ(owner.pictureAreas, (std::vector<RegionRect>{{16, 16, 16, 16}})) << "then only the change";
  ASSERT_TRUE(viewer.display().picture().has_value());
  EXPECT_EQ(viewer.display().pictureFrame(), (FrameHeader{1, 3}));
  // Whole frames are still taken.
  ASSERT_EQ(Outcome(viewer, kFrame, TestFrame(1, 4)), "accepted");
  std::string broken = RegionTestFrame(5, false);
  broken.push_back('\0');
  EXPECT_EQ(Outcome(viewer, kFrame, broken), "frame header");
}

// The local-only notice expires on its tick with a repaint.
TEST_F(PeerSessionTest, ViewerInputNoticeExpires) {
  PeerSession viewer(/*isHost=*/false, owner, platform, permissions, clipboard);
  ASSERT_EQ(Outcome(viewer, kControl, Hello()), "accepted");
  ASSERT_EQ(Outcome(viewer, kControl, R"({"op":"inputStatus","error":0,"localOnly":true})"),
            "accepted");
  EXPECT_EQ(viewer.inputNoticeUntil(), owner.now + 6000);
  EXPECT_EQ(ViewerStatusLine(viewer.Figures(800)).first, "This control requires the local user.");
  const int repaints = owner.repaints;
  viewer.ExpireIndicators(owner.now + 5999);
  EXPECT_NE(viewer.inputNoticeUntil(), 0u);
  viewer.ExpireIndicators(owner.now + 6000);
  EXPECT_EQ(viewer.inputNoticeUntil(), 0u);
  EXPECT_EQ(owner.repaints, repaints + 1);
}

// A ping that cannot be queued ends the session through the owner, after the call returns.
TEST_F(PeerSessionTest, APingThatCannotBeSentEndsTheSession) {
  PeerSession viewer(/*isHost=*/false, owner, platform, permissions, clipboard);
  ASSERT_EQ(Outcome(viewer, kControl, Hello()), "accepted");
  owner.refuseSends = true;
  owner.now += 2999;
  viewer.Tick(owner.now);
  EXPECT_TRUE(owner.endedWith.empty());
  owner.now += 1;
  EXPECT_NO_THROW(viewer.Tick(owner.now));
  EXPECT_EQ(owner.endedWith, std::vector<std::string>{kStatusClosed});
}

}  // namespace
}  // namespace ov

namespace ov {
namespace {

std::string InputEventText(const char* action, int x, int y, int button, int key, int epoch = 1) {
  return SerializeMessage(InputEventJson(
      InputEvent{*InputActionFromName(action), x, y, button, key, epoch}));
}

// Host: validated events are injected on the selected display, or dropped without a trace while
// control is off, a local dialog is open or the epoch is not the current one; the status is
// reported to a viewer that asked for it when it changes, at most once a second; held keys and
// buttons go up on "releaseInput", a local dialog and the session's end.
TEST_F(PeerSessionTest, HostInjectsAndReportsInput) {
  auto host = std::make_unique<PeerSession>(/*isHost=*/true, owner, platform, permissions, clipboard);
  host->Start();
  host->SendHello();
  ASSERT_EQ(Outcome(*host, kControl, kHelloAck), "accepted");
  owner.sent.clear();
  auto injected = [&] { return platform.input->Take(); };
  using Lines = std::vector<std::string>;

  ASSERT_EQ(Outcome(*host, kInput, InputEventText("move", 65535, 0, 1, 0)), "accepted");
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("keydown", 0, 0, 0, 65)), "accepted");
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("down", 32768, 65535, 1, 0)), "accepted");
  EXPECT_EQ(injected(), (Lines{"move 1919,0", "keydown 65", "move 960,1079", "mouse 2 0"}));
  EXPECT_TRUE(owner.sent.empty()) << "success after success is not reported";

  // Dropped: the previous epoch, a local dialog, control switched off.
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("keydown", 0, 0, 0, 66, 2)), "accepted");
  permissions.control = false;
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("keydown", 0, 0, 0, 66)), "accepted");
  permissions.control = true;
  host->SetLocalModal(true);
  EXPECT_EQ(injected(), (Lines{"keyup 65", "mouse 4 0"})) << "a local dialog releases";
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("keydown", 0, 0, 0, 66)), "accepted");
  EXPECT_FALSE(host->RemoteControlInForce());
  host->SetLocalModal(false);
  EXPECT_TRUE(host->RemoteControlInForce());
  EXPECT_TRUE(injected().empty());
  EXPECT_TRUE(owner.sent.empty());

  // The lock screen: code 5 once, not for every event; after a second, success again.
  platform.input->desktopActive = false;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Outcome(*host, kInput, InputEventText("keydown", 0, 0, 0, 67)), "accepted");
  }
  ASSERT_EQ(owner.sent.size(), 1u);
  EXPECT_EQ(owner.sent[0], Json({{"op", "inputStatus"}, {"error", 5}}));
  platform.input->desktopActive = true;
  owner.now += 500;
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("keydown", 0, 0, 0, 67)), "accepted");
  EXPECT_EQ(owner.sent.size(), 1u) << "within the second: reported by a later event";
  owner.now += 500;
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("keyup", 0, 0, 0, 67)), "accepted");
  ASSERT_EQ(owner.sent.size(), 2u);
  EXPECT_EQ(owner.sent[1], Json({{"op", "inputStatus"}, {"error", 0}}));

  // Another display: the events land on it; "releaseInput" lets go of what is held.
  ASSERT_EQ(Outcome(*host, kControl, R"({"op":"selectDisplay","selected":1,"profile":0})"),
            "accepted");
  injected();
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("down", 65535, 65535, 3, 0, 2)), "accepted");
  EXPECT_EQ(injected(), (Lines{"move 3199,1023", "mouse 32 0"}));
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("keydown", 0, 0, 0, 16, 2)), "accepted");
  ASSERT_EQ(Outcome(*host, kControl, R"({"op":"releaseInput"})"), "accepted");
  EXPECT_EQ(injected(), (Lines{"keydown 16", "keyup 16", "mouse 64 0"}));

  // The viewer's local-only notices: at most once a second. Each carries "error" 0, which the
  // viewer stores; so a failure after one is reported again, though it was reported before it.
  owner.sent.clear();
  platform.input->desktopActive = false;
  owner.now += 1000;
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("keydown", 0, 0, 0, 68, 2)), "accepted");
  host->ReportLocalOnly();
  host->ReportLocalOnly();
  owner.now += 1000;
  host->ReportLocalOnly();
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("keydown", 0, 0, 0, 68, 2)), "accepted");
  const Json lockScreen{{"op", "inputStatus"}, {"error", 5}};
  const Json localOnly{{"op", "inputStatus"}, {"localOnly", true}, {"error", 0}};
  EXPECT_EQ(owner.sent, (std::vector<Json>{lockScreen, localOnly, localOnly, lockScreen}));
  platform.input->desktopActive = true;

  // Clipboard text that waits for the local user's answer: what is held goes up, the window is
  // laid out for the prompt, remote input is dropped until the answer.
  permissions.clipboard = true;
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("keydown", 0, 0, 0, 17, 2)), "accepted");
  injected();
  const int layouts = owner.layouts;
  ASSERT_EQ(Outcome(*host, kControl, R"({"op":"clipboard","text":"secret"})"), "accepted");
  EXPECT_EQ(injected(), (Lines{"keyup 17"}));
  EXPECT_EQ(owner.layouts, layouts + 1);
  EXPECT_FALSE(host->RemoteControlInForce());
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("keydown", 0, 0, 0, 65, 2)), "accepted");
  EXPECT_TRUE(injected().empty());
  host->tools().DeclineClipboardRequest();
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("keydown", 0, 0, 0, 65, 2)), "accepted");
  EXPECT_EQ(injected(), (Lines{"keydown 65"}));

  // Switching control off releases; the session's end releases too.
  const LocalPermissions before = permissions;
  permissions.control = false;
  host->LocalPermissionsChanged(before);
  EXPECT_EQ(injected(), (Lines{"keyup 65"}));
  EXPECT_EQ(owner.sent.back().value("op", ""), "permissions");
  permissions.control = true;
  ASSERT_EQ(Outcome(*host, kInput, InputEventText("keydown", 0, 0, 0, 91, 2)), "accepted");
  injected();
  host.reset();
  EXPECT_EQ(injected(), (Lines{"keyup 91"}));
}

// Host: the window is laid out for every request that waits for the local user, also one that
// arrives while another prompt shows; the Files page shows the status set last, also when it
// repeats an earlier one.
TEST_F(PeerSessionTest, PromptsAndTheFilesPageFollowTheLatestRequest) {
  permissions.clipboard = true;
  PeerSession host(/*isHost=*/true, owner, platform, permissions, clipboard);
  host.Start();
  host.SendHello();
  ASSERT_EQ(Outcome(host, kControl, kHelloAck), "accepted");
  const std::string id(32, 'c');
  const std::string clipboardRequest = R"({"op":"clipboard","text":"secret"})";
  // Handles one control message; true when the window was laid out for it.
  auto laidOut = [&](const std::string& message) {
    const int before = owner.layouts;
    EXPECT_EQ(Outcome(host, kControl, message), "accepted") << message;
    return owner.layouts > before;
  };

  EXPECT_TRUE(laidOut(R"({"op":"clipboard","text":"first"})"));
  EXPECT_EQ(host.toolsStatus(), "Clipboard request");
  host.tools().DeclineClipboardRequest();
  EXPECT_TRUE(laidOut(R"({"op":"fileOffer","id":")" + id + R"(","name":"a.txt","size":10})"));
  EXPECT_EQ(host.toolsStatus(), "File request");
  EXPECT_TRUE(laidOut(clipboardRequest)) << "the clipboard prompt replaces the file prompt";
  EXPECT_EQ(host.toolsStatus(), "Clipboard request");
  EXPECT_TRUE(laidOut(R"({"op":"fileCancel","id":")" + id + R"("})"));
  EXPECT_EQ(host.toolsStatus(), "Cancelled");
  host.tools().DeclineClipboardRequest();
  EXPECT_TRUE(laidOut(clipboardRequest));
  EXPECT_EQ(host.toolsStatus(), "Clipboard request") << "the same text again is still the latest";
}

// Viewer: a pointer position maps through the picture's rectangle; outside it only a release is
// sent (clamped to the edge); nothing goes before a picture, without the host's control
// permission, and an event that cannot be queued ends the connection.
TEST_F(PeerSessionTest, ViewerSendsPointerAndKeysThroughTheView) {
  PeerSession viewer(/*isHost=*/false, owner, platform, permissions, clipboard);
  testing::StillInputWindow window;  // view area 1000 x 500 at y 52
  ViewerInput& input = viewer.input();
  ASSERT_EQ(Outcome(viewer, kControl, Hello()), "accepted");
  input.OnMouseMove(window, {500, 300}, 1000);
  EXPECT_TRUE(owner.inputs.empty()) << "no picture yet";

  ASSERT_EQ(Outcome(viewer, kFrame, TestFrame(1, 1)), "accepted");  // 64 x 32
  ASSERT_TRUE(viewer.display().ZoomPreset(200));  // 128 x 64 at (436, 270)
  input.OnMouseMove(window, {436, 270}, 2000);
  input.OnMouseMove(window, {500, 300}, 2005);  // throttled
  input.OnMouseMove(window, {563.9f, 333.9f}, 2011);
  input.OnMouseMove(window, {435, 270}, 2030);  // outside the picture: dropped
  EXPECT_TRUE(input.OnButtonDown(window, 2, {500, 302}, false));
  EXPECT_TRUE(window.captured);
  EXPECT_TRUE(input.OnButtonUp(window, 2, {0, 0}));  // released outside: still sent, clamped
  EXPECT_FALSE(window.captured);
  input.OnWheel(window, -120, false, {500, 302});
  input.OnKeyDown(window, 65, false, false, false);
  input.OnKeyUp(65);
  const std::vector<Json> expected = {
      ParseMessage(InputEventText("move", 0, 0, 1, 0)),
      ParseMessage(InputEventText("move", 65483, 65432, 1, 0)),
      ParseMessage(InputEventText("down", 32767, 32767, 2, 0)),
      ParseMessage(InputEventText("up", 0, 0, 2, 0)),
      ParseMessage(InputEventText("wheel", 32767, 32767, 0, -120)),
      ParseMessage(InputEventText("keydown", 0, 0, 0, 65)),
      ParseMessage(InputEventText("keyup", 0, 0, 0, 65)),
  };
  EXPECT_EQ(owner.inputs, expected);

  // Ctrl+wheel zooms the view instead.
  const int repaints = owner.repaints;
  input.OnWheel(window, 120, true, {500, 302});
  EXPECT_FLOAT_EQ(viewer.display().view().zoom, 2.5f);
  EXPECT_GT(owner.repaints, repaints);
  EXPECT_EQ(owner.inputs.size(), expected.size());

  // The host withdraws control: nothing is sent.
  ASSERT_EQ(Outcome(viewer, kControl,
                    R"({"op":"permissions","control":false,"files":true,"clipboard":false})"),
            "accepted");
  input.OnKeyDown(window, 66, false, false, false);
  EXPECT_EQ(owner.inputs.size(), expected.size());
  ASSERT_EQ(Outcome(viewer, kControl,
                    R"({"op":"permissions","control":true,"files":true,"clipboard":false})"),
            "accepted");
  owner.refuseSends = true;
  input.OnKeyDown(window, 66, false, false, false);
  EXPECT_EQ(owner.EndEvents(),
            (std::vector<std::pair<std::uint32_t, std::string>>{{41, "Input send failed"}}));
}

}  // namespace
}  // namespace ov
