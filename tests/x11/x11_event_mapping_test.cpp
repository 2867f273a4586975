// The mapping from recorded X device events to captured input events, without a display.
#include "core/x11/x11_event_mapping.hpp"

#include "core/capture/pointer_motion.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "tests/x11/captured_event_printing.hpp"

namespace diruri {
namespace {

CapturedInputEvent mouse(const char* type, double x, double y, int64_t button = 1) {
  CapturedInputEvent e;
  e.type = eventTypeNamed(type);
  e.x = x;
  e.y = y;
  if (e.type != EventType::kMouseMove) e.button = button;
  return e;
}
CapturedInputEvent key(const char* type, int64_t code) {
  CapturedInputEvent e;
  e.type = eventTypeNamed(type);
  e.keyCode = code;
  return e;
}
CapturedInputEvent scroll(int64_t amount, bool sideways = false) {
  CapturedInputEvent e;
  e.type = EventType::kScroll;
  (sideways ? e.scrollX : e.scrollY) = amount;
  return e;
}

TEST(X11EventMapping, LeftButtonBecomesMouseDownAndUpWithRootPosition) {
  EXPECT_EQ(capturedEventFromX11(kX11ButtonPress, 1, 640, -3), mouse("mouse_down", 640, -3));
  EXPECT_EQ(capturedEventFromX11(kX11ButtonRelease, 1, 0, 1079), mouse("mouse_up", 0, 1079));
}

TEST(X11EventMapping, KeysIncludingModifiersCarryTheXKeycodeOnly) {
  EXPECT_EQ(capturedEventFromX11(kX11KeyPress, 38, 10, 20), key("key_down", 38));
  EXPECT_EQ(capturedEventFromX11(kX11KeyRelease, 38, 10, 20), key("key_up", 38));
  // Shift_L on the usual layout: a modifier is a key like any other here.
  EXPECT_EQ(capturedEventFromX11(kX11KeyPress, 50, 0, 0), key("key_down", 50));
  EXPECT_EQ(capturedEventFromX11(kX11KeyRelease, 255, 0, 0), key("key_up", 255));
}

TEST(X11EventMapping, WheelPressesAreOneStepEachAndTheirReleasesNothing) {
  EXPECT_EQ(capturedEventFromX11(kX11ButtonPress, 4, 5, 5), scroll(1));
  EXPECT_EQ(capturedEventFromX11(kX11ButtonPress, 5, 5, 5), scroll(-1));
  EXPECT_EQ(capturedEventFromX11(kX11ButtonPress, 6, 5, 5), scroll(1, true));
  EXPECT_EQ(capturedEventFromX11(kX11ButtonPress, 7, 5, 5), scroll(-1, true));
  for (int wheel : {4, 5, 6, 7})
    EXPECT_EQ(capturedEventFromX11(kX11ButtonRelease, wheel, 5, 5), std::nullopt);
}

TEST(X11EventMapping, EveryOtherButtonIsAClickOfItsNumberAndMotionAMove) {
  for (int button : {2, 3, 8, 9, 12}) {
    EXPECT_EQ(capturedEventFromX11(kX11ButtonPress, button, 1, 2), mouse("mouse_down", 1, 2, button));
    EXPECT_EQ(capturedEventFromX11(kX11ButtonRelease, button, 1, 2), mouse("mouse_up", 1, 2, button));
  }
  EXPECT_EQ(capturedEventFromX11(kX11MotionNotify, 0, 30, 40), mouse("mouse_move", 30, 40));
  EXPECT_EQ(capturedEventFromX11(0, 1, 1, 1), std::nullopt);
  EXPECT_EQ(capturedEventFromX11(7, 0, 1, 1), std::nullopt);  // EnterNotify
}

// A 32-byte core event as the server lays it out in a record reply.
std::string rawEvent(uint8_t type, uint8_t detail, int16_t x, int16_t y, bool bigEndian = false,
                     uint32_t timeMs = 0) {
  std::string ev(32, '\0');
  ev[0] = static_cast<char>(type);
  ev[1] = static_cast<char>(detail);
  auto put = [&](size_t at, int16_t v) {
    const auto u = static_cast<uint16_t>(v);
    ev[at + (bigEndian ? 1 : 0)] = static_cast<char>(u & 0xff);
    ev[at + (bigEndian ? 0 : 1)] = static_cast<char>(u >> 8);
  };
  put(20, x);
  put(22, y);
  put(24, 7);  // event_x: must not be taken for the root position
  for (int i = 0; i < 4; ++i) ev[4 + (bigEndian ? 3 - i : i)] = static_cast<char>((timeMs >> (8 * i)) & 0xff);
  return ev;
}

std::vector<CapturedInputEvent> parse(const std::string& data, bool swapped = false) {
  return capturedEventsFromRecordData(reinterpret_cast<const uint8_t*>(data.data()), data.size(), swapped);
}

TEST(X11RecordData, RunsOfEventsAreMappedInOrderAndIgnoredOnesSkipped) {
  const std::string data = rawEvent(kX11ButtonPress, 1, 300, 400) + rawEvent(kX11ButtonPress, 3, 1, 1) +
                           rawEvent(kX11KeyPress, 24, 0, 0) + rawEvent(kX11ButtonRelease, 1, -20, 1200);
  EXPECT_EQ(parse(data),
            (std::vector<CapturedInputEvent>{mouse("mouse_down", 300, 400), mouse("mouse_down", 1, 1, 3),
                                             key("key_down", 24), mouse("mouse_up", -20, 1200)}));
}

TEST(X11RecordData, SentEventFlagIsIgnoredAndSwappedOrderIsHonoured) {
  EXPECT_EQ(parse(rawEvent(0x80 | kX11KeyRelease, 9, 0, 0)), std::vector{key("key_up", 9)});
  CapturedInputEvent timed = mouse("mouse_down", 0x0102, -2);
  timed.deviceMs = 0x01020304;
  EXPECT_EQ(parse(rawEvent(kX11ButtonPress, 1, 0x0102, -2, true, 0x01020304), true), std::vector{timed});
  EXPECT_EQ(parse(rawEvent(kX11ButtonPress, 1, 0x0102, -2, false, 0x01020304)), std::vector{timed});
}

TEST(X11RecordData, TruncatedTrailingEventIsDropped) {
  std::string data = rawEvent(kX11KeyPress, 30, 0, 0) + rawEvent(kX11KeyRelease, 30, 0, 0);
  data.resize(63);
  EXPECT_EQ(parse(data), std::vector{key("key_down", 30)});
  EXPECT_TRUE(parse("").empty());
}

}  // namespace
}  // namespace diruri

namespace diruri {
namespace {

// What PointerMotion keeps of a run of device events, each "type x y ms" (type d, u, m, k: press,
// release, motion, key; button 1 unless "d3"/"u3").
std::vector<std::string> kept(const std::vector<std::string>& events) {
  PointerMotion motion;
  std::vector<CapturedInputEvent> out;
  for (const std::string& text : events) {
    std::istringstream in(text);
    std::string kind;
    double x = 0, y = 0;
    uint32_t ms = 0;
    in >> kind >> x >> y >> ms;
    CapturedInputEvent e;
    e.type = kind[0] == 'd'   ? EventType::kMouseDown
             : kind[0] == 'u' ? EventType::kMouseUp
             : kind[0] == 'm' ? EventType::kMouseMove
                              : EventType::kKeyDown;
    if (e.type != EventType::kKeyDown) e.x = x, e.y = y;
    if (e.type == EventType::kMouseDown || e.type == EventType::kMouseUp)
      e.button = kind.size() > 1 ? kind[1] - '0' : 1;
    e.deviceMs = ms;
    motion.feed(e, out);
  }
  std::vector<std::string> said;
  for (const CapturedInputEvent& e : out) {
    std::string held;
    for (const int64_t b : e.buttons) held += std::to_string(b);
    said.push_back(
        std::string(eventTypeName(e.type)) + (e.x ? " " + std::to_string(static_cast<int>(*e.x)) : "") +
        (held.empty() ? "" : " held " + held) + (e.ageMs ? " age " + std::to_string(e.ageMs) : ""));
  }
  return said;
}

TEST(PointerMotionSampling, KeepsADragsPathAndTheRestsThatAreHovers) {
  const struct {
    const char* rule;
    std::vector<std::string> events;
    std::vector<std::string> kept;
  } cases[] = {
      {"two buttons held, both told",
       {"d 0 0 100", "d3 0 0 101", "m 20 0 120", "u3 20 0 130", "u 20 0 131"},
       {"mouse_down 0", "mouse_down 0", "mouse_move 20 held 13", "mouse_up 20", "mouse_up 20"}},
      {"the device's clock wraps",
       {"d 0 0 4294967290", "m 20 0 10", "m 21 0 12", "u 21 0 13"},
       {"mouse_down 0", "mouse_move 20 held 1", "mouse_move 21 held 1 age 1", "mouse_up 21"}},
      {"a press where the pointer rests is no hover",
       {"m 100 0 0", "d 102 0 900", "u 102 0 950"},
       {"mouse_down 102", "mouse_up 102"}},
      {"a rest near the last point is no hover",
       {"d 0 0 0", "u 0 0 10", "m 6 0 20", "m 60 0 900"},
       {"mouse_down 0", "mouse_up 0"}},
      {"a rest ended by a key is a hover", {"m 50 0 0", "k 0 0 400"}, {"mouse_move 50 age 400", "key_down"}},
      {"a short rest is none", {"m 50 0 0", "m 90 0 299", "k 0 0 310"}, {"key_down"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    EXPECT_EQ(kept(c.events), c.kept);
  }
}

}  // namespace
}  // namespace diruri
