// The focused window and element of a real GTK application, read over a private accessibility bus,
// and the snapshot the inspector makes of them and the file it is written to.
#include "core/atspi/atspi_focus.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "core/atspi/accessibility_inspector.hpp"
#include "core/store/event_store.hpp"
#include "tests/atspi/atspi_test_support.hpp"
#include "tests/support/fixed_clock.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri {

void PrintTo(const FocusedRoles& roles, std::ostream* out) {
  const auto field = [](const std::optional<std::string>& f) {
    return f ? "\"" + *f + "\"" : std::string("-");
  };
  *out << "{" << field(roles.windowRole) << ", " << field(roles.elementRole) << ", "
       << field(roles.elementName) << "}";
}

namespace {

using namespace std::chrono_literals;
using Search = AtspiFocus::Search;

const FocusedRoles kEntryFocused{"frame", "text", "Query"};

class AtspiFocusTest : public ::testing::TestWithParam<Search> {
 protected:
  void SetUp() override { ASSERT_EQ(test::startSharedDesktop(), ""); }

  FocusedRoles query(pid_t pid, std::chrono::milliseconds budget = AtspiFocus::kDefaultBudget) {
    return AtspiFocus(x11AccessibilityBus(), budget, GetParam()).query(pid);
  }

  // The application's roles once they are `expected`. It registers with the accessibility
  // registry on its own time, and GTK itself reports no focused widget for a few milliseconds
  // after the focus moved (pyatspi sees the same); a stale answer would stay and fail.
  FocusedRoles settled(pid_t pid, const FocusedRoles& expected) {
    return test::pollUntil<FocusedRoles>([&] { return query(pid); },
                                         [&](const FocusedRoles& r) { return r == expected; });
  }
};

TEST_P(AtspiFocusTest, ReportsTheActiveWindowAndTheFocusedElementOfThatProcessOnly) {
  test::FixtureApp app;
  ASSERT_EQ(app.start("Focus Probe / One"), "");
  test::CapturedOutput output;
  const FocusedRoles roles = settled(app.pid(), kEntryFocused);
  const FocusedRoles ofThisProcess = query(::getpid());
  const FocusedRoles ofNoProcess = query(0);
  EXPECT_EQ(output.text(), "") << "the library must print nothing";
  EXPECT_EQ(roles, kEntryFocused);
  EXPECT_EQ(ofThisProcess, FocusedRoles{}) << "this process has no accessible application";
  EXPECT_EQ(ofNoProcess, FocusedRoles{});
}

// Nothing is answered from an earlier query: the focus and the name are read afresh each time.
TEST_P(AtspiFocusTest, FollowsTheFocusAndTheNameAsTheyChange) {
  test::FixtureApp app;
  ASSERT_EQ(app.start("Focus Probe / Two"), "");
  ASSERT_EQ(settled(app.pid(), kEntryFocused), kEntryFocused);

  ASSERT_TRUE(app.command("focus-button"));
  const FocusedRoles button{"frame", "push button", "Send"};
  EXPECT_EQ(settled(app.pid(), button), button);

  ASSERT_TRUE(app.command("name Search: caf\xC3\xA9 / tea"));
  ASSERT_TRUE(app.command("focus-entry"));
  const FocusedRoles renamed{"frame", "text", "Search: caf\xC3\xA9 / tea"};
  EXPECT_EQ(settled(app.pid(), renamed), renamed);

  ASSERT_TRUE(app.command("name "));
  const FocusedRoles unnamed{"frame", "text", ""};
  EXPECT_EQ(settled(app.pid(), unnamed), unnamed) << "an empty name is still a name";
}

// A stopped application cannot answer; the query gives up within its budget, and neither it nor
// a responsive application is held up by it afterwards.
TEST_P(AtspiFocusTest, AnApplicationThatDoesNotAnswerYieldsNoRolesWithinTheBudget) {
  test::FixtureApp stalled;
  ASSERT_EQ(stalled.start("Stalled"), "");
  ASSERT_EQ(settled(stalled.pid(), kEntryFocused), kEntryFocused);
  test::FixtureApp other;
  ASSERT_EQ(other.start("Other"), "");  // the window manager activates the newer window
  ASSERT_EQ(settled(other.pid(), kEntryFocused), kEntryFocused);

  ASSERT_EQ(::kill(stalled.pid(), SIGSTOP), 0);
  test::CapturedOutput output;
  const auto begin = std::chrono::steady_clock::now();
  const FocusedRoles ofStalled = query(stalled.pid(), 300ms);
  const auto took = std::chrono::steady_clock::now() - begin;
  const FocusedRoles ofOther = query(other.pid());
  const FocusedRoles ofStalledAgain = query(stalled.pid(), 300ms);
  ::kill(stalled.pid(), SIGCONT);
  EXPECT_EQ(output.text(), "");
  EXPECT_EQ(ofStalled, FocusedRoles{});
  EXPECT_EQ(ofStalledAgain, FocusedRoles{});
  EXPECT_LT(took, 5s) << "the default bus timeout is 25 s";
  EXPECT_EQ(ofOther, kEntryFocused);

  // Continued, it answers again once its window is the active one.
  other.stop();
  EXPECT_EQ(settled(stalled.pid(), kEntryFocused), kEntryFocused);
}

INSTANTIATE_TEST_SUITE_P(BothSearches, AtspiFocusTest, ::testing::Values(Search::kCollection, Search::kWalk),
                         [](const ::testing::TestParamInfo<Search>& info) {
                           return info.param == Search::kCollection ? "Collection" : "Walk";
                         });

// The same roles as the inspector writes them into a recording's snapshot.
class AccessibilitySnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(test::startSharedDesktop(), ""); }

  // The snapshot once the application is in front and registered with the accessibility registry.
  std::optional<AccessibilitySnapshot> snapshotOf(pid_t pid) {
    return test::registeredSnapshot(pid, &inspector_);
  }

  test::FixedClock clock_{1767225600000, 0};  // 2026-01-01T00:00:00Z
  AccessibilityInspector inspector_ = test::x11Inspector(clock_);
  test::TempDir dir_;
};

TEST_F(AccessibilitySnapshotTest, CarriesTheRolesAndIsWrittenInTheFileLayout) {
  test::FixtureApp app;
  ASSERT_EQ(app.start("Focus Probe / \"One\""), "");
  test::CapturedOutput output;
  const std::optional<AccessibilitySnapshot> snapshot = snapshotOf(app.pid());
  ASSERT_TRUE(snapshot.has_value());
  EventStore(test::realFileSystem()).writeSnapshot(*snapshot, dir_ / "ax-snapshots/start-2.json");
  EXPECT_EQ(output.text(), "");

  EXPECT_EQ(*snapshot,
            (AccessibilitySnapshot{{"FocusProbe", "FocusProbe", app.pid(), "Focus Probe / \"One\""},
                                   "frame",
                                   "text",
                                   "Query",
                                   "2026-01-01T00:00:00Z"}));
  EXPECT_EQ(test::readText(dir_ / "ax-snapshots/start-2.json"),
            "{\n"
            "  \"app\" : {\n"
            "    \"appName\" : \"FocusProbe\",\n"
            "    \"bundleId\" : \"FocusProbe\",\n"
            "    \"processId\" : " +
                std::to_string(app.pid()) +
                ",\n"
                "    \"windowTitle\" : \"Focus Probe \\/ \\\"One\\\"\"\n"
                "  },\n"
                "  \"capturedAt\" : \"2026-01-01T00:00:00Z\",\n"
                "  \"focusedElementRole\" : \"text\",\n"
                "  \"focusedElementTitle\" : \"Query\",\n"
                "  \"focusedWindowRole\" : \"frame\"\n"
                "}");
}

// A front application that does not answer accessibility queries still gives its snapshot, with
// what X11 tells about it and without the three fields, in bounded time.
TEST_F(AccessibilitySnapshotTest, AnApplicationThatDoesNotAnswerGivesASnapshotWithoutRoles) {
  test::FixtureApp app;
  ASSERT_EQ(app.start("Stalled Probe"), "");
  ASSERT_TRUE(snapshotOf(app.pid()).has_value());
  ASSERT_EQ(::kill(app.pid(), SIGSTOP), 0);
  test::CapturedOutput output;
  const auto begin = std::chrono::steady_clock::now();
  const std::optional<AccessibilitySnapshot> snapshot = inspector_.accessibilitySnapshot();
  const auto took = std::chrono::steady_clock::now() - begin;
  ::kill(app.pid(), SIGCONT);
  EXPECT_EQ(output.text(), "");
  EXPECT_LT(took, 5s);
  ASSERT_TRUE(snapshot.has_value());
  EXPECT_EQ(snapshot->app, (ForegroundAppSnapshot{"FocusProbe", "FocusProbe", app.pid(), "Stalled Probe"}));
  EXPECT_EQ(snapshot->focusedWindowRole, std::nullopt);
  EXPECT_EQ(snapshot->focusedElementRole, std::nullopt);
  EXPECT_EQ(snapshot->focusedElementTitle, std::nullopt);
  EXPECT_EQ(writeJson(snapshot->toJson(), JsonLayout::Pretty).find("focused"), std::string::npos);
}

}  // namespace
}  // namespace diruri
