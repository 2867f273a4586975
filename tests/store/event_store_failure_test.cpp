// Every failure the store names, driven through the fault-injecting file system: what is thrown,
// what is left on disk, and that nothing partial or stray is left.
#include <cmath>
#include <limits>

#include "tests/store/store_fixture.hpp"
#include "tests/support/real_file_system.hpp"

namespace diruri::test {
namespace {

std::string sessionsOf(const std::string& workspace) {
  return workspace + "/.zeruva/record-and-replay/sessions";
}

// A snapshot file: pretty JSON that reads back, in folders made for it; a failure reaches the
// caller and leaves nothing.
TEST_F(StoreTest, SnapshotsAreWrittenPrettyAndFailuresLeaveNothing) {
  const AccessibilitySnapshot snapshot{
      {"Files", "Files", 77, "a/b"}, "frame", {}, {}, "2026-01-01T00:00:00Z"};
  const std::string path = temp.path() + "/deep/er/snapshot.json";
  store.writeSnapshot(snapshot, path);
  const std::string text = readText(path);
  EXPECT_EQ(text, writeJson(snapshot.toJson(), JsonLayout::Pretty));
  EXPECT_NE(text.find("a\\/b"), std::string::npos);
  EXPECT_EQ(AccessibilitySnapshot::fromJson(parseJson(text)), snapshot);

  const std::string failing = temp.path() + "/sub/s.json";
  fs.addFault({FsOp::CreateDirectories, "sub", 0, EACCES, std::nullopt});
  EXPECT_THROW(store.writeSnapshot(snapshot, failing), FileSystemError);
  EXPECT_EQ(fs.countCalls(FsOp::WriteFileAtomically), 1u);  // the first file's only
  fs.clearFaults();
  fs.addFault({FsOp::WriteFileAtomically, "s.json", 0, ENOSPC, std::nullopt});
  EXPECT_THROW(store.writeSnapshot(snapshot, failing), FileSystemError);
  EXPECT_FALSE(fs.fileExists(failing));
}

TEST_F(StoreTest, CreateSessionFailuresLeaveOnlyWhatWasDoneBefore) {
  const struct {
    const char* name;
    FsFault fault;
    int err;
    std::vector<std::string> left;  // below the session directory, or empty when it was never made
  } cases[] = {
      {"screenshots cannot be created", {FsOp::CreateDirectories, "/screenshots", 0, EACCES}, EACCES, {}},
      {"ax-snapshots cannot be created",
       {FsOp::CreateDirectories, "/ax-snapshots", 0, ENOSPC},
       ENOSPC,
       {"screenshots/"}},
      {"session.json cannot be written",
       {FsOp::WriteFileAtomically, "session.json", 0, EROFS},
       EROFS,
       {"ax-snapshots/", "screenshots/"}},
      {"first event cannot be written",
       {FsOp::WriteFileAtomically, "events.jsonl", 0, EDQUOT},
       EDQUOT,
       {"ax-snapshots/", "screenshots/", "session.json"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string ws = temp.path() + "/ws" + std::to_string(n++);
    fs.clearFaults();
    fs.addFault(c.fault);
    try {
      store.createSession(ws, "Checkout Flow");
      ADD_FAILURE() << "createSession succeeded";
    } catch (const FileSystemError& e) {
      EXPECT_EQ(e.code().value(), c.err);
    }
    const std::string dir = sessionsOf(ws) + "/checkout-flow-20250131123456789";
    if (c.left.empty()) {
      EXPECT_FALSE(test::realFileSystem().fileExists(ws));
    } else {
      EXPECT_EQ(listTree(dir), c.left);
    }
    if (test::realFileSystem().fileExists(dir + "/session.json")) {
      EXPECT_NE(readText(dir + "/session.json").find("\"status\" : \"recording\""), std::string::npos);
    }
  }
}

TEST_F(StoreTest, AppendFailuresThrowAndLeaveTheLogAsTheFailedStepLeftIt) {
  const RecordingSession s = checkoutFlow();
  const std::string before = readText(logPath(s));
  RecordingEvent event = inputEvent(s, "evt_000001", "mouse_down");
  event.payload.x = 1;
  event.payload.y = 2;
  const std::string line = writeJson(event.toJson()) + "\n";

  const struct {
    const char* name;
    FsFault fault;
    std::string logAfter;
  } cases[] = {
      {"open fails", {FsOp::AppendToFile, "events.jsonl", 0, EACCES}, before},
      {"write stops part-way",
       {FsOp::AppendToFile, "events.jsonl", 0, ENOSPC, 40},
       before + line.substr(0, 40)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeText(logPath(s), before);
    fs.clearFaults();
    fs.addFault(c.fault);
    try {
      store.appendEvent(event, s);
      ADD_FAILURE() << "appendEvent succeeded";
    } catch (const FileSystemError& e) {
      EXPECT_EQ(e.code().value(), c.fault.err);
      EXPECT_EQ(e.path(), logPath(s));
    }
    EXPECT_EQ(readText(logPath(s)), c.logAfter);
    EXPECT_EQ(listTree(s.sessionPath),
              (std::vector<std::string>{"ax-snapshots/", "events.jsonl", "screenshots/", "session.json"}));
  }
}

TEST_F(StoreTest, UnencodableEventsWriteNothing) {
  const RecordingSession s = checkoutFlow();
  const std::string before = readText(logPath(s));
  const size_t appendsBefore = fs.countCalls(FsOp::AppendToFile);
  const auto withX = [&](double x) {
    RecordingEvent e = inputEvent(s, "evt_000001", "mouse_down");
    e.payload.x = x;
    e.payload.y = 3;
    return e;
  };
  for (const double x : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                         -std::numeric_limits<double>::infinity()}) {
    EXPECT_THROW(store.appendEvent(withX(x), s), JsonEncodeError) << x;
  }
  // Text that is not UTF-8 anywhere in the line: the store's own error.
  RecordingEvent badTitle = inputEvent(s, "evt_000002", "key_down");
  badTitle.payload.app = ForegroundAppSnapshot{std::nullopt, "Editor", 1, std::string("Draft \xC3(")};
  RecordingEvent badPath = inputEvent(s, "evt_000003", "screenshot_captured");
  badPath.payload.screenshotPath = "/tmp/\xFF.png";
  RecordingEvent badType = inputEvent(s, "evt_000004", "\xED\xA0\x80");  // an encoded surrogate
  for (const RecordingEvent* e : {&badTitle, &badPath, &badType}) {
    try {
      store.appendEvent(*e, s);
      ADD_FAILURE() << e->id << " was written";
    } catch (const EventStoreError& error) {
      EXPECT_EQ(error.code(), EventStoreError::Code::encodingFailed);
    }
  }
  // A bad number wins over bad text, as the encoder fails before the text is looked at.
  RecordingEvent both = withX(std::nan(""));
  both.payload.screenshotPath = "\xFF";
  EXPECT_THROW(store.appendEvent(both, s), JsonEncodeError);

  EXPECT_EQ(readText(logPath(s)), before);
  EXPECT_EQ(fs.countCalls(FsOp::AppendToFile), appendsBefore);
  EXPECT_EQ(fs.countCalls(FsOp::WriteFileAtomically), 2u);  // session.json and the first line only
}

TEST_F(StoreTest, AppendNeverCreatesAMissingSessionDirectory) {
  const RecordingSession s = checkoutFlow();
  std::filesystem::remove_all(s.sessionPath);
  try {
    store.appendEvent(inputEvent(s, "evt_000001", "user_marker"), s);
    FAIL() << "appended into a directory that is gone";
  } catch (const FileSystemError& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
  }
  EXPECT_FALSE(test::realFileSystem().fileExists(s.sessionPath));
  EXPECT_EQ(listTree(sessionsOf(workspace())), std::vector<std::string>{});
}

TEST_F(StoreTest, StopFailuresKeepTheStepsAlreadyDoneAndTheCallersSession) {
  const struct {
    const char* name;
    FsFault fault;
    bool logEndsStopped;
    bool metadataStopped;
  } cases[] = {
      {"session_stopped cannot be appended", {FsOp::AppendToFile, "events.jsonl", 0, EIO}, false, false},
      {"session.json cannot be written", {FsOp::WriteFileAtomically, "session.json", 0, ENOSPC}, true, false},
      {"summary.json cannot be written", {FsOp::WriteFileAtomically, "summary.json", 0, EROFS}, true, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs.clearFaults();
    const RecordingSession s =
        store.createSession(temp.path() + "/ws" + std::to_string(n++), "Checkout Flow");
    const RecordingSession copy = s;
    const std::string metadataBefore = readText(metadataPath(s));
    clock.advance(5000);
    fs.addFault(c.fault);
    try {
      store.stopSession(s);
      ADD_FAILURE() << "stopSession succeeded";
    } catch (const FileSystemError& e) {
      EXPECT_EQ(e.code().value(), c.fault.err);
    }
    EXPECT_EQ(s, copy);
    const std::vector<JsonObject> lines = store.readEventObjects(s);
    EXPECT_EQ(lines.back().at("type"), JsonValue(c.logEndsStopped ? "session_stopped" : "session_started"));
    const std::string metadata = readText(metadataPath(s));
    if (c.metadataStopped) {
      EXPECT_NE(metadata.find("\"status\" : \"stopped\""), std::string::npos);
    } else {
      EXPECT_EQ(metadata, metadataBefore);
    }
    EXPECT_FALSE(test::realFileSystem().fileExists(summaryPath(s)));
    EXPECT_EQ(listTree(s.sessionPath),
              (std::vector<std::string>{"ax-snapshots/", "events.jsonl", "screenshots/", "session.json"}));

    // With the fault gone the same stop goes through every step again.
    fs.clearFaults();
    const auto [stopped, path] = store.stopSession(s);
    EXPECT_TRUE(test::realFileSystem().fileExists(path));
  }
}

TEST_F(StoreTest, MetadataThatWouldNotBeUtf8FailsTheStopAfterItsLogLine) {
  RecordingSession s = checkoutFlow();
  s.workspaceId = "shop\xC0\xAF";  // an overlong "/"
  const std::string metadataBefore = readText(metadataPath(s));
  try {
    store.stopSession(s);
    FAIL() << "stopSession succeeded";
  } catch (const EventStoreError& e) {
    EXPECT_EQ(e.code(), EventStoreError::Code::encodingFailed);
  }
  EXPECT_EQ(store.readEventObjects(s).back().at("type"), JsonValue("session_stopped"));
  EXPECT_EQ(readText(metadataPath(s)), metadataBefore);
  EXPECT_FALSE(test::realFileSystem().fileExists(summaryPath(s)));
}

TEST_F(StoreTest, UnreadableLogAtStopGivesTheSummaryOfAnEmptySession) {
  const RecordingSession s = checkoutFlow();
  RecordingEvent click = inputEvent(s, "evt_000001", "mouse_down");
  click.payload.app = ForegroundAppSnapshot{std::nullopt, "Editor", 1, "Untitled"};
  store.appendEvent(click, s);
  fs.addFault({FsOp::ReadFile, "events.jsonl", 0, EIO});
  const auto [stopped, path] = store.stopSession(s);
  const JsonValue summary = parseJson(readText(path));
  EXPECT_EQ(*summary.find("apps"), JsonValue(JsonArray{}));
  EXPECT_EQ(*summary.find("windows"), JsonValue(JsonArray{}));
  EXPECT_EQ(*summary.find("recommendedSkillId"), JsonValue(""));
  ASSERT_EQ(summary.find("steps")->asArray().size(), 1u);
  EXPECT_EQ(*summary.find("steps")->asArray()[0].find("intent"),
            JsonValue("Recorded native interaction session."));
}

}  // namespace
}  // namespace diruri::test
