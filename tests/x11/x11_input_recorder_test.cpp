// System-wide capture against a real X server, with input from xdotool and XTest.
#include "core/x11/x11_input_recorder.hpp"

#include <dirent.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <stdexcept>

#include <atomic>
#include <fstream>
#include <mutex>

#include "core/capture/pointer_motion.hpp"
#include "core/mcp/default_graph.hpp"
#include "tests/support/captured_output.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/x11_test_display.hpp"
#include "tests/x11/captured_event_printing.hpp"

namespace diruri {
namespace {

using test::Inbox;

class X11InputRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = server_.start();
    ASSERT_EQ(why, "");
  }

  // xdotool, an input source independent of this code; exit status 0 expected.
  void xdotool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    const int status = test::runQuietly(argv);
    ASSERT_NE(status, -1) << "xdotool did not start";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "xdotool failed";
  }

  test::XvfbServer server_;
};

// What a test can expect of an event: its times and motion count depend on the machine.
CapturedInputEvent untimed(CapturedInputEvent e) {
  e.deviceMs = 0;
  e.ageMs = 0;
  e.pointerMoves = 0;
  return e;
}
CapturedInputEvent event(const char* type) {
  CapturedInputEvent e;
  e.type = eventTypeNamed(type);
  return e;
}
CapturedInputEvent mouse(const char* type, double x, double y, int64_t button = 1) {
  CapturedInputEvent e = event(type);
  e.x = x;
  e.y = y;
  e.button = button;
  return e;
}
CapturedInputEvent key(const char* type, int64_t code, int64_t keysym,
                       std::optional<std::string> text = std::nullopt) {
  CapturedInputEvent e = event(type);
  e.keyCode = code;
  e.keysym = keysym;
  e.text = std::move(text);
  return e;
}
CapturedInputEvent scroll(int64_t amount) {
  CapturedInputEvent e = event("scroll");
  e.scrollY = amount;
  return e;
}

// Threads of this process whose name is the capture thread's.
int captureThreads() {
  int count = 0;
  DIR* dir = opendir("/proc/self/task");
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name == "ZuderoZadoveVid") ++count;
  }
  closedir(dir);
  return count;
}

TEST_F(X11InputRecorderTest, ClicksAtKnownPositionsOnANamedThread) {
  X11InputRecorder recorder(x11DisplayName);
  EXPECT_TRUE(recorder.canObserveInput());
  Inbox<CapturedInputEvent> inbox;
  std::atomic<bool> onCaptureThread{true};
  ASSERT_TRUE(recorder.start([&](const CapturedInputEvent& e) {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    if (std::string(name) != "ZuderoZadoveVid") onCaptureThread = false;
    inbox.push(untimed(e));
  }));
  EXPECT_TRUE(recorder.isRunning());

  xdotool({"mousemove", "120", "340", "click", "1", "mousemove", "1919", "0", "click", "3", "click", "1"});
  EXPECT_EQ(inbox.waitFor(6), (std::vector{mouse("mouse_down", 120, 340), mouse("mouse_up", 120, 340),
                                           mouse("mouse_down", 1919, 0, 3), mouse("mouse_up", 1919, 0, 3),
                                           mouse("mouse_down", 1919, 0), mouse("mouse_up", 1919, 0)}));
  recorder.stop();
  EXPECT_FALSE(recorder.isRunning());
  EXPECT_TRUE(onCaptureThread);
  EXPECT_EQ(captureThreads(), 0);
}

// A handler that throws loses that event only: the next ones still come, and capture goes on.
TEST_F(X11InputRecorderTest, AHandlerThatThrowsLosesThatEventOnly) {
  X11InputRecorder recorder(x11DisplayName);
  Inbox<CapturedInputEvent> inbox;
  std::atomic<int> calls{0};
  ASSERT_TRUE(recorder.start([&](const CapturedInputEvent& e) {
    if (calls++ == 0) throw std::runtime_error("the log is gone");
    inbox.push(untimed(e));
  }));
  xdotool({"mousemove", "50", "60", "click", "1", "click", "1"});
  EXPECT_EQ(inbox.waitFor(3),
            (std::vector{mouse("mouse_up", 50, 60), mouse("mouse_down", 50, 60), mouse("mouse_up", 50, 60)}));
  EXPECT_TRUE(recorder.isRunning());
  recorder.stop();
}

// Each key with what it produced: the modifier too, and a letter's case as Shift made it.
TEST_F(X11InputRecorderTest, TypedTextWithShiftRecordsEveryKeyIncludingTheModifier) {
  test::TestClient client(server_.display());
  const int shift = client.keycodeFor(0xffe1);  // Shift_L
  const int a = client.keycodeFor('a');
  const int b = client.keycodeFor('b');
  ASSERT_TRUE(shift && a && b);

  X11InputRecorder recorder(x11DisplayName);
  Inbox<CapturedInputEvent> inbox;
  ASSERT_TRUE(recorder.start([&](const CapturedInputEvent& e) { inbox.push(untimed(e)); }));
  xdotool({"keydown", "shift", "keydown", "a", "keyup", "a", "keyup", "shift", "key", "b"});
  EXPECT_EQ(inbox.waitFor(6), (std::vector{key("key_down", shift, 0xffe1), key("key_down", a, 'A', "A"),
                                           key("key_up", a, 'A', "A"), key("key_up", shift, 0xffe1),
                                           key("key_down", b, 'b', "b"), key("key_up", b, 'b', "b")}));
  recorder.stop();
}

TEST_F(X11InputRecorderTest, WheelStepsAreOneEventPerPressEitherWay) {
  X11InputRecorder recorder(x11DisplayName);
  Inbox<CapturedInputEvent> inbox;
  ASSERT_TRUE(recorder.start([&](const CapturedInputEvent& e) { inbox.push(untimed(e)); }));
  xdotool({"click", "--delay", "5", "--repeat", "2", "4", "click", "6", "click", "7", "click", "--delay", "5",
           "--repeat", "3", "5"});
  CapturedInputEvent left = scroll(0), right = scroll(0);
  left.scrollY.reset(), right.scrollY.reset();
  left.scrollX = 1, right.scrollX = -1;
  EXPECT_EQ(inbox.waitFor(7),
            (std::vector{scroll(1), scroll(1), left, right, scroll(-1), scroll(-1), scroll(-1)}));
  recorder.stop();
  EXPECT_EQ(inbox.items().size(), 7u);
}

// A drag keeps its path, sampled, and ends with the last point before the release; a pointer that
// rests away from where the log last was is a hover, dated when it came to rest.
TEST_F(X11InputRecorderTest, ADragKeepsItsPathAndARestIsAHover) {
  X11InputRecorder recorder(x11DisplayName);
  Inbox<CapturedInputEvent> inbox;
  std::vector<CapturedInputEvent> timed;
  std::mutex timedMutex;
  ASSERT_TRUE(recorder.start([&](const CapturedInputEvent& e) {
    {
      std::lock_guard lock(timedMutex);
      timed.push_back(e);
    }
    inbox.push(untimed(e));
  }));
  test::TestClient poster(server_.display());
  const auto moveTo = [&](int x, int y) {
    poster.fake(XCB_MOTION_NOTIFY, 0, static_cast<int16_t>(x), static_cast<int16_t>(y));
    poster.sync();
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  };
  moveTo(100, 100);
  poster.fake(XCB_BUTTON_PRESS, 1);
  poster.sync();
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  for (int x = 110; x <= 200; x += 10) moveTo(x, 100);  // each far and late enough to be kept
  moveTo(201, 100);                                     // too close: kept only as the last before release
  poster.fake(XCB_BUTTON_RELEASE, 1);
  poster.sync();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  moveTo(400, 300);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  moveTo(401, 300);  // still: the rest goes on
  moveTo(600, 300);  // ends it
  poster.fake(XCB_KEY_PRESS, 40);
  poster.sync();

  std::vector<CapturedInputEvent> expected{mouse("mouse_down", 100, 100)};
  for (int x = 110; x <= 200; x += 10) {
    CapturedInputEvent move = mouse("mouse_move", x, 100);
    move.button.reset();
    move.buttons = {1};
    expected.push_back(move);
  }
  CapturedInputEvent last = expected.back();
  last.x = 201;
  expected.push_back(last);
  expected.push_back(mouse("mouse_up", 201, 100));
  CapturedInputEvent hover = mouse("mouse_move", 400, 300);
  hover.button.reset();
  expected.push_back(hover);
  const std::vector<CapturedInputEvent> got = inbox.waitFor(expected.size() + 1);
  ASSERT_EQ(got.size(), expected.size() + 1) << ::testing::PrintToString(got);
  EXPECT_EQ(std::vector(got.begin(), got.end() - 1), expected);
  EXPECT_EQ(got.back().type, EventType::kKeyDown);
  recorder.stop();
  std::lock_guard lock(timedMutex);
  // The hover was told only when the rest ended, and says how long before that it began.
  EXPECT_GE(timed[expected.size() - 1].ageMs, PointerMotion::kHoverRestMs);
}

TEST_F(X11InputRecorderTest, StopIsIdempotentAndStartWorksAgainAfterIt) {
  X11InputRecorder recorder(x11DisplayName);
  recorder.stop();  // never started
  recorder.stop();
  EXPECT_FALSE(recorder.isRunning());
  test::TestClient poster(server_.display());
  for (int round = 0; round < 3; ++round) {
    Inbox<CapturedInputEvent> inbox;
    ASSERT_TRUE(recorder.start([&](const CapturedInputEvent& e) { inbox.push(untimed(e)); })) << round;
    EXPECT_FALSE(recorder.start([](const CapturedInputEvent&) {})) << "second start while running";
    poster.fake(XCB_KEY_PRESS, static_cast<uint8_t>(30 + round));
    poster.fake(XCB_KEY_RELEASE, static_cast<uint8_t>(30 + round));
    poster.sync();
    // Key codes 30, 31 and 32 are u, i and o on the server's US layout.
    const int64_t letter = "uio"[round];
    const std::string text(1, "uio"[round]);
    EXPECT_EQ(inbox.waitFor(2), (std::vector{key("key_down", 30 + round, letter, text),
                                             key("key_up", 30 + round, letter, text)}));
    recorder.stop();
    recorder.stop();
    EXPECT_FALSE(recorder.isRunning());
    EXPECT_EQ(captureThreads(), 0);
  }
}

// Input keeps flowing from another client while capture is started and stopped over and over; a
// slow handler widens the window in which a late callback would show.
TEST_F(X11InputRecorderTest, NoCallbackRunsOnceStopHasReturnedEvenStoppedAtOnce) {
  std::atomic<bool> posting{true};
  std::thread input([&] {
    test::TestClient poster(server_.display());
    while (posting) {
      for (int i = 0; i < 20; ++i) {
        poster.fake(XCB_KEY_PRESS, 40);
        poster.fake(XCB_KEY_RELEASE, 40);
      }
      poster.sync();
    }
  });

  X11InputRecorder recorder(x11DisplayName);
  std::atomic<bool> stopped{false};
  std::atomic<int> late{0};
  std::atomic<int> delivered{0};
  for (int round = 0; round < 40; ++round) {
    stopped = false;
    ASSERT_TRUE(recorder.start([&](const CapturedInputEvent&) {
      if (stopped) ++late;
      ++delivered;
      std::this_thread::sleep_for(std::chrono::microseconds(200));  // a slow handler, not a sync
    }));
    if (round % 2 == 1) {
      const int before = delivered;
      while (delivered < before + 3) std::this_thread::yield();
    }
    recorder.stop();  // even round: stops before any event is handled
    stopped = true;
    EXPECT_EQ(captureThreads(), 0) << round;
    EXPECT_FALSE(recorder.isRunning());
  }
  posting = false;
  input.join();
  EXPECT_EQ(late, 0);
  EXPECT_GT(delivered, 0);
}

TEST_F(X11InputRecorderTest, StopFromInsideTheHandlerEndsCapture) {
  X11InputRecorder recorder(x11DisplayName);
  Inbox<CapturedInputEvent> inbox;
  ASSERT_TRUE(recorder.start([&](const CapturedInputEvent& e) {
    recorder.stop();
    inbox.push(untimed(e));  // after stop(), so that the test sees its effect once it sees the event
  }));
  test::TestClient poster(server_.display());
  for (int i = 0; i < 10; ++i) poster.fake(XCB_KEY_PRESS, 41), poster.fake(XCB_KEY_RELEASE, 41);
  poster.sync();
  EXPECT_EQ(inbox.waitFor(1).size(), 1u);
  EXPECT_FALSE(recorder.isRunning());
  // The next start collects the old thread and captures again.
  Inbox<CapturedInputEvent> again;
  ASSERT_TRUE(recorder.start([&](const CapturedInputEvent& e) { again.push(untimed(e)); }));
  poster.fake(XCB_KEY_PRESS, 42);
  poster.sync();
  EXPECT_EQ(again.waitFor(1), std::vector{key("key_down", 42, 'g', "g")});
  recorder.stop();
  EXPECT_EQ(inbox.items().size(), 1u);
}

// The handler stops capture while a stop() on the main thread is already waiting for the capture
// thread: neither may wait for the other.
TEST_F(X11InputRecorderTest, StopFromTheHandlerDuringAStopElsewhereDoesNotDeadlock) {
  X11InputRecorder recorder(x11DisplayName);
  std::atomic<bool> entered{false};
  std::atomic<bool> handlerStopped{false};
  ASSERT_TRUE(recorder.start([&](const CapturedInputEvent&) {
    if (entered.exchange(true)) return;
    while (recorder.isRunning()) std::this_thread::yield();  // the main thread is inside stop()
    recorder.stop();
    EXPECT_FALSE(recorder.start([](const CapturedInputEvent&) {}));
    handlerStopped = true;
  }));
  test::TestClient poster(server_.display());
  poster.fake(XCB_KEY_PRESS, 43);
  poster.sync();
  while (!entered) std::this_thread::yield();
  recorder.stop();
  EXPECT_TRUE(handlerStopped);
  EXPECT_EQ(captureThreads(), 0);
}

// The server dies under a running capture: one marker, the flag turns false, the process lives
// and prints nothing.
TEST_F(X11InputRecorderTest, ServerKilledDuringCaptureGivesOneMarkerAndEndsCapture) {
  test::CapturedOutput output;
  X11InputRecorder recorder(x11DisplayName);
  Inbox<CapturedInputEvent> inbox;
  const bool started = recorder.start([&](const CapturedInputEvent& e) { inbox.push(untimed(e)); });
  server_.kill();
  const auto events = inbox.waitFor(1);
  const bool runningAfter = recorder.isRunning();
  recorder.stop();
  recorder.stop();
  const bool restarted = recorder.start([&](const CapturedInputEvent& e) { inbox.push(untimed(e)); });
  const bool trusted = recorder.canObserveInput();
  const std::string printed = output.text();

  ASSERT_TRUE(started);
  EXPECT_EQ(events, std::vector{event("user_marker")});
  EXPECT_FALSE(runningAfter);
  EXPECT_FALSE(restarted);
  EXPECT_FALSE(trusted);
  EXPECT_EQ(captureThreads(), 0);
  EXPECT_EQ(inbox.items().size(), 1u);
  EXPECT_EQ(printed, "");
}

TEST(X11InputRecorderWithoutDisplay, IsNotTrustedAndDoesNotStart) {
  ::setenv("DISPLAY", ":65000", 1);
  X11InputRecorder recorder(x11DisplayName);
  EXPECT_FALSE(recorder.canObserveInput());
  EXPECT_FALSE(recorder.start([](const CapturedInputEvent&) {}));
  EXPECT_FALSE(recorder.isRunning());
  ::unsetenv("DISPLAY");
  EXPECT_FALSE(recorder.canObserveInput());
  EXPECT_FALSE(recorder.start([](const CapturedInputEvent&) {}));
  recorder.stop();
}

}  // namespace
}  // namespace diruri
