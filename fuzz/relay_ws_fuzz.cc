// The relay's WebSocket reader fed the raw bytes a client sends after the upgrade.
//
//   byte 0:     bits 0-1 how the bytes are cut into reads (whole, pieces of 1, of 7, or sizes
//               taken from the bytes themselves), bit 2 large payloads go through PayloadRoom
//               and CommitPayload as the relay reads them, bit 3 Discard after the first event
//               that refuses a message (as the relay does once its close is out)
//   the rest:   the connection's bytes
//
// The reader runs with small limits (text 64, binary 4096) so that the fuzzer reaches them.
// Checked: text messages are valid UTF-8, no message exceeds its limit, control payloads stay
// within 125 bytes, close codes are valid ones, errors close with 1002, 1007 or 1011, a refusal
// or an error repeats until Discard (errors for good), and the way the bytes are cut into reads
// (and whether payloads are written in place) never changes the events. The first frame's header,
// read independently, decides: a framing violation is the one event, an error closing with 1002,
// and a whole masked ping comes out as that ping with its payload unmasked.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "relay/ws_frame.h"

namespace {

using ov::relay::ws::Reader;
using Kind = Reader::Kind;
constexpr Reader::Limits kLimits{64, 4096};

struct Seen {
  Kind kind;
  std::string data;
  std::uint16_t code;
  bool operator==(const Seen&) const = default;
};

// Runs the reader over `bytes` cut as `mode` says; stops at the first error, or at the first
// refusal unless `discard`.
std::vector<Seen> Run(std::span<const std::uint8_t> bytes, unsigned mode, bool direct,
                      bool discard) {
  Reader reader(kLimits);
  std::vector<Seen> seen;
  std::size_t at = 0;
  std::size_t cut = 0;
  bool refused = false;
  auto record = [&](const Reader::Event& e) {
    switch (e.kind) {
      case Kind::kNeedMore:
        return true;
      case Kind::kText:
      case Kind::kBinary: {
        const std::string message(reader.Message());
        OV_FUZZ_CHECK(message.size() <= (e.kind == Kind::kText ? kLimits.text : kLimits.binary));
        if (e.kind == Kind::kText) {
          ov::relay::ws::Utf8Check check;
          OV_FUZZ_CHECK(check.Feed(reinterpret_cast<const std::uint8_t*>(message.data()),
                                   message.size()) &&
                        check.Complete());
        }
        OV_FUZZ_CHECK(reader.TakeMessage().view() == message);
        OV_FUZZ_CHECK(!reader.MidMessage());
        seen.push_back({e.kind, message, 0});
        return true;
      }
      case Kind::kPing:
      case Kind::kPong:
      case Kind::kClose:
        OV_FUZZ_CHECK(reader.Control().size() <= 125);
        if (e.kind == Kind::kClose && e.closeCode != 0) {
          OV_FUZZ_CHECK(ov::relay::ws::IsValidCloseCode(e.closeCode));
        }
        seen.push_back({e.kind, std::string(reader.Control()), e.closeCode});
        return true;
      case Kind::kTooLarge: {
        OV_FUZZ_CHECK(!refused);
        seen.push_back({e.kind, e.text ? "text" : "binary", e.closeCode});
        std::span<const std::uint8_t> none;
        OV_FUZZ_CHECK(reader.Consume(none).kind == Kind::kTooLarge);
        if (!discard) return false;
        refused = true;
        reader.Discard();
        return true;
      }
      case Kind::kError: {
        OV_FUZZ_CHECK(e.closeCode == 1002 || e.closeCode == 1007 || e.closeCode == 1011);
        seen.push_back({e.kind, std::string(e.what), e.closeCode});
        std::span<const std::uint8_t> none;
        OV_FUZZ_CHECK(reader.Consume(none).kind == Kind::kError);
        return false;
      }
    }
    return false;
  };
  while (at < bytes.size()) {
    std::size_t n = bytes.size() - at;
    if (mode == 1) n = 1;
    if (mode == 2) n = std::min<std::size_t>(n, 7);
    if (mode == 3) n = std::min<std::size_t>(n, 1 + bytes[cut++ % bytes.size()] % 64);
    const std::span<std::uint8_t> room = direct ? reader.PayloadRoom() : std::span<std::uint8_t>();
    if (room.size() >= 8) {
      n = std::min(n, room.size());
      std::memcpy(room.data(), bytes.data() + at, n);
      at += n;
      if (!record(reader.CommitPayload(n))) return seen;
      continue;
    }
    std::span<const std::uint8_t> in = bytes.subspan(at, n);
    at += n;
    while (!in.empty()) {
      if (!record(reader.Consume(in))) return seen;
    }
  }
  return seen;
}

// What the first frame's header alone says, read here from the bytes without the reader: a
// violation of the framing rules (reserved bits, an unmasked frame, a reserved opcode, a
// continuation with no message to continue, a fragmented or long control frame, a length not in
// its shortest form or with the top bit set), or a whole masked ping whose payload is known.
struct FirstFrame {
  bool violation = false;
  bool ping = false;
  std::string pingPayload;
};

FirstFrame ReadFirstFrame(std::span<const std::uint8_t> b) {
  FirstFrame f;
  if (b.size() < 2) return f;
  const bool fin = (b[0] & 0x80) != 0;
  const unsigned opcode = b[0] & 0x0F;
  const bool control = opcode >= 8;
  const unsigned len7 = b[1] & 0x7F;
  if ((b[0] & 0x70) != 0 || (b[1] & 0x80) == 0 || opcode == 0 || (opcode > 2 && opcode < 8) ||
      opcode > 10 || (control && (!fin || len7 > 125))) {
    f.violation = true;
    return f;
  }
  // The length is judged once the whole header, mask included, is there.
  if (len7 == 126 && b.size() >= 2 + 2 + 4) {
    f.violation = ((unsigned{b[2]} << 8) | b[3]) < 126;
  } else if (len7 == 127 && b.size() >= 2 + 8 + 4) {
    std::uint64_t length = 0;
    for (std::size_t i = 2; i < 10; ++i) length = (length << 8) | b[i];
    f.violation = (length >> 63) != 0 || length < 65536;
  }
  if (opcode == 9 && b.size() >= 6 + len7) {
    f.ping = true;
    for (unsigned i = 0; i < len7; ++i) f.pingPayload.push_back(static_cast<char>(b[6 + i] ^ b[2 + i % 4]));
  }
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ov::fuzz::Selected input = ov::fuzz::Select(data, size);
  const unsigned mode = input.selector & 3;
  const bool direct = (input.selector & 4) != 0;
  const bool discard = (input.selector & 8) != 0;
  const std::vector<Seen> seen = Run(input.rest, mode, direct, discard);
  // The same bytes whole and through Consume alone give the same events.
  OV_FUZZ_CHECK(Run(input.rest, 0, false, discard) == seen);
  const FirstFrame first = ReadFirstFrame(input.rest);
  if (first.violation) {
    OV_FUZZ_CHECK(seen.size() == 1 && seen[0].kind == Kind::kError && seen[0].code == 1002);
  }
  if (first.ping) {
    OV_FUZZ_CHECK(!seen.empty() && seen[0].kind == Kind::kPing && seen[0].data == first.pingPayload);
  }
  return 0;
}
