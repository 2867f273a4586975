// The real file system as the server builds it, guarding the workspace's .zeruva tree.
#pragma once

#include "core/platform/posix_file_system.hpp"
#include "core/store/workspace_layout.hpp"

namespace diruri::test {

inline FileSystem& realFileSystem() {
  static PosixFileSystem fileSystem(layout::kRootFolder);
  return fileSystem;
}

}  // namespace diruri::test
