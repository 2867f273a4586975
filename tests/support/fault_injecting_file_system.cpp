// The fault-injecting file-system wrapper.
#include "tests/support/fault_injecting_file_system.hpp"

namespace diruri::test {

const char* fsOpName(FsOp op) {
  switch (op) {
    case FsOp::CreateDirectories:
      return "createDirectories";
    case FsOp::FileExists:
      return "fileExists";
    case FsOp::ReadFile:
      return "readFile";
    case FsOp::WriteFileAtomically:
      return "writeFileAtomically";
    case FsOp::AppendToFile:
      return "appendToFile";
    case FsOp::CurrentDirectory:
      return "currentDirectory";
    case FsOp::ListDirectory:
      return "listDirectory";
    case FsOp::MoveNoReplace:
      return "moveNoReplace";
    case FsOp::Exchange:
      return "exchange";
    case FsOp::CreateNewDirectory:
      return "createNewDirectory";
    case FsOp::RemoveTree:
      return "removeTree";
  }
  return "?";
}

FaultInjectingFileSystem::FaultInjectingFileSystem(FileSystem& inner) : inner_(inner) {}

void FaultInjectingFileSystem::addFault(FsFault fault) {
  std::lock_guard lock(mutex_);
  rules_.push_back(Rule{std::move(fault)});
}

void FaultInjectingFileSystem::clearFaults() {
  std::lock_guard lock(mutex_);
  rules_.clear();
}

void FaultInjectingFileSystem::setCurrentDirectory(std::optional<std::string> path) {
  std::lock_guard lock(mutex_);
  currentDirectory_ = std::move(path);
}

std::vector<FsCall> FaultInjectingFileSystem::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

size_t FaultInjectingFileSystem::countCalls(FsOp op) const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const FsCall& c : calls_) n += c.op == op;
  return n;
}

std::optional<FsFault> FaultInjectingFileSystem::check(FsOp op, const std::string& path) {
  std::lock_guard lock(mutex_);
  std::optional<FsFault> hit;
  for (Rule& rule : rules_) {
    if (rule.fault.op != op || path.find(rule.fault.pathContains) == std::string::npos) continue;
    ++rule.seen;
    if (!hit && (rule.fault.nth == 0 || rule.fault.nth == rule.seen)) hit = rule.fault;
  }
  calls_.push_back(FsCall{op, path, hit.has_value()});
  return hit;
}

void FaultInjectingFileSystem::createDirectories(const std::string& path) {
  if (auto f = check(FsOp::CreateDirectories, path)) throw FileSystemError(f->err, "create directory", path);
  inner_.createDirectories(path);
}

void FaultInjectingFileSystem::createNewDirectory(const std::string& path) {
  if (auto f = check(FsOp::CreateNewDirectory, path)) throw FileSystemError(f->err, "create directory", path);
  inner_.createNewDirectory(path);
}

bool FaultInjectingFileSystem::fileExists(const std::string& path) {
  if (auto f = check(FsOp::FileExists, path)) throw FileSystemError(f->err, "test", path);
  return inner_.fileExists(path);
}

std::string FaultInjectingFileSystem::readFile(const std::string& path) {
  if (auto f = check(FsOp::ReadFile, path)) throw FileSystemError(f->err, "read", path);
  return inner_.readFile(path);
}

void FaultInjectingFileSystem::writeFileAtomically(const std::string& path, std::string_view bytes) {
  if (auto f = check(FsOp::WriteFileAtomically, path)) throw FileSystemError(f->err, "write", path);
  inner_.writeFileAtomically(path, bytes);
}

void FaultInjectingFileSystem::readFileInPieces(const std::string& path, size_t pieceBytes,
                                                const std::function<void(std::string_view piece)>& onPiece) {
  if (auto f = check(FsOp::ReadFile, path)) throw FileSystemError(f->err, "read", path);
  inner_.readFileInPieces(path, pieceBytes, onPiece);
}

void FaultInjectingFileSystem::writeFileAtomicallyInPieces(const std::string& path, const Producer& produce) {
  if (auto f = check(FsOp::WriteFileAtomically, path)) throw FileSystemError(f->err, "write", path);
  inner_.writeFileAtomicallyInPieces(path, produce);
}

void FaultInjectingFileSystem::appendToFile(const std::string& path, std::string_view bytes) {
  if (auto f = check(FsOp::AppendToFile, path)) {
    if (f->partialBytes && *f->partialBytes > 0) {
      inner_.appendToFile(path, bytes.substr(0, *f->partialBytes));
    }
    throw FileSystemError(f->err, "append", path);
  }
  inner_.appendToFile(path, bytes);
}

std::string FaultInjectingFileSystem::currentDirectory() {
  if (auto f = check(FsOp::CurrentDirectory, "")) throw FileSystemError(f->err, "current directory", ".");
  {
    std::lock_guard lock(mutex_);
    if (currentDirectory_) return *currentDirectory_;
  }
  return inner_.currentDirectory();
}

std::vector<FileSystem::Entry> FaultInjectingFileSystem::listDirectory(const std::string& path) {
  if (auto f = check(FsOp::ListDirectory, path)) throw FileSystemError(f->err, "list", path);
  return inner_.listDirectory(path);
}

// A move or an exchange is checked and recorded as "from -> to" or "first <-> second".
void FaultInjectingFileSystem::moveNoReplace(const std::string& from, const std::string& to) {
  if (auto f = check(FsOp::MoveNoReplace, from + " -> " + to)) throw FileSystemError(f->err, "move", to);
  inner_.moveNoReplace(from, to);
}

void FaultInjectingFileSystem::exchange(const std::string& first, const std::string& second) {
  if (auto f = check(FsOp::Exchange, first + " <-> " + second))
    throw FileSystemError(f->err, "exchange", second);
  inner_.exchange(first, second);
}

void FaultInjectingFileSystem::removeTree(const std::string& path) {
  if (auto f = check(FsOp::RemoveTree, path)) throw FileSystemError(f->err, "remove", path);
  inner_.removeTree(path);
}

}  // namespace diruri::test
