#include "relay/update_files.h"

#include <cstdint>

#include "relay/matcher.h"

namespace ov::relay {

std::optional<DownloadFile> ResolveDownload(std::string_view target) {
  constexpr std::string_view kManifest = "/download/update.json";
  constexpr std::string_view kCheck = "?check=";
  constexpr std::string_view kReleases = "/download/releases/";

  if (target.starts_with(kManifest)) {
    std::string_view rest = target.substr(kManifest.size());
    if (!rest.empty()) {
      if (!rest.starts_with(kCheck)) return std::nullopt;
      rest.remove_prefix(kCheck.size());
      if (rest.empty() || rest.size() > 20) return std::nullopt;
      for (char ch : rest) {
        if (ch < '0' || ch > '9') return std::nullopt;
      }
    }
    return DownloadFile{"update.json", "application/json"};
  }

  if (target.starts_with(kReleases)) {
    std::string_view rest = target.substr(kReleases.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view version = rest.substr(0, slash);
    std::uint32_t parts[3];
    // A valid version text holds only digits and two dots, so it can never climb out of the
    // releases folder.
    if (!ParseVersion(version, parts)) return std::nullopt;
    if (rest.substr(slash + 1) != kReleaseFileName) return std::nullopt;
    return DownloadFile{"releases/" + std::string(version) + "/" + std::string(kReleaseFileName),
                        "application/vnd.microsoft.portable-executable"};
  }
  return std::nullopt;
}

}  // namespace ov::relay
