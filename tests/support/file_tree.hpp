// Lists what lies below a directory, so tests can show that nothing stray was left behind, and waits
// on what is written into one.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace diruri::test {

// Every entry below `root` as a path relative to it, sorted; directories end in "/".
std::vector<std::string> listTree(const std::string& root);

// Asks `done` until it holds or the deadline passes, asking again each time a file in `directory`
// is created or written (told by inotify, not found by polling at intervals). Returns the last answer.
bool waitForFiles(const std::string& directory, const std::function<bool()>& done,
                  std::chrono::steady_clock::time_point deadline);

}  // namespace diruri::test
