// The life cycle of Server::Impl: signals (SIGHUP reloads the TLS pair, SIGTERM drains, SIGINT
// stops), the drain, and the stop with its grace period for closing handshakes.

#include "relay/server_impl.h"

#include <chrono>
#include <csignal>
#include <exception>
#include <mutex>
#include <string>

#include "relay/tls_context.h"

namespace ov::relay {

namespace {
constexpr auto kStopGrace = std::chrono::milliseconds(1500);
}  // namespace

std::string Server::Impl::ReloadTls() {
  if (options_.tlsCert.empty()) return "no TLS to reload";
  try {
    auto fresh = MakeTlsContext(options_.tlsCert, options_.tlsKey);
    std::lock_guard lock(tlsMutex_);
    tls_ = std::move(fresh);
  } catch (const std::exception& e) {
    const std::string why = e.what();
    Notice("event=tls-reload-failed error=\"" + why + "\" (the certificate in use stays)");
    return why.empty() ? "failed" : why;
  }
  Notice("event=tls-reloaded cert=" + options_.tlsCert);
  return {};
}

void Server::Impl::Drain() {
  net::post(workers_[0]->ioc, [this] { BeginDrain(); });
}

void Server::Impl::Stop() {
  net::post(workers_[0]->ioc, [this] { DoStop(); });
}

void Server::Impl::AwaitSignal() {
  signals_->async_wait([this](const error_code& ec, int signal) {
    if (ec) return;
    if (signal == SIGHUP) {
      ReloadTls();
    } else if (signal == SIGTERM) {
      Notice("event=shutdown signal=SIGTERM (draining)");
      BeginDrain();
    } else {
      Notice("event=shutdown signal=SIGINT");
      DoStop();
    }
    if (!stopping_) AwaitSignal();
  });
}

void Server::Impl::BeginDrain() {
  if (stopping_ || draining_.exchange(true)) return;
  {
    std::lock_guard lock(mutex_);
    Notice("event=draining sessions=" + std::to_string(matcher_.Stats().liveSessions) +
           " connections=" + std::to_string(peers_.size()) +
           " period=" + std::to_string(options_.drain / 1000) + "s");
    for (auto& [id, peer] : peers_) {
      if (!matcher_.PartnerOf(id)) {
        Post(*peer, [peer = peer] { peer->CloseAfterDrain(ws::close_code::kGoingAway); });
      }
    }
  }
  drainTimer_.emplace(workers_[0]->ioc, std::chrono::milliseconds(options_.drain));
  drainTimer_->async_wait([this](const error_code& ec) {
    if (ec) return;
    Notice("event=drain-over");
    DoStop();
  });
  CheckDrained();
}

void Server::Impl::CheckDrained() {
  if (!draining_ || stopping_) return;
  bool done = false;
  {
    std::lock_guard lock(mutex_);
    done = matcher_.Stats().liveSessions == 0;
  }
  if (done) {
    Notice("event=drained");
    DoStop();
  }
}

void Server::Impl::DoStop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    Notice("event=stopping connections=" + std::to_string(peers_.size()));
    for (auto& [id, peer] : peers_) {
      Post(*peer, [peer = peer] { peer->CloseAfterDrain(ws::close_code::kGoingAway); });
    }
  }
  error_code ignored;
  acceptor_->close(ignored);
  if (signals_) signals_->cancel(ignored);
  if (drainTimer_) drainTimer_->cancel();
  // Closing handshakes and unfinished HTTP exchanges get a short grace period.
  grace_.emplace(workers_[0]->ioc, kStopGrace);
  grace_->async_wait([this](const error_code& ec) {
    if (!ec) StopWorkers();
  });
  std::lock_guard lock(mutex_);
  MaybeFinishStop();
}

void Server::Impl::MaybeFinishStop() {
  if (stopping_ && peers_.empty() && openHttp_ == 0) StopWorkers();
}

void Server::Impl::StopWorkers() {
  for (auto& worker : workers_) worker->ioc.stop();
}

}  // namespace ov::relay
