// The file-system service every component writes through, so tests can fail any single operation.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace diruri {

// A failed file-system operation: errno plus the path it concerned.
class FileSystemError : public std::system_error {
 public:
  FileSystemError(int err, const std::string& operation, const std::string& path)
      : std::system_error(err, std::generic_category(), operation + " " + path), path_(path) {}
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// All operations block the caller and throw FileSystemError on failure. Implementations hold no
// handle between calls and may be used from several threads at once.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Creates the directory and every missing parent; an existing directory is no error.
  virtual void createDirectories(const std::string& path) = 0;

  // Creates one new directory, whose parent must exist: EEXIST when anything is at the path
  // already. For a folder that must be this call's alone (a skill or a replay run being made).
  virtual void createNewDirectory(const std::string& path) = 0;

  // True when something exists at the path (a file, or anything else that is not a dangling link).
  virtual bool fileExists(const std::string& path) = 0;

  // The whole content of a regular file.
  virtual std::string readFile(const std::string& path) = 0;

  // The content of a regular file handed to `onPiece` in pieces of at most `pieceBytes` (the last
  // may be shorter), in file order: for a file too large to hold whole. What `onPiece` throws
  // passes on and ends the reading. The default reads the file whole.
  virtual void readFileInPieces(const std::string& path, size_t pieceBytes,
                                const std::function<void(std::string_view piece)>& onPiece) {
    (void)pieceBytes;
    onPiece(readFile(path));
  }

  // Replaces the file whole: a temporary file beside it, written in full and synced, then renamed
  // over the target. On failure nothing is left but what was there before.
  virtual void writeFileAtomically(const std::string& path, std::string_view bytes) = 0;

  // The same with the content made by `produce`, which hands each piece in order to the function
  // it is given: for a file too large to build whole. What `produce` throws passes on, and the file
  // is then as it was. The default gathers the pieces and writes them at once.
  using Producer = std::function<void(const std::function<void(std::string_view piece)>& write)>;
  virtual void writeFileAtomicallyInPieces(const std::string& path, const Producer& produce) {
    std::string bytes;
    produce([&bytes](std::string_view piece) { bytes.append(piece); });
    writeFileAtomically(path, bytes);
  }

  // Appends the bytes to an existing file in one write (retrying short writes). Never creates the
  // file and never appends through a symbolic link at the path. A write that fails part-way is cut
  // back off the file where possible, so a torn line does not swallow the next one.
  virtual void appendToFile(const std::string& path, std::string_view bytes) = 0;

  // The process's current directory, absolute.
  virtual std::string currentDirectory() = 0;

  // What a directory holds: its entries' names (never "." or "..") in byte order, each with
  // whether it is a directory itself or a symbolic link (a link is neither followed nor counted as
  // a directory).
  struct Entry {
    std::string name;
    bool isDirectory = false;
    bool isLink = false;
    bool operator==(const Entry&) const = default;
  };
  virtual std::vector<Entry> listDirectory(const std::string& path) = 0;

  // Renames a file or directory to `to`, which must not exist (EEXIST otherwise), in one step: it
  // is found whole under the one name or the other, never half copied.
  virtual void moveNoReplace(const std::string& from, const std::string& to) = 0;

  // Swaps two existing entries in one step: each is then found under the other's name.
  virtual void exchange(const std::string& first, const std::string& second) = 0;

  // Removes the entry and, for a directory, everything below it, without following links; nothing
  // at the path is no error.
  virtual void removeTree(const std::string& path) = 0;
};

}  // namespace diruri
