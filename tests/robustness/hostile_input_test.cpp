// Hostile and odd input to the real executable: huge and deeply nested lines, workspaces that are
// files, unwritable, relative or full of dots, identifiers and links that try to leave the
// workspace, a closed stdout, and a full disk.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/json/json_value.hpp"
#include "tests/support/file_tree.hpp"
#include "tests/support/json_lines.hpp"
#include "tests/support/process_runner.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tool_calls.hpp"

namespace diruri {
namespace {

using namespace diruri::test;
namespace fs = std::filesystem;

const std::string kParseError =
    R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})";
const std::string kToolError =
    R"({"error":{"code":-32000,"message":"Internal error"},"id":1,"jsonrpc":"2.0"})";

std::string callLine(const std::string& tool, const JsonObject& arguments) {
  return toolCallLine(tool, arguments) + "\n";
}
std::string ping(int id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"ping"})"
         "\n";
}
std::string pong(int id) { return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{}})"; }

// One server over the input, without a display, in `cwd`; every run must end cleanly and silently.
std::vector<std::string> serve(const std::string& input, const std::string& cwd) {
  ProcessOptions options;
  options.args = {"mcp"};
  options.stdinData = input;
  options.workingDirectory = cwd;
  options.environment["DISPLAY"] = std::nullopt;
  options.timeout = std::chrono::milliseconds(120000);
  const ProcessResult r = runProcess(DIRURI_EXECUTABLE, options);
  EXPECT_FALSE(r.timedOut);
  EXPECT_TRUE(r.exited && r.exitStatus == 0) << "signal " << r.signal;
  EXPECT_EQ(r.err, "");
  return splitLines(r.out);
}

// The tool result's payload; an error answer reads as the status "error".
JsonValue payloadOf(const std::string& answer) {
  if (std::optional<JsonValue> payload = toolPayload(answer)) return std::move(*payload);
  return JsonObject{{"status", parseJson(answer).find("result") ? "result of another shape" : "error"}};
}
std::string payloadStatus(const std::string& answer) { return *payloadOf(answer).findString("status"); }

// A mount the test owns; skipped where the machine does not allow mounting.
class Mount {
 public:
  Mount(const std::string& target, const char* options) : target_(target) {
    mounted_ = ::mount("tmpfs", target.c_str(), "tmpfs", 0, options) == 0;
  }
  ~Mount() {
    if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string target_;
  bool mounted_;
};

// --- Lines ---

TEST(HostileLines, HundredMegabyteLinesAreAnsweredAndTheLoopGoesOn) {
  TempDir dir;
  const std::string pad(100 * 1024 * 1024, 'x');
  const std::string input =
      R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"pad":")" + pad + "\"}}\n" + pad + "\n" + ping(2);
  EXPECT_EQ(serve(input, dir.path()), (std::vector<std::string>{pong(1), kParseError, pong(2)}));
}

TEST(HostileLines, NestingBeyondTheLimitIsAParseErrorNotAStackOverflow) {
  TempDir dir;
  const auto nested = [](int depth) {
    return R"({"jsonrpc":"2.0","id":1,"method":"ping","params":)" + std::string(depth, '[') +
           std::string(depth, ']') + "}\n";
  };
  std::string input = nested(511) + nested(512);
  input += std::string(10 * 1024 * 1024, '[') + "\n";    // ten million, never closed
  for (int i = 0; i < 200000; ++i) input += R"({"a":)";  // objects as deep
  input += "\n" + ping(2);
  EXPECT_EQ(serve(input, dir.path()),
            (std::vector<std::string>{pong(1), kParseError, kParseError, kParseError, pong(2)}));
}

TEST(HostileLines, ControlBytesAndBrokenEncodingsInEveryPartOfARequest) {
  TempDir dir;
  using namespace std::string_literals;
  const std::string input =
      "\0\n"s +                                                                // a lone NUL
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\0\n"s +              // NUL after the object
      "{\"jsonrpc\":\"2.0\",\"id\":\"\xed\xa0\x80\",\"method\":\"ping\"}\n" +  // a surrogate in UTF-8
      "{\"jsonrpc\":\"2.0\",\"id\":\"\\ud800\",\"method\":\"ping\"}\n" +       // an escaped lone one
      "\xef\xbb\xbf" + ping(2) + ping(3);                                      // a byte order mark
  const std::vector<std::string> answers = serve(input, dir.path());
  ASSERT_EQ(answers.size(), 6u);
  EXPECT_EQ(answers[0], kParseError);
  EXPECT_EQ(answers[1], kParseError);
  // Each byte of the encoded surrogate becomes one U+FFFD before the server sees the line.
  EXPECT_EQ(answers[2], R"({"id":")" + std::string("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd") +
                            R"(","jsonrpc":"2.0","result":{}})");
  EXPECT_NO_THROW(parseJson(answers[3])) << answers[3];
  EXPECT_EQ(answers[4], kParseError);  // a byte order mark is not JSON white space
  EXPECT_EQ(answers[5], pong(3));
}

// --- Output ---

TEST(HostileOutput, ClosedStdoutEndsTheServerQuietlyWithoutASignal) {
  std::string input;
  for (int i = 0; i < 20000; ++i) input += ping(i);
  ProcessOptions options;
  options.args = {"mcp"};
  options.stdinData = input;
  options.closeStdoutAfter = 0;  // the reader is gone before the first answer; SIGPIPE is at its default
  const ProcessResult r = runProcess(DIRURI_EXECUTABLE, options);
  ASSERT_FALSE(r.timedOut);
  EXPECT_TRUE(r.exited) << "killed by signal " << r.signal;
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.err, "");
}

// --- Workspaces ---

TEST(HostileWorkspaces, FilesAndUnwritablePlacesAreAToolErrorAndNothingIsMade) {
  TempDir dir;
  writeText(dir / "plain-file", "x");
  std::vector<std::string> workspaces = {dir / "plain-file", dir / "plain-file/below", "/proc", "/proc/self"};
  fs::create_directories(dir / "readonly");
  Mount readOnly(dir / "readonly", "ro,size=1m");
  if (readOnly.mounted()) workspaces.push_back(dir / "readonly");
  std::string input;
  for (const std::string& ws : workspaces) input += callLine("event_stream_start", {{"workspacePath", ws}});
  const std::vector<std::string> answers = serve(input, dir.path());
  for (const std::string& answer : answers) EXPECT_EQ(withoutReason(answer), kToolError);
  EXPECT_EQ(answers.size(), workspaces.size());
  EXPECT_EQ(listTree(dir.path()), (std::vector<std::string>{"plain-file", "readonly/"}));
  EXPECT_TRUE(readOnly.mounted()) << "no read-only mount here; the /proc cases still ran";
}

TEST(HostileWorkspaces, RelativeAndDottedPathsResolveAgainstTheWorkingDirectory) {
  TempDir dir;
  fs::create_directories(dir / "a");
  const std::string input =
      callLine("event_stream_start", {{"workspacePath", "./a/../b/./"}}) + callLine("event_stream_stop", {});
  const std::vector<std::string> answers = serve(input, dir.path());
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(payloadStatus(answers[0]), "recording");
  EXPECT_EQ(payloadStatus(answers[1]), "stopped");
  // Everything lands in <cwd>/b/.zeruva, and the dotted path is kept as given.
  EXPECT_TRUE(
      payloadOf(answers[0]).findString("sessionPath")->starts_with(dir.path() + "/./a/../b/./.zeruva/"))
      << answers[0];
  for (const std::string& e : listTree(dir.path())) {
    EXPECT_TRUE(e == "a/" || e == "b/" || e.starts_with("b/.zeruva/")) << e;
  }
}

TEST(HostileWorkspaces, IdentifiersThatTryToLeaveTheWorkspaceReachNothing) {
  TempDir dir;
  const std::string ws = dir / "ws";
  fs::create_directories(ws);
  writeText(dir / "outside/session.json", "{}");
  writeText(dir / "ws/.zeruva/skills/evil/references/recording.json",
            R"({"sessionId":"../../../../outside"})");
  std::string input;
  for (const char* id : {"../../../../outside", "..", ".", "a/../../b", "/etc"}) {
    input += callLine("event_stream_stop", {{"workspacePath", ws}, {"sessionId", id}});
  }
  input += callLine("replay_skill", {{"workspacePath", ws}, {"skillId", "evil"}});
  const std::vector<std::string> answers = serve(input, dir.path());
  ASSERT_EQ(answers.size(), 6u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(payloadStatus(answers[i]), "idle") << answers[i];
  EXPECT_EQ(withoutReason(answers[5]), kToolError);
  EXPECT_EQ(listTree(dir / "outside"), std::vector<std::string>{"session.json"});
}

// A link planted inside .zeruva must not carry any write out of the workspace.
TEST(HostileWorkspaces, LinksInsideTheTreeAreNotFollowedByWrites) {
  const std::vector<std::string> linkedFolders = {".zeruva", ".zeruva/record-and-replay",
                                                  ".zeruva/record-and-replay/sessions",
                                                  ".zeruva/record-and-replay/replay-runs"};
  for (const std::string& linked : linkedFolders) {
    SCOPED_TRACE(linked);
    TempDir dir;
    const std::string ws = dir / "ws";
    fs::create_directories(dir / "outside");
    fs::create_directories(fs::path(ws + "/" + linked).parent_path());
    fs::create_directory_symlink(dir / "outside", ws + "/" + linked);
    const std::string input = callLine("event_stream_start", {{"workspacePath", ws}}) +
                              callLine("event_stream_stop", {}) +
                              callLine("replay_skill", {{"workspacePath", ws}, {"skillId", "s"}});
    const std::vector<std::string> answers = serve(input, dir.path());
    ASSERT_EQ(answers.size(), 3u);
    if (linked.ends_with("replay-runs")) {
      EXPECT_EQ(payloadStatus(answers[0]), "recording");
    } else {
      EXPECT_EQ(withoutReason(answers[0]), kToolError);
    }
    EXPECT_EQ(withoutReason(answers[2]), kToolError);
    EXPECT_EQ(listTree(dir / "outside"), std::vector<std::string>{});
  }
}

// Links above the tree are the agent's choice of workspace and are followed.
TEST(HostileWorkspaces, AWorkspaceReachedThroughALinkIsUsed) {
  TempDir dir;
  fs::create_directories(dir / "real");
  fs::create_directory_symlink(dir / "real", dir / "link");
  const std::vector<std::string> answers = serve(
      callLine("event_stream_start", {{"workspacePath", dir / "link"}}) + callLine("event_stream_stop", {}),
      dir.path());
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(payloadStatus(answers[1]), "stopped");
  EXPECT_TRUE(fs::exists(dir / "real/.zeruva/record-and-replay/sessions"));
}

TEST(HostileWorkspaces, ALinkedSessionFolderIsNotStoppedThroughTheLink) {
  TempDir dir;
  const std::string ws = dir / "ws";
  // A real session, then its folder swapped for a link to a copy outside.
  std::vector<std::string> answers =
      serve(callLine("event_stream_start", {{"workspacePath", ws}, {"sessionName", "s"}}), dir.path());
  const std::string sessionPath = *payloadOf(answers.at(0)).findString("sessionPath");
  const std::string sessionId = sessionPath.substr(sessionPath.rfind('/') + 1);
  fs::rename(sessionPath, dir / "outside");
  fs::create_directory_symlink(dir / "outside", sessionPath);
  const std::string before = readText(dir / "outside/events.jsonl");
  answers =
      serve(callLine("event_stream_stop", {{"workspacePath", ws}, {"sessionId", sessionId}}), dir.path());
  ASSERT_EQ(answers.size(), 1u);
  // Its session.json is not even read through the link: there is nothing to stop there.
  EXPECT_EQ(payloadStatus(answers[0]), "idle");
  EXPECT_EQ(readText(dir / "outside/events.jsonl"), before);
  EXPECT_FALSE(fs::exists(dir / "outside/summary.json"));
}

// --- A full disk ---

// Start and stop on a small file system filled to within a few bytes to a few pages of its end:
// whatever fails, every answer is a result or the tool error, and every file left is whole.
TEST(HostileDisk, EveryFreeSpaceLeftGivesWholeFilesOrNone) {
  TempDir dir;
  const std::string disk = dir / "disk";
  fs::create_directories(disk);
  Mount tmpfs(disk, "size=64k");
  if (!tmpfs.mounted()) GTEST_SKIP() << "tmpfs cannot be mounted here; the file-system double covers this";
  for (size_t freeBytes = 0; freeBytes <= 12288; freeBytes += 512) {
    SCOPED_TRACE(freeBytes);
    fs::remove_all(disk + "/ws");
    fs::remove(disk + "/filler");
    writeText(disk + "/filler", "");
    const auto available = [&] {
      const fs::space_info s = fs::space(disk);
      return s.available;
    };
    std::string chunk(4096, 'f');
    while (available() > freeBytes + 4096) std::ofstream(disk + "/filler", std::ios::app) << chunk;
    const std::string input =
        callLine("event_stream_start", {{"workspacePath", disk + "/ws"}}) + callLine("event_stream_stop", {});
    const std::vector<std::string> answers = serve(input, dir.path());
    ASSERT_EQ(answers.size(), 2u);
    for (const std::string& a : answers) {
      const std::string status = payloadStatus(a);
      EXPECT_TRUE(status == "recording" || status == "stopped" || status == "idle" ||
                  withoutReason(a) == kToolError)
          << a;
    }
    for (const std::string& e : listTree(disk)) {
      EXPECT_EQ(e.find(".tmp-"), std::string::npos) << "stray " << e;
      const std::string path = disk + "/" + e;
      if (e.ends_with(".json")) {
        EXPECT_NO_THROW(parseJson(readText(path))) << e;
      }
      if (e.ends_with(".jsonl")) {
        const std::string log = readText(path);
        EXPECT_TRUE(log.empty() || log.back() == '\n') << "torn last line in " << e;
        for (const std::string& line : splitLines(log)) {
          EXPECT_NO_THROW(parseJson(line)) << e;
        }
      }
    }
  }
}

}  // namespace
}  // namespace diruri
