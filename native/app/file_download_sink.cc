#include "app/file_download_sink.h"

#include <stdexcept>

#include "tools/file_transfer.h"

namespace ov {

std::filesystem::path FileDownloadSink::Save(std::span<const std::uint8_t> bytes,
                                             const std::filesystem::path& folder,
                                             const std::string& fileName,
                                             std::string_view sha256Hex) {
  // The updater names the file with ASCII only (Kestrova-<version>-<8 hex>.exe); anything else
  // is no name of its making.
  for (const char c : fileName) {
    if (static_cast<unsigned char>(c) >= 0x80) throw std::runtime_error("Invalid file name");
  }
  const std::u16string name(fileName.begin(), fileName.end());
  const std::u16string saved =
      SaveVerifiedFile(store_, folder.u16string(), name, bytes, sha256Hex, originUrl_);
  return std::filesystem::path(saved);
}

}  // namespace ov
