// An in-memory FileSystem for the fuzz targets: fast, and nothing a fuzzed path names can reach the disk.
#pragma once

#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "core/platform/file_system.hpp"

namespace diruri::fuzz {

// Files and directories keyed by their exact path text. Parents must exist before a file is
// written, as on a real disk, so the callers' createDirectories steps are exercised too.
class MemoryFileSystem final : public FileSystem {
 public:
  explicit MemoryFileSystem(std::string currentDirectory) : cwd_(std::move(currentDirectory)) {
    dirs_.insert("/");
  }

  void createDirectories(const std::string& path) override {
    check("create directory", path);
    std::lock_guard lock(mutex_);
    for (size_t pos = 1; pos != std::string::npos;) {
      pos = path.find('/', pos + 1);
      const std::string prefix = path.substr(0, pos);
      if (prefix.back() == '/') continue;
      if (files_.count(prefix)) throw FileSystemError(ENOTDIR, "create directory", prefix);
      dirs_.insert(prefix);
    }
  }
  bool fileExists(const std::string& path) override {
    check("test", path);
    std::lock_guard lock(mutex_);
    return files_.count(path) || dirs_.count(path);
  }
  std::string readFile(const std::string& path) override {
    check("read", path);
    std::lock_guard lock(mutex_);
    const auto it = files_.find(path);
    if (it == files_.end()) throw FileSystemError(dirs_.count(path) ? EISDIR : ENOENT, "read", path);
    return it->second;
  }
  void writeFileAtomically(const std::string& path, std::string_view bytes) override {
    check("write", path);
    std::lock_guard lock(mutex_);
    requireParent("write", path);
    if (dirs_.count(path)) throw FileSystemError(EISDIR, "write", path);
    files_[path] = std::string(bytes);
  }
  void appendToFile(const std::string& path, std::string_view bytes) override {
    check("append", path);
    std::lock_guard lock(mutex_);
    const auto it = files_.find(path);
    if (it == files_.end()) throw FileSystemError(ENOENT, "append", path);
    it->second.append(bytes);
  }
  std::string currentDirectory() override { return cwd_; }

  const std::map<std::string, std::string>& files() const { return files_; }

 private:
  static void check(const char* operation, const std::string& path) {
    if (path.empty()) throw FileSystemError(ENOENT, operation, path);
    if (path.find('\0') != std::string::npos) throw FileSystemError(EINVAL, operation, path);
  }
  void requireParent(const char* operation, const std::string& path) const {
    const size_t slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? cwd_ : slash == 0 ? "/" : path.substr(0, slash);
    if (!dirs_.count(parent)) throw FileSystemError(ENOENT, operation, path);
  }

  std::mutex mutex_;
  std::string cwd_;
  std::set<std::string> dirs_;
  std::map<std::string, std::string> files_;
};

}  // namespace diruri::fuzz
