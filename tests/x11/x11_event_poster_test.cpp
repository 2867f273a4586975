// Replay into a real X server through XTest, checked by an independent XRecord observer.
#include "core/x11/x11_event_poster.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/temp_dir.hpp"
#include "tests/support/x11_test_display.hpp"

namespace diruri {
namespace {

using test::RawEvent;

constexpr int kPress = XCB_KEY_PRESS, kRelease = XCB_KEY_RELEASE;
constexpr int kButtonPress = XCB_BUTTON_PRESS, kButtonRelease = XCB_BUTTON_RELEASE;

class X11EventPosterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(server_.start(), "");
    ASSERT_TRUE(observer_.start(server_.display()));
  }
  void TearDown() override { observer_.stop(); }

  test::XvfbServer server_;
  test::RawRecordObserver observer_;
};

TEST_F(X11EventPosterTest, ObserverSeesEveryKindOfEventInOrderAtItsPosition) {
  X11EventPoster poster;
  ASSERT_TRUE(poster.begin());
  EXPECT_EQ(poster.postMouse(100, 200, true, 1), PostResult::Posted);
  EXPECT_EQ(poster.postMouse(640.4, 479.6, false, 1), PostResult::Posted);  // rounds to the nearest pixel
  EXPECT_EQ(poster.postKey(50, std::nullopt, true), PostResult::Posted);
  EXPECT_EQ(poster.postKey(38, std::nullopt, true), PostResult::Posted);
  EXPECT_EQ(poster.postKey(38, std::nullopt, false), PostResult::Posted);
  EXPECT_EQ(poster.postKey(50, std::nullopt, false), PostResult::Posted);
  EXPECT_EQ(poster.postScroll(2, false), PostResult::Posted);
  EXPECT_EQ(poster.postScroll(-1, false), PostResult::Posted);
  EXPECT_EQ(poster.postScroll(0, false), PostResult::Posted);
  EXPECT_EQ(poster.postMouse(300, 310, true, 3), PostResult::Posted);
  EXPECT_EQ(poster.postMove(320, 330), PostResult::Posted);
  EXPECT_EQ(poster.postMouse(320, 330, false, 3), PostResult::Posted);
  EXPECT_EQ(poster.postScroll(1, true), PostResult::Posted);
  EXPECT_EQ(poster.postScroll(-1, true), PostResult::Posted);
  poster.end();

  const std::vector<RawEvent> expected = {
      {kButtonPress, 1, 100, 200},   {kButtonRelease, 1, 640, 480}, {kPress, 50, 640, 480},
      {kPress, 38, 640, 480},        {kRelease, 38, 640, 480},      {kRelease, 50, 640, 480},
      {kButtonPress, 4, 640, 480},   {kButtonRelease, 4, 640, 480}, {kButtonPress, 4, 640, 480},
      {kButtonRelease, 4, 640, 480}, {kButtonPress, 5, 640, 480},   {kButtonRelease, 5, 640, 480},
      {kButtonPress, 3, 300, 310},   {kButtonRelease, 3, 320, 330}, {kButtonPress, 6, 320, 330},
      {kButtonRelease, 6, 320, 330}, {kButtonPress, 7, 320, 330},   {kButtonRelease, 7, 320, 330}};
  EXPECT_EQ(observer_.waitFor(expected.size()), expected);
  // end() returned after the server processed everything: nothing more is on its way.
  test::TestClient client(server_.display());
  client.fake(XCB_KEY_PRESS, 99);
  client.fake(XCB_KEY_RELEASE, 99);
  client.sync();
  auto all = observer_.waitFor(expected.size() + 2);
  EXPECT_EQ(all.size(), expected.size() + 2);
}

TEST_F(X11EventPosterTest, EndReleasesWhatTheReplayLeftPressed) {
  test::TestClient client(server_.display());
  X11EventPoster poster;
  ASSERT_TRUE(poster.begin());
  poster.postKey(50, std::nullopt, true);
  poster.postKey(64, std::nullopt, true);
  poster.postKey(64, std::nullopt, false);
  poster.postKey(37, std::nullopt, true);
  poster.postMouse(10, 20, true, 1);
  poster.end();
  poster.end();  // a second end posts nothing more

  const auto events = observer_.waitFor(8);
  ASSERT_EQ(events.size(), 8u);
  const std::vector<RawEvent> releases(events.begin() + 5, events.end());
  EXPECT_EQ(releases, (std::vector<RawEvent>{
                          {kRelease, 37, 10, 20}, {kRelease, 50, 10, 20}, {kButtonRelease, 1, 10, 20}}));
  EXPECT_TRUE(client.keysDown().empty());
  EXPECT_EQ(client.pointer()->mask & XCB_BUTTON_MASK_1, 0);
}

TEST_F(X11EventPosterTest, EventsOutsideThePlatformsRangeAreRefusedAndNotPosted) {
  X11EventPoster poster;
  EXPECT_NE(poster.postKey(38, std::nullopt, true), PostResult::Posted) << "before begin()";
  ASSERT_TRUE(poster.begin());
  EXPECT_NE(poster.postKey(7, std::nullopt, true), PostResult::Posted);
  EXPECT_NE(poster.postKey(256, std::nullopt, true), PostResult::Posted);
  EXPECT_NE(poster.postKey(-1, std::nullopt, false), PostResult::Posted);
  EXPECT_NE(poster.postScroll(X11EventPoster::kMaxScrollSteps + 1, false), PostResult::Posted);
  EXPECT_NE(poster.postScroll(-X11EventPoster::kMaxScrollSteps - 1, false), PostResult::Posted);
  EXPECT_NE(poster.postMouse(NAN, 1, true, 1), PostResult::Posted);
  for (const int64_t wheel : {0, 4, 7, 256})
    EXPECT_EQ(poster.postMouse(1, 1, true, wheel), PostResult::Inexpressible);
  EXPECT_NE(poster.postMouse(1, INFINITY, true, 1), PostResult::Posted);
  EXPECT_NE(poster.postMouse(40000, 1, true, 1), PostResult::Posted);
  // Off the screen: the X server would move the click to its edge, onto something else.
  EXPECT_EQ(poster.postMouse(-1, 5, true, 1), PostResult::Inexpressible);
  EXPECT_EQ(poster.postMouse(5, 5000, true, 1), PostResult::Inexpressible);
  EXPECT_EQ(poster.postMouse(5000, 5, false, 1), PostResult::Inexpressible);
  EXPECT_EQ(poster.postKey(8, std::nullopt, true), PostResult::Posted);  // the edges of the range are fine
  EXPECT_EQ(poster.postKey(255, std::nullopt, true), PostResult::Posted);
  poster.end();
  // Only the two keys and their releases at the end.
  const auto events = observer_.waitFor(4);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].detail, 8);
  EXPECT_EQ(events[1].detail, 255);
  EXPECT_EQ(events[2].type, kRelease);
  EXPECT_EQ(events[3].type, kRelease);
}

TEST_F(X11EventPosterTest, TenThousandEventsArriveCompleteAndInOrder) {
  X11EventPoster poster;
  ASSERT_TRUE(poster.begin());
  std::vector<RawEvent> expected;
  for (int i = 0; i < 2500; ++i) {
    const int x = i % 1920, y = (i * 7) % 1080;
    const uint8_t code = static_cast<uint8_t>(10 + i % 50);
    poster.postMouse(x, y, true, 1);
    poster.postMouse(x, y, false, 1);
    poster.postKey(code, std::nullopt, true);
    poster.postKey(code, std::nullopt, false);
    expected.push_back({kButtonPress, 1, x, y});
    expected.push_back({kButtonRelease, 1, x, y});
    expected.push_back({kPress, code, x, y});
    expected.push_back({kRelease, code, x, y});
  }
  poster.end();
  EXPECT_EQ(observer_.waitFor(expected.size()), expected);
}

TEST_F(X11EventPosterTest, ServerGoneFailsPostingWithoutEndingTheProcess) {
  observer_.stop();
  X11EventPoster poster;
  ASSERT_TRUE(poster.begin());
  EXPECT_EQ(poster.postKey(50, std::nullopt, true), PostResult::Posted);
  server_.kill();
  bool anyFailed = false;
  // The loss shows once a write or a round trip meets the closed socket.
  for (int i = 0; i < 2000 && !anyFailed; ++i)
    anyFailed = poster.postKey(38, std::nullopt, i % 2 == 0) != PostResult::Posted;
  EXPECT_TRUE(anyFailed);
  poster.end();
  EXPECT_FALSE(poster.begin());
  poster.end();
}

TEST(X11EventPosterWithoutDisplay, BeginFailsAndNothingIsPosted) {
  ::setenv("DISPLAY", ":65002", 1);
  X11EventPoster poster;
  EXPECT_FALSE(poster.begin());
  EXPECT_NE(poster.postMouse(1, 1, true, 1), PostResult::Posted);
  EXPECT_NE(poster.postScroll(1, false), PostResult::Posted);
  poster.end();
}

}  // namespace
}  // namespace diruri
