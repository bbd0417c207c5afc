// The relay's WebSocket reader fed the raw bytes a client sends after the upgrade.
//
//   byte 0:     bits 0-1 how the bytes are cut into reads (whole, pieces of 1, of 7, or sizes
//               taken from the bytes themselves), bit 2 large payloads go through PayloadRoom
//               and CommitPayload as the relay reads them, bit 3 Discard after the first event
//               that refuses a message (as the relay does once its close is out), bit 4 binary
//               messages also stream (the two bytes below come first)
//   with bit 4: a byte whose bit pairs answer the binary gate for the messages in turn (the
//               fifth message takes the first pair again: 0 skip, 1 store, 2 and 3 stream),
//               and a byte whose low 3 bits scale the output buffers (kMaxHeader plus one of the
//               connection's bytes, taken in turn, shifted left by up to 4)
//   the rest:   the connection's bytes
//
// The reader runs with small limits (text 64, binary 4096) so that the fuzzer reaches them.
// Checked: text messages are valid UTF-8, no message exceeds its limit, control payloads stay
// within 125 bytes, close codes are valid ones, errors close with 1002, 1007, 1008 (too many
// small fragments) or 1011, a refusal or an error repeats until Discard (errors for good), and
// the way the bytes are cut into reads (and whether payloads are written in place) never changes
// the events. The first frame's header, read independently, decides: a framing violation is the
// one event, an error closing with 1002, and a whole masked ping comes out as that ping with its
// payload unmasked.
//
// Streamed messages: the output, re-parsed here as server frames (unmasked, canonical lengths, a
// binary frame then continuations, fin on the last one only, each header whole within one
// buffer), carries exactly the payload a stored read of the same bytes gives, in the same place
// among the other events (skipped messages aside); every kStreamEnd finds the output at a frame
// end, every buffer end the reader calls a frame end is one, and nothing is written past a buffer
// (guard bytes after each, besides the sanitizer).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "relay/ws_frame.h"

namespace {

using ov::relay::ws::Reader;
using Kind = Reader::Kind;
using Admit = Reader::Admit;
constexpr Reader::Limits kLimits{64, 4096};
constexpr std::size_t kGuard = 16;
constexpr std::uint8_t kCanary = 0xA5;

struct Seen {
  Kind kind;
  std::string data;
  std::uint16_t code;
  // Binary messages only: which answer of the gate it was (its place among the messages asked).
  std::size_t asked = 0;
  bool operator==(const Seen& o) const {
    return kind == o.kind && data == o.data && code == o.code;
  }
};

// How a run treats binary messages: no gate (every one stored), or the gate's answers by the
// pattern, with output buffers sized from `sizes`.
struct Streaming {
  bool on = false;
  std::uint8_t pattern = 0;
  unsigned shift = 0;
  std::span<const std::uint8_t> sizes;
};

Admit Answer(std::uint8_t pattern, std::size_t i) {
  switch ((pattern >> (2 * (i % 4))) & 3) {
    case 0:
      return Admit::kSkip;
    case 1:
      return Admit::kStore;
    default:
      return Admit::kStream;
  }
}

// One piece of streamed output as the reader handed it over, and whether the reader called its
// end a frame end.
struct Piece {
  std::string bytes;
  bool frameEnd;
};

// Re-parses the pieces of one streamed message as the frames a server sends; returns the payload.
std::string ParseStreamed(const std::vector<Piece>& pieces) {
  std::string all;
  std::vector<std::size_t> ends;  // where each piece ends in `all`
  std::vector<bool> frameEnds;
  for (const Piece& p : pieces) {
    all += p.bytes;
    ends.push_back(all.size());
    frameEnds.push_back(p.frameEnd);
  }
  auto pieceOf = [&](std::size_t at) {  // the piece holding byte `at`
    std::size_t i = 0;
    while (ends[i] <= at) ++i;
    return i;
  };
  std::vector<std::size_t> frameBounds{0};
  std::string payload;
  std::size_t at = 0;
  bool first = true;
  bool fin = false;
  while (at < all.size()) {
    OV_FUZZ_CHECK(!fin);  // nothing after the last frame
    OV_FUZZ_CHECK(all.size() - at >= 2);
    const auto b0 = static_cast<std::uint8_t>(all[at]);
    const auto b1 = static_cast<std::uint8_t>(all[at + 1]);
    fin = (b0 & 0x80) != 0;
    OV_FUZZ_CHECK((b0 & 0x70) == 0);
    OV_FUZZ_CHECK((b0 & 0x0F) == (first ? 2 : 0));
    OV_FUZZ_CHECK((b1 & 0x80) == 0);  // a server's frames are not masked
    std::size_t head = 2;
    std::uint64_t length = b1 & 0x7F;
    if (length == 126) head = 4;
    if (length == 127) head = 10;
    OV_FUZZ_CHECK(all.size() - at >= head);
    if (head > 2) {
      length = 0;
      for (std::size_t i = 2; i < head; ++i) length = (length << 8) | static_cast<std::uint8_t>(all[at + i]);
      OV_FUZZ_CHECK(length >= (head == 4 ? 126u : 65536u));  // the shortest form
    }
    OV_FUZZ_CHECK(pieceOf(at) == pieceOf(at + head - 1));  // a header is never cut
    at += head;
    OV_FUZZ_CHECK(all.size() - at >= length);
    payload.append(all, at, static_cast<std::size_t>(length));
    at += static_cast<std::size_t>(length);
    frameBounds.push_back(at);
    first = false;
  }
  OV_FUZZ_CHECK(fin);
  // A piece whose end the reader called a frame end ends exactly at one.
  for (std::size_t i = 0; i < ends.size(); ++i) {
    if (!frameEnds[i]) continue;
    bool found = false;
    for (std::size_t b : frameBounds) found = found || b == ends[i];
    OV_FUZZ_CHECK(found);
  }
  return payload;
}

// Runs the reader over `bytes` cut as `mode` says; stops at the first error, or at the first
// refusal unless `discard`. A stored run still counts the gate's questions (every answer kStore)
// so that its messages can be matched with a streamed run's.
std::vector<Seen> Run(std::span<const std::uint8_t> bytes, unsigned mode, bool direct,
                      bool discard, const Streaming& streaming) {
  Reader reader(kLimits);
  std::vector<Seen> seen;
  std::size_t at = 0;
  std::size_t cut = 0;
  bool refused = false;
  std::size_t asked = 0;
  std::size_t lastAsked = 0;
  reader.SetBinaryGate([&] {
    lastAsked = asked++;
    return streaming.on ? Answer(streaming.pattern, lastAsked) : Admit::kStore;
  });
  // The output buffer in use, with guard bytes after the part the reader is given.
  std::vector<std::uint8_t> out;
  std::size_t outSize = 0;
  std::size_t nextSize = 0;
  std::vector<Piece> pieces;
  auto checkGuard = [&] {
    OV_FUZZ_CHECK(reader.OutputUsed() <= outSize);
    for (std::size_t i = outSize; i < out.size(); ++i) OV_FUZZ_CHECK(out[i] == kCanary);
  };
  auto takePiece = [&] {
    checkGuard();
    if (reader.OutputUsed() > 0) {
      pieces.push_back({std::string(reinterpret_cast<const char*>(out.data()), reader.OutputUsed()),
                        reader.OutputAtFrameEnd()});
    }
  };
  auto newOutput = [&] {
    const std::uint8_t b = streaming.sizes.empty()
                               ? 0
                               : streaming.sizes[nextSize++ % streaming.sizes.size()];
    outSize = ov::relay::ws::kMaxHeader + (std::size_t{b} << streaming.shift);
    out.assign(outSize + kGuard, kCanary);
    reader.SetOutput({out.data(), outSize});
  };
  auto record = [&](const Reader::Event& e) {
    checkGuard();
    switch (e.kind) {
      case Kind::kNeedMore:
        return true;
      case Kind::kOutputFull:
        OV_FUZZ_CHECK(streaming.on && reader.Streaming());
        takePiece();
        newOutput();
        return true;
      case Kind::kStreamEnd: {
        OV_FUZZ_CHECK(streaming.on && !reader.Streaming());
        OV_FUZZ_CHECK(reader.OutputAtFrameEnd());
        takePiece();
        const std::string payload = ParseStreamed(pieces);
        pieces.clear();
        OV_FUZZ_CHECK(payload.size() == reader.StreamedSize());
        OV_FUZZ_CHECK(payload.size() <= kLimits.binary);
        OV_FUZZ_CHECK(!reader.MidMessage());
        seen.push_back({Kind::kBinary, payload, 0, lastAsked});
        // The next streamed message starts without a buffer, as the relay's does.
        reader.SetOutput({});
        outSize = 0;
        out.clear();
        return true;
      }
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
        seen.push_back({e.kind, message, 0, e.kind == Kind::kBinary ? lastAsked : 0});
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
        pieces.clear();  // a message cut short is not compared
        return true;
      }
      case Kind::kError: {
        OV_FUZZ_CHECK(e.closeCode == 1002 || e.closeCode == 1007 || e.closeCode == 1008 ||
                      e.closeCode == 1011);
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
    // Until the reader wants more bytes: a streamed frame may still go on (its header into a
    // new buffer, an empty frame's end) once the input is used up.
    for (;;) {
      const Reader::Event e = reader.Consume(in);
      if (!record(e)) return seen;
      if (e.kind == Kind::kNeedMore && in.empty()) break;
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
  std::span<const std::uint8_t> bytes = input.rest;
  Streaming streaming;
  if ((input.selector & 16) != 0) {
    if (bytes.size() < 2) return 0;
    streaming.on = true;
    streaming.pattern = bytes[0];
    streaming.shift = bytes[1] % 5;
    bytes = bytes.subspan(2);
    streaming.sizes = bytes;
  }
  const Streaming stored;
  const std::vector<Seen> seen = Run(bytes, mode, direct, discard, stored);
  // The same bytes whole and through Consume alone give the same events.
  OV_FUZZ_CHECK(Run(bytes, 0, false, discard, stored) == seen);
  if (streaming.on) {
    // Streamed, the same messages in the same order, but for the ones the gate skipped.
    std::vector<Seen> expected;
    for (const Seen& s : seen) {
      if (s.kind == Kind::kBinary && Answer(streaming.pattern, s.asked) == Admit::kSkip) continue;
      expected.push_back(s);
    }
    OV_FUZZ_CHECK(Run(bytes, mode, direct, discard, streaming) == expected);
    OV_FUZZ_CHECK(Run(bytes, 0, false, discard, streaming) == expected);
  }
  const FirstFrame first = ReadFirstFrame(bytes);
  if (first.violation) {
    OV_FUZZ_CHECK(seen.size() == 1 && seen[0].kind == Kind::kError && seen[0].code == 1002);
  }
  if (first.ping) {
    OV_FUZZ_CHECK(!seen.empty() && seen[0].kind == Kind::kPing && seen[0].data == first.pingPayload);
  }
  return 0;
}
