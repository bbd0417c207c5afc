// A bound peer session, host or viewer, fed the plaintexts a peer can send once the channel is
// open, through PeerSession::Dispatch as the controller hands them on after Unseal:
//
//   byte 0       bit 0: host (1) or viewer (0); bit 1: complete the hello exchange first
//   then up to 16 records, each: kind (byte % 5 + 1), length (2 bytes, big-endian; cut to what
//   is left), the plaintext
//
// The first record the session refuses ends it, as the controller would. Whatever the peer sends,
// every message the session sends back must be one the peer can read: JSON within the control
// limit, as a control message (or, from the host's stream, a frame), and what the session holds of
// the displays, their choice and the epoch stays within its bounds.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include "app/peer_session.h"
#include "app/testing/fake_platform.h"
#include "tools/testing/fake_clipboard.h"
#include "base/json_codec.h"
#include "crypto/crypto_session.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/refusal.h"
#include "session/session_owner.h"

namespace {

constexpr std::uint8_t kControl = static_cast<std::uint8_t>(ov::SealedKind::Control);
constexpr std::uint8_t kFrame = static_cast<std::uint8_t>(ov::SealedKind::Frame);

class CheckingOwner final : public ov::SessionOwner {
 public:
  // Any thread: the host's stream queues its frames here.
  bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) override {
    if (kind == kFrame) {
      // Epoch, sequence, then a JPEG.
      OV_FUZZ_CHECK(host && plaintext.size() >= 10 && plaintext[8] == 0xFF && plaintext[9] == 0xD8);
    } else {
      OV_FUZZ_CHECK(kind == kControl);
      OV_FUZZ_CHECK(plaintext.size() <= ov::kControlMessageLimit);
      const ov::Json message = ov::ParseMessage(std::span<const std::uint8_t>(plaintext));
      OV_FUZZ_CHECK(message.is_object() && message.at("op").is_string());
    }
    return true;
  }
  std::uint32_t ConnectionGeneration() override { return 1; }
  void PostEndEvent(std::uint32_t, const std::string&) override { ended = true; }
  void RemoveQueuedFrames() override {}
  std::uint64_t NowMs() override { return now; }
  void ShowStatus(const std::string&) override {}
  void RequestLayout() override {}
  void Repaint() override {}
  void DropRemotePicture() override {}
  void ClearPairingDeadline() override {}
  void EndSession(const std::string&) override { ended = true; }

  bool host = false;
  std::atomic<std::uint64_t> now{1000000};
  std::atomic<bool> ended{false};
};

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

const std::string kHello = ov::SerializeMessage(
    {{"op", "hello"}, {"version", 3}, {"build", "0.3.9"}, {"captureStatus", true},
     {"inputStatus", true}, {"clipboardSync", true},
     {"screens", ov::Json::array({{{"width", 1920}, {"height", 1080}, {"hz", 60}, {"primary", true}}})},
     {"epoch", 1}, {"selected", 0}, {"profile", 0}, {"control", true}, {"files", true},
     {"clipboard", true}});
const std::string kHelloAck = ov::SerializeMessage(
    {{"op", "helloAck"}, {"version", 3}, {"build", "0.3.9"}, {"captureStatus", true},
     {"inputStatus", true}, {"clipboardSync", true}, {"files", true}, {"clipboard", true}});

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool host = (data[0] & 1) != 0;
  const bool hello = (data[0] & 2) != 0;
  std::span<const std::uint8_t> rest(data + 1, size - 1);

  CheckingOwner owner;
  owner.host = host;
  ov::testing::FakePlatform platform;
  // Small displays: the host's stream captures and encodes them while the messages arrive.
  platform.displays = {ov::DisplayInfo{L"\\\\.\\DISPLAY1", ov::ScreenRect{0, 0, 64, 48}, true, 60},
                       ov::DisplayInfo{L"\\\\.\\DISPLAY2", ov::ScreenRect{64, 0, 96, 32}, false, 75}};
  ov::LocalPermissions permissions;
  permissions.clipboard = true;
  ov::FakeClipboard clipboard;
  clipboard.text = u"copied";
  ov::PeerSession session(host, owner, platform, permissions, clipboard);
  if (host) {
    session.Start();
    session.SendHello();
  }
  if (hello) {
    session.Dispatch(kControl, Bytes(host ? kHelloAck : kHello));
    OV_FUZZ_CHECK(session.control().helloComplete());
  }

  for (int record = 0; record < 16 && rest.size() >= 3 && !owner.ended; ++record) {
    const auto kind = static_cast<std::uint8_t>(rest[0] % 5 + 1);
    std::size_t length = (std::size_t{rest[1]} << 8) | rest[2];
    rest = rest.subspan(3);
    if (length > rest.size()) length = rest.size();
    const std::vector<std::uint8_t> plaintext(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(length));
    rest = rest.subspan(length);
    owner.now += 500;
    try {
      session.Dispatch(kind, plaintext);
    } catch (const std::exception& error) {
      ov::fuzz::ExpectRefusal(error);
      break;  // the controller ends the session
    }
    // Whatever the peer announced or chose, the session's view of it stays within bounds.
    const ov::PeerControl& control = session.control();
    if (control.helloComplete()) {
      const std::size_t shown = host ? control.displays().size() : control.screens().size();
      OV_FUZZ_CHECK(shown >= 1 && shown <= ov::kMaxDisplays);
      OV_FUZZ_CHECK(control.selectedDisplay() >= 0 &&
                    static_cast<std::size_t>(control.selectedDisplay()) < shown);
      OV_FUZZ_CHECK(control.profile() >= 0 && control.profile() <= 3);
      OV_FUZZ_CHECK(control.epoch() >= 1);
      if (host && session.stream()) OV_FUZZ_CHECK(session.stream()->epoch == control.epoch());
    }
    // The session's own 500 ms duties run between messages, as the tick would run them.
    session.ExpireIndicators(owner.now);
    session.Tick(owner.now);
  }
  return 0;
}
