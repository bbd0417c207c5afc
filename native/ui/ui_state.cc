#include "ui/ui_state.h"

#include "crypto/primitives.h"

namespace ov {

std::string ShownPassword(const std::string& password, bool revealed) {
  if (!revealed) return kMaskedPassword;
  if (!IsValidSessionPassword(password)) return {};
  return FormatSessionPassword(password);
}

}  // namespace ov
