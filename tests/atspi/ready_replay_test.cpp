// Replays that go as fast as the applications allow, through the real executable: each of these
// failed when events went back to back, and passes at speed 0 and at speed 1.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/atspi/recorded_skill.hpp"

namespace diruri {
namespace {

using namespace std::chrono_literals;
using test::FixtureApp;

class ReadyReplays : public test::RecordedSkillTest {};

// A dialog busy with what was typed takes each character late, but Enter at once: the Enter waits
// until the field holds what was typed.
TEST_F(ReadyReplays, EnterWaitsUntilTheFieldHoldsWhatWasTyped) {
  record([](FixtureApp& app) {
    ASSERT_TRUE(app.clickOn("Open"));
    ASSERT_TRUE(app.waitFor("opened Details"));
    ASSERT_TRUE(test::xdotool({"type", "--delay", "40", "hello"}));
    ASSERT_TRUE(app.waitFor(R"(text Name "hello")"));
    ASSERT_TRUE(test::xdotool({"key", "Return"}));
    ASSERT_TRUE(app.waitFor(R"(accepted Name "hello")"));
  });
  for (const double speed : {0.0, 1.0}) {
    SCOPED_TRACE(speed);
    FixtureApp app;
    startApp(app);
    ASSERT_TRUE(app.command("lag 150"));
    const JsonValue payload = replay(speed);
    EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
    EXPECT_TRUE(app.waitFor(R"(accepted Name "hello")", 10s)) << writeJson(payload);
    for (const std::string& report : app.reports())
      EXPECT_EQ(report.rfind("accepted Name", 0) != 0 || report == R"(accepted Name "hello")", true)
          << report;
  }
}

// The entry takes the focus a moment after its click: the keys wait for it instead of going to the
// button that has it.
TEST_F(ReadyReplays, KeysWaitForTheFieldToTakeTheFocus) {
  record([](FixtureApp& app) {
    ASSERT_TRUE(app.command("focus-button"));
    ASSERT_TRUE(app.clickOn("Query"));
    ASSERT_TRUE(test::xdotool({"type", "--delay", "40", "abc"}));
    ASSERT_TRUE(app.waitFor(R"(text Query "abc")"));
  });
  for (const double speed : {0.0, 1.0}) {
    SCOPED_TRACE(speed);
    FixtureApp app;
    startApp(app);
    ASSERT_TRUE(app.command("focus-button"));
    ASSERT_TRUE(app.command("focus-late 300"));
    const JsonValue payload = replay(speed);
    EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
    EXPECT_TRUE(app.waitFor(R"(text Query "abc")", 10s)) << writeJson(payload);
  }
}

// A terminal prints a line a moment after Enter; a word of it is double-clicked and pasted back with
// the middle button. Nothing on the accessibility bus says when the line is there: at speed 0 the
// pause after the Enter is kept, up to 300 ms.
TEST_F(ReadyReplays, ATerminalsOutputIsThereBeforeItIsDoubleClicked) {
  test::TempDir home;
  const auto xterm = [&] {
    return test::startTerminal("Echo terminal",
                               "read a; sleep 0.2; echo \"said $a\"; read b; echo \"$b\" > " + (home / "got"),
                               {"-geometry", "60x10+40+40", "-fn", "fixed"});
  };
  // Row 2 of the terminal, "said word", its fifth to eighth columns: the word (font "fixed" is 6x13,
  // the border 2 px); the window's place is fixed by -geometry, its frame's by the window manager.
  const auto onWord = [] {
    return test::xdotool(
        {"search", "--onlyvisible", "--name", "Echo terminal", "mousemove", "--window", "%1", "41", "21"});
  };
  {
    auto terminal = xterm();
    ASSERT_TRUE(terminal);
    recordAround([&] {
      ASSERT_TRUE(test::xdotool({"type", "--delay", "40", "word"}));
      ASSERT_TRUE(test::xdotool({"key", "Return"}));
      std::this_thread::sleep_for(600ms);
      ASSERT_TRUE(onWord());
      std::this_thread::sleep_for(100ms);
      ASSERT_TRUE(test::xdotool({"click", "--repeat", "2", "--delay", "80", "1"}));
      std::this_thread::sleep_for(200ms);
      ASSERT_TRUE(test::xdotool({"click", "2"}));
      std::this_thread::sleep_for(100ms);
      ASSERT_TRUE(test::xdotool({"key", "Return"}));
      ASSERT_TRUE(test::pollUntil<bool>([&] { return test::readText(home / "got") == "word\n"; },
                                        [](bool ok) { return ok; }, 5s));
    });
  }
  for (const double speed : {0.0, 1.0}) {
    SCOPED_TRACE(speed);
    std::filesystem::remove(home / "got");
    auto terminal = xterm();
    ASSERT_TRUE(terminal);
    const JsonValue payload = replay(speed);
    EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
    EXPECT_TRUE(test::pollUntil<bool>([&] { return test::readText(home / "got") == "word\n"; },
                                      [](bool ok) { return ok; }, 10s))
        << test::readText(home / "got");
  }
}

}  // namespace
}  // namespace diruri
