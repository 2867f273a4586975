// UTF-8 decoding with replacement, and Unicode white-space classification.
#include "core/text/unicode.hpp"

#include <algorithm>
#include <cstring>

namespace diruri {

namespace {

// Decodes one scalar at bytes[i]; returns the length consumed and sets ok=false for an invalid
// sequence (then the length is that of its maximal invalid subpart, at least 1).
size_t decodeOne(std::string_view bytes, size_t i, char32_t& out, bool& ok) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char c = b(i);
  ok = true;
  if (c < 0x80) {
    out = c;
    return 1;
  }
  size_t need;
  char32_t value;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
    value = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    value = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    value = c & 0x07;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    ok = false;
    out = 0xFFFD;
    return 1;
  }
  size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= bytes.size()) break;
    const unsigned char cc = b(i + k);
    const unsigned char l = (k == 1) ? lo : 0x80;
    const unsigned char h = (k == 1) ? hi : 0xBF;
    if (cc < l || cc > h) break;
    value = (value << 6) | (cc & 0x3F);
  }
  if (k <= need) {
    ok = false;
    out = 0xFFFD;
    return k;
  }
  out = value;
  return need + 1;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    // Every request line passes through here; skip ASCII eight bytes at a time.
    uint64_t word;
    while (i + 8 <= bytes.size() &&
           (std::memcpy(&word, bytes.data() + i, 8), (word & 0x8080808080808080u) == 0)) {
      i += 8;
    }
    if (i == bytes.size()) break;
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t c;
    bool ok;
    i += decodeOne(bytes, i, c, ok);
    if (!ok) return false;
  }
  return true;
}

std::string sanitizeUtf8(std::string_view bytes) {
  if (isValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  size_t i = 0;
  while (i < bytes.size()) {
    char32_t c;
    bool ok;
    const size_t n = decodeOne(bytes, i, c, ok);
    if (ok) {
      out.append(bytes.substr(i, n));
    } else {
      appendUtf8(out, 0xFFFD);
    }
    i += n;
  }
  return out;
}

std::vector<char32_t> decodeUtf8(std::string_view bytes) {
  std::vector<char32_t> out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    char32_t c;
    bool ok;
    i += decodeOne(bytes, i, c, ok);
    out.push_back(c);
  }
  return out;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool isUnicodeWhitespaceOrNewline(char32_t c) {
  switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::string_view trimUnicodeWhitespace(std::string_view text) {
  // Walk scalars from the front, then from the back; ASCII fast paths keep this cheap.
  size_t start = 0;
  while (start < text.size()) {
    char32_t c;
    bool ok;
    const size_t n = decodeOne(text, start, c, ok);
    if (!ok || !isUnicodeWhitespaceOrNewline(c)) break;
    start += n;
  }
  size_t end = text.size();
  while (end > start) {
    // Find the start of the last scalar: step back over continuation bytes (at most 3).
    size_t s = end - 1;
    while (s > start && end - s < 4 && (static_cast<unsigned char>(text[s]) & 0xC0) == 0x80) --s;
    char32_t c;
    bool ok;
    const size_t n = decodeOne(text, s, c, ok);
    if (!ok || s + n != end || !isUnicodeWhitespaceOrNewline(c)) break;
    end = s;
  }
  return text.substr(start, end - start);
}

namespace {

enum class Fate { kKeep, kDrop, kSpace };

Fate fateOf(char32_t c) {
  if (c == '\t' || c == '\n' || c == '\r' || c == 0x0b || c == 0x0c || c == 0x85 || c == 0x2028 ||
      c == 0x2029)
    return Fate::kSpace;
  if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) return Fate::kDrop;
  // Bidirectional marks, embeddings, overrides and isolates reorder what is shown around them.
  if (c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
      (c >= 0x2066 && c <= 0x2069))
    return Fate::kDrop;
  if (c == 0xfeff || (c >= 0xfdd0 && c <= 0xfdef) || (c & 0xfffe) == 0xfffe) return Fate::kDrop;
  return Fate::kKeep;
}

}  // namespace

std::string cleanData(std::string_view text, size_t maxScalars) {
  std::string out;
  out.reserve(std::min(text.size(), maxScalars * 4 + 3));
  size_t kept = 0;
  for (size_t i = 0; i < text.size();) {
    char32_t c;
    bool ok;
    i += decodeOne(text, i, c, ok);
    const Fate fate = fateOf(c);
    if (fate == Fate::kDrop) continue;
    if (kept == maxScalars) {
      out += "\u2026";
      break;
    }
    appendUtf8(out, fate == Fate::kSpace ? U' ' : c);
    ++kept;
  }
  return out;
}

std::string quotedData(std::string_view text, size_t maxScalars) {
  const std::string clean = cleanData(text, maxScalars);
  std::string out = "\"";
  out.reserve(clean.size() + 8);
  for (const char c : clean) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string firstScalars(std::string_view text, size_t maxScalars, bool* cut) {
  size_t at = 0, scalars = 0;
  while (at < text.size() && scalars < maxScalars) {
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xc0) == 0x80) ++at;
    ++scalars;
  }
  if (cut) *cut = at < text.size();
  return std::string(text.substr(0, at));
}

}  // namespace diruri
