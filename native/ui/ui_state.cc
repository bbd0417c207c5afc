#include "ui/ui_state.h"

#include "crypto/primitives.h"

namespace ov {

std::string ShownPassword(const std::string& password, bool revealed) {
  if (!IsValidSessionPassword(password)) return {};
  if (!revealed) return kMaskedPassword;
  return FormatSessionPassword(password);
}

}  // namespace ov
