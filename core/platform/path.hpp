// Path text: joining, making absolute, taking apart, and checking names that callers supply.
#pragma once

#include <string>
#include <string_view>

namespace diruri {

// True for a single plain file name: not empty, not "." or "..", no "/" and no NUL. Names that fail
// this would let a caller's identifier lead a path out of the directory it is meant for.
inline bool isPlainPathComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// Joins a directory path and a name with exactly one "/".
std::string joinPath(const std::string& directory, const std::string& name);

// "/a/b" for "/a/b/", made absolute against currentDirectory when relative; "." and ".." stay.
std::string absoluteDirectoryPath(const std::string& path, const std::string& currentDirectory);

// The directory part: "/a" for "/a/b", "/" for "/b", "." for "b".
std::string parentDirectory(const std::string& path);

// The last component: "b" for "/a/b" and for "b".
std::string baseName(const std::string& path);

}  // namespace diruri
