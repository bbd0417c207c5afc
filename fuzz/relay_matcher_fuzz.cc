// The relay's matching rules fed scripted connections in-process, as the network shell feeds
// them: the input is a script of up to 64 events over four connections from two addresses.
//
//   event byte: bits 0-2 the event (0 open, 1-3 text, 4 binary, 5 closed, 6-7 time passes),
//               bits 4-5 the connection (1-4), bit 6 the address
//   text:       2-byte big-endian length (cut to what is left), then the message
//   binary:     2-byte big-endian size (times 256); with bit 7 of the event byte, the shell first
//               asks at the message's header (BinaryHeader); with bit 3, a frame header over the
//               limit instead (bit 7: text, else binary)
//   time:       1 byte, seconds
//
// The shell closes what the matcher asks it to close and reports it. Checked: every action names
// a connection the shell knows, every text sent is JSON with a
// "type", pairs are symmetric, and once every connection has closed nothing is left: no
// connection, host, session or pending request.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "base/json_codec.h"
#include "fuzz/fuzz_check.h"
#include "relay/matcher.h"

namespace {

using ov::relay::Action;
using ov::relay::Actions;
using ov::relay::ConnId;

void CheckActions(const Actions& actions, const std::set<ConnId>& open) {
  for (const Action& action : actions) {
    OV_FUZZ_CHECK(open.count(action.conn) == 1);
    if (action.kind == Action::Kind::kSendText) {
      OV_FUZZ_CHECK(action.text.size() <= ov::relay::kTextLimit);
      const ov::Json message = ov::ParseMessage(action.text);
      OV_FUZZ_CHECK(message.is_object() && message.at("type").is_string());
    }
  }
}

// True when `actions` close `conn`.
bool Closes(const Actions& actions, ConnId conn) {
  for (const Action& action : actions) {
    if (action.kind == Action::Kind::kClose && action.conn == conn) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint32_t nextId = 0;
  ov::relay::Matcher matcher(
      ov::relay::MatcherConfig{},
      [&nextId] {
        char id[33];
        std::snprintf(id, sizeof id, "%032x", ++nextId);
        return std::string(id);
      },
      [](const std::string&) {});
  std::set<ConnId> open;
  ov::relay::Millis now = 1000000;
  std::size_t at = 0;
  auto take = [&](std::size_t n) -> std::string_view {
    if (n > size - at) n = size - at;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + at, n);
    at += n;
    return bytes;
  };
  auto number16 = [&]() -> std::size_t {
    const std::string_view b = take(2);
    std::size_t value = 0;
    for (char c : b) value = (value << 8) | static_cast<unsigned char>(c);
    return value;
  };

  for (int event = 0; event < 64 && at < size; ++event) {
    const std::uint8_t op = data[at++];
    const ConnId conn = ((op >> 4) & 3) + 1;
    const bool known = open.count(conn) == 1;
    Actions actions;
    switch (op & 7) {
      case 0:
        if (known) break;
        open.insert(conn);
        actions = matcher.Open(conn, (op & 0x40) ? "10.0.0.2" : "10.0.0.1", now);
        break;
      case 1:
      case 2:
      case 3: {
        const std::string_view text = take(number16());
        if (known) actions = matcher.Text(conn, text, now);
        break;
      }
      case 4: {
        const std::size_t bytes = number16() * 256;
        if (!known) break;
        if ((op & 0x08) != 0) {
          // A frame header over the limit, text (bit 7) or binary: refused at once with its error
          // and a close, whatever the connection's state.
          actions = matcher.Oversize(conn, (op & 0x80) != 0);
          const std::string code = (op & 0x80) != 0 ? "textTooLarge" : "binaryTooLarge";
          // A connection the matcher already counts as closing gets nothing more.
          for (const Action& action : actions) {
            if (action.kind == Action::Kind::kSendText && action.conn == conn) {
              OV_FUZZ_CHECK(ov::ParseMessage(action.text).value("code", "") == code);
            }
          }
          OV_FUZZ_CHECK(actions.empty() || Closes(actions, conn));
          break;
        }
        // With bit 7 (and a size within the limit) the shell first asks at the message's first
        // header, as it does while it has no route: the answer must be what the whole message
        // then meets.
        std::optional<ov::relay::BinaryStart> start;
        if ((op & 0x80) != 0 && bytes <= ov::relay::kBinaryLimit) {
          start = matcher.BinaryHeader(conn, actions);
          if (*start == ov::relay::BinaryStart::kRefused) {
            OV_FUZZ_CHECK(Closes(actions, conn));
            break;
          }
          OV_FUZZ_CHECK(actions.empty());
        }
        const auto partner = matcher.Binary(conn, bytes, actions);
        if (start == ov::relay::BinaryStart::kRead) OV_FUZZ_CHECK(partner.has_value());
        if (start == ov::relay::BinaryStart::kSkip) OV_FUZZ_CHECK(!partner && actions.empty());
        if (partner) {
          OV_FUZZ_CHECK(open.count(*partner) == 1 && *partner != conn);
          OV_FUZZ_CHECK(bytes <= ov::relay::kBinaryLimit);
        }
        break;
      }
      case 5:
        if (!known) break;
        actions = matcher.Closed(conn);
        CheckActions(actions, open);
        open.erase(conn);
        actions.clear();
        break;
      default: {
        const std::string_view seconds = take(1);
        now += 1000 * (seconds.empty() ? 1 : static_cast<unsigned char>(seconds[0]));
        actions = matcher.Tick(now);
        break;
      }
    }
    CheckActions(actions, open);
    // The shell carries out the closes it was asked for, and reports each one back.
    for (std::size_t i = 0; i < actions.size(); ++i) {
      if (actions[i].kind != Action::Kind::kClose || open.count(actions[i].conn) == 0) continue;
      const Actions more = matcher.Closed(actions[i].conn);
      CheckActions(more, open);
      open.erase(actions[i].conn);
    }
    for (ConnId c : open) {
      if (const auto partner = matcher.PartnerOf(c)) {
        OV_FUZZ_CHECK(open.count(*partner) == 1);
        OV_FUZZ_CHECK(matcher.PartnerOf(*partner) == c);
      }
    }
  }

  // The shell reports every connection gone; the matcher must forget everything of them.
  for (ConnId c : open) matcher.Closed(c);
  const ov::relay::MatcherStats stats = matcher.Stats();
  OV_FUZZ_CHECK(stats.connections == 0);
  OV_FUZZ_CHECK(stats.registeredHosts == 0);
  OV_FUZZ_CHECK(stats.liveSessions == 0);
  OV_FUZZ_CHECK(stats.pendingRequests == 0);
  OV_FUZZ_CHECK(!matcher.NextDeadline().has_value());
  return 0;
}
