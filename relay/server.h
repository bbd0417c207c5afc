// kestrova-relay's network shell: one listening port serving the WebSocket relay at /ws, the update
// files under /download/, /healthz and /metrics, over TLS or (loopback only) in the clear.
// Network work runs on `threads` worker threads, one io_context each (the first is the thread that
// calls Run); accepted connections are spread over them in turn. The matching rules live in
// Matcher, behind one lock; a paired session forwards without it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "relay/server_options.h"

namespace ov::relay {

class Server {
 public:
  // Validates, loads the TLS files, binds and listens. Throws on any failure.
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // The bound port (useful with port 0).
  std::uint16_t Port() const;
  bool Secure() const;
  // Serves until Stop; returns once every connection has been closed (or after a short grace
  // period that bounds the closing handshakes).
  void Run();
  // Safe from any thread, also before Run: stops accepting and closes every connection with
  // "going away".
  void Stop();
  // Safe from any thread: takes no new WebSocket sessions (/healthz answers 503), closes the
  // connections that are not in a session, and stops once the sessions have ended or the drain
  // period has passed.
  void Drain();
  // Safe from any thread: reads the TLS certificate and key again for new handshakes. On failure
  // the pair in use stays and the error is returned (empty on success).
  std::string ReloadTls();

  class Impl;  // internal; public only so the session classes can name it

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace ov::relay
