// A parser-event scan of log lines for the summary: a long log is folded without a value per line.
#include "core/store/summary_line_scan.hpp"

#include <nlohmann/json.hpp>

#include <vector>

#include "core/json/json_value.hpp"

namespace diruri {

namespace {

class Scanner final : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit Scanner(SummaryLineFacts& facts) : facts_(facts) {}

  bool null() override { return scalar(nullptr); }
  bool boolean(bool) override { return scalar(nullptr); }
  bool number_integer(number_integer_t) override { return scalar(nullptr); }
  bool number_unsigned(number_unsigned_t) override { return scalar(nullptr); }
  bool number_float(number_float_t, const string_t&) override { return scalar(nullptr); }
  bool string(string_t& s) override { return scalar(&s); }
  bool binary(binary_t&) override { return false; }

  bool start_object(std::size_t) override { return open(true); }
  bool start_array(std::size_t) override { return open(false); }
  bool key(string_t& k) override {
    key_.swap(k);
    return true;
  }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

  bool rootIsObject() const { return rootIsObject_; }

 private:
  // Where a container sits, as far as the summary cares.
  enum class Role { Root, Payload, App, Other };
  struct Open {
    Role role;
    bool object;
  };

  bool scalar(const std::string* text) {
    see(text, false);
    return true;
  }

  bool open(bool object) {
    if (static_cast<int>(stack_.size()) >= kMaxJsonDepth) return false;  // as parseJson refuses it
    stack_.push_back(Open{see(nullptr, object), object});
    return true;
  }

  bool close() {
    stack_.pop_back();
    return true;
  }

  static void take(std::optional<std::string>& field, const std::string* text) {
    if (text) {
      field = *text;
    } else {
      field.reset();
    }
  }

  // Records a value met under the current key; a later duplicate key replaces what an earlier one
  // gave, as in parseJson. Returns the role of the value if it opens a container.
  Role see(const std::string* text, bool object) {
    if (stack_.empty()) {
      rootIsObject_ = object;
      return object ? Role::Root : Role::Other;
    }
    const Open& parent = stack_.back();
    if (!parent.object) return Role::Other;
    switch (parent.role) {
      case Role::Root:
        if (key_ == "type") take(facts_.type, text);
        if (key_ == "id") take(facts_.id, text);
        if (key_ == "payload") {
          facts_.appName.reset();
          facts_.windowTitle.reset();
          return object ? Role::Payload : Role::Other;
        }
        return Role::Other;
      case Role::Payload:
        if (key_ == "app") {
          facts_.appName.reset();
          facts_.windowTitle.reset();
          return object ? Role::App : Role::Other;
        }
        return Role::Other;
      case Role::App:
        if (key_ == "appName") take(facts_.appName, text);
        if (key_ == "windowTitle") take(facts_.windowTitle, text);
        return Role::Other;
      case Role::Other: return Role::Other;
    }
    return Role::Other;
  }

  SummaryLineFacts& facts_;
  std::vector<Open> stack_;
  std::string key_;
  bool rootIsObject_ = false;
};

}  // namespace

bool scanSummaryLine(std::string_view line, SummaryLineFacts& facts) {
  facts = SummaryLineFacts{};
  // The parser takes a NUL byte for the end of its input and would accept "{}" followed by
  // anything; a raw NUL is never valid JSON, so such a line is refused here.
  if (line.find('\0') != std::string_view::npos) return false;
  Scanner scanner(facts);
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(line.begin(), line.end(), &scanner, nlohmann::json::input_format_t::json,
                                   true, false);
  } catch (const nlohmann::json::exception&) {
    ok = false;  // the parser's own refusals count as a line that is not JSON
  }
  return ok && scanner.rootIsObject();
}

}  // namespace diruri
