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
// (and whether payloads are written in place) never changes the events.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ov::fuzz::Selected input = ov::fuzz::Select(data, size);
  const unsigned mode = input.selector & 3;
  const bool direct = (input.selector & 4) != 0;
  const bool discard = (input.selector & 8) != 0;
  const std::vector<Seen> seen = Run(input.rest, mode, direct, discard);
  // The same bytes whole and through Consume alone give the same events.
  OV_FUZZ_CHECK(Run(input.rest, 0, false, discard) == seen);
  return 0;
}
