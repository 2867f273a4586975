// The FileSystem contract, run against the POSIX file system and the in-memory one that the fuzz
// targets use; then the POSIX file system alone under real faults: links, FIFOs, full files.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "tests/store/store_fixture.hpp"
#include "tests/support/memory_file_system.hpp"
#include "tests/support/real_file_system.hpp"

namespace diruri::test {
namespace {

int errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const FileSystemError& e) {
    return e.code().value();
  }
  return 0;
}

// Each backend gives the file system under test, a directory of its own to work in, and a way to
// put, read and list files there that does not go through the operation under test where it can.
struct PosixBackend {
  TempDir temp;
  FileSystem& fs = realFileSystem();
  std::string root() const { return temp.path(); }
  void put(const std::string& path, const std::string& text) { writeText(path, text); }
  std::string contents(const std::string& path) const { return readText(path); }
  std::vector<std::string> tree() const { return listTree(temp.path()); }
};

struct MemoryBackend {
  MemoryFileSystem memory{"/home/tester"};
  FileSystem& fs = memory;
  MemoryBackend() { memory.createDirectories(root()); }
  std::string root() const { return "/tmp/contract"; }
  void put(const std::string& path, const std::string& text) { memory.writeFileAtomically(path, text); }
  std::string contents(const std::string& path) const { return memory.files().at(path); }
  std::vector<std::string> tree() const { return memory.listTree(root()); }
};

template <typename Backend>
class FileSystemContract : public ::testing::Test {
 protected:
  Backend backend;
  FileSystem& fs = backend.fs;
  std::string root() const { return backend.root(); }
  std::string at(const std::string& relative) const { return backend.root() + "/" + relative; }
};

struct BackendName {
  template <typename Backend>
  static std::string GetName(int) {
    return std::is_same_v<Backend, PosixBackend> ? "Posix" : "Memory";
  }
};
using Backends = ::testing::Types<PosixBackend, MemoryBackend>;
TYPED_TEST_SUITE(FileSystemContract, Backends, BackendName);

TYPED_TEST(FileSystemContract, CreateDirectoriesMakesTheChainAndAcceptsWhatExists) {
  const std::string deep = this->at("a/b//c/");
  this->fs.createDirectories(deep);
  this->fs.createDirectories(deep);
  this->fs.createDirectories(this->root());
  this->fs.createDirectories("/");
  this->fs.createDirectories(this->at("a/./b/../d"));
  EXPECT_TRUE(this->fs.fileExists(this->at("a/b/c")));
  EXPECT_EQ(this->backend.tree(), (std::vector<std::string>{"a/", "a/b/", "a/b/c/", "a/d/"}));
}

TYPED_TEST(FileSystemContract, CreateDirectoriesFailsWhenAFileIsInTheWay) {
  this->backend.put(this->at("file"), "x");
  for (const std::string& path : {this->at("file"), this->at("file/sub")}) {
    try {
      this->fs.createDirectories(path);
      ADD_FAILURE() << "created " << path;
    } catch (const FileSystemError& e) {
      EXPECT_EQ(e.code().value(), ENOTDIR) << path;
      EXPECT_FALSE(e.path().empty());
    }
  }
  EXPECT_EQ(this->backend.contents(this->at("file")), "x");
  EXPECT_EQ(errorOf([&] { this->fs.createDirectories(std::string("a\0b", 3)); }), EINVAL);
  EXPECT_EQ(errorOf([&] { this->fs.createDirectories(""); }), ENOENT);
}

TYPED_TEST(FileSystemContract, FileExistsForFilesAndDirectoriesOnly) {
  this->backend.put(this->at("file"), "x");
  EXPECT_TRUE(this->fs.fileExists(this->at("file")));
  EXPECT_TRUE(this->fs.fileExists(this->root()));
  EXPECT_TRUE(this->fs.fileExists(this->root() + "/"));
  EXPECT_FALSE(this->fs.fileExists(this->at("missing")));
  EXPECT_FALSE(this->fs.fileExists(this->at("file/below")));
  EXPECT_FALSE(this->fs.fileExists(this->at("file/")));
}

TYPED_TEST(FileSystemContract, ReadFileReturnsEveryByteAndRefusesWhatIsNotAFile) {
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  this->backend.put(this->at("big"), big);
  EXPECT_EQ(this->fs.readFile(this->at("big")), big);
  this->backend.put(this->at("empty"), "");
  EXPECT_EQ(this->fs.readFile(this->at("empty")), "");
  EXPECT_EQ(errorOf([&] { this->fs.readFile(this->at("missing")); }), ENOENT);
  EXPECT_EQ(errorOf([&] { this->fs.readFile(this->root()); }), EISDIR);
  EXPECT_EQ(errorOf([&] { this->fs.readFile(this->at("big/")); }), ENOTDIR);
}

TYPED_TEST(FileSystemContract, WriteFileAtomicallyReplacesWholeAndLeavesNoTemporaryFile) {
  this->fs.writeFileAtomically(this->at("f.json"), "first");
  this->fs.writeFileAtomically(this->at("f.json"), "second, longer");
  EXPECT_EQ(this->backend.contents(this->at("f.json")), "second, longer");
  this->fs.writeFileAtomically(this->at("f.json"), "");
  EXPECT_EQ(this->backend.contents(this->at("f.json")), "");
  EXPECT_EQ(this->backend.tree(), std::vector<std::string>{"f.json"});
}

TYPED_TEST(FileSystemContract, FailedAtomicWritesKeepTheOldFileAndLeaveNothingBehind) {
  this->backend.put(this->at("f.json"), "old");
  this->fs.createDirectories(this->at("dir"));
  this->backend.put(this->at("dir/inside"), "x");
  EXPECT_EQ(errorOf([&] { this->fs.writeFileAtomically(this->at("missing/f.json"), "x"); }), ENOENT);
  EXPECT_EQ(errorOf([&] { this->fs.writeFileAtomically(this->at("f.json/x"), "x"); }), ENOTDIR);
  EXPECT_EQ(errorOf([&] { this->fs.writeFileAtomically(this->at("dir"), "x"); }), EISDIR);  // rename fails
  EXPECT_EQ(this->backend.contents(this->at("f.json")), "old");
  EXPECT_EQ(this->backend.tree(), (std::vector<std::string>{"dir/", "dir/inside", "f.json"}));
}

TYPED_TEST(FileSystemContract, AppendAddsBytesToExistingRegularFilesOnly) {
  this->backend.put(this->at("log"), "a\n");
  this->fs.appendToFile(this->at("log"), "b\n");
  this->fs.appendToFile(this->at("log"), "");
  EXPECT_EQ(this->backend.contents(this->at("log")), "a\nb\n");
  EXPECT_EQ(errorOf([&] { this->fs.appendToFile(this->at("missing"), "x\n"); }), ENOENT);
  EXPECT_EQ(errorOf([&] { this->fs.appendToFile(this->root(), "x\n"); }), EISDIR);
  EXPECT_FALSE(this->fs.fileExists(this->at("missing")));
}

// The POSIX file system alone: what only a real disk has.
class PosixFileSystemTest : public ::testing::Test {
 protected:
  FileSystem& fs = realFileSystem();
  TempDir temp;
};

TEST_F(PosixFileSystemTest, LinksAreFollowedByCreateAndExistsButNeverAppendedThrough) {
  ASSERT_EQ(mkdir((temp / "a").c_str(), 0700), 0);
  ASSERT_EQ(symlink((temp / "a").c_str(), (temp / "link").c_str()), 0);
  fs.createDirectories(temp / "link/b/d");  // a link to a directory in the chain is followed
  EXPECT_EQ(listTree(temp.path()), (std::vector<std::string>{"a/", "a/b/", "a/b/d/", "link"}));

  writeText(temp / "target", "keep\n");
  ASSERT_EQ(symlink((temp / "target").c_str(), (temp / "file-link").c_str()), 0);
  ASSERT_EQ(symlink((temp / "nowhere").c_str(), (temp / "dangling").c_str()), 0);
  EXPECT_NE(errorOf([&] { fs.createDirectories(temp / "dangling/sub"); }), 0);
  EXPECT_TRUE(fs.fileExists(temp / "file-link"));
  EXPECT_FALSE(fs.fileExists(temp / "dangling"));
  EXPECT_EQ(errorOf([&] { fs.appendToFile(temp / "file-link", "x\n"); }), ELOOP);
  EXPECT_EQ(readText(temp / "target"), "keep\n");
}

TEST_F(PosixFileSystemTest, WriteFileAtomicallyReplacesALinkRatherThanWritingThroughIt) {
  writeText(temp / "target", "keep");
  ASSERT_EQ(symlink((temp / "target").c_str(), (temp / "session.json").c_str()), 0);
  fs.writeFileAtomically(temp / "session.json", "new");
  EXPECT_EQ(readText(temp / "target"), "keep");
  struct stat st {};
  ASSERT_EQ(lstat((temp / "session.json").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(readText(temp / "session.json"), "new");
}

TEST_F(PosixFileSystemTest, AFifoIsRefusedRatherThanBlockedOn) {
  ASSERT_EQ(mkfifo((temp / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(errorOf([&] { fs.readFile(temp / "fifo"); }), EINVAL);
  EXPECT_EQ(errorOf([&] { fs.appendToFile(temp / "fifo", "x\n"); }), ENXIO);
}

TEST_F(PosixFileSystemTest, WritesPastTheFileSizeLimitFailAndLeaveTheFileAsItWas) {
  writeText(temp / "f.json", "old");
  writeText(temp / "log", "one\n");
  withFileSizeLimit(10, [&] {
    EXPECT_EQ(errorOf([&] { fs.writeFileAtomically(temp / "f.json", std::string(100, 'n')); }), EFBIG);
    try {
      fs.appendToFile(temp / "log", "twotwotwotwo\n");
      ADD_FAILURE() << "append past the size limit succeeded";
    } catch (const FileSystemError& e) {
      EXPECT_EQ(e.code().value(), EFBIG);
      EXPECT_EQ(e.path(), temp / "log");
    }
  });
  EXPECT_EQ(readText(temp / "f.json"), "old");
  EXPECT_EQ(listTree(temp.path()), (std::vector<std::string>{"f.json", "log"}));
  // The torn append was cut back off, so the next one starts a clean line.
  EXPECT_EQ(readText(temp / "log"), "one\n");
  fs.appendToFile(temp / "log", "three\n");
  EXPECT_EQ(readText(temp / "log"), "one\nthree\n");
}

}  // namespace
}  // namespace diruri::test
