// Accessors and equality of the JSON value model.
#include "core/json/json_value.hpp"

#include <cmath>

namespace diruri {

namespace {
[[noreturn]] void wrongKind(const char* wanted) {
  throw std::logic_error(std::string("JSON value is not ") + wanted);
}
}  // namespace

JsonValue::Kind JsonValue::kind() const {
  switch (data_.index()) {
    case 0:
      return Kind::Null;
    case 1:
      return Kind::Bool;
    case 2:
    case 3:
      return Kind::Number;
    case 4:
      return Kind::String;
    case 5:
      return Kind::Array;
    default:
      return Kind::Object;
  }
}

bool JsonValue::asBool() const {
  if (auto* b = std::get_if<bool>(&data_)) return *b;
  wrongKind("a boolean");
}

double JsonValue::asDouble() const {
  if (auto* i = std::get_if<int64_t>(&data_)) return static_cast<double>(*i);
  if (auto* d = std::get_if<double>(&data_)) return *d;
  wrongKind("a number");
}

const std::string& JsonValue::asString() const {
  if (auto* s = std::get_if<std::string>(&data_)) return *s;
  wrongKind("a string");
}

std::string& JsonValue::asString() {
  if (auto* s = std::get_if<std::string>(&data_)) return *s;
  wrongKind("a string");
}

const JsonArray& JsonValue::asArray() const {
  if (auto* a = std::get_if<JsonArray>(&data_)) return *a;
  wrongKind("an array");
}

JsonArray& JsonValue::asArray() {
  if (auto* a = std::get_if<JsonArray>(&data_)) return *a;
  wrongKind("an array");
}

const JsonObject& JsonValue::asObject() const {
  if (auto* o = std::get_if<JsonObject>(&data_)) return *o;
  wrongKind("an object");
}

JsonObject& JsonValue::asObject() {
  if (auto* o = std::get_if<JsonObject>(&data_)) return *o;
  wrongKind("an object");
}

std::optional<int64_t> JsonValue::asIntegral() const {
  if (auto* i = std::get_if<int64_t>(&data_)) return *i;
  if (auto* d = std::get_if<double>(&data_)) {
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= -9223372036854775808.0 &&
        *d < 9223372036854775808.0) {
      return static_cast<int64_t>(*d);
    }
  }
  return std::nullopt;
}

const JsonValue* JsonValue::find(std::string_view key) const {
  auto* o = std::get_if<JsonObject>(&data_);
  return o ? findMember(*o, key) : nullptr;
}

const std::string* JsonValue::findString(std::string_view key) const {
  const JsonValue* v = find(key);
  return v && v->isString() ? &v->asString() : nullptr;
}

const JsonObject* JsonValue::findObject(std::string_view key) const {
  const JsonValue* v = find(key);
  return v && v->isObject() ? &v->asObject() : nullptr;
}

const JsonValue* findMember(const JsonObject& object, std::string_view key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &it->second;
}

const std::string* findStringMember(const JsonObject& object, std::string_view key) {
  const JsonValue* v = findMember(object, key);
  return v && v->isString() ? &v->asString() : nullptr;
}

const JsonObject* findObjectMember(const JsonObject& object, std::string_view key) {
  const JsonValue* v = findMember(object, key);
  return v && v->isObject() ? &v->asObject() : nullptr;
}

bool operator==(const JsonValue& a, const JsonValue& b) {
  if (a.isNumber() && b.isNumber()) {
    if (a.holdsInteger() && b.holdsInteger()) {
      return std::get<int64_t>(a.data_) == std::get<int64_t>(b.data_);
    }
    return a.asDouble() == b.asDouble();
  }
  return a.data_ == b.data_;
}

}  // namespace diruri
