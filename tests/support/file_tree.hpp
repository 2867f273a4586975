// Lists what lies below a directory, so tests can show that nothing stray was left behind.
#pragma once

#include <string>
#include <vector>

namespace diruri::test {

// Every entry below `root` as a path relative to it, sorted; directories end in "/".
std::vector<std::string> listTree(const std::string& root);

}  // namespace diruri::test
