// Window property text turned into valid UTF-8.
#include "core/x11/x11_text.hpp"

#include "core/text/unicode.hpp"

namespace diruri {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kCsi = 0x9B;

// What a graphic half (GL or GR) currently holds. Width is the bytes per character of an
// undecodable set, so that a two-byte character becomes one replacement, not two.
struct Charset {
  bool decodable = true;
  int width = 1;
};

bool isIntermediate(unsigned char b) { return b >= 0x20 && b <= 0x2F; }
bool isFinal(unsigned char b) { return b >= 0x30 && b <= 0x7E; }

}  // namespace

std::string utf8FromLatin1(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char b : bytes) appendUtf8(out, b);
  return out;
}

std::string utf8FromCompoundText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  Charset gl;  // ASCII at the start of the text
  Charset gr;  // the right half of Latin-1 at the start of the text
  size_t i = 0;
  const size_t n = bytes.size();
  auto at = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };

  while (i < n) {
    const unsigned char b = at(i);
    if (b == kEsc) {
      size_t j = i + 1;
      while (j < n && isIntermediate(at(j))) ++j;
      if (j >= n || !isFinal(at(j))) {  // truncated or malformed escape: drop the rest
        appendUtf8(out, kReplacement);
        break;
      }
      const std::string_view inter = bytes.substr(i + 1, j - i - 1);
      const unsigned char final = at(j);
      i = j + 1;
      if (inter == "(") {  // 94-character set into GL
        gl = {final == 'B', 1};
      } else if (inter == ")") {  // 94-character set into GR
        gr = {false, 1};
      } else if (inter == "-") {  // 96-character set into GR
        gr = {final == 'A', 1};
      } else if (inter == "$(") {  // 94^N sets (Japanese, Chinese, Korean)
        gl = {false, 2};
      } else if (inter == "$)") {
        gr = {false, 2};
      } else if (inter == "%" && final == 'G') {  // UTF-8 until ESC % @
        const size_t end = bytes.find("\x1b%@", i);
        const size_t stop = end == std::string_view::npos ? n : end;
        out += sanitizeUtf8(bytes.substr(i, stop - i));
        i = end == std::string_view::npos ? n : end + 3;
      } else if (inter == "%/" && final >= '0' && final <= '4') {
        // Extended segment: two length bytes, then data in a named encoding we do not know.
        if (i + 2 > n) {
          appendUtf8(out, kReplacement);
          break;
        }
        const size_t len = static_cast<size_t>((at(i) & 0x7F) * 128 + (at(i + 1) & 0x7F));
        i += 2 + len;
        appendUtf8(out, kReplacement);
      } else {
        appendUtf8(out, kReplacement);
      }
      continue;
    }
    if (b == kCsi) {  // direction controls: parameters, intermediates, one final byte
      ++i;
      while (i < n && at(i) >= 0x20 && at(i) <= 0x3F) ++i;
      if (i < n) ++i;
      continue;
    }
    if (b < 0x20 || b == 0x7F) {  // tab and newline are all the text should hold; keep any C0 as is
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    if (b >= 0x80 && b < 0xA0) {  // other C1 controls have no place in the text
      appendUtf8(out, kReplacement);
      ++i;
      continue;
    }
    const Charset& set = b < 0x80 ? gl : gr;
    if (set.decodable) {
      appendUtf8(out, b);  // ASCII, or Latin-1's right half, maps to the code point of equal value
      ++i;
    } else {
      appendUtf8(out, kReplacement);
      i += static_cast<size_t>(set.width);
    }
  }
  return out;
}

}  // namespace diruri
