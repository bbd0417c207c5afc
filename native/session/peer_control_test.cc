#include "session/peer_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <stdexcept>

namespace ov {
namespace {

// Records everything one end's PeerControl asks of the rest of the program.
struct End final : PeerControlDelegate {
  std::deque<Json> sent;  // control messages queued, in order
  bool refuseSends = false;
  std::uint64_t* clock = nullptr;
  std::vector<DisplayInfo> displays;
  std::vector<std::string> statuses;
  std::vector<std::tuple<int, int, int>> streamsStarted;  // display index, epoch, profile
  int streamsStopped = 0;
  int framesRemoved = 0;
  int inputReleased = 0;
  int picturesDropped = 0;
  int deadlinesCleared = 0;
  std::uint64_t noticeUntil = 0;
  std::vector<std::string> toolMessages;
  std::vector<std::pair<bool, bool>> permissionChanges;

  bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) override {
    EXPECT_EQ(kind, 4);
    if (refuseSends) return false;
    sent.push_back(ParseMessage(std::span<const std::uint8_t>(plaintext)));
    return true;
  }
  std::uint64_t NowMs() override { return *clock; }
  std::vector<DisplayInfo> EnumerateDisplays() override { return displays; }
  void StopStreaming() override { ++streamsStopped; }
  void StartStreaming(const DisplayInfo& display, std::int32_t epoch,
                      std::int32_t profile) override {
    // The stream is started on an entry of the enumerated list, device name included.
    const auto it = std::find(displays.begin(), displays.end(), display);
    EXPECT_NE(it, displays.end());
    streamsStarted.emplace_back(static_cast<int>(it - displays.begin()), epoch, profile);
  }
  void RemoveQueuedFrames() override { ++framesRemoved; }
  void ReleaseHeldInput() override { ++inputReleased; }
  void ShowStatus(const std::string& s) override { statuses.push_back(s); }
  void DropPicture(bool /*newStream*/) override { ++picturesDropped; }
  void ClearPairingDeadline() override { ++deadlinesCleared; }
  void ShowInputNotice(std::uint64_t until) override { noticeUntil = until; }
  void PeerPermissionsChanged(bool files, bool clipboard) override {
    permissionChanges.emplace_back(files, clipboard);
  }
  bool HandleToolsMessage(const Json& m) override {
    const std::string op = m.at("op").get<std::string>();
    if (op != "chat") return false;
    toolMessages.push_back(op);
    return true;
  }

  Json Take() {
    EXPECT_FALSE(sent.empty());
    if (sent.empty()) return Json::object();
    Json m = std::move(sent.front());
    sent.pop_front();
    return m;
  }
};

std::string Reason(PeerControl& control, const Json& message) {
  try {
    control.HandleControl(message);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "accepted";
}

class PeerControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hostEnd.clock = &now;
    viewerEnd.clock = &now;
    hostEnd.displays = {DisplayInfo{L"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}, true, 60},
                        DisplayInfo{L"\\\\.\\DISPLAY2", {1920, 0, 4480, 1440}, false, 144}};
  }

  // Runs the hello exchange to completion on both ends.
  void Handshake() {
    host.Start();
    host.SendHello();
    viewer.HandleControl(hostEnd.Take());
    host.HandleControl(viewerEnd.Take());
    ASSERT_TRUE(host.helloComplete());
    ASSERT_TRUE(viewer.helloComplete());
  }

  Json Hello(const char* op = "hello") {
    host.Start();
    host.SendHello(op);
    return hostEnd.Take();
  }

  std::uint64_t now = 1000000;
  End hostEnd;
  End viewerEnd;
  LocalPermissions hostPermissions;
  LocalPermissions viewerPermissions;
  PeerControl host{true, hostEnd, hostPermissions};
  PeerControl viewer{false, viewerEnd, viewerPermissions};
};

TEST_F(PeerControlTest, HelloExchangeCompletesBothEnds) {
  hostPermissions.files = false;
  host.Start();
  host.SendHello();
  const Json hello = hostEnd.Take();
  EXPECT_EQ(SerializeMessage(hello),
            R"({"build":"0.3.9","captureStatus":true,"clipboard":false,"clipboardSync":true,)"
            R"("control":true,"epoch":1,"files":false,"inputStatus":true,"op":"hello","profile":0,)"
            R"("regionFrames":true,)"
            R"("screens":[{"height":1080,"hz":60,"primary":true,"width":1920},)"
            R"({"height":1440,"hz":144,"primary":false,"width":2560}],"selected":0,"version":3})");

  viewer.HandleControl(hello);
  EXPECT_TRUE(viewer.helloComplete());
  EXPECT_EQ(viewer.screens().size(), 2u);
  EXPECT_EQ(viewer.screens()[1].hz, 144);
  EXPECT_EQ(viewer.epoch(), 1);
  EXPECT_TRUE(viewer.peerControl());
  EXPECT_FALSE(viewer.peerFiles());
  EXPECT_TRUE(viewer.peerCaptureStatus());
  EXPECT_EQ(viewer.peerBuild(), "0.3.9");
  EXPECT_EQ(viewerEnd.statuses.back(), "End-to-end encrypted");
  EXPECT_EQ(viewerEnd.deadlinesCleared, 1);
  EXPECT_EQ(viewerEnd.picturesDropped, 1);

  const Json ack = viewerEnd.Take();
  EXPECT_EQ(SerializeMessage(ack),
            R"({"build":"0.3.9","captureStatus":true,"clipboard":false,"clipboardSync":true,)"
            R"("files":true,"inputStatus":true,"op":"helloAck","regionFrames":true,"version":3})");
  host.HandleControl(ack);
  EXPECT_TRUE(host.helloComplete());
  EXPECT_EQ(hostEnd.deadlinesCleared, 1);
  ASSERT_EQ(hostEnd.streamsStarted.size(), 1u);
  EXPECT_EQ(hostEnd.streamsStarted[0], std::make_tuple(0, 1, 0));

  // Each end's second hello-stage message is refused.
  EXPECT_EQ(Reason(host, ack), "hello acknowledgement");
  EXPECT_EQ(Reason(viewer, hello), "payload version");
}

// Region frames are used only when both ends announce them; an end that does not announce them
// sends the hello and its acknowledgement of a program that predates them, key for key.
TEST_F(PeerControlTest, RegionFramesNeedBothEnds) {
  struct Row {
    bool hostAnnounces, viewerAnnounces;
  };
  for (const Row row : {Row{true, true}, Row{true, false}, Row{false, true}, Row{false, false}}) {
    End h, v;
    h.clock = v.clock = &now;
    h.displays = hostEnd.displays;
    PeerControl hc{true, h, hostPermissions};
    PeerControl vc{false, v, viewerPermissions};
    hc.AnnounceRegionFrames(row.hostAnnounces);
    vc.AnnounceRegionFrames(row.viewerAnnounces);
    hc.Start();
    hc.SendHello();
    const Json hello = h.Take();
    EXPECT_EQ(hello.contains("regionFrames"), row.hostAnnounces);
    vc.HandleControl(hello);
    const Json ack = v.Take();
    EXPECT_EQ(ack.contains("regionFrames"), row.viewerAnnounces);
    hc.HandleControl(ack);
    const bool both = row.hostAnnounces && row.viewerAnnounces;
    EXPECT_EQ(hc.regionFrames(), both) << row.hostAnnounces << row.viewerAnnounces;
    EXPECT_EQ(vc.regionFrames(), both) << row.hostAnnounces << row.viewerAnnounces;
    // A viewer's request for a whole picture is a protocol error unless both announced.
    vc.SendFrameRequest();
    const Json request = v.Take();
    EXPECT_EQ(SerializeMessage(request), R"({"epoch":1,"op":"frameRequest"})");
    EXPECT_EQ(Reason(hc, request), both ? "accepted" : "unnegotiated region frames");
    EXPECT_EQ(hc.wholePictureRequested().load(), both);
  }
}

TEST_F(PeerControlTest, FrameRequests) {
  Handshake();
  ASSERT_TRUE(host.regionFrames());
  struct Row {
    const char* name;
    Json message;
    const char* reason;
    bool requested;
  };
  const std::vector<Row> rows = {
      {"current epoch", Json{{"op", "frameRequest"}, {"epoch", 1}}, "accepted", true},
      {"earlier stream", Json{{"op", "frameRequest"}, {"epoch", 2}}, "accepted", false},
      {"no epoch", Json{{"op", "frameRequest"}}, "[json.exception.out_of_range.403] key 'epoch' not found", false},
      {"epoch 0", Json{{"op", "frameRequest"}, {"epoch", 0}}, "input range", false},
      {"epoch as text", Json{{"op", "frameRequest"}, {"epoch", "1"}}, "input number", false},
  };
  for (const Row& row : rows) {
    host.wholePictureRequested() = false;
    EXPECT_EQ(Reason(host, row.message), row.reason) << row.name;
    EXPECT_EQ(host.wholePictureRequested().load(), row.requested) << row.name;
  }
  // At the viewer a request is a message for the other end.
  EXPECT_EQ(Reason(viewer, Json{{"op", "frameRequest"}, {"epoch", 1}}), "unknown feature");
  // A new stream starts with a whole picture: an old request does not linger.
  host.wholePictureRequested() = true;
  host.ReselectDisplay(1, 0, false);
  EXPECT_FALSE(host.wholePictureRequested().load());
}

TEST_F(PeerControlTest, HelloValidation) {
  const Json good = Hello();
  auto with = [&](const char* key, Json value) {
    Json m = good;
    m[key] = std::move(value);
    return m;
  };
  auto screens = [&](std::size_t n) {
    Json list = Json::array();
    for (std::size_t i = 0; i < n; ++i) list.push_back(good["screens"][0]);
    return list;
  };
  auto screenWith = [&](const char* key, Json value) {
    Json list = good["screens"];
    list[0][key] = std::move(value);
    return with("screens", list);
  };
  struct Case {
    Json message;
    const char* reason;
  };
  const Case cases[] = {
      {with("version", 2), "input range"},
      {with("version", "3"), "input number"},
      {with("screens", screens(17)), "display list"},
      {with("screens", Json::array()), "display list"},
      {with("screens", Json::object()), "display list"},
      {screenWith("hz", 0), "input range"},
      {screenWith("width", 32769), "input range"},
      {screenWith("height", 1.5), "input number"},
      {with("epoch", 0), "input range"},
      {with("selected", 2), "input range"},
      {with("profile", 4), "input range"},
      {with("build", "0.3.9a"), "build format"},
      {with("build", std::string(25, '1')), "build format"},
      {with("build", ""), "build format"},
      {with("build", 39), "build type"},
      {with("clipboardSync", 1), "clipboard capability"},
      {with("inputStatus", "yes"), "input capability"},
      {with("captureStatus", nullptr), "capture capability"},
      {with("regionFrames", 1), "region capability"},
  };
  for (const Case& c : cases) {
    PeerControl fresh(false, viewerEnd, viewerPermissions);
    EXPECT_EQ(Reason(fresh, c.message), c.reason) << SerializeMessage(c.message);
    EXPECT_FALSE(fresh.helloComplete());
  }
  // Wrong JSON types of required fields fail through the library's checked accessors.
  PeerControl fresh(false, viewerEnd, viewerPermissions);
  EXPECT_THROW(fresh.HandleControl(screenWith("primary", 1)), Json::type_error);
  EXPECT_THROW(fresh.HandleControl(with("files", "true")), Json::type_error);
  Json missing = good;
  missing.erase("control");
  EXPECT_THROW(fresh.HandleControl(missing), Json::out_of_range);
  EXPECT_THROW(fresh.HandleControl(Json::object()), Json::out_of_range);  // no "op"

  // 16 screens and a 24-character build are fine; absent capabilities read as false.
  Json sixteen = with("screens", screens(16));
  sixteen["build"] = std::string(24, '9');
  sixteen.erase("clipboardSync");
  ASSERT_EQ(Reason(fresh, sixteen), "accepted");
  EXPECT_FALSE(fresh.peerClipboardSync());
  EXPECT_TRUE(fresh.peerInputStatus());
}

TEST_F(PeerControlTest, NothingButHelloBeforeTheExchange) {
  Json ping = {{"op", "ping"}, {"token", 5}};
  EXPECT_EQ(Reason(viewer, ping), "features before hello");
  EXPECT_EQ(Reason(host, ping), "features before hello");
  EXPECT_EQ(Reason(viewer, Json{{"op", "screen"}, {"version", 3}}), "payload version");
  EXPECT_TRUE(viewerEnd.sent.empty());
}

TEST_F(PeerControlTest, DisplayReselectionRaisesTheEpoch) {
  Handshake();
  hostEnd.streamsStarted.clear();
  EXPECT_EQ(Reason(host, Json{{"op", "selectDisplay"}, {"selected", 2}, {"profile", 0}}),
            "input range");
  EXPECT_EQ(Reason(host, Json{{"op", "selectDisplay"}, {"selected", 1}, {"profile", 4}}),
            "input range");
  EXPECT_TRUE(hostEnd.sent.empty());

  ASSERT_EQ(Reason(host, Json{{"op", "selectDisplay"}, {"selected", 1}, {"profile", 3}}),
            "accepted");
  EXPECT_EQ(host.epoch(), 2);
  EXPECT_EQ(hostEnd.streamsStopped, 1);
  EXPECT_EQ(hostEnd.framesRemoved, 1);
  EXPECT_EQ(hostEnd.inputReleased, 1);
  ASSERT_EQ(hostEnd.streamsStarted.size(), 1u);
  EXPECT_EQ(hostEnd.streamsStarted[0], std::make_tuple(1, 2, 3));

  const Json screen = hostEnd.Take();
  EXPECT_EQ(screen["op"], "screen");
  ASSERT_EQ(Reason(viewer, screen), "accepted");
  EXPECT_EQ(viewer.epoch(), 2);
  EXPECT_EQ(viewer.selectedDisplay(), 1);
  EXPECT_EQ(viewer.profile(), 3);
  EXPECT_TRUE(viewerEnd.sent.empty());  // no second helloAck
  // The same epoch again is stale.
  EXPECT_EQ(Reason(viewer, screen), "stale display");

  // A changed configuration re-enumerates and clamps the index.
  hostEnd.displays = {DisplayInfo{L"", {0, 0, 1280, 720}, true, 60}};
  host.ReselectDisplay(1, 0, true);
  EXPECT_EQ(host.selectedDisplay(), 0);
  EXPECT_EQ(host.epoch(), 3);
  hostEnd.displays.clear();
  EXPECT_THROW(host.ReselectDisplay(0, 0, true), std::runtime_error);
}

TEST_F(PeerControlTest, FrameAcknowledgements) {
  Handshake();
  host.framesSent() = 4;
  EXPECT_EQ(Reason(host, Json{{"op", "frameAck"}, {"epoch", 1}, {"seq", 5}}),
            "frame acknowledgement");
  EXPECT_EQ(Reason(host, Json{{"op", "frameAck"}, {"epoch", 1}, {"seq", 3}}), "accepted");
  EXPECT_EQ(host.ackedSequence(), 3);
  EXPECT_EQ(Reason(host, Json{{"op", "frameAck"}, {"epoch", 1}, {"seq", 2}}), "accepted");
  EXPECT_EQ(host.ackedSequence(), 3);  // an older one changes nothing
  EXPECT_EQ(Reason(host, Json{{"op", "frameAck"}, {"epoch", 7}, {"seq", 99}}), "accepted");
  EXPECT_EQ(host.ackedSequence(), 3);  // another epoch is ignored
  EXPECT_EQ(Reason(host, Json{{"op", "frameAck"}, {"epoch", 1}, {"seq", 0}}), "input range");
  // Only the host takes acknowledgements.
  EXPECT_EQ(Reason(viewer, Json{{"op", "frameAck"}, {"epoch", 1}, {"seq", 1}}), "unknown feature");
}

TEST_F(PeerControlTest, CaptureAndInputStatusOnTheViewer) {
  Handshake();
  // An earlier epoch is ignored even when the rest is malformed.
  EXPECT_EQ(Reason(viewer, Json{{"op", "captureStatus"}, {"epoch", 9}, {"backend", "x"}}),
            "accepted");
  EXPECT_EQ(Reason(viewer, Json{{"op", "captureStatus"}, {"epoch", 1}, {"backend", 3},
                                {"black", false}, {"desktop", true}, {"error", 0}}),
            "input range");
  EXPECT_EQ(Reason(viewer, Json{{"op", "captureStatus"}, {"epoch", 1}, {"backend", 1},
                                {"black", 0}, {"desktop", true}, {"error", 0}}),
            "capture status type");
  EXPECT_EQ(Reason(viewer, Json{{"op", "captureStatus"}, {"epoch", 1}, {"backend", 1},
                                {"black", false}, {"desktop", true}, {"error", -1}}),
            "capture status type");
  EXPECT_EQ(Reason(viewer, Json{{"op", "captureStatus"}, {"epoch", 1}, {"backend", 1},
                                {"black", false}, {"desktop", true}, {"error", 4294967296ULL}}),
            "capture error bound");
  const int dropped = viewerEnd.picturesDropped;
  ASSERT_EQ(Reason(viewer, Json{{"op", "captureStatus"}, {"epoch", 1}, {"backend", 2},
                                {"black", true}, {"desktop", false}, {"error", 4294967295ULL}}),
            "accepted");
  EXPECT_EQ(viewer.captureStatus().backend, 2);
  EXPECT_TRUE(viewer.captureStatus().black);
  EXPECT_FALSE(viewer.captureStatus().desktop);
  EXPECT_EQ(viewer.captureStatus().error, 4294967295u);
  EXPECT_EQ(viewerEnd.picturesDropped, dropped + 1);

  EXPECT_EQ(Reason(viewer, Json{{"op", "inputStatus"}, {"error", -5}}), "input status");
  EXPECT_EQ(Reason(viewer, Json{{"op", "inputStatus"}}), "input status");
  EXPECT_EQ(Reason(viewer, Json{{"op", "inputStatus"}, {"error", 1.0}}), "input status");
  EXPECT_EQ(Reason(viewer, Json{{"op", "inputStatus"}, {"error", 4294967296ULL}}),
            "input error bound");
  EXPECT_EQ(Reason(viewer, Json{{"op", "inputStatus"}, {"error", 0}, {"localOnly", 1}}),
            "input notice");
  ASSERT_EQ(Reason(viewer, Json{{"op", "inputStatus"}, {"error", 5}, {"localOnly", true}}),
            "accepted");
  EXPECT_EQ(viewer.inputError(), 5u);
  EXPECT_EQ(viewerEnd.noticeUntil, now + 6000);
  // The host never takes them.
  EXPECT_EQ(Reason(host, Json{{"op", "inputStatus"}, {"error", 0}}), "unknown feature");
}

TEST_F(PeerControlTest, StatusWithoutTheCapabilityIsRefused) {
  Json hello = Hello();
  hello.erase("captureStatus");
  hello["inputStatus"] = false;
  viewer.HandleControl(hello);
  EXPECT_EQ(Reason(viewer, Json{{"op", "captureStatus"}, {"epoch", 1}}),
            "unnegotiated capture status");
  EXPECT_EQ(Reason(viewer, Json{{"op", "inputStatus"}, {"error", 0}}), "input status");
}

TEST_F(PeerControlTest, PingPongMeasuresRoundTrip) {
  Handshake();
  host.ControlTick();
  EXPECT_TRUE(hostEnd.sent.empty());  // not yet 3000 ms after hello
  now += 3000;
  host.ControlTick();
  const Json ping = hostEnd.Take();
  EXPECT_EQ(ping["token"], now);
  viewer.HandleControl(ping);
  const Json pong = viewerEnd.Take();
  EXPECT_EQ(SerializeMessage(pong), "{\"op\":\"pong\",\"token\":" + std::to_string(now) + "}");
  now += 42;
  Json wrong = pong;
  wrong["token"] = now;
  host.HandleControl(wrong);
  EXPECT_EQ(host.roundTripMs(), -1);  // not the last ping's token
  host.HandleControl(pong);
  EXPECT_EQ(host.roundTripMs(), 42);

  // The next ping 3000 ms later; a two-minute round trip is capped.
  now += 2957;
  host.ControlTick();
  EXPECT_TRUE(hostEnd.sent.empty());
  now += 1;
  host.ControlTick();
  const Json second = hostEnd.Take();
  now += 120000;
  host.HandleControl(Json{{"op", "pong"}, {"token", second["token"]}});
  EXPECT_EQ(host.roundTripMs(), 99999);
  EXPECT_EQ(Reason(host, Json{{"op", "ping"}, {"token", -1}}), "input number");

  // A ping that cannot be queued ends the session.
  now += 3000;
  hostEnd.refuseSends = true;
  EXPECT_THROW(host.ControlTick(), std::runtime_error);
}

TEST_F(PeerControlTest, PermissionsAndUnknownMessages) {
  viewerPermissions.clipboard = true;
  Handshake();
  EXPECT_TRUE(host.peerClipboard());
  viewerPermissions.clipboard = false;
  viewer.SendPermissions();
  const Json permissions = viewerEnd.Take();
  EXPECT_EQ(SerializeMessage(permissions),
            R"({"clipboard":false,"control":false,"files":true,"op":"permissions"})");
  host.HandleControl(permissions);
  EXPECT_FALSE(host.peerClipboard());
  EXPECT_TRUE(host.peerFiles());
  // Only a change is passed on to the tools, and only what changed.
  host.HandleControl(permissions);
  ASSERT_EQ(hostEnd.permissionChanges.size(), 1u);
  EXPECT_EQ(hostEnd.permissionChanges[0], std::make_pair(false, true));

  hostPermissions.control = false;
  host.SendPermissions();
  viewer.HandleControl(hostEnd.Take());
  EXPECT_FALSE(viewer.peerControl());

  EXPECT_EQ(Reason(viewer, Json{{"op", "selectDisplay"}, {"selected", 0}, {"profile", 0}}),
            "unknown feature");
  EXPECT_EQ(Reason(viewer, Json{{"op", "releaseInput"}}), "unknown feature");
  EXPECT_EQ(Reason(host, Json{{"op", "clipboardAck"}}), "clipboard acknowledgement");
  EXPECT_EQ(Reason(host, Json{{"op", "nonsense"}}), "unknown feature");
  EXPECT_EQ(Reason(host, Json{{"op", "chat"}}), "accepted");  // offered to the tools
  EXPECT_EQ(hostEnd.toolMessages.size(), 1u);
  EXPECT_EQ(Reason(host, Json{{"op", "releaseInput"}}), "accepted");
  EXPECT_EQ(hostEnd.inputReleased, 1);
}

TEST_F(PeerControlTest, SendControlFailures) {
  Handshake();
  Json big = {{"op", "chat"}, {"text", std::string(48000, 'x')}};
  try {
    viewer.SendControl(big);
    FAIL() << "oversized message queued";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "feature send");
  }
  viewerEnd.refuseSends = true;
  EXPECT_THROW(viewer.SendControl(Json{{"op", "ping"}, {"token", 1}}), std::runtime_error);
  // Releasing input on focus loss never ends the session.
  EXPECT_NO_THROW(viewer.SendReleaseInput());
  EXPECT_THROW(viewer.SendControl(Json{{"op", "x"}, {"bad", std::string("\xC3")}}),
               Json::type_error);
}

}  // namespace
}  // namespace ov
