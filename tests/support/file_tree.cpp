// Directory listing for tests.
#include "tests/support/file_tree.hpp"

#include <algorithm>
#include <filesystem>

namespace diruri::test {

std::vector<std::string> listTree(const std::string& root) {
  namespace fs = std::filesystem;
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string relative = entry.path().lexically_relative(root).string();
    if (entry.is_directory() && !entry.is_symlink()) relative += "/";
    entries.push_back(std::move(relative));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

}  // namespace diruri::test
