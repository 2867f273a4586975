// Small path checks shared by the components that build paths from caller-supplied names.
#pragma once

#include <string_view>

namespace diruri {

// True for a single plain file name: not empty, not "." or "..", no "/" and no NUL. Names that fail
// this would let a caller's identifier lead a path out of the directory it is meant for.
inline bool isPlainPathComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

}  // namespace diruri
