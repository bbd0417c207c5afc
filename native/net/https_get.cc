#include "net/https_get.h"

namespace ov {

bool IsValidUpdatePath(std::string_view path) noexcept {
  if (path.size() <= 9 || !path.starts_with("/download/")) return false;
  return path.find_first_of("\r\n#\\") == std::string_view::npos;
}

}  // namespace ov
