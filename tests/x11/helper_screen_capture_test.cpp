// Screenshots through the helper executable: a complete PNG of the screen, failures and time
// limits.
#include "core/capture/helper_screen_capture.hpp"
#include "core/x11/x11_display_probe.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <array>
#include <filesystem>

#include "core/mcp/default_graph.hpp"
#include "core/platform/deadline.hpp"
#include "tests/support/captured_output.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/fault_injecting_file_system.hpp"
#include "tests/support/file_tree.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/x11_test_display.hpp"

namespace diruri {
namespace {

using namespace std::chrono_literals;

std::string helperPath() {
  return std::filesystem::path(DIRURI_EXECUTABLE).parent_path() / kScreenshotHelperName;
}

uint32_t bigEndian32(const std::string& s, size_t at) {
  return (uint32_t(uint8_t(s[at])) << 24) | (uint32_t(uint8_t(s[at + 1])) << 16) |
         (uint32_t(uint8_t(s[at + 2])) << 8) | uint32_t(uint8_t(s[at + 3]));
}

uint32_t crc32(const char* data, size_t n) {
  uint32_t c = 0xffffffffu;
  for (size_t i = 0; i < n; ++i) {
    c ^= uint8_t(data[i]);
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
  }
  return ~c;
}

struct PngInfo {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<std::string> chunks;
};

// Walks the chunks, checking every CRC: a cut or damaged file fails here. Empty chunks on error.
PngInfo readPng(const std::string& bytes) {
  PngInfo info;
  if (bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return info;
  size_t at = 8;
  while (at + 12 <= bytes.size()) {
    const uint32_t len = bigEndian32(bytes, at);
    if (at + 12 + len > bytes.size()) return {};
    const std::string type = bytes.substr(at + 4, 4);
    if (crc32(bytes.data() + at + 4, len + 4) != bigEndian32(bytes, at + 8 + len)) return {};
    if (type == "IHDR") {
      info.width = bigEndian32(bytes, at + 8);
      info.height = bigEndian32(bytes, at + 12);
    }
    info.chunks.push_back(type);
    at += 12 + len;
  }
  if (at != bytes.size()) return {};
  return info;
}

std::string script(const test::TempDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir / name;
  test::writeText(path, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

class HelperScreenCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(server_.start(), ""); }
  test::XvfbServer server_;
  test::TempDir dir_;
  test::FaultInjectingFileSystem fs_{test::realFileSystem()};
  X11DisplayProbe probe_{x11DisplayName};

  // Screenshots of the test's X display, as the server takes them there.
  HelperScreenCapture capture(const std::string& helper,
                              std::chrono::milliseconds timeout = HelperScreenCapture::kDefaultTimeout) {
    return HelperScreenCapture(
        fs_, [this] { return probe_.current().reachable; }, {}, helper, timeout);
  }

  // No child of this process is left, running or unreaped, but the X server.
  bool noChildren() const { return test::childrenOf(getpid()) == std::vector<pid_t>{server_.pid()}; }
};

TEST_F(HelperScreenCaptureTest, WritesACompletePngOfTheScreenIntoNewDirectories) {
  HelperScreenCapture store = capture(helperPath());
  EXPECT_TRUE(store.canCaptureScreen());
  const std::string target = dir_ / "a/b/shot.png";
  const ScreenCaptureResult result = store.capturePNG(target);
  EXPECT_EQ(result.path, target);
  ASSERT_TRUE(result.ok);
  const PngInfo png = readPng(test::readText(target));
  EXPECT_EQ(png.width, 1920u);
  EXPECT_EQ(png.height, 1080u);
  ASSERT_FALSE(png.chunks.empty());
  EXPECT_EQ(png.chunks.front(), "IHDR");
  EXPECT_EQ(png.chunks.back(), "IEND");
  // Only the file: no temporary left beside it.
  EXPECT_EQ(test::listTree(dir_.path()), (std::vector<std::string>{"a/", "a/b/", "a/b/shot.png"}));
  EXPECT_TRUE(noChildren());
}

TEST_F(HelperScreenCaptureTest, DefaultHelperIsTheOneBesideTheRunningExecutable) {
  HelperScreenCapture store = capture(HelperScreenCapture::defaultHelperPath());
  EXPECT_EQ(store.helperPath(),
            std::filesystem::read_symlink("/proc/self/exe").parent_path() / kScreenshotHelperName);
}

TEST_F(HelperScreenCaptureTest, HelperFailureIsNotOkAndPrintsNothing) {
  const std::string noisy = script(dir_, "noisy", "echo out; echo err >&2; echo \"$1\" > \"$0.arg\"; exit 3");
  HelperScreenCapture store = capture(noisy);
  test::CapturedOutput output;
  const ScreenCaptureResult result = store.capturePNG(dir_ / "x/shot.png");
  EXPECT_EQ(output.text(), "");
  EXPECT_EQ(result.path, dir_ / "x/shot.png");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(test::readText(noisy + ".arg"), dir_ / "x/shot.png\n");  // the one argument
  EXPECT_TRUE(noChildren());
}

TEST_F(HelperScreenCaptureTest, HangingHelperIsKilledAtTheLimitWithWhatItStarted) {
  const std::string hang =
      script(dir_, "hang", "touch \"$1.tmp-$$\"; sleep 300 & echo $! > \"$0.child\"; wait");
  HelperScreenCapture store = capture(hang, 300ms);
  const auto began = std::chrono::steady_clock::now();
  const ScreenCaptureResult result = store.capturePNG(dir_ / "shot.png");
  const auto took = std::chrono::steady_clock::now() - began;
  EXPECT_FALSE(result.ok);
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 10s);
  EXPECT_TRUE(noChildren());
  // Its half-written temporary file went too.
  EXPECT_EQ(test::listTree(dir_.path()), (std::vector<std::string>{"hang", "hang.child"}));
  // The helper's own child went with it (the kill reaches its process group).
  const pid_t grandchild = std::stoi(test::readText(hang + ".child"));
  // A pidfd becomes readable when the process has ended; no pidfd at all means it is long gone.
  bool gone = true;
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, grandchild, 0));
  if (pidfd >= 0) {
    pollfd p{pidfd, POLLIN, 0};
    gone = ::poll(&p, 1, 5000) == 1;
    ::close(pidfd);
  }
  EXPECT_TRUE(gone);
}

// Every bounded wait (the helper's limit, bus calls, compositor round trips) polls for this many
// milliseconds: a part of a millisecond left must count as a whole one, or the wait ends early.
TEST(WaitLimits, TheMillisecondsLeftAreRoundedUpAndNeverNegative) {
  using namespace std::chrono;
  const steady_clock::time_point now{};
  const struct {
    nanoseconds left;
    int cap;
    int expected;
  } cases[] = {
      {microseconds(299980), 1 << 30, 300},  // was 299: the helper was killed at 299.98 ms
      {nanoseconds(1), 1 << 30, 1},         {milliseconds(300), 1 << 30, 300},  {nanoseconds(0), 1 << 30, 0},
      {milliseconds(-5), 1 << 30, 0},       {hours(24 * 30), 1 << 30, 1 << 30},  // capped, not overflowed
      {seconds(10), 60000, 10000},          {hours(1), 60000, 60000},
  };
  for (const auto& c : cases)
    EXPECT_EQ(millisBetween(now, now + c.left, c.cap), c.expected) << c.left.count();
}

TEST_F(HelperScreenCaptureTest, UnusableParentOrHelperMeansNotOkAndNothingRun) {
  const std::string marker = dir_ / "ran";
  HelperScreenCapture store = capture(script(dir_, "touch", "touch " + marker));
  test::writeText(dir_ / "file", "x");
  EXPECT_FALSE(store.capturePNG(dir_ / "file/shot.png").ok);
  fs_.addFault({test::FsOp::CreateDirectories, "denied", 0, EACCES, std::nullopt});
  EXPECT_FALSE(store.capturePNG(dir_ / "denied/shot.png").ok);
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_TRUE(store.capturePNG(dir_ / "fine/shot.png").ok);
  EXPECT_TRUE(std::filesystem::exists(marker));

  HelperScreenCapture missing = capture(dir_ / "no-such-helper");
  EXPECT_FALSE(missing.canCaptureScreen());
  EXPECT_FALSE(missing.capturePNG(dir_ / "shot.png").ok);
  test::writeText(dir_ / "not-executable", "#!/bin/sh\n");
  HelperScreenCapture plain = capture(dir_ / "not-executable");
  EXPECT_FALSE(plain.canCaptureScreen());
  EXPECT_FALSE(plain.capturePNG(dir_ / "shot.png").ok);
  EXPECT_TRUE(noChildren());
}

TEST_F(HelperScreenCaptureTest, WithoutDisplayNothingIsCapturedAndNoFileLeft) {
  ::setenv("DISPLAY", ":65001", 1);
  HelperScreenCapture store = capture(helperPath());
  EXPECT_FALSE(store.canCaptureScreen());
  EXPECT_FALSE(store.capturePNG(dir_ / "shot.png").ok);
  EXPECT_EQ(test::listTree(dir_.path()), std::vector<std::string>{});
}

TEST(ScreenshotHelper, WrongUsageExitsTwoSilently) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {""}, {"a.png", "b.png"}, {"--wayland", ""}, {"-x", "a.png"}}) {
    std::vector<std::string> argv = {helperPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    // The helper's streams are on /dev/null here; silence is checked through the store above.
    const int status = test::runQuietly(argv);
    ASSERT_NE(status, -1) << "the helper did not start";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2) << args.size();
  }
}

}  // namespace
}  // namespace diruri
