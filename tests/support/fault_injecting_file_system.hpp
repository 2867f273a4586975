// A FileSystem that forwards to another one and fails chosen operations, for failure-path tests.
#pragma once

#include <cerrno>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/platform/file_system.hpp"

namespace diruri::test {

enum class FsOp {
  CreateDirectories,
  FileExists,
  ReadFile,
  WriteFileAtomically,
  AppendToFile,
  CurrentDirectory,
  ListDirectory,
  MoveNoReplace,
  Exchange,
  RemoveTree,
  CreateNewDirectory,
};

const char* fsOpName(FsOp op);

// One injected failure. A call matches when its operation is `op` and its path contains
// `pathContains`; `nth` = 0 fails every matching call, n > 0 only the n-th (counted from 1).
struct FsFault {
  FsOp op;
  std::string pathContains;
  int nth = 0;
  int err = EIO;
  // AppendToFile only: forward this many leading bytes to the inner file system, then fail, as
  // a write that stopped part-way does.
  std::optional<size_t> partialBytes = std::nullopt;
};

// One call as the wrapper saw it, failed or not.
struct FsCall {
  FsOp op;
  std::string path;
  bool failed;
};

// Forwards every operation to `inner` (normally the real one over a temporary directory)
// unless a fault matches. A failed call throws FileSystemError and, apart from a partial append,
// leaves the inner file system untouched. Safe to use from several threads.
class FaultInjectingFileSystem final : public FileSystem {
 public:
  explicit FaultInjectingFileSystem(FileSystem& inner);

  void addFault(FsFault fault);
  void clearFaults();
  // Answers currentDirectory() without asking the inner file system (tests need not chdir).
  void setCurrentDirectory(std::optional<std::string> path);
  std::vector<FsCall> calls() const;
  size_t countCalls(FsOp op) const;

  void createDirectories(const std::string& path) override;

  void createNewDirectory(const std::string& path) override;
  bool fileExists(const std::string& path) override;
  std::string readFile(const std::string& path) override;
  void writeFileAtomically(const std::string& path, std::string_view bytes) override;
  // Faults of ReadFile and WriteFileAtomically apply to these too.
  void readFileInPieces(const std::string& path, size_t pieceBytes,
                        const std::function<void(std::string_view piece)>& onPiece) override;
  void writeFileAtomicallyInPieces(const std::string& path, const Producer& produce) override;
  void appendToFile(const std::string& path, std::string_view bytes) override;
  std::string currentDirectory() override;
  std::vector<Entry> listDirectory(const std::string& path) override;
  void moveNoReplace(const std::string& from, const std::string& to) override;
  void exchange(const std::string& first, const std::string& second) override;
  void removeTree(const std::string& path) override;

 private:
  struct Rule {
    FsFault fault;
    int seen = 0;
  };
  // The fault for this call, if any; records the call either way.
  std::optional<FsFault> check(FsOp op, const std::string& path);

  FileSystem& inner_;
  mutable std::mutex mutex_;
  std::vector<Rule> rules_;
  std::vector<FsCall> calls_;
  std::optional<std::string> currentDirectory_;
};

}  // namespace diruri::test
