#include <cstdlib>
#include <system_error>

#include "update/downloads_folder.h"

namespace ov {

std::optional<std::filesystem::path> DownloadsFolder() {
  std::filesystem::path folder;
  if (const char* xdg = std::getenv("XDG_DOWNLOAD_DIR"); xdg != nullptr && xdg[0] == '/') {
    folder = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    folder = std::filesystem::path(home) / "Downloads";
  } else {
    return std::nullopt;
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) return std::nullopt;
  return folder;
}

}  // namespace ov
