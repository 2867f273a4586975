// The executable's argument modes: exact output bytes, streams and exit statuses.
#include <gtest/gtest.h>

#include "tests/support/process_runner.hpp"

namespace diruri {
namespace {

using diruri::test::ProcessOptions;
using diruri::test::runProcess;

const std::string kUsage = "Usage: DiruriRediro [event-stream] mcp\n";

class UsageError : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(UsageError, PrintsUsageOnStderrAndFails) {
  ProcessOptions options;
  options.args = GetParam();
  options.stdinData = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n";
  const auto r = runProcess(DIRURI_EXECUTABLE, options);
  ASSERT_TRUE(r.exited) << "signal " << r.signal;
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kUsage);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, UsageError,
    ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"mcp", "extra"},
                      std::vector<std::string>{"MCP"}, std::vector<std::string>{"mcp", "event-stream"},
                      std::vector<std::string>{"event-stream"}, std::vector<std::string>{"--version", "mcp"},
                      std::vector<std::string>{" mcp"}, std::vector<std::string>{"mcp "},
                      std::vector<std::string>{"--versions"}, std::vector<std::string>{"-v"},
                      std::vector<std::string>{""}, std::vector<std::string>{"event-stream", "mcp", "mcp"}));

TEST(CommandLine, VersionDoesNotReadStdin) {
  ProcessOptions options;
  options.args = {"--version"};
  options.keepStdinOpen = true;  // reading it would block until the timeout
  options.timeout = std::chrono::seconds(20);
  const auto r = runProcess(DIRURI_EXECUTABLE, options);
  ASSERT_FALSE(r.timedOut);
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, "DiruriRediro 0.1.0\n");
  EXPECT_EQ(r.err, "");
}

TEST(CommandLine, BothServerFormsServe) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"mcp"}, std::vector<std::string>{"event-stream", "mcp"}}) {
    ProcessOptions options;
    options.args = args;
    options.stdinData = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n";
    const auto r = runProcess(DIRURI_EXECUTABLE, options);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST(CommandLine, ServerIgnoresEnvironmentAndWorkingDirectory) {
  ProcessOptions options;
  options.args = {"mcp"};
  options.stdinData = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n";
  options.workingDirectory = "/";
  options.environment = {{"HOME", std::nullopt}, {"LANG", "C"}, {"PATH", ""}};
  const auto r = runProcess(DIRURI_EXECUTABLE, options);
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n");
}

}  // namespace
}  // namespace diruri
