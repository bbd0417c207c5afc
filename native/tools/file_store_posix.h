// The POSIX file store with a chosen name for the origin attribute, so that tests can reach the
// refusal of a file system without that attribute namespace. The program uses
// CreateSystemFileStore, which records "user.xdg.origin.url".
#pragma once

#include <memory>
#include <string>

#include "tools/file_store.h"

namespace ov {

inline constexpr char kOriginAttribute[] = "user.xdg.origin.url";

std::unique_ptr<FileStore> CreatePosixFileStore(std::string originAttribute);

}  // namespace ov
