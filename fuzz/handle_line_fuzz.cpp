// Fuzzes the request path: lines through McpServer::handleLine over a recorder on doubles, with
// one file-system fault chosen by the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/mcp/mcp_server.hpp"
#include "core/text/unicode.hpp"
#include "fuzz/fuzz_doubles.hpp"
#include "tests/support/fault_injecting_file_system.hpp"
#include "tests/support/fixed_clock.hpp"
#include "tests/support/memory_file_system.hpp"
#include "tests/support/recorder_doubles.hpp"
#include "tests/support/server_parts.hpp"

using namespace diruri;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // Byte 0 picks the operation to fail (or none), byte 1 which call of it.
  const int opChoice = data[0] % 7;
  const int nth = data[1] % 8;
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);

  test::MemoryFileSystem memory("/ws");
  test::FaultInjectingFileSystem fs(memory);
  if (opChoice < 6) fs.addFault({static_cast<test::FsOp>(opChoice), "", nth, EIO});
  test::FixedClock clock(1738326896789, 5000);
  EventStore store(fs, clock);
  test::FakeTap tap;
  test::FakeScreenCapture screen(fs);
  test::FakeInspector inspector;
  test::NullPoster poster;
  test::ServerParts parts(store, tap, screen, inspector, poster);
  McpServer server(parts.services());

  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view raw = text.substr(start, end - start);
    // The line loop hands over valid UTF-8 only.
    const std::string line = isValidUtf8(raw) ? std::string(raw) : sanitizeUtf8(raw);
    const std::string answer = server.handleLine(line);
    // An answer is one compact JSON object on one line, and always carries "jsonrpc".
    if (!answer.empty()) {
      fuzz::require(answer.find('\n') == std::string::npos);
      const JsonValue parsed = parseJson(answer);
      fuzz::require(parsed.isObject() && parsed.findString("jsonrpc") != nullptr);
      fuzz::require(writeJson(parsed) == answer);
    }
    start = end + 1;
  }
  // Every file lies below a .zeruva folder, and no name below it leads back out (checked on the
  // paths as the server spelled them, before the file system resolved them).
  for (const std::string& path : memory.writtenPaths()) {
    const size_t tree = path.rfind("/.zeruva/");
    fuzz::require(tree != std::string::npos);
    const std::string below = "/" + path.substr(tree + 9) + "/";
    fuzz::require(below.find("/../") == std::string::npos && below.find("/./") == std::string::npos &&
                  below.find("//") == std::string::npos);
  }
  return 0;
}
