// Path text: joining, making absolute, taking apart.
#include "core/platform/path.hpp"

namespace diruri {

std::string joinPath(const std::string& directory, const std::string& name) {
  if (name.empty()) return directory;
  if (directory.empty()) return name;
  if (directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

std::string absoluteDirectoryPath(const std::string& path, const std::string& currentDirectory) {
  std::string absolute = path.starts_with('/') ? path : joinPath(currentDirectory, path);
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

std::string parentDirectory(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace diruri
