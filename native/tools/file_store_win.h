// The Windows file store with the volume's named-stream flag optionally left unasked, so that
// tests can reach the second guard against a file system without streams: the check that the
// created zone stream really belongs to the file (Wine creates a separate file instead), and its
// removal. The program uses CreateSystemFileStore, which asks the volume first.
#pragma once

#include <memory>

#include "tools/file_store.h"

namespace ov {

std::unique_ptr<FileStore> CreateWinFileStore(bool askVolumeForStreams);

}  // namespace ov
