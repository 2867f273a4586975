// Directory listing and waiting on a directory for tests.
#include "tests/support/file_tree.hpp"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

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

bool waitForFiles(const std::string& directory, const std::function<bool()>& done,
                  std::chrono::steady_clock::time_point deadline) {
  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watch < 0) return done();
  // Watching first and asking after, so that no change falls between the two.
  ::inotify_add_watch(watch, directory.c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_TO | IN_CLOSE_WRITE);
  bool held = done();
  while (!held) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{watch, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) > 0) {
      alignas(inotify_event) char events[4096];
      while (::read(watch, events, sizeof events) > 0) {
      }
    }
    held = done();
  }
  ::close(watch);
  return held;
}

}  // namespace diruri::test
