// The line loop: its framing in process over pipes (repair of bad bytes, line ends, a closed output,
// signals), and through the executable (one answer per line, silence on stderr, hang-ups).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <thread>

#include "core/json/json_value.hpp"
#include "core/platform/line_transport.hpp"
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

// The transport in process, over pipes, with a handler that says what it was handed: the framing
// apart from the server.
struct Framed {
  std::string out;
  LineTransport::End end;
};
Framed frame(std::string input, const std::function<std::string(std::string_view)>& answer = {}) {
  int in[2], out[2];
  EXPECT_EQ(::pipe(in), 0);
  EXPECT_EQ(::pipe(out), 0);
  std::thread writer([&] {
    std::string_view rest = input;
    while (!rest.empty()) {
      const ssize_t n = ::write(in[1], rest.data(), rest.size());
      if (n <= 0) break;
      rest.remove_prefix(static_cast<size_t>(n));
    }
    ::close(in[1]);
  });
  Framed framed;
  std::thread reader([&] {
    char buffer[65536];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
      framed.out.append(buffer, static_cast<size_t>(n));
  });
  {
    LineTransport transport(in[0], out[1]);
    framed.end =
        transport.run(answer ? answer : [](std::string_view line) { return "<" + std::string(line) + ">"; });
  }
  ::close(out[1]);
  writer.join();
  reader.join();
  ::close(in[0]);
  ::close(out[0]);
  return framed;
}

TEST(LineTransport, EachLineIsHandedOnWholeRepairedAndAnsweredInOrder) {
  using namespace std::string_literals;
  const struct {
    const char* name;
    std::string input;
    std::string output;
  } cases[] = {
      {"empty input", "", ""},
      {"one line", "a\n", "<a>\n"},
      {"CR LF as LF", "a\r\nb\r\n", "<a>\n<b>\n"},
      {"a blank line is a line", "\nb\n", "<>\n<b>\n"},
      {"CR alone before LF is a blank line", "\r\n", "<>\n"},
      {"last line without a line feed", "a\nb", "<a>\n<b>\n"},
      {"a CR at the end of input stays", "a\r", "<a\r>\n"},
      {"a CR inside a line stays", "a\rb\n", "<a\rb>\n"},
      {"bytes that are not UTF-8 become U+FFFD", "x\xff\xc3\n", "<x\xef\xbf\xbd\xef\xbf\xbd>\n"},
      {"a NUL stays", "a\0b\n"s, "<a\0b>\n"s},
  };
  for (const auto& c : cases) {
    const Framed framed = frame(c.input);
    EXPECT_EQ(framed.out, c.output) << c.name;
    EXPECT_EQ(framed.end, LineTransport::End::kInputEnded) << c.name;
  }
  // Nothing is written for a line whose answer is empty (a notification).
  EXPECT_EQ(frame("a\nb\n", [](std::string_view line) { return line == "a" ? "" : std::string(line); }).out,
            "b\n");
  // Lines of every length, their ends at every offset of the reads, and one of 5 MiB.
  std::string input, expected;
  for (int i = 0; i < 20000; ++i) {
    const std::string line = std::string(static_cast<size_t>(i % 97), 'k') + std::to_string(i);
    input += line + (i % 3 == 0 ? "\r\n" : "\n");
    expected += "<" + line + ">\n";
  }
  const std::string huge(5 * 1024 * 1024, 'x');
  EXPECT_EQ(frame(input + huge + "\n").out, expected + "<" + huge + ">\n");
}

// A reader that went away, or a signal, ends the loop as the end of input does, whichever thread
// was writing: the server then stops its replay.
TEST(LineTransport, AClosedOutputOrASignalEndsTheLoop) {
  int in[2], out[2];
  ASSERT_EQ(::pipe(in), 0);
  ASSERT_EQ(::pipe(out), 0);
  ::close(out[0]);  // nobody reads
  ::signal(SIGPIPE, SIG_IGN);
  {
    LineTransport transport(in[0], out[1]);
    std::thread other([&] { transport.write("progress"); });  // as a replay's thread does
    EXPECT_EQ(transport.run([](std::string_view) { return std::string(); }),
              LineTransport::End::kOutputClosed);
    other.join();
  }
  ::close(out[1]);
  ASSERT_EQ(::pipe(out), 0);
  sigset_t usr;
  sigemptyset(&usr);
  sigaddset(&usr, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr, nullptr), 0);
  const int signals = ::signalfd(-1, &usr, SFD_CLOEXEC);
  {
    LineTransport transport(in[0], out[1], signals);
    ::kill(::getpid(), SIGUSR1);
    EXPECT_EQ(transport.run([](std::string_view) { return std::string(); }), LineTransport::End::kSignal);
    EXPECT_EQ(transport.signal(), SIGUSR1);
  }
  pthread_sigmask(SIG_UNBLOCK, &usr, nullptr);
  for (int fd : {in[0], in[1], out[0], out[1], signals}) ::close(fd);
}

// Through the executable: its answers, line for line, and nothing on stderr.
TEST(StdioLoop, TheServerAnswersLineForLine) {
  const ProcessResult r = serve(
      ping("1") + "\r\n" + R"({"jsonrpc":"2.0","method":"notifications/initialized"})" + "\n\n" + ping("2"));
  expectCleanExit(r);
  EXPECT_EQ(r.out, pong("1") + "\n" + kParseError + "\n" + pong("2") + "\n");
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
