// kestrova-relay: entry point.
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "relay/options.h"
#include "relay/server.h"

int main(int argc, char** argv) {
  ov::relay::ServerOptions options;
  if (const auto exitCode = ov::relay::ParseCommandLine(argc, argv, options)) return *exitCode;
  options.handleSignals = true;
  try {
    ov::relay::Server server(options);
    server.Run();
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "kestrova-relay: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrova-relay: %s\n", e.what());
    return 1;
  }
  return 0;
}
