// The relay's matching rules fed scripted connections in-process, as the network shell feeds
// them: the input is a script of up to 64 events over four connections from two addresses. An
// input that starts with 0xFE runs the matcher as one node of a fleet, with the harness as the
// fleet's registry and the other nodes.
//
//   event byte: bits 0-2 the event (0 open, 1-3 text, 4 binary, 5 closed, 6 time passes, 7 time
//               passes or, in a fleet, a fleet event), bits 4-5 the connection (1-4), bit 6 the
//               address
//   text:       2-byte big-endian length (cut to what is left), then the message
//   binary:     2-byte big-endian size (times 256); with bit 7 of the event byte, the shell first
//               asks at the message's header (BinaryHeader); with bit 3, a frame header over the
//               limit instead (bit 7: text, else binary)
//   time:       1 byte, seconds
//   fleet:      1 byte: bits 0-2 what (0 the registry answers a claim, 1 it answers a lookup, 2 a
//               viewer of another node opens on the connection, 3 another node takes a lease this
//               node holds, 4 another node counted a registration from the address), bits 3-4
//               the answer (ok, taken, unknown, unavailable), bits 5-7 which of the pending
//               claims, lookups or known IDs
//
// Each connection the shell opens gets a new ConnId, as in the shell. The shell closes what the
// matcher asks it to close and reports it; in a fleet, a viewer handed to another node is the
// shell's to route, so only its end reaches the matcher. Checked: every action names a
// connection the shell knows, every text sent is JSON with a "type", pairs are symmetric, the
// node releases only IDs the registry gave it, and once every connection has closed nothing is
// left: no connection, host, session, pending request or lease.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <utility>
#include <vector>
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
    // A release is the registry's bookkeeping, which outlives the connection it was for.
    if (action.kind == Action::Kind::kRelease) continue;
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
  const bool fleet = size > 0 && data[0] == 0xFE;
  std::uint32_t nextId = 0;
  ov::relay::MatcherConfig config;
  config.fleet = fleet;
  ov::relay::Matcher matcher(
      config,
      [&nextId] {
        char id[33];
        std::snprintf(id, sizeof id, "%032x", ++nextId);
        return std::string(id);
      },
      [](const std::string&) {});
  std::set<ConnId> open;
  std::set<ConnId> handedOff;  // viewers routed to another node: the shell's, not the matcher's
  ConnId slots[4] = {0, 0, 0, 0};
  ConnId lastConn = 0;
  // The registry's side: claims and lookups asked and not yet answered, IDs it gave this node.
  std::vector<std::pair<ConnId, std::string>> claims, lookups;
  std::multiset<std::string> leases;
  std::vector<std::string> ids;  // every ID claimed or looked up, for remote viewers and leases
  ov::relay::Millis now = 1000000;
  std::size_t at = fleet ? 1 : 0;
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
  // What the registry and the other nodes learn from the matcher's actions.
  auto note = [&](const Actions& actions) {
    for (const Action& action : actions) {
      if (action.kind == Action::Kind::kClaim) {
        claims.emplace_back(action.conn, action.text);
        ids.push_back(action.text);
      } else if (action.kind == Action::Kind::kLookup) {
        lookups.emplace_back(action.conn, action.text);
        ids.push_back(action.text);
      } else if (action.kind == Action::Kind::kRelease) {
        // Only a lease the registry gave this node may be given back.
        const auto lease = leases.find(action.text);
        OV_FUZZ_CHECK(lease != leases.end());
        leases.erase(lease);
      } else if (action.kind == Action::Kind::kHandOff) {
        OV_FUZZ_CHECK(ov::ParseMessage(action.text).is_object() && !action.node.empty());
        handedOff.insert(action.conn);
      }
      OV_FUZZ_CHECK(fleet || (action.kind != Action::Kind::kClaim &&
                              action.kind != Action::Kind::kRelease &&
                              action.kind != Action::Kind::kLookup &&
                              action.kind != Action::Kind::kHandOff &&
                              action.kind != Action::Kind::kRegistration));
    }
  };

  for (int event = 0; event < 64 && at < size; ++event) {
    const std::uint8_t op = data[at++];
    ConnId& slot = slots[(op >> 4) & 3];
    const std::string address = (op & 0x40) ? "10.0.0.2" : "10.0.0.1";
    // A connection the matcher decides for (a handed-off viewer is routed by the shell).
    const bool known = open.count(slot) == 1 && handedOff.count(slot) == 0;
    const ConnId conn = slot;
    Actions actions;
    switch (op & 7) {
      case 0:
        if (open.count(slot) == 1) break;
        slot = ++lastConn;
        open.insert(slot);
        actions = matcher.Open(slot, address, now);
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
        if (open.count(conn) == 0) break;
        actions = matcher.Closed(conn);
        CheckActions(actions, open);
        note(actions);
        open.erase(conn);
        handedOff.erase(conn);
        actions.clear();
        break;
      case 7:
        if (fleet) {
          const std::string_view b = take(1);
          const std::uint8_t f = b.empty() ? 0 : static_cast<std::uint8_t>(b[0]);
          auto result = static_cast<ov::relay::FleetResult>((f >> 3) & 3);
          const std::size_t which = f >> 5;
          switch (f & 7) {
            case 0:
              if (!claims.empty()) {
                const auto [claimer, id] = claims[which % claims.size()];
                claims.erase(claims.begin() + static_cast<std::ptrdiff_t>(which % claims.size()));
                // The registry gives an ID to one holder at a time.
                if (result == ov::relay::FleetResult::kOk) {
                  if (leases.count(id) != 0) {
                    result = ov::relay::FleetResult::kTaken;
                  } else {
                    leases.insert(id);
                  }
                }
                actions = matcher.Claimed(claimer, id, result);
              }
              break;
            case 1:
              if (!lookups.empty()) {
                const ConnId viewer = lookups[which % lookups.size()].first;
                lookups.erase(lookups.begin() + static_cast<std::ptrdiff_t>(which % lookups.size()));
                actions = matcher.Located(viewer, result, "node-b");
              }
              break;
            case 2:
              if (open.count(slot) == 0) {
                slot = ++lastConn;
                open.insert(slot);
                actions = matcher.OpenRemote(slot, address,
                                             ids.empty() ? "482913775" : ids[which % ids.size()],
                                             "p3:remote", now);
              }
              break;
            case 3:
              if (!leases.empty()) {
                auto lease = leases.begin();
                std::advance(lease, static_cast<std::ptrdiff_t>(which % leases.size()));
                const std::string id = *lease;
                leases.erase(lease);
                actions = matcher.LeaseLost(id);
              }
              break;
            case 4:
              matcher.NoteRegistration(address, now);
              break;
            default:
              break;
          }
          break;
        }
        [[fallthrough]];
      default: {
        const std::string_view seconds = take(1);
        now += 1000 * (seconds.empty() ? 1 : static_cast<unsigned char>(seconds[0]));
        actions = matcher.Tick(now);
        break;
      }
    }
    CheckActions(actions, open);
    note(actions);
    // The shell carries out the closes it was asked for, and reports each one back.
    for (std::size_t i = 0; i < actions.size(); ++i) {
      if (actions[i].kind != Action::Kind::kClose || open.count(actions[i].conn) == 0) continue;
      const Actions more = matcher.Closed(actions[i].conn);
      CheckActions(more, open);
      note(more);
      open.erase(actions[i].conn);
      handedOff.erase(actions[i].conn);
    }
    for (ConnId c : open) {
      if (const auto partner = matcher.PartnerOf(c)) {
        OV_FUZZ_CHECK(open.count(*partner) == 1);
        OV_FUZZ_CHECK(matcher.PartnerOf(*partner) == c);
      }
    }
  }

  // The shell reports every connection gone, and the registry answers what is still pending:
  // the matcher must forget everything of them and give back every lease it was given.
  for (ConnId c : open) note(matcher.Closed(c));
  for (const auto& [claimer, id] : claims) {
    const bool granted = leases.count(id) == 0;
    if (granted) leases.insert(id);
    note(matcher.Claimed(claimer, id,
                         granted ? ov::relay::FleetResult::kOk : ov::relay::FleetResult::kTaken));
  }
  for (const auto& lookup : lookups) {
    note(matcher.Located(lookup.first, ov::relay::FleetResult::kOk, "node-b"));
  }
  OV_FUZZ_CHECK(leases.empty());
  const ov::relay::MatcherStats stats = matcher.Stats();
  OV_FUZZ_CHECK(stats.connections == 0 && stats.remoteViewers == 0);
  OV_FUZZ_CHECK(stats.registeredHosts == 0);
  OV_FUZZ_CHECK(stats.liveSessions == 0);
  OV_FUZZ_CHECK(stats.pendingRequests == 0);
  OV_FUZZ_CHECK(!matcher.NextDeadline().has_value());
  return 0;
}
