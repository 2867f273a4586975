// Line-at-a-time conversation with a server child process over pipes.
#include "tests/support/mcp_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace diruri::test {

McpProcess::McpProcess(const std::string& executable,
                       const std::map<std::string, std::optional<std::string>>& environment) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const size_t eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [key, value] : environment) {
    if (value) env[key] = *value; else env.erase(key);
  }
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  std::string arg0 = executable, arg1 = "mcp";
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  const int rc = posix_spawn(&pid_, executable.c_str(), &actions, &attr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  if (rc != 0) throw std::runtime_error("spawn failed");
}

McpProcess::~McpProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    finish();
  }
}

std::string McpProcess::request(const std::string& line, std::chrono::milliseconds timeout) {
  const std::string text = line + "\n";
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return {};
    done += static_cast<size_t>(n);
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const size_t lf = buffered_.find('\n');
    if (lf != std::string::npos) {
      std::string answer = buffered_.substr(0, lf);
      buffered_.erase(0, lf + 1);
      return answer;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) return {};
    buffered_.append(buf, static_cast<size_t>(n));
  }
}

JsonValue McpProcess::callTool(const std::string& name, const JsonObject& arguments) {
  const JsonValue request = JsonObject{{"jsonrpc", "2.0"}, {"id", nextId_++}, {"method", "tools/call"},
                                       {"params", JsonObject{{"name", name}, {"arguments", arguments}}}};
  const std::string answer = this->request(writeJson(request));
  const JsonValue parsed = parseJson(answer);
  const JsonObject* result = parsed.findObject("result");
  if (!result) return parsed;
  const JsonValue& content = result->at("content");
  return parseJson(*content.asArray().at(0).findString("text"));
}

std::string McpProcess::finish() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
  std::string err;
  char buf[4096];
  for (ssize_t n; (n = ::read(err_, buf, sizeof buf)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    err.append(buf, static_cast<size_t>(n));
  }
  if (pid_ > 0) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
  }
  for (int* fd : {&out_, &err_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  return err;
}

}  // namespace diruri::test
