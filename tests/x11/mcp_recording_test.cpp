// Recording and replay through the real executable on a private X server: input made by an
// independent tool is logged line by line, a replay is witnessed by an independent observer, and a
// display that dies mid-recording leaves a server that still answers and a session that still closes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/child_process.hpp"
#include "tests/support/file_tree.hpp"
#include "tests/support/json_lines.hpp"
#include "tests/support/mcp_process.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/x11_test_display.hpp"

namespace diruri {
namespace {

using namespace std::chrono_literals;
using test::McpProcess;
using test::readText;
using test::TempDir;

std::vector<JsonValue> logLines(const std::string& sessionPath) {
  return test::readJsonLines(sessionPath + "/events.jsonl");
}

bool isInput(const JsonValue& line) {
  const std::string& t = *line.findString("type");
  return t == "mouse_down" || t == "mouse_up" || t == "key_down" || t == "key_up" || t == "scroll";
}

// Waits (bounded) until the log holds n input lines; the capture thread logs asynchronously.
std::vector<JsonValue> waitForInputLines(const std::string& sessionPath, size_t n) {
  std::vector<JsonValue> input;
  test::waitForFiles(
      sessionPath,
      [&] {
        input.clear();
        for (JsonValue& line : logLines(sessionPath)) {
          if (isInput(line)) input.push_back(std::move(line));
        }
        return input.size() >= n;
      },
      std::chrono::steady_clock::now() + 20s);
  return input;
}

// xdotool, an input source independent of this code; exit status 0 expected.
void xdotool(std::vector<std::string> args) {
  args.insert(args.begin(), "xdotool");
  ASSERT_EQ(test::runQuietly(args), 0) << args[1];
}

std::pair<int, int> pngSize(const std::string& path) {
  const std::string png = readText(path);
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");
  const auto be32 = [&](size_t at) {
    return (static_cast<unsigned char>(png[at]) << 24) | (static_cast<unsigned char>(png[at + 1]) << 16) |
           (static_cast<unsigned char>(png[at + 2]) << 8) | static_cast<unsigned char>(png[at + 3]);
  };
  return {be32(16), be32(20)};
}

class McpOnX11 : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string failure = xvfb.start();
    ASSERT_EQ(failure, "");
    client.emplace(xvfb.display());
    window = client->createWindow(test::WindowProps{}
                                      .withClass("notes", "Notes")
                                      .withNetWmName("Shop / Notes")
                                      .withPid(static_cast<uint32_t>(::getpid())));
    client->focus(window);
    server.emplace(DIRURI_EXECUTABLE,
                   std::map<std::string, std::optional<std::string>>{{"DISPLAY", xvfb.display()}});
  }
  void TearDown() override {
    if (server) {
      EXPECT_EQ(server->finish(), "");
    }
  }

  // Records a click at (300, 200), Shift+a and one wheel step up and down, then stops.
  std::string recordSession() {
    const JsonValue started =
        server->callTool("event_stream_start", {{"workspacePath", dir.path()}, {"sessionName", "Shop"}});
    EXPECT_EQ(started.find("inputCaptureActive")->asBool(), true);
    EXPECT_EQ(started.find("startScreenshotOk")->asBool(), true);
    const std::string sessionPath = *started.findString("sessionPath");
    xdotool({"mousemove", "300", "200", "click", "1"});
    xdotool({"key", "shift+a"});
    xdotool({"click", "4"});
    xdotool({"click", "5"});
    waitForInputLines(sessionPath, 8);
    EXPECT_EQ(*server->callTool("event_stream_stop").findString("status"), "stopped");
    return sessionPath;
  }

  TempDir dir;
  test::XvfbServer xvfb;
  std::optional<test::TestClient> client;
  xcb_window_t window = 0;
  std::optional<McpProcess> server;
};

TEST_F(McpOnX11, RecordsClicksShiftedKeysAndScrollsWithTheFrontApplication) {
  const std::string sessionPath = recordSession();
  const int shift = client->keycodeFor(0xffe1);  // Shift_L
  const int a = client->keycodeFor('a');
  const std::vector<JsonValue> lines = logLines(sessionPath);
  std::vector<std::string> seen;
  for (const JsonValue& line : lines) {
    std::string text = *line.findString("id") + " " + *line.findString("type");
    const JsonValue& payload = *line.find("payload");
    for (const char* key : {"x", "y", "keyCode", "scrollY"}) {
      if (const JsonValue* v = payload.find(key)) text += std::string(" ") + key + "=" + writeJson(*v);
    }
    if (text.rfind("evt_", 0) != 0) text = text.substr(text.find(' ') + 1);
    seen.push_back(text);
    if (isInput(line)) {
      EXPECT_EQ(writeJson(*payload.find("app")), R"({"appName":"Notes","bundleId":"Notes","processId":)" +
                                                     std::to_string(::getpid()) +
                                                     R"(,"windowTitle":"Shop \/ Notes"})");
    }
  }
  const std::string k = " keyCode=";
  EXPECT_EQ(
      seen,
      (std::vector<std::string>{
          "session_started", "evt_000001 screenshot_captured", "evt_000002 ax_snapshot",
          "evt_000003 mouse_down x=300 y=200", "evt_000004 mouse_up x=300 y=200",
          "evt_000005 key_down" + k + std::to_string(shift), "evt_000006 key_down" + k + std::to_string(a),
          // xdotool lets go of the modifier first.
          "evt_000007 key_up" + k + std::to_string(shift), "evt_000008 key_up" + k + std::to_string(a),
          "evt_000009 scroll scrollY=1", "evt_000010 scroll scrollY=-1", "evt_000011 screenshot_captured",
          "evt_000012 ax_snapshot", "session_stopped"}));
  EXPECT_EQ(pngSize(sessionPath + "/screenshots/start-1.png"), std::make_pair(1920, 1080));
  EXPECT_EQ(pngSize(sessionPath + "/screenshots/stop-11.png"), std::make_pair(1920, 1080));
  const JsonValue snapshot = parseJson(readText(sessionPath + "/ax-snapshots/start-2.json"));
  EXPECT_EQ(*snapshot.find("app")->findString("appName"), "Notes");
}

TEST_F(McpOnX11, ReplayPostsTheRecordedEventsInOrderAsAnObserverSeesThem) {
  const std::string sessionPath = recordSession();
  const std::string sessionId = sessionPath.substr(sessionPath.rfind('/') + 1);
  test::writeText(dir / ".zeruva/skills/shop/references/recording.json",
                  R"({"sessionId":")" + sessionId + R"("})");

  test::RawRecordObserver observer;
  ASSERT_TRUE(observer.start(xvfb.display()));
  const JsonValue replayed =
      server->callTool("replay_skill", {{"workspacePath", dir.path()}, {"skillId", "shop"}});
  ASSERT_EQ(*replayed.findString("status"), "success") << writeJson(replayed);
  const auto events = observer.waitFor(10);
  const int shift = client->keycodeFor(0xffe1);
  const int a = client->keycodeFor('a');
  const std::vector<test::RawEvent> expected = {
      {XCB_BUTTON_PRESS, 1, 300, 200}, {XCB_BUTTON_RELEASE, 1, 300, 200}, {XCB_KEY_PRESS, shift, 0, 0},
      {XCB_KEY_PRESS, a, 0, 0},        {XCB_KEY_RELEASE, shift, 0, 0},    {XCB_KEY_RELEASE, a, 0, 0},
      {XCB_BUTTON_PRESS, 4, 0, 0},     {XCB_BUTTON_RELEASE, 4, 0, 0},     {XCB_BUTTON_PRESS, 5, 0, 0},
      {XCB_BUTTON_RELEASE, 5, 0, 0}};
  ASSERT_EQ(events.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(events[i].type, expected[i].type) << i;
    EXPECT_EQ(events[i].detail, expected[i].detail) << i;
    if (expected[i].detail == 1) {
      EXPECT_EQ(events[i].rootX, 300) << i;
      EXPECT_EQ(events[i].rootY, 200) << i;
    }
  }
  const JsonValue run = parseJson(readText(*replayed.findString("runPath") + "/run.json"));
  EXPECT_EQ(run.find("steps")->asArray().size(), 8u);
  EXPECT_EQ(run.find("screenshots")->asArray().size(), 2u);
}

TEST_F(McpOnX11, DisplayDyingDuringARecordingLeavesAServerThatAnswersAndASessionThatCloses) {
  const JsonValue started = server->callTool("event_stream_start", {{"workspacePath", dir.path()}});
  ASSERT_EQ(started.find("inputCaptureActive")->asBool(), true);
  const std::string sessionPath = *started.findString("sessionPath");
  xvfb.kill();

  bool capturing = true;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (capturing && std::chrono::steady_clock::now() < deadline) {
    const JsonValue status = server->callTool("event_stream_status");
    ASSERT_EQ(*status.findString("status"), "recording");
    capturing = status.find("inputCaptureActive")->asBool();  // each ask is a round trip to the server
  }
  EXPECT_FALSE(capturing);
  EXPECT_FALSE(server->callTool("permission_status").find("inputCaptureActive")->asBool());

  const JsonValue stopped = server->callTool("event_stream_stop");
  EXPECT_EQ(*stopped.findString("status"), "stopped");
  std::vector<std::string> types;
  for (const JsonValue& line : logLines(sessionPath)) types.push_back(*line.findString("type"));
  EXPECT_EQ(std::count(types.begin(), types.end(), "user_marker"), 1);
  EXPECT_EQ(types.back(), "session_stopped");
  EXPECT_EQ(*parseJson(readText(sessionPath + "/session.json")).findString("status"), "stopped");
}

}  // namespace
}  // namespace diruri
