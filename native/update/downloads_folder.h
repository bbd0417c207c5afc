// The user's Downloads folder, where a verified update is saved.
#pragma once

#include <filesystem>
#include <optional>

namespace ov {

// Windows: the Downloads known folder. POSIX: $XDG_DOWNLOAD_DIR, else $HOME/Downloads. Nothing
// when it cannot be found or is not an existing folder.
std::optional<std::filesystem::path> DownloadsFolder();

}  // namespace ov
