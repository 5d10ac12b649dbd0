// Change_Header and Copy: their forms and commits (sheets/edit.h).
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/members.h"
#include "config/options.h"
#include "config/projects.h"
#include "sheets/create.h"
#include "sheets/edit.h"
#include "sheets/edit_parts.h"
#include "sheets/revision.h"
#include "store/store.h"
#include "sync/sync.h"
#include "users/rights.h"
#include "users/user_context.h"
#include "web/page.h"
#include "web/response.h"

namespace sheets {
namespace {

using config::LetterIndex;
using config::Msg;
using web::FindParam;
using web::IsMissing;

std::string Esc(std::string_view text) {
  return base::EscapeHtml(text);
}

// The options of a text field, selected by exact value. A current value the lists do not
// hold (a list edited since) comes first, selected, so a form sent back unchanged keeps it.
void WriteChoices(const std::vector<std::string>& values, std::string_view current,
                  bool empty_choice) {
  if (empty_choice)
    base::Write(nullptr, current.empty() ? "<OPTION SELECTED VALUE=\"\">&nbsp\n"
                                         : "<OPTION VALUE=\"\">&nbsp\n");
  bool listed = std::find(values.begin(), values.end(), current) != values.end();
  if (!listed && !current.empty())
    base::Page("<OPTION SELECTED VALUE=\"%s\"> %s\n", Esc(current), Esc(current));
  for (const std::string& value : values) {
    base::Page(
        value == current ? "<OPTION SELECTED VALUE=\"%s\"> %s\n" : "<OPTION VALUE=\"%s\"> %s\n",
        Esc(value), Esc(value));
  }
}

// The entries of the project's files of `kind`: per line the text before the first ":".
std::vector<std::string> FileValues(std::string_view project, std::string_view kind) {
  std::vector<std::string> values;
  for (const std::string& path : config::ListProjectFiles(project, kind)) {
    for (const config::ConfigLine& line : config::ReadConfigFile(path).lines) {
      std::string_view text = line.text;
      if (config::IsCommentLine(text) || config::IsEmptyLine(text)) continue;
      text = text.substr(0, text.find(':'));
      if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
      values.emplace_back(text);
    }
  }
  return values;
}

void TextSelect(int label, std::string_view field, const std::vector<std::string>& values,
                std::string_view current, bool empty_choice = false) {
  web::LabelCell(label, field);
  web::OpenSelectCell(field);
  WriteChoices(values, current, empty_choice);
  web::CloseSelectCell();
}

void CodeSelect(int label, std::string_view field, int current,
                void (*options)(base::Stream, int)) {
  web::LabelCell(label, field);
  web::OpenSelectCell(field);
  base::Write(nullptr,
              current == 0 ? "<OPTION SELECTED VALUE=\"\">&nbsp\n" : "<OPTION VALUE=\"\">&nbsp\n");
  options(nullptr, current);
  web::CloseSelectCell();
}

void IndexSelect(int label, std::string_view field, int current,
                 void (*options)(base::Stream, int)) {
  web::LabelCell(label, field);
  web::OpenSelectCell(field);
  options(nullptr, current);
  web::CloseSelectCell();
}

// Project, sub-project and program: the cells of the first row of both forms. Choosing
// another project posts the form back to itself (edit.cpp), so that the lists below follow
// it with everything typed kept; a value the project does not have shows as none chosen.
void WritePlaceCells(const store::FactSheet& sheet) {
  web::LabelCell(100, "project");
  base::Page(
      "<TD><SELECT NAME=%s ID=%s onChange=\"this.form.Reload.value='1';this.form.submit()\">\n",
      "project", "project");
  WriteChoices(config::ListProjects(" "), sheet.project, false);
  web::CloseSelectCell();
  TextSelect(101, "group", config::ListSubprojects(sheet.project, " "), sheet.group,
             sheet.group.empty());
  TextSelect(108, "prog", FileValues(sheet.project, "program"), sheet.prog, sheet.prog.empty());
}

constexpr std::string_view kButtons =
    "<TD><INPUT TYPE=submit VALUE=\"OK\"> <INPUT TYPE=reset VALUE=\"Reset\"></TD>";

bool MayChangeBoth(const web::ParamList& params, std::string_view from, std::string_view to) {
  if (users::MayChangeProject(params, from) && users::MayChangeProject(params, to)) return true;
  web::ErrorBox(config::kMsgNoRightOnProject);
  return false;
}

// Sets the header fields the form sends. An optional field the request does not carry
// keeps its value; the required ones were checked before.
void ApplyHeader(const web::ParamList& params, store::FactSheet& s) {
  auto text = [&](std::string_view name) { return web::GetParam(params, name); };
  s.title = text("title");
  s.project = text("project");
  s.group = text("group");
  s.prog = text("prog");
  s.sev = web::GetParamInt(params, "sev");
  s.impact = LetterIndex(text("impact"));
  s.phase = LetterIndex(text("phase"));
  s.version = text("version");
  s.submitter = text("submitter");
  if (const std::string* exp = FindParam(params, "exp")) s.exp = *exp;
  if (FindParam(params, "type")) s.type = web::GetParamInt(params, "type");
  if (const std::string* test = FindParam(params, "test")) s.test = *test;
  if (const std::string* mdapda = FindParam(params, "mdapda")) s.mdapda = *mdapda;
  s.subCode = config::GetSubprojectCode(s.project, s.group);
  edit_parts::NormaliseHeader(s);
}

// The log lines of a header change: the change, and a new estimate of the load when the
// form gives another one.
void LogHeaderChange(const web::ParamList& params, std::string_view user, store::FactSheet& s) {
  store::LogAction(s, Msg(2031), user);
  if (!FindParam(params, "Load")) return;
  const long old_load = s.Load;
  const long load = web::GetParamInt(params, "Load");
  if (load == old_load) return;
  std::string text = load < old_load ? base::Sprintf("%d days (-%ld)", load, old_load - load)
                                     : base::Sprintf("%d days (+%ld)", load, load - old_load);
  s.Load = static_cast<int>(load);
  store::LogAction(s, "Re-estimated by %s to %s", user, text);
}

// The header change, under the store lock: in place when the name stays, else under the
// lowest free number of the new prefix. The old index line goes either way, also when only
// the index key changed (another project or sub-project name with the same codes).
void ChangeHeader(store::FactSheet& sheet, std::string& name, const web::ParamList& params,
                  std::string_view user) {
  bool rights = true;
  bool changed = false;
  store::FactSheet stored;
  auto change = [&](store::FactSheet& s) {
    if (!users::MayChangeProject(params, s.project)) {
      rights = false;
      return false;
    }
    if (ChangedSince(params, s)) {
      changed = true;
      stored = s;
      return false;
    }
    synch::KeepIdentity(s);  // before its name may change
    ApplyHeader(params, s);
    LogHeaderChange(params, user, s);
    return true;
  };
  UseOnceValue(params);
  store::Stored result = store::ChangeSheetHeader(name, change, &stored);
  if (WriteIfAlreadyStored()) return;
  if (!rights) return web::ErrorBox(config::kMsgNoRightOnProject);
  if (changed) {
    sheet = std::move(stored);
    return WriteCollision(params, sheet);
  }
  const std::string new_name = store::GetSheetName(stored);
  if (result == store::Stored::kMissing) return edit_parts::ReportNotStored(result, name);
  if (!store::IsStored(result)) edit_parts::ReportNotStored(result, new_name);
  if (!store::IsStored(result) && result != store::Stored::kNoJournal) return;
  sheet = std::move(stored);
  name = new_name;
  // The partners take the new header, and the new name with it.
  synch::SendSynchFile(base::JoinPath(config::GetDataDir(), name), sheet.project,
                       synch::kSheetFile);
  web::MarkStored();
}

}  // namespace

void ShowHeaderForm(const store::FactSheet& sheet, std::string_view name) {
  base::Page("<H1>%s %s </H1>\n", Msg(2029), Esc(name));
  base::Write(nullptr, "<TABLE BORDER=1 WIDTH=100%>\n<TR>");
  web::LabelCell(106, "title");
  base::Page("<TD COLSPAN=5><INPUT NAME=%s ID=title SIZE=83 VALUE=\"%s\"></TD></TR>\n", "title",
             Esc(sheet.title));
  base::Write(nullptr, "<TR>");
  WritePlaceCells(sheet);
  base::Write(nullptr, "</TR>\n<TR>");
  CodeSelect(109, "sev", sheet.sev, &config::WriteSeverityOptions);
  IndexSelect(104, "impact", sheet.impact, &config::WriteImpactOptions);
  IndexSelect(102, "phase", sheet.phase, &config::WritePhaseOptions);
  base::Write(nullptr, "</TR>\n<TR>");
  TextSelect(110, "version", FileValues(sheet.project, "version"), sheet.version,
             sheet.version.empty());
  TextSelect(111, "exp", config::UndeliveredDeadlines(sheet.project), sheet.exp,
             /*empty_choice=*/true);
  CodeSelect(112, "type", sheet.type, &config::WriteTypeOptions);
  base::Write(nullptr, "</TR>\n</TABLE>\n");

  base::Write(nullptr, "<TABLE BORDER=0 WIDTH=100%>\n<TR>");
  TextSelect(113, "submitter", config::MemberLogins(sheet.project), sheet.submitter);
  web::LabelCell(114, "test");
  base::Page("<TD><INPUT NAME=%s ID=test SIZE=25 VALUE=\"%s\" >\n</TD>\n", "test", Esc(sheet.test));
  base::Write(nullptr, kButtons);
  base::Write(nullptr, "</TR>\n<TR>");
  web::LabelCell(2025, "User");
  base::Write(nullptr, "<TD>");
  edit_parts::WriteUserSelect(sheet.project);
  base::Write(nullptr, "</TD>\n");
  web::LabelCell(122, "mdapda");
  base::Page("<TD><INPUT NAME=%s ID=mdapda SIZE=30 Value=\"%s\"></TD>\n", "mdapda",
             Esc(sheet.mdapda));
  web::LabelCell(116, "Load");
  base::Page("<TD><INPUT NAME=%s ID=Load SIZE=4 VALUE=%ld >\n</TD></TR>\n", "Load",
             static_cast<long>(sheet.Load));
  base::Write(nullptr, "</TABLE>\n");
}

void CommitHeaderChange(store::FactSheet& sheet, std::string& name, const web::ParamList& params) {
  const std::string user = web::GetParam(params, "User");
  if (IsMissing(user)) return web::ErrorBoxArg(config::kMsgFillInField, Msg(2025));
  // A field left empty would leave the sheet without a project, a name prefix or a title.
  if (!ValidateNewSheet(params)) return;
  if (!MayChangeBoth(params, sheet.project, web::GetParam(params, "project"))) return;
  // A sheet moved into a project is a change there too: the Modify right of that project.
  if (config::IsSecurityOn() &&
      !users::CheckRightQuietly(params, 3, web::GetParam(params, "project")))
    return web::ErrorBox(config::kMsgNoRightOnProject);
  if (!ValidatePlace(params, &sheet)) return;
  ChangeHeader(sheet, name, params, user);
}

void ShowCopyForm(const store::FactSheet& sheet, std::string_view name) {
  base::Write(nullptr, "<H1>");
  base::Page(Msg(2032), Esc(name));
  base::Write(nullptr, "</H1>\n<TABLE BORDER=1 WIDTH=100%><TR>\n");
  WritePlaceCells(sheet);
  base::Write(nullptr, "</TR>\n");
  base::Write(nullptr, "<TR><TD >&nbsp</TD>\n");
  CodeSelect(109, "sev", sheet.sev, &config::WriteSeverityOptions);
  IndexSelect(102, "phase", sheet.phase, &config::WritePhaseOptions);
  base::Write(nullptr, "</TR>\n<TR>");
  web::LabelCell(2114, "User");
  base::Write(nullptr, "<TD>");
  edit_parts::WriteUserSelect(sheet.project);
  base::Write(nullptr, "</TD>\n");
  base::Write(nullptr, kButtons);
  base::Write(nullptr, "</TR>\n</TABLE>\n");
}

void CommitCopy(store::FactSheet& sheet, std::string& name, const web::ParamList& params) {
  const std::string user = web::GetParam(params, "User");
  if (IsMissing(user)) return web::ErrorBoxArg(config::kMsgFillInField, Msg(2114));
  struct Required {
    std::string_view field;
    int label;
  };
  static constexpr Required kRequired[] = {
      {"project", 100}, {"group", 101}, {"prog", 108}, {"sev", 109}, {"phase", 102}};
  for (const Required& r : kRequired) {
    if (IsMissing(web::GetParam(params, r.field)))
      return web::ErrorBoxArg(config::kMsgFillInField, Msg(r.label));
  }
  if (!MayChangeBoth(params, sheet.project, web::GetParam(params, "project"))) return;
  if (!ValidatePlace(params, &sheet)) return;

  bool changed = false;
  auto make = [&](const store::FactSheet& source, store::FactSheet& copy) {
    // A copy of a sheet that changed since the form showed it would not be the copy asked for.
    if (ChangedSince(params, source)) {
      changed = true;
      sheet = source;
      return false;
    }
    copy.project = web::GetParam(params, "project");
    copy.group = web::GetParam(params, "group");
    copy.prog = web::GetParam(params, "prog");
    copy.sev = web::GetParamInt(params, "sev");
    copy.phase = LetterIndex(web::GetParam(params, "phase"));
    copy.subCode = config::GetSubprojectCode(copy.project, copy.group);
    edit_parts::NormaliseHeader(copy);
    store::LogAction(copy, Msg(2034), name, user);
    // A copy is a new sheet for the partners too.
    synch::StampOrigin(copy);
    return true;
  };
  auto note = [&](store::FactSheet& source, std::string_view copy_name) {
    store::LogAction(source, Msg(2035), copy_name, user);
  };
  // The source is read, the copy made and the note added under one lock, in one change.
  store::FactSheet copy;
  store::FactSheet source;
  UseOnceValue(params);
  store::Stored created = store::CopySheet(name, make, note, &copy, &source);
  if (WriteIfAlreadyStored()) return;
  if (changed) return WriteCollision(params, sheet);
  const std::string copy_name = store::GetSheetName(copy);
  if (!store::IsStored(created)) {
    edit_parts::ReportNotStored(created, created == store::Stored::kMissing ? name : copy_name);
    return;
  }
  // Both travel: the copy as a creation, the source with its new log line.
  synch::SendSynchFile(base::JoinPath(config::GetDataDir(), copy_name), copy.project,
                       synch::kSheetFile);
  // Its attachments are its own files: they travel after it, as attachments of the copy.
  const std::string folder = "TRACE_" + copy_name + "/";
  for (const store::SheetEntry& entry : copy.entries) {
    if (entry.kind != store::kAttachmentEntry) continue;
    const size_t at = entry.text.find(folder);
    if (at == std::string::npos) continue;
    std::string file = entry.text.substr(at);
    while (!file.empty() && (file.back() == '\n' || file.back() == '\r')) file.pop_back();
    const std::string path = base::JoinPath(config::GetDataDir(), file);
    if (base::FileExists(path)) synch::SendSynchFile(path, copy.project, synch::kAttachment);
  }
  synch::SendSynchFile(base::JoinPath(config::GetDataDir(), name), source.project,
                       synch::kSheetFile);
  sheet = std::move(copy);
  name = copy_name;
  web::MarkStored();
}

}  // namespace sheets
