// The summary's line scanner must count exactly the lines the JSON reader reads as objects, and
// read the same members from them.
#include "core/store/summary_line_scan.hpp"

#include <gtest/gtest.h>

#include <optional>

#include "core/json/json_value.hpp"

namespace diruri {
namespace {

std::optional<JsonValue> readerObject(std::string_view line) {
  try {
    JsonValue v = parseJson(line);
    if (v.isObject()) return v;
  } catch (const JsonParseError&) {
  }
  return std::nullopt;
}

TEST(SummaryLineScan, AcceptsExactlyTheLinesTheReaderReadsAsObjects) {
  using namespace std::string_literals;
  const std::vector<std::string> lines = {
      R"({"type":"mouse_down","id":"evt_000001"})",
      "{}\0"s,  // found by fuzzing: the scanner's parser took a NUL byte for the end of the input
      "{\"type\":\"a\0b\"}"s,
      "{\"type\":\"a\"}\0{\"type\":\"b\"}"s,
      R"({"type":"key_down","type":"scroll"})",
      R"({"type":"\ud800"})",
      R"({"x":1e400})",
      R"({"x":-0,"y":18446744073709551616})",
      R"([{"type":"mouse_down"}])",
      R"("text")",
      R"({"type":"a"} x)",
      " \t{}\r\n ",
      "{\"t\":\"\xc3\xa9\"}",
      std::string(511, '[') + std::string(511, ']'),
      "{\"a\":" + std::string(510, '[') + std::string(510, ']') + "}",
      "{\"a\":" + std::string(511, '[') + std::string(511, ']') + "}",
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line.size() > 60 ? line.substr(0, 60) + "..." : line);
    SummaryLineFacts facts;
    const std::optional<JsonValue> object = readerObject(line);
    ASSERT_EQ(scanSummaryLine(line, facts), object.has_value());
    if (!object) continue;
    const std::string* type = object->findString("type");
    EXPECT_EQ(facts.type, type ? std::optional<std::string>(*type) : std::nullopt);
  }
}

TEST(SummaryLineScan, ReadsTheAppOfThePayloadAndLetsLaterDuplicatesWin) {
  SummaryLineFacts facts;
  ASSERT_TRUE(scanSummaryLine(
      R"({"id":"e1","payload":{"app":{"appName":"A"},"app":{"appName":"B","windowTitle":"W"}},"type":"scroll"})",
      facts));
  EXPECT_EQ(facts.id, "e1");
  EXPECT_EQ(facts.appName, "B");
  EXPECT_EQ(facts.windowTitle, "W");
  ASSERT_TRUE(scanSummaryLine(R"({"app":{"appName":"top level"},"payload":{"appName":"not in app"}})", facts));
  EXPECT_EQ(facts.appName, std::nullopt);
}

}  // namespace
}  // namespace diruri
