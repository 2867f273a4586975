// Line-at-a-time conversation with a server child process over pipes.
#include "tests/support/mcp_process.hpp"

#include <sys/wait.h>

#include "tests/support/tool_calls.hpp"

namespace diruri::test {

namespace {

ChildOptions pipesWith(const std::map<std::string, std::optional<std::string>>& environment) {
  ChildOptions options;
  options.environment = environment;
  return options;
}

}  // namespace

McpProcess::McpProcess(const std::string& executable,
                       const std::map<std::string, std::optional<std::string>>& environment)
    : child_({executable, "mcp"}, pipesWith(environment)) {}

std::string McpProcess::request(const std::string& line, std::chrono::milliseconds timeout) {
  if (!child_.write(line + "\n")) return {};
  return child_.readLine(timeout).value_or("");
}

JsonValue McpProcess::callTool(const std::string& name, const JsonObject& arguments) {
  const std::string answer = request(toolCallLine(name, arguments, nextId_++));
  if (std::optional<JsonValue> payload = toolPayload(answer)) return std::move(*payload);
  return parseJson(answer);
}

bool McpProcess::send(const std::string& line) { return child_.write(line + "\n"); }

std::optional<JsonValue> McpProcess::nextMessage(std::chrono::milliseconds timeout) {
  const std::optional<std::string> line = child_.readLine(timeout);
  if (!line) return std::nullopt;
  return parseJson(*line);
}

std::optional<JsonValue> McpProcess::answerTo(int id, std::vector<JsonValue>* others,
                                              std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    std::optional<JsonValue> message = nextMessage(left);
    if (!message) return std::nullopt;
    const JsonValue* messageId = message->find("id");
    if (messageId && messageId->isNumber() && messageId->asIntegral() == id) return message;
    if (others) others->push_back(std::move(*message));
  }
}

std::string McpProcess::finish() {
  child_.closePipe(STDIN_FILENO);
  std::string err = child_.readToEnd(STDERR_FILENO);
  const int status = child_.wait();
  exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  child_.closePipe(STDOUT_FILENO);
  child_.closePipe(STDERR_FILENO);
  return err;
}

}  // namespace diruri::test
