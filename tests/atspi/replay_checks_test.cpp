// What a replay checks of what the recording observed, through the real executable: a field whose
// application changed what was typed, a toggle left in the wrong state, a replay into the right
// state that is verified, an application without accessibility support that has nothing to check,
// the hand-over of a failed step, and a replay that goes on from a step.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "tests/atspi/recorded_skill.hpp"

namespace diruri {
namespace {

using namespace std::chrono_literals;
using test::FixtureApp;

class ReplayChecks : public test::RecordedSkillTest {
 protected:
  // Query typed into, then Send: the typing's field text is observed when the click ends it.
  void recordTyping() {
    record([](FixtureApp& app) {
      ASSERT_TRUE(app.clickOn("Query"));
      ASSERT_TRUE(test::xdotool({"type", "--delay", "40", "hello"}));
      ASSERT_TRUE(app.waitFor(R"(text Query "hello")"));
      std::this_thread::sleep_for(150ms);
      ASSERT_TRUE(app.clickOn("Send"));
      ASSERT_TRUE(app.waitFor("pressed Send"));
    });
  }
  static const JsonValue* failedStep(const JsonValue& payload) {
    for (const JsonValue& step : payload.find("steps")->asArray())
      if (*step.findString("status") == "failed") return &step;
    return nullptr;
  }
};

TEST_F(ReplayChecks, ATypedFieldTheApplicationChangedFailsItsCheckAndHandsOver) {
  recordTyping();
  {
    // Into the right state: every check holds.
    FixtureApp app;
    startApp(app);
    const JsonValue payload = replay(0);
    EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
    EXPECT_EQ(*payload.find("verified"), JsonValue(true)) << writeJson(payload);
    EXPECT_GE(*payload.find("checks")->find("passed")->asIntegral(), 1);
  }
  FixtureApp app;
  startApp(app);
  ASSERT_TRUE(app.command("max-length Query 4"));  // the application drops the last character
  const JsonValue payload = replay(0);
  EXPECT_EQ(*payload.findString("status"), "failed") << writeJson(payload);
  EXPECT_EQ(*payload.find("verified"), JsonValue(false));
  EXPECT_EQ(*payload.find("checks")->find("failed"), JsonValue(1));
  const JsonValue* failed = failedStep(payload);
  ASSERT_NE(failed, nullptr) << writeJson(payload);
  EXPECT_EQ(
      *failed->find("check"),
      JsonValue(JsonObject{{"kind", "text"}, {"expected", "hello"}, {"observed", "hell"}, {"ok", false}}));
  EXPECT_EQ(*failed->findString("reason"), R"(The "Query" text holds "hell", expected "hello".)");
  EXPECT_FALSE(app.waitFor("pressed Send", 1s)) << "the replay went on after the failed check";

  // The hand-over: the step in words, the field, a screenshot, and the elements near it.
  const JsonValue& handover = *payload.find("handover");
  EXPECT_EQ(*handover.findString("words"), R"(Type "hello")") << writeJson(handover);
  EXPECT_EQ(*handover.find("target")->findString("name"), "Query");
  std::ifstream png(*handover.findString("screenshotPath"), std::ios::binary);
  std::string signature(8, '\0');
  png.read(signature.data(), 8);
  EXPECT_EQ(signature, "\x89PNG\r\n\x1a\n");
  const JsonArray& nearby = handover.find("nearby")->asArray();
  EXPECT_LE(nearby.size(), 10u);
  EXPECT_TRUE(std::any_of(nearby.begin(), nearby.end(), [](const JsonValue& e) {
    return e.findString("name") && *e.findString("name") == "Query";
  })) << writeJson(handover);
}

// The check box was checked by the click; at replay it starts checked, so the same click clears it.
TEST_F(ReplayChecks, AToggleLeftInTheWrongStateFails) {
  record([](FixtureApp& app) {
    ASSERT_TRUE(app.clickOn("Agree"));
    ASSERT_TRUE(app.waitFor("toggled Agree true"));
  });
  FixtureApp app;
  startApp(app);
  ASSERT_TRUE(app.command("agree on"));
  const JsonValue payload = replay(1);
  EXPECT_EQ(*payload.findString("status"), "failed") << writeJson(payload);
  const JsonValue* failed = failedStep(payload);
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(*failed->find("check"),
            JsonValue(JsonObject{
                {"kind", "checked"}, {"expected", "checked"}, {"observed", "not checked"}, {"ok", false}}));
  EXPECT_EQ(*failed->findString("reason"), R"(The "Agree" check box is not checked, expected checked.)");
}

// An element that moved and was renamed: the click fails, and the hand-over lists it near the
// recorded point. The agent does that step by hand and goes on from the next one.
TEST_F(ReplayChecks, AFailedClickHandsOverTheElementsNearItAndFromStepGoesOn) {
  recordTyping();
  FixtureApp app;
  startApp(app);
  ASSERT_TRUE(app.command(R"(banner A banner\nof two lines)"));
  ASSERT_TRUE(app.command("name Search"));
  const JsonValue payload = replay(0);
  EXPECT_EQ(*payload.findString("status"), "failed") << writeJson(payload);
  const JsonValue& handover = *payload.find("handover");
  EXPECT_EQ(handover.find("stepIndex")->asIntegral(), 0);
  const JsonArray& nearby = handover.find("nearby")->asArray();
  EXPECT_TRUE(std::any_of(nearby.begin(), nearby.end(), [](const JsonValue& e) {
    return e.findString("name") && *e.findString("name") == "Search";
  })) << writeJson(handover);

  // Steps 0 and 1 (the click on Query and the typing) done by hand; the replay does step 2.
  const size_t before = app.reports().size();
  const JsonValue rest = replay(0, 2);
  EXPECT_EQ(*rest.findString("status"), "success") << writeJson(rest);
  const JsonArray& steps = rest.find("steps")->asArray();
  ASSERT_GE(steps.size(), 3u);
  EXPECT_EQ(*steps.front().findString("reason"), "before fromStep");
  EXPECT_TRUE(app.waitFor("pressed Send", 10s, before));
  for (size_t i = before; i < app.reports().size(); ++i)
    EXPECT_EQ(app.reports()[i].rfind("text Query", 0), std::string::npos) << app.reports()[i];
  EXPECT_EQ(*rest.find("verified"), JsonValue(false));  // steps were skipped
}

// A terminal tells nothing on the accessibility bus: the replay posts its keys, checks nothing, and
// says it is not verified.
TEST_F(ReplayChecks, AnApplicationWithoutAccessibilityHasNothingToCheck) {
  test::TempDir home;
  const auto xterm = [&] { return test::startTerminal("Plain terminal", "cat > " + (home / "typed")); };
  {
    auto terminal = xterm();
    ASSERT_TRUE(terminal);
    recordAround([] {
      ASSERT_TRUE(test::xdotool({"type", "--delay", "40", "hi"}));
      ASSERT_TRUE(test::xdotool({"key", "Return"}));
    });
  }
  auto terminal = xterm();
  ASSERT_TRUE(terminal);
  const JsonValue payload = replay(0);
  EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
  EXPECT_EQ(*payload.find("verified"), JsonValue(false));
  EXPECT_EQ(*payload.find("checks"), JsonValue(JsonObject{{"failed", 0}, {"passed", 0}}));
  for (const JsonValue& step : payload.find("steps")->asArray()) EXPECT_EQ(step.find("check"), nullptr);
  EXPECT_TRUE(test::pollUntil<bool>([&] { return test::readText(home / "typed") == "hi\n"; },
                                    [](bool ok) { return ok; }, 10s));
}

}  // namespace
}  // namespace diruri
