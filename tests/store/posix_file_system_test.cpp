// The POSIX file system under real faults: links, things in the way, full files, missing parents.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "tests/support/real_file_system.hpp"
#include "tests/store/store_fixture.hpp"

namespace diruri::test {
namespace {

class PosixFileSystemTest : public ::testing::Test {
 protected:
  FileSystem& fs = test::realFileSystem();
  TempDir temp;

  int errorOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const FileSystemError& e) {
      return e.code().value();
    }
    return 0;
  }
};

TEST_F(PosixFileSystemTest, CreateDirectoriesMakesTheChainAndAcceptsWhatExists) {
  const std::string deep = temp / "a/b//c/";
  fs.createDirectories(deep);
  fs.createDirectories(deep);
  fs.createDirectories(temp.path());
  fs.createDirectories("/");
  ASSERT_EQ(symlink((temp / "a").c_str(), (temp / "link").c_str()), 0);
  fs.createDirectories(temp / "link/b/d");  // a link to a directory in the chain is followed
  EXPECT_EQ(listTree(temp.path()), (std::vector<std::string>{"a/", "a/b/", "a/b/c/", "a/b/d/", "link"}));
}

TEST_F(PosixFileSystemTest, CreateDirectoriesFailsWhenSomethingElseIsInTheWay) {
  writeText(temp / "file", "x");
  ASSERT_EQ(symlink((temp / "nowhere").c_str(), (temp / "dangling").c_str()), 0);
  for (const std::string& path : {temp / "file", temp / "file/sub", temp / "dangling/sub"}) {
    try {
      fs.createDirectories(path);
      ADD_FAILURE() << "created " << path;
    } catch (const FileSystemError& e) {
      EXPECT_NE(e.code().value(), 0);
      EXPECT_FALSE(e.path().empty());
    }
  }
  EXPECT_EQ(readText(temp / "file"), "x");
  EXPECT_NE(errorOf([&] { fs.createDirectories(std::string("a\0b", 3)); }), 0);
}

TEST_F(PosixFileSystemTest, FileExistsForFilesDirectoriesAndLinksToThem) {
  writeText(temp / "file", "x");
  ASSERT_EQ(symlink((temp / "file").c_str(), (temp / "link").c_str()), 0);
  ASSERT_EQ(symlink((temp / "nowhere").c_str(), (temp / "dangling").c_str()), 0);
  EXPECT_TRUE(fs.fileExists(temp / "file"));
  EXPECT_TRUE(fs.fileExists(temp.path()));
  EXPECT_TRUE(fs.fileExists(temp / "link"));
  EXPECT_FALSE(fs.fileExists(temp / "dangling"));
  EXPECT_FALSE(fs.fileExists(temp / "missing"));
  EXPECT_FALSE(fs.fileExists(temp / "file/below"));
}

TEST_F(PosixFileSystemTest, ReadFileReturnsEveryByteAndRefusesWhatIsNotAFile) {
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  writeText(temp / "big", big);
  EXPECT_EQ(fs.readFile(temp / "big"), big);
  writeText(temp / "empty", "");
  EXPECT_EQ(fs.readFile(temp / "empty"), "");
  ASSERT_EQ(mkfifo((temp / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(errorOf([&] { fs.readFile(temp / "missing"); }), ENOENT);
  EXPECT_EQ(errorOf([&] { fs.readFile(temp.path()); }), EISDIR);
  EXPECT_EQ(errorOf([&] { fs.readFile(temp / "fifo"); }), EINVAL);  // and does not block
}

TEST_F(PosixFileSystemTest, WriteFileAtomicallyReplacesWholeAndLeavesNoTemporaryFile) {
  fs.writeFileAtomically(temp / "f.json", "first");
  fs.writeFileAtomically(temp / "f.json", "second, longer");
  EXPECT_EQ(readText(temp / "f.json"), "second, longer");
  fs.writeFileAtomically(temp / "f.json", "");
  EXPECT_EQ(readText(temp / "f.json"), "");
  EXPECT_EQ(listTree(temp.path()), std::vector<std::string>{"f.json"});
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

TEST_F(PosixFileSystemTest, FailedAtomicWritesKeepTheOldFileAndLeaveNothingBehind) {
  writeText(temp / "f.json", "old");
  ASSERT_EQ(mkdir((temp / "dir").c_str(), 0700), 0);
  writeText(temp / "dir/inside", "x");
  EXPECT_EQ(errorOf([&] { fs.writeFileAtomically(temp / "missing/f.json", "x"); }), ENOENT);
  EXPECT_EQ(errorOf([&] { fs.writeFileAtomically(temp / "dir", "x"); }), EISDIR);  // rename fails
  withFileSizeLimit(10, [&] {
    EXPECT_EQ(errorOf([&] { fs.writeFileAtomically(temp / "f.json", std::string(100, 'n')); }), EFBIG);
  });
  EXPECT_EQ(readText(temp / "f.json"), "old");
  EXPECT_EQ(listTree(temp.path()), (std::vector<std::string>{"dir/", "dir/inside", "f.json"}));
}

TEST_F(PosixFileSystemTest, AppendAddsBytesToExistingRegularFilesOnly) {
  writeText(temp / "log", "a\n");
  fs.appendToFile(temp / "log", "b\n");
  fs.appendToFile(temp / "log", "");
  EXPECT_EQ(readText(temp / "log"), "a\nb\n");

  writeText(temp / "target", "keep\n");
  ASSERT_EQ(symlink((temp / "target").c_str(), (temp / "link").c_str()), 0);
  ASSERT_EQ(mkfifo((temp / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(errorOf([&] { fs.appendToFile(temp / "missing", "x\n"); }), ENOENT);
  EXPECT_EQ(errorOf([&] { fs.appendToFile(temp / "link", "x\n"); }), ELOOP);
  EXPECT_EQ(errorOf([&] { fs.appendToFile(temp / "fifo", "x\n"); }), ENXIO);  // rather than blocking
  EXPECT_EQ(errorOf([&] { fs.appendToFile(temp.path(), "x\n"); }), EISDIR);
  EXPECT_EQ(readText(temp / "target"), "keep\n");
  EXPECT_FALSE(fs.fileExists(temp / "missing"));
}

TEST_F(PosixFileSystemTest, AppendThatStopsPartWayIsReportedAndCutBackOff) {
  writeText(temp / "log", "one\n");
  withFileSizeLimit(10, [&] {
    try {
      fs.appendToFile(temp / "log", "twotwotwotwo\n");
      ADD_FAILURE() << "append past the size limit succeeded";
    } catch (const FileSystemError& e) {
      EXPECT_EQ(e.code().value(), EFBIG);
      EXPECT_EQ(e.path(), temp / "log");
    }
  });
  EXPECT_EQ(readText(temp / "log"), "one\n");
  fs.appendToFile(temp / "log", "three\n");
  EXPECT_EQ(readText(temp / "log"), "one\nthree\n");
}

}  // namespace
}  // namespace diruri::test
