// The export file "bugs.dat": one tab-separated row per sheet, for a spreadsheet.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/labels.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "search/results.h"
#include "store/index.h"
#include "store/store.h"

namespace search {
namespace {

// Column names: the project code, then the 27 header fields.
constexpr int kFirstColumnLabel = 2400;
constexpr int kLastColumnLabel = 2427;

void AddField(std::string& row, std::string_view value) {
  row += base::TsvField(value);
  row += '\t';
}

void AddNumber(std::string& row, long value) {
  row += std::to_string(value);
  row += '\t';
}

// A date as the export shows it: empty when it was never set.
std::string FormatDate(int time) {
  return time == 0 ? std::string() : store::FormatDate(time);
}

// The column names.
void WriteExportHeader() {
  std::string header;
  for (int n = kFirstColumnLabel; n <= kLastColumnLabel; ++n) {
    header += base::TsvField(config::Msg(n));
    header += n < kLastColumnLabel ? '\t' : '\n';
  }
  base::Write(nullptr, header);
}

void AppendExportRow(std::string& out, const store::FactSheet& sheet,
                     std::map<std::string, std::string, std::less<>>& codes) {
  auto code = codes.find(sheet.project);
  if (code == codes.end())
    code = codes.emplace(sheet.project, config::GetProjectCode(sheet.project)).first;
  out += base::TsvField(code->second);
  out += '\t';
  out += FormatExportLine(sheet);
}

// The export of every sheet holds, per hit, where its line lies and a key of 63 bits that
// orders the hits as the sort asked does (sort.front(), from the high bits down):
//   '0' status 8, severity 8, prefix 12, number 35      '3' the same with the impact
//   '2' responsible 16, prefix 12, number 35            else prefix 12, number 35
// The prefix is the name up to its dot, as the rank of its text among those met; the number
// is its digits as text (names compare as bytes: TaG.100000 before TaG.20000), each digit
// one more than its value, in base 11, padded with 0 to ten digits.
constexpr int kDigitBits = 35;
constexpr uint64_t kPrefixes = 1 << 12, kResps = 1 << 16;
constexpr size_t kExportChunk = 64 << 10;

struct KeyedHit {
  uint64_t key;
  long long at;  // the offset of its index line
};

std::optional<uint64_t> DigitsKey(std::string_view digits) {
  if (digits.empty() || digits.size() > 10) return std::nullopt;
  uint64_t key = 0;
  for (size_t i = 0; i < 10; ++i) {
    if (i < digits.size() && (digits[i] < '0' || digits[i] > '9')) return std::nullopt;
    key = key * 11 + (i < digits.size() ? static_cast<uint64_t>(digits[i] - '0' + 1) : 0);
  }
  return key;
}

// Texts numbered in the order met, and their ranks in byte order.
class Ranks {
 public:
  uint32_t Id(std::string_view text) {
    auto [it, added] = ids_.try_emplace(std::string(text), static_cast<uint32_t>(texts_.size()));
    if (added) texts_.push_back(&it->first);
    return it->second;
  }
  size_t Size() const { return texts_.size(); }
  std::vector<uint64_t> RanksById() const {
    std::vector<uint64_t> ranks(texts_.size());
    uint64_t rank = 0;
    for (const auto& [text, id] : ids_) ranks[id] = rank++;
    return ranks;
  }

 private:
  std::map<std::string, uint32_t> ids_;
  std::vector<const std::string*> texts_;
};

}  // namespace

std::string FormatExportLine(const store::FactSheet& s) {
  std::string row;
  AddField(row, s.subCode);
  row += base::Sprintf("%05d\t", s.number);
  AddField(row, config::GetPhaseName(s.phase));
  AddField(row, FormatDate(s.created));
  AddField(row, s.submitter);
  AddField(row, config::GetSeverityLabel(s.sev));
  AddField(row, s.project);
  AddField(row, s.group);
  AddField(row, s.prog);
  AddField(row, s.version);
  AddField(row, s.exp);
  AddField(row, store::GetStatusLabel(s.status));
  AddField(row, FormatDate(s.postponed));
  AddField(row, s.resp);
  AddField(row, s.corrector);
  AddField(row, FormatDate(s.corrDate));
  AddField(row, s.corrVers);
  AddField(row, s.verifier);
  AddField(row, FormatDate(s.verDate));
  AddField(row, s.verVers);
  AddField(row, config::GetTypeLabel(s.type));
  AddField(row, config::GetImpactName(s.impact));
  AddField(row, s.mdapda);
  AddField(row, s.test);
  AddNumber(row, s.corrLoad);
  AddNumber(row, s.Load);
  row += base::TsvField(s.title);
  row += '\n';
  return row;
}

void ExportSheets(const FoundList& hits) {
  WriteExportHeader();
  std::map<std::string, std::string, std::less<>> codes;  // project -> code
  store::FactSheet sheet;
  for (const FoundSheet& hit : hits) {
    if (!store::IsSheetName(hit.name)) continue;
    sheet = store::FactSheet{};
    if (!hit.line.empty()) {
      store::ParseHeader(hit.line, sheet);
    } else {
      store::BufFile file;
      if (!file.Open(base::JoinPath(config::GetDataDir(), hit.name), 'r')) continue;
      store::ReadHeader(file, sheet);
      file.Close();
    }
    std::string row;
    AppendExportRow(row, sheet, codes);
    base::Write(nullptr, row);
  }
}

bool ExportInOrder(const web::ParamList& params) {
  const std::string& sort = web::GetParam(params, "sort");
  const char by = sort.empty() ? '\0' : sort.front();
  if (by == '4') return false;  // titles have no key of a few bits
  store::IndexFile index;
  std::deque<KeyedHit> hits;  // grows without moving what it holds
  Ranks prefixes, resps;
  bool keyed = true;
  ForEachMatch(params, index, [&](const store::FactSheet& s, std::string_view, long long at) {
    if (!keyed) return;
    const std::string name = store::GetSheetName(s);
    if (!store::IsSheetName(name)) return;  // no row, as for the list's hits
    const size_t dot = name.find('.');
    const std::optional<uint64_t> digits =
        dot == std::string::npos ? std::nullopt : DigitsKey(std::string_view(name).substr(dot + 1));
    const uint32_t prefix = prefixes.Id(std::string_view(name).substr(0, dot + 1));
    const uint64_t named = uint64_t{prefix} << kDigitBits | digits.value_or(0);
    auto small = [](int value) { return value >= 0 && value < 256; };
    uint64_t key = named;
    if (by == '0' || by == '3') {
      const int first = by == '0' ? s.status : s.impact;
      keyed = small(first) && small(s.sev);
      key |= uint64_t(first & 255) << 55 | uint64_t(s.sev & 255) << 47;
    } else if (by == '2') {
      key |= uint64_t{resps.Id(s.resp)} << 47;
    }
    keyed = keyed && digits && prefixes.Size() <= kPrefixes && resps.Size() <= kResps;
    hits.push_back({key, at});
  });
  if (!keyed) return false;
  // The ranks of the texts in byte order replace the numbers they were given in index order.
  const std::vector<uint64_t> prefix_rank = prefixes.RanksById(), resp_rank = resps.RanksById();
  constexpr uint64_t kPrefixMask = (kPrefixes - 1) << kDigitBits, kRespMask = (kResps - 1) << 47;
  for (KeyedHit& hit : hits) {
    hit.key = (hit.key & ~kPrefixMask) | prefix_rank[(hit.key & kPrefixMask) >> kDigitBits]
                                             << kDigitBits;
    if (by == '2') hit.key = (hit.key & ~kRespMask) | resp_rank[(hit.key & kRespMask) >> 47] << 47;
  }
  // Equal keys: the most recently written sheet first, as the list has them.
  std::sort(hits.begin(), hits.end(), [](const KeyedHit& a, const KeyedHit& b) {
    return a.key != b.key ? a.key < b.key : a.at > b.at;
  });
  WriteExportHeader();
  std::map<std::string, std::string, std::less<>> codes;  // project -> code
  store::FactSheet sheet;
  std::string out, scratch;
  for (const KeyedHit& hit : hits) {
    sheet = store::FactSheet{};
    store::ParseHeader(index.LineAt(hit.at, scratch), sheet);
    AppendExportRow(out, sheet, codes);
    if (out.size() >= kExportChunk) {
      base::Write(nullptr, out);
      out.clear();
    }
  }
  base::Write(nullptr, out);
  return true;
}

}  // namespace search
