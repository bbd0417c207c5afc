// The peer session on its own, synchronously: a recording owner, the fake platform and a clock
// that the test moves. The other end of the protocol is played by hand.
#include "app/peer_session.h"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "app/testing/fake_platform.h"
#include "base/protocol_error.h"
#include "crypto/crypto_session.h"
#include "session/status_texts.h"

namespace ov {
namespace {

constexpr std::uint8_t kFrame = static_cast<std::uint8_t>(SealedKind::Frame);
constexpr std::uint8_t kInput = static_cast<std::uint8_t>(SealedKind::Input);
constexpr std::uint8_t kBinding = static_cast<std::uint8_t>(SealedKind::Binding);
constexpr std::uint8_t kControl = static_cast<std::uint8_t>(SealedKind::Control);
constexpr std::uint8_t kTools = static_cast<std::uint8_t>(SealedKind::Tools);

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

class RecordingOwner final : public SessionOwner {
 public:
  bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) override {
    if (refuseSends) return false;
    EXPECT_EQ(kind, kControl);
    sent.push_back(ParseMessage(std::span<const std::uint8_t>(plaintext)));
    return true;
  }
  void RemoveQueuedFrames() override { ++framesRemoved; }
  std::uint64_t NowMs() override { return now; }
  void ShowStatus(const std::string& status) override { statuses.push_back(status); }
  void RequestLayout() override { ++layouts; }
  void Repaint() override { ++repaints; }
  void DropRemotePicture() override { ++picturesDropped; }
  void ClearPairingDeadline() override { ++deadlinesCleared; }
  void EndSession(const std::string& status) override { endedWith.push_back(status); }

  std::uint64_t now = 1000000;
  bool refuseSends = false;
  std::vector<Json> sent;
  std::vector<std::string> statuses;
  std::vector<std::string> endedWith;
  int framesRemoved = 0;
  int layouts = 0;
  int repaints = 0;
  int picturesDropped = 0;
  int deadlinesCleared = 0;
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
};

// The host streams the displays that the platform enumerated, device names included, and a new
// display choice restarts the stream under a new epoch with the queued frames removed.
TEST_F(PeerSessionTest, HostStreamsTheEnumeratedDisplays) {
  PeerSession host(/*isHost=*/true, owner, platform, permissions);
  host.Start();
  host.SendHello();
  EXPECT_EQ(platform.enumerations, 1);
  ASSERT_EQ(owner.sent.size(), 1u);
  EXPECT_EQ(owner.sent[0].at("screens").size(), 2u);
  EXPECT_FALSE(host.stream().has_value()) << "nothing streams before the acknowledgement";

  ASSERT_EQ(Outcome(host, kControl, kHelloAck), "accepted");
  ASSERT_TRUE(host.stream().has_value());
  EXPECT_EQ(host.stream()->display, platform.displays[0]);
  EXPECT_EQ(host.stream()->epoch, 1);
  EXPECT_EQ(owner.deadlinesCleared, 1);

  ASSERT_EQ(Outcome(host, kControl, R"({"op":"selectDisplay","selected":1,"profile":2})"),
            "accepted");
  EXPECT_EQ(host.stream()->display.deviceName, L"\\\\.\\DISPLAY2");
  EXPECT_EQ(host.stream()->epoch, 2);
  EXPECT_EQ(host.stream()->profile, 2);
  EXPECT_EQ(owner.framesRemoved, 1);
  EXPECT_EQ(owner.sent.back().value("op", ""), "screen");

  // The configuration changes: display 0 again, re-enumerated, under the next epoch.
  platform.displays.pop_back();
  host.OnDisplayChange();
  EXPECT_EQ(platform.enumerations, 2);
  EXPECT_EQ(host.stream()->display, platform.displays[0]);
  EXPECT_EQ(host.stream()->epoch, 3);
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
      {true, true, kInput, R"({"t":"m"})", "accepted"},
      {true, true, kInput, "[1]", "input event"},
      {true, true, kInput, std::string(1025, ' '), "input limit"},
      {true, true, kFrame, "jpeg", "wrong direction"},
      {true, true, kBinding, "id", "wrong direction"},
      {true, true, kTools, "chunk", "file chunk without local acceptance"},
      {true, true, kControl, std::string(48001, ' '), "control limit"},
      {true, true, kControl, R"({"op":"chat","text":"hi"})", "unknown feature"},
      {true, true, 9, "?", "wrong direction"},
      {false, false, kFrame, "jpeg", "wrong direction"},
      {false, true, kFrame, "jpeg", "accepted"},
      {false, true, kInput, "{}", "wrong direction"},
      {false, true, kControl, ping, "accepted"},
  };
  for (const Case& c : cases) {
    RecordingOwner fresh;
    PeerSession session(c.host, fresh, platform, permissions);
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

// Viewer: the figures count frames and bytes and compute rates once a second; the local-only
// notice expires on its tick with a repaint.
TEST_F(PeerSessionTest, ViewerFiguresAndInputNotice) {
  PeerSession viewer(/*isHost=*/false, owner, platform, permissions);
  ASSERT_EQ(Outcome(viewer, kControl, Hello()), "accepted");
  viewer.Tick(owner.now);  // starts the statistics period
  for (int i = 0; i < 4; ++i) ASSERT_EQ(Outcome(viewer, kFrame, std::string(500, 'j')), "accepted");
  owner.now += 999;
  viewer.Tick(owner.now);
  EXPECT_EQ(viewer.frames().frameRate, 0.0) << "the period is not over";
  owner.now += 1001;
  viewer.Tick(owner.now);
  EXPECT_EQ(viewer.frames().frames, 4u);
  EXPECT_DOUBLE_EQ(viewer.frames().frameRate, 2.0);
  EXPECT_DOUBLE_EQ(viewer.frames().byteRate, 1000.0);

  ASSERT_EQ(Outcome(viewer, kControl, R"({"op":"inputStatus","error":0,"localOnly":true})"),
            "accepted");
  EXPECT_EQ(viewer.inputNoticeUntil(), owner.now + 6000);
  const int repaints = owner.repaints;
  viewer.ExpireIndicators(owner.now + 5999);
  EXPECT_NE(viewer.inputNoticeUntil(), 0u);
  viewer.ExpireIndicators(owner.now + 6000);
  EXPECT_EQ(viewer.inputNoticeUntil(), 0u);
  EXPECT_EQ(owner.repaints, repaints + 1);
}

// A ping that cannot be queued ends the session through the owner, after the call returns.
TEST_F(PeerSessionTest, APingThatCannotBeSentEndsTheSession) {
  PeerSession viewer(/*isHost=*/false, owner, platform, permissions);
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
