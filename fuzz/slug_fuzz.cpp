// Fuzzes the slug and the workspace identifier built from it: whatever the text, the result is a
// short run of a-z, 0-9 and single inner hyphens.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/store/event_store.hpp"
#include "fuzz/fuzz_doubles.hpp"

using namespace diruri;

namespace {

void requireSlugShape(const std::string& s) {
  fuzz::require(s.size() <= 48);
  for (const char c : s) fuzz::require((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-');
  if (s.empty()) return;
  fuzz::require(s.front() != '-' && s.find("--") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string s = EventStore::slug(text);
  requireSlugShape(s);
  // Cutting to 48 characters may leave a hyphen at the end, never at the start.
  fuzz::require(s.size() == 48 || s.empty() || s.back() != '-');
  // A slug is its own slug, as long as the cut did not leave a trailing hyphen.
  if (s.empty() || s.back() != '-') fuzz::require(EventStore::slug(s) == s);
  const std::string id = workspaceIdentifier("/" + text);
  fuzz::require(!id.empty());
  requireSlugShape(id);
  return 0;
}
