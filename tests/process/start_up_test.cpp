// What a server process carries from its start: the accessibility libraries (libatspi, GLib,
// GObject, libdbus) and their dependencies are opened by the first snapshot, not at start, because
// loading them delayed the first answer by milliseconds.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/mcp_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri {
namespace {

TEST(StartUp, AccessibilityLibrariesStayUnloadedUntilASnapshotNeedsThem) {
  test::McpProcess server(DIRURI_EXECUTABLE, {{"DISPLAY", std::nullopt}});
  ASSERT_NE(server.request(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{}})"), "");
  ASSERT_NE(server.request(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"), "");
  const JsonValue permissions = server.callTool("permission_status");
  ASSERT_TRUE(permissions.isObject());
  ASSERT_NE(permissions.find("accessibilityTrusted"), nullptr) << writeJson(permissions);

  const std::string maps = test::readText("/proc/" + std::to_string(server.pid()) + "/maps");
  ASSERT_NE(maps.find("/libc.so"), std::string::npos) << "the map was not read";
  for (const char* library : {"libatspi", "libglib-2.0", "libgobject-2.0", "libdbus-1"}) {
    EXPECT_EQ(maps.find(library), std::string::npos) << library << " is loaded:\n" << maps;
  }
  EXPECT_EQ(server.finish(), "");
}

}  // namespace
}  // namespace diruri
