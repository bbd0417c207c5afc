#include "relay/metrics.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

namespace ov::relay {
namespace {

// The page is what a Prometheus scraper parses: each family has one HELP and one TYPE line before
// its first sample, its samples are not split by another family's, and every sample is
// "name[{labels}] integer", and a counter's name ends in _total. Checked for a single node and for
// a node of a fleet, whose every counter has its own line.
TEST(MetricsTest, EveryFamilyIsDeclaredOnceAndItsSamplesStayTogether) {
  MetricsSnapshot single;
  single.matcher.refusals = {{"rateLimited", 3}, {"unknownHost", 1}};
  single.httpResponses = {{200, 5}, {404, 2}};
  single.logEvents = {{"write-stalled", 1}};
  single.queuedBytes = 4096;
  MetricsSnapshot node = single;
  // Every field of the fleet's counters with a value of its own, so that a field without its
  // line (or shown in another's) fails below.
  FleetStats& f = node.fleet.emplace();
  f.connected = true;
  f.nodes = 3;
  f.ownedIds = 11;
  f.knownIds = 12;
  f.takeovers = 13;
  f.removedIds = 14;
  f.watchRevision = 15;
  f.knownRemoved = 16;
  f.watchReloads = 17;
  f.watchDropped = 18;
  f.watchSkipped = 19;
  f.copyMismatches = 20;
  f.watchRetries = 29;
  f.claims = 10;
  f.claimsTaken = 2;
  f.claimsUnavailable = 1;
  f.lookups = 40;
  f.lookupsUnknown = 4;
  f.lookupsUnavailable = 5;
  f.leasesLost = 22;
  f.sentMessages = 23;
  f.sentBytes = 24;
  f.receivedMessages = 25;
  f.receivedBytes = 26;
  f.sendFailures = 27;
  f.refused = 28;
  node.matcher.remoteViewers = 4;

  const struct {
    const char* name;
    const MetricsSnapshot& snapshot;
    std::map<std::string, std::string> samples;  // some samples the page must hold
  } cases[] = {
      {"single node", single,
       {{"kestrova_relay_queued_bytes", "4096"},
        {"kestrova_relay_refusals_total{reason=\"rateLimited\"}", "3"},
        {"kestrova_relay_http_responses_total{status=\"404\"}", "2"}}},
      {"fleet node", node,
       {{"kestrova_relay_fleet_connected", "1"},
        {"kestrova_relay_fleet_nodes", "3"},
        {"kestrova_relay_fleet_owned_ids", "11"},
        {"kestrova_relay_fleet_known_ids", "12"},
        {"kestrova_relay_fleet_takeovers_total", "13"},
        {"kestrova_relay_fleet_removed_ids_total", "14"},
        {"kestrova_relay_fleet_watch_revision", "15"},
        {"kestrova_relay_fleet_known_removed_ids", "16"},
        {"kestrova_relay_fleet_watch_reloads_total", "17"},
        {"kestrova_relay_fleet_watch_dropped_total", "18"},
        {"kestrova_relay_fleet_watch_skipped_total", "19"},
        {"kestrova_relay_fleet_copy_mismatches_total", "20"},
        {"kestrova_relay_fleet_watch_retries_total", "29"},
        {"kestrova_relay_fleet_claims_total{result=\"ok\"}", "7"},
        {"kestrova_relay_fleet_claims_total{result=\"taken\"}", "2"},
        {"kestrova_relay_fleet_claims_total{result=\"unavailable\"}", "1"},
        {"kestrova_relay_fleet_lookups_total{result=\"found\"}", "31"},
        {"kestrova_relay_fleet_lookups_total{result=\"unknown\"}", "4"},
        {"kestrova_relay_fleet_lookups_total{result=\"unavailable\"}", "5"},
        {"kestrova_relay_fleet_leases_lost_total", "22"},
        {"kestrova_relay_fleet_sent_messages_total", "23"},
        {"kestrova_relay_fleet_sent_bytes_total", "24"},
        {"kestrova_relay_fleet_received_messages_total", "25"},
        {"kestrova_relay_fleet_received_bytes_total", "26"},
        {"kestrova_relay_fleet_send_failures_total", "27"},
        {"kestrova_relay_fleet_refused_total", "28"},
        {"kestrova_relay_fleet_remote_viewers", "4"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::istringstream page(FormatMetrics(c.snapshot));
    std::set<std::string> declared, typed, closed;
    std::map<std::string, std::string> values;
    std::string current;
    for (std::string line; std::getline(page, line);) {
      if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
        const std::string family = line.substr(7, line.find(' ', 7) - 7);
        auto& seen = line[2] == 'H' ? declared : typed;
        EXPECT_TRUE(seen.insert(family).second) << "declared twice: " << line;
        if (line.ends_with(" counter")) {
          EXPECT_TRUE(family.ends_with("_total")) << line;
        }
        continue;
      }
      const auto space = line.rfind(' ');
      ASSERT_NE(space, std::string::npos) << line;
      const std::string series = line.substr(0, space);
      const std::string value = line.substr(space + 1);
      const std::string family = series.substr(0, series.find('{'));
      EXPECT_TRUE(declared.count(family) && typed.count(family)) << "undeclared: " << line;
      EXPECT_EQ(value.find_first_not_of("0123456789"), std::string::npos) << line;
      if (family != current) {
        EXPECT_TRUE(closed.insert(current).second || current.empty()) << current;
        EXPECT_FALSE(closed.count(family)) << "split family: " << family;
        current = family;
      }
      values[series] = value;
    }
    EXPECT_EQ(declared, typed);
    for (const auto& [series, value] : c.samples) {
      EXPECT_EQ(values[series], value) << series;
    }
  }
}

}  // namespace
}  // namespace ov::relay
