// The PROXY protocol version 2 header as a load balancer (or anyone who reaches the relay's port)
// sends it, to ParseProxyV2:
//
//   byte 0: bit 7 set, the 12-byte signature is put before the rest (so the fuzzer spends its time
//   past it); bits 0-6, where the bytes are cut in two (0: no first part, 127: all of them).
//   the rest: the bytes the connection received.
//
// Checked: consumed is within the bytes, and non-zero only for kDone; kInvalid carries one of the
// fixed reasons, the others none. kDone means the signature, version 2, a length within the bound,
// consumed = 16 + that length, and a source exactly for PROXY over TCP4/TCP6, equal to the
// harness's own reading of the address block (IPv4-mapped IPv6 as IPv4). The first part alone
// gets kNeedMore or the whole input's result, and kNeedMore only when kDone would need more bytes
// than the first part has.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "relay/proxy_protocol.h"

namespace {

namespace ip = boost::asio::ip;
using ov::relay::ProxyResult;
using Kind = ProxyResult::Kind;

bool FixedReason(std::string_view error) {
  namespace e = ov::relay::proxy_error;
  return error == e::kSignature || error == e::kVersion || error == e::kCommand ||
         error == e::kFamily || error == e::kTooLong || error == e::kShortAddress ||
         error == e::kTlv;
}

bool Same(const ProxyResult& a, const ProxyResult& b) {
  return a.kind == b.kind && a.consumed == b.consumed && a.source == b.source && a.error == b.error;
}

// The client's endpoint as the harness reads a TCP4 or TCP6 block itself.
ip::tcp::endpoint SourceOf(const std::uint8_t* header) {
  const std::uint8_t* body = header + 16;
  if ((header[13] >> 4) == 1) {
    ip::address_v4::bytes_type a;
    std::memcpy(a.data(), body, 4);
    return {ip::address_v4(a), static_cast<std::uint16_t>(body[8] << 8 | body[9])};
  }
  ip::address_v6::bytes_type a;
  std::memcpy(a.data(), body, 16);
  const ip::address_v6 v6(a);
  const std::uint16_t port = static_cast<std::uint16_t>(body[32] << 8 | body[33]);
  if (v6.is_v4_mapped()) return {ip::make_address_v4(ip::v4_mapped, v6), port};
  return {v6, port};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ov::fuzz::Selected in = ov::fuzz::Select(data, size);
  std::vector<std::uint8_t> bytes;
  if (in.selector & 0x80) {
    bytes.assign(ov::relay::kProxyV2Signature,
                 ov::relay::kProxyV2Signature + sizeof ov::relay::kProxyV2Signature);
  }
  bytes.insert(bytes.end(), in.rest.begin(), in.rest.end());
  const std::size_t cut = bytes.size() * (in.selector & 0x7Fu) / 127u;

  const ProxyResult whole = ov::relay::ParseProxyV2(bytes);
  OV_FUZZ_CHECK(whole.consumed <= bytes.size());
  OV_FUZZ_CHECK((whole.kind == Kind::kInvalid) == !whole.error.empty());
  if (whole.kind == Kind::kInvalid) OV_FUZZ_CHECK(FixedReason(whole.error));
  if (whole.kind != Kind::kDone) {
    OV_FUZZ_CHECK(whole.consumed == 0 && !whole.source);
  } else {
    OV_FUZZ_CHECK(bytes.size() >= 16);
    OV_FUZZ_CHECK(std::memcmp(bytes.data(), ov::relay::kProxyV2Signature, 12) == 0);
    OV_FUZZ_CHECK((bytes[12] >> 4) == 2);
    const std::size_t declared = std::size_t{bytes[14]} << 8 | bytes[15];
    OV_FUZZ_CHECK(declared <= ov::relay::kProxyV2MaxLength);
    OV_FUZZ_CHECK(whole.consumed == 16 + declared);
    const bool tcp = bytes[12] == 0x21 && (bytes[13] == 0x11 || bytes[13] == 0x21);
    OV_FUZZ_CHECK(whole.source.has_value() == tcp);
    if (tcp) OV_FUZZ_CHECK(*whole.source == SourceOf(bytes.data()));
    if (whole.source && whole.source->address().is_v6()) {
      OV_FUZZ_CHECK(!whole.source->address().to_v6().is_v4_mapped());
    }
  }

  const ProxyResult first = ov::relay::ParseProxyV2(std::span(bytes.data(), cut));
  if (first.kind == Kind::kNeedMore) {
    OV_FUZZ_CHECK(first.consumed == 0 && !first.source && first.error.empty());
    OV_FUZZ_CHECK(whole.kind != Kind::kDone || cut < whole.consumed);
  } else {
    OV_FUZZ_CHECK(Same(first, whole));
  }
  return 0;
}
