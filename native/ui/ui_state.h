// The window's own state that the painter reads and the commands change: which page shows, the
// DPI scale, what the pointer is over, the copy buttons' feedback and whether the session password
// is revealed. It belongs to the window, not to a session: a session reset leaves it alone, except
// where the controller asks for the first page (a new registration).
#pragma once

#include <cstdint>
#include <string>

namespace ov {

struct UiState {
  int page = 0;                         // sidebar page, 0 to 3
  double scale = 1.0;                   // device pixels per DIP
  int hoveredCommand = 0;               // command identifier under the pointer; 0 = none
  int copiedCommand = 0;                // the copy button showing its feedback; 0 = none
  std::uint64_t copyFeedbackUntil = 0;  // tick until which it shows; 0 = none
  bool passwordRevealed = false;

  // Back to the first page with the password masked.
  void ShowFirstPage() noexcept {
    page = 0;
    passwordRevealed = false;
  }
};

// The mask drawn in place of a hidden session password (UTF-8).
inline constexpr char kMaskedPassword[] = "\u2022\u2022\u2022\u2022-\u2022\u2022\u2022\u2022";

// The session password as the host's page shows it: the mask unless revealed, whatever the
// password (also none); revealed, grouped as XXXX-XXXX, or empty when there is no valid password.
// A revealed result is a copy of the secret: the caller wipes it.
std::string ShownPassword(const std::string& password, bool revealed);

}  // namespace ov
