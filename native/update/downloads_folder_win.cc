#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "update/downloads_folder.h"

namespace ov {

std::optional<std::filesystem::path> DownloadsFolder() {
  PWSTR path = nullptr;
  const HRESULT hr = SHGetKnownFolderPath(FOLDERID_Downloads, KF_FLAG_DEFAULT, nullptr, &path);
  std::optional<std::filesystem::path> folder;
  if (SUCCEEDED(hr) && path != nullptr && path[0] != L'\0') folder = std::filesystem::path(path);
  CoTaskMemFree(path);  // also on failure, as the function asks
  return folder;
}

}  // namespace ov
