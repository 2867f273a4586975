// The characters of keysyms: Latin-1 and the Unicode range by rule, the legacy ones from a table
// generated from the installed keysymdef.h.
#include "core/text/keysym_text.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/text/unicode.hpp"

namespace diruri {

namespace {

// The legacy keysyms and their characters, by keysym.
const std::vector<std::pair<uint32_t, uint32_t>>& legacyKeysyms() {
  static const std::vector<std::pair<uint32_t, uint32_t>> table = [] {
    std::vector<std::pair<uint32_t, uint32_t>> entries = {
#include "keysym_unicode.inc"
    };
    std::sort(entries.begin(), entries.end());
    return entries;
  }();
  return table;
}

}  // namespace

std::optional<uint32_t> keysymOf(char32_t c) {
  if (c == U'\n') return 0xff0d;
  if (c == U'\t') return 0xff09;
  if (c < 0x20 || (c >= 0x7f && c < 0xa0) || (c >= 0xd800 && c <= 0xdfff) || c > 0x10ffff)
    return std::nullopt;
  if (c <= 0xff) return static_cast<uint32_t>(c);
  // By character, the smallest keysym first where several stand for one.
  static const std::vector<std::pair<uint32_t, uint32_t>> byCharacter = [] {
    std::vector<std::pair<uint32_t, uint32_t>> entries;
    for (const auto& [keysym, character] : legacyKeysyms()) entries.emplace_back(character, keysym);
    std::sort(entries.begin(), entries.end());
    return entries;
  }();
  const auto it =
      std::lower_bound(byCharacter.begin(), byCharacter.end(), std::make_pair(static_cast<uint32_t>(c), 0u));
  if (it != byCharacter.end() && it->first == c) return it->second;
  return 0x01000000 + static_cast<uint32_t>(c);
}

std::optional<std::string> keysymText(uint32_t keysym) {
  const std::vector<std::pair<uint32_t, uint32_t>>& table = legacyKeysyms();
  char32_t c = 0;
  if ((keysym >= 0x20 && keysym <= 0x7e) || (keysym >= 0xa0 && keysym <= 0xff)) {
    c = keysym;
  } else if (keysym >= 0x01000100 && keysym <= 0x0110ffff) {
    c = keysym - 0x01000000;
  } else if (keysym >= 0xffb0 && keysym <= 0xffb9) {
    c = U'0' + (keysym - 0xffb0);  // the keypad's digits
  } else if (keysym >= 0xffaa && keysym <= 0xffaf) {
    c = U"*+,-./"[keysym - 0xffaa];
  } else if (keysym == 0xff80) {
    c = U' ';
  } else if (keysym == 0xffbd) {
    c = U'=';
  } else {
    const auto it = std::lower_bound(table.begin(), table.end(), std::make_pair(keysym, uint32_t{0}));
    if (it != table.end() && it->first == keysym) c = it->second;
  }
  // Control characters are keys (Return, Tab, Escape), not text.
  if (c == 0 || c < 0x20 || (c >= 0x7f && c < 0xa0) || (c >= 0xd800 && c <= 0xdfff)) return std::nullopt;
  std::string text;
  appendUtf8(text, c);
  return text;
}

}  // namespace diruri
