#include "relay/matcher.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/address_v6.hpp>

namespace ov::relay {
namespace {

constexpr Millis kMinute = 60000;

bool IsDeviceId(const std::string& id) {
  if (id.size() != 9 || id[0] < '1' || id[0] > '9') return false;
  for (char ch : id) {
    if (ch < '0' || ch > '9') return false;
  }
  return true;
}

// A string member of at most `limit` bytes, or nothing.
const std::string* StringMember(const Json& message, const char* name, std::size_t limit) {
  const auto it = message.find(name);
  if (it == message.end() || !it->is_string()) return nullptr;
  const std::string& value = it->get_ref<const std::string&>();
  if (value.empty() || value.size() > limit) return nullptr;
  return &value;
}

std::string Serialize(Json message) { return SerializeMessage(message); }

// The /56 and /48 of an IPv6 address key ("2001:db8:1:2::/64", as the server writes it), with
// the factor of the per-address bound each gets; nothing for an IPv4 key.
struct WiderPrefix {
  std::string key;
  std::size_t factor;
};
std::vector<WiderPrefix> WiderPrefixes(const std::string& address) {
  if (!address.ends_with("/64")) return {};
  boost::system::error_code ec;
  const auto v6 = boost::asio::ip::make_address_v6(address.substr(0, address.size() - 3), ec);
  if (ec) return {};
  std::vector<WiderPrefix> out;
  for (const auto& [length, factor] : {std::pair<unsigned, std::size_t>{56, 2}, {48, 4}}) {
    auto bytes = v6.to_bytes();
    std::fill(bytes.begin() + length / 8, bytes.end(), 0);
    out.push_back(
        {boost::asio::ip::address_v6(bytes).to_string() + "/" + std::to_string(length), factor});
  }
  return out;
}

}  // namespace

bool ParseVersion(std::string_view text, std::uint32_t out[3]) {
  if (text.empty() || text.size() > 17) return false;
  std::size_t part = 0;
  std::size_t pos = 0;
  while (part < 3) {
    const std::size_t start = pos;
    std::uint32_t value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      value = value * 10 + static_cast<std::uint32_t>(text[pos] - '0');
      ++pos;
      if (pos - start > 5) return false;
    }
    const std::size_t digits = pos - start;
    if (digits == 0 || (digits > 1 && text[start] == '0') || value > 65535) return false;
    out[part++] = value;
    if (part < 3) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
  }
  return pos == text.size();
}

Matcher::Matcher(MatcherConfig config, IdSource ids, LogSink log)
    : config_(config), ids_(std::move(ids)), log_(std::move(log)) {}

void Matcher::Log(const std::string& line) const {
  if (log_) log_(line);
}

std::string Matcher::NewRequestId() {
  // Collisions are practically impossible with 128 random bits; the loop only makes the
  // uniqueness of live request IDs a guarantee rather than a likelihood.
  for (;;) {
    std::string id = ids_();
    if (!requests_.contains(id)) return id;
  }
}

Actions Matcher::Open(ConnId conn, const std::string& address, Millis now) {
  Actions out;
  now_ = std::max(now_, now);
  Address& addr = addresses_[address];
  const bool full = conns_.size() >= config_.maxConnections;
  const bool addressFull = addr.connections >= config_.maxConnectionsPerAddress;
  Conn& c = conns_[conn];
  c.address = address;
  ++addr.connections;
  Log("conn=" + std::to_string(conn) + " addr=" + address + " event=open");
  if (full) {
    Refuse(conn, code::kServerFull, out);
  } else if (addressFull) {
    Refuse(conn, code::kTooManyConnections, out);
  } else {
    c.registerDeadline = now + config_.registerTimeout;
    registerDeadlines_.emplace(c.registerDeadline, conn);
  }
  return out;
}

void Matcher::Refuse(ConnId conn, std::string_view errorCode, Actions& out) {
  auto it = conns_.find(conn);
  if (it == conns_.end() || it->second.closing) return;
  Conn& c = it->second;
  ++stats_.refusals[std::string(errorCode)];
  Log("conn=" + std::to_string(conn) + " addr=" + c.address + " event=error code=" +
      std::string(errorCode));
  Json message = {{"type", "error"}, {"code", errorCode}};
  out.push_back({Action::Kind::kSendText, conn, Serialize(std::move(message)), 1000});
  Detach(conn, c, out);
  c.closing = true;
  out.push_back({Action::Kind::kClose, conn, {}, 1008});
}

void Matcher::Detach(ConnId conn, Conn& c, Actions& out) {
  if (c.registerDeadline != 0) {
    registerDeadlines_.erase({c.registerDeadline, conn});
    c.registerDeadline = 0;
  }
  if (c.role == Role::kHost) {
    auto host = hosts_.find(c.sessionId);
    if (host != hosts_.end() && host->second == conn) {
      hosts_.erase(host);
      if (config_.fleet) out.push_back({Action::Kind::kRelease, conn, c.sessionId});
    }
    auto claim = claims_.find(c.sessionId);
    if (claim != claims_.end() && claim->second == conn) claims_.erase(claim);
  }
  if (!c.requestId.empty()) {
    const std::string requestId = c.requestId;
    EndRequest(requestId, conn, out);
  }
}

std::size_t Matcher::RecentFailures(std::vector<Millis>& failures) const {
  const auto old = std::find_if(failures.begin(), failures.end(), [this](Millis at) {
    return at > now_ - config_.failedPairingWindow;
  });
  failures.erase(failures.begin(), old);
  if (failures.empty()) failures = std::vector<Millis>();
  return failures.size();
}

bool Matcher::PrefixFailedTooOften(const std::string& address) {
  if (RecentFailures(addresses_[address].failures) >= config_.failedPairingsPerAddress) return true;
  for (const WiderPrefix& wider : WiderPrefixes(address)) {
    const auto it = prefixFailures_.find(wider.key);
    if (it != prefixFailures_.end() &&
        RecentFailures(it->second) >= wider.factor * config_.failedPairingsPerAddress) {
      return true;
    }
  }
  return false;
}

void Matcher::NoteFailure(const std::string& address, bool countAddress, const std::string& id) {
  if (!id.empty()) idFailures_[id].push_back(now_);
  if (!countAddress) return;
  const auto addr = addresses_.find(address);
  if (addr != addresses_.end()) addr->second.failures.push_back(now_);
  for (const WiderPrefix& wider : WiderPrefixes(address)) {
    prefixFailures_[wider.key].push_back(now_);
  }
}

void Matcher::EndRequest(const std::string& requestId, ConnId leaving, Actions& out) {
  auto it = requests_.find(requestId);
  if (it == requests_.end()) return;
  const Request r = it->second;
  if (r.stage == Stage::kPaired) {
    --stats_.liveSessions;
  } else {
    pairingDeadlines_.erase({r.deadline, requestId});
    // A pairing that failed counts against the viewer's address and its wider prefixes (a
    // remote viewer's address is counted by its own node), and against the target ID here.
    const auto viewer = conns_.find(r.viewer);
    if (viewer != conns_.end()) {
      NoteFailure(viewer->second.address, !viewer->second.remote, viewer->second.sessionId);
    }
  }
  requests_.erase(it);
  for (const ConnId end : {r.host, r.viewer}) {
    const auto e = conns_.find(end);
    if (e != conns_.end()) {
      e->second.requestId.clear();
      e->second.partner = 0;
      // Both ends lose their route, the leaving one too: it may still be read from until its
      // close is carried out, and what it sends then has nobody to go to.
      if (r.stage == Stage::kPaired) out.push_back({Action::Kind::kRoute, end, {}, 1000, 0});
    }
  }
  const ConnId other = leaving == r.host ? r.viewer : r.host;
  const auto found = conns_.find(other);
  if (found == conns_.end() || found->second.closing) return;
  Conn& o = found->second;
  if (r.stage == Stage::kPaired) o.sessionEnded = true;
  Json notice = {{"type", "peerDisconnected"}, {"requestId", requestId}};
  out.push_back({Action::Kind::kSendText, other, Serialize(std::move(notice)), 1000});
  Log("conn=" + std::to_string(other) + " addr=" + o.address + " event=peerDisconnected");
  if (other == r.viewer) {
    // A viewer exists for one request only; the host stays registered for the next one.
    o.closing = true;
    out.push_back({Action::Kind::kClose, other, {}, 1000});
  }
}

Actions Matcher::Oversize(ConnId conn, bool text) {
  Actions out;
  Refuse(conn, text ? code::kTextTooLarge : code::kBinaryTooLarge, out);
  return out;
}

ParsedText Matcher::Parse(std::string_view text) {
  ParsedText parsed;
  if (text.size() > kTextLimit) {
    parsed.refusal = code::kTextTooLarge;
    return parsed;
  }
  try {
    parsed.message = ParseMessage(text);
  } catch (const std::exception&) {
    parsed.refusal = code::kBadJson;
    return parsed;
  }
  if (!parsed.message.is_object()) {
    parsed.refusal = code::kBadJson;
    return parsed;
  }
  const auto type = parsed.message.find("type");
  if (type == parsed.message.end() || !type->is_string()) {
    parsed.refusal = code::kBadMessage;
    return parsed;
  }
  parsed.type = type->get<std::string>();
  if (parsed.type != "register" && parsed.type != "authChallenge" &&
      parsed.type != "authResponse" && parsed.type != "connectResponse") {
    parsed.refusal = code::kUnknownType;
  }
  return parsed;
}

Actions Matcher::Text(ConnId conn, const ParsedText& text, Millis now) {
  Actions out;
  now_ = std::max(now_, now);
  auto it = conns_.find(conn);
  if (it == conns_.end() || it->second.closing) return out;
  Conn& c = it->second;
  if (c.role == Role::kRemoteViewer) return out;  // the host's node decides for it
  if (!text.refusal.empty()) {
    Refuse(conn, text.refusal, out);
    return out;
  }
  const Json& message = text.message;
  const std::string& name = text.type;
  if (name == "register") {
    HandleRegister(conn, c, message, now, out);
  } else if (c.role == Role::kHost) {
    HandleHostMessage(conn, c, name, message, out);
  } else if (c.role == Role::kViewer) {
    HandleViewerMessage(conn, c, name, message, out);
  } else {
    Refuse(conn, code::kUnexpectedMessage, out);
  }
  return out;
}

void Matcher::HandleRegister(ConnId conn, Conn& c, const Json& message, Millis now,
                             Actions& out) {
  if (c.role != Role::kNone) return Refuse(conn, code::kAlreadyRegistered, out);

  Address& addr = addresses_[c.address];
  while (!addr.registrations.empty() && addr.registrations.front() <= now - kMinute) {
    addr.registrations.pop_front();
  }
  if (addr.registrations.size() >= config_.registrationsPerMinute) {
    return Refuse(conn, code::kRateLimited, out);
  }
  addr.registrations.push_back(now);
  if (config_.fleet) out.push_back({Action::Kind::kRegistration, conn, c.address});

  const std::string* role = StringMember(message, "role", 16);
  const auto protocol = message.find("protocol");
  const std::string* build = StringMember(message, "build", 17);
  const std::string* sessionId = StringMember(message, "sessionId", 9);
  if (role == nullptr || (*role != "host" && *role != "viewer")) {
    return Refuse(conn, code::kBadRegister, out);
  }
  if (protocol == message.end() || !protocol->is_number_integer()) {
    return Refuse(conn, code::kBadRegister, out);
  }
  // Older protocols belong to older builds: those devices must update.
  const bool oldProtocol =
      protocol->is_number_unsigned() ? protocol->get<std::uint64_t>() < 3
                                     : protocol->get<std::int64_t>() < 3;
  if (oldProtocol) return Refuse(conn, code::kUpdateRequired, out);
  if (!protocol->is_number_unsigned() || protocol->get<std::uint64_t>() != 3) {
    return Refuse(conn, code::kBadRegister, out);
  }
  std::uint32_t version[3];
  if (build == nullptr || !ParseVersion(*build, version)) {
    return Refuse(conn, code::kBadRegister, out);
  }
  for (int i = 0; i < 3; ++i) {
    if (version[i] != config_.minBuild[i]) {
      if (version[i] < config_.minBuild[i]) return Refuse(conn, code::kUpdateRequired, out);
      break;
    }
  }
  if (sessionId == nullptr || !IsDeviceId(*sessionId)) {
    return Refuse(conn, code::kBadRegister, out);
  }

  if (*role == "host") {
    if (hosts_.contains(*sessionId) || claims_.contains(*sessionId)) {
      return Refuse(conn, code::kIdInUse, out);
    }
    if (config_.fleet) {
      // Registered once the fleet's registry says the ID is this node's (Claimed); the register
      // deadline keeps running meanwhile.
      c.role = Role::kHost;
      c.sessionId = *sessionId;
      c.claiming = true;
      claims_.emplace(c.sessionId, conn);
      out.push_back({Action::Kind::kClaim, conn, c.sessionId});
      return;
    }
    registerDeadlines_.erase({c.registerDeadline, conn});
    c.registerDeadline = 0;
    c.role = Role::kHost;
    c.sessionId = *sessionId;
    hosts_.emplace(c.sessionId, conn);
    Json reply = {{"type", "registered"}, {"protocol", 3}};
    out.push_back({Action::Kind::kSendText, conn, Serialize(std::move(reply)), 1000});
    Log("conn=" + std::to_string(conn) + " addr=" + c.address + " event=registered role=host id=" +
        c.sessionId + " build=" + *build);
    return;
  }

  // The pairing string travels to the host untouched; it is never logged.
  const std::string* pairing = StringMember(message, "password", kPairingStringLimit);
  if (pairing == nullptr) return Refuse(conn, code::kBadRegister, out);
  // An address whose viewers keep failing to pair is guessing: it waits out the window.
  if (PrefixFailedTooOften(c.address)) return Refuse(conn, code::kRateLimited, out);
  const auto host = hosts_.find(*sessionId);
  c.role = Role::kViewer;
  c.sessionId = *sessionId;
  if (host == hosts_.end()) {
    if (!config_.fleet) return Refuse(conn, code::kUnknownHost, out);
    // Perhaps a host of another node: the registry knows (Located).
    c.locating = true;
    c.pairing = *pairing;
    out.push_back({Action::Kind::kLookup, conn, c.sessionId});
    return;
  }
  StartRequest(conn, c, host->second, *pairing, now, out);
  if (!c.requestId.empty()) {
    Log("conn=" + std::to_string(conn) + " addr=" + c.address +
        " event=registered role=viewer host=" + c.sessionId + " build=" + *build);
  }
}

void Matcher::StartRequest(ConnId conn, Conn& c, ConnId hostConn, const std::string& pairing,
                           Millis now, Actions& out) {
  Conn& h = conns_[hostConn];
  if (!h.requestId.empty()) return Refuse(conn, code::kHostBusy, out);
  auto& times = h.requestTimes;
  times.erase(times.begin(), std::find_if(times.begin(), times.end(),
                                          [now](Millis at) { return at > now - kMinute; }));
  if (times.size() >= config_.requestsPerHostPerMinute) return Refuse(conn, code::kRateLimited, out);
  // An ID whose pairings keep failing is being guessed at, from wherever: it waits out the window
  // (refused here, the guesses use up none of the host's own attempts).
  if (const auto failed = idFailures_.find(h.sessionId);
      failed != idFailures_.end() && RecentFailures(failed->second) >= config_.failedPairingsPerId) {
    return Refuse(conn, code::kRateLimited, out);
  }
  times.push_back(now);

  const std::string requestId = NewRequestId();
  registerDeadlines_.erase({c.registerDeadline, conn});
  c.registerDeadline = 0;
  c.requestId = requestId;
  h.requestId = requestId;
  h.sessionEnded = false;
  h.staleAllowance = std::min(h.staleAllowance + kStaleRepliesPerRequest, kStaleRepliesMax);
  Request r;
  r.host = hostConn;
  r.viewer = conn;
  r.deadline = now + config_.pairingTimeout;
  requests_.emplace(requestId, r);
  pairingDeadlines_.emplace(r.deadline, requestId);
  Json request = {{"type", "connectRequest"}, {"requestId", requestId}, {"password", pairing}};
  out.push_back({Action::Kind::kSendText, hostConn, Serialize(std::move(request)), 1000});
  Log("conn=" + std::to_string(conn) + " event=request hostConn=" + std::to_string(hostConn) +
      (c.remote ? " remote=1" : ""));
}

void Matcher::HandleHostMessage(ConnId conn, Conn& c, std::string_view type, const Json& message,
                                Actions& out) {
  if (type != "authChallenge" && type != "connectResponse") {
    return Refuse(conn, code::kUnexpectedMessage, out);
  }
  const std::string* requestId = StringMember(message, "requestId", 64);
  if (requestId == nullptr) return Refuse(conn, code::kBadMessage, out);
  if (c.requestId.empty() || *requestId != c.requestId) {
    // A reply to a request that already ended (the viewer left or timed out) crosses the
    // relay's notice on the wire; it is dropped without disturbing the host, as far as the
    // requests it was sent allow.
    if (--c.staleAllowance < 0) return Refuse(conn, code::kUnexpectedMessage, out);
    Log("conn=" + std::to_string(conn) + " addr=" + c.address + " event=stale type=" +
        std::string(type));
    return;
  }
  Request& r = requests_.at(c.requestId);
  Conn& v = conns_[r.viewer];

  if (type == "authChallenge") {
    if (r.stage != Stage::kRequested) return Refuse(conn, code::kUnexpectedMessage, out);
    const std::string* pake = StringMember(message, "message", kForwardedMemberLimit);
    const std::string* confirmation =
        StringMember(message, "confirmation", kForwardedMemberLimit);
    if (pake == nullptr || confirmation == nullptr) return Refuse(conn, code::kBadMessage, out);
    r.stage = Stage::kChallenged;
    Json forward = {{"type", "authChallenge"},
                    {"requestId", *requestId},
                    {"message", *pake},
                    {"confirmation", *confirmation}};
    out.push_back({Action::Kind::kSendText, r.viewer, Serialize(std::move(forward)), 1000});
    return;
  }

  const auto accepted = message.find("accepted");
  if (accepted == message.end() || !accepted->is_boolean()) {
    return Refuse(conn, code::kBadMessage, out);
  }
  if (r.stage == Stage::kPaired) return Refuse(conn, code::kUnexpectedMessage, out);
  if (!accepted->get<bool>()) {
    // The host stays registered and free; only the viewer is told and let go.
    const ConnId viewer = r.viewer;
    pairingDeadlines_.erase({r.deadline, c.requestId});
    requests_.erase(c.requestId);
    c.requestId.clear();
    v.requestId.clear();
    Log("conn=" + std::to_string(conn) + " addr=" + c.address + " event=refused");
    return Refuse(viewer, code::kRefused, out);
  }
  if (r.stage != Stage::kAnswered) return Refuse(conn, code::kUnexpectedMessage, out);
  r.stage = Stage::kPaired;
  c.partner = r.viewer;
  v.partner = conn;
  pairingDeadlines_.erase({r.deadline, c.requestId});
  ++stats_.pairingsTotal;
  ++stats_.liveSessions;
  out.push_back({Action::Kind::kRoute, conn, {}, 1000, r.viewer});
  out.push_back({Action::Kind::kRoute, r.viewer, {}, 1000, conn});
  Json connected = {{"type", "connected"}, {"requestId", *requestId}};
  const std::string text = Serialize(std::move(connected));
  out.push_back({Action::Kind::kSendText, conn, text, 1000});
  out.push_back({Action::Kind::kSendText, r.viewer, text, 1000});
  Log("conn=" + std::to_string(conn) + " addr=" + c.address + " event=paired viewerConn=" +
      std::to_string(r.viewer));
}

void Matcher::HandleViewerMessage(ConnId conn, Conn& c, std::string_view type,
                                  const Json& message, Actions& out) {
  if (type != "authResponse") return Refuse(conn, code::kUnexpectedMessage, out);
  const std::string* requestId = StringMember(message, "requestId", 64);
  if (requestId == nullptr) return Refuse(conn, code::kBadMessage, out);
  if (*requestId != c.requestId) return Refuse(conn, code::kUnexpectedMessage, out);
  Request& r = requests_.at(c.requestId);
  if (r.stage != Stage::kChallenged) return Refuse(conn, code::kUnexpectedMessage, out);
  const std::string* confirmation = StringMember(message, "confirmation", kForwardedMemberLimit);
  if (confirmation == nullptr) return Refuse(conn, code::kBadMessage, out);
  r.stage = Stage::kAnswered;
  Json forward = {
      {"type", "authResponse"}, {"requestId", *requestId}, {"confirmation", *confirmation}};
  out.push_back({Action::Kind::kSendText, r.host, Serialize(std::move(forward)), 1000});
}

std::optional<ConnId> Matcher::Binary(ConnId conn, std::size_t size, Actions& actions) {
  auto it = conns_.find(conn);
  if (it == conns_.end() || it->second.closing) return std::nullopt;
  if (size > kBinaryLimit) {
    Refuse(conn, code::kBinaryTooLarge, actions);
    return std::nullopt;
  }
  const ConnId partner = it->second.partner;
  if (it->second.role == Role::kRemoteViewer) return std::nullopt;  // the shell routes these
  if (partner == 0) {
    // Messages already on their way when the partner left have nobody to go to; they are
    // dropped without punishing the sender. Anything else before pairing is a violation.
    if (it->second.sessionEnded && it->second.requestId.empty()) return std::nullopt;
    Refuse(conn, code::kNotPaired, actions);
    return std::nullopt;
  }
  ++stats_.forwardedMessages;
  stats_.forwardedBytes += size;
  return partner;
}

BinaryStart Matcher::BinaryHeader(ConnId conn, Actions& actions) {
  const auto it = conns_.find(conn);
  if (it == conns_.end() || it->second.closing) return BinaryStart::kSkip;
  const Conn& c = it->second;
  if (c.role == Role::kRemoteViewer) return BinaryStart::kSkip;  // the shell routes these
  if (c.partner != 0) return BinaryStart::kRead;                  // its route is on the way
  if (c.sessionEnded && c.requestId.empty()) return BinaryStart::kSkip;
  Refuse(conn, code::kNotPaired, actions);
  return BinaryStart::kRefused;
}

std::optional<ConnId> Matcher::PartnerOf(ConnId conn) const {
  const auto it = conns_.find(conn);
  if (it == conns_.end() || it->second.partner == 0) return std::nullopt;
  return it->second.partner;
}

Actions Matcher::Closed(ConnId conn) {
  Actions out;
  auto it = conns_.find(conn);
  if (it == conns_.end()) return out;
  Conn& c = it->second;
  if (!c.closing) {
    c.closing = true;
    Detach(conn, c, out);
  }
  Log("conn=" + std::to_string(conn) + " addr=" + c.address + " event=closed");
  auto addr = c.remote ? addresses_.end() : addresses_.find(c.address);
  if (c.remote) --remoteConns_;
  if (addr != addresses_.end()) {
    --addr->second.connections;
    if (addr->second.Idle()) {
      addresses_.erase(addr);
    }
  }
  conns_.erase(it);
  return out;
}

Actions Matcher::Tick(Millis now) {
  Actions out;
  now_ = std::max(now_, now);
  while (!registerDeadlines_.empty() && registerDeadlines_.begin()->first <= now) {
    const ConnId conn = registerDeadlines_.begin()->second;
    registerDeadlines_.erase(registerDeadlines_.begin());
    conns_[conn].registerDeadline = 0;
    Refuse(conn, code::kRegisterTimeout, out);
  }
  while (!pairingDeadlines_.empty() && pairingDeadlines_.begin()->first <= now) {
    const std::string requestId = pairingDeadlines_.begin()->second;
    pairingDeadlines_.erase(pairingDeadlines_.begin());
    const auto r = requests_.find(requestId);
    if (r == requests_.end()) continue;
    // Refusing the viewer ends the request, which tells the host.
    Refuse(r->second.viewer, code::kPairingTimeout, out);
  }
  if (now - lastPrune_ >= kMinute) {
    lastPrune_ = now;
    for (auto it = addresses_.begin(); it != addresses_.end();) {
      auto& regs = it->second.registrations;
      while (!regs.empty() && regs.front() <= now - kMinute) regs.pop_front();
      RecentFailures(it->second.failures);
      if (it->second.Idle()) {
        it = addresses_.erase(it);
      } else {
        ++it;
      }
    }
    for (auto* failures : {&prefixFailures_, &idFailures_}) {
      for (auto it = failures->begin(); it != failures->end();) {
        it = RecentFailures(it->second) == 0 ? failures->erase(it) : std::next(it);
      }
    }
  }
  return out;
}

std::optional<Millis> Matcher::NextDeadline() const {
  std::optional<Millis> next;
  if (!registerDeadlines_.empty()) next = registerDeadlines_.begin()->first;
  if (!pairingDeadlines_.empty() &&
      (!next || pairingDeadlines_.begin()->first < *next)) {
    next = pairingDeadlines_.begin()->first;
  }
  return next;
}

MatcherStats Matcher::Stats() const {
  MatcherStats s = stats_;
  s.connections = conns_.size() - remoteConns_;
  s.remoteViewers = remoteConns_;
  s.registeredHosts = hosts_.size();
  s.pendingRequests = requests_.size() - stats_.liveSessions;
  return s;
}

Actions Matcher::Claimed(ConnId conn, const std::string& id, FleetResult result) {
  Actions out;
  const auto it = conns_.find(conn);
  const bool waiting = it != conns_.end() && !it->second.closing && it->second.claiming &&
                       it->second.sessionId == id;
  if (!waiting) {
    // The host left while its claim was on the way: the ID is given back.
    if (result == FleetResult::kOk) out.push_back({Action::Kind::kRelease, conn, id});
    return out;
  }
  Conn& c = it->second;
  c.claiming = false;
  claims_.erase(id);
  if (result != FleetResult::kOk) {
    Refuse(conn, result == FleetResult::kTaken ? code::kIdInUse : code::kUnavailable, out);
    return out;
  }
  registerDeadlines_.erase({c.registerDeadline, conn});
  c.registerDeadline = 0;
  hosts_.emplace(id, conn);
  Json reply = {{"type", "registered"}, {"protocol", 3}};
  out.push_back({Action::Kind::kSendText, conn, Serialize(std::move(reply)), 1000});
  Log("conn=" + std::to_string(conn) + " addr=" + c.address + " event=registered role=host id=" +
      id);
  return out;
}

Actions Matcher::Located(ConnId conn, FleetResult result, const std::string& node) {
  Actions out;
  const auto it = conns_.find(conn);
  if (it == conns_.end() || it->second.closing || !it->second.locating) return out;
  Conn& c = it->second;
  c.locating = false;
  const std::string pairing = std::exchange(c.pairing, std::string());
  if (result == FleetResult::kUnavailable) {
    Refuse(conn, code::kUnavailable, out);
    return out;
  }
  if (result != FleetResult::kOk) {
    Refuse(conn, code::kUnknownHost, out);
    return out;
  }
  registerDeadlines_.erase({c.registerDeadline, conn});
  c.registerDeadline = 0;
  c.role = Role::kRemoteViewer;
  Json registration = {{"address", c.address}, {"sessionId", c.sessionId}, {"password", pairing}};
  Action handOff{Action::Kind::kHandOff, conn, Serialize(std::move(registration))};
  handOff.node = node;
  out.push_back(std::move(handOff));
  Log("conn=" + std::to_string(conn) + " addr=" + c.address + " event=handoff host=" +
      c.sessionId + " node=" + node);
  return out;
}

Actions Matcher::OpenRemote(ConnId conn, const std::string& address, const std::string& sessionId,
                            const std::string& pairing, Millis now) {
  Actions out;
  now_ = std::max(now_, now);
  if (conns_.contains(conn)) return out;
  Conn& c = conns_[conn];
  c.address = address;
  c.remote = true;
  c.role = Role::kViewer;
  c.sessionId = sessionId;
  ++remoteConns_;
  Log("conn=" + std::to_string(conn) + " addr=" + address + " event=open remote=1");
  const auto host = hosts_.find(sessionId);
  if (host == hosts_.end()) {
    Refuse(conn, code::kUnknownHost, out);
    return out;
  }
  StartRequest(conn, c, host->second, pairing, now, out);
  return out;
}

void Matcher::NoteRegistration(const std::string& address, Millis now) {
  Address& addr = addresses_[address];
  while (!addr.registrations.empty() && addr.registrations.front() <= now - kMinute) {
    addr.registrations.pop_front();
  }
  addr.registrations.push_back(now);
}

Actions Matcher::LeaseLost(const std::string& id) {
  Actions out;
  const auto host = hosts_.find(id);
  if (host == hosts_.end()) return out;
  const ConnId conn = host->second;
  hosts_.erase(host);  // no longer this node's to release
  Log("conn=" + std::to_string(conn) + " event=lease-lost id=" + id);
  Refuse(conn, code::kIdInUse, out);
  return out;
}

std::optional<ConnId> Matcher::HostOf(const std::string& id) const {
  const auto it = hosts_.find(id);
  if (it == hosts_.end()) return std::nullopt;
  return it->second;
}

std::string Matcher::RequestOf(ConnId conn) const {
  const auto it = conns_.find(conn);
  return it == conns_.end() ? std::string() : it->second.requestId;
}

}  // namespace ov::relay
