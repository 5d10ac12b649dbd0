#include "config/language.h"

#include <optional>
#include <unordered_map>

#include "base/files.h"
#include "base/numbers.h"
#include "base/out.h"
#include "base/request_state.h"
#include "config/debug.h"
#include "config/main_config.h"

namespace config {
namespace {

constexpr size_t kLineLimit = 299;  // a longer line's remainder reads as a further line

struct LanguageTable {
  std::unordered_map<int, std::string> messages;
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
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
  if (i == digits) return std::nullopt;
  if (i >= line.size() || line[i] != ',') return std::nullopt;
  if (i - start > 10) return std::nullopt;  // beyond any message number
  after_comma = i + 1;
  return base::LeadingNumber(line.substr(start, i - start));
}

void Load(LanguageTable& table) {
  std::string path = base::Sprintf("%s/langue.%s", GetConfigDir(), GetLanguageCode());
  base::LineReader reader(path);
  if (!reader.IsOpen()) {
    // Tried again at every lookup; the administrator's log hears of it once.
    static bool logged = false;
    if (!logged) LogToServer(base::Sprintf("no language file %s", path));
    logged = true;
    config::DebugPage("<! langue file : %s >\n", path);
    return;
  }
  std::string line;
  bool ended = false;
  while (reader.Next(line, &ended)) {
    // Lines are taken in pieces of at most 299 characters.
    std::string_view rest(line);
    do {
      std::string_view piece = rest.substr(0, kLineLimit);
      rest.remove_prefix(piece.size());
      bool last_piece = rest.empty();
      size_t text_at = 0;
      auto n = LeadingNumber(piece, text_at);
      if (n && *n > 0) {
        std::string_view text = piece.substr(text_at);
        // The line end goes: the line feed (already gone) and a carriage return before it.
        if (last_piece && ended && !text.empty() && text.back() == '\r') text.remove_suffix(1);
        table.messages[*n] = std::string(text);
      }
    } while (!rest.empty());
  }
  table.loaded = !table.messages.empty();
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
  auto it = table.messages.find(n);
  return it == table.messages.end() ? kEmpty : it->second;
}

}  // namespace config
