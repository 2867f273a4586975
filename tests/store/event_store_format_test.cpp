// The exact texts the store writes: session.json, the log's lines and summary.json.
#include "tests/store/store_fixture.hpp"

namespace diruri::test {
namespace {

constexpr const char* kId = "checkout-flow-20250131123456789";

ForegroundAppSnapshot editor(std::optional<std::string> title = "Untitled") {
  return ForegroundAppSnapshot{std::nullopt, "Editor", 812, std::move(title)};
}

TEST_F(StoreTest, CreatedSessionWritesMetadataAndFirstLineExactly) {
  const RecordingSession s = checkoutFlow();

  EXPECT_EQ(s.sessionId, kId);
  EXPECT_EQ(s.workspaceId, "shop-app");
  EXPECT_EQ(s.workspacePath, workspace());
  EXPECT_EQ(s.sessionPath, workspace() + "/.zeruva/record-and-replay/sessions/" + kId);
  EXPECT_EQ(s.startedAt, "2025-01-31T12:34:56Z");
  EXPECT_FALSE(s.stoppedAt);

  EXPECT_EQ(readText(metadataPath(s)),
            "{\n"
            "  \"eventsPath\" : \"events.jsonl\",\n"
            "  \"helperVersion\" : \"0.1.0\",\n"
            "  \"metadataVersion\" : 1,\n"
            "  \"platform\" : \"linux\",\n"
            "  \"sessionId\" : \"checkout-flow-20250131123456789\",\n"
            "  \"startedAt\" : \"2025-01-31T12:34:56Z\",\n"
            "  \"status\" : \"recording\",\n"
            "  \"workspaceId\" : \"shop-app\"\n"
            "}");
  EXPECT_EQ(readText(logPath(s)),
            "{\"id\":\"checkout-flow-20250131123456789-session_started\",\"monotonicMs\":86400123,"
            "\"payload\":{\"sessionId\":\"checkout-flow-20250131123456789\"},"
            "\"ts\":\"2025-01-31T12:34:56Z\",\"type\":\"session_started\"}\n");
  EXPECT_EQ(listTree(s.sessionPath),
            (std::vector<std::string>{"ax-snapshots/", "events.jsonl", "screenshots/", "session.json"}));
}

TEST_F(StoreTest, StartedAtComesFromItsOwnClockReadingNotFromTheIdentifier) {
  clock.setWallMillis(kCheckoutFlowMillis + 210);  // the two readings fall into different seconds
  clock.setWallStepPerRead(1000);
  const RecordingSession s = checkoutFlow();
  EXPECT_EQ(s.sessionId, "checkout-flow-20250131123456999");
  EXPECT_EQ(s.startedAt, "2025-01-31T12:34:57Z");
  EXPECT_NE(readText(logPath(s)).find("\"ts\":\"2025-01-31T12:34:57Z\""), std::string::npos);
}

struct LineCase {
  const char* name;
  RecordingEvent event;
  const char* line;
};

TEST_F(StoreTest, LinesAreCompactSortedAndEscaped) {
  const RecordingSession s = checkoutFlow();
  const auto event = [&](const char* id, const char* type, const char* ts, int64_t mono) {
    RecordingEvent e = inputEvent(s, id, type);
    e.ts = ts;
    e.monotonicMs = mono;
    return e;
  };
  std::vector<LineCase> cases;
  {
    RecordingEvent e = event("evt_000001", "screenshot_captured", "2025-01-31T12:34:56Z", 86400410);
    e.payload.screenshotOk = true;
    e.payload.screenshotPath =
        "/Users/me/shop-app/.zeruva/record-and-replay/sessions/checkout-flow-20250131123456789/screenshots/"
        "start-1.png";
    cases.push_back(
        {"screenshot", e,
         "{\"id\":\"evt_000001\",\"monotonicMs\":86400410,\"payload\":{\"screenshotOk\":true,"
         "\"screenshotPath\":\"\\/Users\\/me\\/shop-app\\/.zeruva\\/record-and-replay\\/sessions\\/"
         "checkout-flow-20250131123456789\\/screenshots\\/start-1.png\","
         "\"sessionId\":\"checkout-flow-20250131123456789\"},\"ts\":\"2025-01-31T12:34:56Z\","
         "\"type\":\"screenshot_captured\"}"});
  }
  {
    RecordingEvent e = event("evt_000003", "mouse_down", "2025-01-31T12:34:58Z", 86402007);
    e.payload.app = editor();
    e.payload.x = 640.5;
    e.payload.y = 412.0;
    cases.push_back({"mouse with app", e,
                     "{\"id\":\"evt_000003\",\"monotonicMs\":86402007,\"payload\":{\"app\":{\"appName\":"
                     "\"Editor\",\"processId\":812,\"windowTitle\":\"Untitled\"},\"sessionId\":"
                     "\"checkout-flow-20250131123456789\",\"x\":640.5,\"y\":412},\"ts\":"
                     "\"2025-01-31T12:34:58Z\",\"type\":\"mouse_down\"}"});
  }
  {
    RecordingEvent e = event("evt_000004", "scroll", "2025-01-31T12:34:59Z", 86403000);
    e.payload.scrollY = 0;
    cases.push_back({"scroll of zero is present", e,
                     "{\"id\":\"evt_000004\",\"monotonicMs\":86403000,\"payload\":{\"scrollY\":0,"
                     "\"sessionId\":\"checkout-flow-20250131123456789\"},\"ts\":\"2025-01-31T12:34:59Z\","
                     "\"type\":\"scroll\"}"});
  }
  {
    RecordingEvent e = event("evt_000008", "mouse_move", "2025-01-31T12:34:59Z", 86403001);
    e.payload.x = 650;
    e.payload.y = 420;
    e.payload.buttons = {1, 3};
    cases.push_back({"a drag's move keeps the buttons held", e,
                     "{\"id\":\"evt_000008\",\"monotonicMs\":86403001,\"payload\":{\"buttons\":[1,3],"
                     "\"sessionId\":\"checkout-flow-20250131123456789\",\"x\":650,\"y\":420},\"ts\":"
                     "\"2025-01-31T12:34:59Z\",\"type\":\"mouse_move\"}"});
  }
  {
    RecordingEvent e = event("evt_000009", "mouse_down", "2025-01-31T12:34:59Z", 86403002);
    e.payload.x = 650;
    e.payload.y = 420;
    e.payload.button = 3;
    e.payload.scrollX = -2;  // no scroll has a button, but every member is written on its own
    cases.push_back({"button and sideways scroll", e,
                     "{\"id\":\"evt_000009\",\"monotonicMs\":86403002,\"payload\":{\"button\":3,"
                     "\"scrollX\":-2,\"sessionId\":\"checkout-flow-20250131123456789\",\"x\":650,\"y\":420},"
                     "\"ts\":\"2025-01-31T12:34:59Z\",\"type\":\"mouse_down\"}"});
  }
  {
    RecordingEvent e = event("evt_000005", "key_down", "2025-01-31T12:35:00Z", 86404000);
    e.payload.keyCode = 38;
    e.payload.app = ForegroundAppSnapshot{"org.example.Editor", "Editor", 812, "Notes\nDraft \"1\"\t\\"};
    cases.push_back(
        {"line feed, quote, tab and backslash in a title", e,
         "{\"id\":\"evt_000005\",\"monotonicMs\":86404000,\"payload\":{\"app\":{\"appName\":"
         "\"Editor\",\"bundleId\":\"org.example.Editor\",\"processId\":812,\"windowTitle\":"
         "\"Notes\\nDraft \\\"1\\\"\\t\\\\\"},\"keyCode\":38,\"sessionId\":"
         "\"checkout-flow-20250131123456789\"},\"ts\":\"2025-01-31T12:35:00Z\",\"type\":\"key_down\"}"});
  }
  {
    RecordingEvent e = event("evt_000006", "ax_snapshot", "2025-01-31T12:35:01Z", 86405000);
    e.payload.axSnapshotPath = "/w/ax-snapshots/start-2.json";
    cases.push_back(
        {"accessibility marker", e,
         "{\"id\":\"evt_000006\",\"monotonicMs\":86405000,\"payload\":{\"axSnapshotPath\":"
         "\"\\/w\\/ax-snapshots\\/start-2.json\",\"sessionId\":\"checkout-flow-20250131123456789\"},"
         "\"ts\":\"2025-01-31T12:35:01Z\",\"type\":\"ax_snapshot\"}"});
  }
  {
    RecordingEvent e = event("evt_000007", "user_marker", "2025-01-31T12:35:02Z", 86406000);
    e.payload.app = ForegroundAppSnapshot{std::nullopt, "Caf\xC3\xA9", 9, std::nullopt};
    cases.push_back({"non-ASCII stays UTF-8, absent title left out", e,
                     "{\"id\":\"evt_000007\",\"monotonicMs\":86406000,\"payload\":{\"app\":{\"appName\":"
                     "\"Caf\xC3\xA9\",\"processId\":9},\"sessionId\":\"checkout-flow-20250131123456789\"},"
                     "\"ts\":\"2025-01-31T12:35:02Z\",\"type\":\"user_marker\"}"});
  }

  std::string expected = readText(logPath(s));
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    store.appendEvent(c.event, s);
    expected += std::string(c.line) + "\n";
    EXPECT_EQ(readText(logPath(s)), expected);
  }
  // Every line reads back as the object it was written from, "/" and "\n" unescaped.
  const std::vector<JsonObject> read = store.readEventObjects(s);
  ASSERT_EQ(read.size(), cases.size() + 1);
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(JsonValue(read[i + 1]), cases[i].event.toJson()) << cases[i].name;
}

TEST_F(StoreTest, StopRewritesMetadataAndWritesSummaryExactly) {
  const RecordingSession s = checkoutFlow();
  RecordingEvent down = inputEvent(s, "evt_000003", "mouse_down");
  down.payload.app = editor("Docs/Draft");
  down.payload.x = 640.5;
  down.payload.y = 412.0;
  RecordingEvent up = down;
  up.id = "evt_000004";
  up.type = "mouse_up";
  RecordingEvent key = inputEvent(s, "evt_000005", "key_down");
  key.payload.keyCode = 38;
  key.payload.app = ForegroundAppSnapshot{std::nullopt, "Browser", 900, "Shop"};
  RecordingEvent keyUp = key;
  keyUp.id = "evt_000006";
  keyUp.type = "key_up";
  for (const RecordingEvent* e : {&down, &up, &key, &keyUp}) store.appendEvent(*e, s);

  clock.setWallMillis(1738327201005);  // 2025-01-31T12:40:01.005Z
  clock.setUptimeMillis(86705000);
  const auto [stopped, path] = store.stopSession(s);

  EXPECT_EQ(stopped.stoppedAt, "2025-01-31T12:40:01Z");
  EXPECT_EQ(path, s.sessionPath + "/summary.json");
  EXPECT_EQ(readText(metadataPath(s)),
            "{\n"
            "  \"eventsPath\" : \"events.jsonl\",\n"
            "  \"helperVersion\" : \"0.1.0\",\n"
            "  \"metadataVersion\" : 1,\n"
            "  \"platform\" : \"linux\",\n"
            "  \"sessionId\" : \"checkout-flow-20250131123456789\",\n"
            "  \"startedAt\" : \"2025-01-31T12:34:56Z\",\n"
            "  \"status\" : \"stopped\",\n"
            "  \"stoppedAt\" : \"2025-01-31T12:40:01Z\",\n"
            "  \"workspaceId\" : \"shop-app\"\n"
            "}");
  const std::string log = readText(logPath(s));
  const std::string lastLine =
      "{\"id\":\"checkout-flow-20250131123456789-session_stopped\",\"monotonicMs\":86705000,"
      "\"payload\":{\"sessionId\":\"checkout-flow-20250131123456789\"},"
      "\"ts\":\"2025-01-31T12:40:01Z\",\"type\":\"session_stopped\"}\n";
  ASSERT_GE(log.size(), lastLine.size());
  EXPECT_EQ(log.substr(log.size() - lastLine.size()), lastLine);

  EXPECT_EQ(readText(path),
            "{\n"
            "  \"apps\" : [\n"
            "    \"Editor\",\n"
            "    \"Browser\"\n"
            "  ],\n"
            "  \"recommendedSkillId\" : \"editor\",\n"
            "  \"sensitiveHints\" : [],\n"
            "  \"sessionId\" : \"checkout-flow-20250131123456789\",\n"
            "  \"steps\" : [\n"
            "    {\n"
            "      \"evidenceEventIds\" : [\n"
            "        \"evt_000003\"\n"
            "      ],\n"
            "      \"index\" : 0,\n"
            "      \"intent\" : \"Replay mouse_down.\"\n"
            "    },\n"
            "    {\n"
            "      \"evidenceEventIds\" : [\n"
            "        \"evt_000004\"\n"
            "      ],\n"
            "      \"index\" : 1,\n"
            "      \"intent\" : \"Replay mouse_up.\"\n"
            "    },\n"
            "    {\n"
            "      \"evidenceEventIds\" : [\n"
            "        \"evt_000005\"\n"
            "      ],\n"
            "      \"index\" : 2,\n"
            "      \"intent\" : \"Replay key_down.\"\n"
            "    },\n"
            "    {\n"
            "      \"evidenceEventIds\" : [\n"
            "        \"evt_000006\"\n"
            "      ],\n"
            "      \"index\" : 3,\n"
            "      \"intent\" : \"Replay key_up.\"\n"
            "    }\n"
            "  ],\n"
            "  \"windows\" : [\n"
            "    \"Docs\\/Draft\",\n"
            "    \"Shop\"\n"
            "  ]\n"
            "}");
}

TEST_F(StoreTest, SessionWithoutInputGetsTheFallbackSummary) {
  const RecordingSession s = checkoutFlow();
  RecordingEvent marker = inputEvent(s, "evt_000001", "user_marker");
  store.appendEvent(marker, s);
  const auto [stopped, path] = store.stopSession(s);
  EXPECT_EQ(readText(path),
            "{\n"
            "  \"apps\" : [],\n"
            "  \"recommendedSkillId\" : \"\",\n"
            "  \"sensitiveHints\" : [],\n"
            "  \"sessionId\" : \"checkout-flow-20250131123456789\",\n"
            "  \"steps\" : [\n"
            "    {\n"
            "      \"evidenceEventIds\" : [\n"
            "        \"checkout-flow-20250131123456789-session_started\",\n"
            "        \"checkout-flow-20250131123456789-session_stopped\"\n"
            "      ],\n"
            "      \"index\" : 0,\n"
            "      \"intent\" : \"Recorded native interaction session.\"\n"
            "    }\n"
            "  ],\n"
            "  \"windows\" : []\n"
            "}");
}

}  // namespace
}  // namespace diruri::test
