// Path rules of the update service: which request targets name which file of the update folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ov::relay {

// The fixed file name of a release executable.
inline constexpr std::string_view kReleaseFileName = "Orvantis.exe";

struct DownloadFile {
  std::string relativePath;  // inside the update folder, '/'-separated, never ".." or absolute
  std::string contentType;
};

// Maps a request target to a file of the update folder. Only two forms exist:
//   /download/update.json            optionally followed by ?check=<1-20 digits>
//   /download/releases/<X.Y.Z>/Orvantis.exe   (a valid version text, no query)
// Anything else (other paths, percent escapes, dot segments, extra slashes or query members)
// yields nothing, which the server answers with 404.
std::optional<DownloadFile> ResolveDownload(std::string_view target);

}  // namespace ov::relay
