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
// "name[{labels}] integer". Checked for a single node and for a node of a fleet.
TEST(MetricsTest, EveryFamilyIsDeclaredOnceAndItsSamplesStayTogether) {
  MetricsSnapshot single;
  single.matcher.refusals = {{"rateLimited", 3}, {"unknownHost", 1}};
  single.httpResponses = {{200, 5}, {404, 2}};
  single.logEvents = {{"write-stalled", 1}};
  single.queuedBytes = 4096;
  MetricsSnapshot node = single;
  node.fleet = FleetStats{};
  node.fleet->claims = 10;
  node.fleet->claimsTaken = 2;
  node.fleet->claimsUnavailable = 1;
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
       {{"kestrova_relay_fleet_claims_total{result=\"ok\"}", "7"},
        {"kestrova_relay_fleet_claims_total{result=\"taken\"}", "2"},
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
