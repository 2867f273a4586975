// Which logged events a replay posts, in what order, into which window, with what result per step,
// and when it refuses to post anything.
#include "core/replay/semantic_replayer.hpp"

#include <gtest/gtest.h>

#include <deque>

#include "core/json/json_value.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri {
namespace {

using test::TempDir;
using test::writeText;

// Records every posted event as text; optionally unreachable, and with the X11 key range.
class RecordingPoster : public EventPoster {
 public:
  bool reachable = true;
  std::vector<std::string> posted;
  int begins = 0, ends = 0;
  // Called before each post, so a test can act between events.
  std::function<void()> beforePost;

  bool begin() override {
    ++begins;
    return reachable;
  }
  PostResult postMouse(double x, double y, bool down, int64_t button) override {
    if (beforePost) beforePost();
    if (x < 0 || y < 0) return PostResult::Inexpressible;  // off the screen
    posted.push_back(std::string(down ? "down" : "up") + (button == 1 ? "" : std::to_string(button)) + " " +
                     writeJson(x) + "," + writeJson(y));
    return PostResult::Posted;
  }
  PostResult postMove(double x, double y) override {
    if (beforePost) beforePost();
    if (x < 0 || y < 0) return PostResult::Inexpressible;
    posted.push_back("move " + writeJson(x) + "," + writeJson(y));
    return PostResult::Posted;
  }
  PostResult postKey(int64_t keyCode, std::optional<int64_t> keysym, bool down) override {
    if (beforePost) beforePost();
    if (!keysym && (keyCode < 8 || keyCode > 255)) return PostResult::Inexpressible;
    posted.push_back(std::string(down ? "key+" : "key-") + std::to_string(keyCode) +
                     (keysym ? "/" + std::to_string(*keysym) : ""));
    return PostResult::Posted;
  }
  PostResult postScroll(int64_t amount, bool sideways) override {
    if (beforePost) beforePost();
    posted.push_back((sideways ? "scrollX " : "scroll ") + std::to_string(amount));
    return PostResult::Posted;
  }
  void sync() override {}
  void end() override { ++ends; }
};

// Front windows in turn: each query takes the next one, the last one stays.
class ScriptedInspector : public AccessibilityInspecting {
 public:
  std::deque<std::optional<FrontWindow>> fronts{std::nullopt};
  int queries = 0;
  bool knows = true;
  bool knowsFrontWindow() override { return knows; }

  std::optional<FrontWindow> frontWindow() override {
    ++queries;
    std::optional<FrontWindow> front = fronts.front();
    if (fronts.size() > 1) fronts.pop_front();
    return front;
  }
  std::optional<AccessibilitySnapshot> accessibilitySnapshot() override { return std::nullopt; }

  // Element searches in turn, the last one staying; each remembers the process it asked.
  std::deque<ElementSearch> searches{ElementSearch{}};
  std::vector<int32_t> searchedIn;
  ElementSearch findElement(int32_t processId, const ElementTarget&) override {
    searchedIn.push_back(processId);
    ElementSearch search = searches.front();
    if (searches.size() > 1) searches.pop_front();
    return search;
  }
  // What an element holds, whichever is asked; and what lies near any point.
  std::optional<ElementState> state;
  std::optional<ElementState> elementState(int32_t, const ElementTarget&) override { return state; }
  std::vector<ElementTarget> nearby;
  std::vector<ElementTarget> elementsNear(int32_t, double, double, size_t) override { return nearby; }
  // What lies at any point.
  std::optional<ElementTarget> atPoint;
  std::optional<ElementTarget> elementAt(int32_t, double, double,
                                         std::chrono::steady_clock::time_point) override {
    return atPoint;
  }
  // Whether the element's action can be done; each one done is kept.
  bool acts = false;
  std::vector<std::string> actions;
  bool activateElement(int32_t, const ElementTarget& wanted) override {
    if (acts) actions.push_back(wanted.describe());
    return acts;
  }
};

class ReplayerTest : public ::testing::Test {
 protected:
  void writeSkill(const std::string& skillId, const std::string& reference) {
    writeText(dir / (".zeruva/skills/" + skillId + "/references/recording.json"), reference);
  }
  void writeLog(const std::string& sessionId, const std::string& log) {
    writeText(dir / (".zeruva/record-and-replay/sessions/" + sessionId + "/events.jsonl"), log);
  }
  // Back to back unless the test paces it, with a short wait for a window.
  SemanticReplayResult replay(const std::string& skillId = "skill", ReplayControl* control = nullptr) {
    SemanticReplayer replayer(test::realFileSystem(), poster, inspector);
    return replayer.replay(dir.path(), skillId,
                           ReplayOptions{.speed = 0, .targetWait = std::chrono::milliseconds(200)}, control);
  }
  static std::vector<std::string> statuses(const SemanticReplayResult& r) {
    std::vector<std::string> out;
    for (const ReplayStep& step : r.steps) {
      out.push_back(step.eventId + ":" + std::string(replayStatusName(step.status)) +
                    (step.reason.empty() ? "" : " (" + step.reason + ")"));
    }
    return out;
  }
  static std::vector<std::string> ids(const SemanticReplayResult& r) {
    std::vector<std::string> out;
    for (const ReplayStep& step : r.steps) {
      EXPECT_EQ(step.toJson().asObject().size(), step.type == EventType::kMouseDown ? 4u : 3u);
      EXPECT_EQ(step.status, ReplayStep::Status::kReplayed);
      out.push_back(step.eventId + ":" + std::string(eventTypeName(step.type)));
    }
    return out;
  }

  TempDir dir;
  RecordingPoster poster;
  ScriptedInspector inspector;
};

TEST_F(ReplayerTest, PostsTheFiveInputTypesInLogOrderAndSkipsEverythingElse) {
  writeSkill("skill", R"({"sessionId":"s1","other":1})");
  writeLog("s1", R"({"id":"s1-session_started","type":"session_started","payload":{"sessionId":"s1"}})"
                 "\n"
                 R"({"id":"evt_000001","type":"screenshot_captured","payload":{"screenshotOk":true}})"
                 "\n"
                 R"({"id":"evt_000003","type":"mouse_down","payload":{"x":640.5,"y":412}})"
                 "\n"
                 "\n"
                 R"({"id":"evt_000004","type":"mouse_up","payload":{"x":640.5,"y":412.0}})"
                 "\n"
                 R"({"id":"evt_000005","type":"user_marker","payload":{}})"
                 "\n"
                 R"({"id":"evt_000006","type":"key_down","payload":{"keyCode":38}})"
                 "\n"
                 R"({"id":"evt_000007","type":"key_up","payload":{"keyCode":38.0}})"
                 "\n"
                 R"({"id":"evt_000008","type":"scroll","payload":{"scrollY":0}})"
                 "\n"
                 R"({"id":"evt_000009","type":"Mouse_Down","payload":{"x":1,"y":2}})"
                 "\n"
                 R"([1,2,3])"
                 "\n"
                 R"({"type":"scroll","payload":{"scrollY":-3}})"
                 "\n");
  const auto result = replay();
  EXPECT_EQ(ids(result),
            (std::vector<std::string>{"evt_000003:mouse_down", "evt_000004:mouse_up", "evt_000006:key_down",
                                      "evt_000007:key_up", "evt_000008:scroll", ":scroll"}));
  EXPECT_EQ(poster.posted, (std::vector<std::string>{"down 640.5,412", "up 640.5,412", "key+38", "key-38",
                                                     "scroll 0", "scroll -3"}));
  EXPECT_EQ(poster.begins, 1);
  EXPECT_EQ(poster.ends, 1);
}

// A line that cannot be posted as recorded fails the replay before anything is posted: left out,
// its neighbours went on (a release without its press, keys into whatever was in front).
TEST_F(ReplayerTest, ALineThatCannotBePostedAsRecordedFailsTheReplayBeforeAnythingIsPosted) {
  const std::string good = R"({"id":"ok","type":"key_down","payload":{"keyCode":38}})"
                           "\n";
  const struct {
    std::string line;
    std::string why;
  } cases[] = {
      {R"({"id":"a","type":"mouse_down","payload":{"x":1}})", "it has no point (x and y numbers)"},
      {R"({"id":"b","type":"mouse_down","payload":{"x":"1","y":2}})", R"(its x is "1", not a number)"},
      {R"({"id":"c","type":"key_down","payload":{"keyCode":3.5}})",
       "its keyCode is 3.5, not a whole number from 0 to 65535"},
      {R"({"id":"d","type":"key_down","payload":{"keysym":"a"}})",
       R"(its keysym is "a", not a whole number from 0 to 536870911)"},
      {R"({"id":"d2","type":"key_down","payload":{"keysym":4294967295}})",
       "its keysym is 4294967295, not a whole number from 0 to 536870911"},
      {R"({"id":"e","type":"scroll","payload":{"scrollY":4294967296}})",
       "its scrollY is 4294967296, not a whole number from -2147483648 to 2147483647"},
      {R"({"id":"e2","type":"scroll","payload":{"scrollY":1.5}})",
       "its scrollY is 1.5, not a whole number from -2147483648 to 2147483647"},
      {R"({"id":"f","type":"scroll","payload":{}})", "it has no scrollY"},
      {R"({"id":"g","type":"key_up"})", "it names no key (keyCode or keysym)"},
      {R"({"id":"g2","type":"key_up","payload":"keyCode 9"})",
       R"(its payload is "keyCode 9", not an object)"},
      {R"({"id":"h","type":7,"payload":{"keyCode":9}})", "its type is 7, not a string"},
      {R"({"id":"i","type":"key_down","payload":{"keyCode":9,"app":{"appName":"Mail","processId":"7"}}})",
       R"(its app's processId is "7", not a whole number, so the window it went to is not known)"},
      {R"({"id":"j","type":"key_down","payload":{"keyCode":9,"redacted":"yes"}})",
       R"(its redacted is "yes", not true or false)"},
  };
  writeSkill("skill", R"({"sessionId":"s1"})");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    writeLog("s1", good + R"({"type":"session_started","payload":5})" + "\n" + c.line + "\n" + good);
    try {
      replay();
      ADD_FAILURE() << "replayed";
    } catch (const SemanticReplayerError& e) {
      const std::string id = parseJson(c.line).findString("id") ? *parseJson(c.line).findString("id") : "";
      EXPECT_EQ(std::string(e.what()), "Nothing was replayed: line 3 of the recording (\"" + id +
                                           "\") cannot be replayed as it was recorded: " + c.why +
                                           ". Correct or remove that line of references/events.jsonl.");
    }
    EXPECT_EQ(poster.posted, std::vector<std::string>{});
  }
  // Lines of other types (markers, and kinds a later version records) are no steps.
  writeLog("s1", good + R"({"id":"m","type":"mouse_hover_later","payload":{}})" + "\n");
  EXPECT_EQ(ids(replay()), (std::vector<std::string>{"ok:key_down"}));
}

// A step that cannot be posted fails and ends the replay; the rest are skipped, and say why.
TEST_F(ReplayerTest, AFailedStepEndsTheReplayAndTheRunFails) {
  writeSkill("skill", R"({"sessionId":"s1"})");
  writeLog("s1", R"({"id":"a","type":"key_down","payload":{"keyCode":38}})"
                 "\n"
                 R"({"id":"b","type":"key_down","payload":{"keyCode":300}})"
                 "\n"
                 R"({"id":"c","type":"key_up","payload":{"keyCode":38}})"
                 "\n");
  const auto result = replay();
  EXPECT_EQ(result.status, "failed");
  EXPECT_EQ(statuses(result), (std::vector<std::string>{
                                  "a:replayed", "b:failed (Key code 300 cannot be posted on this display.)",
                                  "c:skipped (An earlier step failed.)"}));
  EXPECT_EQ(poster.posted, std::vector<std::string>{"key+38"});
  EXPECT_EQ(poster.ends, 1);  // which releases what the replay held
}

// Keys go by keysym where the log has one, by key code where it does not (older logs).
TEST_F(ReplayerTest, KeysAreHandedOnWithTheirKeysym) {
  writeSkill("skill", R"({"sessionId":"s1"})");
  writeLog("s1", R"({"id":"a","type":"key_down","payload":{"keyCode":29,"keysym":121,"text":"y"}})"
                 "\n"
                 R"({"id":"b","type":"key_up","payload":{"keyCode":29,"keysym":121}})"
                 "\n"
                 R"({"id":"c","type":"key_down","payload":{"keysym":233}})"
                 "\n"
                 R"({"id":"d","type":"key_down","payload":{"keyCode":38}})"
                 "\n");
  EXPECT_EQ(replay().status, "success");
  EXPECT_EQ(poster.posted, (std::vector<std::string>{"key+29/121", "key-29/121", "key+-234/233", "key+38"}));
}

// Presses wait for the window they were recorded in: same application, and the same title or one
// that differs in one part; a window that never comes fails its step.
TEST_F(ReplayerTest, PressesWaitForTheirWindow) {
  const auto front = [](std::string app, std::string title) {
    return std::optional<FrontWindow>(
        FrontWindow{ForegroundAppSnapshot{std::nullopt, app, 1, title}, std::nullopt});
  };
  writeSkill("skill", R"({"sessionId":"s1"})");
  writeLog(
      "s1",
      R"({"id":"a","type":"key_down","payload":{"keyCode":38,"app":{"appName":"Editor","processId":9,"windowTitle":"a.txt - Editor"}}})"
      "\n"
      R"({"id":"b","type":"key_up","payload":{"keyCode":38,"app":{"appName":"Other","processId":9}}})"
      "\n");
  inspector.fronts = {std::nullopt, front("Terminal", "a.txt - Editor"), front("Editor", "Save As"),
                      front("Editor", "b.txt - Editor")};
  EXPECT_EQ(statuses(replay()), (std::vector<std::string>{"a:replayed", "b:replayed"}));
  EXPECT_EQ(inspector.queries, 4);  // a release goes where its press went, without a wait

  inspector.fronts = {front("Editor", "Save As")};
  const auto result = replay();
  EXPECT_EQ(result.status, "failed");
  EXPECT_EQ(statuses(result),
            (std::vector<std::string>{
                R"(a:failed (The Editor window "a.txt - Editor" did not come to the front within 0.2 s.))",
                "b:skipped (An earlier step failed.)"}));

  // Where the front window cannot be known at all, nothing is waited for.
  inspector.knows = false;
  inspector.queries = 0;
  EXPECT_EQ(statuses(replay()), (std::vector<std::string>{"a:replayed", "b:replayed"}));
  EXPECT_EQ(inspector.queries, 0);
}

// A click lands at the same place inside its window, wherever the window is now; a window whose
// size changed keeps the click at its distance from the nearer edge.
TEST_F(ReplayerTest, ClicksFollowTheirWindow) {
  writeSkill("skill", R"({"sessionId":"s1"})");
  const std::string app =
      R"("app":{"appName":"Editor","processId":9},"window":{"x":100,"y":50,"width":400,"height":300})";
  writeLog("s1", R"({"id":"a","type":"mouse_down","payload":{"x":120,"y":330,)" + app +
                     "}}\n"
                     R"({"id":"b","type":"mouse_up","payload":{"x":480,"y":60,)" +
                     app + "}}\n");
  inspector.fronts = {FrontWindow{ForegroundAppSnapshot{std::nullopt, "Editor", 2, std::nullopt},
                                  WindowGeometry{700, 400, 600, 300}}};
  EXPECT_EQ(replay().status, "success");
  EXPECT_EQ(poster.posted, (std::vector<std::string>{"down 720,680", "up 1280,410"}));

  // A press beside its recorded window has no place in that window now: it fails, nothing posted.
  writeLog("s1", R"({"id":"c","type":"mouse_down","payload":{"x":90,"y":60,)" + app + "}}\n");
  poster.posted.clear();
  inspector.fronts = {FrontWindow{ForegroundAppSnapshot{std::nullopt, "Editor", 2, std::nullopt},
                                  WindowGeometry{700, 400, 600, 300}}};
  EXPECT_EQ(statuses(replay()),
            std::vector<std::string>{"c:failed (The click at (90, 60) lies outside its window as "
                                     "recorded (100, 50, 400 x 300), so it cannot be placed in "
                                     "that window now.)"});
  EXPECT_EQ(poster.posted, std::vector<std::string>{});
}

// A click with its element goes to the same place inside that element where it is now, once it is
// shown and enabled; without the element it goes by its window. Keys typed into a password field
// are never posted and do not fail the run.
TEST_F(ReplayerTest, ClicksGoToTheirElementAndRedactedKeysAreSkipped) {
  writeSkill("skill", R"({"sessionId":"s1"})");
  const std::string app =
      R"("app":{"appName":"Editor","processId":9},"window":{"x":100,"y":50,"width":400,"height":300},)"
      R"("target":{"role":"push button","name":"Send","bounds":{"x":120,"y":300,"width":100,"height":40}})";
  writeLog("s1", R"({"id":"a","type":"mouse_down","payload":{"x":170,"y":310,)" + app + "}}\n" +
                     R"({"id":"b","type":"mouse_up","payload":{"x":171,"y":310,)" + app + "}}\n" +
                     R"({"id":"c","type":"key_down","payload":{"redacted":true}})" + "\n" +
                     R"({"id":"d","type":"key_up","payload":{"redacted":true}})" + "\n");
  inspector.fronts = {FrontWindow{ForegroundAppSnapshot{std::nullopt, "Editor", 2, std::nullopt},
                                  WindowGeometry{700, 400, 400, 300}}};
  const auto found = [](bool showing, bool enabled, int32_t x = 500) {
    FoundElement element{{"push button", "Send", {}, WindowGeometry{x, 600, 200, 20}}, showing, enabled};
    return AccessibilityInspecting::ElementSearch{true, element};
  };
  struct Case {
    const char* name;
    std::deque<AccessibilityInspecting::ElementSearch> searches;
    std::vector<std::string> posted;
    std::string via, status;
    bool acts = false;
    std::optional<ElementTarget> atPoint = std::nullopt;  // what lies at the click's place in its window
    std::string reason = "";
  };
  const AccessibilityInspecting::ElementSearch notThere{true, std::nullopt};
  const ElementTarget send{"push button", "Send", {}, std::nullopt};
  const ElementTarget other{"push button", "Delete", {}, std::nullopt};
  const std::vector<Case> cases = {
      {"found at once", {found(true, true)}, {"down 600,605", "up 601,605"}, "element", "success"},
      {"shown and enabled later",
       {found(false, true), found(true, false), found(true, true)},
       {"down 600,605", "up 601,605"},
       "element",
       "success"},
      // Not found by its path, but there in the window where it was: the same element.
      {"not found, there in its place",
       {notThere},
       {"down 770,660", "up 771,660"},
       "window",
       "success",
       false,
       send},
      // No blind click: into whatever is there instead, or where nothing can be looked for.
      {"not found, another element in its place",
       {notThere},
       {},
       "",
       "failed",
       false,
       other,
       "The \"Send\" push button was not found in the Editor, and at its place in the window there is the "
       "\"Delete\" push button, so the click is not made there."},
      {"not found, nothing in its place",
       {notThere},
       {},
       "",
       "failed",
       false,
       std::nullopt,
       "there is no accessible element"},
      {"no accessibility",
       {AccessibilityInspecting::ElementSearch{}},
       {},
       "",
       "failed",
       false,
       send,
       "could not be looked for: Editor does not answer on the accessibility bus"},
      {"never enabled", {found(true, false)}, {}, "element", "failed"},
      {"off the screen: its action", {found(true, true, -400)}, {}, "action", "success", true},
      {"off the screen without an action", {found(true, true, -400)}, {}, "element", "failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    poster.posted.clear();
    inspector.atPoint = c.atPoint;
    inspector.searches = c.searches;
    inspector.searchedIn.clear();
    inspector.acts = c.acts;
    inspector.actions.clear();
    const SemanticReplayResult result = replay();
    EXPECT_EQ(inspector.actions,
              c.acts ? std::vector<std::string>{"\"Send\" push button"} : std::vector<std::string>{});
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(poster.posted, c.posted);
    EXPECT_EQ(inspector.searchedIn.front(), 2);
    if (c.status == "success") {
      EXPECT_EQ(*result.steps[0].toJson().findString("via"), c.via);
    }
    EXPECT_NE(result.steps[0].reason.find(c.reason), std::string::npos) << result.steps[0].reason;
    EXPECT_EQ(statuses(result).back(),
              c.status == "success" ? "d:skipped (redacted)" : "d:skipped (An earlier step failed.)");
  }
}

// A drag with another button follows its press onto the element found again, a hover goes onto its
// element, and sideways wheel steps stay sideways.
TEST_F(ReplayerTest, DragsHoversAndOtherButtonsFollowWhereTheirPressWent) {
  writeSkill("skill", R"({"sessionId":"s1"})");
  const std::string app =
      R"("app":{"appName":"Draw","processId":9},"window":{"x":0,"y":0,"width":800,"height":600})";
  const std::string canvas =
      R"("target":{"role":"drawing area","name":"Canvas","bounds":{"x":100,"y":100,"width":200,"height":100}})";
  writeLog("s1",
           R"({"id":"a","type":"mouse_down","payload":{"x":110,"y":110,"button":3,)" + app + "," + canvas +
               "}}\n" + R"({"id":"b","type":"mouse_move","payload":{"x":150,"y":110,"buttons":[3],)" + app +
               "}}\n" + R"({"id":"c","type":"mouse_move","payload":{"x":150,"y":180,"buttons":[3],)" + app +
               "}}\n" + R"({"id":"d","type":"mouse_up","payload":{"x":150,"y":180,"button":3,)" + app +
               "}}\n" + R"({"id":"e","type":"mouse_move","payload":{"x":120,"y":120,)" + app + "," + canvas +
               "}}\n" + R"({"id":"f","type":"scroll","payload":{"scrollX":-2,)" + app + "}}\n");
  inspector.fronts = {FrontWindow{ForegroundAppSnapshot{std::nullopt, "Draw", 2, std::nullopt},
                                  WindowGeometry{0, 0, 800, 600}}};
  // The canvas is 50 px further right and down now.
  inspector.searches = {
      {true, FoundElement{{"drawing area", "Canvas", {}, WindowGeometry{150, 150, 200, 100}}, true, true}}};
  const SemanticReplayResult result = replay();
  EXPECT_EQ(result.status, "success");
  EXPECT_EQ(poster.posted, (std::vector<std::string>{"down3 160,160", "move 200,160", "move 200,230",
                                                     "up3 200,230", "move 170,170", "scrollX -2"}));
  EXPECT_EQ(*result.steps[0].toJson().findString("via"), "element");
}

// What the recording observed is checked after its step: a check that holds counts, one that does
// not fails its step and hands over; fromStep skips what comes before its step.
TEST_F(ReplayerTest, ObservationsAreCheckedAfterTheirStep) {
  writeSkill("skill", R"({"sessionId":"s1"})");
  writeText(dir / ".zeruva/skills/skill/references/steps.json",
            R"([{"kind":"type","words":"Type \"ab\"","evidenceEventIds":["a","b"]},)"
            R"({"kind":"press","words":"Press Enter","evidenceEventIds":["c"]}])");
  const std::string app = R"("app":{"appName":"Editor","processId":9})";
  const auto observed = [](const std::string& what) {
    return R"({"id":"b-observed","type":"observation","payload":{"observation":)" + what + "}}\n";
  };
  const std::string field =
      R"("element":{"role":"text","name":"Name","bounds":{"x":10,"y":20,"width":100,"height":30}})";
  inspector.fronts = {FrontWindow{ForegroundAppSnapshot{std::nullopt, "Editor", 2, "Main"}, std::nullopt}};
  inspector.nearby = {ElementTarget{"text", "Name", {}, WindowGeometry{10, 20, 100, 30}}};
  const auto holding = [](std::optional<std::string> text, std::optional<bool> checked = std::nullopt) {
    return ElementFinding::ElementState{
        {"text", "Name", {}, std::nullopt}, std::move(text), checked, false, false};
  };
  const struct {
    const char* name;
    std::string observation;
    std::optional<ElementFinding::ElementState> state;
    std::string status, reason;
    std::optional<size_t> fromStep = std::nullopt;
  } cases[] = {
      {"the text holds", observed(R"({"kind":"text",)" + field + R"(,"text":"ab"})"), holding("ab"),
       "success", ""},
      {"the application changed it", observed(R"({"kind":"text",)" + field + R"(,"text":"ab"})"),
       holding("a"), "failed", R"(The "Name" text holds "a", expected "ab".)"},
      {"a toggle in the wrong state",
       observed(R"({"kind":"checked","element":{"role":"check box","name":"Agree"},"checked":true})"),
       holding(std::nullopt, false), "failed", R"(The "Agree" check box is not checked, expected checked.)"},
      {"another window in front", observed(R"({"kind":"front","window":{"appName":"Mail","processId":3}})"),
       std::nullopt, "failed", R"(The Mail is not in front; the Editor window "Main" is.)"},
      {"before fromStep nothing is checked", observed(R"({"kind":"text",)" + field + R"(,"text":"ab"})"),
       holding("zz"), "success", "", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeLog("s1", R"({"id":"a","type":"key_down","payload":{"keysym":97,)" + app + "}}\n" +
                       R"({"id":"b","type":"key_up","payload":{"keysym":97,)" + app + "}}\n" + c.observation +
                       R"({"id":"c","type":"key_down","payload":{"keysym":65293,)" + app + "}}\n");
    inspector.state = c.state;
    SemanticReplayer replayer(test::realFileSystem(), poster, inspector);
    const SemanticReplayResult result =
        replayer.replay(dir.path(), "skill",
                        ReplayOptions{.speed = 0,
                                      .targetWait = std::chrono::milliseconds(200),
                                      .checkWait = std::chrono::milliseconds(50),
                                      .fromStep = c.fromStep});
    EXPECT_EQ(result.status, c.status);
    const bool checked = !c.fromStep;
    EXPECT_EQ(result.checksPassed + result.checksFailed, checked ? 1u : 0u);
    EXPECT_EQ(result.verified(), c.status == "success" && checked);
    EXPECT_EQ(result.steps[0].reason, c.fromStep ? "before fromStep" : "");
    EXPECT_EQ(result.steps[1].reason, c.fromStep ? "before fromStep" : c.reason);
    EXPECT_EQ(result.handover.has_value(), c.status == "failed");
    if (result.handover) {
      EXPECT_EQ(result.handover->words, "Type \"ab\"");
      // Near the element checked, where it was recorded: only a field's place is known here.
      EXPECT_EQ(result.handover->nearby.size(), c.observation.find("bounds") != std::string::npos ? 1u : 0u);
    }
  }
  // A step the skill does not have is refused before anything is posted.
  poster.posted.clear();
  SemanticReplayer replayer(test::realFileSystem(), poster, inspector);
  EXPECT_THROW(replayer.replay(dir.path(), "skill", ReplayOptions{.speed = 0, .fromStep = 2}),
               SemanticReplayerError);
  EXPECT_TRUE(poster.posted.empty());
}

// A stop asked for between two events ends the replay there: what was posted stays posted.
TEST_F(ReplayerTest, AStopEndsTheReplayBetweenEvents) {
  writeSkill("skill", R"({"sessionId":"s1"})");
  writeLog("s1", R"({"id":"a","type":"key_down","payload":{"keyCode":38}})"
                 "\n"
                 R"({"id":"b","type":"key_up","payload":{"keyCode":38}})"
                 "\n"
                 R"({"id":"c","type":"key_down","payload":{"keyCode":39}})"
                 "\n");
  ReplayControl control;
  std::vector<std::pair<size_t, size_t>> progress;
  control.onProgress = [&](size_t done, size_t total) { progress.emplace_back(done, total); };
  poster.beforePost = [&] {
    if (poster.posted.size() == 1) control.requestStop();
  };
  const auto result = replay("skill", &control);
  EXPECT_EQ(result.status, "stopped");
  EXPECT_EQ(statuses(result),
            (std::vector<std::string>{"a:replayed", "b:replayed", "c:skipped (The replay was stopped.)"}));
  EXPECT_EQ(progress, (std::vector<std::pair<size_t, size_t>>{{0, 3}, {1, 3}, {2, 3}}));
  EXPECT_EQ(poster.ends, 1);
}

TEST(WindowTitles, MatchWhenTheyDifferInOnePartAtMost) {
  const struct {
    const char* recorded;
    const char* current;
    bool same;
  } cases[] = {
      {"Untitled - Editor", "Untitled - Editor", true},
      {"Untitled - Editor", "report.txt - Editor", true},
      {"Editor \u2014 draft.md", "Editor \u2014 notes.md", true},
      {"a | b | c", "a | x | c", true},
      {"a | b | c", "x | y | c", false},
      {"Save As", "Open File", false},
      {"Untitled - Editor", "Untitled - Viewer - Editor", false},
      {"Terminal", "Terminal 2", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(sameWindowTitle(c.recorded, c.current), c.same) << c.recorded << " / " << c.current;
}

TEST_F(ReplayerTest, EmptyOrBlankLogGivesNoSteps) {
  writeSkill("skill", R"({"sessionId":"s1"})");
  writeLog("s1", "");
  EXPECT_TRUE(replay().steps.empty());
  writeLog("s1", "\n\n\n");
  EXPECT_TRUE(replay().steps.empty());
}

TEST_F(ReplayerTest, ReferenceFileThatNamesNoSessionIsAnInvalidRecording) {
  for (const char* reference :
       {R"({"other":"s1"})", R"({"sessionId":5})", R"(["s1"])", R"({"sessionId":null})",
        R"({"sessionId":"../../../elsewhere"})", R"({"sessionId":".."})"}) {
    SCOPED_TRACE(reference);
    writeSkill("skill", reference);
    try {
      replay();
      ADD_FAILURE() << "no error";
    } catch (const SemanticReplayerError& e) {
      EXPECT_EQ(e.code(), SemanticReplayerError::Code::invalidRecording);
    }
  }
  EXPECT_TRUE(poster.posted.empty());
}

TEST_F(ReplayerTest, ReadAndParseErrorsFailTheWholeReplayBeforeAnythingIsPosted) {
  EXPECT_THROW(replay("missing"), FileSystemError);

  writeSkill("skill", "{not json");
  EXPECT_THROW(replay(), JsonParseError);

  writeSkill("skill", R"({"sessionId":"nolog"})");
  EXPECT_THROW(replay(), FileSystemError);

  writeSkill("skill", R"({"sessionId":"s1"})");
  const std::string good = R"({"id":"a","type":"key_down","payload":{"keyCode":38}})"
                           "\n";
  for (const std::string& bad : {std::string("{\"id\":\"b\""), std::string("42"), std::string("\"text\"")}) {
    SCOPED_TRACE(bad);
    writeLog("s1", good + bad);  // the malformed line is the last one
    EXPECT_THROW(replay(), JsonParseError);
  }
  writeLog("s1", good + "{\"id\":\"\xff\"}\n");
  EXPECT_THROW(replay(), FileSystemError);  // not UTF-8
  EXPECT_TRUE(poster.posted.empty());
  EXPECT_EQ(poster.begins, 0);
}

TEST_F(ReplayerTest, UnreachablePosterFailsInsteadOfReportingStepsThatWereNeverPosted) {
  writeSkill("skill", R"({"sessionId":"s1"})");
  writeLog("s1", R"({"id":"a","type":"key_down","payload":{"keyCode":38}})"
                 "\n");
  poster.reachable = false;
  try {
    replay();
    ADD_FAILURE() << "no error";
  } catch (const SemanticReplayerError& e) {
    EXPECT_EQ(e.code(), SemanticReplayerError::Code::posterUnavailable);
  }
  EXPECT_TRUE(poster.posted.empty());
}

}  // namespace
}  // namespace diruri

namespace diruri {
namespace {

// A typing step whose parameter is given types the argument instead of its recorded keys (its
// Shift included), and its check expects the argument; a password step types its secret one.
// Arguments that do not fit are refused before anything is posted, and a secret is never said.
TEST_F(ReplayerTest, ArgumentsAreTypedInsteadOfTheirStepsKeys) {
  writeSkill("skill", R"({"sessionId":"s1"})");
  writeText(dir / ".zeruva/skills/skill/references/steps.json",
            R"([{"kind":"type","words":"Type \"Ab\"","evidenceEventIds":["s","a","b","t","c","d"]},)"
            R"({"kind":"password","words":"Type the password","evidenceEventIds":["p","q"]},)"
            R"({"kind":"press","words":"Press Enter","evidenceEventIds":["e"]}])");
  writeText(dir / ".zeruva/skills/skill/references/parameters.json",
            R"({"parameters":[{"name":"name","step":0,"default":"Ab","secret":false},)"
            R"({"name":"pin","step":1,"secret":true},{"name":"../x","step":2}]})");
  const std::string app = R"("app":{"appName":"Editor","processId":9})";
  const auto key = [&](const char* id, const char* type, int keysym, const std::string& more = "") {
    return R"({"id":")" + std::string(id) + R"(","type":")" + type + R"(","payload":{"keysym":)" +
           std::to_string(keysym) + ",\"keyCode\":" + std::to_string(keysym % 200) + more + "," + app +
           "}}\n";
  };
  const std::string field = R"("element":{"role":"text","name":"Name"})";
  writeLog(
      "s1",
      key("s", "key_down", 0xffe1) + key("a", "key_down", 'A', R"(,"focus":{"role":"text"})") +
          key("b", "key_up", 'A') + key("t", "key_up", 0xffe1) + key("c", "key_down", 'b') +
          key("d", "key_up", 'b') +
          R"({"id":"d-observed","type":"observation","payload":{"observation":{"kind":"text",)" + field +
          R"(,"text":"Mr Ab"}}})" + "\n" +
          R"({"id":"p","type":"key_down","payload":{"redacted":true,"target":{"role":"password text"},)" +
          app + "}}\n" + R"({"id":"q","type":"key_up","payload":{"redacted":true,)" + app + "}}\n" +
          R"({"id":"q-observed","type":"observation","payload":{"observation":{"kind":"text",)" +
          R"("element":{"role":"password text"},"notEmpty":true}}})" + "\n" + key("e", "key_down", 0xff0d));
  inspector.fronts = {FrontWindow{ForegroundAppSnapshot{std::nullopt, "Editor", 2, "Main"}, std::nullopt}};
  const auto typed = [](const std::u32string& text) {
    std::vector<std::string> keys;
    for (const char32_t c : text) {
      const std::string k = "-1099511627776/" + std::to_string(static_cast<uint32_t>(c));
      keys.insert(keys.end(), {"key+" + k, "key-" + k});
    }
    return keys;
  };
  const auto concat = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<std::string> recordedName{"key+105/65505", "key+65/65", "key-65/65",
                                              "key-105/65505", "key+98/98", "key-98/98"};
  const std::string secret = "s3cr\xc3\xa9t";  // s3cret with an e acute
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> arguments;
    std::string fieldHolds;
    std::string problem;  // of a refusal
    std::vector<std::string> posted = {};
    std::string status = "success";
  } cases[] = {
      {"both given",
       {{"name", "Zo\xc3\xab"}, {"pin", secret}},
       "Mr Zo\xc3\xab",
       "",
       concat(concat(typed(U"Zo\u00eb"), typed(U"s3cr\u00e9t")), {"key+93/65293"})},
      {"the secret only: the name's keys as recorded",
       {{"pin", secret}},
       "Mr Ab",
       "",
       concat(concat(recordedName, typed(U"s3cr\u00e9t")), {"key+93/65293"})},
      {"the field holds what was recorded, not the argument",
       {{"name", "Bo"}, {"pin", "1"}},
       "Mr Ab",
       "",
       typed(U"Bo"),
       "failed"},
      {"no secret", {{"name", "Bo"}}, "", "The skill's secret parameter pin must be given in arguments"},
      {"an unknown name",
       {{"pin", "1"}, {"nope", "1"}},
       "",
       "The skill has no parameter \"nope\"; its parameters are name, pin."},
      {"too long", {{"pin", std::string(10001, 'x')}}, "", "The argument pin is 10001 characters long"},
      {"a control character", {{"pin", "a\x1b"}}, "", "The argument pin holds a control character"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    poster.posted.clear();
    inspector.state = ElementFinding::ElementState{
        {"text", "Name", {}, std::nullopt}, c.fieldHolds, std::nullopt, false, true};
    SemanticReplayer replayer(test::realFileSystem(), poster, inspector);
    const ReplayOptions options{.speed = 0,
                                .targetWait = std::chrono::milliseconds(200),
                                .checkWait = std::chrono::milliseconds(50),
                                .arguments = c.arguments};
    if (!c.problem.empty()) {
      try {
        replayer.replay(dir.path(), "skill", options);
        ADD_FAILURE() << "not refused";
      } catch (const SemanticReplayerError& e) {
        EXPECT_EQ(std::string(e.what()).find(c.problem), 0u) << e.what();
        EXPECT_EQ(std::string(e.what()).find(secret), std::string::npos);
      }
      EXPECT_TRUE(poster.posted.empty());
      continue;
    }
    const SemanticReplayResult result = replayer.replay(dir.path(), "skill", options);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(poster.posted, c.posted);
    std::string said;
    for (const ReplayStep& step : result.steps) said += writeJson(step.toJson());
    if (result.handover) said += writeJson(result.handover->toJson());
    EXPECT_EQ(said.find(secret), std::string::npos);
    if (c.status == "success") {
      EXPECT_TRUE(result.verified());
      EXPECT_EQ(*result.steps[6].toJson().findString("argument"), "pin");
      EXPECT_EQ(result.steps[0].argument.has_value(), c.arguments.size() == 2);
    } else {
      EXPECT_EQ(result.steps[5].reason, "The \"Name\" text holds \"Mr Ab\", expected \"Mr Bo\".");
    }
  }
}

}  // namespace
}  // namespace diruri

namespace diruri {
namespace {

// A click known only by its element (no place on the screen was known): its element is found
// again and pressed by its action, or the step fails saying why; nothing is posted either way.
TEST_F(ReplayerTest, AClickKnownByItsElementIsPressedByItsAction) {
  writeSkill("skill", R"({"sessionId":"s1"})");
  const std::string app = R"("app":{"appName":"Editor","processId":9,"windowTitle":"Main"},"inferred":true)";
  writeLog("s1", R"({"id":"a","type":"mouse_down","payload":{"target":{"role":"push button","name":"Send",)"
                 R"("bounds":{"x":10,"y":20,"width":80,"height":30},"relative":"window"},)" +
                     app + "}}\n" + R"({"id":"b","type":"mouse_up","payload":{)" + app + "}}\n");
  inspector.fronts = {FrontWindow{ForegroundAppSnapshot{std::nullopt, "Editor", 2, "Main"}, std::nullopt}};
  const FoundElement send{{"push button", "Send", {}, WindowGeometry{10, 20, 80, 30}}, true, true};
  const struct {
    const char* name;
    AccessibilityInspecting::ElementSearch search;
    bool acts;
    std::string status, reason;
  } cases[] = {
      {"found and pressed", {true, send}, true, "success", ""},
      {"found without an action",
       {true, send},
       false,
       "failed",
       R"(The "Send" push button has no action that presses it, and its place on the screen is not known )"
       "here, so the click is not made."},
      {"not found",
       {true, std::nullopt},
       true,
       "failed",
       R"(The "Send" push button was not found in the Editor window "Main", and its place on the screen is )"
       "not known here, so the click is not made."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    inspector.searches = {c.search};
    inspector.acts = c.acts;
    inspector.actions.clear();
    poster.posted.clear();
    const SemanticReplayResult result = replay();
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.steps[0].reason, c.reason);
    EXPECT_EQ(*result.steps[0].toJson().findString("via"), "action");
    EXPECT_EQ(inspector.actions.size(), c.status == "success" ? 1u : 0u);
    EXPECT_TRUE(poster.posted.empty());
  }
}

}  // namespace
}  // namespace diruri
