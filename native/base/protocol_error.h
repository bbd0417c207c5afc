// The one error type for a received message that breaks a rule. Its text is a short fixed reason
// word ("text limit", "frame acknowledgement"); it is internal, logged and tested, never shown:
// every protocol error ends the session with the same status line.
#pragma once

#include <stdexcept>

namespace ov {

class ProtocolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws ProtocolError(reason).
[[noreturn]] inline void Fail(const char* reason) { throw ProtocolError(reason); }

}  // namespace ov
