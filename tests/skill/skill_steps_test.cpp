// The steps in words that a recording becomes: one table of event sequences and the steps they make.
#include "core/skill/skill_steps.hpp"

#include <gtest/gtest.h>

namespace diruri {
namespace {

constexpr int kShift = 0xffe1, kCtrl = 0xffe3, kReturn = 0xff0d, kTab = 0xff09, kBackSpace = 0xff08;

// Events of one window unless told otherwise; ids count up.
class Log {
 public:
  Log& in(std::string app, std::string title) {
    app_ = std::move(app);
    title_ = std::move(title);
    return *this;
  }
  Log& key(int keysym, const char* text = nullptr) { return down(keysym, text).up(keysym, text); }
  Log& down(int keysym, const char* text = nullptr) { return keyEvent("key_down", keysym, text); }
  Log& up(int keysym, const char* text = nullptr) { return keyEvent("key_up", keysym, text); }
  // Characters typed into a field: its first key carries the field as the focus, as recorded.
  Log& typeInto(const char* field, const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
      const std::string c(1, text[i]);
      focus_ = i == 0 && field ? std::optional<std::string>(field) : std::nullopt;
      key(text[i], c.c_str());
    }
    focus_.reset();
    return *this;
  }
  Log& oldKey(int keyCode) {
    add("key_down", {{"keyCode", keyCode}});
    return add("key_up", {{"keyCode", keyCode}});
  }
  Log& click(int x, int y, bool withWindow = true) {
    JsonObject payload{{"x", x}, {"y", y}};
    if (withWindow)
      payload.emplace("window", JsonObject{{"x", 100}, {"y", 50}, {"width", 400}, {"height", 300}});
    add("mouse_down", payload);
    return add("mouse_up", payload);
  }
  Log& clickOn(const char* role, const char* name) {
    JsonObject target{{"role", role}};
    if (name) target.emplace("name", name);
    add("mouse_down", {{"x", 150}, {"y", 80}, {"target", target}});
    return add("mouse_up", {{"x", 150}, {"y", 80}});
  }
  // A click seen by its meaning where no window's place is known: its element, without a point.
  Log& elementClick(const char* role, const char* name) {
    const JsonObject target{{"role", role}, {"name", name}, {"relative", "window"}};
    add("mouse_down", {{"inferred", true}, {"target", target}});
    return add("mouse_up", {{"inferred", true}});
  }
  // A key typed into a password field, as the recorder logs it: nothing of the key.
  Log& secret(const char* field) {
    JsonObject target{{"role", "password text"}};
    if (field) target.emplace("name", field);
    add("key_down", {{"redacted", true}, {"target", target}});
    return add("key_up", {{"redacted", true}});
  }
  // Wheel steps down or up and, when not 0, sideways.
  Log& scroll(int amount, int sideways = 0) {
    JsonObject payload;
    if (amount) payload.emplace("scrollY", amount);
    if (sideways) payload.emplace("scrollX", sideways);
    return add("scroll", payload);
  }
  // Pointer events in the window at (100, 50); `on` names a list item under the pointer; a press
  // without `button` is an older log's, one at ms < 0 a hand-written one's.
  Log& press(int x, int y, int ms, int button = 0, const char* on = nullptr) {
    JsonObject payload = pointer(x, y, on);
    if (button) payload.emplace("button", button);
    return add("mouse_down", payload, ms);
  }
  Log& release(int x, int y, const char* on = nullptr) { return add("mouse_up", pointer(x, y, on)); }
  Log& tap(int x, int y, int ms, int button = 0) { return press(x, y, ms, button).release(x, y); }
  Log& move(int x, int y, bool held = true, const char* on = nullptr) {
    JsonObject payload = pointer(x, y, on);
    if (held) payload.emplace("buttons", JsonArray{1});
    return add("mouse_move", payload);
  }
  std::vector<RecordingEvent> events;

 private:
  static JsonObject pointer(int x, int y, const char* on) {
    JsonObject payload{
        {"x", x}, {"y", y}, {"window", JsonObject{{"x", 100}, {"y", 50}, {"width", 400}, {"height", 300}}}};
    if (on) payload.emplace("target", JsonObject{{"role", "list item"}, {"name", on}});
    return payload;
  }
  Log& keyEvent(const char* type, int keysym, const char* text) {
    JsonObject payload{{"keysym", keysym}, {"keyCode", keysym % 200}};
    if (text) payload.emplace("text", text);
    if (focus_ && std::string(type) == "key_down")
      payload.emplace("focus", JsonObject{{"role", "text"}, {"name", *focus_}});
    return add(type, payload);
  }
  Log& add(const char* type, JsonObject payload, int ms = -1) {
    payload.emplace("app", JsonObject{{"appName", app_}, {"processId", 7}, {"windowTitle", title_}});
    JsonObject line{{"id", "e" + std::to_string(events.size() + 1)}, {"type", type}, {"payload", payload}};
    if (ms >= 0) line.emplace("monotonicMs", ms);
    events.push_back(RecordingEvent::fromJson(std::move(line)));
    return *this;
  }
  std::string app_ = "Notes";
  std::string title_ = "Untitled - Notes";
  std::optional<std::string> focus_;
};

std::vector<std::string> words(const Log& log) {
  std::vector<std::string> out;
  for (const SkillStep& step : describeSteps(log.events)) out.push_back(step.words);
  return out;
}

TEST(SkillSteps, EachKindOfInputInWords) {
  const std::string click = R"(Click in "Untitled - Notes" of "Notes" at (50, 30))";
  const struct {
    const char* name;
    Log log;
    std::vector<std::string> steps;
  } cases[] = {
      {"typing with Shift", Log().down(kShift).key('H', "H").up(kShift).key('i', "i"), {R"(Type "Hi")"}},
      {"Backspace edits the typing",
       Log().key('a', "a").key('b', "b").key(kBackSpace).key('c', "c"),
       {R"(Type "ac")"}},
      {"Backspace with nothing typed", Log().key(kBackSpace), {"Press Backspace"}},
      {"typing taken back whole", Log().key('a', "a").key(kBackSpace), {}},
      {"a shortcut", Log().down(kCtrl).key('s', "s").up(kCtrl), {"Press Ctrl+S"}},
      {"a shortcut with Shift",
       Log().down(kCtrl).down(kShift).key('T', "T").up(kShift).up(kCtrl),
       {"Press Ctrl+Shift+T"}},
      {"keys that type nothing",
       Log().key(kReturn).down(kShift).key(kTab).up(kShift).key(0xffc0),
       {"Press Enter", "Press Shift+Tab", "Press F3"}},
      {"typing around Enter",
       Log().key('a', "a").key('b', "b").key(kReturn).key('c', "c"),
       {R"(Type "ab")", "Press Enter", R"(Type "c")"}},
      {"text beyond ASCII",
       Log().key(0xe9, "\xc3\xa9").key(kBackSpace).key(0x20ac, "\xe2\x82\xac"),
       {"Type \"\xe2\x82\xac\""}},
      {"modifiers alone", Log().key(kShift).key(kCtrl).key(0xfe03), {}},
      {"an older log's key codes", Log().oldKey(38), {"Press key code 38"}},
      {"a click in its window",
       Log().click(150, 80),
       {"Click in \"Untitled - Notes\" of \"Notes\" at (50, 30)"}},
      {"a click without the window's place",
       Log().click(150, 80, false),
       {"Click in \"Untitled - Notes\" of \"Notes\" at (150, 80) on the screen"}},
      {"a click on an element",
       Log().clickOn("push button", "Save").clickOn("check box", nullptr),
       {R"(Click the "Save" push button in "Untitled - Notes" of "Notes")",
        "Click the check box in \"Untitled - Notes\" of \"Notes\""}},
      {"a click known by its element alone (no place on the screen)",
       Log().elementClick("push button", "Send"),
       {R"(Click the "Send" push button in "Untitled - Notes" of "Notes")"}},
      {"a password between typing",
       Log().key('a', "a").secret("PIN").secret("PIN").key(kTab).secret(nullptr).key('b', "b"),
       {R"(Type "a")", R"(Type the password into "PIN")", "Press Tab",
        "Type the password into the password field", R"(Type "b")"}},
      {"wheel steps", Log().scroll(-1).scroll(-1).scroll(-1).scroll(1), {"Scroll down 3", "Scroll up 1"}},
      {"another window",
       Log().key('a', "a").in("Mail", "Inbox").key('b', "b"),
       {R"(Type "a")", "Switch to \"Inbox\" of \"Mail\"", R"(Type "b")"}},
      {"a title that changed in one part",
       Log().key('a', "a").in("Notes", "report.txt - Notes").key('b', "b"),
       {R"(Type "ab")"}},
      {"the other buttons",
       Log().tap(150, 80, 0, 3).tap(150, 80, 1000, 2).tap(150, 80, 2000, 8),
       {R"(Right-click in "Untitled - Notes" of "Notes" at (50, 30))",
        R"(Middle-click in "Untitled - Notes" of "Notes" at (50, 30))",
        R"(Click in "Untitled - Notes" of "Notes" at (50, 30) with button 8)"}},
      {"double and triple clicks, and a fourth press",
       Log().tap(150, 80, 0).tap(152, 81, 300).tap(150, 80, 600).tap(150, 80, 900),
       {R"(Triple-click in "Untitled - Notes" of "Notes" at (50, 30))", click}},
      {"an older log's press is the left button's",
       Log().tap(150, 80, 0, 1).tap(150, 80, 100),
       {R"(Double-click in "Untitled - Notes" of "Notes" at (50, 30))"}},
      {"presses too late or too far",
       Log().tap(150, 80, 0).tap(150, 80, 500).tap(150, 80, 5000).tap(155, 80, 5100),
       {click, click, click, R"(Click in "Untitled - Notes" of "Notes" at (55, 30))"}},
      {"a key between presses",
       Log().press(150, 80, 0).key(kShift).release(150, 80).tap(150, 80, 100),
       {click, click}},
      {"presses without times", Log().tap(150, 80, -1).tap(150, 80, -1), {click, click}},
      {"a drag",
       Log().press(150, 80, 0).move(200, 100).move(250, 180).release(250, 180),
       {R"(Drag in "Untitled - Notes" of "Notes" from (50, 30) to (150, 130))"}},
      {"a drag between elements with the right button",
       Log().press(150, 80, 0, 3, "A").move(160, 90).release(160, 120, "B"),
       {R"(Drag in "Untitled - Notes" of "Notes" from the "A" list item at (50, 30) to the "B" list item at )"
        R"((60, 70) with the right button)"}},
      {"a drag back to its press is a click",
       Log().press(150, 80, 0).move(200, 100).release(153, 80),
       {click}},
      {"a double click's second press drags",
       Log().tap(150, 80, 0).press(150, 80, 200).move(200, 80).release(250, 80),
       {click, R"(Drag in "Untitled - Notes" of "Notes" from (50, 30) to (150, 30))"}},
      {"hovers",
       Log().move(150, 80, false).move(150, 80, false, "A"),
       {R"(Hover in "Untitled - Notes" of "Notes" at (50, 30))",
        R"(Hover over the "A" list item in "Untitled - Notes" of "Notes")"}},
      {"sideways and diagonal wheel steps",
       Log().scroll(-1, -1).scroll(-1, -1).key(kTab).scroll(0, 1).scroll(0, -1),
       {"Scroll down 2", "Scroll right 2", "Press Tab", "Scroll left 1", "Scroll right 1"}},
  };
  for (const auto& c : cases) EXPECT_EQ(words(c.log), c.steps) << c.name;
}

TEST(SkillSteps, StepsCarryTheirEvidenceAndDetails) {
  Log log;
  log.click(150, 80).key('h', "h").key('i', "i").down(kCtrl).key('s', "s").up(kCtrl).scroll(-2);
  const std::vector<SkillStep> steps = describeSteps(log.events);
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(
      writeJson(steps[0].toJson()),
      R"({"evidenceEventIds":["e1","e2"],"kind":"click","point":{"x":50,"y":30},"pointIsInsideWindow":true,)"
      R"("window":{"app":"Notes","height":300,"title":"Untitled - Notes","width":400,"x":100,"y":50},)"
      R"x("words":"Click in \"Untitled - Notes\" of \"Notes\" at (50, 30)"})x");
  EXPECT_EQ(writeJson(steps[1].toJson()),
            R"({"evidenceEventIds":["e3","e4","e5","e6"],"kind":"type","parameter":"text_1","text":"hi",)"
            R"("words":"Type \"hi\""})");
  EXPECT_EQ(writeJson(steps[2].toJson()),
            R"({"evidenceEventIds":["e8","e9"],"keys":"Ctrl+S","kind":"press","words":"Press Ctrl+S"})");
  EXPECT_EQ(
      writeJson(steps[3].toJson()),
      R"({"amount":2,"direction":"down","evidenceEventIds":["e11"],"kind":"scroll","words":"Scroll down 2"})");
}

TEST(SkillSteps, PointerStepsCarryTheirEvidenceAndDetails) {
  Log log;
  log.tap(150, 80, 0, 3).tap(150, 80, 300, 3);
  log.press(150, 80, 1000, 0, "A").move(200, 100).release(250, 180, "B").press(150, 80, 5000);
  for (int i = 0; i < 5000; ++i) log.move(i, 0);
  log.release(5000, 0);
  const std::vector<SkillStep> steps = describeSteps(log.events);
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(
      writeJson(steps[0].toJson()),
      R"({"button":3,"clicks":2,"evidenceEventIds":["e1","e2","e3","e4"],"kind":"click",)"
      R"("point":{"x":50,"y":30},"pointIsInsideWindow":true,)"
      R"("window":{"app":"Notes","height":300,"title":"Untitled - Notes","width":400,"x":100,"y":50},)"
      R"x("words":"Double-click in \"Untitled - Notes\" of \"Notes\" at (50, 30) with the right button"})x");
  EXPECT_EQ(
      writeJson(steps[1].toJson()),
      R"({"element":{"name":"A","role":"list item"},"endElement":{"name":"B","role":"list item"},)"
      R"("evidenceEventIds":["e5","e6","e7"],"from":{"x":50,"y":30},"kind":"drag",)"
      R"("path":[{"x":50,"y":30},{"x":100,"y":50},{"x":150,"y":130}],"pointIsInsideWindow":true,)"
      R"("to":{"x":150,"y":130},)"
      R"("window":{"app":"Notes","height":300,"title":"Untitled - Notes","width":400,"x":100,"y":50},)"
      R"x("words":"Drag in \"Untitled - Notes\" of \"Notes\" from the \"A\" list item at (50, 30) to the )x"
      R"x(\"B\" list item at (150, 130)"})x");
  // A long drag keeps its ends and at most 2,000 points; every move is its evidence.
  ASSERT_EQ(steps[2].kind, "drag");
  EXPECT_EQ(steps[2].evidenceEventIds.size(), 5002u);
  const JsonArray& path = steps[2].details.at("path").asArray();
  EXPECT_LE(path.size(), 2000u);
  EXPECT_EQ(writeJson(path.front()), R"({"x":50,"y":30})");
  EXPECT_EQ(writeJson(path.back()), R"({"x":4900,"y":-50})");
}

}  // namespace
}  // namespace diruri

namespace diruri {
namespace {

// Each typing step is a parameter named after its field; passwords are secret ones.
TEST(SkillSteps, TypingStepsBecomeParameters) {
  const struct {
    const char* name;
    Log log;
    std::vector<std::string> parameters;  // name, default or "(secret)", description
  } cases[] = {
      {"named fields, one name twice",
       Log().typeInto("Customer name", "Anna").key(kTab).typeInto("Customer name", "Bo"),
       {"customer_name Anna Text typed into \"Customer name\" in \"Untitled - Notes\" of \"Notes\"",
        "customer_name_2 Bo Text typed into \"Customer name\" in \"Untitled - Notes\" of \"Notes\""}},
      {"fields without a name, or with one of no letters",
       Log().typeInto(nullptr, "a").key(kReturn).typeInto("**", "b"),
       {"text_1 a Text typed in \"Untitled - Notes\" of \"Notes\"",
        "text_2 b Text typed into \"**\" in \"Untitled - Notes\" of \"Notes\""}},
      {"a name starting with a digit, Backspace edits, a shortcut",
       Log().typeInto("2FA Code", "12").key(kBackSpace).key('3', "3").down(kCtrl).key('s', "s").up(kCtrl),
       {"field_2fa_code 13 Text typed into \"2FA Code\" in \"Untitled - Notes\" of \"Notes\""}},
      {"passwords",
       Log().secret("PIN").secret("PIN").key(kTab).secret(nullptr),
       {"pin (secret) Password typed into \"PIN\" in \"Untitled - Notes\" of \"Notes\"",
        "password (secret) Password typed in \"Untitled - Notes\" of \"Notes\""}},
  };
  for (const auto& c : cases) {
    std::vector<SkillParameter> parameters;
    const std::vector<SkillStep> steps = describeSteps(c.log.events, &parameters);
    std::vector<std::string> got;
    for (const SkillParameter& p : parameters) {
      got.push_back(p.name + " " + (p.secret ? "(secret)" : p.defaultText.value_or("?")) + " " +
                    p.description);
      // The step it names names it back, and a parameter reads back as it was written.
      EXPECT_EQ(steps.at(p.step).details.at("parameter"), JsonValue(p.name)) << c.name;
      EXPECT_EQ(SkillParameter::fromJson(p.toJson())->toJson(), p.toJson()) << c.name;
    }
    EXPECT_EQ(got, c.parameters) << c.name;
  }
}

// A Shift held for a capital belongs to its typing: a replay that types other text drops it whole.
TEST(SkillSteps, TheShiftOfACapitalIsPartOfItsTyping) {
  Log log;
  log.down(kShift).key('A', "A").up(kShift).key('b', "b").down(kShift).key(kTab).up(kShift);
  const std::vector<SkillStep> steps = describeSteps(log.events);
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].evidenceEventIds, (std::vector<std::string>{"e1", "e2", "e3", "e4", "e5", "e6"}));
  EXPECT_EQ(steps[1].words, "Press Shift+Tab");
  EXPECT_EQ(steps[1].evidenceEventIds, (std::vector<std::string>{"e8", "e9"}));
}

}  // namespace
}  // namespace diruri
