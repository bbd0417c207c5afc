// The updater's download is saved through the file store's safe write path, exactly as a file
// received in a session is: the name checks, never replacing, a temporary beside the
// destination, the digest, the Internet-zone mark with the service's origin, the move.
#pragma once

#include <string>

#include "tools/file_store.h"
#include "update/download_sink.h"

namespace ov {

class FileDownloadSink final : public DownloadSink {
 public:
  // `store` must outlive the sink; `originUrl` is what the saved file is marked as coming from.
  FileDownloadSink(FileStore& store, std::string originUrl)
      : store_(store), originUrl_(std::move(originUrl)) {}

  std::filesystem::path Save(std::span<const std::uint8_t> bytes,
                             const std::filesystem::path& folder, const std::string& fileName,
                             std::string_view sha256Hex) override;

 private:
  FileStore& store_;
  const std::string originUrl_;
};

}  // namespace ov
