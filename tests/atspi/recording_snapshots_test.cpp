// The snapshot files of a recording made through the real executable: with a GTK application in
// front on an accessible desktop, and on a display without any accessibility bus.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "core/atspi/accessibility_inspector.hpp"
#include "core/json/json_value.hpp"
#include "core/platform/clock.hpp"
#include "core/platform/file_system.hpp"
#include "tests/atspi/atspi_test_support.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/process_runner.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tool_calls.hpp"

namespace diruri {
namespace {

using namespace std::chrono_literals;

// Starts a recording in `dir`/ws and stops it at once; returns the session directory.
std::string recordAndStop(const test::TempDir& dir, test::ProcessOptions options, std::string& err) {
  options.args = {"mcp"};
  options.workingDirectory = dir.path();
  options.stdinData =
      test::toolCallLine("event_stream_start", {{"workspacePath", "ws"}, {"sessionName", "Probe"}}, 1) +
      "\n" + test::toolCallLine("event_stream_stop", {}, 2) + "\n";
  const test::ProcessResult r = test::runProcess(DIRURI_EXECUTABLE, options);
  EXPECT_TRUE(r.exited && r.exitStatus == 0) << "signal " << r.signal;
  err = r.err;
  const size_t lines = static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n'));
  EXPECT_EQ(lines, 2u) << r.out;
  const std::optional<JsonValue> payload = test::toolPayload(r.out.substr(0, r.out.find('\n')));
  const std::string* path = payload ? payload->findString("sessionPath") : nullptr;
  return path ? *path : std::string();
}

// The stop snapshot's file: its number is the log's next event id, which depends on what was captured.
std::string stopSnapshotPath(const std::string& session) {
  for (const auto& entry : std::filesystem::directory_iterator(session + "/ax-snapshots")) {
    if (entry.path().filename().string().rfind("stop-", 0) == 0) return entry.path().string();
  }
  return {};
}

TEST(RecordingSnapshots, BothSnapshotsOfARecordingCarryTheFrontApplicationsRoles) {
  ASSERT_EQ(test::startSharedDesktop(), "");
  test::FixtureApp app;
  ASSERT_EQ(app.start("Focus Probe"), "");
  ASSERT_TRUE(test::registeredSnapshot(app.pid()).has_value());

  test::TempDir dir;
  std::string err;
  const std::string session = recordAndStop(dir, {}, err);
  ASSERT_FALSE(session.empty());
  EXPECT_EQ(err, "");
  const std::string stopPath = stopSnapshotPath(session);
  ASSERT_FALSE(stopPath.empty());
  for (const std::string& path : {session + "/ax-snapshots/start-2.json", stopPath}) {
    const JsonValue snapshot = parseJson(test::readText(path));
    EXPECT_EQ(*snapshot.find("app")->find("processId"), JsonValue(static_cast<int>(app.pid()))) << path;
    EXPECT_EQ(*snapshot.findString("focusedWindowRole"), "frame") << path;
    EXPECT_EQ(*snapshot.findString("focusedElementRole"), "text") << path;
    EXPECT_EQ(*snapshot.findString("focusedElementTitle"), "Query") << path;
  }
}

// Without a session bus, libdbus would autolaunch one (and the accessibility bus with it) for a
// program that asks; this process is the reaper of anything the server leaves behind, so a daemon
// started that way would show up here as a new child.
TEST(RecordingSnapshots, WithoutAnyAccessibilityBusTheSnapshotHasAppAndTimeAndNothingIsStarted) {
  ASSERT_EQ(::access("/usr/bin/dbus-launch", X_OK), 0)
      << "autolaunching must be possible for this to show anything";
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  const char* previous = std::getenv("DISPLAY");
  const std::string previousDisplay = previous ? previous : "";
  test::XvfbServer x;
  ASSERT_EQ(x.start(), "");
  if (previous) ::setenv("DISPLAY", previousDisplay.c_str(), 1);  // a shared desktop may still be in use
  test::TestClient client(x.display());
  const xcb_window_t window = client.createWindow(
      test::WindowProps().withClass("plain", "Plain").withNetWmName("No bus").withPid(4242));
  client.focus(window);

  test::TempDir dir;
  test::TempDir emptyRuntime;
  test::ProcessOptions options;
  options.environment["DISPLAY"] = x.display();
  options.environment["DBUS_SESSION_BUS_ADDRESS"] = std::nullopt;
  options.environment["AT_SPI_BUS_ADDRESS"] = std::nullopt;
  options.environment["WAYLAND_DISPLAY"] = std::nullopt;
  options.environment["XDG_RUNTIME_DIR"] = emptyRuntime.path();
  std::vector<pid_t> before = test::childrenOf(::getpid());
  std::string err;
  const std::string session = recordAndStop(dir, options, err);
  std::vector<pid_t> after = test::childrenOf(::getpid());
  std::sort(before.begin(), before.end());
  std::sort(after.begin(), after.end());
  EXPECT_EQ(after, before) << "a bus or daemon was started";
  for (pid_t stray : after) {
    if (!std::binary_search(before.begin(), before.end(), stray)) test::reap(stray, SIGKILL);
  }

  ASSERT_FALSE(session.empty());
  EXPECT_EQ(err, "");
  const JsonValue snapshot = parseJson(test::readText(session + "/ax-snapshots/start-2.json"));
  EXPECT_EQ(snapshot.asObject().size(), 2u) << test::readText(session + "/ax-snapshots/start-2.json");
  EXPECT_EQ(
      *snapshot.find("app"),
      JsonValue(JsonObject{
          {"appName", "Plain"}, {"bundleId", "Plain"}, {"processId", 4242}, {"windowTitle", "No bus"}}));
  EXPECT_NE(snapshot.findString("capturedAt"), nullptr);
}

}  // namespace
}  // namespace diruri
