// A host Client streaming the synthetic desktop to a viewer Client through a real kestrova-relay
// on loopback. The test thread plays both UI threads; the host's stream thread runs on real
// time. A watching capturer on the host checks, at every capture, what the stream may not do.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/client.h"
#include "app/testing/client_harness.h"
#include "app/testing/recording_window.h"
#include "app/testing/relay_process.h"
#include "screen/synthetic_capturer.h"

namespace ov {
namespace {

using testing::ClientHarness;
using testing::RelayProcess;
using namespace std::chrono_literals;

// What the host's capturers saw, across streams (each stream makes its own capturer).
struct Watch {
  std::atomic<SyntheticScene> scene{SyntheticScene::MovingPattern};
  std::atomic<int> calls{0};                  // captures of every stream
  std::atomic<int> maxInFlightAtCapture{0};   // frames unacknowledged when a capture began
  std::atomic<int> staticCaptures{0};         // captures of the current static stream
  std::atomic<int> resendMismatches{0};       // static captures that found the wrong frame count
};

// The synthetic desktop, checking the host's counters (read through the host's session, which
// outlives every stream thread) at the start of each capture.
class WatchingCapturer final : public ScreenCapturer {
 public:
  WatchingCapturer(Watch& watch, const Client& host)
      : watch_(watch), host_(host), scene_(watch.scene.load()), inner_(scene_) {
    if (scene_ == SyntheticScene::Static) watch_.staticCaptures = 0;
  }

  CaptureResult CaptureFrame(const DisplayInfo& display, int maxWidth, int quality,
                             CaptureStatus& status) override {
    const PeerControl& control = host_.session()->control();
    const int sent = control.framesSent().load();
    const int inFlight = sent - control.ackedSequence().load();
    int seen = watch_.maxInFlightAtCapture.load();
    while (inFlight > seen && !watch_.maxInFlightAtCapture.compare_exchange_weak(seen, inFlight)) {
    }
    ++watch_.calls;
    if (scene_ == SyntheticScene::Static) {
      // At "Balanced" (20 frames/s): the first capture is sent, then every 20th identical one.
      const int capture = ++watch_.staticCaptures;
      const int expected = capture == 1 ? 0 : 1 + (capture - 2) / 20;
      if (sent != expected) ++watch_.resendMismatches;
    }
    return inner_.CaptureFrame(display, maxWidth, quality, status);
  }

 private:
  Watch& watch_;
  const Client& host_;
  SyntheticScene scene_;
  SyntheticCapturer inner_;
};

class StreamRelayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
#ifdef OV_RELAY_BINARY
    relay_ = new RelayProcess(OV_RELAY_BINARY, {"--quiet"});
#endif
  }
  static void TearDownTestSuite() {
    delete relay_;
    relay_ = nullptr;
  }

  void SetUp() override {
    if (relay_ == nullptr) GTEST_SKIP() << "kestrova-relay is not part of this build";
    ASSERT_TRUE(relay_->ok()) << relay_->error();
    host = Make();
    viewer = Make();
    // Small displays keep the test quick; the second one is the display after the change.
    host->platform.displays = {DisplayInfo{L"\\\\.\\DISPLAY1", ScreenRect{0, 0, 640, 360}, true, 60},
                               DisplayInfo{L"\\\\.\\DISPLAY2", ScreenRect{640, 0, 1120, 270}, false, 60}};
    host->platform.capturerFactory = [this] {
      return std::make_unique<WatchingCapturer>(watch, *host->client);
    };
    viewer->window.onRepaint = [this] { RecordViewerFrame(); };
    host->StartUp();
    viewer->StartUp();
    ASSERT_TRUE(PumpUntil([&] { return host->status() == kStatusReady; })) << host->status();
    ASSERT_TRUE(PumpUntil([&] { return viewer->status() == kStatusReady; }));
  }

  std::unique_ptr<ClientHarness> Make() {
    return std::make_unique<ClientHarness>(clock, [] { return CreateTransport(); }, relay_->url());
  }

  // Every decoded frame repaints the viewer: note its epoch and seq.
  void RecordViewerFrame() {
    const PeerSession* session = viewer->client->session();
    if (session == nullptr) return;
    const auto& frame = session->display().pictureFrame();
    if (frame && (received.empty() || !(received.back() == *frame))) received.push_back(*frame);
  }

  int InFlight() {
    const PeerControl& control = host->client->session()->control();
    return control.framesSent().load() - control.ackedSequence().load();
  }

  // Plays both UI threads until `done` holds, checking the host's window between batches.
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      host->Pump(1ms);
      viewer->Pump(1ms);
      if (host->client->session() != nullptr) maxInFlightSeen = std::max(maxInFlightSeen, InFlight());
    }
    return true;
  }

  std::vector<FrameHeader> FramesOf(std::uint32_t epoch) const {
    std::vector<FrameHeader> out;
    for (const FrameHeader& f : received) {
      if (f.epoch == epoch) out.push_back(f);
    }
    return out;
  }

  bool Streaming() const {
    return host->client->sessionActive() && viewer->client->sessionActive();
  }

  static RelayProcess* relay_;
  ManualClock clock;
  Watch watch;
  std::unique_ptr<ClientHarness> host;
  std::unique_ptr<ClientHarness> viewer;
  std::vector<FrameHeader> received;
  int maxInFlightSeen = 0;
};

RelayProcess* StreamRelayTest::relay_ = nullptr;

TEST_F(StreamRelayTest, HostStreamsToAViewerThatDecodesAndAcknowledges) {
  const std::string& id = host->client->deviceId();
  viewer->window.remoteId = std::wstring(id.begin(), id.end());
  viewer->window.password = host->client->sessionPassword();
  viewer->client->ConnectToDevice();

  // The moving picture under epoch 1 ("Automatic"): decoded in order from seq 1.
  ASSERT_TRUE(PumpUntil([&] { return FramesOf(1).size() >= 12; }))
      << viewer->status() << " / " << host->status() << " / " << viewer->client->lastProtocolError();
  const std::vector<FrameHeader> first = FramesOf(1);
  EXPECT_EQ(first.front().seq, 1u);
  for (std::size_t i = 1; i < first.size(); ++i) EXPECT_GT(first[i].seq, first[i - 1].seq);
  ASSERT_TRUE(viewer->client->session()->display().picture().has_value());
  EXPECT_EQ(viewer->client->session()->display().picture()->width, 640);

  // The viewer stalls: the host fills its window of two frames and captures no more.
  ASSERT_TRUE(host->PumpUntil([&] { return InFlight() == 2; }));
  const int callsWhenFull = watch.calls.load();
  host->Pump(300ms);  // time for a faulty stream to go on capturing
  EXPECT_EQ(watch.calls.load(), callsWhenFull);
  EXPECT_EQ(InFlight(), 2);

  // The host's display configuration changes while the viewer still holds frames of epoch 1:
  // their acknowledgements reach the host under the new epoch and are ignored, and the new
  // stream starts at seq 1 on the new display.
  host->client->OnDisplayChange();
  ASSERT_EQ(host->client->session()->control().epoch(), 2);
  ASSERT_TRUE(PumpUntil([&] { return FramesOf(2).size() >= 3; }))
      << viewer->client->lastProtocolError() << host->client->lastProtocolError();
  EXPECT_TRUE(Streaming()) << host->client->lastProtocolError();
  const auto firstOfTwo =
      std::find_if(received.begin(), received.end(), [](const FrameHeader& f) { return f.epoch == 2; });
  EXPECT_EQ(firstOfTwo->seq, 1u);
  EXPECT_TRUE(std::all_of(firstOfTwo, received.end(), [](const FrameHeader& f) { return f.epoch == 2; }))
      << "nothing of the old epoch after the new one began";

  // A static picture at "Balanced" (the viewer's quality menu): under epoch 3, sent once and then
  // once per 20 identical captures.
  watch.scene = SyntheticScene::Static;
  viewer->client->SelectDisplay(0, 2);
  ASSERT_TRUE(PumpUntil([&] { return FramesOf(3).size() >= 3; }));
  EXPECT_TRUE(Streaming());
  const std::vector<FrameHeader> third = FramesOf(3);
  EXPECT_EQ(third[0], (FrameHeader{3, 1}));
  EXPECT_EQ(third[1], (FrameHeader{3, 2}));
  EXPECT_EQ(third[2], (FrameHeader{3, 3}));
  EXPECT_GE(watch.staticCaptures.load(), 41);
  EXPECT_EQ(watch.resendMismatches.load(), 0);
  EXPECT_EQ(host->client->session()->stream()->profile, 2);

  EXPECT_LE(watch.maxInFlightAtCapture.load(), 1) << "a capture began with two frames in flight";
  EXPECT_LE(maxInFlightSeen, 2);
}

// Through the same relay: the viewer's pointer and keys reach the host's injector on the shared
// display; a chat line reaches the host's log; a file offered by the viewer is accepted by the
// host, streamed in chunks and saved whole under the name the host chose.
TEST_F(StreamRelayTest, InputChatAndAFileReachTheHost) {
  const std::string& id = host->client->deviceId();
  viewer->window.remoteId = std::wstring(id.begin(), id.end());
  viewer->window.password = host->client->sessionPassword();
  viewer->client->ConnectToDevice();
  ASSERT_TRUE(PumpUntil([&] { return !FramesOf(1).empty(); })) << viewer->status();
  host->platform.input->Take();

  // The view area is the harness window's 1000 x 500 at y 52; the 640 x 360 picture is fitted
  // to 888.9 x 500, so its right edge lies at 944.4.
  testing::StillInputWindow window;
  ViewerInput& input = *viewer->client->viewerInput();
  input.OnMouseMove(window, {943.9f, 551.9f}, 1000);
  input.OnKeyUp(65);  // never pressed: nothing is injected
  EXPECT_TRUE(input.OnButtonDown(window, kButtonLeft, {500, 300}, false));
  EXPECT_TRUE(input.OnButtonUp(window, kButtonLeft, {500, 300}));
  input.OnKeyDown(window, 75, false, false, false);
  input.OnKeyUp(75);
  ASSERT_TRUE(PumpUntil([&] {
    std::lock_guard<std::mutex> lock(host->platform.input->mutex);
    return host->platform.input->events.size() >= 6;
  }));
  const std::vector<std::string> injected = host->platform.input->Take();
  ASSERT_GE(injected.size(), 6u);
  EXPECT_EQ(injected[0], "move 639,359") << "the picture's last pixel is the display's";
  EXPECT_EQ(injected[2], "mouse 2 0");
  EXPECT_EQ(injected[4], "mouse 4 0");
  EXPECT_EQ(injected[5], "keydown 75");

  // Chat, both ways of the session's tools.
  viewer->client->toolsSession()->tools().SendChat(u"hello host");
  ASSERT_TRUE(PumpUntil([&] { return !host->client->session()->tools().chatLog().empty(); }));
  EXPECT_NE(host->client->session()->tools().chatLog().back().find(u"hello host"),
            std::u16string::npos);

  // A file of 100000 bytes from the viewer's store to the host's.
  std::vector<std::uint8_t> data(100000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  viewer->platform.files.files[u"/home/report.bin"] = data;
  viewer->client->toolsSession()->files().OfferFile(u"/home/report.bin");
  ASSERT_TRUE(PumpUntil([&] { return host->client->session()->files().pendingOffer().has_value(); }));
  const std::string offer = host->client->session()->files().pendingOffer()->id;
  host->client->toolsSession()->files().AcceptOffer(offer, u"/downloads/report.bin");
  ASSERT_TRUE(PumpUntil([&] { return host->platform.files.Has(u"/downloads/report.bin"); }))
      << host->client->session()->files().status();
  EXPECT_EQ(host->platform.files.files.at(u"/downloads/report.bin"), data);
  ASSERT_TRUE(PumpUntil([&] { return viewer->client->session()->files().completedFiles() == 1; }));
  EXPECT_TRUE(Streaming());
}

}  // namespace
}  // namespace ov
