// The accessibility snapshot of a GTK application in front: its roles, and the file it is written to.
#include <gtest/gtest.h>

#include "core/atspi/accessibility_inspector.hpp"
#include "core/platform/file_system.hpp"
#include "core/store/event_store.hpp"
#include "tests/atspi/atspi_test_support.hpp"
#include "tests/support/fixed_clock.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri {
namespace {

using namespace std::chrono_literals;

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

// The focused element's fields follow it; the window's role stays.
TEST_F(AccessibilitySnapshotTest, FollowsTheFocusToTheButton) {
  test::FixtureApp app;
  ASSERT_EQ(app.start("Focus Probe"), "");
  ASSERT_TRUE(snapshotOf(app.pid()).has_value());
  ASSERT_TRUE(app.command("focus-button"));
  // GTK reports no focused widget for a few milliseconds after the focus moved.
  const std::optional<AccessibilitySnapshot> snapshot = test::pollUntil<std::optional<AccessibilitySnapshot>>(
      [&] { return inspector_.accessibilitySnapshot(); },
      [](const std::optional<AccessibilitySnapshot>& s) {
        return s && s->focusedElementRole == "push button";
      });
  ASSERT_TRUE(snapshot.has_value());
  EXPECT_EQ(snapshot->focusedWindowRole, "frame");
  EXPECT_EQ(snapshot->focusedElementRole, "push button");
  EXPECT_EQ(snapshot->focusedElementTitle, "Send");
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
