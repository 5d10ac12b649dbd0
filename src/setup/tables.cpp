// The colon-separated tables (projects, sub-projects, phases, members): a grid of text
// fields and check boxes, one row per line and one empty row for a new entry.
#include <algorithm>
#include <ctime>
#include <map>

#include "base/encode.h"
#include "base/files.h"
#include "base/names.h"
#include "base/out.h"
#include "config/debug.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/members.h"
#include "config/projects.h"
#include "setup/setup_parts.h"
#include "users/passwords.h"
#include "web/cookies.h"
#include "web/page.h"

namespace setup {
namespace {

struct Column {
  int label;
  int size;  // 0: a check box
};

std::vector<Column> ColumnsOf(int kind) {
  switch (kind) {
    case kProject:
      return {{2700, 12}, {2701, 14}, {2702, 11}, {2703, 18}, {2704, 15}};
    case kSubproject:
      return {{2705, 15}, {2706, 6}};
    case kPhase:
      return {{2707, 20}, {2708, 6}};
    case kUsers: {
      std::vector<Column> columns = {{2709, 12}, {2710, 35}, {2711, 12}};
      for (int label = 2712; label <= 2718; ++label) columns.push_back({label, 0});
      return columns;
    }
    default:
      return {};
  }
}

// The password column of the members table: its value never goes back into a page.
constexpr size_t kPasswordColumn = 2;
bool IsPasswordCell(int kind, size_t column) {
  return kind == kUsers && column == kPasswordColumn;
}

// The columns whose values become file or folder names: a project's name and code (its
// files, folders and sheet names), a sub-project's name and code, a phase's letter.
bool IsNameColumn(int kind, size_t column) {
  switch (kind) {
    case kProject:
    case kSubproject:
      return column <= 1;
    case kPhase:
      return column == 1;
    default:
      return false;
  }
}

// The fields of a table line: each ends at ":" or a tab. A field is kept as it stands, so a
// right stored as a single blank reads as refused, not as an empty (granted) field.
std::vector<std::string> SplitFields(std::string_view line) {
  std::vector<std::string> fields;
  size_t pos = 0;
  while (pos <= line.size()) {
    size_t end = line.find_first_of(":\t", pos);
    if (end == std::string_view::npos) end = line.size();
    fields.emplace_back(line.substr(pos, end - pos));
    pos = end + 1;
  }
  return fields;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

void WriteRow(int kind, const std::vector<Column>& columns, const std::vector<std::string>& fields,
              int row) {
  base::Write(nullptr, "<TR>\n");
  for (size_t c = 0; c < columns.size(); ++c) {
    std::string_view field = c < fields.size() ? std::string_view(fields[c]) : std::string_view();
    if (columns[c].size > 0) {
      base::Page("<TD><INPUT TYPE=%s SIZE=%d ", IsPasswordCell(kind, c) ? "Password" : "Text",
                 columns[c].size);
      std::string_view value = IsPasswordCell(kind, c) ? std::string_view() : Trimmed(field);
      if (!value.empty()) base::Page("VALUE=\"%s\" ", base::EscapeHtml(value));
    } else {
      base::Write(nullptr, "<TD ALIGN=CENTER><INPUT TYPE=Checkbox ");
      if (field.empty() || field.front() == 'Y') base::Write(nullptr, " CHECKED ");
      base::Page("VALUE=\"%s\" ", "YES");
    }
    // Each cell is named for readers by its column and its row.
    base::Page("NAME=V%d_%d%s></TD>\n", static_cast<int>(c), row,
               web::AriaLabel(base::Sprintf("%s %d", config::Msg(columns[c].label), row + 1)));
  }
  base::Write(nullptr, "</TR>\n");
}

void WriteTableForm(int kind, int wizard_step, std::string_view project, const std::string& path,
                    const TypedForm* typed = nullptr) {
  std::optional<std::string> text = typed ? typed->content : base::ReadFile(path);
  if (!text) {
    config::DebugPage("<!%s>\n", base::EscapeHtml(path));
    web::ErrorBoxArg(config::kMsgCannotOpen, path);
    return;
  }
  std::vector<Column> columns = ColumnsOf(kind);
  WriteFileHeading(project, kind);
  base::Page("<FORM METHOD=POST ACTION=\"%s\">\n", base::EscapeHtml(web::ScriptName()));
  WriteFormFields(kind, wizard_step);
  if (wizard_step == 0) WriteRevisionField(typed ? typed->revision : FileRevision(*text));
  base::Page("<INPUT TYPE=hidden NAME=%s VALUE=%s>\n", "project", base::EscapeHtml(project));
  base::Write(nullptr, "<INPUT TYPE=hidden NAME=text VALUE=xxx>\n");
  base::Write(nullptr, "<TABLE BORDER=0 CELLSPACING=5 CELLPADDING=0>\n<TR>\n");
  for (const Column& column : columns)
    base::Page("<TH><FONT SIZE=-1>%s</FONT></TH>\n", config::Msg(column.label));
  base::Write(nullptr, "</TR>\n");
  int rows = 0;
  for (const std::string& line : SplitLines(*text))
    if (!config::IsChangedLine(line)) WriteRow(kind, columns, SplitFields(line), rows++);
  // A new entry; a new member starts with the Member and Menu rights only.
  std::vector<std::string> blank;
  if (kind == kUsers) blank = {"", "", "", "YES", "YES", " ", " ", " ", " ", " "};
  WriteRow(kind, columns, blank, rows++);
  base::Write(nullptr, "</TABLE>\n");
  // The wizard asks for the partners' shared secret with the partners themselves.
  if (kind == kProject && wizard_step > 0)
    base::Page("<P>%s <INPUT TYPE=password NAME=secret ID=secret SIZE=40>\n",
               web::LabelFor("secret", config::Msg(2814)));
  WriteSubmit(wizard_step);
  base::Page("<INPUT TYPE=hidden NAME=LINES VALUE=%d>\n", rows);
  base::Write(nullptr, "</FORM>\n");
}

// The stored password of each login of a members file.
std::map<std::string, std::string> StoredPasswords(const std::string& path) {
  std::map<std::string, std::string> passwords;
  for (const std::string& line : SplitLines(base::ReadFile(path).value_or(""))) {
    std::vector<std::string> fields = SplitFields(line);
    if (fields.size() > kPasswordColumn)
      passwords.emplace(std::string(Trimmed(fields[0])), fields[kPasswordColumn]);
  }
  return passwords;
}

}  // namespace

void ShowTable(int kind, const std::string& path) {
  base::Write(nullptr, "<TABLE BORDER=1><TR>\n");
  for (const Column& column : ColumnsOf(kind))
    base::Page("<TH>%s</TH>\n", config::Msg(column.label));
  base::Write(nullptr, "</TR>\n");
  for (const std::string& line : SplitLines(base::ReadFile(path).value_or(""))) {
    if (line.empty() || config::IsChangedLine(line)) continue;
    base::Write(nullptr, "<TR><TD>\n");
    std::vector<std::string> fields = SplitFields(line);
    for (size_t c = 0; c < fields.size(); ++c) {
      if (c > 0) base::Write(nullptr, "&nbsp;</TD><TD>\n");
      bool hidden = IsPasswordCell(kind, c) && !Trimmed(fields[c]).empty();
      base::Write(nullptr, hidden ? std::string("*") : base::EscapeHtml(fields[c]));
    }
    base::Write(nullptr, "&nbsp;</TD></TR>\n");
  }
  base::Write(nullptr, "</TABLE>\n");
}

void WriteTableForms(int kind, int wizard_step, const web::ParamList* reader) {
  if (!IsPerProject(kind)) {
    config::DebugPage("<! CFGFILE:%s>\n", base::EscapeHtml(config::GetConfigPath()));
    WriteTableForm(kind, wizard_step, "",
                   base::Sprintf("%s/%s.cfg", config::GetConfigDir(), KindName(kind)));
    return;
  }
  for (const auto& [project, path] : ProjectFiles(kind, reader))
    WriteTableForm(kind, wizard_step, project, path);
}

bool SaveTable(int kind, const web::ParamList& list, bool wizard,
               const std::function<void(const std::vector<std::string>&)>& before_write) {
  const std::string& project = web::GetParam(list, "project");
  if (!MaySaveFile(list, kind, kind == kProject ? "" : project)) {
    web::ErrorBox(config::kMsgNoSetupRight);
    return false;
  }
  std::optional<std::string> target = SaveTarget(kind, kind == kProject ? "" : project);
  if (!target) {
    WriteRefusedProject(project);
    return false;
  }
  bool given = IsPerProject(kind) && !project.empty() && !web::IsAbsent(project);
  std::vector<Column> columns = ColumnsOf(kind);
  std::map<std::string, std::string> passwords;
  if (kind == kUsers) passwords = StoredPasswords(*target);
  // No row lies beyond the cells the request carries; a count that is no count (below zero,
  // or not a number) is refused rather than taken for an empty table.
  const std::string& count = web::GetParam(list, "LINES");
  if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos) {
    web::ErrorBox(config::kMsgFieldMissing);
    return false;
  }
  int lines = std::clamp(web::GetParamInt(list, "LINES"), 0, static_cast<int>(list.size()));
  std::string content;
  std::vector<std::string> names;
  for (int r = 0; r < lines; ++r) {
    const std::string& first = web::GetParam(list, base::Sprintf("V0_%d", r));
    std::string name = CleanCell(first);
    if (web::IsMissing(first) || name.empty()) continue;
    for (size_t c = 0; c < columns.size(); ++c) {
      const std::string& value =
          web::GetParam(list, base::Sprintf("V%d_%d", static_cast<int>(c), r));
      // A name that becomes a file or folder name is checked as it was sent, before any
      // character is dropped from it; a refused name changes nothing.
      if (IsNameColumn(kind, c) && !web::IsAbsent(value) && !base::IsSafeName(value)) {
        web::ErrorBoxArg(2719, value);
        return false;
      }
      std::string cell = web::IsAbsent(value) ? std::string(" ") : CleanCell(value);
      if (IsPasswordCell(kind, c)) {
        // An empty cell keeps the stored password; whatever is kept or typed is stored as a
        // hash, so no save leaves a password in clear.
        // A hash has no ":", so a typed password keeps every character.
        if (Trimmed(cell).empty()) {
          auto stored = passwords.find(std::string(Trimmed(name)));
          cell = stored != passwords.end() ? stored->second : std::string(" ");
        } else {
          cell = value;
        }
        cell = users::StoredPasswordField(cell);
      }
      if (c > 0) content += ':';
      content += cell;
    }
    content += '\n';
    names.push_back(name);
  }
  if (!wizard)
    WriteTitleBar(base::Sprintf("<Font size=7>%s %s.cfg Setup</font>",
                                base::EscapeHtml(given ? project : ""), KindName(kind)),
                  kind);
  if (kind == kUsers && !wizard && !MayGrant(list, project, *target, content)) {
    web::ErrorBox(config::kMsgNoSetupRight);
    return false;
  }
  if (before_write) before_write(names);
  // Partner sites merge members by the time each line and password last changed: stamped
  // against the file as it is under its lock.
  auto make = [&](const std::string& old) {
    return kind == kUsers
               ? config::StampMembers(old, content, static_cast<long>(std::time(nullptr)))
               : content;
  };
  const FormSave save = SaveFormFile(*target, list, make, kind == kUsers);
  if (save.stale) {
    // The rows as typed (a password typed is not shown again) on the file as it is now.
    WriteChangedMeanwhile();
    ShowTable(kind, *target);
    const TypedForm typed{content, save.revision};
    WriteTableForm(kind, 0, given ? std::string_view(project) : "", *target, &typed);
    return false;
  }
  if (!save.saved) {
    WriteSaveFailure(save.error);
    return false;
  }
  config::DebugPage("<! %d %s >\n",
                    given ? static_cast<int>(static_cast<unsigned char>(project[0])) : 0,
                    base::EscapeHtml(*target));
  if (kind == kProject) {
    // Every project gets its synchronisation folders.
    const std::string& synchro = config::GetSynchroDir();
    base::MakeDirectory(synchro);
    for (const std::string& name : names) {
      for (std::string_view box : {"in", "out"}) {
        base::MakeDirectory(base::Sprintf("%s/%s", synchro, box));
        base::MakeDirectory(base::Sprintf("%s/%s/%s", synchro, box, name));
      }
    }
  }
  if (given) HandOffProjectFile(*target, project);
  if (!wizard) ShowTable(kind, *target);
  return true;
}

}  // namespace setup
