// The real POSIX file system.
#pragma once

#include <string>

#include "core/platform/file_system.hpp"

namespace diruri {

// Atomic replaces write a temporary file beside the target, sync it, rename it over the target and
// sync the directory. Inside the guarded tree (from the first path component named guardedFolder
// down) no symbolic link is followed by a create, write, append, read or listing, so a link planted
// there cannot carry the system's writes out of the workspace, nor bring a file from outside it
// (a private key, the process's environment) into what it reads. Holds no state between calls; safe from any
// thread.
class PosixFileSystem final : public FileSystem {
 public:
  // An empty name guards nothing.
  explicit PosixFileSystem(std::string guardedFolder);

  void createDirectories(const std::string& path) override;
  void createNewDirectory(const std::string& path) override;
  bool fileExists(const std::string& path) override;
  std::string readFile(const std::string& path) override;
  void readFileInPieces(const std::string& path, size_t pieceBytes,
                        const std::function<void(std::string_view piece)>& onPiece) override;
  void writeFileAtomically(const std::string& path, std::string_view bytes) override;
  void writeFileAtomicallyInPieces(const std::string& path, const Producer& produce) override;
  void appendToFile(const std::string& path, std::string_view bytes) override;
  std::string currentDirectory() override;
  std::vector<Entry> listDirectory(const std::string& path) override;
  void moveNoReplace(const std::string& from, const std::string& to) override;
  void exchange(const std::string& first, const std::string& second) override;
  void removeTree(const std::string& path) override;

 private:
  std::string guardedFolder_;
};

}  // namespace diruri
