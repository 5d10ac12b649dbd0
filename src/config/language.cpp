#include "config/language.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "base/files.h"
#include "base/numbers.h"
#include "base/out.h"
#include "base/request_state.h"
#include "config/debug.h"
#include "config/main_config.h"

namespace config {
namespace {

constexpr size_t kLineLimit = 299;  // a longer line's remainder reads as a further line

// The language file, read in one piece; a message becomes a string when a page first asks
// for it (a page asks for a few dozen of some five hundred).
struct LanguageTable {
  struct Entry {
    int number;
    size_t at, size;
  };
  std::string text;
  std::vector<Entry> entries;  // by number; of equal numbers, the last line counts
  std::unordered_map<int, std::string> made;
  bool loaded = false;
};

// "%d," at the start of a line: optional blanks, a sign, digits, then a comma.
std::optional<int> LeadingNumber(std::string_view line, size_t& after_comma) {
  size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' ||
                             line[i] == '\n' || line[i] == '\f' || line[i] == '\v'))
    ++i;
  size_t start = i;
  if (i < line.size() && (line[i] == '-' || line[i] == '+')) ++i;
  size_t digits = i;
  uint32_t value = 0;  // of the digits, while there are at most nine
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i)
    value = value * 10 + static_cast<uint32_t>(line[i] - '0');
  if (i == digits) return std::nullopt;
  if (i >= line.size() || line[i] != ',') return std::nullopt;
  if (i - start > 10) return std::nullopt;  // beyond any message number
  after_comma = i + 1;
  // Every line of the file comes here at each start: plain digits are read as they are met.
  if (digits == start && i - digits <= 9) return static_cast<int>(value);
  return base::LeadingNumber(line.substr(start, i - start));
}

void Load(LanguageTable& table) {
  std::string path = base::Sprintf("%s/langue.%s", GetConfigDir(), GetLanguageCode());
  std::optional<std::string> text = base::ReadFile(path);
  if (!text) {
    // Tried again at every lookup; the administrator's log hears of it once, unless there is
    // no configuration yet (the wizard's pages, whose missing file is told already).
    static bool logged = false;
    if (!logged && MainConfigReadable()) LogToServer(base::Sprintf("no language file %s", path));
    logged = true;
    config::DebugPage("<! langue file : %s >\n", path);
    return;
  }
  table.text = std::move(*text);
  table.entries.clear();
  const std::string_view all(table.text);
  for (size_t begin = 0; begin < all.size();) {
    size_t lf = all.find('\n', begin);
    const bool ended = lf != std::string_view::npos;
    std::string_view rest = all.substr(begin, ended ? lf - begin : std::string_view::npos);
    begin = ended ? lf + 1 : all.size();
    // Lines are taken in pieces of at most 299 characters.
    do {
      std::string_view piece = rest.substr(0, kLineLimit);
      rest.remove_prefix(piece.size());
      bool last_piece = rest.empty();
      size_t text_at = 0;
      auto n = LeadingNumber(piece, text_at);
      if (n && *n > 0) {
        std::string_view message = piece.substr(text_at);
        // The line end goes: the line feed (already gone) and a carriage return before it.
        if (last_piece && ended && !message.empty() && message.back() == '\r')
          message.remove_suffix(1);
        table.entries.push_back(
            {*n, static_cast<size_t>(message.data() - all.data()), message.size()});
      }
    } while (!rest.empty());
  }
  auto by_number = [](const auto& a, const auto& b) { return a.number < b.number; };
  if (!std::is_sorted(table.entries.begin(), table.entries.end(), by_number))
    std::stable_sort(table.entries.begin(), table.entries.end(), by_number);
  table.loaded = !table.entries.empty();
}

}  // namespace

std::string GetLanguageCode() {
  std::string value = GetConfig("LANGUAGE");
  size_t end = value.find_first_of(" \t");
  std::string code = value.substr(0, end);
  return code.empty() ? "FR" : code;
}

const std::string& Msg(int n) {
  static const std::string kEmpty;
  LanguageTable& table = base::Cache<LanguageTable>();
  // An empty table is not kept: the next lookup tries the file again.
  if (!table.loaded) Load(table);
  if (auto made = table.made.find(n); made != table.made.end()) return made->second;
  auto after = std::upper_bound(table.entries.begin(), table.entries.end(), n,
                                [](int number, const auto& e) { return number < e.number; });
  if (after == table.entries.begin() || (after - 1)->number != n) return kEmpty;
  return table.made.emplace(n, table.text.substr((after - 1)->at, (after - 1)->size)).first->second;
}

}  // namespace config
