// Fuzzes the JSON reader against the writer: whatever parses must write, read back equal, and
// write again to the same text in both layouts.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/json/json_value.hpp"
#include "core/text/unicode.hpp"
#include "fuzz/fuzz_doubles.hpp"

using namespace diruri;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  JsonValue value;
  try {
    value = parseJson(text);
  } catch (const JsonParseError&) {
    return 0;
  }
  // The reader accepts UTF-8 documents only, so everything it returns can be written.
  fuzz::require(isValidUtf8(text));
  for (const JsonLayout layout : {JsonLayout::Compact, JsonLayout::Pretty}) {
    const std::string written = writeJson(value, layout);
    const JsonValue reread = parseJson(written);
    fuzz::require(reread == value);
    fuzz::require(writeJson(reread, layout) == written);
    if (layout == JsonLayout::Compact) fuzz::require(written.find('\n') == std::string::npos);
  }
  return 0;
}
