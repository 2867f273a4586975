// Strict JSON reading into JsonValue, built directly from parser events with a nesting limit.
#include <nlohmann/json.hpp>

#include "core/json/json_value.hpp"

namespace diruri {

namespace {

// Builds the value without an intermediate document; containers are kept on an explicit stack so
// that depth costs heap, not call stack, until the limit.
class Builder : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool null() override { return put(JsonValue()); }
  bool boolean(bool v) override { return put(JsonValue(v)); }
  bool number_integer(number_integer_t v) override { return put(JsonValue(static_cast<long long>(v))); }
  bool number_unsigned(number_unsigned_t v) override {
    if (v <= static_cast<number_unsigned_t>(INT64_MAX)) return put(JsonValue(static_cast<long long>(v)));
    return put(JsonValue(static_cast<double>(v)));
  }
  bool number_float(number_float_t v, const string_t&) override { return put(JsonValue(v)); }
  bool string(string_t& v) override { return put(JsonValue(std::move(v))); }
  bool binary(binary_t&) override { return false; }

  bool start_object(std::size_t) override { return open(JsonValue(JsonObject{})); }
  bool key(string_t& k) override {
    keys_.back() = std::move(k);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(JsonValue(JsonArray{})); }
  bool end_array() override { return close(); }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

  bool tooDeep() const { return tooDeep_; }
  JsonValue take() { return std::move(root_); }

 private:
  bool put(JsonValue v) {
    if (stack_.empty()) {
      root_ = std::move(v);
      return true;
    }
    JsonValue& top = stack_.back();
    if (top.isArray()) {
      top.asArray().push_back(std::move(v));
    } else {
      // Later duplicates replace earlier ones.
      top.asObject().insert_or_assign(keys_.back(), std::move(v));
    }
    return true;
  }
  bool open(JsonValue container) {
    if (static_cast<int>(stack_.size()) >= kMaxJsonDepth) {
      tooDeep_ = true;
      return false;
    }
    stack_.push_back(std::move(container));
    keys_.emplace_back();
    return true;
  }
  bool close() {
    JsonValue done = std::move(stack_.back());
    stack_.pop_back();
    keys_.pop_back();
    return put(std::move(done));
  }

  std::vector<JsonValue> stack_;
  std::vector<std::string> keys_;
  JsonValue root_;
  bool tooDeep_ = false;
};

}  // namespace

JsonValue parseJson(std::string_view text) {
  Builder builder;
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder,
                                   nlohmann::json::input_format_t::json, true, false);
  } catch (const nlohmann::json::exception&) {
    ok = false;
  }
  if (!ok) throw JsonParseError(builder.tooDeep() ? "JSON nested too deeply" : "invalid JSON");
  return builder.take();
}

}  // namespace diruri
