// The sealed channel on hostile bytes:
//
//   byte 0 bit 0 = 0: the rest goes to Unseal as a received message. It must be refused (no
//                     input can carry a valid tag for keys it never saw) and leave no bytes out.
//   byte 0 bit 0 = 1: the rest is sealed as kind (byte 0 >> 1) and opened by the other end, which
//                     must give back exactly what was sealed; then the same message again (a
//                     replay) and a copy with one byte changed (position from the first two bytes
//                     of the rest) must both be refused.
//   byte 0 = 0xFF:    messages sealed and delivered out of order (see below): each opens exactly
//                     when its sequence is above the last one opened.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <stdexcept>
#include <vector>

#include "crypto/crypto_session.h"
#include "fuzz/fuzz_check.h"

namespace {

constexpr std::array<std::uint8_t, 32> kHostToViewer = {
    0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xa9, 0xba, 0xcb, 0xdc, 0xed, 0xfe, 0x0f,
    0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78, 0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0, 0x01};
constexpr std::array<std::uint8_t, 32> kViewerToHost = {
    0x01, 0x12, 0x23, 0x34, 0x45, 0x56, 0x67, 0x78, 0x89, 0x9a, 0xab, 0xbc, 0xcd, 0xde, 0xef, 0xf0,
    0x0e, 0x1d, 0x2c, 0x3b, 0x4a, 0x59, 0x68, 0x77, 0x86, 0x95, 0xa4, 0xb3, 0xc2, 0xd1, 0xe0, 0xff};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ov::fuzz::Selected in = ov::fuzz::Select(data, size);
  ov::CryptoSession host(kHostToViewer.data(), kViewerToHost.data());
  ov::CryptoSession viewer(kViewerToHost.data(), kHostToViewer.data());
  std::uint8_t kind = 0xEE;
  std::vector<std::uint8_t> plaintext{0xAA, 0xBB};

  if ((in.selector & 1) == 0) {
    const bool opened = viewer.Unseal(in.rest, kind, plaintext);
    OV_FUZZ_CHECK(!opened);
    OV_FUZZ_CHECK(kind == 0xEE);
    OV_FUZZ_CHECK(plaintext.empty() || plaintext == std::vector<std::uint8_t>({0xAA, 0xBB}));
    return 0;
  }

  if (in.selector == 0xFF) {
    // Out of order: each of up to 64 bytes either seals the next message (even byte, or nothing
    // sent yet) or delivers one already sent (odd: which one from the byte). A message opens
    // exactly when its sequence is above the last one opened: a gap is taken, and anything older
    // or repeated is refused.
    std::vector<std::pair<std::vector<std::uint8_t>, std::uint8_t>> sent;  // sealed, its byte
    std::size_t lastOpened = 0;  // the sequence of the last message opened (sequences start at 1)
    for (const std::uint8_t op : in.rest.first(std::min<std::size_t>(in.rest.size(), 64))) {
      if ((op & 1) == 0 || sent.empty()) {
        sent.emplace_back(host.Seal(1, std::span<const std::uint8_t>(&op, 1)), op);
        continue;
      }
      const std::size_t pick = (op >> 1) % sent.size();
      const bool opened = viewer.Unseal(sent[pick].first, kind, plaintext);
      OV_FUZZ_CHECK(opened == (pick + 1 > lastOpened));
      if (!opened) continue;
      OV_FUZZ_CHECK(kind == 1 && plaintext == std::vector<std::uint8_t>{sent[pick].second});
      lastOpened = pick + 1;
    }
    return 0;
  }

  const auto sealedKind = static_cast<std::uint8_t>(in.selector >> 1);
  std::vector<std::uint8_t> sealed;
  try {
    sealed = host.Seal(sealedKind, in.rest);
  } catch (const std::invalid_argument&) {
    OV_FUZZ_CHECK(sealedKind == 0);  // every plaintext here is within the size limit
    return 0;
  }
  OV_FUZZ_CHECK(sealedKind != 0);
  OV_FUZZ_CHECK(sealed.size() == in.rest.size() + ov::kSealedOverhead);
  OV_FUZZ_CHECK(viewer.Unseal(sealed, kind, plaintext));
  OV_FUZZ_CHECK(kind == sealedKind);
  OV_FUZZ_CHECK(std::span<const std::uint8_t>(plaintext).size() == in.rest.size());
  OV_FUZZ_CHECK(std::equal(plaintext.begin(), plaintext.end(), in.rest.begin()));

  // The same message again is a replay.
  OV_FUZZ_CHECK(!viewer.Unseal(sealed, kind, plaintext));
  // The next one with any byte changed is refused; unchanged, it opens.
  std::vector<std::uint8_t> next = host.Seal(sealedKind, in.rest);
  const std::size_t position =
      in.rest.size() >= 2 ? ((std::size_t{in.rest[0]} << 8) | in.rest[1]) % next.size() : 0;
  next[position] ^= 0x01;
  OV_FUZZ_CHECK(!viewer.Unseal(next, kind, plaintext));
  next[position] ^= 0x01;
  OV_FUZZ_CHECK(viewer.Unseal(next, kind, plaintext));
  // And the host's key never opens what the host itself sent.
  OV_FUZZ_CHECK(!host.Unseal(next, kind, plaintext));
  return 0;
}
