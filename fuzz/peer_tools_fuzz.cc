// The session tools of a bound peer session past the hello exchange, host or viewer: chat,
// clipboard requests and synchronisation, the remote paste, file offers and transfers into an
// in-memory file store, and remote input on the host, with the local user's commands
// interleaved with what the peer sends.
//
//   byte 0       bit 0: host (1) or viewer (0); bits 1-3: the local control, files and clipboard
//                permissions; bits 4-6: the peer's control, files and clipboard in its hello
//   then up to 24 records, each: what (byte % 8), length (2 bytes, big-endian; cut to what is
//   left), the record's bytes:
//     0  a Control plaintext from the peer
//     1  a Tools plaintext from the peer (a file chunk)
//     2  an Input plaintext from the peer
//     3  a chunk of the file being received, at the offset the receiver expects (the bytes are
//        its data); before any download, a chunk for an id no transfer has
//     4  a file message for the running transfers: byte 0 % 7 picks fileAccept, fileAck,
//        fileFinish, fileDone, fileCancel or fileOffer; bit 0 of byte 1 the variant: the ack's
//        next is what was sent or the u32 from byte 2, the digest the right one of what was
//        received or bytes 2-33 in hex, the cancel names the upload or the download; an offer
//        has id byte 1, size byte 2 shifted by 4 * (byte 1 % 9) bits and the name from byte 3
//     5  a local command: byte 0 % 13 picks it (offer a file, accept the offer, decline it,
//        cancel everything, chat, send the clipboard, accept or decline its request, paste,
//        copy elsewhere, switch a permission, open or close the file dialog, let time pass);
//        byte 1 chooses (the source file, accept under the offered name or the text, which
//        permission); the text, or the u32 of milliseconds, follows from byte 2
//     6  a Frame plaintext from the peer (epoch, sequence, JPEG)
//     7  a message of the viewer's window on the remote view: byte 0 % 8 picks mouse move,
//        button down, button up, wheel, key down, key up, focus lost or minimise; byte 1 holds
//        the button (bits 0-1, % 3 + 1), repeat, Ctrl, Alt, on one of the window's controls and
//        full screen (bits 2-6); x, y and the wheel delta follow as signed 16-bit big-endian
//        integers, as the window's messages carry them (the key is the delta's low byte, the
//        virtual key's byte the window passes on)
//
// What the session sends is checked as it goes: control messages are JSON within the limit;
// chunks carry the upload's id and the source's own bytes, in order, never past its size; input
// the viewer sends (from its window's keys, buttons and wheel, or the paste) is an event the host
// accepts. The transfers' counts stay within their sizes.
// When the session is destroyed nothing is held down on the host, no partial file is left,
// every file written is where the local user accepted a download, marked with the origin, and
// has the digest the peer announced for it.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "app/peer_session.h"
#include "app/testing/fake_platform.h"
#include "base/json_codec.h"
#include "crypto/crypto_session.h"
#include "crypto/primitives.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/refusal.h"
#include "session/input_event.h"
#include "session/session_owner.h"
#include "tools/testing/fake_clipboard.h"
#include "tools/utf16.h"

namespace {

constexpr auto kControl = static_cast<std::uint8_t>(ov::SealedKind::Control);
constexpr auto kFrame = static_cast<std::uint8_t>(ov::SealedKind::Frame);
constexpr auto kTools = static_cast<std::uint8_t>(ov::SealedKind::Tools);
constexpr auto kInput = static_cast<std::uint8_t>(ov::SealedKind::Input);

const std::u16string kSources[] = {u"/src/notes.txt", u"/src/photo.jpg", u"/src/empty"};
const std::u16string kDownloads = u"/dl/";

std::string Digest(const std::vector<std::uint8_t>& data) {
  ov::Sha256Stream digest;
  for (std::size_t at = 0; at < data.size(); at += ov::kSha256ChunkLimit) {
    digest.Update(data.data() + at, std::min(ov::kSha256ChunkLimit, data.size() - at));
  }
  return digest.FinishHex();
}

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::uint32_t U32(std::span<const std::uint8_t> bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | (i < bytes.size() ? bytes[i] : 0);
  return value;
}

// KESTROVA_FUZZ_TRACE=1 prints what each record did and what the session sent (for reading a
// reproducer).
const bool trace = std::getenv("KESTROVA_FUZZ_TRACE") != nullptr;

class CheckingOwner final : public ov::SessionOwner {
 public:
  bool SendSealed(std::uint8_t kind, std::vector<std::uint8_t> plaintext) override {
    if (trace && (kind == kControl || kind == kInput)) {
      std::fprintf(stderr, "  sent %s %.*s\n", kind == kControl ? "control" : "input",
                   static_cast<int>(plaintext.size()),
                   reinterpret_cast<const char*>(plaintext.data()));
    }
    if (kind == kFrame) {
      OV_FUZZ_CHECK(host && plaintext.size() >= 10 && plaintext[8] == 0xFF && plaintext[9] == 0xD8);
    } else if (kind == kTools) {
      CheckChunk(plaintext);
    } else if (kind == kInput) {
      OV_FUZZ_CHECK(!host && plaintext.size() <= ov::kInputMessageLimit);
      try {
        (void)ov::ParseInputEvent(ov::ParseMessage(std::span<const std::uint8_t>(plaintext)));
      } catch (const std::exception& error) {
        std::fprintf(stderr, "the host refuses the viewer's input (%s): %.*s\n", error.what(),
                     static_cast<int>(plaintext.size()),
                     reinterpret_cast<const char*>(plaintext.data()));
        OV_FUZZ_CHECK(false && "the viewer sent an event the host refuses");
      }
    } else {
      OV_FUZZ_CHECK(kind == kControl);
      OV_FUZZ_CHECK(plaintext.size() <= ov::kControlMessageLimit);
      const ov::Json message = ov::ParseMessage(std::span<const std::uint8_t>(plaintext));
      OV_FUZZ_CHECK(message.is_object() && message.at("op").is_string());
      if (message.at("op") == "fileOffer") {
        OV_FUZZ_CHECK(ov::IsTransferId(message.at("id").get<std::string>()));
        uploaded = 0;
      }
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

  // A chunk of the upload: its id, the next offset, and the source's bytes there.
  void CheckChunk(const std::vector<std::uint8_t>& chunk) {
    OV_FUZZ_CHECK(files != nullptr && files->sender() != nullptr && source != nullptr);
    OV_FUZZ_CHECK(chunk.size() > ov::kFileChunkHeaderSize && chunk.size() <= ov::kMaxFileChunkSize);
    const std::string id(chunk.begin(), chunk.begin() + ov::kTransferIdLength);
    OV_FUZZ_CHECK(id == files->sendId());
    std::uint64_t offset = 0;
    for (std::size_t i = ov::kTransferIdLength; i < ov::kFileChunkHeaderSize; ++i) {
      offset = (offset << 8) | chunk[i];
    }
    OV_FUZZ_CHECK(offset == uploaded);
    const std::size_t length = chunk.size() - ov::kFileChunkHeaderSize;
    OV_FUZZ_CHECK(offset + length <= source->size());
    OV_FUZZ_CHECK(std::equal(chunk.begin() + ov::kFileChunkHeaderSize, chunk.end(),
                             source->begin() + static_cast<std::ptrdiff_t>(offset)));
    uploaded += length;
  }

  bool host = false;
  std::atomic<std::uint64_t> now{1000000};
  std::atomic<bool> ended{false};
  const ov::FileTransfer* files = nullptr;
  const std::vector<std::uint8_t>* source = nullptr;  // the file being offered or sent
  std::uint64_t uploaded = 0;
};

ov::Json PeerHello(bool host, std::uint8_t flags) {
  const bool control = (flags & 0x10) != 0;
  const bool files = (flags & 0x20) != 0;
  const bool clipboard = (flags & 0x40) != 0;
  if (host) {  // the viewer's answer
    return {{"op", "helloAck"},      {"version", 3},          {"build", "0.3.9"},
            {"captureStatus", true}, {"inputStatus", true},   {"clipboardSync", true},
            {"files", files},        {"clipboard", clipboard}};
  }
  return {{"op", "hello"},
          {"version", 3},
          {"build", "0.3.9"},
          {"captureStatus", true},
          {"inputStatus", true},
          {"clipboardSync", true},
          {"screens",
           ov::Json::array({{{"width", 64}, {"height", 48}, {"hz", 60}, {"primary", true}}})},
          {"epoch", 1},
          {"selected", 0},
          {"profile", 0},
          {"control", control},
          {"files", files},
          {"clipboard", clipboard}};
}

// The viewer's window as the input capture sees it: a view area below the toolbar, full screen
// or not, the mouse captured or not.
class FakeWindow final : public ov::InputWindow {
 public:
  ov::ViewRect ViewArea() const override { return {0.0f, 52.0f, 800.0f, 500.0f}; }
  bool FullScreen() const override { return fullScreen; }
  void LeaveFullScreen() override { fullScreen = false; }
  void CaptureMouse() override { captured = true; }
  void ReleaseMouse() override { captured = false; }
  bool HasMouseCapture() const override { return captured; }

  bool fullScreen = false;
  bool captured = false;
};

std::int32_t I16(std::span<const std::uint8_t> bytes, std::size_t at) {
  if (bytes.size() < at + 2) return 0;
  return static_cast<std::int16_t>((bytes[at] << 8) | bytes[at + 1]);
}

// One run: the session and everything it works on.
struct Run {
  CheckingOwner owner;
  ov::testing::FakePlatform platform;
  ov::LocalPermissions permissions;
  ov::FakeClipboard clipboard;
  std::set<std::string> announcedDigests;  // every fileFinish digest the peer sent
  std::set<std::u16string> acceptedDestinations;
  bool modal = false;
  FakeWindow window;

  // A message of the viewer's window; the host has no remote view.
  void WindowMessage(ov::PeerSession& session, std::span<const std::uint8_t> bytes) {
    if (session.isHost()) return;
    const std::uint8_t choice = bytes.size() > 0 ? bytes[0] : 0;
    const std::uint8_t flags = bytes.size() > 1 ? bytes[1] : 0;
    const std::int32_t button = (flags & 3) % 3 + 1;
    const bool repeat = (flags & 0x04) != 0;
    const bool control = (flags & 0x08) != 0;
    const bool alt = (flags & 0x10) != 0;
    const bool onControl = (flags & 0x20) != 0;
    window.fullScreen = (flags & 0x40) != 0;
    const ov::ClientPoint point{static_cast<float>(I16(bytes, 2)),
                                static_cast<float>(I16(bytes, 4))};
    // The window passes the low byte of a key message's virtual key, and the wheel's signed delta.
    const std::int32_t delta = I16(bytes, 6);
    const std::int32_t key = delta & 0xFF;
    ov::ViewerInput& input = session.input();
    switch (choice % 8) {
      case 0:
        return input.OnMouseMove(window, point, owner.now);
      case 1:
        (void)input.OnButtonDown(window, button, point, onControl);
        return;
      case 2:
        (void)input.OnButtonUp(window, button, point);
        return;
      case 3:
        return input.OnWheel(window, delta, control, point);
      case 4:
        return input.OnKeyDown(window, key, repeat, control, alt);
      case 5:
        return input.OnKeyUp(key);
      case 6:
        return input.OnFocusLost(window);
      default:
        return input.OnMinimize();
    }
  }

  void Control(ov::PeerSession& session, const ov::Json& message) {
    const std::string text = ov::SerializeMessage(message);
    Note(message);
    session.Dispatch(kControl, Bytes(text));
  }

  void Note(const ov::Json& message) {
    if (!message.is_object()) return;
    const auto op = message.find("op");
    const auto digest = message.find("sha256");
    if (op != message.end() && *op == "fileFinish" && digest != message.end() &&
        digest->is_string()) {
      announcedDigests.insert(digest->get<std::string>());
    }
  }

  // The bytes received so far of the download.
  std::vector<std::uint8_t> Received(const ov::PeerSession& session) {
    const ov::FileReceiver* receiver = session.files().receiver();
    if (receiver == nullptr) return {};
    return platform.files.files.at(receiver->temporaryPath());
  }

  void FileMessage(ov::PeerSession& session, std::span<const std::uint8_t> bytes) {
    const ov::FileTransfer& files = session.files();
    const std::uint8_t choice = bytes.size() > 0 ? bytes[0] : 0;
    const std::uint8_t variant = bytes.size() > 1 ? bytes[1] : 0;
    const std::span<const std::uint8_t> rest =
        bytes.subspan(std::min<std::size_t>(bytes.size(), 2));
    const std::string& up = files.sendId();
    const std::string down = files.receiveId();
    switch (choice % 7) {
      case 0:
        return Control(session, {{"op", "fileAccept"}, {"id", up}});
      case 1: {
        const std::uint64_t next =
            (variant & 1) != 0 || files.sender() == nullptr ? U32(rest) : files.sender()->sent();
        return Control(session, {{"op", "fileAck"}, {"id", up}, {"next", next}});
      }
      case 2: {
        const std::string digest =
            (variant & 1) != 0 ? ov::HexEncode(rest.data(), std::min<std::size_t>(rest.size(), 32))
                               : Digest(Received(session));
        return Control(session, {{"op", "fileFinish"}, {"id", down}, {"sha256", digest}});
      }
      case 3:
        return Control(session, {{"op", "fileDone"}, {"id", up}});
      case 4:
        return Control(session, {{"op", "fileCancel"}, {"id", (variant & 1) != 0 ? down : up}});
      default: {
        const std::uint64_t size = rest.empty() ? 0 : std::uint64_t{rest[0]} << ((variant % 9) * 4);
        std::string name = rest.size() > 1 ? std::string(rest.begin() + 1, rest.end()) : "a.txt";
        char id[33];
        std::snprintf(id, sizeof id, "%032x", variant);
        return Control(session, {{"op", "fileOffer"}, {"id", id}, {"name", name}, {"size", size}});
      }
    }
  }

  void Chunk(ov::PeerSession& session, std::span<const std::uint8_t> data) {
    const ov::FileReceiver* receiver = session.files().receiver();
    std::string id = receiver != nullptr ? session.files().receiveId() : std::string(32, 'e');
    std::uint64_t offset = receiver != nullptr ? receiver->received() : 0;
    std::vector<std::uint8_t> chunk(id.begin(), id.end());
    for (int shift = 56; shift >= 0; shift -= 8)
      chunk.push_back(static_cast<std::uint8_t>(offset >> shift));
    chunk.insert(
        chunk.end(), data.begin(),
        data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), ov::kFileChunkDataSize)));
    session.Dispatch(kTools, chunk);
  }

  // A local command; its failure is shown to the local user and the session goes on.
  void Local(ov::PeerSession& session, std::span<const std::uint8_t> bytes) {
    const std::uint8_t choice = bytes.size() > 0 ? bytes[0] : 0;
    const std::uint8_t variant = bytes.size() > 1 ? bytes[1] : 0;
    const std::span<const std::uint8_t> rest =
        bytes.subspan(std::min<std::size_t>(bytes.size(), 2));
    const std::string text(rest.begin(), rest.end());
    ov::FileTransfer& files = session.files();
    ov::SessionToolsState& tools = session.tools();
    try {
      switch (choice % 13) {
        case 0: {
          const std::u16string& path = kSources[variant % 3];
          const bool idle = files.sender() == nullptr;
          files.OfferFile(path);
          if (idle) owner.source = &platform.files.files.at(path);
          break;
        }
        case 1:
          if (files.pendingOffer()) {
            const std::u16string name =
                (variant & 1) != 0 ? ov::Utf8ToUtf16(text) : files.pendingOffer()->name;
            const std::u16string destination = kDownloads + name;
            files.AcceptOffer(files.pendingOffer()->id, destination);
            acceptedDestinations.insert(destination);
          }
          break;
        case 2:
          files.DeclineOffer();
          break;
        case 3:
          files.CancelAll();
          break;
        case 4:
          tools.SendChat(ov::Utf8ToUtf16(text));
          break;
        case 5:
          tools.SendClipboard();
          break;
        case 6:
          tools.AcceptClipboardRequest();
          break;
        case 7:
          tools.DeclineClipboardRequest();
          break;
        case 8:
          tools.RemotePaste();
          break;
        case 9:
          clipboard.CopyElsewhere(ov::Utf8ToUtf16(text));
          session.OnClipboardChanged();
          break;
        case 10: {
          const ov::LocalPermissions before = permissions;
          if (variant % 3 == 0) permissions.control = !permissions.control;
          if (variant % 3 == 1) permissions.files = !permissions.files;
          if (variant % 3 == 2) permissions.clipboard = !permissions.clipboard;
          session.LocalPermissionsChanged(before);
          break;
        }
        case 11:
          modal = !modal;
          session.SetLocalModal(modal);
          break;
        default:
          owner.now += U32(rest) % 200000;
          break;
      }
    } catch (const std::exception& error) {
      ov::fuzz::ExpectRefusal(error);  // a refused local command leaves the session as it was
    }
  }

  void CheckTransfers(const ov::PeerSession& session) {
    if (const ov::FileSender* sender = session.files().sender()) {
      OV_FUZZ_CHECK(sender->acknowledged() <= sender->sent() && sender->sent() <= sender->size());
      OV_FUZZ_CHECK(owner.uploaded == sender->sent());
    }
    if (const ov::FileReceiver* receiver = session.files().receiver()) {
      OV_FUZZ_CHECK(receiver->received() <= receiver->size());
      OV_FUZZ_CHECK(Received(session).size() == receiver->received());
    }
  }

  // After the session: nothing held, nothing partial, every file where it was accepted.
  void CheckAfter() {
    for (std::int32_t key = 0; key < 256; ++key) OV_FUZZ_CHECK(!platform.injector.KeyHeld(key));
    for (std::int32_t button = 1; button <= 3; ++button) {
      OV_FUZZ_CHECK(!platform.injector.ButtonHeld(button));
    }
    for (const auto& [path, contents] : platform.files.files) {
      if (path.starts_with(u"/src/")) continue;
      OV_FUZZ_CHECK(acceptedDestinations.count(path) != 0);
      OV_FUZZ_CHECK(platform.files.origins.count(path) != 0);
      OV_FUZZ_CHECK(announcedDigests.count(Digest(contents)) != 0);
    }
  }
};

void Drive(Run& run, bool host, std::uint8_t flags, std::span<const std::uint8_t> rest) {
  ov::PeerSession session(host, run.owner, run.platform, run.permissions, run.clipboard);
  run.owner.files = &session.files();
  if (host) {
    session.Start();
    session.SendHello();
  }
  session.Dispatch(kControl, Bytes(ov::SerializeMessage(PeerHello(host, flags))));
  OV_FUZZ_CHECK(session.control().helloComplete());

  for (int record = 0; record < 24 && rest.size() >= 3 && !run.owner.ended; ++record) {
    const std::uint8_t what = rest[0] % 8;
    std::size_t length = (std::size_t{rest[1]} << 8) | rest[2];
    rest = rest.subspan(3);
    length = std::min(length, rest.size());
    const std::span<const std::uint8_t> bytes = rest.first(length);
    rest = rest.subspan(length);
    run.owner.now += 500;
    try {
      switch (what) {
        case 0: {
          const std::vector<std::uint8_t> plaintext(bytes.begin(), bytes.end());
          try {
            if (plaintext.size() <= ov::kControlMessageLimit) {
              run.Note(ov::ParseMessage(std::span<const std::uint8_t>(plaintext)));
            }
          } catch (const std::exception&) {
          }
          session.Dispatch(kControl, plaintext);
          break;
        }
        case 1:
          session.Dispatch(kTools, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
          break;
        case 2:
          session.Dispatch(kInput, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
          break;
        case 3:
          run.Chunk(session, bytes);
          break;
        case 4:
          run.FileMessage(session, bytes);
          break;
        case 5:
          run.Local(session, bytes);
          break;
        case 6:
          session.Dispatch(kFrame, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
          break;
        default:
          run.WindowMessage(session, bytes);
          break;
      }
    } catch (const std::exception& error) {
      if (trace)
        std::fprintf(stderr, "record %d (%d): ends the session: %s\n", record, what, error.what());
      ov::fuzz::ExpectRefusal(error);
      break;  // the controller ends the session
    }
    if (trace) {
      std::fprintf(stderr, "record %d (%d): files %s, %u done, error \"%s\"; tools %s\n", record,
                   what, session.files().status().c_str(), session.files().completedFiles(),
                   session.files().lastFileError().c_str(), session.tools().toolsStatus().c_str());
    }
    run.CheckTransfers(session);
    session.ExpireIndicators(run.owner.now);
    session.Tick(run.owner.now);
    run.CheckTransfers(session);
  }
  // The session reset.
  session.StopStream();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool host = (data[0] & 1) != 0;
  Run run;
  run.owner.host = host;
  run.platform.displays = {
      ov::DisplayInfo{L"\\\\.\\DISPLAY1", ov::ScreenRect{0, 0, 64, 48}, true, 60}};
  run.permissions.control = (data[0] & 0x02) != 0;
  run.permissions.files = (data[0] & 0x04) != 0;
  run.permissions.clipboard = (data[0] & 0x08) != 0;
  run.clipboard.text = u"copied here";
  // Made once: filling it byte by byte under the sanitizers took a third of each input's time.
  static const std::vector<std::uint8_t> kPhoto = [] {
    std::vector<std::uint8_t> photo(100000);
    for (std::size_t i = 0; i < photo.size(); ++i) photo[i] = static_cast<std::uint8_t>(i * 131 >> 3);
    return photo;
  }();
  run.platform.files.files[kSources[0]] = Bytes("three lines\nof notes\n");
  run.platform.files.files[kSources[1]] = kPhoto;
  run.platform.files.files[kSources[2]] = {};
  Drive(run, host, data[0], std::span<const std::uint8_t>(data + 1, size - 1));
  run.CheckAfter();
  return 0;
}
