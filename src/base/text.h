// Blanks and words, as every configuration reader and the mail configuration see them.
#pragma once

#include <string_view>
#include <vector>

namespace base {

// A blank separates words: blank, tab, carriage return, line feed, form feed, vertical tab.
constexpr bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// The word that starts at or after `pos` (blanks skipped); `pos` moves past it. Empty when
// only blanks remain.
std::string_view NextWord(std::string_view text, size_t& pos);

// The line that starts at `pos` (up to the next line feed or the end, without the line
// feed); `pos` moves past it. For `pos` below text.size().
std::string_view NextLine(std::string_view text, size_t& pos);

// The words of `text`, appended to `words`.
void AppendWords(std::string_view text, std::vector<std::string_view>& words);

// The first word of `text`.
inline std::string_view FirstWord(std::string_view text) {
  size_t pos = 0;
  return NextWord(text, pos);
}

}  // namespace base
