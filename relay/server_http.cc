// The plain HTTP answers of Server::Impl (an upgrade to /ws is not one of them): /healthz, /metrics,
// the web viewer's page and the update files, with the headers every answer carries.

#include "relay/server_impl.h"

#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>

#include "relay/metrics.h"
#include "relay/update_files.h"

namespace ov::relay {

void Server::Impl::CountHttp(unsigned status) {
  std::lock_guard lock(mutex_);
  ++httpResponses_[status];
}

HttpAnswer Server::Impl::Respond(const http::request<http::empty_body>& request) {
  HttpAnswer answer;
  bool cacheControl = true;  // the page's files bring their own
  const std::string_view target(request.target().data(), request.target().size());
  const unsigned version = request.version();
  auto plain = [&](http::status status, std::string body,
                   std::string_view type = "text/plain; charset=utf-8") {
    http::response<http::string_body> res{status, version};
    res.set(http::field::content_type, type);
    res.body() = std::move(body);
    return res;
  };

  if (request.method() != http::verb::get && request.method() != http::verb::head) {
    answer.text = plain(http::status::method_not_allowed, "method not allowed\n");
    answer.text.set(http::field::allow, "GET, HEAD");
  } else if (target == "/healthz") {
    if (draining_) {
      // A load balancer sends new clients elsewhere while the sessions here finish.
      answer.text = plain(http::status::service_unavailable, "draining\n");
    } else if (!fleet_) {
      answer.text = plain(http::status::ok, "ok\n");
    } else if (fleet_->Connected()) {
      answer.text = plain(http::status::ok, "ok\nnats connected, node " + fleet_->Node() + ", " +
                                                std::to_string(fleet_->Stats().nodes) +
                                                " nodes\n");
    } else {
      // A load balancer takes the node out while it cannot reach the fleet.
      answer.text = plain(http::status::service_unavailable,
                          "nats disconnected, node " + fleet_->Node() + "\n");
    }
  } else if (const auto page = webFiles_ ? webFiles_->Find(target) : std::nullopt) {
    const auto host = request.find(http::field::host);
    if (host == request.end() || !IsValidHost(host->value())) {
      answer.text = plain(http::status::bad_request, "bad Host\n");
    } else {
      answer.text = plain(http::status::ok, std::string(page->body), page->contentType);
      for (const WebHeader& header : page->headers) answer.text.set(header.name, header.value);
      answer.text.set("Content-Security-Policy", ContentSecurityPolicy(host->value()));
      cacheControl = false;
    }
  } else if (target == "/metrics") {
    answer.text = plain(http::status::ok, Metrics(), "text/plain; version=0.0.4; charset=utf-8");
  } else if (target == "/ws") {
    answer.text = plain(http::status::upgrade_required, "WebSocket upgrade required\n");
    answer.text.set(http::field::upgrade, "websocket");
  } else if (auto file = ResolveDownload(target); file && !options_.updateDir.empty()) {
    const std::filesystem::path path =
        std::filesystem::path(options_.updateDir) / file->relativePath;
    http::file_body::value_type body;
    error_code ec;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      body.open(path.c_str(), beast::file_mode::scan, ec);
    } else {
      ec = make_error_code(boost::system::errc::no_such_file_or_directory);
    }
    if (ec) {
      answer.text = plain(http::status::not_found, "not found\n");
    } else {
      answer.file.emplace(std::piecewise_construct, std::make_tuple(std::move(body)),
                          std::make_tuple(http::status::ok, version));
      answer.file->set(http::field::content_type, file->contentType);
    }
  } else {
    answer.text = plain(http::status::not_found, "not found\n");
  }

  auto finish = [&](auto& res) {
    res.set(http::field::server, kServerName);
    if (cacheControl) res.set(http::field::cache_control, "no-cache");
    res.set("X-Content-Type-Options", "nosniff");
    res.keep_alive(false);
    res.prepare_payload();
  };
  answer.headOnly = request.method() == http::verb::head;
  if (answer.file) {
    finish(*answer.file);
    CountHttp(200);
  } else {
    finish(answer.text);
    CountHttp(static_cast<unsigned>(answer.text.result_int()));
  }
  return answer;
}

std::string Server::Impl::Metrics() {
  MetricsSnapshot m;
  {
    std::lock_guard lock(mutex_);
    m.matcher = matcher_.Stats();
    m.openHttp = openHttp_;
    m.httpResponses = httpResponses_;
  }
  for (const auto& worker : workers_) {
    m.matcher.forwardedMessages += worker->forwardedMessages.load(std::memory_order_relaxed);
    m.matcher.forwardedBytes += worker->forwardedBytes.load(std::memory_order_relaxed);
  }
  m.accepted = acceptedTotal_.load();
  m.acceptOverflow = acceptOverflow_.load();
  m.addressOverflow = addressOverflow_.load();
  m.proxyRefused = proxyRefused_.load();
  m.queuedBytes = queuedBytes_.load();
  m.memoryBudget = memoryBudget_;
  m.trackedPrefixes = prefixes_.Tracked();
  m.draining = draining_;
  m.logEvents = log_.EventCounts();
  m.logDropped = log_.Dropped();
  if (fleet_) m.fleet = fleet_->Stats();
  return FormatMetrics(m);
}

}  // namespace ov::relay
