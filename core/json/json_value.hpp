// The JSON value model shared by every component that reads or writes JSON.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace diruri {

class JsonValue;
using JsonArray = std::vector<JsonValue>;
// Keys ordered by their bytes, which is the order every writer needs.
using JsonObject = std::map<std::string, JsonValue, std::less<>>;

// A JSON number keeps an exact 64-bit integer when it was read or built as one; every other
// number is a double. Both are "number" to callers that do not care.
class JsonValue {
 public:
  enum class Kind { String, Number, Bool, Object, Array, Null };

  JsonValue() : data_(nullptr) {}
  JsonValue(std::nullptr_t) : data_(nullptr) {}
  JsonValue(bool b) : data_(b) {}
  JsonValue(int i) : data_(static_cast<int64_t>(i)) {}
  JsonValue(long i) : data_(static_cast<int64_t>(i)) {}
  JsonValue(long long i) : data_(static_cast<int64_t>(i)) {}
  JsonValue(unsigned i) : data_(static_cast<int64_t>(i)) {}
  JsonValue(double d) : data_(d) {}
  JsonValue(const char* s) : data_(std::string(s)) {}
  JsonValue(std::string s) : data_(std::move(s)) {}
  JsonValue(std::string_view s) : data_(std::string(s)) {}
  JsonValue(JsonArray a) : data_(std::move(a)) {}
  JsonValue(JsonObject o) : data_(std::move(o)) {}

  Kind kind() const;
  bool isNull() const { return std::holds_alternative<std::nullptr_t>(data_); }
  bool isBool() const { return std::holds_alternative<bool>(data_); }
  bool isNumber() const {
    return std::holds_alternative<int64_t>(data_) || std::holds_alternative<double>(data_);
  }
  bool isString() const { return std::holds_alternative<std::string>(data_); }
  bool isArray() const { return std::holds_alternative<JsonArray>(data_); }
  bool isObject() const { return std::holds_alternative<JsonObject>(data_); }
  // True when the number is held as an exact integer (not when a double happens to be whole).
  bool holdsInteger() const { return std::holds_alternative<int64_t>(data_); }

  // Accessors; calling one for another kind throws std::logic_error.
  bool asBool() const;
  double asDouble() const;
  const std::string& asString() const;
  std::string& asString();
  const JsonArray& asArray() const;
  JsonArray& asArray();
  const JsonObject& asObject() const;
  JsonObject& asObject();

  // The number as a signed 64-bit integer when its value is integral and in range (7, 7.0, 7e0).
  std::optional<int64_t> asIntegral() const;

  // Member lookup: nullptr when this is not an object or has no such member.
  const JsonValue* find(std::string_view key) const;
  // Member of a given kind, or nullptr.
  const std::string* findString(std::string_view key) const;
  const JsonObject* findObject(std::string_view key) const;

  // Structural equality; numbers compare by value (3 == 3.0).
  friend bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  std::variant<std::nullptr_t, bool, int64_t, double, std::string, JsonArray, JsonObject> data_;
};

// Member lookups on a bare object: nullptr when it has no such member, or one of another kind.
const JsonValue* findMember(const JsonObject& object, std::string_view key);
const std::string* findStringMember(const JsonObject& object, std::string_view key);
const JsonObject* findObjectMember(const JsonObject& object, std::string_view key);

// Reading failed: not JSON, or nested deeper than the reader allows.
class JsonParseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Records are written with absent optional fields left out, never as null.
inline void putOptional(JsonObject& object, const char* key, const std::optional<std::string>& value) {
  if (value) object.emplace(key, *value);
}

// A member that a record cannot be read without; throws JsonParseError when it is missing or not a string.
inline const std::string& requireString(const JsonValue& object, const char* key) {
  const std::string* s = object.findString(key);
  if (!s) throw JsonParseError(std::string("missing or mistyped \"") + key + "\"");
  return *s;
}

// Writing failed: a number that is not finite, or a string that is not valid UTF-8.
class JsonEncodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Deepest nesting the reader accepts; deeper documents are a parse error rather than a risk to the stack.
inline constexpr int kMaxJsonDepth = 512;

// Parses one strict JSON text (surrounding whitespace allowed). Throws JsonParseError.
JsonValue parseJson(std::string_view text);

enum class JsonLayout {
  Compact,  // one line, no whitespace
  Pretty,   // two-space indentation, " : " between key and value, no final newline
};

// The one writer: keys sorted by bytes at every level, "/" written as "\/", other characters as
// UTF-8, integral numbers without a fraction, other numbers in the shortest form that reads back
// the same. Throws JsonEncodeError.
std::string writeJson(const JsonValue& value, JsonLayout layout = JsonLayout::Compact);

// The text writeJson gives for `object` with, at `key`, the array of the values `next` yields (until
// it yields none), handed to `write` in pieces: for a document too large to build as one value (a
// run of a million steps). Throws JsonEncodeError, or what `next` or `write` throw.
void writeJsonWithArray(const JsonObject& object, std::string_view key,
                        const std::function<std::optional<JsonValue>()>& next, JsonLayout layout,
                        const std::function<void(std::string_view)>& write);

}  // namespace diruri
