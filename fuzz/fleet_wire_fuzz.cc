// The relay fleet's wire: what a node reads from a direct link and from NATS.
//
//   byte 0:   bit 0 clear: the rest is a link's byte stream, length-prefixed messages (4 bytes,
//             little-endian) as a node reads them, the first one held to a hello's size;
//             bit 0 set: the rest is one message as it arrives on NATS, opened with a fixed key
//             on a fixed subject (bits 1-7 pick a byte to flip in the re-sealed copy below)
//   the rest: the bytes
//
// Checked: a message that decodes encodes back to exactly its bytes, with a valid node name and
// flags only on data; an envelope that opens re-seals to exactly its bytes, its payload decodes
// the same way, the replay guard takes its counter once; any payload sealed here opens back to
// itself and not after one byte is flipped or on another subject.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz/fuzz_check.h"
#include "relay/fleet.h"
#include "relay/fleet_wire.h"

namespace {

using ov::relay::fleet::Decode;
using ov::relay::fleet::Encode;

bool SameBytes(const std::string& a, std::span<const std::uint8_t> b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, std::uint8_t y) { return static_cast<std::uint8_t>(x) == y; });
}

void CheckMessage(std::span<const std::uint8_t> bytes) {
  const auto m = Decode(bytes);
  if (!m) return;
  OV_FUZZ_CHECK(ov::relay::fleet::IsNodeName(m->from));
  OV_FUZZ_CHECK(m->flags == 0 || m->kind == ov::relay::fleet::Kind::kData);
  std::string again;
  Encode(*m, again);
  OV_FUZZ_CHECK(SameBytes(again, bytes));
}

void LinkStream(std::span<const std::uint8_t> bytes) {
  bool named = false;
  while (bytes.size() >= 4) {
    std::size_t n = 0;
    for (std::size_t i = 4; i-- > 0;) n = (n << 8) | bytes[i];
    bytes = bytes.subspan(4);
    const std::size_t limit = named ? bytes.size() : ov::relay::fleet::kHeaderMax + 32;
    if (n == 0 || n > limit || n > bytes.size()) return;  // the node drops the link here
    const auto message = bytes.first(n);
    if (!Decode(message)) return;
    CheckMessage(message);
    named = true;
    bytes = bytes.subspan(n);
  }
}

void NatsMessage(std::span<const std::uint8_t> bytes, std::uint8_t flip) {
  static const ov::relay::fleet::Keys keys = ov::relay::fleet::DeriveKeys("fuzzing fleet secret");
  const std::string subject = "kestrova.relay.node.n1";
  if (const auto opened = ov::relay::fleet::Open(keys.nats, subject, bytes)) {
    std::string sealed;
    const std::string payload(reinterpret_cast<const char*>(opened->payload.data()),
                              opened->payload.size());
    ov::relay::fleet::Seal(keys.nats, subject, opened->instance, opened->counter, payload, sealed);
    OV_FUZZ_CHECK(SameBytes(sealed, bytes));
    CheckMessage(opened->payload);
    ov::relay::fleet::ReplayGuard guard;
    const bool first = guard.Accept("n2", opened->instance, opened->counter);
    OV_FUZZ_CHECK(first == (opened->counter != 0));
    OV_FUZZ_CHECK(!guard.Accept("n2", opened->instance, opened->counter));
  }
  // Whatever the bytes, sealed here they open back to themselves, and only untouched.
  const std::string payload(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string sealed;
  ov::relay::fleet::Seal(keys.nats, subject, 7, bytes.size() + 1, payload, sealed);
  auto view = [](const std::string& s) {
    return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  };
  const auto back = ov::relay::fleet::Open(keys.nats, subject, view(sealed));
  OV_FUZZ_CHECK(back && back->instance == 7 && back->counter == bytes.size() + 1);
  OV_FUZZ_CHECK(back->payload.size() == bytes.size());
  OV_FUZZ_CHECK(!ov::relay::fleet::Open(keys.nats, "kestrova.relay.node.n2", view(sealed)));
  sealed[flip % sealed.size()] = static_cast<char>(sealed[flip % sealed.size()] ^ 0x01);
  OV_FUZZ_CHECK(!ov::relay::fleet::Open(keys.nats, subject, view(sealed)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = ov::fuzz::Select(data, size);
  if ((input.selector & 1) == 0) {
    LinkStream(input.rest);
  } else {
    NatsMessage(input.rest, static_cast<std::uint8_t>(input.selector >> 1));
  }
  return 0;
}
