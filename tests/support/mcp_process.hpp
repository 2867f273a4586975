// The real server as a child process spoken to one request at a time, for tests that act between
// requests (input from another tool, a display that goes away).
#pragma once

#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/json/json_value.hpp"
#include "tests/support/child_process.hpp"

namespace diruri::test {

class McpProcess {
 public:
  // Starts `executable mcp` with these environment changes (nullopt removes a variable).
  McpProcess(const std::string& executable,
             const std::map<std::string, std::optional<std::string>>& environment);

  // Sends one line and returns the answer line (without its line feed); "" on timeout or EOF.
  std::string request(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(30));

  // "tools/call" with the given arguments; returns the parsed payload of the tool result, or the
  // whole answer when it is an error.
  JsonValue callTool(const std::string& name, const JsonObject& arguments = {});

  // For conversations where answers come later or out of order: sends one line, and reads the
  // next message (an answer or a notification); none on timeout or end of output.
  bool send(const std::string& line);
  std::optional<JsonValue> nextMessage(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Reads messages until the answer with this id; the others (notifications, other answers) are
  // appended to `others` when given. None on timeout.
  std::optional<JsonValue> answerTo(int id, std::vector<JsonValue>* others = nullptr,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // The id the next callTool would use, for requests a test writes itself.
  int takeId() { return nextId_++; }

  // Closes our end of the server's stdout, as a client that went away.
  void closeOutput() { child_.closePipe(STDOUT_FILENO); }
  // Waits for the server to end by itself and returns the status as waitpid gives it.
  int waitForExit() { return child_.wait(); }

  // Closes stdin, waits for the exit and returns everything the server wrote on stderr.
  std::string finish();
  int exitStatus() const { return exitStatus_; }
  pid_t pid() const { return child_.pid(); }

 private:
  ChildProcess child_;  // killed and reaped with this object unless finish() came first
  int nextId_ = 1;
  int exitStatus_ = -1;
};

}  // namespace diruri::test
