// The relay's side of WebSocket framing (RFC 6455), free of sockets: a reader that turns the raw
// bytes of one client connection, split in any way, into whole messages and control frames, and
// the header of an outgoing (server, unmasked) frame.
//
// The reader enforces what a server must of a client: every frame masked, no reserved bits (no
// extension is ever negotiated), known opcodes only, control frames unfragmented and at most 125
// bytes, canonical lengths with the top bit clear, continuations only inside a fragmented message,
// valid UTF-8 in text messages and close reasons, valid close codes. A data frame whose header
// declares more than the message kind's limit (counting the fragments before it) is refused at
// its header, before any of its payload is read. A message may carry only a few small non-final
// fragments (kMaxSmallFragments of less than kSmallFragment bytes): tiny fragments cost a frame's
// work each for almost no data.
//
// A binary message is stored whole, skipped, or streamed (the binary gate chooses at its first
// header). Streamed, the reader writes the server's form of each of its frames (an unmasked
// header of the same length, fin and kind, then the unmasked payload) into an output buffer the
// caller hands over piece by piece, so that the message goes on to its partner as it arrives and
// no more than one output buffer of it is held here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

namespace ov::relay::ws {

namespace close_code {
inline constexpr std::uint16_t kNormal = 1000;
inline constexpr std::uint16_t kGoingAway = 1001;
inline constexpr std::uint16_t kProtocolError = 1002;
inline constexpr std::uint16_t kBadPayload = 1007;
inline constexpr std::uint16_t kPolicy = 1008;
inline constexpr std::uint16_t kTooBig = 1009;
inline constexpr std::uint16_t kInternalError = 1011;
}  // namespace close_code

enum class Opcode : std::uint8_t {
  kContinuation = 0,
  kText = 1,
  kBinary = 2,
  kClose = 8,
  kPing = 9,
  kPong = 10,
};

// True for the codes a peer may send in a close frame.
bool IsValidCloseCode(std::uint16_t code);

// Incremental UTF-8 check (RFC 3629: no overlong forms, no surrogates, at most U+10FFFF).
class Utf8Check {
 public:
  // False as soon as the bytes so far cannot start a valid text.
  bool Feed(const std::uint8_t* data, std::size_t size);
  // True when the bytes so far end on a character boundary.
  bool Complete() const { return need_ == 0; }
  void Reset() { *this = Utf8Check(); }

 private:
  std::uint8_t need_ = 0;  // continuation bytes still expected
  std::uint8_t low_ = 0x80, high_ = 0xbf;  // range of the next continuation byte
};

// A byte buffer that grows without initialising what it adds: a message is written into it once,
// by the reader, and moved on whole.
class Bytes {
 public:
  Bytes() = default;
  Bytes(Bytes&& other) noexcept { *this = std::move(other); }
  Bytes& operator=(Bytes&& other) noexcept;
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;

  std::uint8_t* data() { return data_.get(); }
  const std::uint8_t* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::string_view view() const {
    return {reinterpret_cast<const char*>(data_.get()), size_};
  }
  // Keeps the first `size()` bytes; throws std::bad_alloc.
  void Reserve(std::size_t capacity);
  // `n` more bytes were written after the end (within the capacity).
  void Grow(std::size_t n) { size_ += n; }
  // Empties it, keeping the buffer.
  void Truncate() { size_ = 0; }
  void Append(const std::uint8_t* bytes, std::size_t n);
  void Clear() { *this = Bytes(); }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

inline constexpr std::size_t kMaxHeader = 10;

// Writes the header of one whole unmasked frame into `out`; returns its length (2, 4 or 10).
std::size_t WriteFrameHeader(std::uint8_t (&out)[10], Opcode opcode, std::uint64_t length);

// Non-final data fragments shorter than kSmallFragment bytes: at most kMaxSmallFragments per message.
inline constexpr std::size_t kSmallFragment = 1024;
inline constexpr std::size_t kMaxSmallFragments = 8;

class Reader {
 public:
  struct Limits {
    std::size_t text;
    std::size_t binary;
  };
  enum class Kind {
    kNeedMore,  // no event yet: every byte given was used, or the binary gate was just asked
    kText,      // a whole text message: Message()
    kBinary,    // a whole binary message: TakeMessage()
    kPing,      // Control() holds the payload
    kPong,
    kClose,     // the peer's close: closeCode (0: none given), Control() holds the reason
    kTooLarge,  // a data frame's header took its message past the limit; `text` tells the kind
    kError,     // a violation: close with closeCode; `what` names it. Nothing more is read.
    kOutputFull,  // streaming: the output buffer is full; take OutputUsed() bytes, SetOutput anew
    kStreamEnd,   // streaming: the message's last byte is in the output buffer
  };
  struct Event {
    Kind kind = Kind::kNeedMore;
    std::uint16_t closeCode = 0;
    bool text = false;
    std::string_view what;
  };

  explicit Reader(Limits limits) : limits_(limits) {}

  // Reads from the front of `input` up to and including the next event, and advances `input`
  // past what it used. Payload is unmasked into the message buffer. After kTooLarge or kError
  // the reader stays where it is and returns the same event again; after kTooLarge, Discard()
  // lets it go on.
  Event Consume(std::span<const std::uint8_t>& input);

  // Where the payload of the data frame being read may be written directly (the next bytes of
  // the connection, at most up to the end of this frame); empty when none is expected or the
  // message buffer has no room yet. CommitPayload then takes the `n` bytes written there.
  std::span<std::uint8_t> PayloadRoom();
  Event CommitPayload(std::size_t n);

  // The message of the last kText or kBinary event (valid until the next call that reads).
  std::string_view Message() const { return message_.view(); }
  Bytes TakeMessage();
  std::string_view Control() const {
    return {reinterpret_cast<const char*>(control_), controlSize_};
  }

  // From now on data frames are skipped instead of stored and size limits no longer apply: what
  // a connection sends while its close is on the way. Only close (and errors) remain events.
  void Discard();

  // Asked at the header of the first frame of each binary message (once the header is within the
  // limit, before any of its payload is stored): kStore reads the message as usual (kBinary at its
  // end); kStream streams it into the output buffer (kOutputFull as each buffer fills, kStreamEnd
  // at its end); kSkip skips the payload of all its frames without storing it, and the message
  // yields no event (its size still counts against the limit). The Consume call that asked returns
  // right after that header, with kNeedMore and possibly bytes left in `input`, so that the caller
  // can stop there. Empty (the default): every binary message is stored.
  enum class Admit : std::uint8_t { kSkip, kStore, kStream };
  // While the gate is asked: the first frame's payload length and whether it is the only one.
  std::uint64_t FrameLength() const { return remaining_; }
  bool FrameFinal() const { return fin_; }
  using BinaryGate = std::function<Admit()>;
  void SetBinaryGate(BinaryGate gate) { gate_ = std::move(gate); }

  // Streaming: where the next output goes (replaces the previous buffer; OutputUsed() restarts at
  // zero). Until a buffer is given, a streamed message's Consume stops with kOutputFull. A buffer
  // holds at least kMaxHeader bytes (a frame's header goes into one buffer whole).
  void SetOutput(std::span<std::uint8_t> out) {
    out_ = out;
    outUsed_ = 0;
  }
  std::size_t OutputUsed() const { return outUsed_; }
  // A streamed message is open: part of it may be in the output, and its end is not.
  bool Streaming() const { return streaming_; }
  // The payload size of the last streamed message, once kStreamEnd has come.
  std::size_t StreamedSize() const { return streamed_; }
  // Streaming: how many output bytes the frame being read still needs (its header, if not yet
  // out, and its payload); SIZE_MAX when more frames of the message are known to follow.
  std::size_t OutputWanted() const;
  // The output so far ends between two frames (no header or payload of a frame is cut there).
  bool OutputAtFrameEnd() const {
    return !streaming_ ||
           (!headDue_ && (stage_ != Stage::kPayload || static_cast<std::uint8_t>(opcode_) >= 8));
  }
  // The binary message being read (stored or streamed) is skipped from here on: its partner has
  // gone. Its size still counts against the limit.
  void SkipRest();

  // True while a fragmented message is open or a frame is only partly read.
  bool MidMessage() const { return inMessage_ || stage_ != Stage::kHeader; }

 private:
  enum class Stage : std::uint8_t { kHeader, kPayload, kFailed };

  Event ParseHeader(std::span<const std::uint8_t>& input, bool& complete);
  bool EmitHead();  // the pending output header into the output; false when it has no room
  std::size_t MessageSoFar() const {
    return skipping_ ? skipped_ : streaming_ ? streamed_ : message_.size();
  }
  Event TakePayload(const std::uint8_t* source, std::size_t n, bool inPlace);
  Event FrameDone();
  Event Fail(std::uint16_t code, std::string_view what);
  bool Reserve();  // room for the current frame's next payload bytes; false when out of memory

  Limits limits_;
  Stage stage_ = Stage::kHeader;
  Event failure_;                 // kFailed: the event returned again
  std::uint8_t head_[14];         // the current frame's header while it arrives
  std::uint8_t headSize_ = 0;
  // The frame being read.
  Opcode opcode_ = Opcode::kContinuation;
  bool fin_ = false;
  std::uint8_t mask_[4] = {};
  std::uint64_t remaining_ = 0;  // payload bytes still to come
  std::uint64_t offset_ = 0;     // payload bytes already read (the mask's phase)
  // The data message being assembled.
  bool inMessage_ = false;  // a fragmented message is open (a non-final data frame was read)
  bool text_ = false;
  bool discard_ = false;
  bool skipping_ = false;     // the gate refused the binary message being read
  bool gateAsked_ = false;    // the header just parsed was put to the gate
  std::size_t skipped_ = 0;   // payload bytes of that message skipped so far
  std::size_t smallFragments_ = 0;  // non-final fragments under kSmallFragment in this message
  // Streaming.
  bool streaming_ = false;    // the binary message being read is streamed
  bool headDue_ = false;      // outHead_ still has to go into the output
  std::size_t streamed_ = 0;  // payload bytes of the message streamed so far
  std::uint8_t outHead_[10];
  std::uint8_t outHeadSize_ = 0;
  std::span<std::uint8_t> out_;
  std::size_t outUsed_ = 0;
  BinaryGate gate_;
  Utf8Check utf8_;
  Bytes message_;
  // The control frame being read.
  std::uint8_t control_[125];
  std::uint8_t controlSize_ = 0;
};

}  // namespace ov::relay::ws
