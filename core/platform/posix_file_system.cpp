// The POSIX file system: the only place the store's files are opened, written, synced and renamed.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "core/platform/posix_file_system.hpp"

#include "core/platform/path.hpp"

namespace diruri {

namespace {

[[noreturn]] void fail(int err, const char* operation, const std::string& path) {
  throw FileSystemError(err, operation, path);
}

// The C calls would silently stop at an embedded NUL and act on another path.
void requireUsablePath(const char* operation, const std::string& path) {
  if (path.empty()) fail(ENOENT, operation, path);
  if (path.find('\0') != std::string::npos) fail(EINVAL, operation, path);
}

int openRetrying(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Closes once: on Linux the descriptor is gone even when close reports EINTR, so it is not retried.
int closeOnce(int fd) { return ::close(fd) == 0 || errno == EINTR ? 0 : errno; }

// Writes every byte, continuing after short writes and EINTR. Returns 0 or the errno; `written`
// says how far it got either way.
int writeAll(int fd, std::string_view bytes, size_t& written) {
  written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // no progress and no error: give up rather than spin
    written += static_cast<size_t>(n);
  }
  return 0;
}

// The guarded tree starts at a path component named `tree`. A symbolic link planted at or below it
// (the tree itself, a sessions folder, a session) would carry writes out of the workspace, so every
// existing component from there on, up to `end`, must be a real directory or file. Components
// above the tree belong to the caller and may be links. An lstat walk leaves a window between the
// check and the write; it stops a planted link, not a process racing the server.
void refuseLinksInTree(const char* operation, const std::string& path, size_t end, std::string_view tree) {
  bool inTree = false;
  size_t start = 0;
  while (start < end) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos || slash > end) slash = end;
    if (!inTree) inTree = !tree.empty() && path.compare(start, slash - start, tree) == 0;
    if (inTree) {
      const std::string prefix = path.substr(0, slash);
      struct stat st {};
      if (::lstat(prefix.c_str(), &st) != 0) return;  // nothing further exists to follow
      if (S_ISLNK(st.st_mode)) fail(ELOOP, operation, prefix);
    }
    start = slash + 1;
  }
}

// Start of the first component named `tree`, or npos.
size_t treeStart(const std::string& path, std::string_view tree) {
  if (tree.empty()) return std::string::npos;
  for (size_t start = 0; start < path.size();) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (path.compare(start, slash - start, tree) == 0) return start;
    start = slash + 1;
  }
  return std::string::npos;
}

// Where the directory part of the path ends (0 when it has none).
size_t directoryEnd(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? 0 : slash;
}

int openat2Retrying(int base, const char* path, int flags) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags);
  how.resolve = RESOLVE_NO_SYMLINKS;
  int fd;
  do {
    fd = static_cast<int>(::syscall(SYS_openat2, base, path, &how, sizeof how));
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens a file inside the tree with no link followed anywhere from the tree's top down. The kernel
// refuses links while resolving (ELOOP), so there is no window between a check and the open, and
// when the whole path is free of links (the usual case) it costs no more than a plain open: appends
// run once per input event. Only when a link is met is the path split, since links above the tree
// are the caller's to choose. Kernels without openat2 get the component check instead.
int openInTreeNoLinks(const char* operation, const std::string& path, int flags, std::string_view treeName) {
  const size_t tree = treeStart(path, treeName);
  if (tree != std::string::npos) {
    int fd = openat2Retrying(AT_FDCWD, path.c_str(), flags);
    if (fd >= 0 || (errno != ELOOP && errno != ENOSYS)) return fd;
    if (errno == ELOOP) {
      const int base = openRetrying(tree == 0   ? "."
                                    : tree == 1 ? "/"
                                                : path.substr(0, tree - 1),
                                    O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (base < 0) return -1;
      fd = openat2Retrying(base, path.c_str() + tree, flags);
      const int err = errno;
      ::close(base);
      errno = err;
      return fd;
    }
  }
  refuseLinksInTree(operation, path, directoryEnd(path), treeName);
  return openRetrying(path, flags);
}

// Unique within the process by the counter and across processes by the pid; the clock keeps a
// name left behind by a crashed process with a recycled pid from colliding every time.
std::string temporaryName(const std::string& path) {
  static std::atomic<uint64_t> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return parentDirectory(path) + "/." + baseName(path) + ".tmp-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1)) + "-" + std::to_string(now);
}

// Makes the rename itself durable, so that a crash right after a stop cannot bring back the
// file's old content or none. Best effort: the new content is in place and visible whatever
// this returns, and some file systems cannot sync a directory at all.
void syncDirectoryOf(const std::string& path) {
  const int fd = openRetrying(parentDirectory(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  closeOnce(fd);
}

// A line torn by a failed write would be glued to the next append and lose that one too, so
// the written part is cut off again (best effort: if that fails too, the tear stays). With
// O_APPEND the offset after the write is the end of what this call wrote.
void cutOff(int fd, size_t written) {
  const off_t end = ::lseek(fd, 0, SEEK_CUR);
  if (end < static_cast<off_t>(written)) return;
  while (::ftruncate(fd, end - static_cast<off_t>(written)) != 0 && errno == EINTR) {
  }
}
int renameat2Retrying(const std::string& from, const std::string& to, unsigned flags) {
  int r;
  do {
    r = static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags));
  } while (r < 0 && errno == EINTR);
  return r;
}

// Removes what lies below the open directory `fd`, then closes it; links are removed, not followed.
int removeBelow(int fd) {
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int err = errno;
    ::close(fd);
    return err;
  }
  int err = 0;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (::unlinkat(::dirfd(dir), name.c_str(), 0) == 0) continue;
    if (errno != EISDIR && errno != EPERM) {
      err = err ? err : errno;
      continue;
    }
    const int child = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int childErr = child < 0 ? errno : removeBelow(child);
    if (childErr != 0 || ::unlinkat(::dirfd(dir), name.c_str(), AT_REMOVEDIR) != 0)
      err = err ? err : (childErr ? childErr : errno);
  }
  ::closedir(dir);
  return err;
}

}  // namespace

PosixFileSystem::PosixFileSystem(std::string guardedFolder) : guardedFolder_(std::move(guardedFolder)) {}

void PosixFileSystem::createDirectories(const std::string& path) {
  requireUsablePath("create directory", path);
  refuseLinksInTree("create directory", path, path.size(), guardedFolder_);
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    const std::string prefix = path.substr(0, pos);
    if (prefix.empty() || prefix.back() == '/') continue;  // "//" inside the path
    if (::mkdir(prefix.c_str(), 0777) == 0) continue;
    const int err = errno;
    struct stat st {};
    // EEXIST covers files and dangling links too; only a directory (or a link to one) will do.
    if (err == EEXIST && ::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    fail(err == EEXIST ? ENOTDIR : err, "create directory", prefix);
  }
}

void PosixFileSystem::createNewDirectory(const std::string& path) {
  requireUsablePath("create directory", path);
  refuseLinksInTree("create directory", path, directoryEnd(path), guardedFolder_);
  if (::mkdir(path.c_str(), 0777) != 0) fail(errno, "create directory", path);
}

bool PosixFileSystem::fileExists(const std::string& path) {
  requireUsablePath("test", path);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  fail(errno, "test", path);
}

std::string PosixFileSystem::readFile(const std::string& path) {
  std::string content;
  readFileInPieces(path, 1 << 16, [&content](std::string_view piece) { content.append(piece); });
  return content;
}

void PosixFileSystem::readFileInPieces(const std::string& path, size_t pieceBytes,
                                       const std::function<void(std::string_view piece)>& onPiece) {
  requireUsablePath("read", path);
  // O_NONBLOCK keeps a FIFO planted at the path from blocking the open; regular files ignore it.
  const int fd = openInTreeNoLinks("read", path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, guardedFolder_);
  if (fd < 0) fail(errno, "read", path);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }  // read-only: a failing close loses nothing
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) fail(errno, "read", path);
  if (!S_ISREG(st.st_mode)) fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, "read", path);
  std::string buffer(std::max<size_t>(pieceBytes, 1), '\0');
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno, "read", path);
    }
    if (n == 0) break;
    onPiece(std::string_view(buffer.data(), static_cast<size_t>(n)));
  }
}

void PosixFileSystem::writeFileAtomically(const std::string& path, std::string_view bytes) {
  writeFileAtomicallyInPieces(path,
                              [bytes](const std::function<void(std::string_view)>& write) { write(bytes); });
}

void PosixFileSystem::writeFileAtomicallyInPieces(const std::string& path, const Producer& produce) {
  requireUsablePath("write", path);
  // The file itself may be a link: the rename replaces it rather than writing through it.
  refuseLinksInTree("write", path, directoryEnd(path), guardedFolder_);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temp = temporaryName(path);
    fd = openRetrying(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0 && (errno != EEXIST || attempt == 8)) fail(errno, "write", path);
  }
  int err = 0;
  try {
    produce([&](std::string_view piece) {
      size_t written = 0;
      if (err == 0) err = writeAll(fd, piece, written);
    });
  } catch (...) {
    closeOnce(fd);
    ::unlink(temp.c_str());
    throw;
  }
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  const int closeErr = closeOnce(fd);
  if (err == 0) err = closeErr;
  // rename replaces a symlink at the target itself; it never writes through it.
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    fail(err, "write", path);
  }
  syncDirectoryOf(path);
}

void PosixFileSystem::appendToFile(const std::string& path, std::string_view bytes) {
  requireUsablePath("append", path);
  // No O_CREAT: a missing file is the caller's case. O_NOFOLLOW: never append through a link.
  // O_NONBLOCK: a FIFO planted at the path fails the open instead of blocking it.
  const int fd = openInTreeNoLinks("append", path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                                   guardedFolder_);
  if (fd < 0) fail(errno, "append", path);
  size_t written = 0;
  int err = writeAll(fd, bytes, written);
  if (err != 0 && written > 0) cutOff(fd, written);
  const int closeErr = closeOnce(fd);
  if (err == 0) err = closeErr;
  if (err != 0) fail(err, "append", path);
}

std::vector<FileSystem::Entry> PosixFileSystem::listDirectory(const std::string& path) {
  requireUsablePath("list", path);
  const int fd = openInTreeNoLinks("list", path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, guardedFolder_);
  if (fd < 0) fail(errno, "list", path);
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int err = errno;
    ::close(fd);
    fail(err, "list", path);
  }
  std::vector<Entry> entries;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    bool isDirectory = entry->d_type == DT_DIR;
    bool isLink = entry->d_type == DT_LNK;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st {};
      if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        isDirectory = S_ISDIR(st.st_mode);
        isLink = S_ISLNK(st.st_mode);
      }
    }
    entries.push_back({name, isDirectory, isLink});
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return entries;
}

void PosixFileSystem::moveNoReplace(const std::string& from, const std::string& to) {
  requireUsablePath("move", from);
  requireUsablePath("move", to);
  refuseLinksInTree("move", to, directoryEnd(to), guardedFolder_);
  if (renameat2Retrying(from, to, RENAME_NOREPLACE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) fail(errno, "move", to);
  // File systems without the flag: a check and a rename, which a process racing us could defeat.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) fail(EEXIST, "move", to);
  if (::rename(from.c_str(), to.c_str()) != 0) fail(errno, "move", to);
}

void PosixFileSystem::exchange(const std::string& first, const std::string& second) {
  requireUsablePath("exchange", first);
  requireUsablePath("exchange", second);
  refuseLinksInTree("exchange", second, directoryEnd(second), guardedFolder_);
  if (renameat2Retrying(first, second, RENAME_EXCHANGE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) fail(errno, "exchange", second);
  // Without the flag, three renames; `second` is missing for a moment.
  const std::string aside = temporaryName(second);
  if (::rename(second.c_str(), aside.c_str()) != 0) fail(errno, "exchange", second);
  if (::rename(first.c_str(), second.c_str()) != 0) {
    const int err = errno;
    ::rename(aside.c_str(), second.c_str());
    fail(err, "exchange", second);
  }
  if (::rename(aside.c_str(), first.c_str()) != 0) fail(errno, "exchange", first);
}

void PosixFileSystem::removeTree(const std::string& path) {
  requireUsablePath("remove", path);
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return;
  if (errno != EISDIR && errno != EPERM) fail(errno, "remove", path);
  const int fd = openRetrying(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) fail(errno, "remove", path);
  if (const int err = removeBelow(fd)) fail(err, "remove", path);
  if (::rmdir(path.c_str()) != 0 && errno != ENOENT) fail(errno, "remove", path);
}

std::string PosixFileSystem::currentDirectory() {
  std::string buffer(256, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      buffer.resize(std::char_traits<char>::length(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE) fail(errno, "current directory", ".");
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace diruri
