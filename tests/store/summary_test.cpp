// What the summary derives from a log: applications, windows, steps and the recommended skill.
#include "tests/store/store_fixture.hpp"

namespace diruri::test {
namespace {

// A log line with the given type and, when named, an id and an app.
std::string line(const std::string& type, std::optional<std::string> id = std::nullopt,
                 std::optional<JsonValue> app = std::nullopt) {
  JsonObject payload{{"sessionId", "s"}};
  if (app) payload.emplace("app", *app);
  JsonObject o{{"type", type}, {"payload", payload}, {"ts", "2025-01-31T12:34:58Z"}, {"monotonicMs", 1}};
  if (id) o.emplace("id", *id);
  return writeJson(o) + "\n";
}

JsonValue app(const char* name, std::optional<std::string> title = std::nullopt) {
  JsonObject o{{"appName", name}, {"processId", 7}};
  if (title) o.emplace("windowTitle", *title);
  return o;
}

struct SummaryCase {
  const char* name;
  std::string log;  // lines between session_started and session_stopped
  std::vector<std::string> apps;
  std::vector<std::string> windows;
  std::vector<std::pair<std::string, std::vector<std::string>>> steps;  // intent, evidence; empty: fallback
  std::string recommendedSkillId;
};

std::vector<std::string> strings(const JsonValue& array) {
  std::vector<std::string> out;
  for (const JsonValue& v : array.asArray()) out.push_back(v.asString());
  return out;
}

TEST_F(StoreTest, SummaryFollowsTheLog) {
  std::string sixty;
  std::vector<std::pair<std::string, std::vector<std::string>>> fifty;
  for (int i = 0; i < 60; ++i) {
    const std::string id = "evt_" + std::to_string(100 + i);
    const char* type = i % 2 ? "key_up" : "scroll";
    sixty += line(type, id) + (i % 7 == 0 ? line("screenshot_captured", "m" + id) : "");
    if (i < 50) fifty.push_back({std::string("Replay ") + type + ".", {id}});
  }
  const SummaryCase cases[] = {
      {"markers and user markers make no step",
       line("screenshot_captured", "evt_1") + line("ax_snapshot", "evt_2") +
           line("user_marker", "evt_3", app("Editor")) + line("session_started", "x") +
           line("session_stopped", "y"),
       {"Editor"},
       {},
       {},
       "editor"},
      {"click and key press",
       line("mouse_down", "evt_1") + line("mouse_up", "evt_2") + line("key_down", "evt_3") +
           line("key_up", "evt_4"),
       {},
       {},
       {{"Replay mouse_down.", {"evt_1"}},
        {"Replay mouse_up.", {"evt_2"}},
        {"Replay key_down.", {"evt_3"}},
        {"Replay key_up.", {"evt_4"}}},
       ""},
      {"at most fifty steps", sixty, {}, {}, fifty, ""},
      {"blank and repeated names",
       line("user_marker", "1", app("Editor", "A")) + line("user_marker", "2", app("Editor", "A")) +
           line("user_marker", "3", app("Editor ", " A")) +
           line("user_marker", "4", app(" \t", "\xE2\x80\xA8")) +
           line("user_marker", "5", app("Browser", "\xC2\xA0")) +
           line("user_marker", "6", app("editor", "a")),
       {"Editor", "Browser", "editor"},
       {"A", "a"},
       {},
       "editor"},
      {"first name keeps its spaces, its slug does not",
       line("user_marker", "1", app(" Text Edit ", "Doc/1")) +
           line("key_down", "2", app("Text Edit", "Doc/1")),
       {" Text Edit "},
       {"Doc/1"},
       {{"Replay key_down.", {"2"}}},
       "text-edit"},
      {"first name without letters or digits",
       line("user_marker", "1", app("\xE6\x97\xA5\xE6\x9C\xAC")),
       {"\xE6\x97\xA5\xE6\x9C\xAC"},
       {},
       {},
       ""},
      {"app without title, event without app",
       line("mouse_down", "evt_1") + line("mouse_up", "evt_2", app("Editor")),
       {"Editor"},
       {},
       {{"Replay mouse_down.", {"evt_1"}}, {"Replay mouse_up.", {"evt_2"}}},
       "editor"},
      {"ids that are missing, empty or not strings give no evidence",
       line("mouse_down") + line("mouse_up", "") + "{\"type\":\"scroll\",\"id\":7}\n",
       {},
       {},
       {{"Replay mouse_down.", {}}, {"Replay mouse_up.", {}}, {"Replay scroll.", {}}},
       ""},
      {"malformed members are ignored",
       "{\"type\":[\"mouse_down\"],\"id\":\"a\"}\n{\"type\":\"MOUSE_DOWN\",\"id\":\"b\"}\n"
       "{\"payload\":\"x\",\"type\":\"user_marker\"}\n{\"payload\":{\"app\":[1]}}\n"
       "{\"payload\":{\"app\":{\"appName\":5,\"windowTitle\":null}}}\nnot json\n[\"key_down\"]\n",
       {},
       {},
       {},
       ""},
      {"later duplicate keys win at every level",
       "{\"type\":\"mouse_down\",\"type\":\"key_up\",\"id\":\"a\",\"id\":\"b\"}\n"
       "{\"type\":\"mouse_down\",\"type\":5,\"id\":\"c\"}\n"
       "{\"id\":\"d\",\"type\":\"scroll\",\"id\":[]}\n"
       "{\"payload\":{\"app\":{\"appName\":\"A\"}},\"payload\":{\"app\":{\"windowTitle\":\"T\"}}}\n"
       "{\"payload\":{\"app\":{\"appName\":\"B\"},\"app\":null}}\n"
       "{\"payload\":{\"app\":{\"appName\":\"C\",\"appName\":\"D\"}},\"payload\":{\"app\":{\"appName\":\"E\"}"
       "}}\n",
       {"E"},
       {"T"},
       {{"Replay key_up.", {"b"}}, {"Replay scroll.", {}}},
       "e"},
      {"only the payload's own app counts",
       "{\"payload\":{\"x\":{\"app\":{\"appName\":\"Z\"}}},\"app\":{\"appName\":\"Y\"}}\n"
       "{\"x\":{\"payload\":{\"app\":{\"appName\":\"X\"}},\"type\":\"scroll\"}}\n"
       "[{\"type\":\"scroll\",\"payload\":{\"app\":{\"appName\":\"W\"}}}]\n",
       {},
       {},
       {},
       ""},
      {"nesting up to the reader's limit and no further",
       "{\"type\":\"key_down\",\"id\":\"ok\",\"x\":" + std::string(kMaxJsonDepth - 1, '[') +
           std::string(kMaxJsonDepth - 1, ']') + "}\n" + "{\"type\":\"key_down\",\"id\":\"deep\",\"x\":" +
           std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']') + "}\n",
       {},
       {},
       {{"Replay key_down.", {"ok"}}},
       ""},
      {"one byte that is not UTF-8 empties the log",
       line("mouse_down", "evt_1", app("Editor")) + "{\"x\":\"\xFF\"}\n",
       {},
       {},
       {},
       ""},
  };

  int n = 0;
  for (const SummaryCase& c : cases) {
    SCOPED_TRACE(c.name);
    const RecordingSession s =
        store.createSession(temp.path() + "/ws" + std::to_string(n++), "Checkout Flow");
    writeText(logPath(s), readText(logPath(s)) + c.log);
    size_t significant = 0;  // the general reader must see the same significant lines
    for (const JsonObject& o : store.readEventObjects(s)) {
      const auto type = o.find("type");
      significant += type != o.end() && type->second.isString() &&
                     std::string("|mouse_down|mouse_up|key_down|key_up|scroll|")
                             .find("|" + type->second.asString() + "|") != std::string::npos;
    }
    EXPECT_EQ(std::min<size_t>(significant, 50), c.steps.size());
    const auto [stopped, path] = store.stopSession(s);
    const JsonValue summary = parseJson(readText(path));

    EXPECT_EQ(strings(*summary.find("apps")), c.apps);
    EXPECT_EQ(strings(*summary.find("windows")), c.windows);
    EXPECT_EQ(*summary.find("recommendedSkillId"), JsonValue(c.recommendedSkillId));
    EXPECT_EQ(*summary.find("sensitiveHints"), JsonValue(JsonArray{}));
    EXPECT_EQ(*summary.find("sessionId"), JsonValue(s.sessionId));
    auto expectedSteps = c.steps;
    if (expectedSteps.empty()) {
      expectedSteps.push_back({"Recorded native interaction session.",
                               {s.sessionId + "-session_started", s.sessionId + "-session_stopped"}});
    }
    const JsonArray& steps = summary.find("steps")->asArray();
    ASSERT_EQ(steps.size(), expectedSteps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
      EXPECT_EQ(*steps[i].find("index"), JsonValue(static_cast<long long>(i)));
      EXPECT_EQ(*steps[i].find("intent"), JsonValue(expectedSteps[i].first));
      EXPECT_EQ(strings(*steps[i].find("evidenceEventIds")), expectedSteps[i].second);
    }
  }
}

}  // namespace
}  // namespace diruri::test
