// An in-memory FileSystem for the fuzz targets and the file-system contract tests: fast, and nothing
// a fuzzed path names can reach the disk.
#pragma once

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/platform/file_system.hpp"

namespace diruri::test {

// Files and directories keyed by their absolute path, with "//", ".", ".." and a trailing "/"
// resolved as the kernel resolves them (there are no links here): every component on the way must
// be an existing directory. Parents must exist before a file is written, as on a real disk, so the
// callers' createDirectories steps are exercised too. Safe to use from several threads.
class MemoryFileSystem final : public FileSystem {
 public:
  // Relative paths are taken from `currentDirectory`, which need not exist yet.
  explicit MemoryFileSystem(std::string currentDirectory) : cwd_(std::move(currentDirectory)) {
    dirs_.insert("/");
  }

  void createDirectories(const std::string& path) override {
    std::lock_guard lock(mutex_);
    resolve("create directory", path, true);
  }
  void createNewDirectory(const std::string& path) override {
    std::lock_guard lock(mutex_);
    const std::string at = resolve("create directory", path, false);
    if (dirs_.count(at) || files_.count(at)) throw FileSystemError(EEXIST, "create directory", path);
    dirs_.insert(at);
  }
  bool fileExists(const std::string& path) override {
    std::lock_guard lock(mutex_);
    try {
      const std::string at = resolve("test", path, false);
      return dirs_.count(at) || files_.count(at);
    } catch (const FileSystemError& e) {
      // As stat: a missing component, or a file where a directory should be, is a plain no.
      if (e.code().value() == ENOENT || e.code().value() == ENOTDIR) return false;
      throw;
    }
  }
  std::string readFile(const std::string& path) override {
    std::lock_guard lock(mutex_);
    const std::string at = resolve("read", path, false);
    if (dirs_.count(at)) throw FileSystemError(EISDIR, "read", path);
    const auto it = files_.find(at);
    if (it == files_.end()) throw FileSystemError(ENOENT, "read", path);
    return it->second;
  }
  void writeFileAtomically(const std::string& path, std::string_view bytes) override {
    std::lock_guard lock(mutex_);
    const std::string at = resolve("write", path, false);
    if (dirs_.count(at) || path.back() == '/') throw FileSystemError(EISDIR, "write", path);
    files_[at] = std::string(bytes);
    written_.insert(path);
  }
  void appendToFile(const std::string& path, std::string_view bytes) override {
    std::lock_guard lock(mutex_);
    const std::string at = resolve("append", path, false);
    if (dirs_.count(at) || path.back() == '/') throw FileSystemError(EISDIR, "append", path);
    const auto it = files_.find(at);
    if (it == files_.end()) throw FileSystemError(ENOENT, "append", path);
    it->second.append(bytes);
    written_.insert(path);
  }
  std::string currentDirectory() override { return cwd_; }

  std::vector<Entry> listDirectory(const std::string& path) override {
    std::lock_guard lock(mutex_);
    const std::string at = resolve("list", path, false);
    if (files_.count(at)) throw FileSystemError(ENOTDIR, "list", path);
    if (!dirs_.count(at)) throw FileSystemError(ENOENT, "list", path);
    std::vector<Entry> entries;
    for (const auto& [child, isDirectory] : children(at)) entries.push_back({child, isDirectory});
    return entries;
  }
  void moveNoReplace(const std::string& from, const std::string& to) override {
    std::lock_guard lock(mutex_);
    const std::string source = existing("move", from);
    const std::string target = resolve("move", to, false);
    if (files_.count(target) || dirs_.count(target)) throw FileSystemError(EEXIST, "move", to);
    if (target.compare(0, source.size() + 1, source + "/") == 0) throw FileSystemError(EINVAL, "move", to);
    relabel(source, target);
  }
  void exchange(const std::string& first, const std::string& second) override {
    std::lock_guard lock(mutex_);
    const std::string a = existing("exchange", first);
    const std::string b = existing("exchange", second);
    if (a == b) return;
    const std::string aside = "\x01aside";  // no real path starts so
    relabel(a, aside);
    relabel(b, a);
    relabel(aside, b);
  }
  void removeTree(const std::string& path) override {
    std::lock_guard lock(mutex_);
    std::string at;
    try {
      at = resolve("remove", path, false);
    } catch (const FileSystemError& e) {
      if (e.code().value() == ENOENT) return;
      throw;
    }
    if (at == "/") throw FileSystemError(EBUSY, "remove", path);
    files_.erase(at);
    dirs_.erase(at);
    std::erase_if(files_, [&](const auto& f) { return f.first.compare(0, at.size() + 1, at + "/") == 0; });
    std::erase_if(dirs_, [&](const std::string& d) { return d.compare(0, at.size() + 1, at + "/") == 0; });
  }

  // The files by resolved path. Not to be read while another thread writes.
  const std::map<std::string, std::string>& files() const { return files_; }
  // Every path a file was written or appended to, spelled as the caller spelled it.
  const std::set<std::string>& writtenPaths() const { return written_; }

  // Every entry below the directory `root` (a resolved path), relative to it and sorted;
  // directories end in "/".
  std::vector<std::string> listTree(const std::string& root) const {
    std::lock_guard lock(mutex_);
    const std::string prefix = root == "/" ? root : root + "/";
    std::vector<std::string> entries;
    for (const std::string& d : dirs_) {
      if (d.size() > prefix.size() && d.compare(0, prefix.size(), prefix) == 0)
        entries.push_back(d.substr(prefix.size()) + "/");
    }
    for (const auto& [f, content] : files_) {
      if (f.compare(0, prefix.size(), prefix) == 0) entries.push_back(f.substr(prefix.size()));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  }

 private:
  // The entries directly below the directory `at`, by name, with whether each is a directory.
  std::map<std::string, bool> children(const std::string& at) const {
    const std::string prefix = at == "/" ? at : at + "/";
    std::map<std::string, bool> out;
    const auto take = [&](const std::string& path, bool isDirectory) {
      if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return;
      if (path.find('/', prefix.size()) == std::string::npos) out[path.substr(prefix.size())] = isDirectory;
    };
    for (const std::string& d : dirs_) take(d, true);
    for (const auto& [f, content] : files_) take(f, false);
    return out;
  }
  // The resolved path of an entry that must exist.
  std::string existing(const char* operation, const std::string& path) {
    const std::string at = resolve(operation, path, false);
    if (!files_.count(at) && !dirs_.count(at)) throw FileSystemError(ENOENT, operation, path);
    return at;
  }
  // Moves the entry at `from`, with everything below it, to `to`.
  void relabel(const std::string& from, const std::string& to) {
    const auto moved = [&](const std::string& p) { return to + p.substr(from.size()); };
    std::map<std::string, std::string> files;
    for (auto& [f, content] : files_) {
      if (f == from || f.compare(0, from.size() + 1, from + "/") == 0) {
        files[moved(f)] = std::move(content);
      } else {
        files[f] = std::move(content);
      }
    }
    files_ = std::move(files);
    std::set<std::string> dirs;
    for (const std::string& d : dirs_) {
      dirs.insert(d == from || d.compare(0, from.size() + 1, from + "/") == 0 ? moved(d) : d);
    }
    dirs_ = std::move(dirs);
  }

  // The resolved absolute path. Each component before the last must be a directory: ENOTDIR when
  // it is a file, ENOENT when it is missing, unless `create` makes it; `create` makes the last one
  // a directory too. A path ending in "/" names a directory: ENOTDIR when a file is there.
  std::string resolve(const char* operation, const std::string& path, bool create) {
    // The C calls would stop at an embedded NUL and act on another path; the real one refuses it.
    if (path.empty()) throw FileSystemError(ENOENT, operation, path);
    if (path.find('\0') != std::string::npos) throw FileSystemError(EINVAL, operation, path);
    std::vector<std::string> parts;
    const std::string full = path[0] == '/' ? path : cwd_ + "/" + path;
    for (size_t start = 0; start <= full.size();) {
      size_t slash = full.find('/', start);
      if (slash == std::string::npos) slash = full.size();
      if (slash > start) parts.push_back(full.substr(start, slash - start));
      start = slash + 1;
    }
    std::string at;  // "" is the root
    for (size_t i = 0; i < parts.size(); ++i) {
      if (parts[i] == ".") continue;
      if (parts[i] == "..") {
        if (!at.empty()) at.erase(at.rfind('/'));
        continue;
      }
      const std::string next = at + "/" + parts[i];
      if (i + 1 == parts.size() && !create) {
        at = next;
        break;
      }
      if (files_.count(next)) throw FileSystemError(ENOTDIR, operation, next);
      if (!dirs_.count(next)) {
        if (!create) throw FileSystemError(ENOENT, operation, path);
        dirs_.insert(next);
      }
      at = next;
    }
    if (at.empty()) at = "/";
    if (path.back() == '/' && files_.count(at)) throw FileSystemError(ENOTDIR, operation, path);
    return at;
  }

  mutable std::mutex mutex_;
  const std::string cwd_;
  std::set<std::string> dirs_;
  std::map<std::string, std::string> files_;
  std::set<std::string> written_;
};

}  // namespace diruri::test
