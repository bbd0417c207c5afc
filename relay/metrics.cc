#include "relay/metrics.h"

namespace ov::relay {

std::string FormatMetrics(const MetricsSnapshot& s) {
  std::string out;
  auto line = [&out](const std::string& name, const std::string& type,
                     const std::string& help) {
    out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  };
  line("kestrova_relay_connections", "gauge", "Open WebSocket connections.");
  out += "kestrova_relay_connections " + std::to_string(s.matcher.connections) + "\n";
  line("kestrova_relay_http_connections", "gauge", "Open connections not yet upgraded.");
  out += "kestrova_relay_http_connections " + std::to_string(s.openHttp) + "\n";
  line("kestrova_relay_accepted_total", "counter", "Accepted TCP connections.");
  out += "kestrova_relay_accepted_total " + std::to_string(s.accepted) + "\n";
  line("kestrova_relay_registered_hosts", "gauge", "Hosts registered under a device ID.");
  out += "kestrova_relay_registered_hosts " + std::to_string(s.matcher.registeredHosts) +
         "\n";
  line("kestrova_relay_pending_requests", "gauge", "Viewer requests not yet paired.");
  out += "kestrova_relay_pending_requests " + std::to_string(s.matcher.pendingRequests) +
         "\n";
  line("kestrova_relay_sessions", "gauge", "Live paired sessions.");
  out += "kestrova_relay_sessions " + std::to_string(s.matcher.liveSessions) + "\n";
  line("kestrova_relay_pairings_total", "counter", "Sessions paired since start.");
  out += "kestrova_relay_pairings_total " + std::to_string(s.matcher.pairingsTotal) + "\n";
  line("kestrova_relay_forwarded_messages_total", "counter", "Binary messages forwarded.");
  out += "kestrova_relay_forwarded_messages_total " +
         std::to_string(s.matcher.forwardedMessages) + "\n";
  line("kestrova_relay_forwarded_bytes_total", "counter", "Binary bytes forwarded.");
  out += "kestrova_relay_forwarded_bytes_total " + std::to_string(s.matcher.forwardedBytes) +
         "\n";
  line("kestrova_relay_refusals_total", "counter", "Errors sent, by code.");
  for (const auto& [reason, count] : s.matcher.refusals) {
    out += "kestrova_relay_refusals_total{reason=\"" + reason + "\"} " + std::to_string(count) +
           "\n";
  }
  out += "kestrova_relay_refusals_total{reason=\"acceptOverflow\"} " +
         std::to_string(s.acceptOverflow) + "\n";
  out += "kestrova_relay_refusals_total{reason=\"addressOverflow\"} " +
         std::to_string(s.addressOverflow) + "\n";
  out += "kestrova_relay_refusals_total{reason=\"proxyHeader\"} " +
         std::to_string(s.proxyRefused) + "\n";
  line("kestrova_relay_queued_bytes", "gauge",
       "Bytes queued for writing to connections, relay-wide.");
  out += "kestrova_relay_queued_bytes " + std::to_string(s.queuedBytes) + "\n";
  line("kestrova_relay_memory_budget_bytes", "gauge",
       "Queued bytes beyond which senders wait.");
  out += "kestrova_relay_memory_budget_bytes " + std::to_string(s.memoryBudget) + "\n";
  line("kestrova_relay_tracked_prefixes", "gauge",
       "Address prefixes with open connections or a refilling accept budget.");
  out += "kestrova_relay_tracked_prefixes " + std::to_string(s.trackedPrefixes) + "\n";
  line("kestrova_relay_draining", "gauge", "1 while the relay drains before it stops.");
  out += std::string("kestrova_relay_draining ") + (s.draining ? "1" : "0") + "\n";
  line("kestrova_relay_log_events_total", "counter", "Per-connection log events, by kind.");
  for (const auto& [kind, count] : s.logEvents) {
    out += "kestrova_relay_log_events_total{kind=\"" + kind + "\"} " + std::to_string(count) +
           "\n";
  }
  line("kestrova_relay_log_dropped_total", "counter", "Log lines dropped by a full queue.");
  out += "kestrova_relay_log_dropped_total " + std::to_string(s.logDropped) + "\n";
  if (s.fleet) {
    const FleetStats& f = *s.fleet;
    auto metric = [&](const std::string& name, const std::string& type, const std::string& help,
                      const std::string& labels, std::uint64_t value) {
      if (out.find("# HELP " + name + " ") == std::string::npos) line(name, type, help);
      out += name + labels + " " + std::to_string(value) + "\n";
    };
    metric("kestrova_relay_fleet_connected", "gauge", "1 while the NATS link is up.", "",
           f.connected ? 1 : 0);
    metric("kestrova_relay_fleet_nodes", "gauge", "Live nodes of the fleet, this one included.",
           "", f.nodes);
    metric("kestrova_relay_fleet_owned_ids", "gauge", "Device IDs this node holds a lease on.",
           "", f.ownedIds);
    metric("kestrova_relay_fleet_remote_viewers", "gauge",
           "Viewers of this node's hosts that are connected to other nodes.", "",
           s.matcher.remoteViewers);
    metric("kestrova_relay_fleet_claims_total", "counter", "Registry claims, by result.",
           "{result=\"ok\"}", f.claims - f.claimsTaken - f.claimsUnavailable);
    metric("kestrova_relay_fleet_claims_total", "counter", "", "{result=\"taken\"}",
           f.claimsTaken);
    metric("kestrova_relay_fleet_claims_total", "counter", "", "{result=\"unavailable\"}",
           f.claimsUnavailable);
    metric("kestrova_relay_fleet_lookups_total", "counter", "Registry lookups, by result.",
           "{result=\"found\"}", f.lookups - f.lookupsUnknown - f.lookupsUnavailable);
    metric("kestrova_relay_fleet_lookups_total", "counter", "", "{result=\"unknown\"}",
           f.lookupsUnknown);
    metric("kestrova_relay_fleet_lookups_total", "counter", "", "{result=\"unavailable\"}",
           f.lookupsUnavailable);
    metric("kestrova_relay_fleet_leases_lost_total", "counter",
           "Device IDs this node held that the registry then showed taken over or removed.", "",
           f.leasesLost);
    metric("kestrova_relay_fleet_sent_messages_total", "counter", "Messages to other nodes.",
           "", f.sentMessages);
    metric("kestrova_relay_fleet_sent_bytes_total", "counter", "Bytes to other nodes.", "",
           f.sentBytes);
    metric("kestrova_relay_fleet_received_messages_total", "counter",
           "Messages from other nodes.", "", f.receivedMessages);
    metric("kestrova_relay_fleet_received_bytes_total", "counter", "Bytes from other nodes.", "",
           f.receivedBytes);
    metric("kestrova_relay_fleet_send_failures_total", "counter",
           "Messages the NATS link refused (their sessions ended).", "", f.sendFailures);
    metric("kestrova_relay_fleet_known_ids", "gauge",
           "Device IDs in this node's copy of the fleet's registry.", "", f.knownIds);
    metric("kestrova_relay_fleet_known_removed_ids", "gauge",
           "Device IDs whose latest change in this node's copy of the registry is a removal.", "",
           f.knownRemoved);
    metric("kestrova_relay_fleet_watch_revision", "gauge",
           "The registry's revision of the latest change this node's watch delivered.", "",
           f.watchRevision);
    metric("kestrova_relay_fleet_watch_reloads_total", "counter",
           "Times this node read the registry again from the start (its watch dropped changes, "
           "stalled or failed, or an audit found the copy off).",
           "", f.watchReloads);
    metric("kestrova_relay_fleet_watch_dropped_total", "counter",
           "Registry changes the watch's subscription dropped (a slow reader).", "",
           f.watchDropped);
    metric("kestrova_relay_fleet_watch_skipped_total", "counter",
           "Registry revisions the watch skipped (superseded, or not sent by the server).", "",
           f.watchSkipped);
    metric("kestrova_relay_fleet_copy_mismatches_total", "counter",
           "Audits that found this node's copy of the registry holding another number of "
           "entries than the registry.",
           "", f.copyMismatches);
    metric("kestrova_relay_fleet_watch_retries_total", "counter",
           "Restarts of the registry watch after a failed pass, each after a wait that doubles "
           "while passes keep failing.",
           "", f.watchRetries);
    metric("kestrova_relay_fleet_takeovers_total", "counter",
           "IDs of stopped or failed nodes claimed here.", "", f.takeovers);
    metric("kestrova_relay_fleet_removed_ids_total", "counter",
           "IDs of stopped or failed nodes this node removed from the registry.", "",
           f.removedIds);
    metric("kestrova_relay_fleet_refused_total", "counter",
           "Messages on NATS refused: not sealed with the fleet secret, replayed or malformed.",
           "", f.refused);
  }
  line("kestrova_relay_http_responses_total", "counter", "HTTP responses, by status.");
  for (const auto& [status, count] : s.httpResponses) {
    out += "kestrova_relay_http_responses_total{status=\"" + std::to_string(status) + "\"} " +
           std::to_string(count) + "\n";
  }
  return out;
}

}  // namespace ov::relay
