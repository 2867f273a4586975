// The line loop driven through real pipes: framing, repair of bad bytes, silence on stderr, hang-ups.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/json/json_value.hpp"
#include "tests/support/process_runner.hpp"

namespace diruri {
namespace {

using diruri::test::ProcessOptions;
using diruri::test::ProcessResult;
using diruri::test::runProcess;

const std::string kParseError =
    R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})";

std::string ping(const std::string& id) { return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"ping"})"; }
std::string pong(const std::string& id) { return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{}})"; }

ProcessResult serve(std::string input) {
  ProcessOptions options;
  options.args = {"mcp"};
  options.stdinData = std::move(input);
  return runProcess(DIRURI_EXECUTABLE, options);
}

void expectCleanExit(const ProcessResult& r) {
  ASSERT_FALSE(r.timedOut);
  ASSERT_TRUE(r.exited) << "killed by signal " << r.signal;
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");
}

struct FramingCase {
  const char* name;
  std::string input;
  std::string output;
};

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, AnswersLineForLine) {
  const ProcessResult r = serve(GetParam().input);
  expectCleanExit(r);
  EXPECT_EQ(r.out, GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    StdioLoop, Framing,
    ::testing::Values(
        FramingCase{"EmptyInput", "", ""}, FramingCase{"OneLine", ping("1") + "\n", pong("1") + "\n"},
        FramingCase{"NotificationThenRequest",
                    R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                    "\n" +
                        ping("2") + "\n",
                    pong("2") + "\n"},
        FramingCase{"CrLfLikeLf", ping("1") + "\r\n" + ping("2") + "\r\n",
                    pong("1") + "\n" + pong("2") + "\n"},
        FramingCase{"BlankLineStillAnswered", "\n" + ping("3") + "\n", kParseError + "\n" + pong("3") + "\n"},
        FramingCase{"CrOnlyLineIsBlank", "\r\n", kParseError + "\n"},
        FramingCase{"LastLineWithoutLineFeed", ping("1") + "\n" + ping("2"),
                    pong("1") + "\n" + pong("2") + "\n"},
        // A carriage return not followed by a line feed stays part of the line (JSON white space here).
        FramingCase{"LoneCrAtEndOfInput", ping("4") + "\r", pong("4") + "\n"},
        FramingCase{"CrInsideLine", "{\"jsonrpc\":\"2.0\",\r\"id\":5,\"method\":\"ping\"}\n",
                    pong("5") + "\n"},
        FramingCase{"OrderKept", ping("\"a\"") + "\n" + ping("\"b\"") + "\n" + ping("\"c\"") + "\n",
                    pong("\"a\"") + "\n" + pong("\"b\"") + "\n" + pong("\"c\"") + "\n"},
        // Bytes that are not UTF-8 become U+FFFD before the server sees them.
        FramingCase{
            "InvalidUtf8Repaired",
            "{\"jsonrpc\":\"2.0\",\"id\":6,\"method\":\"tools/call\",\"params\":{\"name\":\"event_"
            "stream_start\",\"arguments\":{\"workspacePath\":\"/proc/1/task/x\xff\xc3\"}}}\n",
            "{\"error\":{\"code\":-32000,\"data\":{\"reason\":\"Could not create directory "
            "\\/proc\\/1\\/task\\/x\xef\xbf\xbd\xef\xbf\xbd: No such file or directory.\"},\"message\":"
            "\"Internal error\"},\"id\":6,\"jsonrpc\":\"2.0\"}\n"},
        FramingCase{"InvalidUtf8OutsideStrings", "\xfe{}\n", kParseError + "\n"},
        FramingCase{"NulByteInLine",
                    std::string("{\"jsonrpc\":\"2.0\",\"id\":1,\0\"method\":\"ping\"}\n", 42),
                    kParseError + "\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StdioLoop, VeryLongLine) {
  const std::string filler(5 * 1024 * 1024, 'x');
  const std::string line =
      R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"replay_stop","arguments":{"pad":")" +
      filler + R"("}}})";
  const ProcessResult r = serve(line + "\n" + "[" + filler + "\n" + ping("2"));
  expectCleanExit(r);
  EXPECT_EQ(
      r.out,
      R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"{\"status\":\"idle\"}","type":"text"}]}})"
      "\n" +
          kParseError + "\n" + pong("2") + "\n");
}

TEST(StdioLoop, ManyLinesAcrossReadBoundaries) {
  // Lines of varying length so that line ends fall at every offset of the read buffer.
  std::string input, expected;
  for (int i = 0; i < 20000; ++i) {
    const std::string id = "\"" + std::string(static_cast<size_t>(i % 97), 'k') + std::to_string(i) + "\"";
    input += ping(id) + (i % 3 == 0 ? "\r\n" : "\n");
    expected += pong(id) + "\n";
  }
  const ProcessResult r = serve(input);
  expectCleanExit(r);
  EXPECT_EQ(r.out, expected);
}

TEST(StdioLoop, RandomBytesAndMalformedJsonGiveOneAnswerPerLineAndNothingOnStderr) {
  std::mt19937 rng(20240511);
  const std::vector<std::string> fragments = {"{",
                                              "}",
                                              "[",
                                              "]",
                                              "\"",
                                              ":",
                                              ",",
                                              "\\",
                                              "\"jsonrpc\"",
                                              "\"2.0\"",
                                              "\"id\"",
                                              "\"method\"",
                                              "\"params\"",
                                              "null",
                                              "true",
                                              "1",
                                              "-1.5e3",
                                              "7.0",
                                              "\"ping\"",
                                              "\"tools/call\"",
                                              "\"tools/list\"",
                                              "{\"name\":\"x\"}",
                                              " ",
                                              "\t",
                                              "\r",
                                              "\xff",
                                              "\xc3",
                                              "\xe2\x82",
                                              "\xed\xa0\x80",
                                              "\\u",
                                              "\\ud800",
                                              "1e999",
                                              "[[[[[[",
                                              "/*",
                                              "//"};
  std::string input;
  size_t lines = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string line;
    const int pieces = static_cast<int>(rng() % 24);
    for (int k = 0; k < pieces; ++k) {
      if (rng() % 4 == 0) {
        line.push_back(static_cast<char>(rng() % 256));
      } else {
        line += fragments[rng() % fragments.size()];
      }
    }
    // Keep every line a request with an id, so each one is owed exactly one answer.
    line.erase(std::remove(line.begin(), line.end(), '\n'), line.end());
    if (i % 5 == 0) line = ping(std::to_string(i)) + line;
    input += line + "\n";
    ++lines;
  }
  // Deep nesting past the reader's limit and a random-byte tail without a line feed.
  input += std::string(100000, '[') + "\n";
  ++lines;
  for (int i = 0; i < 4096; ++i) {
    const char c = static_cast<char>(rng() % 255 + 1);
    input.push_back(c == '\n' ? 'n' : c);
  }
  ++lines;

  const ProcessResult r = serve(input);
  expectCleanExit(r);
  size_t answers = 0;
  size_t start = 0;
  while (start < r.out.size()) {
    const size_t end = r.out.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "unterminated answer";
    const JsonValue answer = parseJson(std::string_view(r.out).substr(start, end - start));
    EXPECT_TRUE(answer.isObject());
    EXPECT_EQ(*answer.findString("jsonrpc"), "2.0");
    ++answers;
    start = end + 1;
  }
  // Random lines can form notifications only by spelling out a whole valid object without "id";
  // allow none of that: every line here is answered.
  EXPECT_EQ(answers, lines);
}

TEST(StdioLoop, ReaderHangingUpEndsQuietly) {
  std::string input;
  for (int i = 0; i < 50000; ++i)
    input += R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})"
             "\n";
  ProcessOptions options;
  options.args = {"mcp"};
  options.stdinData = std::move(input);
  options.closeStdoutAfter = 1;
  const ProcessResult r = runProcess(DIRURI_EXECUTABLE, options);
  ASSERT_FALSE(r.timedOut);
  ASSERT_TRUE(r.exited) << "killed by signal " << r.signal;
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace diruri
