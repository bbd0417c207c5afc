// kestrova-relay's command line.
#pragma once

#include <optional>

#include "relay/server.h"

namespace ov::relay {

// Fills `options` from the command line. Returns an exit code when the program should stop at
// once (after --help, which prints to stdout, or a usage error, printed to stderr); nothing when
// the server should start. Consistency checks that need the file system (TLS files, the update
// folder) are left to the server.
std::optional<int> ParseCommandLine(int argc, const char* const* argv, ServerOptions& options);

}  // namespace ov::relay
