// Slugs, session and workspace identifiers, workspace paths, and loading a session back.
#include <stdlib.h>
#include <time.h>

#include "tests/store/store_fixture.hpp"
#include "tests/support/real_file_system.hpp"

namespace diruri::test {
namespace {

TEST(SlugTest, KeepsAsciiLettersAndDigitsAndFoldsEveryOtherRunIntoOneHyphen) {
  const std::string sixty(60, 'a');
  const struct {
    std::optional<std::string> text;
    std::string slug;
  } cases[] = {
      {"Checkout Flow", "checkout-flow"},
      {"  Hello, World!! ", "hello-world"},
      {"Caf\xC3\xA9 Menu", "caf-menu"},
      {"Q&A Board 2", "q-a-board-2"},
      {"__", ""},
      {"!!!", ""},
      {"", ""},
      {std::nullopt, ""},
      {"Release 2.0.1", "release-2-0-1"},
      // Multi-byte scalars, however long, make one hyphen per run.
      {"a\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
       "b",
       "a-b"},
      {"a\xE2\x80\x94-\xE2\x80\x94z", "a-z"},
      {"\xE6\x97\xA5\xE6\x9C\xAC", ""},
      // Lowercasing beyond ASCII, where it yields ASCII: KELVIN SIGN -> k; DOTTED CAPITAL I -> i + U+0307.
      {"\xE2\x84\xAA"
       "elvin",
       "kelvin"},
      {"\xC4\xB0stanbul", "i-stanbul"},
      // Fullwidth capitals lowercase to fullwidth letters, which are not ASCII.
      {"\xEF\xBC\xA1"
       "b",
       "b"},
      // Bytes that are not UTF-8 count as other scalars.
      {"a\xFF\xFE"
       "b",
       "a-b"},
      {sixty, std::string(48, 'a')},
      // The cut comes after trimming, so a cut slug can end in a hyphen.
      {std::string(47, 'b') + " tail", std::string(47, 'b') + "-"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EventStore::slug(c.text), c.slug) << (c.text ? *c.text : "(none)");
  }
}

TEST(WorkspacePathTest, MadeAbsoluteWithoutTrailingSlashAndOtherwiseUntouched) {
  const struct {
    const char* path;
    const char* absolute;
    const char* identifier;
  } cases[] = {
      {"/Users/me/My Project/", "/Users/me/My Project", "my-project"},
      {"/Users/me/My Project///", "/Users/me/My Project", "my-project"},
      {"/", "/", "workspace"},
      {"/srv/\xE6\x97\xA5\xE6\x9C\xAC", "/srv/\xE6\x97\xA5\xE6\x9C\xAC", "workspace"},
      {"shop-app", "/home/me/shop-app", "shop-app"},
      {"./a/../Shop App", "/home/me/./a/../Shop App", "shop-app"},
      {"..", "/home/me/..", "workspace"},
      {"", "/home/me", "me"},
  };
  for (const auto& c : cases) {
    const std::string absolute = absoluteDirectoryPath(c.path, "/home/me");
    EXPECT_EQ(absolute, c.absolute) << c.path;
    EXPECT_EQ(workspaceIdentifier(absolute), c.identifier) << c.path;
  }
}

TEST_F(StoreTest, SessionIdentifierIsSlugAndUtcStampWhateverTheLocalZone) {
  const char* previous = getenv("TZ");
  const std::string saved = previous ? previous : "";
  for (const char* zone : {"UTC", "Asia/Kolkata", "America/St_Johns", "Pacific/Kiritimati"}) {
    setenv("TZ", zone, 1);
    tzset();
    EXPECT_EQ(store.createSession(workspace(), "Checkout Flow").sessionId, "checkout-flow-20250131123456789")
        << zone;
  }
  if (previous)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST_F(StoreTest, NamesWithoutLettersOrDigitsGiveRecordingIdentifiers) {
  for (const std::optional<std::string>& name :
       {std::optional<std::string>(), std::optional<std::string>(""), std::optional<std::string>("__"),
        std::optional<std::string>("!!!")}) {
    EXPECT_EQ(store.createSession(workspace(), name).sessionId, "recording-20250131123456789");
  }
}

TEST_F(StoreTest, LongNameIsCutTo48AndMayLeaveTwoHyphensBeforeTheStamp) {
  const RecordingSession s = store.createSession(workspace(), std::string(47, 'x') + " yz");
  EXPECT_EQ(s.sessionId, std::string(47, 'x') + "--20250131123456789");
}

TEST_F(StoreTest, WorkspaceIsResolvedAndCreatedWithTheWholeChain) {
  fs.setCurrentDirectory(temp.path());
  const RecordingSession s = store.createSession("new/My Project/", "Checkout Flow");
  EXPECT_EQ(s.workspacePath, temp.path() + "/new/My Project");
  EXPECT_EQ(s.workspaceId, "my-project");
  EXPECT_EQ(s.sessionPath, temp.path() + "/new/My Project/.zeruva/record-and-replay/sessions/" + s.sessionId);
  EXPECT_EQ(listTree(s.sessionPath),
            (std::vector<std::string>{"ax-snapshots/", "events.jsonl", "screenshots/", "session.json"}));
}

TEST_F(StoreTest, TwoSessionsInOneMillisecondShareTheirDirectory) {
  const RecordingSession first = checkoutFlow();
  clock.setUptimeMillis(kBootUptimeMillis + 1);
  const RecordingSession second = checkoutFlow();
  EXPECT_EQ(first.sessionPath, second.sessionPath);
  const std::vector<JsonObject> lines = store.readEventObjects(second);
  ASSERT_EQ(lines.size(), 2u);
  for (const JsonObject& line : lines) EXPECT_EQ(line.at("type"), JsonValue("session_started"));
  EXPECT_EQ(lines[1].at("monotonicMs"), JsonValue(kBootUptimeMillis + 1));
  EXPECT_NE(readText(metadataPath(second)).find("\"status\" : \"recording\""), std::string::npos);
}

// The recording fields of session.json, with one key replaced or removed per case.
std::string metadataText(const std::string& key, const std::optional<std::string>& value) {
  JsonObject o = parseJson(R"({"eventsPath":"events.jsonl","helperVersion":"0.1.0","metadataVersion":1,
      "platform":"linux","sessionId":"s-1","startedAt":"2025-01-31T12:34:56Z","status":"stopped",
      "workspaceId":"shop-app","extra":{"ignored":true}})")
                     .asObject();
  if (value) {
    o.insert_or_assign(key, parseJson(*value));
  } else {
    o.erase(key);
  }
  return writeJson(o, JsonLayout::Pretty);
}

TEST_F(StoreTest, LoadSessionReadsStopTimeAsOptionalAndIgnoresConstants) {
  const struct {
    const char* key;
    std::optional<std::string> value;
    std::optional<std::string> stoppedAt;
  } cases[] = {
      {"stoppedAt", std::nullopt, std::nullopt},
      {"stoppedAt", "null", std::nullopt},
      {"stoppedAt", "\"2025-01-31T12:40:01Z\"", "2025-01-31T12:40:01Z"},
      {"platform", "\"darwin\"", std::nullopt},
      {"status", "\"paused\"", std::nullopt},
      {"metadataVersion", "7", std::nullopt},
  };
  const std::string dir = workspace() + "/.zeruva/record-and-replay/sessions/s-1";
  test::realFileSystem().createDirectories(dir);
  for (const auto& c : cases) {
    writeText(dir + "/session.json", metadataText(c.key, c.value));
    const RecordingSession s = store.loadSession(workspace() + "/", "s-1");
    EXPECT_EQ(s, (RecordingSession{"s-1", "shop-app", workspace(), dir, "2025-01-31T12:34:56Z", c.stoppedAt}))
        << c.key;
  }
}

TEST_F(StoreTest, LoadSessionFailsWithTheDecodingErrorForMissingOrMistypedKeys) {
  const struct {
    const char* key;
    std::optional<std::string> value;
  } cases[] = {
      {"platform", std::nullopt},
      {"sessionId", std::nullopt},
      {"workspaceId", std::nullopt},
      {"startedAt", std::nullopt},
      {"status", std::nullopt},
      {"helperVersion", std::nullopt},
      {"eventsPath", std::nullopt},
      {"metadataVersion", std::nullopt},
      {"metadataVersion", "\"1\""},
      {"metadataVersion", "1.5"},
      {"sessionId", "5"},
      {"workspaceId", "null"},
      {"stoppedAt", "5"},
      {"startedAt", "[]"},
  };
  const std::string dir = workspace() + "/.zeruva/record-and-replay/sessions/s-1";
  test::realFileSystem().createDirectories(dir);
  for (const auto& c : cases) {
    writeText(dir + "/session.json", metadataText(c.key, c.value));
    EXPECT_THROW(store.loadSession(workspace(), "s-1"), JsonParseError)
        << c.key << " = " << c.value.value_or("(missing)");
  }
  for (const char* text : {"", "{", "[]", "\"session\"", "{\"sessionId\":\"s-1\"} trailing"}) {
    writeText(dir + "/session.json", text);
    EXPECT_THROW(store.loadSession(workspace(), "s-1"), JsonParseError) << text;
  }
}

TEST_F(StoreTest, LoadSessionOfUnknownOrUnreadableSessionThrowsTheFileSystemError) {
  try {
    store.loadSession(workspace(), "checkout-flow-20250131123456789");
    FAIL() << "loaded a session that does not exist";
  } catch (const FileSystemError& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
    EXPECT_EQ(
        e.path(),
        workspace() + "/.zeruva/record-and-replay/sessions/checkout-flow-20250131123456789/session.json");
  }
  const RecordingSession s = checkoutFlow();
  fs.addFault({FsOp::ReadFile, "session.json", 0, EIO});
  try {
    store.loadSession(workspace(), s.sessionId);
    FAIL() << "an unreadable session.json loaded";
  } catch (const FileSystemError& e) {
    EXPECT_EQ(e.code().value(), EIO);
  }
}

TEST_F(StoreTest, LoadSessionRefusesIdentifiersThatLeaveTheSessionsDirectory) {
  // A real session.json two levels up that such an identifier would reach.
  const RecordingSession elsewhere = store.createSession(temp.path() + "/other", "Checkout Flow");
  const std::string escape = "../../../../other/.zeruva/record-and-replay/sessions/" + elsewhere.sessionId;
  test::realFileSystem().createDirectories(workspace() + "/.zeruva/record-and-replay/sessions");
  ASSERT_TRUE(test::realFileSystem().fileExists(workspace() + "/.zeruva/record-and-replay/sessions/" +
                                                escape + "/session.json"));
  for (const std::string& id : {escape, std::string(".."), std::string("."), std::string(""),
                                std::string("a/b"), std::string("s\0-1", 4)}) {
    try {
      store.loadSession(workspace(), id);
      FAIL() << "loaded " << id;
    } catch (const FileSystemError& e) {
      EXPECT_EQ(e.code().value(), EINVAL) << id;
    }
  }
}

TEST_F(StoreTest, StoppedSessionLoadsAndStopsAgain) {
  const RecordingSession s = checkoutFlow();
  clock.advance(60000);
  store.stopSession(s);
  const RecordingSession loaded = store.loadSession(workspace(), s.sessionId);
  EXPECT_EQ(loaded.stoppedAt, "2025-01-31T12:35:56Z");
  clock.advance(60000);
  const auto [again, path] = store.stopSession(loaded);
  EXPECT_EQ(again.stoppedAt, "2025-01-31T12:36:56Z");
  EXPECT_NE(readText(metadataPath(s)).find("\"stoppedAt\" : \"2025-01-31T12:36:56Z\""), std::string::npos);
  const std::vector<JsonObject> lines = store.readEventObjects(s);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].at("type"), JsonValue("session_stopped"));
  EXPECT_EQ(lines[2].at("type"), JsonValue("session_stopped"));
  EXPECT_EQ(lines[2].at("ts"), JsonValue("2025-01-31T12:36:56Z"));
}

}  // namespace
}  // namespace diruri::test
