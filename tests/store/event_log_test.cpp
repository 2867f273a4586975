// Appending to the event log and reading it back: creation, torn lines, skipped lines.
#include "tests/store/store_fixture.hpp"

namespace diruri::test {
namespace {

TEST_F(StoreTest, FirstAppendCreatesTheLogWithExactlyThatLineAndLaterOnesFollow) {
  const RecordingSession s = checkoutFlow();
  ASSERT_EQ(::unlink(logPath(s).c_str()), 0);
  const RecordingEvent first = inputEvent(s, "evt_000001", "user_marker");
  store.appendEvent(first, s);
  const std::string firstLine = writeJson(first.toJson()) + "\n";
  EXPECT_EQ(readText(logPath(s)), firstLine);

  const RecordingEvent second = inputEvent(s, "evt_000002", "user_marker");
  store.appendEvent(second, s);
  EXPECT_EQ(readText(logPath(s)), firstLine + writeJson(second.toJson()) + "\n");
  // The log is made by an atomic write (once at creation, once after the unlink), never by an append.
  size_t creations = 0;
  for (const FsCall& call : fs.calls())
    creations += call.op == FsOp::WriteFileAtomically && call.path == logPath(s);
  EXPECT_EQ(creations, 2u);
}

TEST_F(StoreTest, ReaderReturnsExactlyTheCompleteLinesWhateverTheCutOfTheLastLine) {
  const RecordingSession s = checkoutFlow();
  RecordingEvent click = inputEvent(s, "evt_000001", "mouse_down");
  click.payload.app = ForegroundAppSnapshot{"org.example.Editor", "Editor", 812, "Untitled"};
  click.payload.x = 640.5;
  click.payload.y = 412;
  store.appendEvent(click, s);
  RecordingEvent key = inputEvent(s, "evt_000002", "key_down");
  key.payload.keyCode = 38;
  store.appendEvent(key, s);
  const std::string complete = readText(logPath(s));
  const std::vector<JsonObject> before = store.readEventObjects(s);
  ASSERT_EQ(before.size(), 3u);

  RecordingEvent last = inputEvent(s, "evt_000003", "scroll");
  last.payload.scrollY = -1;
  last.payload.app = click.payload.app;
  const std::string lastLine = writeJson(last.toJson());
  for (size_t cut = 0; cut <= lastLine.size() + 1; ++cut) {
    writeText(logPath(s), complete + (lastLine + "\n").substr(0, cut));
    const std::vector<JsonObject> read = store.readEventObjects(s);
    std::vector<JsonObject> expected = before;
    if (cut >= lastLine.size()) expected.push_back(last.toJson().asObject());
    EXPECT_EQ(read, expected) << "cut after " << cut << " bytes";
  }
}

TEST_F(StoreTest, ReaderSkipsBlankForeignAndTornLinesAndKeepsUnknownMembers) {
  const RecordingSession s = checkoutFlow();
  writeText(logPath(s),
            "{\"id\":\"a\",\"extra\":[1,2]}\n"
            "\n"
            "[1,2,3]\n"
            "not json\n"
            "\"a string\"\n"
            "{\"id\":\"b\"}\r\n"
            "   \n"
            "{\"id\":\"c\",\"payload\":{\"x\":1e400}}\n"
            "{\"id\":\"d\"}\n"
            "{\"id\":\"e\",");
  const std::vector<JsonObject> read = store.readEventObjects(s);
  std::vector<std::string> ids;
  for (const JsonObject& o : read) ids.push_back(o.at("id").asString());
  EXPECT_EQ(ids, (std::vector<std::string>{"a", "b", "d"}));
  EXPECT_EQ(read[0].at("extra"), parseJson("[1,2]"));
}

TEST_F(StoreTest, MissingUnreadableOrNonUtf8LogReadsAsEmpty) {
  const RecordingSession s = checkoutFlow();
  ASSERT_EQ(store.readEventObjects(s).size(), 1u);

  fs.addFault({FsOp::ReadFile, "events.jsonl", 0, EACCES});
  EXPECT_TRUE(store.readEventObjects(s).empty());
  fs.clearFaults();

  writeText(logPath(s), readText(logPath(s)) + "{\"id\":\"caf\xE9\"}\n");
  EXPECT_TRUE(store.readEventObjects(s).empty());

  ASSERT_EQ(::unlink(logPath(s).c_str()), 0);
  EXPECT_TRUE(store.readEventObjects(s).empty());
}

TEST_F(StoreTest, AppendThatFillsTheDiskLeavesNoTornLineBehind) {
  const RecordingSession s = checkoutFlow();
  const std::string before = readText(logPath(s));
  withFileSizeLimit(before.size() + 25, [&] {
    EXPECT_THROW(store.appendEvent(inputEvent(s, "evt_000001", "mouse_down"), s), FileSystemError);
  });
  EXPECT_EQ(readText(logPath(s)), before);

  const RecordingEvent next = inputEvent(s, "evt_000002", "mouse_up");
  store.appendEvent(next, s);
  EXPECT_EQ(readText(logPath(s)), before + writeJson(next.toJson()) + "\n");
  EXPECT_EQ(store.readEventObjects(s).size(), 2u);
}

}  // namespace
}  // namespace diruri::test
