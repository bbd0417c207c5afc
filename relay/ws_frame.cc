#include "relay/ws_frame.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace ov::relay::ws {
namespace {

// A message buffer reserves a frame's whole declared payload at its header up to this much;
// beyond it, it grows with what arrives (a slow sender holds no more than it has sent, and a
// little more).
constexpr std::size_t kReserveAhead = std::size_t{1} << 20;

bool IsControl(std::uint8_t opcode) { return opcode >= 8; }

// dst[i] = src[i] ^ mask[(phase + i) % 4]; dst may equal src.
void Unmask(std::uint8_t* dst, const std::uint8_t* src, std::size_t n, const std::uint8_t (&mask)[4],
            std::uint64_t phase) {
  std::uint8_t rotated[8];
  for (std::size_t i = 0; i < 8; ++i) rotated[i] = mask[(phase + i) & 3];
  std::uint64_t key;
  std::memcpy(&key, rotated, sizeof key);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, src + i, sizeof word);
    word ^= key;
    std::memcpy(dst + i, &word, sizeof word);
  }
  for (; i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i] ^ rotated[i & 7]);
}

}  // namespace

bool IsValidCloseCode(std::uint16_t code) {
  if (code >= 1000 && code <= 1003) return true;
  if (code >= 1007 && code <= 1013) return true;
  return code >= 3000 && code <= 4999;
}

bool Utf8Check::Feed(const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t c = data[i];
    if (need_ == 0) {
      if (c < 0x80) continue;
      if (c < 0xc2) return false;  // a continuation byte, or an overlong two-byte form
      if (c < 0xe0) {
        need_ = 1;
      } else if (c < 0xf0) {
        need_ = 2;
        low_ = c == 0xe0 ? 0xa0 : 0x80;   // overlong three-byte forms
        high_ = c == 0xed ? 0x9f : 0xbf;  // surrogates
      } else if (c < 0xf5) {
        need_ = 3;
        low_ = c == 0xf0 ? 0x90 : 0x80;   // overlong four-byte forms
        high_ = c == 0xf4 ? 0x8f : 0xbf;  // beyond U+10FFFF
      } else {
        return false;
      }
      continue;
    }
    if (c < low_ || c > high_) return false;
    --need_;
    low_ = 0x80;
    high_ = 0xbf;
  }
  return true;
}

Bytes& Bytes::operator=(Bytes&& other) noexcept {
  data_ = std::move(other.data_);
  size_ = std::exchange(other.size_, 0);
  capacity_ = std::exchange(other.capacity_, 0);
  return *this;
}

void Bytes::Reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  auto bigger = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
  data_ = std::move(bigger);
  capacity_ = capacity;
}

void Bytes::Append(const std::uint8_t* bytes, std::size_t n) {
  if (n == 0) return;
  if (capacity_ - size_ < n) Reserve(std::max(size_ + n, 2 * capacity_));
  std::memcpy(data_.get() + size_, bytes, n);
  size_ += n;
}

std::size_t WriteFrameHeader(std::uint8_t (&out)[10], Opcode opcode, std::uint64_t length) {
  out[0] = static_cast<std::uint8_t>(0x80 | static_cast<std::uint8_t>(opcode));
  if (length < 126) {
    out[1] = static_cast<std::uint8_t>(length);
    return 2;
  }
  if (length <= 0xffff) {
    out[1] = 126;
    out[2] = static_cast<std::uint8_t>(length >> 8);
    out[3] = static_cast<std::uint8_t>(length);
    return 4;
  }
  out[1] = 127;
  for (int i = 0; i < 8; ++i) out[2 + i] = static_cast<std::uint8_t>(length >> (56 - 8 * i));
  return 10;
}

Reader::Event Reader::Fail(std::uint16_t code, std::string_view what) {
  stage_ = Stage::kFailed;
  failure_ = {Kind::kError, code, text_, what};
  message_.Clear();
  return failure_;
}

bool Reader::Reserve() {
  const std::size_t size = message_.size();
  if (message_.capacity() - size >= remaining_) return true;
  // The header check bounds size + remaining_ by the limit, so it fits in size_t. The buffer at
  // least doubles, up to the limit, so that a message in many fragments is copied a bounded
  // number of times (linear, not quadratic, in its size).
  const std::size_t need = size + static_cast<std::size_t>(remaining_);
  const std::size_t limit = text_ ? limits_.text : limits_.binary;
  const std::size_t doubled = std::min(limit, 2 * message_.capacity());
  const std::size_t target =
      need - size <= kReserveAhead
          ? std::max(need, doubled)
          : std::min(need, std::max(doubled, size + kReserveAhead));
  try {
    message_.Reserve(target);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool Reader::EmitHead() {
  if (!headDue_) return true;
  if (out_.size() - outUsed_ < outHeadSize_) return false;
  std::memcpy(out_.data() + outUsed_, outHead_, outHeadSize_);
  outUsed_ += outHeadSize_;
  headDue_ = false;
  return true;
}

std::size_t Reader::OutputWanted() const {
  if (!inMessage_ && stage_ == Stage::kPayload && !IsControl(static_cast<std::uint8_t>(opcode_))) {
    return (headDue_ ? outHeadSize_ : 0) + static_cast<std::size_t>(remaining_);
  }
  return SIZE_MAX;
}

void Reader::SkipRest() {
  if (!streaming_ && (text_ || !MidMessage())) return;
  const std::size_t so_far = MessageSoFar();
  streaming_ = false;
  headDue_ = false;
  message_.Clear();
  skipping_ = true;
  skipped_ = so_far;
}

Reader::Event Reader::ParseHeader(std::span<const std::uint8_t>& input, bool& complete) {
  complete = false;
  auto take = [&](std::size_t upTo) {
    if (headSize_ >= upTo) return;
    const std::size_t n = std::min(upTo - headSize_, input.size());
    std::memcpy(head_ + headSize_, input.data(), n);
    headSize_ = static_cast<std::uint8_t>(headSize_ + n);
    input = input.subspan(n);
  };
  take(2);
  if (headSize_ < 2) return {};
  const bool fin = (head_[0] & 0x80) != 0;
  const bool reserved = (head_[0] & 0x70) != 0;
  const std::uint8_t opcode = head_[0] & 0x0f;
  const bool masked = (head_[1] & 0x80) != 0;
  const std::uint8_t length7 = head_[1] & 0x7f;
  if (opcode == 1 || opcode == 2) {
    if (inMessage_) return Fail(close_code::kProtocolError, "new data frame inside a message");
  } else if (opcode == 0) {
    if (!inMessage_) return Fail(close_code::kProtocolError, "continuation without a message");
  } else if (opcode < 8 || opcode > 10) {
    return Fail(close_code::kProtocolError, "reserved opcode");
  } else if (!fin) {
    return Fail(close_code::kProtocolError, "fragmented control frame");
  } else if (length7 > 125) {
    return Fail(close_code::kProtocolError, "control frame over 125 bytes");
  }
  if (reserved) return Fail(close_code::kProtocolError, "reserved bits set");
  if (!masked) return Fail(close_code::kProtocolError, "unmasked frame");
  const std::size_t extended = length7 == 126 ? 2 : length7 == 127 ? 8 : 0;
  take(2 + extended + 4);
  if (headSize_ < 2 + extended + 4) return {};

  std::uint64_t length = length7;
  if (extended > 0) {
    length = 0;
    for (std::size_t i = 0; i < extended; ++i) length = (length << 8) | head_[2 + i];
    if (extended == 2 && length < 126) return Fail(close_code::kProtocolError, "length not minimal");
    if (extended == 8 && length < 65536) {
      return Fail(close_code::kProtocolError, "length not minimal");
    }
    if (length >> 63) return Fail(close_code::kProtocolError, "length with the top bit set");
  }
  std::memcpy(mask_, head_ + 2 + extended, 4);
  headSize_ = 0;
  opcode_ = static_cast<Opcode>(opcode);
  fin_ = fin;
  remaining_ = length;
  offset_ = 0;
  stage_ = Stage::kPayload;
  complete = true;
  if (IsControl(opcode)) {
    controlSize_ = 0;
    return {};
  }
  if (opcode != 0) {
    text_ = opcode == 1;
    message_.Clear();
    utf8_.Reset();
    skipping_ = false;
    skipped_ = 0;
    streaming_ = false;
    streamed_ = 0;
    smallFragments_ = 0;
  }
  inMessage_ = !fin;
  if (discard_) return {};
  if (!fin && length < kSmallFragment && ++smallFragments_ > kMaxSmallFragments) {
    return Fail(close_code::kPolicy, "too many small fragments");
  }
  const std::size_t limit = text_ ? limits_.text : limits_.binary;
  const std::size_t before = MessageSoFar();
  if (length > limit || before > limit - length) {
    message_.Clear();
    skipping_ = false;
    failure_ = {Kind::kTooLarge, close_code::kPolicy, text_, "message over its limit"};
    stage_ = Stage::kFailed;
    return failure_;
  }
  if (opcode == 2 && gate_) {
    gateAsked_ = true;
    const Admit admit = gate_();
    skipping_ = admit == Admit::kSkip;
    streaming_ = admit == Admit::kStream;
  }
  if (skipping_) return {};
  if (streaming_) {
    outHeadSize_ = static_cast<std::uint8_t>(WriteFrameHeader(
        outHead_, opcode == 0 ? Opcode::kContinuation : Opcode::kBinary, length));
    if (!fin) outHead_[0] &= 0x7f;
    headDue_ = true;
    return {};
  }
  if (!Reserve()) return Fail(1011, "out of memory");
  return {};
}

Reader::Event Reader::TakePayload(const std::uint8_t* source, std::size_t n, bool inPlace) {
  if (IsControl(static_cast<std::uint8_t>(opcode_))) {
    Unmask(control_ + controlSize_, source, n, mask_, offset_);
    controlSize_ = static_cast<std::uint8_t>(controlSize_ + n);
  } else if (skipping_) {
    skipped_ += n;
  } else if (streaming_) {
    // Only in place (CommitPayload): Consume copies streamed payload itself.
    std::uint8_t* to = out_.data() + outUsed_;
    Unmask(to, to, n, mask_, offset_);
    outUsed_ += n;
    streamed_ += n;
  } else if (!discard_) {
    std::size_t done = 0;
    while (done < n) {
      if (!inPlace && message_.capacity() == message_.size() && !Reserve()) {
        return Fail(1011, "out of memory");
      }
      const std::size_t k =
          inPlace ? n : std::min(n - done, message_.capacity() - message_.size());
      std::uint8_t* to = message_.data() + message_.size();
      Unmask(to, inPlace ? to : source + done, k, mask_, offset_ + done);
      if (text_ && !utf8_.Feed(to, k)) return Fail(close_code::kBadPayload, "invalid UTF-8");
      message_.Grow(k);
      done += k;
    }
  }
  remaining_ -= n;
  offset_ += n;
  return remaining_ == 0 ? FrameDone() : Event{};
}

Reader::Event Reader::FrameDone() {
  stage_ = Stage::kHeader;
  switch (opcode_) {
    case Opcode::kClose: {
      if (controlSize_ == 0) return {Kind::kClose, 0, false, {}};
      if (controlSize_ == 1) return Fail(close_code::kProtocolError, "close frame of one byte");
      const auto code = static_cast<std::uint16_t>((control_[0] << 8) | control_[1]);
      if (!IsValidCloseCode(code)) return Fail(close_code::kProtocolError, "invalid close code");
      Utf8Check reason;
      if (!reason.Feed(control_ + 2, controlSize_ - 2u) || !reason.Complete()) {
        return Fail(close_code::kBadPayload, "invalid UTF-8 in the close reason");
      }
      // Control() returns the reason alone from now on.
      std::memmove(control_, control_ + 2, controlSize_ - 2u);
      controlSize_ = static_cast<std::uint8_t>(controlSize_ - 2);
      return {Kind::kClose, code, false, {}};
    }
    case Opcode::kPing:
      return {Kind::kPing, 0, false, {}};
    case Opcode::kPong:
      return {Kind::kPong, 0, false, {}};
    default:
      break;
  }
  if (!fin_ || discard_) return {};
  if (skipping_) {
    skipping_ = false;
    skipped_ = 0;
    return {};
  }
  if (streaming_) {
    streaming_ = false;
    return {Kind::kStreamEnd, 0, false, {}};
  }
  if (text_ && !utf8_.Complete()) return Fail(close_code::kBadPayload, "invalid UTF-8");
  return {text_ ? Kind::kText : Kind::kBinary, 0, text_, {}};
}

Reader::Event Reader::Consume(std::span<const std::uint8_t>& input) {
  for (;;) {
    switch (stage_) {
      case Stage::kFailed:
        return failure_;
      case Stage::kHeader: {
        bool complete = false;
        const Event event = ParseHeader(input, complete);
        const bool asked = std::exchange(gateAsked_, false);
        if (event.kind != Kind::kNeedMore || !complete) return event;
        if (remaining_ == 0 && !headDue_) {
          const Event done = FrameDone();
          if (done.kind != Kind::kNeedMore) return done;
        }
        // The call that asked returns here, so that the caller can stop at a refusal; a streamed
        // message goes on (an empty one ends at once).
        if (asked && !streaming_) return {};
        break;
      }
      case Stage::kPayload: {
        const bool streamed = streaming_ && !IsControl(static_cast<std::uint8_t>(opcode_));
        if (streamed) {
          // The frame's header goes out before its payload, also for an empty frame.
          if (!EmitHead() || (remaining_ > 0 && outUsed_ == out_.size())) {
            return {Kind::kOutputFull, 0, false, {}};
          }
          if (remaining_ == 0) {
            const Event done = FrameDone();
            if (done.kind != Kind::kNeedMore) return done;
            break;
          }
        }
        if (input.empty()) return {};
        std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(remaining_, input.size()));
        if (streamed) {
          n = std::min(n, out_.size() - outUsed_);
          Unmask(out_.data() + outUsed_, input.data(), n, mask_, offset_);
          outUsed_ += n;
          streamed_ += n;
          remaining_ -= n;
          offset_ += n;
          input = input.subspan(n);
          if (remaining_ == 0) {
            const Event done = FrameDone();
            if (done.kind != Kind::kNeedMore) return done;
          }
          break;
        }
        const Event event = TakePayload(input.data(), n, false);
        input = input.subspan(n);
        if (event.kind != Kind::kNeedMore) return event;
        break;
      }
    }
  }
}

std::span<std::uint8_t> Reader::PayloadRoom() {
  if (stage_ != Stage::kPayload || discard_ || skipping_ ||
      IsControl(static_cast<std::uint8_t>(opcode_))) {
    return {};
  }
  if (streaming_) {
    if (!EmitHead()) return {};
    const std::size_t room = static_cast<std::size_t>(
        std::min<std::uint64_t>(remaining_, out_.size() - outUsed_));
    return {out_.data() + outUsed_, room};
  }
  if (message_.capacity() == message_.size() && !Reserve()) return {};
  const std::size_t room = static_cast<std::size_t>(
      std::min<std::uint64_t>(remaining_, message_.capacity() - message_.size()));
  return {message_.data() + message_.size(), room};
}

Reader::Event Reader::CommitPayload(std::size_t n) {
  if (n == 0) return {};
  return TakePayload(nullptr, n, true);
}

Bytes Reader::TakeMessage() { return std::move(message_); }

void Reader::Discard() {
  discard_ = true;
  skipping_ = false;
  streaming_ = false;
  headDue_ = false;
  message_.Clear();
  if (stage_ == Stage::kFailed && failure_.kind == Kind::kTooLarge) stage_ = Stage::kPayload;
}

}  // namespace ov::relay::ws
