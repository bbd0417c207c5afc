// Server::Impl, the relay's network shell behind Server: the worker threads, the acceptor, the
// byte budgets the connections count against, the matcher behind its lock, and the fleet's links.
// Its work is spread over files by job:
//   server.cc          construction, the workers and their tick, the log, the matcher's glue
//   server_accept.cc   the acceptor: PROXY headers, admission by address prefix, the HTTP start
//   server_budget.cc   the relay-wide and per-address byte budgets, and the senders they hold
//   server_http.cc     the plain HTTP answers (/healthz, /metrics, downloads, the web page)
//   server_control.cc  signals, TLS reload, drain and stop
//   server_fleet.cc    the fleet's events and the sessions across nodes
// Private to those files.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http.hpp>

#include "relay/connection.h"
#include "relay/fleet.h"
#include "relay/http_session.h"
#include "relay/log.h"
#include "relay/matcher.h"
#include "relay/node_link.h"
#include "relay/prefix_budget.h"
#include "relay/remote_peer.h"
#include "relay/server.h"
#include "relay/server_options.h"
#include "relay/web_files.h"

namespace ov::relay {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using error_code = beast::error_code;
using detail::Executor;
using detail::GiveChunk;
using detail::HttpAnswer;
using detail::HttpSession;
using detail::NowMs;
using detail::OutMessage;
using detail::Peer;
using detail::PlainSocket;
using detail::RemotePeer;
using detail::Socket;
using detail::TakeChunk;
using detail::Waiter;
using detail::Worker;
using detail::WsSession;
using detail::kServerName;
using Acceptor = net::basic_socket_acceptor<tcp, Executor>;

class Server::Impl final : public FleetEvents, public NodeLinks::Events, public detail::HttpOwner {
 public:
  // Validates, loads the TLS files, binds and listens (and joins the fleet when it is given).
  // Throws on any failure.
  explicit Impl(ServerOptions options);

  ~Impl() override;

  std::uint16_t Port() const { return port_; }
  bool Secure() const override { return !options_.tlsCert.empty(); }
  bool Draining() const override { return draining_.load(); }
  bool ServesWeb() const override { return webFiles_.has_value(); }

  // --- byte budgets (server_budget.cc) ----------------------------------------------------------

  // Bytes queued for writing relay-wide, kept by each connection as its queue grows and shrinks.
  void Queued(std::ptrdiff_t bytes) override;
  // The count of bytes queued for the connections of one address (IPv4) or IPv6 /64, shared by
  // them: a slow reader's share of the budget is its address's, not everyone's.
  std::shared_ptr<std::atomic<std::size_t>> PrefixQueue(const std::string& address) override;
  std::size_t PrefixBudgetBytes() const override { return prefixBudget_; }
  // First worker's tick: forgets the counts no connection holds any more.
  void PrunePrefixQueues();
  void WaitForRoom(Waiter waiter) override;
  // Every sender held for room checks again on its own thread (and waits again if it must).
  void WakeRoomWaiters();
  // Over the process-wide budget: every sender waits after its current message or piece.
  bool OverBudget() const override;

  // As Server's.
  std::string ReloadTls();
  void Drain();
  void Run();
  void Stop();

  // --- used by the sessions (from any worker; server.cc) ----------------------------------------

  const ServerOptions& Options() const override { return options_; }
  bool Stopping() const override { return stopping_.load(); }

  // A per-connection line "conn=... event=KIND ...": counted by kind; routine kinds are written
  // only when the log is verbose, the others (refusals, errors, timeouts) always, both in bursts
  // with a count per window. Never waits on the log's output.
  void Log(const std::string& line) override;
  // Start, stop, reload, drain: always written.
  void Notice(const std::string& line) { log_.Notice(line); }
  AsyncLog& LogOut() { return log_; }

  ConnId NextId() override { return ++lastId_; }

  void HttpStarted() override;
  // A connection counted against `address` at accept has ended (the HTTP phase that did not
  // upgrade, or the WebSocket session it became).
  void AddressEnded(const net::ip::address& address) override { prefixes_.Close(address); }
  void HttpEnded() override;
  void CountHttp(unsigned status);

  // The matching calls below return false when the calling connection was just told to close:
  // it reads nothing more, and its close follows through its own queue.
  bool PeerOpened(const std::shared_ptr<Peer>& peer, const std::string& address) override;

  bool PeerText(ConnId id, std::string_view text) override;

  void PeerOversize(ConnId id, bool text) override;

  // A whole binary message of a link that has no route (the host's node of a session across
  // nodes): the partner it goes to, if any. `open` turns false when the sender was refused.
  std::shared_ptr<Peer> PeerBinary(ConnId id, std::size_t size, bool& open) override;

  // The first frame header of a binary message of a connection that has no route: whether to
  // read the message (then `partner` is where it goes), skip it unread, or stop reading (the
  // sender was refused).
  BinaryStart PeerBinaryHeader(ConnId id, std::shared_ptr<Peer>& partner) override;

  void PeerEnded(ConnId id) override;

  // Runs `task` on the session's own executor, after everything handed to it before.
  template <class Task>
  static void Post(Peer& peer, Task&& task) {
    net::post(peer.GetExecutor(), std::forward<Task>(task));
  }

  // --- HTTP (server_http.cc) ------------------------------------------------------------------

  // Builds the answer to a plain HTTP request. Returns a file response when a download is
  // served, a string response otherwise (in `text`).
  HttpAnswer Respond(const http::request<http::empty_body>& request) override;

  std::string Metrics();

  // --- fleet (server_fleet.cc) ------------------------------------------------------------------
  void OnFleetMessage(const fleet::Message& message) override;
  void OnClaimed(ConnId conn, const std::string& id, FleetResult result) override;
  void OnLocated(ConnId conn, FleetResult result, const std::string& node) override;
  void OnLeaseLost(const std::string& id) override;
  void OnRemoteRegistration(const std::string& address) override;
  void OnNodeLost(const std::string& node) override;
  void OnLinkChanged(bool up) override;
  bool LinkPeerValid(const std::string& node, std::uint64_t instance) override;
  void OnLinkMessage(const fleet::Message& message) override { OnFleetMessage(message); }
  void OnLinkDown(const std::string& node) override;
  Fleet& FleetLink() { return *fleet_; }
  const std::string& NodeName() const override { return fleet_->Node(); }
  // One encoded message to `node`: on the direct link when it announces one, else through NATS.
  bool SendToNode(const std::string& node, std::string message) override;
  // The largest piece of a binary message one message to `node` carries.
  std::size_t ChunkFor(const std::string& node) const override {
    if (nodeLinks_) {
      const auto peer = fleet_->Peer(node);
      if (peer && !peer->advertise.empty()) return kBinaryLimit;
    }
    return fleet_->MaxPayload() - fleet::kHeaderMax;
  }
  Worker& WorkerOf(const Executor& executor);
  // A link of a session across nodes is gone (from its own executor).
  void LinkEnded(const std::string& key) override;

 private:
  // A session across nodes: the other node, its instance, and the session's random key.
  static std::string LinkKey(std::string_view node, std::uint64_t instance, std::uint64_t key) {
    return std::string(node) + "/" + std::to_string(instance) + "/" + std::to_string(key);
  }
  // With the lock held.
  void HandOff(const std::shared_ptr<Peer>& viewer, const std::string& node,
               const std::string& registration);
  void ForwardText(RemotePeer& link, std::string_view text);
  void ViewerEnded(const std::shared_ptr<RemotePeer>& link);
  std::shared_ptr<Peer> RemoteAsPeer(ConnId viewer);
  void OpenRemoteViewer(const fleet::Message& message);
  void EndLinks(const std::function<bool(const std::string& key)>& which);

  // --- acceptor (server_accept.cc) ------------------------------------------------------------

  void Accept();
  void StartHttp(Worker& worker, Socket socket, const net::ip::address& address);
  // A listed load balancer's connection: its PROXY v2 header first, then the client's address
  // takes the budgets and the connection goes on as any other.
  void ReadProxyHeader(Worker& worker, Socket socket);
  // Counts the client's connection against its prefixes and starts it, or closes it.
  void Admit(Worker& worker, Socket socket, const net::ip::address& client);
  bool FromBalancer(const net::ip::address& address) const;

  // --- workers and matcher (server.cc) ---------------------------------------------------------

  // Each worker checks its own sessions; the first one also runs the matching deadlines.
  void ScheduleTick(Worker& worker);

  // Hands the matcher's actions to their sessions, in order. Called with the lock held, so that
  // every session receives the actions of all matcher calls in the matcher's order. Returns
  // false when `self` is among those told to close.
  bool Apply(Actions actions, ConnId self);

  // --- signals, drain and stop (server_control.cc) ---------------------------------------------

  void AwaitSignal();

  // First worker. New upgrades are refused and /healthz answers 503 from here on; connections
  // that are not in a session are closed (a host registers again elsewhere, or here after the
  // restart); the sessions go on until they end or the drain period passes.
  void BeginDrain();

  // While draining: once no session is left, the server stops.
  void CheckDrained();

  void DoStop();

  // With the lock held.
  void MaybeFinishStop();

  void StopWorkers();

  // Declared first: destroyed last, after every object that refers to them.
  AsyncLog log_;
  std::vector<std::unique_ptr<Worker>> workers_;
  ServerOptions options_;
  // The TLS context new handshakes use; SIGHUP replaces it (a connection keeps the one it began
  // with: OpenSSL holds a reference per connection).
  mutable std::mutex tlsMutex_;
  std::shared_ptr<ssl::context> tls_;
  PrefixBudget prefixes_;
  std::optional<WebFiles> webFiles_;  // the viewer's page, when --web-dir gives it
  std::size_t memoryBudget_ = 0;
  std::atomic<std::size_t> queuedBytes_{0};  // bytes in the connections' queues, relay-wide
  std::mutex roomMutex_;
  std::vector<Waiter> roomWaiters_;  // senders held by the budget or an address share
  std::atomic<bool> roomWaiting_{false};
  std::size_t prefixBudget_ = 0;
  std::mutex prefixQueuesMutex_;
  std::unordered_map<std::string, std::weak_ptr<std::atomic<std::size_t>>> prefixQueues_;
  std::atomic<bool> draining_{false};
  std::optional<net::steady_timer> drainTimer_;
  std::optional<Acceptor> acceptor_;
  std::optional<net::signal_set> signals_;
  std::optional<net::steady_timer> grace_;
  std::uint16_t port_ = 0;
  std::size_t nextWorker_ = 0;  // round robin of accepted connections (first worker only)
  std::atomic<ConnId> lastId_{0};
  std::atomic<std::uint64_t> acceptedTotal_{0};
  std::atomic<std::uint64_t> acceptOverflow_{0};
  std::atomic<std::uint64_t> addressOverflow_{0};
  std::atomic<std::uint64_t> proxyRefused_{0};
  std::atomic<bool> stopping_{false};

  // The matching state, shared by all workers; not touched on the forwarding path.
  std::mutex mutex_;
  Matcher matcher_;
  std::unordered_map<ConnId, std::shared_ptr<Peer>> peers_;
  std::map<unsigned, std::uint64_t> httpResponses_;
  std::size_t openHttp_ = 0;
  // This node's viewers whose host is on another node: the link that stands for the host.
  std::unordered_map<ConnId, std::shared_ptr<RemotePeer>> remote_;

  // Every link of a session across nodes, by the other node and the viewer's connection there or
  // here (the session's name on both nodes). Its own lock: the data path takes it, not mutex_.
  std::mutex linksMutex_;
  std::unordered_map<std::string, std::shared_ptr<RemotePeer>> links_;
  std::unique_ptr<NodeLinks> nodeLinks_;
  std::unique_ptr<Fleet> fleet_;  // last: its threads call into everything above
};

}  // namespace ov::relay
