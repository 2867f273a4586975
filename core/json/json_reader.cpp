// Strict JSON reading straight into JsonValue, with a nesting limit.
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/json/json_value.hpp"
#include "core/text/unicode.hpp"

namespace diruri {

namespace {

// A recursive-descent reader of RFC 8259 JSON: no comments, no trailing commas, no leading zeros,
// strings of valid UTF-8 without raw control characters and without lone surrogate escapes.
// Hand-written because the server reads every request line with it and a general library spent
// most of a request's time here.
class Reader {
 public:
  explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  JsonValue document() {
    skipWhitespace();
    JsonValue v = value(0);
    skipWhitespace();
    if (p_ != end_) fail();
    return v;
  }

 private:
  [[noreturn]] static void fail() { throw JsonParseError("invalid JSON"); }

  void skipWhitespace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  void expectWord(std::string_view word) {
    if (static_cast<size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0)
      fail();
    p_ += word.size();
  }

  JsonValue value(int depth) {
    if (p_ == end_) fail();
    switch (*p_) {
      case '{':
        return object(depth + 1);
      case '[':
        return array(depth + 1);
      case '"':
        return JsonValue(string());
      case 't':
        expectWord("true");
        return JsonValue(true);
      case 'f':
        expectWord("false");
        return JsonValue(false);
      case 'n':
        expectWord("null");
        return JsonValue();
      default:
        return number();
    }
  }

  JsonValue object(int depth) {
    if (depth > kMaxJsonDepth) throw JsonParseError("JSON nested too deeply");
    ++p_;
    JsonObject members;
    skipWhitespace();
    if (p_ != end_ && *p_ == '}') {
      ++p_;
      return JsonValue(std::move(members));
    }
    for (;;) {
      if (p_ == end_ || *p_ != '"') fail();
      std::string key = string();
      skipWhitespace();
      if (p_ == end_ || *p_ != ':') fail();
      ++p_;
      skipWhitespace();
      // Later duplicates replace earlier ones.
      members.insert_or_assign(std::move(key), value(depth));
      skipWhitespace();
      if (p_ == end_) fail();
      if (*p_ == ',') {
        ++p_;
        skipWhitespace();
        continue;
      }
      if (*p_ != '}') fail();
      ++p_;
      return JsonValue(std::move(members));
    }
  }

  JsonValue array(int depth) {
    if (depth > kMaxJsonDepth) throw JsonParseError("JSON nested too deeply");
    ++p_;
    JsonArray elements;
    skipWhitespace();
    if (p_ != end_ && *p_ == ']') {
      ++p_;
      return JsonValue(std::move(elements));
    }
    for (;;) {
      elements.push_back(value(depth));
      skipWhitespace();
      if (p_ == end_) fail();
      if (*p_ == ',') {
        ++p_;
        skipWhitespace();
        continue;
      }
      if (*p_ != ']') fail();
      ++p_;
      return JsonValue(std::move(elements));
    }
  }

  unsigned hex4() {
    if (end_ - p_ < 4) fail();
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = *p_++;
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v |= static_cast<unsigned>(c - 'A' + 10);
      else
        fail();
    }
    return v;
  }

  // At the opening quote; leaves p_ after the closing one.
  std::string string() {
    ++p_;
    std::string out;
    const char* run = p_;  // bytes copied as they are, in runs
    bool ascii = true;
    for (;;) {
      if (p_ == end_) fail();
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') break;
      if (c < 0x20) fail();
      if (c >= 0x80) ascii = false;
      if (c != '\\') {
        ++p_;
        continue;
      }
      out.append(run, p_);
      ++p_;
      if (p_ == end_) fail();
      switch (*p_++) {
        case '"':
          out.push_back('"');
          break;
        case '\\':
          out.push_back('\\');
          break;
        case '/':
          out.push_back('/');
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          char32_t scalar = hex4();
          if (scalar >= 0xD800 && scalar <= 0xDBFF) {
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') fail();
            p_ += 2;
            const unsigned low = hex4();
            if (low < 0xDC00 || low > 0xDFFF) fail();
            scalar = 0x10000 + ((scalar - 0xD800) << 10) + (low - 0xDC00);
          } else if (scalar >= 0xDC00 && scalar <= 0xDFFF) {
            fail();
          }
          appendUtf8(out, scalar);
          break;
        }
        default:
          fail();
      }
      run = p_;
    }
    out.append(run, p_);
    ++p_;
    if (!ascii && !isValidUtf8(out)) fail();
    return out;
  }

  static bool digit(char c) { return c >= '0' && c <= '9'; }

  JsonValue number() {
    const char* start = p_;
    if (p_ != end_ && *p_ == '-') ++p_;
    if (p_ == end_ || !digit(*p_)) fail();
    if (*p_ == '0') {
      ++p_;
    } else {
      while (p_ != end_ && digit(*p_)) ++p_;
    }
    bool integral = true;
    if (p_ != end_ && *p_ == '.') {
      integral = false;
      ++p_;
      if (p_ == end_ || !digit(*p_)) fail();
      while (p_ != end_ && digit(*p_)) ++p_;
    }
    const char* exponent = nullptr;
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      integral = false;
      exponent = ++p_;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !digit(*p_)) fail();
      while (p_ != end_ && digit(*p_)) ++p_;
    }
    if (integral) {
      int64_t i;
      const auto r = std::from_chars(start, p_, i);
      if (r.ec == std::errc() && r.ptr == p_) return JsonValue(static_cast<long long>(i));
      // Beyond 64 bits: kept as the nearest double.
    }
    double d;
    const auto r = std::from_chars(start, p_, d);
    if (r.ec == std::errc() && r.ptr == p_) return JsonValue(d);
    if (r.ec == std::errc::result_out_of_range && underflows(start, exponent)) {
      return JsonValue(*start == '-' ? -0.0 : 0.0);
    }
    fail();  // too large for a double
  }

  // Whether an out-of-range number in [start, p_) is too small rather than too large: the decimal
  // exponent of its first significant digit is negative.
  bool underflows(const char* start, const char* exponent) const {
    const char* q = start;
    if (*q == '-') ++q;
    const char* const mantissaEnd = exponent ? exponent - 1 : p_;
    long magnitude = 0;
    bool seenSignificant = false;
    bool fraction = false;
    for (; q != mantissaEnd; ++q) {
      if (*q == '.') {
        fraction = true;
      } else if (!seenSignificant) {
        if (fraction) --magnitude;
        seenSignificant = *q != '0';
      } else if (!fraction) {
        ++magnitude;
      }
    }
    long e = 0;
    if (exponent) {
      const char* x = exponent;
      const bool negative = *x == '-';
      if (*x == '+' || *x == '-') ++x;
      for (; x != p_ && e < 100000; ++x) e = e * 10 + (*x - '0');
      if (negative) e = -e;
    }
    return magnitude + e < 0;
  }

  const char* p_;
  const char* const end_;
};

}  // namespace

JsonValue parseJson(std::string_view text) { return Reader(text).document(); }

}  // namespace diruri
