// One request and its answer over the sway IPC socket: "i3-ipc", the payload's length and the
// message type (both 32-bit, in the host's byte order), then the payload.
#include "core/wayland/sway_ipc.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/platform/deadline.hpp"
#include "core/text/unicode.hpp"

namespace diruri {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr uint32_t kGetTree = 4;
constexpr uint32_t kMaxAnswer = 64u << 20;  // a tree of thousands of windows is a few megabytes
constexpr int kMaxDepth = 64;

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

int millisLeft(SteadyClock::time_point deadline) { return millisUntil(deadline); }

// Moves `size` bytes in the direction `write` says, each wait bounded by the deadline.
bool transfer(int fd, char* data, size_t size, bool write, SteadyClock::time_point deadline) {
  while (size > 0) {
    pollfd ready{fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    const int left = millisLeft(deadline);
    if (left == 0 || ::poll(&ready, 1, left) <= 0) return false;
    const ssize_t n = write ? ::send(fd, data, size, MSG_NOSIGNAL) : ::recv(fd, data, size, 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> request(const std::string& path, uint32_t type, SteadyClock::time_point deadline) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.data(), path.size());
  const Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (socket.get() < 0) return std::nullopt;
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return std::nullopt;  // a local socket connects at once or not at all
  }
  char header[sizeof kMagic + 8];
  std::memcpy(header, kMagic, sizeof kMagic);
  const uint32_t empty = 0;
  std::memcpy(header + sizeof kMagic, &empty, 4);
  std::memcpy(header + sizeof kMagic + 4, &type, 4);
  if (!transfer(socket.get(), header, sizeof header, true, deadline)) return std::nullopt;
  // Events the socket is not subscribed to never come, so the next message is the answer.
  if (!transfer(socket.get(), header, sizeof header, false, deadline)) return std::nullopt;
  uint32_t length = 0, answered = 0;
  std::memcpy(&length, header + sizeof kMagic, 4);
  std::memcpy(&answered, header + sizeof kMagic + 4, 4);
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0 || answered != type || length > kMaxAnswer) {
    return std::nullopt;
  }
  std::string payload(length, '\0');
  if (!transfer(socket.get(), payload.data(), length, false, deadline)) return std::nullopt;
  return payload;
}

std::optional<int64_t> integer(const JsonValue& object, const char* key) {
  const JsonValue* value = object.find(key);
  return value && value->isNumber() ? value->asIntegral() : std::nullopt;
}

const JsonValue* focusedIn(const JsonValue& node, int depth) {
  if (!node.isObject() || depth > kMaxDepth) return nullptr;
  const JsonValue* focused = node.find("focused");
  const std::string* type = node.findString("type");
  if (focused && focused->isBool() && focused->asBool() && type &&
      (*type == "con" || *type == "floating_con")) {
    return &node;
  }
  for (const char* children : {"nodes", "floating_nodes"}) {
    const JsonValue* list = node.find(children);
    if (!list || !list->isArray()) continue;
    for (const JsonValue& child : list->asArray()) {
      if (const JsonValue* found = focusedIn(child, depth + 1)) return found;
    }
  }
  return nullptr;
}

}  // namespace

std::optional<FrontWindow> focusedWindowOf(const JsonValue& tree) {
  const JsonValue* node = focusedIn(tree, 0);
  if (node == nullptr) return std::nullopt;
  FrontWindow front;
  const std::string* appId = node->findString("app_id");
  const JsonValue* properties = node->find("window_properties");
  const std::string* windowClass = properties ? properties->findString("class") : nullptr;
  if (appId && !appId->empty()) {
    front.app.applicationId = sanitizeUtf8(*appId);
  } else if (windowClass && !windowClass->empty()) {
    front.app.applicationId = sanitizeUtf8(*windowClass);
  }
  front.app.appName = front.app.applicationId.value_or("");
  const std::optional<int64_t> pid = integer(*node, "pid");
  front.app.processId = pid && *pid > 0 && *pid <= INT32_MAX ? static_cast<int32_t>(*pid) : 0;
  if (const std::string* title = node->findString("name")) front.app.windowTitle = sanitizeUtf8(*title);
  // The node's rect holds its borders too; window_rect places the application's surface in it.
  if (const JsonValue* rect = node->find("rect")) {
    try {
      front.geometry = WindowGeometry::fromJson(*rect);
      if (const JsonValue* inner = node->find("window_rect")) {
        const WindowGeometry content = WindowGeometry::fromJson(*inner);
        if (content.width > 0 && content.height > 0)
          front.geometry = WindowGeometry{front.geometry->x + content.x, front.geometry->y + content.y,
                                          content.width, content.height};
      }
    } catch (const JsonParseError&) {
    }
  }
  return front;
}

std::optional<JsonValue> swayTree(std::chrono::milliseconds budget, std::optional<std::string> socketPath) {
  if (!socketPath) {
    const char* path = std::getenv("SWAYSOCK");
    if (path == nullptr || *path == '\0') return std::nullopt;
    socketPath = path;
  }
  const std::optional<std::string> answer = request(*socketPath, kGetTree, SteadyClock::now() + budget);
  if (!answer) return std::nullopt;
  try {
    return parseJson(*answer);
  } catch (const JsonParseError&) {
    return std::nullopt;
  }
}

std::optional<FrontWindow> swayFrontWindow(std::chrono::milliseconds budget,
                                           std::optional<std::string> socketPath) {
  const std::optional<JsonValue> tree = swayTree(budget, std::move(socketPath));
  return tree ? focusedWindowOf(*tree) : std::nullopt;
}

}  // namespace diruri
