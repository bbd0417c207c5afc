#include "relay/ws_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace ov::relay::ws {
namespace {

using Kind = Reader::Kind;
constexpr Reader::Limits kLimits{16, 64};

// One client frame: masked with a fixed key unless `masked` is false; `lengthBytes` forces the
// 2- or 8-byte length form (0: the shortest).
std::string Frame(std::uint8_t first, std::string_view payload, bool masked = true,
                  int lengthBytes = 0) {
  std::string out(1, static_cast<char>(first));
  const std::uint8_t maskBit = masked ? 0x80 : 0;
  const std::size_t n = payload.size();
  if (lengthBytes == 0 && n < 126) {
    out += static_cast<char>(maskBit | n);
  } else if (lengthBytes == 2 || (lengthBytes == 0 && n <= 0xffff)) {
    out += static_cast<char>(maskBit | 126);
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n & 0xff);
  } else {
    out += static_cast<char>(maskBit | 127);
    for (int i = 7; i >= 0; --i) out += static_cast<char>((std::uint64_t{n} >> (8 * i)) & 0xff);
  }
  const char key[4] = {'\x37', '\xfa', '\x21', '\x3d'};
  if (masked) out.append(key, 4);
  for (std::size_t i = 0; i < n; ++i) {
    out += masked ? static_cast<char>(payload[i] ^ key[i % 4]) : payload[i];
  }
  return out;
}

// A header alone that declares `length` bytes (64-bit form), masked.
std::string Header64(std::uint8_t first, std::uint64_t length) {
  std::string out(1, static_cast<char>(first));
  out += static_cast<char>(0x80 | 127);
  for (int i = 7; i >= 0; --i) out += static_cast<char>((length >> (8 * i)) & 0xff);
  return out + std::string(4, '\x11');
}

struct Seen {
  Kind kind;
  std::string data;  // message, control payload or close reason
  std::uint16_t code = 0;
};

// Feeds `bytes` to `reader` in pieces of `step` bytes and hands every event but kNeedMore to
// `on`, until `on` returns false.
template <class On>
void FeedInPieces(Reader& reader, const std::string& bytes, std::size_t step, On on) {
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    const std::string piece = bytes.substr(at, step);
    std::span<const std::uint8_t> in(reinterpret_cast<const std::uint8_t*>(piece.data()),
                                     piece.size());
    while (!in.empty()) {
      const Reader::Event e = reader.Consume(in);
      if (e.kind != Kind::kNeedMore && !on(e)) return;
    }
  }
}

// Feeds `bytes` in pieces of `step` bytes and collects the events up to the first refusal.
std::vector<Seen> Feed(const std::string& bytes, std::size_t step) {
  Reader reader(kLimits);
  std::vector<Seen> seen;
  FeedInPieces(reader, bytes, step, [&](const Reader::Event& e) {
    switch (e.kind) {
      case Kind::kText:
      case Kind::kBinary:
        seen.push_back({e.kind, std::string(reader.TakeMessage().view())});
        return true;
      case Kind::kTooLarge:
        seen.push_back({e.kind, e.text ? "text" : "binary", e.closeCode});
        return false;
      case Kind::kError:
        seen.push_back({e.kind, std::string(e.what), e.closeCode});
        return false;
      default:
        seen.push_back({e.kind, std::string(reader.Control()), e.closeCode});
        return true;
    }
  });
  return seen;
}

std::string Describe(const std::vector<Seen>& seen) {
  std::string out;
  for (const Seen& s : seen) {
    out += std::to_string(static_cast<int>(s.kind)) + ":" + s.data + ":" +
           std::to_string(s.code) + " ";
  }
  return out;
}

// Every case is fed whole, byte by byte and in pieces of 3: the split must never matter.
TEST(WsReaderTest, FramesAndViolationsWhateverTheSplit) {
  const std::string e9 = "\xe2\x82\xac";  // U+20AC, split across fragments below
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<Seen> expected;
  } cases[] = {
      {"text and binary", Frame(0x81, "hi") + Frame(0x82, std::string("\0\1", 2)),
       {{Kind::kText, "hi"}, {Kind::kBinary, std::string("\0\1", 2)}}},
      {"empty binary", Frame(0x82, ""), {{Kind::kBinary, ""}}},
      {"fragments with control frames between",
       Frame(0x01, "a" + e9.substr(0, 1)) + Frame(0x89, "p") + Frame(0x00, e9.substr(1)) +
           Frame(0x8a, "") + Frame(0x80, "b"),
       {{Kind::kPing, "p"}, {Kind::kPong, ""}, {Kind::kText, "a" + e9 + "b"}}},
      {"close with code and reason", Frame(0x88, "\x03\xe8" "bye"),
       {{Kind::kClose, "bye", 1000}}},
      {"close without a code", Frame(0x88, ""), {{Kind::kClose, "", 0}}},
      {"text at the limit", Frame(0x81, std::string(16, 't')),
       {{Kind::kText, std::string(16, 't')}}},
      {"text over the limit", Frame(0x81, std::string(17, 't')),
       {{Kind::kTooLarge, "text", 1008}}},
      {"fragments over the limit together",
       Frame(0x02, std::string(40, 'b')) + Frame(0x80, std::string(25, 'b')),
       {{Kind::kTooLarge, "binary", 1008}}},
      {"a huge header is refused before its payload", Header64(0x82, std::uint64_t{1} << 40),
       {{Kind::kTooLarge, "binary", 1008}}},
      {"unmasked", Frame(0x82, "x", false), {{Kind::kError, "unmasked frame", 1002}}},
      {"reserved bits", Frame(0xc2, "x"), {{Kind::kError, "reserved bits set", 1002}}},
      {"reserved data opcode", Frame(0x83, "x"), {{Kind::kError, "reserved opcode", 1002}}},
      {"reserved control opcode", Frame(0x8b, "x"), {{Kind::kError, "reserved opcode", 1002}}},
      {"fragmented ping", Frame(0x09, "x"), {{Kind::kError, "fragmented control frame", 1002}}},
      {"ping over 125 bytes", Frame(0x89, std::string(126, 'p')),
       {{Kind::kError, "control frame over 125 bytes", 1002}}},
      {"continuation first", Frame(0x80, "x"),
       {{Kind::kError, "continuation without a message", 1002}}},
      {"new message inside a message", Frame(0x01, "a") + Frame(0x81, "b"),
       {{Kind::kError, "new data frame inside a message", 1002}}},
      {"16-bit length not minimal", Frame(0x82, "abc", true, 2),
       {{Kind::kError, "length not minimal", 1002}}},
      {"64-bit length not minimal", Frame(0x82, "abc", true, 8),
       {{Kind::kError, "length not minimal", 1002}}},
      {"length with the top bit set", Header64(0x82, std::uint64_t{1} << 63),
       {{Kind::kError, "length with the top bit set", 1002}}},
      {"invalid UTF-8", Frame(0x81, "\xc0\xaf"), {{Kind::kError, "invalid UTF-8", 1007}}},
      {"surrogate", Frame(0x81, "\xed\xa0\x80"), {{Kind::kError, "invalid UTF-8", 1007}}},
      {"text ending inside a character", Frame(0x81, "a\xe2\x82"),
       {{Kind::kError, "invalid UTF-8", 1007}}},
      {"close of one byte", Frame(0x88, "\x03"),
       {{Kind::kError, "close frame of one byte", 1002}}},
      {"reserved close code", Frame(0x88, "\x03\xed"),
       {{Kind::kError, "invalid close code", 1002}}},
      {"close code 999", Frame(0x88, "\x03\xe7"), {{Kind::kError, "invalid close code", 1002}}},
      {"close reason not UTF-8", Frame(0x88, "\x03\xe8\xff"),
       {{Kind::kError, "invalid UTF-8 in the close reason", 1007}}},
      {"eight small fragments, then the last",
       [] {
         std::string b = Frame(0x02, "a");
         for (int i = 0; i < 7; ++i) b += Frame(0x00, "b");
         return b + Frame(0x80, "c");
       }(),
       {{Kind::kBinary, "a" + std::string(7, 'b') + "c"}}},
      {"a ninth small fragment",
       [] {
         std::string b = Frame(0x01, "a");
         for (int i = 0; i < 8; ++i) b += Frame(0x00, "b");
         return b;
       }(),
       {{Kind::kError, "too many small fragments", 1008}}},
  };
  for (const Case& c : cases) {
    for (std::size_t step : {c.bytes.size(), std::size_t{1}, std::size_t{3}}) {
      const std::vector<Seen> seen = Feed(c.bytes, step == 0 ? 1 : step);
      std::vector<Seen> expected = c.expected;
      EXPECT_EQ(Describe(seen), Describe(expected)) << c.name << ", pieces of " << step;
    }
  }
}

// A large payload written straight into the message buffer, the way the relay reads it, after a
// header and a first piece that came through Consume; then Discard skips an oversized frame to
// the close behind it.
TEST(WsReaderTest, DirectPayloadAndDiscard) {
  Reader reader({16, 1u << 20});
  std::string payload(300000, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + 1);
  const std::string frame = Frame(0x82, payload);
  std::span<const std::uint8_t> in(reinterpret_cast<const std::uint8_t*>(frame.data()), 1000);
  EXPECT_EQ(reader.Consume(in).kind, Kind::kNeedMore);
  std::size_t at = 1000;
  Reader::Event last;
  while (at < frame.size()) {
    const std::span<std::uint8_t> room = reader.PayloadRoom();
    ASSERT_FALSE(room.empty());
    const std::size_t n = std::min({room.size(), frame.size() - at, std::size_t{70000}});
    std::memcpy(room.data(), frame.data() + at, n);
    at += n;
    last = reader.CommitPayload(n);
  }
  ASSERT_EQ(last.kind, Kind::kBinary);
  EXPECT_EQ(reader.TakeMessage().view(), payload);
  EXPECT_FALSE(reader.MidMessage());

  const std::string rest = Frame(0x81, std::string(40, 'x')) + Frame(0x89, "") +
                           Frame(0x88, "\x03\xe9");
  std::span<const std::uint8_t> tail(reinterpret_cast<const std::uint8_t*>(rest.data()),
                                     rest.size());
  EXPECT_EQ(reader.Consume(tail).kind, Kind::kTooLarge);
  EXPECT_EQ(reader.Consume(tail).kind, Kind::kTooLarge) << "stays refused until Discard";
  reader.Discard();
  EXPECT_TRUE(reader.PayloadRoom().empty()) << "skipped payload is not stored";
  const Reader::Event ping = reader.Consume(tail);
  EXPECT_EQ(ping.kind, Kind::kPing);
  const Reader::Event close = reader.Consume(tail);
  EXPECT_EQ(close.kind, Kind::kClose);
  EXPECT_EQ(close.closeCode, 1001);
  EXPECT_TRUE(tail.empty());
}

// Feeds `bytes` in pieces of `step` bytes to a reader whose binary gate gives `answers` in turn;
// describes the gate's questions ("read", "skip") and the events, up to the first refusal.
std::string FeedGated(const std::string& bytes, std::size_t step, std::vector<bool> answers) {
  Reader reader(kLimits);
  std::string out;
  std::size_t asked = 0;
  reader.SetBinaryGate([&] {
    const bool read = asked < answers.size() ? answers[asked] : true;
    ++asked;
    out += read ? "read " : "skip ";
    return read ? Reader::Admit::kStore : Reader::Admit::kSkip;
  });
  FeedInPieces(reader, bytes, step, [&](const Reader::Event& e) {
    switch (e.kind) {
      case Kind::kText:
      case Kind::kBinary:
        out += std::string(e.kind == Kind::kText ? "text:" : "binary:") +
               std::string(reader.TakeMessage().view()) + " ";
        return true;
      case Kind::kTooLarge:
        out += "tooLarge";
        return false;
      case Kind::kError:
        out += "error:" + std::string(e.what);
        return false;
      default:
        out += "control:" + std::string(reader.Control()) + " ";
        return true;
    }
  });
  return out;
}

// The gate is put one question per binary message, at its first header once that is within the
// limit; text is never asked about. A message it skips yields nothing, fragments and all, while
// the control frames between them still arrive and the next message is asked about afresh.
TEST(WsReaderTest, BinaryGateReadsOrSkipsEachMessageAtItsHeader) {
  const std::string fragmented = Frame(0x02, "ab") + Frame(0x89, "p") + Frame(0x00, "cd") +
                                 Frame(0x80, "ef") + Frame(0x81, "t");
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<bool> answers;
    std::string expected;
  } cases[] = {
      {"text is not asked about", Frame(0x81, "hi"), {}, "text:hi "},
      {"read", Frame(0x82, "ab"), {true}, "read binary:ab "},
      {"skipped, then the next one read", Frame(0x82, "ab") + Frame(0x82, "cd"), {false, true},
       "skip read binary:cd "},
      {"fragments read", fragmented, {true}, "read control:p binary:abcdef text:t "},
      {"fragments skipped", fragmented, {false}, "skip control:p text:t "},
      {"empty message read", Frame(0x82, ""), {true}, "read binary: "},
      {"empty message skipped", Frame(0x82, "") + Frame(0x82, "x"), {false, true},
       "skip read binary:x "},
      {"empty first fragment read", Frame(0x02, "") + Frame(0x80, "xy"), {true}, "read binary:xy "},
      {"empty first fragment skipped", Frame(0x02, "") + Frame(0x80, "xy") + Frame(0x81, "t"),
       {false}, "skip text:t "},
      {"a header over the limit is refused before any question",
       Frame(0x82, std::string(65, 'b')), {}, "tooLarge"},
      {"skipped fragments still count against the limit",
       Frame(0x02, std::string(40, 'b')) + Frame(0x80, std::string(25, 'b')), {false},
       "skip tooLarge"},
      {"a skipped message, then the close", Frame(0x82, "zz") + Frame(0x88, "\x03\xe8"), {false},
       "skip control: "},
  };
  for (const Case& c : cases) {
    for (std::size_t step : {c.bytes.size(), std::size_t{1}, std::size_t{3}}) {
      EXPECT_EQ(FeedGated(c.bytes, step, c.answers), c.expected) << c.name << ", pieces of " << step;
    }
  }
}

// The call that asked the gate returns at once after the header, so that the caller can stop
// there; a skipped payload is never offered for direct reading, a read one is.
TEST(WsReaderTest, BinaryGateStopsTheCallThatAskedIt) {
  for (const bool read : {false, true}) {
    Reader reader(kLimits);
    int asked = 0;
    reader.SetBinaryGate([&] {
      ++asked;
      return read ? Reader::Admit::kStore : Reader::Admit::kSkip;
    });
    const std::string bytes = Frame(0x82, std::string(40, 'b')) + Frame(0x89, "p");
    std::span<const std::uint8_t> in(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                     bytes.size());
    EXPECT_EQ(reader.Consume(in).kind, Kind::kNeedMore);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(in.size(), bytes.size() - 6) << "only the header (2 bytes and the mask) was used";
    EXPECT_EQ(reader.PayloadRoom().empty(), !read);
    Reader::Event e = reader.Consume(in);
    if (read) {
      EXPECT_EQ(e.kind, Kind::kBinary);
      EXPECT_EQ(reader.TakeMessage().view(), std::string(40, 'b'));
      e = reader.Consume(in);
    }
    EXPECT_EQ(e.kind, Kind::kPing);
    EXPECT_TRUE(in.empty());
    EXPECT_EQ(asked, 1);
  }
}

// The server's form of one frame: unmasked, with the same fin bit, opcode and length.
std::string ServerFrame(std::uint8_t first, std::string_view payload) {
  std::uint8_t head[10];
  const std::size_t n = WriteFrameHeader(head, static_cast<Opcode>(first & 0x0f), payload.size());
  head[0] = static_cast<std::uint8_t>((head[0] & 0x0f) | (first & 0x80));
  return std::string(reinterpret_cast<const char*>(head), n) + std::string(payload);
}

// A streamed message comes out as the server's form of the same frames, byte for byte, whatever
// the input split and however small the output buffers; control frames between its fragments
// stay events, and the output always ends between frames when kStreamEnd comes.
TEST(WsReaderTest, StreamedMessagesComeOutAsServerFramesWhateverTheBuffers) {
  const std::string big(3000, 'z');
  struct Case {
    const char* name;
    std::string in;
    std::string out;
    std::string events;
  } cases[] = {
      {"one frame", Frame(0x82, "hello"), ServerFrame(0x82, "hello"), "end "},
      {"empty", Frame(0x82, ""), ServerFrame(0x82, ""), "end "},
      {"fragments around a ping", Frame(0x02, big) + Frame(0x89, "p") + Frame(0x80, "tail"),
       ServerFrame(0x02, big) + ServerFrame(0x80, "tail"), "ping end "},
      {"empty fragments", Frame(0x02, big) + Frame(0x00, "") + Frame(0x80, ""),
       ServerFrame(0x02, big) + ServerFrame(0x00, "") + ServerFrame(0x80, ""), "end "},
      {"two messages and a text", Frame(0x82, "a") + Frame(0x81, "t") + Frame(0x82, big),
       ServerFrame(0x82, "a") + ServerFrame(0x82, big), "end text:t end "},
      {"over the limit in its second fragment", Frame(0x02, big) + Frame(0x80, std::string(11, 'x')),
       ServerFrame(0x02, big), "tooLarge "},
  };
  for (const Case& c : cases) {
    for (const std::size_t step : {c.in.size(), std::size_t{1}, std::size_t{7}}) {
      for (const std::size_t room : {kMaxHeader, std::size_t{11}, std::size_t{65536}}) {
        Reader reader({16, 3010});
        reader.SetBinaryGate([] { return Reader::Admit::kStream; });
        std::vector<std::uint8_t> buffer(room);
        std::string out, events;
        auto take = [&] {
          out.append(reinterpret_cast<const char*>(buffer.data()), reader.OutputUsed());
          reader.SetOutput(buffer);
        };
        reader.SetOutput(buffer);
        bool stop = false;
        for (std::size_t at = 0; at < c.in.size() && !stop; at += step) {
          const std::string piece = c.in.substr(at, step);
          std::span<const std::uint8_t> in(reinterpret_cast<const std::uint8_t*>(piece.data()),
                                           piece.size());
          while (!in.empty() && !stop) {
            const Reader::Event e = reader.Consume(in);
            switch (e.kind) {
              case Kind::kOutputFull:
                ASSERT_EQ(reader.OutputUsed(), room) << c.name;
                take();
                break;
              case Kind::kStreamEnd:
                EXPECT_TRUE(reader.OutputAtFrameEnd()) << c.name;
                take();
                events += "end ";
                break;
              case Kind::kPing:
                events += "ping ";
                break;
              case Kind::kText:
                events += "text:" + std::string(reader.Message()) + " ";
                break;
              case Kind::kTooLarge:
                events += "tooLarge ";
                take();
                stop = true;
                break;
              case Kind::kNeedMore:
                break;
              default:
                events += "unexpected ";
                stop = true;
            }
          }
        }
        EXPECT_EQ(out, c.out) << c.name << ", pieces of " << step << ", room " << room;
        EXPECT_EQ(events, c.events) << c.name << ", pieces of " << step << ", room " << room;
      }
    }
  }
}

// Payload read straight into the output (as the relay reads large frames) is unmasked in place;
// SkipRest drops the rest of a streamed message, which then yields nothing more.
TEST(WsReaderTest, StreamedPayloadInPlaceAndSkipRest) {
  const std::string payload(5000, 'q');
  const std::string bytes = Frame(0x02, payload) + Frame(0x80, "end") + Frame(0x81, "t");
  Reader reader({16, 10000});
  reader.SetBinaryGate([] { return Reader::Admit::kStream; });
  std::vector<std::uint8_t> buffer(4096);
  reader.SetOutput(buffer);
  std::span<const std::uint8_t> in(reinterpret_cast<const std::uint8_t*>(bytes.data()), 20);
  std::string out;
  ASSERT_EQ(reader.Consume(in).kind, Kind::kNeedMore);  // the gate was asked
  ASSERT_EQ(reader.Consume(in).kind, Kind::kNeedMore);  // 6 payload bytes taken
  std::size_t at = 20;
  // The rest of the first frame is read into the room the reader offers.
  while (at < 8 + payload.size()) {
    const std::span<std::uint8_t> room = reader.PayloadRoom();
    if (room.empty()) {
      out.append(reinterpret_cast<const char*>(buffer.data()), reader.OutputUsed());
      reader.SetOutput(buffer);
      continue;
    }
    const std::size_t n = std::min(room.size(), 8 + payload.size() - at);
    std::memcpy(room.data(), bytes.data() + at, n);
    at += n;
    EXPECT_EQ(reader.CommitPayload(n).kind, Kind::kNeedMore);
  }
  out.append(reinterpret_cast<const char*>(buffer.data()), reader.OutputUsed());
  EXPECT_EQ(out, ServerFrame(0x02, payload));
  EXPECT_TRUE(reader.Streaming());
  EXPECT_TRUE(reader.OutputAtFrameEnd());
  reader.SkipRest();
  reader.SetOutput(buffer);
  std::span<const std::uint8_t> rest(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at,
                                     bytes.size() - at);
  const Reader::Event e = reader.Consume(rest);
  EXPECT_EQ(e.kind, Kind::kText) << "the skipped fragment yields nothing, the text comes";
  EXPECT_EQ(reader.Message(), "t");
  EXPECT_EQ(reader.OutputUsed(), 0u);
  EXPECT_FALSE(reader.Streaming());
}

TEST(WsReaderTest, OutgoingHeadersUseTheShortestLength) {
  std::uint8_t out[10];
  EXPECT_EQ(WriteFrameHeader(out, Opcode::kText, 125), 2u);
  EXPECT_EQ(out[0], 0x81);
  EXPECT_EQ(out[1], 125);
  EXPECT_EQ(WriteFrameHeader(out, Opcode::kBinary, 126), 4u);
  EXPECT_EQ(out[1], 126);
  EXPECT_EQ((out[2] << 8) | out[3], 126);
  EXPECT_EQ(WriteFrameHeader(out, Opcode::kBinary, 65536), 10u);
  EXPECT_EQ(out[1], 127);
  EXPECT_EQ(out[7], 1);
  EXPECT_EQ(out[9], 0);
}

}  // namespace
}  // namespace ov::relay::ws
