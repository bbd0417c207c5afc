// The relay's /metrics page (Prometheus text format 0.0.4), written from one snapshot of its
// counters so that the server only gathers numbers and this file alone knows names and help.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "relay/fleet.h"
#include "relay/matcher.h"

namespace ov::relay {

struct MetricsSnapshot {
  MatcherStats matcher;  // forwarded counts summed over the workers
  std::size_t openHttp = 0;
  std::uint64_t accepted = 0;
  std::uint64_t acceptOverflow = 0;   // refused: the connection table was full
  std::uint64_t addressOverflow = 0;  // refused: the address (prefix) was at its bound
  std::uint64_t proxyRefused = 0;     // refused: a missing or bad PROXY header
  std::size_t queuedBytes = 0;
  std::size_t memoryBudget = 0;
  std::size_t trackedPrefixes = 0;
  bool draining = false;
  std::vector<std::pair<std::string, std::uint64_t>> logEvents;
  std::uint64_t logDropped = 0;
  std::optional<FleetStats> fleet;  // a node of a fleet
  std::map<unsigned, std::uint64_t> httpResponses;  // by status
};

std::string FormatMetrics(const MetricsSnapshot& s);

}  // namespace ov::relay
