// The one JSON writer: sorted keys, escaped solidus, exact integers, compact or pretty layout.
#include <charconv>
#include <cmath>

#include "core/json/json_value.hpp"
#include "core/text/unicode.hpp"

namespace diruri {

namespace {

class Writer {
 public:
  explicit Writer(JsonLayout layout) : pretty_(layout == JsonLayout::Pretty) {}

  void value(const JsonValue& v, int depth) {
    switch (v.kind()) {
      case JsonValue::Kind::Null:
        out_ += "null";
        break;
      case JsonValue::Kind::Bool:
        out_ += v.asBool() ? "true" : "false";
        break;
      case JsonValue::Kind::Number:
        number(v);
        break;
      case JsonValue::Kind::String:
        string(v.asString());
        break;
      case JsonValue::Kind::Array:
        array(v.asArray(), depth);
        break;
      case JsonValue::Kind::Object:
        object(v.asObject(), depth);
        break;
    }
  }

  std::string take() { return std::move(out_); }

  // The object with, at `key`, the array of what `next` yields, written to `write` in pieces.
  void objectWithArray(const JsonObject& o, std::string_view key,
                       const std::function<std::optional<JsonValue>()>& next,
                       const std::function<void(std::string_view)>& write) {
    const auto flush = [&](size_t above) {
      if (out_.size() < above) return;
      write(out_);
      out_.clear();
    };
    JsonObject members = o;
    members.insert_or_assign(std::string(key), JsonValue(nullptr));  // in its place among the keys
    out_.push_back('{');
    bool first = true;
    for (const auto& [name, member] : members) {
      if (!first) out_.push_back(',');
      first = false;
      newline(1);
      string(name);
      out_ += pretty_ ? " : " : ":";
      if (name != key) {
        value(member, 1);
        continue;
      }
      out_.push_back('[');
      bool firstElement = true;
      while (std::optional<JsonValue> element = next()) {
        if (!firstElement) out_.push_back(',');
        firstElement = false;
        newline(2);
        value(*element, 2);
        flush(1 << 16);
      }
      if (!firstElement) newline(1);
      out_.push_back(']');
    }
    newline(0);
    out_.push_back('}');
    flush(0);
  }

 private:
  void number(const JsonValue& v) {
    char buf[32];
    if (auto i = v.holdsInteger() ? v.asIntegral() : std::nullopt) {
      auto r = std::to_chars(buf, buf + sizeof buf, *i);
      out_.append(buf, r.ptr);
      return;
    }
    const double d = v.asDouble();
    if (!std::isfinite(d)) throw JsonEncodeError("number is not finite");
    if (std::trunc(d) == d && std::fabs(d) < 9007199254740992.0) {
      // Whole values are written without a fraction: 412, not 412.0.
      auto r = std::to_chars(buf, buf + sizeof buf, static_cast<int64_t>(d));
      out_.append(buf, r.ptr);
      return;
    }
    auto r = std::to_chars(buf, buf + sizeof buf, d);  // shortest form that reads back the same
    out_.append(buf, r.ptr);
  }

  void string(const std::string& s) {
    if (!isValidUtf8(s)) throw JsonEncodeError("string is not valid UTF-8");
    out_.push_back('"');
    // Bytes that need no escape are copied in runs; most strings are one run.
    size_t run = 0;
    for (size_t i = 0; i < s.size(); ++i) {
      const auto c = static_cast<unsigned char>(s[i]);
      if (c >= 0x20 && c != '"' && c != '\\' && c != '/') continue;
      out_.append(s, run, i - run);
      run = i + 1;
      switch (c) {
        case '"':
          out_ += "\\\"";
          break;
        case '\\':
          out_ += "\\\\";
          break;
        case '/':
          out_ += "\\/";
          break;
        case '\b':
          out_ += "\\b";
          break;
        case '\f':
          out_ += "\\f";
          break;
        case '\n':
          out_ += "\\n";
          break;
        case '\r':
          out_ += "\\r";
          break;
        case '\t':
          out_ += "\\t";
          break;
        default: {
          static const char hex[] = "0123456789abcdef";
          out_ += "\\u00";
          out_.push_back(hex[c >> 4]);
          out_.push_back(hex[c & 0xF]);
        }
      }
    }
    out_.append(s, run, s.size() - run);
    out_.push_back('"');
  }

  void newline(int depth) {
    if (!pretty_) return;
    out_.push_back('\n');
    out_.append(static_cast<size_t>(depth) * 2, ' ');
  }

  void array(const JsonArray& a, int depth) {
    out_.push_back('[');
    bool first = true;
    for (const JsonValue& e : a) {
      if (!first) out_.push_back(',');
      first = false;
      newline(depth + 1);
      value(e, depth + 1);
    }
    if (!a.empty()) newline(depth);
    out_.push_back(']');
  }

  void object(const JsonObject& o, int depth) {
    out_.push_back('{');
    bool first = true;
    for (const auto& [key, member] : o) {  // the map is ordered by key bytes
      if (!first) out_.push_back(',');
      first = false;
      newline(depth + 1);
      string(key);
      out_ += pretty_ ? " : " : ":";
      value(member, depth + 1);
    }
    if (!o.empty()) newline(depth);
    out_.push_back('}');
  }

  bool pretty_;
  std::string out_;
};

}  // namespace

std::string writeJson(const JsonValue& value, JsonLayout layout) {
  Writer w(layout);
  w.value(value, 0);
  return w.take();
}

void writeJsonWithArray(const JsonObject& object, std::string_view key,
                        const std::function<std::optional<JsonValue>()>& next, JsonLayout layout,
                        const std::function<void(std::string_view)>& write) {
  Writer w(layout);
  w.objectWithArray(object, key, next, write);
}

}  // namespace diruri
