#include "base/text.h"

namespace base {

std::string_view NextWord(std::string_view text, size_t& pos) {
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  size_t start = pos;
  while (pos < text.size() && !IsBlank(text[pos])) ++pos;
  return text.substr(start, pos - start);
}

void AppendWords(std::string_view text, std::vector<std::string_view>& words) {
  size_t pos = 0;
  while (true) {
    std::string_view word = NextWord(text, pos);
    if (word.empty()) return;
    words.push_back(word);
  }
}

std::string_view NextLine(std::string_view text, size_t& pos) {
  size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) end = text.size();
  std::string_view line = text.substr(pos, end - pos);
  pos = end + 1;
  return line;
}

}  // namespace base
