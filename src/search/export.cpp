// The export file "bugs.dat": one tab-separated row per sheet, for a spreadsheet.
#include <map>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/labels.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "search/results.h"
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
  std::string header;
  for (int n = kFirstColumnLabel; n <= kLastColumnLabel; ++n) {
    header += base::TsvField(config::Msg(n));
    header += n < kLastColumnLabel ? '\t' : '\n';
  }
  base::Write(nullptr, header);

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
    auto code = codes.find(sheet.project);
    if (code == codes.end())
      code = codes.emplace(sheet.project, config::GetProjectCode(sheet.project)).first;
    std::string row = base::TsvField(code->second);
    row += '\t';
    row += FormatExportLine(sheet);
    base::Write(nullptr, row);
  }
}

}  // namespace search
